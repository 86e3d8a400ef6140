#include "capture/thread_priority.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace wirelens {
namespace {

// A second thread of this process that waits until it is let go, so that the
// process has a thread besides the test's own.
class WaitingThread {
public:
    WaitingThread()
        : mThread([this] {
              std::unique_lock lock(mMutex);
              mId = gettid();
              mChanged.notify_all();
              mChanged.wait(lock, [this] { return mGo; });
          }) {
        std::unique_lock lock(mMutex);
        mChanged.wait(lock, [this] { return mId != 0; });
    }
    ~WaitingThread() {
        {
            std::lock_guard lock(mMutex);
            mGo = true;
        }
        mChanged.notify_all();
        mThread.join();
    }
    pid_t Id() const { return mId; }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    pid_t mId = 0;
    bool mGo = false;
    std::thread mThread;
};

// Names thread `id` of this process, as pthread_setname_np does.
bool SetName(pid_t id, const std::string& name) {
    std::ofstream comm("/proc/self/task/" + std::to_string(id) + "/comm");
    comm << name;
    comm.flush();
    return static_cast<bool>(comm);
}

// Puts this test thread's nice value back whatever a test did to it.
class ThreadPriorityTest : public ::testing::Test {
protected:
    void TearDown() override { setpriority(PRIO_PROCESS, 0, mNiceBefore); }
    const int mNiceBefore = NiceOf(0).value_or(0);
};

TEST_F(ThreadPriorityTest, ListsEveryThreadOfTheProcess) {
    WaitingThread other;
    const auto threads = ThreadsOf(getpid());
    EXPECT_NE(std::find(threads.begin(), threads.end(), gettid()), threads.end());
    EXPECT_NE(std::find(threads.begin(), threads.end(), other.Id()), threads.end());
}

TEST_F(ThreadPriorityTest, AProcessThatIsGoneHasNoThreadsNiceValueOrUser) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(ThreadsOf(child).empty());
    EXPECT_FALSE(NiceOf(child).has_value());
    EXPECT_FALSE(RunsAsUser(child, getuid()));
}

TEST_F(ThreadPriorityTest, TellsAProcessOfTheUserFromOneOfAnother) {
    EXPECT_TRUE(RunsAsUser(getpid(), getuid()));
    EXPECT_FALSE(RunsAsUser(getpid(), getuid() + 1));
}

TEST_F(ThreadPriorityTest, RaisesEveryThreadAndPutsThemBack) {
    if (geteuid() != 0) GTEST_SKIP() << "lowering a nice value needs CAP_SYS_NICE";
    WaitingThread other;
    ASSERT_EQ(NiceOf(other.Id()), mNiceBefore);
    EXPECT_GE(RaiseThreads(getpid(), mNiceBefore - 3), 2);
    EXPECT_EQ(NiceOf(0), mNiceBefore - 3);
    EXPECT_EQ(NiceOf(other.Id()), mNiceBefore - 3);
    // A thread made while raised starts raised, and goes back with the rest.
    WaitingThread later;
    EXPECT_EQ(NiceOf(later.Id()), mNiceBefore - 3);
    EXPECT_GE(PutBackThreads(mNiceBefore), 3);
    EXPECT_EQ(NiceOf(0), mNiceBefore);
    EXPECT_EQ(NiceOf(other.Id()), mNiceBefore);
    EXPECT_EQ(NiceOf(later.Id()), mNiceBefore);
}

TEST_F(ThreadPriorityTest, RaisesTheThreadsOfANameAlone) {
    if (geteuid() != 0) GTEST_SKIP() << "lowering a nice value needs CAP_SYS_NICE";
    WaitingThread named;
    WaitingThread other;
    // A name that starts the same is another name.
    WaitingThread longer;
    ASSERT_TRUE(SetName(named.Id(), "wl-pump"));
    ASSERT_TRUE(SetName(longer.Id(), "wl-pump-2"));
    EXPECT_EQ(ThreadsNamed(getpid(), "wl-pump"), std::vector<pid_t>{named.Id()});
    EXPECT_EQ(RaiseThreadsNamed(getpid(), "wl-pump", mNiceBefore - 4), 1);
    EXPECT_EQ(NiceOf(named.Id()), mNiceBefore - 4);
    EXPECT_EQ(NiceOf(other.Id()), mNiceBefore);
    EXPECT_EQ(NiceOf(longer.Id()), mNiceBefore);
    EXPECT_EQ(NiceOf(0), mNiceBefore);
    EXPECT_EQ(RaiseThreadsNamed(getpid(), "", mNiceBefore - 4), 0) << "no name is no thread";
    EXPECT_EQ(PutBackThreads(mNiceBefore), 1);
    EXPECT_EQ(NiceOf(named.Id()), mNiceBefore);
}

TEST_F(ThreadPriorityTest, NeitherRaisingNorPuttingBackLowersAThreadsPriority) {
    WaitingThread low;
    WaitingThread lower;
    // Raising a nice value needs no privilege.
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(low.Id()), mNiceBefore + 2), 0);
    ASSERT_EQ(setpriority(PRIO_PROCESS, static_cast<id_t>(lower.Id()), mNiceBefore + 5), 0);
    EXPECT_EQ(PutBackThreads(mNiceBefore), 0);
    EXPECT_EQ(RaiseThreads(getpid(), mNiceBefore + 5), 0);
    EXPECT_EQ(NiceOf(low.Id()), mNiceBefore + 2);
    EXPECT_EQ(NiceOf(lower.Id()), mNiceBefore + 5);
    EXPECT_EQ(NiceOf(0), mNiceBefore);
}

}  // namespace
}  // namespace wirelens
