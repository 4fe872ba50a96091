// tolvlock.h - the registry's lock, taken the same way by the plug-in and by tolvadm's checker.
// Header-only and not installed.
//
// The lock is an open-file-description lock (fcntl F_OFD_SETLKW) on the
// regular file "<prefix>tolv.journal.lock" in the registry directory. A lock
// on a regular file reaches every host of a shared file system (NFS, FUSE
// file systems such as GlusterFS forward it; a lock on a directory is not
// forwarded), and one on an open file description is neither shared by the
// threads of a process nor dropped when another descriptor of the same file
// is closed, as a POSIX lock would be. The lock file is never replaced nor
// removed: every process that ever locks the registry must lock the same
// inode. Writers also take flock on the directory itself where it works, the
// lock of older versions, so that an older process on the same machine still waits.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "tolvformat.h"

namespace tolv::format {

// A held registry lock. lock() returns false with errno set; the destructor (or unlock()) releases.
class RegistryLock {
public:
    RegistryLock() = default;
    ~RegistryLock() { unlock(); }
    RegistryLock(const RegistryLock &) = delete;
    RegistryLock &operator=(const RegistryLock &) = delete;

    // dirfd: the registry directory, opened readable (the old lock needs it); prefix: what the configured
    // directory puts in front of every name. exclusive: a writer (creates the lock file when missing;
    // created is set then, so that the caller can give it the registry's owner); shared: a reader that must
    // see no writer half-way (opens the file read-only, so it works wherever the registry is readable).
    bool lock(int dirfd, std::string_view prefix, bool exclusive, bool *created = nullptr) {
        unlock();
        const std::string name = std::string(prefix).append(kLockFile);
        for (;;) {
            bool made = false;
            const int fd = open_lock_file(dirfd, name, exclusive, made);
            if (fd < 0) return false;
            struct flock fl {};
            fl.l_type = exclusive ? F_WRLCK : F_RDLCK;
            fl.l_whence = SEEK_SET;
            int r;
            do r = ::fcntl(fd, F_OFD_SETLKW, &fl);
            while (r != 0 && errno == EINTR);
            // The name must still lead to the locked file: a lock file removed or replaced meanwhile would
            // let the next process lock another inode.
            struct stat held, now;
            if (r == 0 && (::fstat(fd, &held) != 0 || ::fstatat(dirfd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                           held.st_ino != now.st_ino || held.st_dev != now.st_dev)) {
                ::close(fd);
                continue;
            }
            if (r != 0) {
                const int why = errno;
                ::close(fd);
                errno = why;
                return false;
            }
            fd_ = fd;
            if (created) *created = made;
            break;
        }
        if (exclusive) {
            // Only where it works: NFS refuses a directory's flock (EBADF), and older versions never ran there.
            int r;
            do r = ::flock(dirfd, LOCK_EX);
            while (r != 0 && errno == EINTR);
            if (r == 0) dir_ = dirfd;
        }
        return true;
    }
    bool held() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Explicitly: a child forked meanwhile may hold another descriptor of the same open file.
    void unlock() {
        if (dir_ >= 0) ::flock(dir_, LOCK_UN);
        dir_ = -1;
        if (fd_ < 0) return;
        struct flock fl {};
        fl.l_type = F_UNLCK;
        fl.l_whence = SEEK_SET;
        ::fcntl(fd_, F_OFD_SETLK, &fl);
        ::close(fd_);
        fd_ = -1;
    }

private:
    static int open_lock_file(int dirfd, const std::string &name, bool write, bool &made) {
        const int flags = (write ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
        for (;;) {
            int fd = ::openat(dirfd, name.c_str(), flags);
            if (fd < 0 && errno == ENOENT && write) {
                fd = ::openat(dirfd, name.c_str(), flags | O_CREAT | O_EXCL, 0600);
                if (fd < 0 && errno == EEXIST) continue;  // another process made it first
                made = fd >= 0;
            }
            if (fd < 0) return -1;
            struct stat st;
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
            ::close(fd);
            errno = EINVAL;  // something else holds the name: not ours to lock
            return -1;
        }
    }
    int fd_ = -1;
    int dir_ = -1;
};

}  // namespace tolv::format
