#include <gtest/gtest.h>

#include "packets/row_export.h"

namespace wirelens {
namespace {

TEST(CsvLine, QuotesOnlyCellsThatNeedItAndDoublesQuotes) {
    EXPECT_EQ(CsvLine({"UDP", "198.51.100.2", "", "53"}), "UDP,198.51.100.2,,53");
    EXPECT_EQ(CsvLine({"12:00:01,45", "a\"b", "two\nlines", "cr\r"}), "\"12:00:01,45\",\"a\"\"b\",\"two\nlines\",\"cr\r\"");
    EXPECT_EQ(CsvLine({}), "");
    EXPECT_EQ(CsvLine({""}), "");
}

TEST(RowTextLine, JoinsWithTabs) {
    EXPECT_EQ(RowTextLine({"TCP", "1", ""}), "TCP\t1\t");
}

TEST(HexByteText, TwoLowerCaseDigitsPerByteSpaced) {
    const std::uint8_t bytes[] = {0x41, 0x0a, 0xff, 0x00};
    EXPECT_EQ(HexByteText(bytes), "41 0a ff 00");
    EXPECT_EQ(HexByteText({}), "");
}

TEST(ListedOfTotalText, CountsListedAgainstStored) {
    EXPECT_EQ(ListedOfTotalText(12, 340), "12 of 340 packets listed");
    EXPECT_EQ(ListedOfTotalText(0, 1), "0 of 1 packet listed");
    EXPECT_EQ(ListedOfTotalText(0, 0), "0 of 0 packets listed");
}

}  // namespace
}  // namespace wirelens
