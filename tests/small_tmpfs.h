#pragma once
// A small tmpfs for tests of a full disk. It is mounted in a mount namespace
// of the test process's own, so nothing outside the process sees it and it
// goes with the process. Needs root; unshare refuses a process that already
// has threads, so the namespace is entered while statics are made, before
// main starts any (include this header in the test's own source file).
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace wirelens::testing {

inline bool EnterOwnMountNamespace() {
    if (geteuid() != 0 || unshare(CLONE_NEWNS) != 0) return false;
    // Mounts made here must not spread back to the machine's namespace.
    return mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

inline const bool kOwnMountNamespace = EnterOwnMountNamespace();

class SmallTmpfs {
public:
    // `size` as mount takes it, e.g. "8m".
    explicit SmallTmpfs(const char* size) {
        if (!kOwnMountNamespace) return;
        char folder[] = "/tmp/wirelens-tmpfs-XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        mPath = folder;
        const std::string options = std::string("size=") + size + ",mode=0700";
        mMounted = mount("tmpfs", folder, "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallTmpfs() {
        if (mMounted) umount2(mPath.c_str(), MNT_DETACH);
        if (!mPath.empty()) rmdir(mPath.c_str());
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;

    bool Mounted() const { return mMounted; }
    const std::string& Path() const { return mPath; }

private:
    std::string mPath;
    bool mMounted = false;
};

}  // namespace wirelens::testing
