#include "capture/choose_local_ip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wirelens {
namespace {

using Texts = std::vector<std::string>;

struct FillCase {
    const char* name;
    Texts interfaceList;
    Texts expectedKeys;
};

class FillLocalAddressesTest : public ::testing::TestWithParam<FillCase> {};

TEST_P(FillLocalAddressesTest, KeysFollowTheRules) {
    LocalAddressSet dicAddr;
    FillLocalAddresses(GetParam().interfaceList, dicAddr);
    EXPECT_EQ(dicAddr.Keys(), GetParam().expectedKeys);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, FillLocalAddressesTest,
    ::testing::Values(
        FillCase{"OneInterfacePlusLoopback",
                 {"127.0.0.1;255.0.0.0", "192.168.0.5;255.255.255.0"},
                 {"192.168.0.5"}},
        FillCase{"OnlyLoopback", {"127.0.0.1;255.0.0.0"}, {}},
        FillCase{"NoInterfaces", {}, {}},
        FillCase{"InterfaceOrderKept",
                 {"198.51.100.7;255.255.255.0", "127.0.0.1;255.0.0.0",
                  "203.0.113.2;255.255.255.128", "10.0.0.1;255.0.0.0"},
                 {"198.51.100.7", "203.0.113.2", "10.0.0.1"}},
        FillCase{"OtherLoopbackAddressAdmitted",
                 {"127.0.0.1;255.0.0.0", "127.0.0.2;255.0.0.0"},
                 {"127.0.0.2"}},
        FillCase{"OnlyExactTextExcluded",
                 {"127.0.0.10;255.0.0.0", "127.0.0.1 ;255.0.0.0", "0127.0.0.1;255.0.0.0"},
                 {"127.0.0.10", "127.0.0.1 ", "0127.0.0.1"}},
        FillCase{"SameAddressOnTwoInterfacesGivesOneKeyInFirstPlace",
                 {"198.51.100.7;255.255.255.0", "203.0.113.2;255.255.255.0",
                  "198.51.100.7;255.255.0.0"},
                 {"198.51.100.7", "203.0.113.2"}},
        FillCase{"MaskIsNotPartOfTheKey", {"203.0.113.9;255.255.255.252"}, {"203.0.113.9"}},
        FillCase{"EntryWithoutMaskIsTheAddress", {"203.0.113.9"}, {"203.0.113.9"}},
        FillCase{"EmptyAddressLeftOut", {"", ";255.0.0.0", "203.0.113.9;0.0.0.0"},
                 {"203.0.113.9"}}),
    [](const ::testing::TestParamInfo<FillCase>& info) { return info.param.name; });

TEST(FillLocalAddresses, AddsToWhatIsAlreadyThere) {
    LocalAddressSet dicAddr;
    dicAddr.Set("203.0.113.2");
    FillLocalAddresses({"198.51.100.7;255.255.255.0", "203.0.113.2;255.255.255.0"}, dicAddr);
    EXPECT_EQ(dicAddr.Keys(), (Texts{"203.0.113.2", "198.51.100.7"}));
    EXPECT_TRUE(dicAddr.Contains("198.51.100.7"));
}

TEST(SettleLocalIP, NoAddressIsAnErrorThatSaysSo) {
    const LocalIpChoice choice = SettleLocalIP(LocalAddressSet{});
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::NoAddress);
    EXPECT_FALSE(choice.Ok());
    EXPECT_TRUE(choice.localIP.empty());
    EXPECT_EQ(choice.error, kNoLocalAddressMessage);
}

TEST(SettleLocalIP, SingleAddressIsChosenWithoutAsking) {
    LocalAddressSet dicAddr;
    FillLocalAddresses({"127.0.0.1;255.0.0.0", "198.51.100.7;255.255.255.0"}, dicAddr);
    const LocalIpChoice choice = SettleLocalIP(dicAddr);
    EXPECT_TRUE(choice.Ok());
    EXPECT_EQ(choice.localIP, "198.51.100.7");
    EXPECT_TRUE(choice.error.empty());
}

TEST(SettleLocalIP, TwoAddressesNeedTheUser) {
    LocalAddressSet dicAddr;
    FillLocalAddresses({"198.51.100.7;255.255.255.0", "203.0.113.2;255.255.255.0"}, dicAddr);
    const LocalIpChoice choice = SettleLocalIP(dicAddr);
    EXPECT_EQ(choice.outcome, LocalIpChoice::Outcome::AskUser);
    EXPECT_TRUE(choice.localIP.empty());
}

}  // namespace
}  // namespace wirelens
