#include "tests/netns_fixture.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

extern char** environ;

namespace wirelens::testing {

namespace {
constexpr const char* kNetnsDirectory = "/run/netns/";
constexpr const char* kThreadNetns = "/proc/thread-self/ns/net";

std::string Joined(const std::vector<std::string>& argv) {
    std::string text;
    for (const auto& arg : argv) text += (text.empty() ? "" : " ") + arg;
    return text;
}

// Namespaces "wl<pid>a"/"wl<pid>b" whose process is gone: left by a crashed run.
void RemoveStaleNamespaces() {
    std::string list;
    if (RunCommand({"ip", "netns", "list"}, &list) != 0) return;
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(' '));
        // "wl", the owner's pid, then "a" or "b".
        if (name.size() < 4 || name.compare(0, 2, "wl") != 0) continue;
        const std::string digits = name.substr(2, name.size() - 3);
        if (digits.find_first_not_of("0123456789") != std::string::npos) continue;
        if (name.back() != 'a' && name.back() != 'b') continue;
        const pid_t owner = static_cast<pid_t>(std::stol(digits));
        if (kill(owner, 0) == 0 || errno == EPERM) continue;
        RunCommand({"ip", "netns", "del", name});
    }
}
}  // namespace

int RunCommand(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) return -1;
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    std::vector<std::string> args = argv;
    std::vector<char*> rawArgs;
    for (auto& arg : args) rawArgs.push_back(arg.data());
    rawArgs.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, rawArgs[0], &actions, nullptr, rawArgs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string text;
    if (spawned == 0) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
            if (n > 0) text.append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR) break;
        }
    } else {
        text = argv[0] + ": " + std::strerror(spawned);
    }
    close(pipeFds[0]);
    if (output != nullptr) *output = text;
    if (spawned != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string NetnsPair::SkipReason() {
    if (geteuid() != 0)
        return "live capture tests need root: they create network namespaces and a veth pair";
    std::string output;
    if (RunCommand({"ip", "-V"}, &output) != 0)
        return "the `ip` command (iproute2) is not available: " + output;
    return {};
}

NetnsPair::NetnsPair(Options options) {
    const std::string id = "wl" + std::to_string(getpid());
    mNameA = id + "a";
    mNameB = id + "b";
    mInterfaceA = id + "va";
    mInterfaceB = id + "vb";
    RemoveStaleNamespaces();
    // Left by an earlier NetnsPair of this process that could not remove them.
    RunCommand({"ip", "netns", "del", mNameA});
    RunCommand({"ip", "netns", "del", mNameB});

    const std::string mtu = std::to_string(options.mtu);
    mMadeA = Step({"ip", "netns", "add", mNameA});
    mMadeB = mMadeA && Step({"ip", "netns", "add", mNameB});
    Step({"ip", "link", "add", mInterfaceA, "netns", mNameA, "type", "veth", "peer", "name",
          mInterfaceB, "netns", mNameB}) &&
        Step({"ip", "-n", mNameA, "link", "set", "lo", "up"}) &&
        Step({"ip", "-n", mNameB, "link", "set", "lo", "up"}) &&
        Step({"ip", "-n", mNameA, "addr", "add", std::string(kAddressA) + "/24", "brd", "+", "dev",
              mInterfaceA}) &&
        Step({"ip", "-n", mNameB, "addr", "add", std::string(kAddressB) + "/24", "brd", "+", "dev",
              mInterfaceB}) &&
        (!options.secondAddress ||
         Step({"ip", "-n", mNameA, "addr", "add", std::string(kSecondAddressA) + "/24", "dev",
               mInterfaceA})) &&
        Step({"ip", "-n", mNameA, "link", "set", mInterfaceA, "mtu", mtu, "up"}) &&
        Step({"ip", "-n", mNameB, "link", "set", mInterfaceB, "mtu", mtu, "up"});
}

NetnsPair::~NetnsPair() { Remove(); }

bool NetnsPair::Step(const std::vector<std::string>& argv) {
    if (!mError.empty()) return false;
    std::string output;
    if (RunCommand(argv, &output) == 0) return true;
    mError = "`" + Joined(argv) + "` failed: " + output;
    return false;
}

void NetnsPair::Remove() {
    // Deleting a namespace destroys the veth end inside it, and with it the pair.
    if (mMadeB) RunCommand({"ip", "netns", "del", mNameB});
    if (mMadeA) RunCommand({"ip", "netns", "del", mNameA});
    mMadeA = mMadeB = false;
}

int NetnsPair::RunInA(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> full = {"ip", "netns", "exec", mNameA};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunCommand(full, output);
}

int NetnsPair::RunInB(const std::vector<std::string>& argv, std::string* output) const {
    std::vector<std::string> full = {"ip", "netns", "exec", mNameB};
    full.insert(full.end(), argv.begin(), argv.end());
    return RunCommand(full, output);
}

bool NetnsPair::SetInterfaceAUp(bool up) const {
    return RunCommand({"ip", "-n", mNameA, "link", "set", mInterfaceA, up ? "up" : "down"}) == 0;
}

NetnsPair::ScopedEnter::ScopedEnter(const std::string& name) {
    mOriginal = open(kThreadNetns, O_RDONLY | O_CLOEXEC);
    if (mOriginal < 0) {
        mError = std::string(kThreadNetns) + ": " + std::strerror(errno);
        return;
    }
    const std::string path = kNetnsDirectory + name;
    const int target = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0 || setns(target, CLONE_NEWNET) != 0) {
        mError = "cannot enter " + path + ": " + std::strerror(errno);
        close(mOriginal);
        mOriginal = -1;
    }
    if (target >= 0) close(target);
}

NetnsPair::ScopedEnter::ScopedEnter(ScopedEnter&& other) noexcept
    : mOriginal(other.mOriginal), mError(std::move(other.mError)) {
    other.mOriginal = -1;
}

NetnsPair::ScopedEnter::~ScopedEnter() {
    if (mOriginal < 0) return;
    setns(mOriginal, CLONE_NEWNET);
    close(mOriginal);
}

}  // namespace wirelens::testing
