#pragma once
// The capture filters used in this run of the program, offered again when a
// capture is started: the most recent first, each once.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace wirelens {

class CaptureFilterHistory {
public:
    static constexpr std::size_t kMaxRecent = 10;

    // `expression` is the filter of the capture about to start; a blank one
    // means no filter and is not listed, but is remembered as the last choice.
    void Use(std::string_view expression);

    // Non-blank filters, most recent first, without repeats; at most kMaxRecent.
    const std::vector<std::string>& Recent() const { return mRecent; }
    // The filter of the last capture started (trimmed); empty: none.
    const std::string& Last() const { return mLast; }

private:
    std::vector<std::string> mRecent;
    std::string mLast;
};

// The history shared by every capture of this run.
CaptureFilterHistory& SessionCaptureFilters();

}  // namespace wirelens
