// Packet detail views computed from stored datagrams: the hex rows, their
// cells, the character column and the text view.
#include "views/hex_view.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture/raw_datagram_store.h"

namespace wirelens {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A datagram whose data begins at offset.
Bytes DatagramWithData(int offset, const Bytes& data) {
    Bytes datagram(static_cast<std::size_t>(offset), 0xEE);  // header bytes never shown
    return Concat(datagram, data);
}

std::string HexOf(const Bytes& data) {
    std::string out;
    char cell[3];
    for (std::uint8_t b : data) {
        std::snprintf(cell, sizeof cell, "%02X", b);
        out += cell;
    }
    return out;
}

// Bytes 0..size-1 of a pattern that covers every byte value.
Bytes Pattern(std::size_t size, std::size_t start = 0) {
    Bytes data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>((start + i) * 7 + 3);
    return data;
}

// --- Character column ---

TEST(PrintableCharacter, EveryByteFrom128OnIsItsWindows1252Character) {
    iconv_t cd = iconv_open("UTF-8", "CP1252");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1)) << "CP1252 converter not installed";
    int compared = 0;
    for (int b = 0x80; b <= 0xFF; ++b) {
        char in[1] = {static_cast<char>(b)};
        char out[8] = {};
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = 1;
        std::size_t outLeft = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
            // The five bytes Windows-1252 leaves unassigned are shown as the same code point.
            const char32_t expected = static_cast<char32_t>(b);
            const std::string utf8{static_cast<char>(0xC0 | (expected >> 6)),
                                   static_cast<char>(0x80 | (expected & 0x3F))};
            EXPECT_EQ(PrintableCharacter(static_cast<std::uint8_t>(b)), utf8) << "byte " << b;
            continue;
        }
        EXPECT_EQ(PrintableCharacter(static_cast<std::uint8_t>(b)),
                  std::string(out, sizeof out - outLeft))
            << "byte " << b;
        ++compared;
    }
    iconv_close(cd);
    EXPECT_EQ(compared, 128 - 5);
}

// --- Rows and cells ---

TEST(SplitHexRow, FullRowFillsSixteenCellsTheBarAndTheText) {
    const auto cells = SplitHexRow("000102030405060708090A0B0C0D0E0F", "abcdefghijklmnop");
    for (int i = 0; i < 16; ++i) {
        char expected[3];
        std::snprintf(expected, sizeof expected, "%02X", i);
        EXPECT_EQ(cells[static_cast<std::size_t>(i)], expected);
    }
    EXPECT_EQ(cells[16], "|");
    EXPECT_EQ(cells[17], "abcdefghijklmnop");
}

TEST(SplitHexRow, StopsAtTheLastCompletePair) {
    const auto cells = SplitHexRow("41424", "AB");
    EXPECT_EQ(cells[0], "41");
    EXPECT_EQ(cells[1], "42");
    for (int i = 2; i < 16; ++i) EXPECT_EQ(cells[static_cast<std::size_t>(i)], "") << "cell " << i;
    EXPECT_EQ(cells[16], "|");
    EXPECT_EQ(cells[17], "AB");
}

// --- Text view ---

struct TextCase {
    const char* name;
    Bytes data;
    std::string text;
};

class TextViewTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextViewTest, Decodes) {
    EXPECT_EQ(BuildTextViewText(GetParam().data), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Data, TextViewTest,
    ::testing::Values(
        TextCase{"LfBecomesCrLf", {'a', 0x0A, 'b', 0x0A}, "a\r\nb\r\n"},
        TextCase{"CrLfBecomesCrCrLf", {'A', 0x0D, 0x0A, 'B'}, "A\r\r\nB"},
        TextCase{"LoneCrAndOtherControlsStay", {0x0D, 0x01, 0x1F, 0x7F, 0x09}, "\r\x01\x1F\x7F\t"},
        TextCase{"StopsBeforeTheFirstZero", {'a', 'b', 0x00, 'c', 0x0A}, "ab"},
        TextCase{"WellFormedUtf8Stays", {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80},
                 "\u00E9\u20AC\U0001F600"},
        TextCase{"LoneHighByteIsReplaced", {'x', 0xAB, 'y'}, "x\uFFFDy"},
        TextCase{"TruncatedSequenceIsOneReplacement", {0xE2, 0x82, 'A'}, "\uFFFDA"},
        TextCase{"OverlongFormIsReplacedBytewise", {0xC0, 0x80}, "\uFFFD\uFFFD"},
        TextCase{"SurrogateIsReplacedBytewise", {0xED, 0xA0, 0x80}, "\uFFFD\uFFFD\uFFFD"},
        TextCase{"BeyondU10FFFFIsReplaced", {0xF4, 0x90, 0x80, 0x80}, "\uFFFD\uFFFD\uFFFD\uFFFD"},
        TextCase{"LfInsideABrokenSequenceStillBreaks", {0xE2, 0x0A, 'z'}, "\uFFFD\r\nz"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The click: data cut out of a stored datagram ---

class ClickedRowTest : public ::testing::Test {
protected:
    std::string Store(const Bytes& datagram) {
        return std::to_string(mStore.Append(datagram));
    }
    RawDatagramStore mStore;
};

TEST_F(ClickedRowTest, HelloExampleOfAUdpRow) {
    const auto tag = Store(DatagramWithData(28, {0x48, 0x65, 0x6C, 0x6C, 0x6F, 0x0D, 0x0A, 0x00}));
    const auto detail = BuildPacketDetail("UDP", "8", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 1u);
    EXPECT_EQ(detail.hexRows[0], (HexRow{"48656C6C6F0D0A00", "Hello..."}));
    EXPECT_EQ(detail.text, "Hello\r\r\n");
}

TEST_F(ClickedRowTest, CrLfExampleOfAnIcmpRow) {
    const auto tag = Store(DatagramWithData(20, {0x41, 0x0D, 0x0A, 0x42}));
    const auto detail = BuildPacketDetail("ICMP", "4", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 1u);
    EXPECT_EQ(detail.hexRows[0], (HexRow{"410D0A42", "A..B"}));
    EXPECT_EQ(detail.text, "A\r\r\nB");
    const auto cells = SplitHexRow(detail.hexRows[0].hexText, detail.hexRows[0].charText);
    EXPECT_EQ(cells[0], "41");
    EXPECT_EQ(cells[3], "42");
    EXPECT_EQ(cells[4], "");
}

TEST_F(ClickedRowTest, LengthZeroOrNegativeGivesEmptyViews) {
    const auto tag = Store(DatagramWithData(20, Pattern(40)));
    for (const char* length : {"0", "-1", "-20", "-2147483648"}) {
        EXPECT_EQ(BuildPacketDetail("ICMP", length, tag, mStore), PacketDetail{}) << "Length " << length;
    }
}

TEST_F(ClickedRowTest, SixteenBytesMakeOneFullRowSeventeenMakeTwo) {
    const Bytes data = Pattern(17);
    const auto tag = Store(DatagramWithData(40, data));

    const auto sixteen = BuildPacketDetail("TCP", "16", tag, mStore);
    ASSERT_EQ(sixteen.hexRows.size(), 1u);
    EXPECT_EQ(sixteen.hexRows[0].hexText.size(), 32u);

    const auto seventeen = BuildPacketDetail("TCP", "17", tag, mStore);
    ASSERT_EQ(seventeen.hexRows.size(), 2u);
    const auto cells = SplitHexRow(seventeen.hexRows[1].hexText, seventeen.hexRows[1].charText);
    EXPECT_EQ(cells[0], HexOf({data[16]}));
    for (int i = 1; i < 16; ++i) EXPECT_EQ(cells[static_cast<std::size_t>(i)], "") << "cell " << i;
    EXPECT_EQ(cells[16], "|");
    EXPECT_EQ(cells[17], std::string(PrintableCharacter(data[16])));
}

struct LargestCase {
    const char* protocol;
    int offset;
    int length;
    std::size_t rows;
    std::size_t lastRowBytes;
};

class LargestDataTest : public ::testing::TestWithParam<LargestCase> {};

TEST_P(LargestDataTest, ShowsEveryByteUpToTheEndOfTheBuffer) {
    const auto& c = GetParam();
    const Bytes datagram = Pattern(2000);
    RawDatagramStore store;
    const auto tag = std::to_string(store.Append(datagram));

    const auto detail = BuildPacketDetail(c.protocol, std::to_string(c.length), tag, store);
    ASSERT_EQ(detail.hexRows.size(), c.rows);
    EXPECT_EQ(detail.hexRows.back().hexText.size(), 2 * c.lastRowBytes);
    std::string allHex;
    for (const auto& row : detail.hexRows) allHex += row.hexText;
    EXPECT_EQ(allHex, HexOf(Bytes(datagram.begin() + c.offset, datagram.end())));
}

INSTANTIATE_TEST_SUITE_P(PerProtocol, LargestDataTest,
                         ::testing::Values(LargestCase{"TCP", 40, 1960, 123, 8},
                                           LargestCase{"UDP", 28, 1972, 124, 4},
                                           LargestCase{"ICMP", 20, 1980, 124, 12},
                                           LargestCase{"47", 20, 1980, 124, 12}));

TEST_F(ClickedRowTest, BytesAtTheEdgesOfThePrintableRule) {
    const auto tag = Store(DatagramWithData(20, {0x1F, 0x20, 0x7F, 0x0A, 0xAB, 0x00}));
    const auto detail = BuildPacketDetail("ICMP", "6", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 1u);
    EXPECT_EQ(detail.hexRows[0].hexText, "1F207F0AAB00");
    EXPECT_EQ(detail.hexRows[0].charText, ". \x7F.\u00AB.");
    EXPECT_EQ(detail.text, "\x1F \x7F\r\n\uFFFD");
}

TEST_F(ClickedRowTest, ZeroInTheMiddleEndsTheTextButNotTheHex) {
    const auto tag = Store(DatagramWithData(28, {'a', 'b', 0x00, 'c', 'd'}));
    const auto detail = BuildPacketDetail("UDP", "5", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 1u);
    EXPECT_EQ(detail.hexRows[0], (HexRow{"6162006364", "ab.cd"}));
    EXPECT_EQ(detail.text, "ab");
}

TEST_F(ClickedRowTest, OffsetFollowsTheUpperCasedProtocolText) {
    const Bytes datagram = Pattern(60);
    const auto tag = Store(datagram);
    struct Case {
        const char* protocol;
        int offset;
    };
    for (const Case c : {Case{"TCP", 40}, Case{"tcp", 40}, Case{"Udp", 28}, Case{"ICMP", 20},
                         Case{"icmp", 20}, Case{"2", 20}, Case{"", 20}}) {
        const auto detail = BuildPacketDetail(c.protocol, "4", tag, mStore);
        ASSERT_EQ(detail.hexRows.size(), 1u) << c.protocol;
        EXPECT_EQ(detail.hexRows[0].hexText,
                  HexOf(Bytes(datagram.begin() + c.offset, datagram.begin() + c.offset + 4)))
            << c.protocol;
    }
}

TEST_F(ClickedRowTest, TagSelectsTheDatagram) {
    const auto first = Store(DatagramWithData(20, {'1'}));
    const auto second = Store(DatagramWithData(20, {'2'}));
    EXPECT_EQ(BuildPacketDetail("ICMP", "1", first, mStore).text, "1");
    EXPECT_EQ(BuildPacketDetail("ICMP", "1", second, mStore).text, "2");
}

TEST_F(ClickedRowTest, BytesPastTheStoredDatagramReadAsZero) {
    const auto tag = Store(DatagramWithData(20, {'a', 'b'}));
    const auto detail = BuildPacketDetail("ICMP", "5", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 1u);
    EXPECT_EQ(detail.hexRows[0], (HexRow{"6162000000", "ab..."}));
    EXPECT_EQ(detail.text, "ab");
}

TEST_F(ClickedRowTest, LengthBeyondTheBufferStopsAtItsEnd) {
    const auto tag = Store(Pattern(100));
    const auto detail = BuildPacketDetail("ICMP", "2147483647", tag, mStore);
    ASSERT_EQ(detail.hexRows.size(), 124u);
    EXPECT_EQ(detail.hexRows.back().hexText, "000000000000000000000000");
}

TEST_F(ClickedRowTest, LengthAndTagMayCarrySpacesAndAPlusSign) {
    const auto tag = Store(DatagramWithData(20, {'o', 'k'}));
    EXPECT_EQ(BuildPacketDetail("ICMP", " +2 ", " " + tag + " ", mStore).text, "ok");
}

TEST_F(ClickedRowTest, MalformedLengthOrTagGivesEmptyViews) {
    const auto tag = Store(DatagramWithData(20, Pattern(40)));
    ASSERT_FALSE(BuildPacketDetail("ICMP", "4", tag, mStore).hexRows.empty());
    struct Case {
        const char* length;
        std::string tag;
    };
    for (const auto& c : {Case{"", tag}, Case{"abc", tag}, Case{"4x", tag}, Case{"1.5", tag},
                          Case{"99999999999", tag}, Case{"- 4", tag}, Case{"+-4", tag},
                          Case{"4", ""}, Case{"4", "x"}, Case{"4", "0"}, Case{"4", "-1"},
                          Case{"4", "2"}, Case{"4", "1e3"}, Case{"4", "4294967297"}}) {
        EXPECT_EQ(BuildPacketDetail("ICMP", c.length, c.tag, mStore), PacketDetail{})
            << "Length '" << c.length << "' Tag '" << c.tag << "'";
    }
}

}  // namespace
}  // namespace wirelens
