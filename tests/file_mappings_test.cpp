// Mappings of a file's parts side by side: what is mapped reads back from the
// file, wherever the part lies; a part unmapped holds its file no more, and
// neither it nor a cleared region can clobber a mapping made in its place.
#include "capture/file_mappings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace wirelens {
namespace {

constexpr std::size_t kPart = 64u << 10;  // 16,384 parts a region

// An unlinked file of `parts` parts, each starting with its own number.
class PartsFile {
public:
    explicit PartsFile(std::size_t parts) {
        char name[] = "/tmp/wirelens-mappings-XXXXXX";
        mFd = mkostemp(name, O_CLOEXEC);
        if (mFd < 0) return;
        unlink(name);
        if (ftruncate(mFd, static_cast<off_t>(parts * kPart)) != 0) return;
        for (std::size_t p = 0; p < parts; ++p)
            if ((p < 2 || p % Step(parts) == 0) && pwrite(mFd, &p, sizeof p, static_cast<off_t>(p * kPart)) != sizeof p)
                return;
        mReady = true;
    }
    ~PartsFile() {
        if (mFd >= 0) close(mFd);
    }
    // Parts written: the first two, then every Step-th.
    static std::size_t Step(std::size_t parts) { return parts > 64 ? parts / 64 : 1; }
    bool Ready() const { return mReady; }
    int Fd() const { return mFd; }

private:
    int mFd = -1;
    bool mReady = false;
};

std::size_t NumberAt(const std::uint8_t* part) {
    std::size_t n = 0;
    std::memcpy(&n, part, sizeof n);
    return n;
}

// The permissions /proc/self/maps gives the page at `at` ("r--s" for a file
// part, "---p" for reserved space), or "" when nothing is mapped there.
std::string PermissionsAt(const void* at) {
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);) {
        const std::size_t dash = line.find('-');
        const std::size_t space = line.find(' ');
        const std::uintptr_t begin = std::stoull(line.substr(0, dash), nullptr, 16);
        const std::uintptr_t end = std::stoull(line.substr(dash + 1, space - dash - 1), nullptr, 16);
        if (address >= begin && address < end) return line.substr(space + 1, 4);
    }
    return "";
}

TEST(FileMappings, PartsReadBackSideBySideAndAcrossRegions) {
    // Beyond one region's parts, so that a second region is reserved.
    constexpr std::size_t kParts = 20000;
    PartsFile file(kParts);
    ASSERT_TRUE(file.Ready());
    FileMappings mappings(kPart);
    int error = 0;
    const std::uint8_t* first = mappings.Map(file.Fd(), 0, error);
    const std::uint8_t* second = mappings.Map(file.Fd(), 1, error);
    ASSERT_NE(first, nullptr) << std::strerror(error);
    ASSERT_NE(second, nullptr) << std::strerror(error);
    EXPECT_EQ(second, first + kPart) << "consecutive parts lie side by side";
    EXPECT_EQ(NumberAt(first), 0u);
    EXPECT_EQ(NumberAt(second), 1u);
    for (std::size_t p = PartsFile::Step(kParts); p < kParts; p += PartsFile::Step(kParts)) {
        const std::uint8_t* part = mappings.Map(file.Fd(), p, error);
        ASSERT_NE(part, nullptr) << "part " << p << ": " << std::strerror(error);
        EXPECT_EQ(NumberAt(part), p);
        EXPECT_EQ(PermissionsAt(part), "r--s");
    }
}

TEST(FileMappings, AnUnmappedPartIsReservedAgainAndAClearGivesAllBack) {
    PartsFile file(4);
    ASSERT_TRUE(file.Ready());
    FileMappings mappings(kPart);
    int error = 0;
    const std::uint8_t* part = mappings.Map(file.Fd(), 2, error);
    ASSERT_NE(part, nullptr) << std::strerror(error);
    EXPECT_EQ(PermissionsAt(part), "r--s");
    mappings.Unmap(part + 100);  // anywhere in the part
    EXPECT_EQ(PermissionsAt(part), "---p") << "the place is held, not left to others";
    // Mapped again, it reads the file again.
    part = mappings.Map(file.Fd(), 2, error);
    ASSERT_NE(part, nullptr) << std::strerror(error);
    EXPECT_EQ(NumberAt(part), 2u);
    mappings.Clear();
    EXPECT_EQ(PermissionsAt(part), "");
}

// After a clear, the address space may be given to anything; an Unmap of a
// part mapped before must not reach it.
TEST(FileMappings, AnUnmapAfterAClearLeavesWhatTookThePlace) {
    PartsFile file(4);
    ASSERT_TRUE(file.Ready());
    FileMappings mappings(kPart);
    int error = 0;
    const std::uint8_t* part = mappings.Map(file.Fd(), 0, error);
    ASSERT_NE(part, nullptr) << std::strerror(error);
    mappings.Clear();
    void* taken = mmap(const_cast<std::uint8_t*>(part), kPart, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    ASSERT_EQ(taken, part) << "the cleared place could not be taken";
    static_cast<char*>(taken)[0] = 42;
    mappings.Unmap(part);
    EXPECT_EQ(PermissionsAt(part), "rw-p");
    EXPECT_EQ(static_cast<char*>(taken)[0], 42);
    munmap(taken, kPart);
}

TEST(FileMappings, APartThatCannotBeMappedSaysWhy) {
    FileMappings mappings(kPart);
    int error = 0;
    EXPECT_EQ(mappings.Map(-1, 0, error), nullptr);
    EXPECT_EQ(error, EBADF);
}

}  // namespace
}  // namespace wirelens
