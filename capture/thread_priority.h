#pragma once
// Nice values of whole processes. Linux keeps a nice value per thread
// (setpriority on a thread id) and a new thread starts with its creator's, so
// a process is raised, or put back, thread by thread through /proc/PID/task.
//
// The capture helper raises the process that started it along with itself:
// that process files every datagram the helper captures, and at the ordinary
// priority it waits its turn behind senders on the same machine for tens of
// milliseconds, its window frozen meanwhile. The process puts itself back
// when its last helper has ended.
#include <pthread.h>
#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

namespace wirelens {

// The thread ids of process `pid`; empty when it cannot be read (gone).
std::vector<pid_t> ThreadsOf(pid_t pid);

// The nice value of thread (or process) `id`; nothing when there is none.
std::optional<int> NiceOf(pid_t id);

// Gives every thread of `pid` whose nice value is above `nice` that value
// (lowering a nice value needs CAP_SYS_NICE). Returns the threads changed.
int RaiseThreads(pid_t pid, int nice);

// The threads of `pid` called `name` (their comm); none for an empty name.
std::vector<pid_t> ThreadsNamed(pid_t pid, std::string_view name);

// RaiseThreads for those threads alone.
int RaiseThreadsNamed(pid_t pid, std::string_view name, int nice);

// The name of the window's thread that takes the helper's datagrams from
// the shared ring: the helper raises it as far as itself, since the ring
// lasts only as long as that thread may wait for a CPU.
inline constexpr std::string_view kCapturePumpThreadName = "wirelens-pump";
// The window's other threads, named for ps, top and profiles: the one that
// faults in the stores' next pages, the datagram store's writer, and those
// that free a cleared capture's memory.
inline constexpr std::string_view kFaultAheadThreadName = "wirelens-fault";
inline constexpr std::string_view kStoreWriterThreadName = "wirelens-store";
inline constexpr std::string_view kReleaseThreadName = "wirelens-free";

// Names `thread` (of this process); names are cut at the kernel's 15 bytes.
void NameThread(pthread_t thread, std::string_view name);

// Gives every thread of this process whose nice value is below `nice` that
// value, which needs no privilege. Returns the threads changed.
int PutBackThreads(int nice);

// Whether `pid` runs with real and effective user `uid` (from /proc): the
// helper raises only a process of the user who started it.
bool RunsAsUser(pid_t pid, uid_t uid);

}  // namespace wirelens
