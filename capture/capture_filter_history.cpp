#include "capture/capture_filter_history.h"

#include <algorithm>

namespace wirelens {

namespace {
constexpr std::string_view kBlanks = " \t\r\n\f\v";

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}
}  // namespace

void CaptureFilterHistory::Use(std::string_view expression) {
    mLast = std::string(Trimmed(expression));
    if (mLast.empty()) return;
    const auto same = std::find(mRecent.begin(), mRecent.end(), mLast);
    if (same != mRecent.end()) mRecent.erase(same);
    mRecent.insert(mRecent.begin(), mLast);
    if (mRecent.size() > kMaxRecent) mRecent.resize(kMaxRecent);
}

CaptureFilterHistory& SessionCaptureFilters() {
    static CaptureFilterHistory history;
    return history;
}

}  // namespace wirelens
