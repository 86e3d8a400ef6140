#include "views/report.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace wirelens {
namespace {

constexpr std::string_view kEmptyCellText = "   ";
constexpr mode_t kNewFileMode = 0666;  // narrowed by the umask, as for any new file
constexpr int kTempNameAttempts = 100;

std::string SystemReason(int error) {
    return std::generic_category().message(error);
}

std::string Failure(std::string_view what, const std::string& path, int error) {
    std::string text(what);
    text += " \"";
    text += path;
    text += "\": ";
    text += SystemReason(error);
    return text;
}

// Writes all of content; false with errno set when a write fails.
bool WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t written = ::write(fd, content.data(), content.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// What a name stands for when it cannot take a report, in words; nothing for a
// regular file or a character device. A FIFO or a socket would hold the window
// until some reader came, a block device is no place for a text.
std::optional<std::string_view> KindRefused(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISBLK(mode)) return "a block device";
    if (!S_ISREG(mode) && !S_ISCHR(mode)) return "a special file";
    return std::nullopt;
}

std::string Refusal(const std::string& path, std::string_view kind) {
    std::string text = "Cannot save to \"" + path + "\": it is ";
    text += kind;
    text += ", not a file.";
    return text;
}

// Never blocks: a device that cannot take the report at once is told, not waited for.
std::optional<std::string> WriteInPlace(const std::string& path, std::string_view content) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, kNewFileMode);
    if (fd < 0) return Failure("Cannot create the file", path, errno);
    // The name may have changed hands since it was looked at.
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) {
        const int error = errno;
        ::close(fd);
        return Failure("Cannot write the file", path, error);
    }
    if (const auto kind = KindRefused(opened.st_mode)) {
        ::close(fd);
        return Refusal(path, *kind);
    }
    if (!WriteAll(fd, content)) {
        const int error = errno;
        ::close(fd);
        if (error == EAGAIN)
            return "Cannot write the file \"" + path + "\": the device does not take the data at once.";
        return Failure("Cannot write the file", path, error);
    }
    if (::close(fd) != 0) return Failure("Cannot write the file", path, errno);
    return std::nullopt;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Creates a new, empty file beside the target; -1 with errno set on failure.
int CreateTempFile(const std::string& folder, std::string& tempPath) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
        // Short name, so a target name near the length limit still leaves room.
        tempPath = folder + "/.wirelens-" + std::to_string(::getpid()) + "-" +
                   std::to_string(counter.fetch_add(1));
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

std::string BuildHexLine(const HexViewCells& cells) {
    std::string line;
    line.reserve(3 * kHexViewColumnCount + cells[kHexCharColumn].size());
    line += cells[0];
    line += ' ';
    for (std::size_t j = 1; j < cells.size(); ++j) {
        if (cells[j].empty()) {
            line += kEmptyCellText;
        } else {
            line += cells[j];
            line += ' ';
        }
    }
    return line;
}

std::string BuildReport(const PacketRowTexts& row, std::string_view textViewContent,
                        std::span<const HexViewCells> hexRows) {
    std::string out;
    out.reserve(512 + textViewContent.size() + hexRows.size() * 120);
    const auto line = [&out](std::string_view label, std::string_view value) {
        out += label;
        out += value;
        out += kReportLineEnd;
    };
    line("Protocol: ", row.protocol);
    line("IP (source): ", row.srcAddr);
    line("Port (source): ", row.srcPort);
    line("IP (destination): ", row.destAddr);
    line("Port (destination): ", row.destPort);
    line("Length (bytes): ", row.length);
    line("Start Time: ", row.startTime);
    line("", "");
    line(kReportTextHeading, "");
    line(textViewContent, "");
    line("", "");
    line(kReportHexHeading, "");
    for (const auto& cells : hexRows) line(BuildHexLine(cells), "");
    return out;
}

std::optional<std::string> WriteReportFile(const std::string& path, std::string_view content) {
    if (path.empty()) return std::string("No file name was given.");

    struct stat existing {};
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    // Replacing a link or a device by a new file would not be what the user chose.
    if (exists && !S_ISREG(existing.st_mode)) {
        struct stat target = existing;
        // A link is judged by what it points to; a dangling one gets its file created.
        if (S_ISLNK(existing.st_mode) && ::stat(path.c_str(), &target) != 0) return WriteInPlace(path, content);
        if (const auto kind = KindRefused(target.st_mode)) return Refusal(path, *kind);
        return WriteInPlace(path, content);
    }

    std::string tempPath;
    const int fd = CreateTempFile(FolderOf(path), tempPath);
    if (fd < 0) {
        const int error = errno;
        // A folder that takes no new file may still hold a writable file of that name.
        if (exists && (error == EACCES || error == EPERM)) return WriteInPlace(path, content);
        return Failure("Cannot create the file", path, error);
    }
    if (exists) {
        // The replacement keeps the old file's permissions and, where allowed, its owner.
        // Best effort: only a privileged process may give a file away; the report is written either way.
        std::ignore = ::fchmod(fd, existing.st_mode & 07777);
        std::ignore = ::fchown(fd, existing.st_uid, existing.st_gid);
    }
    if (!WriteAll(fd, content)) {
        const int error = errno;
        ::close(fd);
        ::unlink(tempPath.c_str());
        return Failure("Cannot write the file", path, error);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        return Failure("Cannot write the file", path, error);
    }
    if (::rename(tempPath.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(tempPath.c_str());
        // A name the folder cannot take (too long, say) fails only here.
        return Failure(exists ? "Cannot replace the file" : "Cannot create the file", path, error);
    }
    return std::nullopt;
}

}  // namespace wirelens
