#pragma once
// The raw datagram store's files as a test or benchmark reaches them: the
// unlinked files in its folder, and dropping their pages from the page cache
// so that what is read next comes from the disk.
#include <fcntl.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

namespace wirelens::testing {

// Calls `found(fd, name)` for each of the store's files (bytes and index):
// the unlinked files in its folder, named "folder/#inode (deleted)".
template <typename Found>
void ForEachDatagramFile(const std::string& folder, Found found) {
    for (int fd = 3; fd < 1024; ++fd) {
        char link[4096];
        const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        if (n <= 0) continue;
        const std::string target(link, static_cast<std::size_t>(n));
        if (target.rfind(folder + "/", 0) == 0 && target.ends_with("(deleted)")) found(fd, target);
    }
}

inline std::vector<int> DatagramFileDescriptors(const std::string& folder) {
    std::vector<int> fds;
    ForEachDatagramFile(folder, [&](int fd, const std::string&) { fds.push_back(fd); });
    return fds;
}

// The files' names, each with its inode: a file kept and a new one differ.
inline std::set<std::string> DatagramFileNames(const std::string& folder) {
    std::set<std::string> names;
    ForEachDatagramFile(folder, [&](int, const std::string& name) { names.insert(name); });
    return names;
}

// Writes the store's files out and asks the kernel to drop their pages; false
// when there are none or a call fails. A file system that keeps its pages in
// memory (tmpfs) says yes and keeps them.
inline bool DropDatagramFilePages(const std::string& folder) {
    const std::vector<int> fds = DatagramFileDescriptors(folder);
    bool dropped = !fds.empty();
    for (const int fd : fds) dropped = dropped && fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    return dropped;
}

}  // namespace wirelens::testing
