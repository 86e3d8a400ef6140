// The raw datagram store, in a temporary file and in memory alike: positions,
// lengths, cut lengths and clearing; then what only the file has: the folder
// it goes in, many clears on one file, a full disk, and no folder at all.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "capture/decode.h"
#include "capture/huge_chunk.h"
#include "capture/raw_datagram_store.h"
#include "packets/available_memory.h"
#include "packets/capture_session.h"
#include "tests/datagram_builder.h"
#include "tests/held_memory_map.h"
#include "tests/small_tmpfs.h"
#include "tests/store_files.h"

namespace wirelens {
namespace {

using testing::Bytes;
using testing::SmallTmpfs;

constexpr std::size_t kChunk = 4u << 20;

// Bytes that differ by position and by place within the datagram, so a
// datagram read from the wrong place or chunk cannot match.
std::vector<std::uint8_t> Pattern(std::uint32_t position, std::size_t length) {
    std::vector<std::uint8_t> d(length);
    for (std::size_t j = 0; j < length; ++j) d[j] = static_cast<std::uint8_t>(position * 131u + j * 7u + (j >> 8));
    return d;
}

bool ReadsBack(const RawDatagramStore& store, std::uint32_t position, std::size_t length) {
    const auto bytes = store.Get(position);
    const auto expected = Pattern(position, length);
    return bytes.size() == length && std::equal(bytes.begin(), bytes.end(), expected.begin());
}

// Once the disk has taken every write: no write failed, and every datagram
// Fill appended reads back whole.
void ExpectWrittenAndWhole(RawDatagramStore& store) {
    store.WaitForWrites();
    EXPECT_EQ(store.WriteError(), 0);
    for (std::uint32_t p = 1; p <= store.Count(); ++p)
        ASSERT_TRUE(ReadsBack(store, p, kReceiveBufferSize)) << "position " << p;
}

std::string MakeFolder() {
    char folder[] = "/tmp/wirelens-store-XXXXXX";
    return mkdtemp(folder) != nullptr ? folder : "";
}

// A folder of MakeFolder's, removed when the test is done with it, however it
// ends; made before the store that uses it, so that it goes after the store.
struct ScopedFolder {
    std::string path = MakeFolder();
    ~ScopedFolder() { rmdir(path.c_str()); }
};

int CountEntries(const char* folder) {
    int n = 0;
    if (DIR* d = opendir(folder)) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// Mappings of files in `folder` (the store's file shows as "folder/#inode
// (deleted)"): how many, and the bytes they span.
struct FolderMappings {
    int count = 0;
    std::size_t bytes = 0;
};
FolderMappings MappingsOf(const std::string& folder) {
    std::ifstream maps("/proc/self/maps");
    FolderMappings found;
    for (std::string line; std::getline(maps, line);) {
        if (line.find(folder + "/") == std::string::npos) continue;
        const std::size_t dash = line.find('-');
        ++found.count;
        found.bytes += std::stoull(line.substr(dash + 1), nullptr, 16) - std::stoull(line.substr(0, dash), nullptr, 16);
    }
    return found;
}

struct Backing {
    const char* name;
    bool file;
};

void PrintTo(const Backing& b, std::ostream* out) { *out << b.name; }

class RawDatagramStoreTest : public ::testing::TestWithParam<Backing> {
protected:
    void SetUp() override {
        mFolder = MakeFolder();
        ASSERT_FALSE(mFolder.empty());
        store = std::make_unique<RawDatagramStore>(GetParam().file ? std::vector<std::string>{mFolder}
                                                                   : std::vector<std::string>{});
        ASSERT_EQ(store->FileBacked(), GetParam().file) << store->StorageNote();
    }
    void TearDown() override {
        store.reset();
        EXPECT_EQ(CountEntries(mFolder.c_str()), 2) << "the file is unlinked: the folder holds nothing";
        rmdir(mFolder.c_str());
    }

    std::string mFolder;
    std::unique_ptr<RawDatagramStore> store;
};

TEST_P(RawDatagramStoreTest, PositionsCountFromOneAndRestartAfterClear) {
    EXPECT_EQ(store->Append(Bytes(10, 1)), 1u);
    EXPECT_EQ(store->Append(Bytes(0)), 2u);
    EXPECT_EQ(store->Append(Bytes(3000, 7)), 3u);
    EXPECT_EQ(store->Get(1).size(), 10u);
    EXPECT_EQ(store->Get(2).size(), 0u);
    EXPECT_EQ(store->Get(3).size(), kReceiveBufferSize);  // kept as its first 2000 bytes
    EXPECT_EQ(store->WireLength(3), 3000u);
    EXPECT_EQ(store->Get(0).size(), 0u);
    EXPECT_EQ(store->Get(4).size(), 0u);
    EXPECT_EQ(store->WireLength(4), 0u);
    store->Clear();
    EXPECT_EQ(store->Count(), 0u);
    EXPECT_EQ(store->Get(1).size(), 0u);
    EXPECT_EQ(store->Append(Bytes(5, 9)), 1u);
    EXPECT_EQ(store->Get(1)[4], 9);
    EXPECT_EQ(store->WireLength(1), 5u) << "a cut length from before the clear is gone";
}

TEST_P(RawDatagramStoreTest, KeepsPositionsLengthsAndCutLengthsAcrossChunks) {
    // Enough datagrams to fill several byte chunks and index chunks.
    constexpr std::uint32_t kCount = 70000;
    for (std::uint32_t i = 0; i < kCount; ++i) {
        std::vector<std::uint8_t> d(1 + i % 2000, static_cast<std::uint8_t>(i));
        const std::uint32_t wire = i % 1000 == 0 ? 60000 : 0;
        ASSERT_EQ(store->Append(d, wire), i + 1);
    }
    for (std::uint32_t i = 0; i < kCount; i += 997) {
        const auto bytes = store->Get(i + 1);
        ASSERT_EQ(bytes.size(), 1 + i % 2000);
        EXPECT_EQ(bytes.front(), static_cast<std::uint8_t>(i));
        EXPECT_EQ(bytes.back(), static_cast<std::uint8_t>(i));
        EXPECT_EQ(store->WireLength(i + 1), i % 1000 == 0 ? 60000u : 1 + i % 2000);
    }
    EXPECT_TRUE(store->Get(kCount + 1).empty());
    EXPECT_EQ(store->WireLength(0), 0u);
}

// A datagram's end is where the next one in its chunk starts, or where its
// chunk's bytes end: every datagram must come back whole, byte for byte,
// empty ones and the last of each chunk included, from written chunks and
// from the one still filling.
TEST_P(RawDatagramStoreTest, EveryDatagramComesBackWholeAtChunkEndsAndWhenEmpty) {
    std::vector<std::size_t> lengths;
    std::uint32_t seed = 12345;
    for (std::uint32_t i = 0; i < 30000; ++i) {
        seed = seed * 1103515245u + 12345u;
        // Mostly full-size datagrams so chunks fill fast, with empty ones in runs.
        const std::size_t length = (seed >> 16) % 7 == 0 ? 0 : 1500 + (seed >> 8) % 501;
        lengths.push_back(length);
        ASSERT_EQ(store->Append(Pattern(i + 1, length)), i + 1);
    }
    ASSERT_GT(std::accumulate(lengths.begin(), lengths.end(), std::size_t{0}), 10 * kChunk);
    for (std::uint32_t i = 0; i < lengths.size(); ++i) {
        ASSERT_TRUE(ReadsBack(*store, i + 1, lengths[i])) << "position " << i + 1;
        ASSERT_EQ(store->WireLength(i + 1), lengths[i]) << "position " << i + 1;
    }
    // The last datagram, in the chunk still being filled, grows no longer when more arrive.
    const std::size_t lastLength = store->Get(store->Count()).size();
    store->Append(std::vector<std::uint8_t>(10, 1));
    EXPECT_EQ(store->Get(store->Count() - 1).size(), lastLength);
    EXPECT_EQ(store->Get(store->Count()).size(), 10u);
}

// As the program does, from the start: otherwise chunks freed by earlier
// tests stay in the heap, resident, and come back in later ones.
const bool kLargeBlocksMapped = KeepLargeBlocksMapped();

long ResidentBytesOfProcess() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// A busy start fills its first chunks faster than their pages can be cleared
// one ahead of the filling: they are made whole, off the filling thread,
// before the first packet, and the first packets fill them in order.
TEST_P(RawDatagramStoreTest, PreparedChunksAreResidentBeforeTheFirstPacketAndFilledFirst) {
    const long before = ResidentBytesOfProcess();
    store->PrepareFirstChunks();
    WaitForFaultAhead();
    EXPECT_GE(ResidentBytesOfProcess() - before, static_cast<long>(3 * kChunk - kChunk / 4));
#if !defined(__SANITIZE_ADDRESS__)
    // Only those: what else is made ready (address space) costs no memory.
    // (The address sanitizer's shadow of that address space does.)
    EXPECT_LE(ResidentBytesOfProcess() - before, static_cast<long>(3 * kChunk + kChunk / 4));
#endif
    EXPECT_GE(store->ReservedBytes(), 3 * kChunk);
    // Preparing again changes nothing, and the datagrams that follow land
    // in the prepared memory and read back whole.
    const std::size_t reserved = store->ReservedBytes();
    store->PrepareFirstChunks();
    EXPECT_EQ(store->ReservedBytes(), reserved);
    for (std::uint32_t i = 1; i <= 4000; ++i) ASSERT_EQ(store->Append(Pattern(i, 1000)), i);
    EXPECT_LE(store->ReservedBytes(), reserved + (1u << 20)) << "a chunk was made while prepared ones were left";
    for (std::uint32_t i = 1; i <= 4000; ++i) ASSERT_TRUE(ReadsBack(*store, i, 1000)) << "position " << i;
}

INSTANTIATE_TEST_SUITE_P(Backings, RawDatagramStoreTest,
                         ::testing::Values(Backing{"File", true}, Backing{"Memory", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Fills `store` with 2000-byte datagrams until `bytes` are stored.
void Fill(RawDatagramStore& store, std::size_t bytes) {
    for (std::size_t done = 0; done < bytes; done += kReceiveBufferSize)
        ASSERT_NE(store.Append(Pattern(store.Count() + 1, kReceiveBufferSize)), 0u);
}

TEST(FileBackedRawDatagramStore, HoldsOnlyTheFillingChunkInMemory) {
    const std::string folder = MakeFolder();
    RawDatagramStore store({folder});
    ASSERT_TRUE(store.FileBacked());
    Fill(store, 12 * kChunk);
    store.WaitForWrites();
    EXPECT_GE(store.FileBytes(), 11 * kChunk - kReceiveBufferSize);
    // The filling chunk, the written one kept for the next, and at most two
    // spares when writes came back in a bunch; the index is small.
    EXPECT_LE(store.ReservedBytes(), 4 * kChunk + (1u << 20));
    rmdir(folder.c_str());
}

// Small datagrams are mostly index: a full index chunk goes to the index file
// too, and entries on both sides of an index chunk's end still give each
// datagram its own bytes (a datagram ends where the next entry starts).
TEST(FileBackedRawDatagramStore, HoldsOnlyTheFillingIndexChunkInMemory) {
    const std::string folder = MakeFolder();
    {
        RawDatagramStore store({folder});
        ASSERT_TRUE(store.FileBacked());
        constexpr std::uint32_t kPerIndexChunk = 1u << 16;
        constexpr std::uint32_t kCount = 5 * kPerIndexChunk + 7;
        for (std::uint32_t p = 1; p <= kCount; ++p) ASSERT_EQ(store.Append(Pattern(p, p % 13)), p);
        store.WaitForWrites();
        // Five index chunks of 256 KiB were written; one byte chunk and the one filling remain.
        EXPECT_LE(store.ReservedBytes(), 2 * kChunk + 300000u);
        for (std::uint32_t p = 1; p <= kCount; ++p) ASSERT_TRUE(ReadsBack(store, p, p % 13)) << "position " << p;
        EXPECT_GE(MappingsOf(folder).bytes, 5 * sizeof(std::uint32_t) * kPerIndexChunk);
        store.Clear();
        EXPECT_EQ(MappingsOf(folder).count, 0);
        for (std::uint32_t p = 1; p <= kPerIndexChunk + 1; ++p) ASSERT_EQ(store.Append(Pattern(p, 3)), p);
        EXPECT_TRUE(ReadsBack(store, kPerIndexChunk, 3));
        EXPECT_TRUE(ReadsBack(store, kPerIndexChunk + 1, 3));
    }
    EXPECT_EQ(CountEntries(folder.c_str()), 2) << "both files are unlinked";
    rmdir(folder.c_str());
}

// Each written part is mapped back beside the one before it, so that a long
// capture's file takes one mapping (per gigabyte), not one per chunk: the
// kernel walks every mapping of the process, some of its walks holding the
// memory map's lock meanwhile. Index parts likewise, in a mapping of their own.
TEST(FileBackedRawDatagramStore, WrittenPartsOfEachFileLieInOneMapping) {
    const std::string folder = MakeFolder();
    {
        RawDatagramStore store({folder});
        ASSERT_TRUE(store.FileBacked());
        // 40 byte chunks and two index chunks.
        Fill(store, 40 * kChunk);
        const std::uint32_t large = store.Count();
        while (store.Count() < 2 * 65536 + 1) ASSERT_NE(store.Append(Pattern(store.Count() + 1, 16)), 0u);
        store.WaitForWrites();
        EXPECT_GE(MappingsOf(folder).bytes, 40 * kChunk);
        EXPECT_EQ(MappingsOf(folder).count, 2) << "one mapping for the bytes, one for the index";
        for (std::uint32_t p = 1; p <= store.Count(); p += 1009)
            ASSERT_EQ(store.Get(p).size(), p <= large ? kReceiveBufferSize : 16u)
                << "position " << p;
        EXPECT_TRUE(ReadsBack(store, 1, kReceiveBufferSize));
        EXPECT_TRUE(ReadsBack(store, store.Count(), 16));
    }
    rmdir(folder.c_str());
}

// One file serves every clear: it is cut to nothing, and neither descriptors
// nor mappings pile up.
TEST(FileBackedRawDatagramStore, OutlivesManyClearsOnOneFile) {
    const std::string folder = MakeFolder();
    RawDatagramStore store({folder});
    ASSERT_TRUE(store.FileBacked());
    Fill(store, 3 * kChunk);
    store.Clear();
    const int fds = CountEntries("/proc/self/fd");
    for (int round = 0; round < 20; ++round) {
        Fill(store, 5 * kChunk + round * 4000);
        store.WaitForWrites();
        ASSERT_GT(store.FileBytes(), 0u);
        // Each chunk but the one filling is read through a mapping by now.
        ASSERT_GE(MappingsOf(folder).bytes, 4 * kChunk) << "round " << round;
        ASSERT_TRUE(ReadsBack(store, 1, kReceiveBufferSize)) << "round " << round;
        store.Clear();
        ASSERT_EQ(store.FileBytes(), 0u) << "round " << round;
        ASSERT_EQ(store.Count(), 0u);
        ASSERT_EQ(MappingsOf(folder).count, 0) << "round " << round;
    }
    EXPECT_EQ(CountEntries("/proc/self/fd"), fds);
    rmdir(folder.c_str());
}

// A large file takes long to free, so clearing hands it to another thread and
// goes on in a new file: the store is empty and usable at once, and the old
// file's descriptor and space go once that thread is done.
TEST(FileBackedRawDatagramStore, ClearingALargeStoreStartsANewFileAndFreesTheOld) {
    const std::string folder = MakeFolder();
    {
        RawDatagramStore store({folder});
        ASSERT_TRUE(store.FileBacked());
        const int fds = CountEntries("/proc/self/fd");
        // Most of it may still wait for the disk when the clear comes.
        Fill(store, 20 * kChunk);
        const std::set<std::string> before = testing::DatagramFileNames(folder);
        ASSERT_FALSE(before.empty());
        store.Clear();
        EXPECT_TRUE(store.FileBacked()) << store.StorageNote();
        // New files take the old ones' place (which the other thread may
        // still hold), rather than the old ones being cut and kept.
        const std::set<std::string> after = testing::DatagramFileNames(folder);
        EXPECT_TRUE(std::any_of(after.begin(), after.end(), [&](const std::string& f) { return !before.contains(f); }))
            << "the store kept its files";
        EXPECT_EQ(store.FileBytes(), 0u);
        EXPECT_EQ(MappingsOf(folder).count, 0);
        Fill(store, 3 * kChunk);
        EXPECT_TRUE(ReadsBack(store, 1, kReceiveBufferSize));
        EXPECT_TRUE(ReadsBack(store, store.Count(), kReceiveBufferSize));
        WaitForClosedDatagramFiles();
        EXPECT_EQ(CountEntries("/proc/self/fd"), fds) << "the old files are closed";
    }
    EXPECT_EQ(CountEntries(folder.c_str()), 2) << "nothing is left in the folder";
    rmdir(folder.c_str());
}

struct FoldersCase {
    const char* name;
    const char* xdgCacheHome;
    const char* home;
    const char* tmpdir;
    std::vector<std::string> folders;
};

void PrintTo(const FoldersCase& c, std::ostream* out) { *out << c.name; }

class DatagramFileFoldersTest : public ::testing::TestWithParam<FoldersCase> {};

TEST_P(DatagramFileFoldersTest, CacheThenTmpdirThenTmp) {
    const FoldersCase& c = GetParam();
    EXPECT_EQ(DatagramFileFolders(c.xdgCacheHome, c.home, c.tmpdir), c.folders);
}

INSTANTIATE_TEST_SUITE_P(
    Environments, DatagramFileFoldersTest,
    ::testing::Values(
        FoldersCase{"CacheHomeFirst", "/c", "/h", "/t", {"/c/wirelens", "/t", "/tmp"}},
        FoldersCase{"HomesCacheWithoutCacheHome", nullptr, "/home/u", nullptr, {"/home/u/.cache/wirelens", "/tmp"}},
        FoldersCase{"RelativeCacheHomeIgnored", "cache", "/home/u", nullptr, {"/home/u/.cache/wirelens", "/tmp"}},
        FoldersCase{"EmptyValuesIgnored", "", "", "", {"/tmp"}},
        FoldersCase{"NothingSet", nullptr, nullptr, nullptr, {"/tmp"}},
        FoldersCase{"TmpdirNotTwice", nullptr, nullptr, "/tmp/", {"/tmp"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileBackedRawDatagramStore, MakesMissingFoldersAndTakesTheFirstThatWorks) {
    const std::string base = MakeFolder();
    const std::string notAFolder = base + "/plain";
    std::ofstream(notAFolder) << "x";
    const std::string nested = base + "/cache/wirelens";
    RawDatagramStore store({notAFolder + "/wirelens", nested});
    ASSERT_TRUE(store.FileBacked()) << store.StorageNote();
    EXPECT_EQ(store.Folder(), nested);
    EXPECT_TRUE(store.StorageNote().empty());
    struct stat st {};
    ASSERT_EQ(stat(nested.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the capture's bytes are the user's alone";
    rmdir(nested.c_str());
    rmdir((base + "/cache").c_str());
    unlink(notAFolder.c_str());
    rmdir(base.c_str());
}

// No folder takes a file (root writes anywhere, so a folder under a plain
// file stands for one that cannot be written): the bytes stay in memory, and
// the note names each folder and why.
TEST(FileBackedRawDatagramStore, FallsBackToMemoryAndSaysWhy) {
    const std::string base = MakeFolder();
    const std::string notAFolder = base + "/plain";
    std::ofstream(notAFolder) << "x";
    RawDatagramStore store({notAFolder + "/a", notAFolder + "/b"});
    EXPECT_FALSE(store.FileBacked());
    EXPECT_TRUE(store.Folder().empty());
    const std::string& note = store.StorageNote();
    EXPECT_NE(note.find("kept in memory"), std::string::npos) << note;
    EXPECT_NE(note.find(notAFolder + "/a (Not a directory)"), std::string::npos) << note;
    EXPECT_NE(note.find(notAFolder + "/b (Not a directory)"), std::string::npos) << note;
    Fill(store, 2 * kChunk);
    EXPECT_TRUE(ReadsBack(store, store.Count(), kReceiveBufferSize));
    unlink(notAFolder.c_str());
    rmdir(base.c_str());
}

TEST(FileBackedRawDatagramStore, AFullDiskAtTheStartMeansMemory) {
    SmallTmpfs disk("1m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    RawDatagramStore store({disk.Path()});
    EXPECT_FALSE(store.FileBacked());
    EXPECT_NE(store.StorageNote().find(disk.Path() + " (No space left on device)"), std::string::npos)
        << store.StorageNote();
}

// The disk fills: the chunk that could not be written stays in memory, every
// datagram stored reads back, and nothing more is taken until a clear gives
// the file's room back.
TEST(FileBackedRawDatagramStore, AFullDiskRefusesMoreAndLosesNothing) {
    SmallTmpfs disk("8m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    RawDatagramStore store({disk.Path()});
    ASSERT_TRUE(store.FileBacked()) << store.StorageNote();
    std::uint32_t stored = 0;
    while (stored < 100000 && store.Append(Pattern(stored + 1, 1000)) != 0) ++stored;
    ASSERT_LT(stored, 100000u) << "an 8 MiB disk never filled";
    EXPECT_GT(stored, 4000u) << "at least one chunk went to the file";
    EXPECT_EQ(store.WriteError(), ENOSPC);
    EXPECT_EQ(store.Count(), stored);
    EXPECT_EQ(store.Append(Pattern(1, 10)), 0u) << "still refused";
    EXPECT_EQ(store.Count(), stored);
    for (std::uint32_t p = 1; p <= stored; ++p) ASSERT_TRUE(ReadsBack(store, p, 1000)) << "position " << p;

    store.Clear();
    EXPECT_EQ(store.WriteError(), 0);
    Fill(store, 5 * kChunk / 2);
    EXPECT_TRUE(ReadsBack(store, 1, kReceiveBufferSize));
}

// A store on a loop-mounted ext4 that the test can freeze, its first two
// chunks written, a third just started.
class StoreOnFreezableDisk : public ::testing::Test {
protected:
    void SetUp() override {
        if (!disk.Mounted()) GTEST_SKIP() << "a loop-mounted ext4 needs root, mkfs.ext4 and a loop device";
        held.emplace(std::vector<std::string>{disk.Path()});
        ASSERT_TRUE(held->FileBacked()) << held->StorageNote();
        Fill(*held, 2 * kChunk);
        held->WaitForWrites();
    }
    testing::FreezableDisk disk;
    std::optional<RawDatagramStore> held;
};

// A disk that stalls (here a file system frozen for a while) holds up no
// append while a few chunks' writes can wait their turn, an index chunk's
// among them; once it goes on, every chunk reaches the file and every
// datagram reads back from it.
TEST_F(StoreOnFreezableDisk, ADiskThatStallsHoldsUpNoAppend) {
    RawDatagramStore& store = *held;
    if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";
    // Thawed by the test once the appends are done, or here if they wait for the disk.
    std::atomic<bool> appendsDone{false};
    std::atomic<bool> thawedForThem{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 100 && !appendsDone; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (!appendsDone) {
            thawedForThem = true;
            disk.Thaw();
        }
    });
    Fill(store, 8 * kChunk);
    const std::uint32_t large = store.Count();
    // Small ones, past the first index chunk's end.
    while (store.Count() < 70000) ASSERT_NE(store.Append(Pattern(store.Count() + 1, 16)), 0u);
    appendsDone = true;
    watchdog.join();
    EXPECT_FALSE(thawedForThem) << "appending waited for the stalled disk";
    disk.Thaw();
    store.WaitForWrites();
    EXPECT_EQ(store.WriteError(), 0);
    EXPECT_GE(store.FileBytes(), 9 * kChunk);
    // The filling chunk, the next and two spares: the rest is read from the file.
    EXPECT_LE(store.ReservedBytes(), 4 * kChunk + (1u << 20)) << "written chunks are read from the file";
    for (std::uint32_t p = 1; p <= store.Count(); ++p)
        ASSERT_TRUE(ReadsBack(store, p, p <= large ? kReceiveBufferSize : 16)) << "position " << p;
}

// Mapping a written chunk back waits for the process's memory map, which
// others hold at times (the kernel's huge-page scanner was seen to hold it
// for seconds); here another thread populates a gigabyte, holding it all the
// while. The writer maps without the lock that each chunk's start takes, so
// the appending thread goes on into the spare chunks meanwhile.
TEST(FileBackedRawDatagramStore, AMappingThatWaitsHoldsUpNoAppendWhileSparesLast) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's allocator maps memory for the appends' own
    // bookkeeping, which then waits for the held memory map too.
    GTEST_SKIP() << "the sanitizer's allocator maps memory on append";
#endif
    using Clock = std::chrono::steady_clock;
    const std::string folder = MakeFolder();
    RawDatagramStore store({folder});
    ASSERT_TRUE(store.FileBacked()) << store.StorageNote();
    // Two written chunks come back as spares: the appends below need no new
    // memory, which would wait for the memory map as well.
    Fill(store, 3 * kChunk);
    store.WaitForWrites();
    const std::vector<std::uint8_t> datagram(kReceiveBufferSize, 0x5a);
    const auto append = [&](std::size_t bytes) {
        for (std::size_t done = 0; done < bytes; done += kReceiveBufferSize) ASSERT_NE(store.Append(datagram), 0u);
    };

    testing::HeldMemoryMap held;
    ASSERT_TRUE(held.Holding());
    // The chunk completed here goes to the writer, which then waits to map it;
    append(kChunk);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // the next one starts its write, taking the writer's lock, and the last
    // spare fills (short of its middle, where a new spare would be made).
    append(kChunk + 8 * kReceiveBufferSize);
    const Clock::time_point appended = Clock::now();
    held.Release();
    if (!held.HeldLongEnough()) GTEST_SKIP() << "populating took too little time here to hold a mapping against";
    EXPECT_LT(appended, held.Ended()) << "appending waited for the writer's mapping";
    store.WaitForWrites();
    EXPECT_EQ(store.WriteError(), 0);
    for (std::uint32_t p = 1; p <= 3 * kChunk / kReceiveBufferSize; ++p)
        ASSERT_TRUE(ReadsBack(store, p, kReceiveBufferSize)) << "position " << p;
    EXPECT_EQ(store.Get(store.Count()).size(), kReceiveBufferSize);
}

// While earlier chunks wait for a slow disk, the chunk after the filling one
// is still made ready (its pages cleared on another thread) by the time the
// filling one is half full, rather than made by the filling thread when it
// needs it.
TEST_F(StoreOnFreezableDisk, ASlowDiskStillHasTheNextChunkMadeReadyAhead) {
    RawDatagramStore& store = *held;
    if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";
    // Four more chunks' writes wait, more than the spares kept; past the
    // middle of the filling chunk the next one is there as well.
    Fill(store, 4 * kChunk + kChunk / 2 + 8 * kReceiveBufferSize);
    EXPECT_GE(store.ReservedBytes(), 6 * kChunk) << "4 waiting, the filling one and the next";
    disk.Thaw();
    ExpectWrittenAndWhole(store);
}

// A store prepared for a capture with 2 GiB available (room for 64 parts to
// wait for the disk), on a disk that can be frozen; in a plain build only, as
// the sanitizer's allocator maps memory on append.
class PreparedStoreOnFreezableDisk : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(__SANITIZE_ADDRESS__)
        GTEST_SKIP() << "the sanitizer's allocator maps memory on append";
#endif
        if (!disk.Mounted()) GTEST_SKIP() << "a loop-mounted ext4 needs root, mkfs.ext4 and a loop device";
        prepared.emplace(std::vector<std::string>{disk.Path()});
        ASSERT_TRUE(prepared->FileBacked()) << prepared->StorageNote();
        prepared->PrepareFirstChunks(std::uint64_t{2} << 30);
        ASSERT_EQ(prepared->WaitingRoom(), 64u);
    }
    testing::FreezableDisk disk;
    std::optional<RawDatagramStore> prepared;
};

// A bunch of chunks that wait for the disk mid-capture needs no mmap, which
// would wait for the process's memory map when another holds it: a prepared
// store has their address space already, and a chunk written back beyond
// those kept ready gives its pages back but keeps its address space.
TEST_F(PreparedStoreOnFreezableDisk, ChunksWaitingForTheDiskTakeNoNewMappingWhileTheMapIsHeld) {
    RawDatagramStore& store = *prepared;
    // Two rounds: the first bunch's chunks come back beyond the ready ones.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        Fill(store, 2 * kChunk);
        store.WaitForWrites();
        if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";
        testing::HeldMemoryMap held;
        ASSERT_TRUE(held.Holding());
        Fill(store, 8 * kChunk);  // eight chunks wait for the frozen disk
        const auto appended = testing::HeldMemoryMap::Clock::now();
        held.Release();
        disk.Thaw();
        store.WaitForWrites();
        ASSERT_EQ(store.WriteError(), 0);
        if (!held.HeldLongEnough()) GTEST_SKIP() << "populating took too little time here to hold the map";
        EXPECT_LT(appended, held.Ended()) << "a chunk's memory was mapped while the map was held";
        // What came back beyond the ready chunks holds no memory.
        EXPECT_LE(store.ReservedBytes(), 4 * kChunk + (1u << 20));
    }
    for (std::uint32_t p = 1; p <= store.Count(); ++p)
        ASSERT_TRUE(ReadsBack(store, p, kReceiveBufferSize)) << "position " << p;
}

// A disk behind the capture shows before an append would wait for it: the
// writer is full while its oldest part is still being written, and no
// longer once that part is done.
TEST_F(StoreOnFreezableDisk, SaysWhenTheWriterIsFullBeforeAnAppendWouldWait) {
    RawDatagramStore& store = *held;
    EXPECT_FALSE(store.WriterFull());
    if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";
    // Append until the writer says it is full; a chunk more than it takes would wait.
    int chunks = 0;
    for (; !store.WriterFull() && chunks < 100; ++chunks) Fill(store, kChunk);
    EXPECT_TRUE(store.WriterFull()) << "after " << chunks << " chunks";
    // 64 parts wait for the disk, some of them index parts: 256 MiB of bytes.
    EXPECT_GE(chunks, 56) << "full before it had its parts";
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(store.WriterFull()) << "the frozen disk took a part";
    disk.Thaw();
    for (int i = 0; i < 500 && store.WriterFull(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(store.WriterFull()) << "still full once the disk took the parts";
    ExpectWrittenAndWhole(store);
}

// However far behind the disk falls, within the room, the chunks that wait
// for it add no mapping to the process's map: the kernel walks every mapping
// at times holding the map, and each mapping made mid-capture can wait for it.
TEST_F(PreparedStoreOnFreezableDisk, ChunksWaitingForTheDiskAddNoMapping) {
    RawDatagramStore& store = *prepared;
    Fill(store, 2 * kChunk);
    store.WaitForWrites();
    if (!disk.Freeze()) GTEST_SKIP() << "this kernel cannot freeze ext4";
    const auto mappings = [] {
        std::ifstream maps("/proc/self/maps");
        return std::count(std::istreambuf_iterator<char>(maps), {}, '\n');
    };
    const auto before = mappings();
    Fill(store, 40 * kChunk);  // more than a quarter of the room: 40 chunks wait
    EXPECT_EQ(mappings(), before);
    EXPECT_GE(store.MostWaited(), 40u);
    disk.Thaw();
    ExpectWrittenAndWhole(store);
}

// The chunks a store lets wait for a disk behind it follow the machine's
// memory: an eighth of what is available, within bounds.
TEST(FileBackedRawDatagramStore, LetsAnEighthOfTheAvailableMemoryWaitForTheDisk) {
    constexpr std::uint64_t kMiB = 1u << 20;
    const struct {
        std::optional<std::uint64_t> available;
        std::size_t parts;
    } cases[] = {
        {std::nullopt, 64},             // not known: 256 MiB
        {0, 16},                        // never under 64 MiB
        {300 * kMiB, 16},
        {2048 * kMiB, 64},
        {4096 * kMiB + 31 * kMiB, 128}, // whole chunks
        {24576 * kMiB, 256},            // never over 1 GiB
    };
    for (const auto& c : cases) EXPECT_EQ(WaitingPartsFor(c.available), c.parts) << c.available.value_or(-1);

    const ScopedFolder scoped;
    const std::string& folder = scoped.path;
    RawDatagramStore store({folder});
    ASSERT_TRUE(store.FileBacked());
    store.PrepareFirstChunks(std::uint64_t{1} << 30);
    EXPECT_EQ(store.WaitingRoom(), 32u);
    // Kept from the first preparation on: the space for them is made then.
    store.Clear();
    store.PrepareFirstChunks(std::uint64_t{8} << 30);
    EXPECT_EQ(store.WaitingRoom(), 32u);
}

// A range of whole pages of this process.
struct Mapping {
    const std::uint8_t* start = nullptr;
    std::size_t bytes = 0;
};

// Whether [at, at + bytes) lies in one mapping of a file in `folder`.
bool InFileMapping(const std::string& folder, const void* at, std::size_t bytes) {
    std::ifstream maps("/proc/self/maps");
    const auto address = reinterpret_cast<std::uintptr_t>(at);
    for (std::string line; std::getline(maps, line);) {
        unsigned long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx", &start, &end) == 2 && start <= address && address < end)
            return address + bytes <= end && line.find(folder + "/") != std::string::npos;
    }
    return false;
}

std::size_t ResidentPages(const Mapping& m) {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in((m.bytes + page - 1) / page);
    if (mincore(const_cast<std::uint8_t*>(m.start), m.bytes, in.data()) != 0) return SIZE_MAX;
    return static_cast<std::size_t>(std::count_if(in.begin(), in.end(), [](unsigned char c) { return (c & 1) != 0; }));
}

// Waits up to 5 s for every page of `m` to be in the page cache: read-ahead
// is asked for, not waited on. Returns the pages found.
std::size_t AwaitResident(const Mapping& m) {
    const std::size_t pages = m.bytes / static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < 500 && ResidentPages(m) < pages; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return ResidentPages(m);
}

// Written chunks read cold: a lone read (a click) brings in the pages of its
// datagram, not the disk's read-ahead window around them; reads in order (a
// screenful of rows, a pass) ask for what follows them before they reach it,
// and a run through a chunk asks for the start of the next.
TEST(FileBackedRawDatagramStore, ALoneReadBringsInItsPagesAndReadsInOrderWhatFollows) {
    const ScopedFolder scoped;
    const std::string& folder = scoped.path;
    RawDatagramStore store({folder});
    ASSERT_TRUE(store.FileBacked());
    Fill(store, 6 * kChunk);
    store.WaitForWrites();
    const auto perChunk = static_cast<std::uint32_t>(kChunk / kReceiveBufferSize);
    const std::uint32_t lone = 2 * perChunk + perChunk / 2;  // in the middle of the third chunk
    const std::uint32_t firstOfFourth = 3 * perChunk + 1;
    // A chunk's first datagram lies at its start.
    const Mapping third{store.Get(2 * perChunk + 1).data(), kChunk};
    const Mapping fourth{store.Get(firstOfFourth).data(), kChunk};
    const Mapping fifth{store.Get(firstOfFourth + perChunk).data(), kChunk};
    for (const Mapping& chunk : {third, fourth, fifth})
        ASSERT_TRUE(InFileMapping(folder, chunk.start, chunk.bytes)) << "the chunk is read from the file";
    ASSERT_GT(store.Get(lone).data(), third.start);
    // Dropped pages that stay resident: a file system that keeps them in memory (tmpfs).
    if (!testing::DropDatagramFilePages(folder) || ResidentPages(third) != 0)
        GTEST_SKIP() << "this file system keeps its pages in memory";

    EXPECT_TRUE(ReadsBack(store, lone, kReceiveBufferSize));
    // Its pages, and at most one more where the datagram meets a page's end.
    EXPECT_LE(ResidentPages(third), 3u) << "a lone read brought in the read-ahead window around it";
    EXPECT_EQ(ResidentPages(fourth) + ResidentPages(fifth), 0u);

    // Four rows in order: the 64 KiB after them are asked for.
    for (std::uint32_t p = firstOfFourth; p < firstOfFourth + 4; ++p)
        EXPECT_TRUE(ReadsBack(store, p, kReceiveBufferSize));
    const std::size_t readEnd = (4 * kReceiveBufferSize + 4095) / 4096 * 4096;
    const Mapping after{fourth.start + readEnd, 64u << 10};
    EXPECT_EQ(AwaitResident(after), after.bytes / 4096) << "reads in order did not read ahead";
    // Nothing more comes later: a screenful of rows asks for little.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_LE(ResidentPages(fourth), 64u) << "a few rows asked for much of a chunk";
    EXPECT_EQ(ResidentPages(fifth), 0u) << "a few rows asked for the next chunk";

    // A run through the fourth chunk: the fifth's start is there before it is read.
    for (std::uint32_t p = firstOfFourth + 4; p < firstOfFourth + perChunk; ++p)
        ASSERT_TRUE(ReadsBack(store, p, kReceiveBufferSize)) << "position " << p;
    const Mapping fifthStart{fifth.start, 256u << 10};
    EXPECT_EQ(AwaitResident(fifthStart), fifthStart.bytes / 4096) << "a run in order did not read on into the next chunk";

    for (std::uint32_t p = 1; p <= store.Count(); ++p)
        ASSERT_TRUE(ReadsBack(store, p, kReceiveBufferSize)) << "position " << p;
}

// A session whose store keeps its file on `disk`, as the cache folder says.
std::unique_ptr<CaptureSession> SessionOn(const SmallTmpfs& disk) {
    const char* oldCache = std::getenv("XDG_CACHE_HOME");
    const std::string restore = oldCache != nullptr ? oldCache : "";
    setenv("XDG_CACHE_HOME", disk.Path().c_str(), 1);
    auto session = std::make_unique<CaptureSession>();
    if (restore.empty()) unsetenv("XDG_CACHE_HOME");
    else setenv("XDG_CACHE_HOME", restore.c_str(), 1);
    return session;
}

std::vector<std::uint8_t> UdpDatagram(std::size_t payload, std::uint8_t fill) {
    testing::DatagramFields f;
    f.protocol = 17;
    f.src = "198.51.100.2";
    f.dst = "198.51.100.1";
    f.payload.assign(payload, fill);
    return testing::BuildDatagram(f);
}

// The session refuses the packet that found the disk full as DiskFull and
// keeps nothing of it; every packet filed before stays.
TEST(FileBackedRawDatagramStore, TheSessionSaysDiskFullAndKeepsWhatItFiled) {
    SmallTmpfs disk("8m");
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
    auto session = SessionOn(disk);
    ASSERT_EQ(session->Raw().Folder(), disk.Path() + "/wirelens");
    const auto datagram = UdpDatagram(1500, 0x5a);
    IngestResult last;
    for (int i = 0; i < 100000; ++i) {
        last = session->Ingest(datagram, {1700000000, 0});
        if (last.status == IngestStatus::Refused) break;
    }
    ASSERT_EQ(last.status, IngestStatus::Refused);
    EXPECT_EQ(last.key, 0);
    EXPECT_EQ(session->LastRefusal(), FilingStop::DiskFull);
    const std::int32_t filed = session->Count();
    EXPECT_EQ(session->Raw().Count(), static_cast<std::uint32_t>(filed)) << "nothing of the refused packet is kept";
    for (std::int32_t key = 1; key <= filed; ++key) {
        const auto bytes = session->Bytes(*session->Packets().Get(key));
        ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), datagram.begin(), datagram.end())) << "key " << key;
    }
    EXPECT_EQ(session->Ingest(datagram, {1700000000, 0}).status, IngestStatus::Refused);
    session->Clear();
    EXPECT_NE(session->Ingest(datagram, {1700000000, 0}).status, IngestStatus::Refused);
}

// The store writes behind the packets filed, so the last packets of a burst
// may be filed before the disk refuses their chunk. Asked afterwards, the
// session says DiskFull once the write has failed (on a disk too small) and
// nothing once every write has landed (on one large enough); either way no
// write is left pending and every packet filed reads back.
TEST(FileBackedRawDatagramStore, AFullDiskBehindTheLastPacketShowsWhenAsked) {
    struct Case {
        const char* diskSize;
        bool fills;
    };
    for (const Case& c : {Case{"8m", true}, Case{"64m", false}}) {
        SCOPED_TRACE(c.diskSize);
        SmallTmpfs disk(c.diskSize);
        if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root and a mount namespace";
        auto session = SessionOn(disk);
        ASSERT_TRUE(session->Raw().FileBacked());
        const auto datagram = UdpDatagram(1400, 0x3c);
        // Five chunks: fewer than may wait for the writer, so filing never waits for the disk.
        for (int i = 0; i < 5 * 4 * 1024 * 1024 / 1428; ++i)
            if (session->Ingest(datagram, {1700000000, 0}).status == IngestStatus::Refused) break;
        bool ok = true;
        for (int polls = 0; polls < 2000 && (ok = session->CheckStoreWrites()) && session->StoreWritesPending(); ++polls)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_FALSE(session->StoreWritesPending());
        EXPECT_EQ(ok, !c.fills);
        EXPECT_EQ(session->LastRefusal(), c.fills ? FilingStop::DiskFull : FilingStop::None);
        EXPECT_EQ(session->Raw().WriteError(), c.fills ? ENOSPC : 0);
        for (std::int32_t key = 1; key <= session->Count(); ++key) {
            const auto bytes = session->Bytes(*session->Packets().Get(key));
            ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), datagram.begin(), datagram.end())) << "key " << key;
        }
    }
}

}  // namespace
}  // namespace wirelens
