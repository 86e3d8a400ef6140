#include "capture/thread_priority.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace wirelens {

namespace {

std::string NameOf(pid_t pid, pid_t thread) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// Sets `nice` on each thread of `pid` for which `change(current)` holds, of
// those called `name` when one is given.
template <typename Change>
int SetNiceWhere(pid_t pid, int nice, Change change, std::string_view name = {}) {
    int changed = 0;
    for (const pid_t thread : ThreadsOf(pid)) {
        if (!name.empty() && NameOf(pid, thread) != name) continue;
        const auto current = NiceOf(thread);
        // A thread that ended since the listing has no nice value; skip it.
        if (!current || !change(*current)) continue;
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), nice) == 0) ++changed;
    }
    return changed;
}

}  // namespace

std::vector<pid_t> ThreadsOf(pid_t pid) {
    std::vector<pid_t> threads;
    DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
    if (folder == nullptr) return threads;
    while (const dirent* entry = readdir(folder)) {
        char* end = nullptr;
        const long id = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && id > 0) threads.push_back(static_cast<pid_t>(id));
    }
    closedir(folder);
    return threads;
}

std::optional<int> NiceOf(pid_t id) {
    // -1 is a nice value as well as the failure: errno tells them apart.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    if (nice == -1 && errno != 0) return std::nullopt;
    return nice;
}

int RaiseThreads(pid_t pid, int nice) {
    return SetNiceWhere(pid, nice, [nice](int current) { return current > nice; });
}

int RaiseThreadsNamed(pid_t pid, std::string_view name, int nice) {
    if (name.empty()) return 0;
    return SetNiceWhere(pid, nice, [nice](int current) { return current > nice; }, name);
}

int PutBackThreads(int nice) {
    return SetNiceWhere(getpid(), nice, [nice](int current) { return current < nice; });
}

bool RunsAsUser(pid_t pid, uid_t uid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Uid:", 0) != 0) continue;
        std::istringstream fields(line.substr(4));
        long real = -1;
        long effective = -1;
        fields >> real >> effective;
        return fields && real == static_cast<long>(uid) && effective == static_cast<long>(uid);
    }
    return false;
}

}  // namespace wirelens
