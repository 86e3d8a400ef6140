// Which capture helper the program runs, and what a user refused to run it is told.
#include "capture/helper_access.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ostream>
#include <set>
#include <string>

#include "capture/mdlwinsock.h"

namespace wirelens {
namespace {

constexpr const char* kProgramFolder = "/opt/wl/bin/";

enum class Present { Installed, System, Beside };

struct ChoiceCase {
    const char* name;
    std::set<Present> present;
    Present expected;
};

std::string PathOf(Present which) {
    switch (which) {
        case Present::Installed: return InstalledCaptureHelper(kProgramFolder);
        case Present::System: return SystemCaptureHelper();
        case Present::Beside: break;
    }
    return std::string(kProgramFolder) + kCaptureHelperName;
}

void PrintTo(const ChoiceCase& c, std::ostream* os) { *os << c.name; }

class ChooseCaptureHelperTest : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ChooseCaptureHelperTest, PrefersInstalledThenSystemThenBeside) {
    const ChoiceCase& c = GetParam();
    const auto exists = [&c](const std::string& path) {
        for (Present p : c.present) {
            if (PathOf(p) == path) return true;
        }
        return false;
    };
    EXPECT_EQ(ChooseCaptureHelper(kProgramFolder, exists), PathOf(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, ChooseCaptureHelperTest,
    ::testing::Values(
        ChoiceCase{"InstalledTreeUsesItsOwn", {Present::Installed, Present::System, Present::Beside},
                   Present::Installed},
        ChoiceCase{"InstalledTreeIgnoresTheSystemOne", {Present::Installed, Present::System},
                   Present::Installed},
        ChoiceCase{"BuildFolderUsesTheRootOwnedOne", {Present::System, Present::Beside},
                   Present::System},
        ChoiceCase{"BuildFolderWithoutSetupUsesTheOneBeside", {Present::Beside}, Present::Beside},
        ChoiceCase{"NothingFoundNamesTheOneBeside", {}, Present::Beside}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST(InstalledCaptureHelper, IsInALibexecFolderOutsideTheProgramFolder) {
    const std::string helper = InstalledCaptureHelper("/usr/bin/");
    EXPECT_EQ(helper.rfind("/usr/", 0), 0u) << helper;
    EXPECT_EQ(helper.find("/usr/bin/"), std::string::npos) << helper;
    EXPECT_EQ(helper.find(".."), std::string::npos) << "normalized: " << helper;
    EXPECT_NE(helper.find("/wirelens/wirelens-capture"), std::string::npos) << helper;
}

TEST(CaptureHelperPath, DefaultIsTheChoiceForThisProgramsFolder) {
    SetCaptureHelperPath("");
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    std::string folder(self);
    folder.resize(folder.rfind('/') + 1);
    const auto exists = [](const std::string& path) { return access(path.c_str(), F_OK) == 0; };
    EXPECT_EQ(CaptureHelperPath(), ChooseCaptureHelper(folder, exists));
    SetCaptureHelperPath("/opt/elsewhere/wirelens-capture");
    EXPECT_EQ(CaptureHelperPath(), "/opt/elsewhere/wirelens-capture");
    SetCaptureHelperPath("");
}

struct MessageCase {
    const char* name;
    bool listed;
    bool session;
    std::vector<std::string> says;
    std::vector<std::string> neverSays;
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class NotPermittedMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(NotPermittedMessageTest, SaysWhatTheUserLacksAndWhatToDo) {
    const MessageCase& c = GetParam();
    const std::string message =
        NotPermittedMessage("/usr/libexec/wirelens/wirelens-capture",
                            HelperAccess{"wirelens", "alice", c.listed, c.session});
    EXPECT_EQ(message.rfind("You may not run the capture helper /usr/libexec/wirelens/wirelens-capture", 0),
              0u)
        << message;
    for (const std::string& text : c.says) EXPECT_NE(message.find(text), std::string::npos) << message;
    for (const std::string& text : c.neverSays) EXPECT_EQ(message.find(text), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Memberships, NotPermittedMessageTest,
    ::testing::Values(
        MessageCase{"NotInTheGroup", false, false,
                    {"not in the group \"wirelens\"", "sudo usermod -aG wirelens alice", "log in again"},
                    {"$USER"}},
        MessageCase{"AddedButNotLoggedInAgain", true, false,
                    {"were added to the group \"wirelens\"", "Log out and log in again"},
                    {"usermod"}},
        MessageCase{"InTheGroupButTheModeForbids", true, true,
                    {"although you are in its group \"wirelens\"", "0750", "./scripts/run"},
                    {"usermod"}}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

TEST(NotPermittedMessage, HelperThatCannotBeExaminedIsStillNamed) {
    EXPECT_EQ(NotPermittedMessage("/x/wirelens-capture", std::nullopt),
              "You may not run the capture helper /x/wirelens-capture.");
}

TEST(LookUpHelperAccess, NamesTheHelpersGroupAndThisUser) {
    char pattern[] = "/tmp/wirelens-access-XXXXXX";
    const int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::optional<HelperAccess> access = LookUpHelperAccess(pattern);
    unlink(pattern);
    ASSERT_TRUE(access.has_value());
    const group* own = getgrgid(getegid());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(access->group, own->gr_name) << "a new file takes the creator's group";
    EXPECT_TRUE(access->sessionInGroup);
    EXPECT_FALSE(access->user.empty());
    EXPECT_FALSE(LookUpHelperAccess("/nonexistent-wirelens/wirelens-capture").has_value());
}

// As root, in a group it is not a member of, the window's message is the one
// with the command that lets the user capture.
TEST(OpenCaptureSocket, HelperOfAGroupTheUserIsNotInGivesTheUsermodCommand) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file another group";
    const group* other = getgrnam("nogroup");
    if (other == nullptr) GTEST_SKIP() << "no group nogroup on this system";
    char folder[] = "/tmp/wirelens-access-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string helper = std::string(folder) + "/wirelens-capture";
    const int fd = open(helper.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0640);
    ASSERT_GE(fd, 0);
    close(fd);
    ASSERT_EQ(chown(helper.c_str(), 0, other->gr_gid), 0);
    ASSERT_EQ(chmod(helper.c_str(), 0640), 0);  // no execute bit: even root is refused

    SetCaptureHelperPath(helper);
    const CaptureOpenResult result = OpenCaptureSocket("198.51.100.1", kCapturePort);
    SetCaptureHelperPath("");
    unlink(helper.c_str());
    rmdir(folder);

    EXPECT_FALSE(result.Ok());
    EXPECT_NE(result.error.find("not in the group \"nogroup\""), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("sudo usermod -aG nogroup root"), std::string::npos) << result.error;
}

}  // namespace
}  // namespace wirelens
