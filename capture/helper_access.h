#pragma once
// Where the program finds its capture helper, and why a user may not run it.
#include <functional>
#include <optional>
#include <string>

namespace wirelens {

// The helper an installed program uses: in the private libexec folder that the
// install rules put beside the program's bin folder. `programFolder` ends in '/'.
std::string InstalledCaptureHelper(const std::string& programFolder);

// The root-owned helper that a source tree's ./scripts/run installs.
std::string SystemCaptureHelper();

// The helper a program in `programFolder` uses: its installed one if present,
// else the root-owned one ./scripts/run installed, else the one beside it.
std::string ChooseCaptureHelper(const std::string& programFolder,
                                const std::function<bool(const std::string&)>& exists);

// What decides whether the current user may run the helper.
struct HelperAccess {
    std::string group;            // the helper's group, by name
    std::string user;             // the current user, by name
    bool listedInGroup = false;   // a member in the group database (or by primary group)
    bool sessionInGroup = false;  // the group is among this process's groups
};

// Nothing when the helper cannot be examined (missing, or a folder on its path
// cannot be searched).
std::optional<HelperAccess> LookUpHelperAccess(const std::string& helper);

// The message for a helper the user was refused to run, saying what to do.
std::string NotPermittedMessage(const std::string& helper, const std::optional<HelperAccess>& access);

}  // namespace wirelens
