#include "capture/helper_access.h"

#include <algorithm>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "capture/mdlwinsock.h"

namespace wirelens {

std::string InstalledCaptureHelper(const std::string& programFolder) {
    const std::filesystem::path helper =
        std::filesystem::path(programFolder) / WIRELENS_HELPER_FROM_BIN / kCaptureHelperName;
    return helper.lexically_normal().string();
}

std::string SystemCaptureHelper() {
    return (std::filesystem::path(WIRELENS_SYSTEM_HELPER_DIR) / kCaptureHelperName).string();
}

std::string ChooseCaptureHelper(const std::string& programFolder,
                                const std::function<bool(const std::string&)>& exists) {
    const std::string installed = InstalledCaptureHelper(programFolder);
    if (exists(installed)) return installed;
    const std::string system = SystemCaptureHelper();
    if (exists(system)) return system;
    return programFolder + kCaptureHelperName;
}

std::optional<HelperAccess> LookUpHelperAccess(const std::string& helper) {
    struct stat st {};
    if (stat(helper.c_str(), &st) != 0) return std::nullopt;
    HelperAccess access;
    const group* owners = getgrgid(st.st_gid);
    access.group = owners != nullptr ? owners->gr_name : std::to_string(st.st_gid);
    const passwd* me = getpwuid(getuid());
    access.user = me != nullptr ? me->pw_name : std::to_string(getuid());
    if (me != nullptr && me->pw_gid == st.st_gid) access.listedInGroup = true;
    if (owners != nullptr && me != nullptr) {
        for (char** member = owners->gr_mem; *member != nullptr; ++member) {
            if (access.user == *member) access.listedInGroup = true;
        }
    }
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    access.sessionInGroup = getegid() == st.st_gid ||
                            std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
    return access;
}

std::string NotPermittedMessage(const std::string& helper, const std::optional<HelperAccess>& access) {
    const std::string refused = "You may not run the capture helper " + helper;
    if (!access) return refused + ".";
    const std::string group = "\"" + access->group + "\"";
    if (access->sessionInGroup) {
        // Membership is not what is missing: the helper's mode or a folder above it is.
        return refused + ", although you are in its group " + group +
               ". Its mode must let the group run it (0750); install it again with ./scripts/run "
               "or the Wirelens package.";
    }
    if (access->listedInGroup) {
        return refused + " yet: you (" + access->user + ") were added to the group " + group +
               " after this session started. Log out and log in again to capture.";
    }
    return refused + ": you (" + access->user + ") are not in the group " + group +
           ", whose members may capture. To let you capture, an administrator runs:\n"
           "sudo usermod -aG " + access->group + " " + access->user +
           "\nThen log out and log in again.";
}

}  // namespace wirelens
