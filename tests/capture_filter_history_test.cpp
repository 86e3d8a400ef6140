#include "capture/capture_filter_history.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wirelens {
namespace {

using Texts = std::vector<std::string>;

struct HistoryCase {
    const char* name;
    Texts used;  // in order of use
    Texts expectedRecent;
    std::string expectedLast;
};

class CaptureFilterHistoryTest : public ::testing::TestWithParam<HistoryCase> {};

TEST_P(CaptureFilterHistoryTest, RecentAndLastFollowTheUses) {
    CaptureFilterHistory history;
    for (const std::string& expression : GetParam().used) history.Use(expression);
    EXPECT_EQ(history.Recent(), GetParam().expectedRecent);
    EXPECT_EQ(history.Last(), GetParam().expectedLast);
}

INSTANTIATE_TEST_SUITE_P(
    Uses, CaptureFilterHistoryTest,
    ::testing::Values(
        HistoryCase{"NothingUsedYet", {}, {}, ""},
        HistoryCase{"MostRecentComesFirst", {"udp", "tcp port 80", "icmp"}, {"icmp", "tcp port 80", "udp"}, "icmp"},
        HistoryCase{"ReuseMovesToTheFrontWithoutRepeat", {"udp", "tcp", "udp"}, {"udp", "tcp"}, "udp"},
        HistoryCase{"BlanksAroundAreTrimmedBeforeComparing", {"udp", "  udp\t", "tcp "}, {"tcp", "udp"}, "tcp"},
        HistoryCase{"NoFilterIsTheLastChoiceButNotListed", {"udp", "   "}, {"udp"}, ""},
        HistoryCase{"EmptyThenAFilterAgain", {"", "udp port 9"}, {"udp port 9"}, "udp port 9"}),
    [](const ::testing::TestParamInfo<HistoryCase>& info) { return info.param.name; });

TEST(CaptureFilterHistory, KeepsOnlyTheMostRecentFew) {
    CaptureFilterHistory history;
    const std::size_t uses = CaptureFilterHistory::kMaxRecent + 3;
    for (std::size_t i = 0; i < uses; ++i) history.Use("port " + std::to_string(i));
    ASSERT_EQ(history.Recent().size(), CaptureFilterHistory::kMaxRecent);
    EXPECT_EQ(history.Recent().front(), "port " + std::to_string(uses - 1));
    EXPECT_EQ(history.Recent().back(), "port " + std::to_string(uses - CaptureFilterHistory::kMaxRecent));
}

}  // namespace
}  // namespace wirelens
