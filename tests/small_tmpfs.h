#pragma once
// Small file systems for tests of a full disk (tmpfs) and of a disk that
// stalls (ext4 that can be frozen). They are mounted in a mount namespace of
// the test process's own, so nothing outside the process sees them and they
// go with the process. Needs root; unshare refuses a process that already
// has threads, so the namespace is entered while statics are made, before
// main starts any (include this header in the test's own source file).
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

// An ext4 file system on a loop device (512 MiB: what a store's writer takes
// while it is frozen fits, with room), in the same mount namespace, that can
// be frozen: every write to it then waits until it is thawed, as
// writes to a disk that stalls do. Needs root, mkfs.ext4 and a loop device.
class FreezableDisk {
public:
    FreezableDisk() {
        if (!kOwnMountNamespace) return;
        char folder[] = "/tmp/wirelens-ext4-XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        mPath = folder;
        mImage = mPath + ".img";
        const std::string make = "truncate -s 512M '" + mImage + "' && mkfs.ext4 -q -F '" + mImage +
                                 "' >/dev/null 2>&1 && mount -o loop '" + mImage + "' '" + mPath + "' 2>/dev/null";
        mMounted = std::system(make.c_str()) == 0;
        if (mMounted) chmod(mPath.c_str(), 0700);
    }
    ~FreezableDisk() {
        Thaw();
        if (mMounted) umount2(mPath.c_str(), MNT_DETACH);
        if (!mPath.empty()) rmdir(mPath.c_str());
        if (!mImage.empty()) unlink(mImage.c_str());
    }
    FreezableDisk(const FreezableDisk&) = delete;
    FreezableDisk& operator=(const FreezableDisk&) = delete;

    bool Mounted() const { return mMounted; }
    const std::string& Path() const { return mPath; }
    // False when the file system cannot be frozen.
    bool Freeze() { return Control(FIFREEZE) && (mFrozen = true); }
    void Thaw() {
        if (mFrozen && Control(FITHAW)) mFrozen = false;
    }

private:
    bool Control(unsigned long request) const {
        const int fd = open(mPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool done = fd >= 0 && ioctl(fd, request, 0) == 0;
        if (fd >= 0) close(fd);
        return done;
    }

    std::string mPath;
    std::string mImage;
    bool mMounted = false;
    bool mFrozen = false;
};

}  // namespace wirelens::testing
