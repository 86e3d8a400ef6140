#include "files/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <tuple>

namespace wirelens {
namespace {

constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any new file
constexpr int kTempNameAttempts = 100;

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a new, empty file in folder; -1 with errno set on failure.
int CreateTempFile(const std::string& folder, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        tempPath = folder + "/.wirelens-capture-" + std::to_string(::getpid()) + "-" +
                   std::to_string(counter.fetch_add(1));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

AtomicFile::~AtomicFile() { Abort(); }

std::string AtomicFile::Failure(std::string_view what, int error) const {
    std::string text(what);
    text += " \"";
    text += mPath;
    text += "\": ";
    text += std::generic_category().message(error);
    return text;
}

std::optional<std::string> AtomicFile::Create(const std::string& path) {
    Abort();
    mPath = path;
    if (path.empty()) return std::string("No file name was given.");

    struct stat existing {};
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        if (S_ISDIR(existing.st_mode)) return Failure("Cannot create the file", EISDIR);
        mFd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (mFd < 0) return Failure("Cannot open the file", errno);
        return std::nullopt;
    }
    mFd = CreateTempFile(FolderOf(path), mTempPath);
    if (mFd < 0) {
        const int error = errno;
        mTempPath.clear();
        return Failure("Cannot create the file", error);
    }
    if (exists) {
        // Best effort: only a privileged process may give a file away.
        std::ignore = ::fchmod(mFd, existing.st_mode & 07777);
        std::ignore = ::fchown(mFd, existing.st_uid, existing.st_gid);
    }
    return std::nullopt;
}

bool AtomicFile::WriteAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(mFd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

std::optional<std::string> AtomicFile::Commit() {
    if (mFd < 0) return Failure("Cannot write the file", EBADF);
    const bool inPlace = mTempPath.empty();
    // Pipes and terminals cannot be synced; for them the checked writes are all there is.
    if (::fsync(mFd) != 0 && !(inPlace && (errno == EINVAL || errno == EROFS))) {
        const int error = errno;
        Abort();
        return Failure("Cannot write the file", error);
    }
    const int fd = mFd;
    mFd = -1;
    if (::close(fd) != 0) {
        const int error = errno;
        Abort();
        return Failure("Cannot write the file", error);
    }
    if (inPlace) return std::nullopt;
    if (::rename(mTempPath.c_str(), mPath.c_str()) != 0) {
        const int error = errno;
        Abort();
        return Failure("Cannot replace the file", error);
    }
    mTempPath.clear();
    // The new name itself lasts only once the folder is synced; a failure here loses nothing written.
    const int folder = ::open(FolderOf(mPath).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        std::ignore = ::fsync(folder);
        ::close(folder);
    }
    return std::nullopt;
}

void AtomicFile::Abort() {
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
    if (!mTempPath.empty()) {
        ::unlink(mTempPath.c_str());
        mTempPath.clear();
    }
}

}  // namespace wirelens
