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

// Sets `nice` on each of `threads` for which `change(current)` holds.
template <typename Change>
int SetNiceWhere(const std::vector<pid_t>& threads, int nice, Change change) {
    int changed = 0;
    for (const pid_t thread : threads) {
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

std::vector<pid_t> ThreadsNamed(pid_t pid, std::string_view name) {
    std::vector<pid_t> named;
    if (name.empty()) return named;
    for (const pid_t thread : ThreadsOf(pid)) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/task/" + std::to_string(thread) + "/comm");
        std::string own;
        std::getline(comm, own);
        if (own == name) named.push_back(thread);
    }
    return named;
}

std::optional<int> NiceOf(pid_t id) {
    // -1 is a nice value as well as the failure: errno tells them apart.
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(id));
    if (nice == -1 && errno != 0) return std::nullopt;
    return nice;
}

int RaiseThreads(pid_t pid, int nice) {
    return SetNiceWhere(ThreadsOf(pid), nice, [nice](int current) { return current > nice; });
}

int RaiseThreadsNamed(pid_t pid, std::string_view name, int nice) {
    return SetNiceWhere(ThreadsNamed(pid, name), nice, [nice](int current) { return current > nice; });
}

int PutBackThreads(int nice) {
    return SetNiceWhere(ThreadsOf(getpid()), nice, [nice](int current) { return current < nice; });
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

void NameThread(pthread_t thread, std::string_view name) {
    pthread_setname_np(thread, std::string(name.substr(0, 15)).c_str());
}

}  // namespace wirelens
