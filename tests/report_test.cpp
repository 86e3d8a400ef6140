// The packet report: goldens byte for byte, and writing it to a file.
#include "views/report.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace wirelens {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Bounds a wait only so that a save that blocks fails instead of hanging.
constexpr int kHangGuardSeconds = 5;

std::string Spaces(std::size_t count) {
    return std::string(count, ' ');
}

const std::string kHeader =
    "Protocol: ICMP\r\n"
    "IP (source): 198.51.100.7\r\n"
    "Port (source): \r\n"
    "IP (destination): 203.0.113.20\r\n"
    "Port (destination): \r\n";

PacketRowTexts IcmpRow(std::string length) {
    return {"ICMP", "198.51.100.7", "", "203.0.113.20", "", std::move(length), "09:15:02.47"};
}

std::string Header(const std::string& length) {
    return kHeader + "Length (bytes): " + length + "\r\nStart Time: 09:15:02.47\r\n";
}

const std::string kTextHeading =
    "------------------------------ Text ------------------------------\r\n";
const std::string kHexHeading =
    "----------------------- Hex ------------------- | -----Ascii -----\r\n";

// What a click on an ICMP row with these data bytes leaves in the views, saved.
std::string ReportOfData(const Bytes& data) {
    Bytes datagram(20, 0x45);
    datagram.insert(datagram.end(), data.begin(), data.end());
    const auto detail = BuildPacketDetail(datagram, 20, static_cast<std::int32_t>(data.size()));
    std::vector<HexViewCells> rows;
    for (const auto& row : detail.hexRows) rows.push_back(SplitHexRow(row.hexText, row.charText));
    return BuildReport(IcmpRow(std::to_string(data.size())), detail.text, rows);
}

std::vector<std::string> LinesOf(const std::string& report) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < report.size()) {
        const auto end = report.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(report.substr(start));  // no line end: the caller's check fails
            break;
        }
        lines.push_back(report.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

TEST(ReportGolden, TwoBytesAAndLineFeed) {
    const std::string expected = Header("2") + "\r\n" + kTextHeading +
                                 "A\r\n\r\n"  // the text view holds A CR LF
                                 "\r\n" + kHexHeading +
                                 "41 0A " + Spaces(14 * 3) + "| A. \r\n";
    EXPECT_EQ(ReportOfData({0x41, 0x0A}), expected);
}

TEST(ReportGolden, LastHexRowOfFiveBytes) {
    const std::string expected =
        Header("21") + "\r\n" + kTextHeading + "ABCDEFGHIJKLMNOPQRSTU\r\n" + "\r\n" + kHexHeading +
        "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP \r\n"
        "51 52 53 54 55 " + Spaces(11 * 3) + "| QRSTU \r\n";
    const std::string text = "ABCDEFGHIJKLMNOPQRSTU";
    EXPECT_EQ(ReportOfData(Bytes(text.begin(), text.end())), expected);
}

TEST(ReportGolden, NeverClickedRowHasEmptySections) {
    const std::string expected = Header("64") + "\r\n" + kTextHeading + "\r\n" + "\r\n" + kHexHeading;
    EXPECT_EQ(BuildReport(IcmpRow("64"), "", {}), expected);
}

TEST(ReportGolden, LengthZeroHasEmptySections) {
    const std::string expected = Header("0") + "\r\n" + kTextHeading + "\r\n" + "\r\n" + kHexHeading;
    EXPECT_EQ(ReportOfData({}), expected);
}

TEST(ReportGolden, LineFeedsAndCrLfPairsInTheData) {
    const std::string data = "one\ntwo\r\nend";
    const std::string expected =
        Header("12") + "\r\n" + kTextHeading + "one\r\ntwo\r\r\nend\r\n" + "\r\n" + kHexHeading +
        "6F 6E 65 0A 74 77 6F 0D 0A 65 6E 64 " + Spaces(4 * 3) + "| one.two..end \r\n";
    EXPECT_EQ(ReportOfData(Bytes(data.begin(), data.end())), expected);
}

TEST(ReportGolden, LargestIcmpDataGives124HexLines) {
    Bytes data(1980);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('a' + i % 26);
    const auto lines = LinesOf(ReportOfData(data));

    // 7 header lines, empty, heading, one text line, empty, heading, 124 hex lines.
    ASSERT_EQ(lines.size(), 12u + 124u);
    EXPECT_EQ(lines[11] + "\r\n", kHexHeading);
    EXPECT_EQ(lines[12], "61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70 | abcdefghijklmnop ");
    for (std::size_t i = 12; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].find('|'), 48u) << "hex line " << i - 11;
    }
    // Bytes 1968..1979: 1968 % 26 == 18, so the last row starts at 's'.
    EXPECT_EQ(lines.back(), "73 74 75 76 77 78 79 7A 61 62 63 64 " + Spaces(4 * 3) + "| stuvwxyzabcd ");
}

// --- Writing the file ---

class ReportFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A parameterized test's name holds a '/', which would make the folder a nested one.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        mFolder = fs::temp_directory_path() / ("wirelens-report-" + std::to_string(::getpid()) + "-" + name);
        fs::remove_all(mFolder);
        fs::create_directories(mFolder);
    }
    void TearDown() override {
        fs::permissions(mFolder, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(mFolder);
    }
    static std::string Read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(mFolder)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    fs::path mFolder;
};

TEST_F(ReportFileTest, WritesTheBytesExactlyWithoutByteOrderMark) {
    const std::string content = "Protocol: UDP\r\n\xC2\xAB\r\n";
    const auto path = mFolder / "report.txt";
    EXPECT_EQ(WriteReportFile(path, content), std::nullopt);
    EXPECT_EQ(Read(path), content);
    EXPECT_EQ(Entries(), std::vector<std::string>{"report.txt"});  // no temporary file left
}

TEST_F(ReportFileTest, SecondSaveReplacesTheFirstCompletelyAndKeepsItsPermissions) {
    const auto path = mFolder / "report.txt";
    ASSERT_EQ(WriteReportFile(path, std::string(5000, 'x')), std::nullopt);
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(WriteReportFile(path, "short\r\n"), std::nullopt);
    EXPECT_EQ(Read(path), "short\r\n");
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(Entries(), std::vector<std::string>{"report.txt"});
}

TEST_F(ReportFileTest, MissingFolderIsReportedWithTheSystemReason) {
    const auto path = mFolder / "no-such-folder" / "report.txt";
    const auto error = WriteReportFile(path, "x\r\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(path.string()), std::string::npos) << *error;
    EXPECT_NE(error->find("No such file or directory"), std::string::npos) << *error;
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ReportFileTest, FolderThatIsAFileIsReported) {
    std::ofstream(mFolder / "plain") << "keep";
    const auto error = WriteReportFile(mFolder / "plain" / "report.txt", "x\r\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("Not a directory"), std::string::npos) << *error;
    EXPECT_EQ(Read(mFolder / "plain"), "keep");
}

TEST_F(ReportFileTest, FolderThatTakesNoFilesIsReportedAndNothingIsWritten) {
    // /proc refuses new files even to root.
    const std::string path = "/proc/wirelens-report-" + std::to_string(::getpid()) + ".txt";
    const auto error = WriteReportFile(path, "x\r\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find(path), std::string::npos) << *error;
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ReportFileTest, ReadOnlyFolderIsReportedAndNothingIsWritten) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    fs::permissions(mFolder, fs::perms::owner_read | fs::perms::owner_exec);
    const auto error = WriteReportFile(mFolder / "report.txt", "x\r\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("Permission denied"), std::string::npos) << *error;
    EXPECT_TRUE(Entries().empty());
}

TEST_F(ReportFileTest, WritableFileInReadOnlyFolderIsRewrittenInPlace) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    const auto path = mFolder / "report.txt";
    std::ofstream(path) << "old content that is longer";
    fs::permissions(mFolder, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(WriteReportFile(path, "new\r\n"), std::nullopt);
    EXPECT_EQ(Read(path), "new\r\n");
}

TEST_F(ReportFileTest, FailedWriteIsReportedNotTakenForSuccess) {
    // Every write to /dev/full fails with ENOSPC; the link makes it the chosen name.
    const auto link = mFolder / "full.txt";
    fs::create_symlink("/dev/full", link);
    const auto error = WriteReportFile(link, std::string(100, 'x'));
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("No space left on device"), std::string::npos) << *error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(Entries(), std::vector<std::string>{"full.txt"});
}

TEST_F(ReportFileTest, LinkToAFileIsWrittenThrough) {
    const auto target = mFolder / "target.txt";
    std::ofstream(target) << "old";
    fs::create_symlink(target, mFolder / "link.txt");
    EXPECT_EQ(WriteReportFile(mFolder / "link.txt", "new\r\n"), std::nullopt);
    EXPECT_TRUE(fs::is_symlink(mFolder / "link.txt"));
    EXPECT_EQ(Read(target), "new\r\n");
}

// What cannot take a report without some reader's help is refused at once; a
// FIFO nobody reads used to hold the caller in open() for good.
struct SpecialTargetCase {
    const char* name;
    std::function<void(const fs::path&)> make;  // makes the chosen name
    const char* told;
};

void PrintTo(const SpecialTargetCase& c, std::ostream* out) { *out << c.name; }

void MakeFifo(const fs::path& path) { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }

class ReportSpecialTargetTest : public ReportFileTest,
                                public ::testing::WithParamInterface<SpecialTargetCase> {};

TEST_P(ReportSpecialTargetTest, IsRefusedAtOnceWithWhatItIs) {
    const SpecialTargetCase& c = GetParam();
    const fs::path path = mFolder / "report.txt";
    c.make(path);
    auto save = std::async(std::launch::async, [&] { return WriteReportFile(path, "x\r\n"); });
    if (save.wait_for(std::chrono::seconds(kHangGuardSeconds)) != std::future_status::ready) {
        // Let the blocked open go, so the test ends and says why.
        const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        save.wait();
        if (reader >= 0) ::close(reader);
        FAIL() << "saving to " << c.name << " blocked";
    }
    const auto error = save.get();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, "Cannot save to \"" + path.string() + "\": it is " + c.told + ", not a file.");
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ReportSpecialTargetTest,
    ::testing::Values(
        SpecialTargetCase{"Fifo", MakeFifo, "a FIFO (named pipe)"},
        SpecialTargetCase{"LinkToAFifo",
                          [](const fs::path& path) {
                              MakeFifo(path.parent_path() / "fifo");
                              fs::create_symlink(path.parent_path() / "fifo", path);
                          },
                          "a FIFO (named pipe)"},
        SpecialTargetCase{"Socket",
                          [](const fs::path& path) {
                              const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                              sockaddr_un address{};
                              address.sun_family = AF_UNIX;
                              std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
                              ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
                              ::close(fd);
                          },
                          "a socket"},
        SpecialTargetCase{"Folder", [](const fs::path& path) { fs::create_directory(path); }, "a folder"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ReportFileTest, CharacterDeviceThatTakesTheDataAtOnceIsWritten) {
    fs::create_symlink("/dev/null", mFolder / "null.txt");
    EXPECT_EQ(WriteReportFile(mFolder / "null.txt", "x\r\n"), std::nullopt);
}

TEST_F(ReportFileTest, NewFileWithATooLongNameCouldNotBeCreated) {
    const fs::path path = mFolder / (std::string(300, 'n') + ".txt");
    const auto error = WriteReportFile(path, "x\r\n");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(*error, "Cannot create the file \"" + path.string() + "\": File name too long");
    EXPECT_TRUE(Entries().empty()) << "no temporary file left";
}

}  // namespace
}  // namespace wirelens
