#pragma once
// A file that takes its name only when it is complete: the bytes go to a
// temporary file in the target's folder, which is synced and renamed over the
// target. A failure at any step removes the temporary file, so an earlier file
// of that name stays as it was. A target that exists and is not a regular file
// (a link, a FIFO, /dev/stdout) is written in place instead, every step still
// checked.
#include <optional>
#include <string>
#include <string_view>

namespace wirelens {

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // an uncommitted file is removed
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Nothing on success, else a sentence with the system's reason.
    std::optional<std::string> Create(const std::string& path);
    // The open descriptor to write to, -1 before Create or after Commit/Abort.
    int Descriptor() const { return mFd; }
    // Writes all of bytes; false with errno set on failure.
    bool WriteAll(std::string_view bytes);
    // Syncs, closes and renames. On failure the temporary file is gone.
    std::optional<std::string> Commit();
    void Abort();
    // "Cannot write the file "PATH": REASON" for an errno value.
    std::string Failure(std::string_view what, int error) const;

private:
    std::string mPath;
    std::string mTempPath;  // empty when writing in place
    int mFd = -1;
};

}  // namespace wirelens
