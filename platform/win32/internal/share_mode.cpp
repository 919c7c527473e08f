#include "internal/share_mode.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

namespace win32 {

namespace {

const off_t kShareBase = (off_t)1 << 62;
const off_t kHasAccess = kShareBase + 1;  // + 0 read, 1 write, 2 delete
const off_t kRefuses = kShareBase + 4;    // + 0 read, 1 write, 2 delete

const DWORD kAccessBits[] = {kShareAccessRead, kShareAccessWrite, kShareAccessDelete};
const DWORD kShareBits[] = {FILE_SHARE_READ, FILE_SHARE_WRITE, FILE_SHARE_DELETE};

struct flock ByteLock(short type, off_t start) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = 1;
    return lock;
}

// 1: taken, 0: the file system has no such locks, -1: other failure.
int SetLock(int fd, short type, off_t start) {
    struct flock lock = ByteLock(type, start);
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
            return 1;
        if (errno == EINTR)
            continue;
        return (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) ? 0 : -1;
    }
}

// The gate is a whole-file flock: it needs no write access and does not mix with the
// byte locks.
int LockGate(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX) == 0)
            return 1;
        if (errno == EINTR)
            continue;
        return (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) ? 0 : -1;
    }
}

void UnlockGate(int fd) { flock(fd, LOCK_UN); }

// Whether another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t start) {
    struct flock lock = ByteLock(F_WRLCK, start);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK;
}

int OpenShareDescriptor(int fd) {
    const int nFlags = fcntl(fd, F_GETFL);
    if (nFlags >= 0 && (nFlags & O_ACCMODE) != O_WRONLY)
        return fcntl(fd, F_DUPFD_CLOEXEC, 0);
    // Shared byte locks need a readable descriptor: a second one on the same file.
    char szPath[64];
    snprintf(szPath, sizeof(szPath), "/proc/self/fd/%d", fd);
    return open(szPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

}  // namespace

DWORD ShareAccessOf(DWORD dwDesiredAccess) {
    DWORD dwAccess = 0;
    // FILE_READ_DATA, FILE_WRITE_DATA, FILE_APPEND_DATA and FILE_EXECUTE are 1, 2, 4 and
    // 0x20; executing counts as reading for sharing.
    if (dwDesiredAccess & (GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL | 0x0001 | 0x0020))
        dwAccess |= kShareAccessRead;
    if (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | 0x0002 | 0x0004))
        dwAccess |= kShareAccessWrite;
    if (dwDesiredAccess & (DELETE | GENERIC_ALL))
        dwAccess |= kShareAccessDelete;
    return dwAccess;
}

int AcquireShareMode(int fd, DWORD dwAccess, DWORD dwShareMode) {
    // An open without data access (attributes only) neither checks nor counts, as on Windows.
    if (dwAccess == 0)
        return kNoShareDescriptor;
    const int fdShare = OpenShareDescriptor(fd);
    if (fdShare < 0)
        return kNoShareDescriptor;  // unreadable to us: cannot take part
    const int nGate = LockGate(fdShare);
    if (nGate == 0) {
        close(fdShare);
        return kNoShareDescriptor;
    }
    if (nGate < 0) {
        close(fdShare);
        ::SetLastError(ERROR_SHARING_BUFFER_EXCEEDED);
        return kShareRefused;
    }
    bool bConflict = false;
    for (int i = 0; i < 3 && !bConflict; ++i) {
        if ((dwAccess & kAccessBits[i]) && HeldByOthers(fdShare, kRefuses + i))
            bConflict = true;
        if (!(dwShareMode & kShareBits[i]) && HeldByOthers(fdShare, kHasAccess + i))
            bConflict = true;
    }
    for (int i = 0; i < 3 && !bConflict; ++i) {
        if ((dwAccess & kAccessBits[i]) && SetLock(fdShare, F_RDLCK, kHasAccess + i) < 0)
            bConflict = true;
        if (!(dwShareMode & kShareBits[i]) && SetLock(fdShare, F_RDLCK, kRefuses + i) < 0)
            bConflict = true;
    }
    UnlockGate(fdShare);
    if (bConflict) {
        close(fdShare);
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return kShareRefused;
    }
    return fdShare;
}

ShareGate::ShareGate(int fd) : m_fd(fd), m_bLocked(LockGate(fd) == 1) {}

ShareGate::~ShareGate() {
    if (m_bLocked)
        UnlockGate(m_fd);
}

bool ShareGate::DeleteRefused() const { return m_bLocked && HeldByOthers(m_fd, kRefuses + 2); }

}  // namespace win32
