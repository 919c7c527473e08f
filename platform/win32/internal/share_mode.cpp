#include "internal/share_mode.h"

#include <errno.h>
#include <fcntl.h>

namespace win32 {

namespace {

const off_t kShareBase = (off_t)1 << 62;
const off_t kGate = kShareBase;
const off_t kHasAccess = kShareBase + 1;   // + 0 read, 1 write, 2 delete
const off_t kRefuses = kShareBase + 4;     // + 0 read, 1 write, 2 delete

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
int SetLock(int fd, short type, off_t start, bool bWait) {
    struct flock lock = ByteLock(type, start);
    for (;;) {
        if (fcntl(fd, bWait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return 1;
        if (errno == EINTR) continue;
        return (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) ? 0 : -1;
    }
}

// Whether another open file description holds a lock on the byte.
bool HeldByOthers(int fd, off_t start) {
    struct flock lock = ByteLock(F_WRLCK, start);
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
    return lock.l_type != F_UNLCK;
}

}  // namespace

DWORD ShareAccessOf(DWORD dwDesiredAccess) {
    DWORD dwAccess = 0;
    // FILE_READ_DATA, FILE_WRITE_DATA and FILE_APPEND_DATA are 1, 2 and 4.
    if (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | 0x0001)) dwAccess |= kShareAccessRead;
    if (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | 0x0002 | 0x0004))
        dwAccess |= kShareAccessWrite;
    if (dwDesiredAccess & (DELETE | GENERIC_ALL)) dwAccess |= kShareAccessDelete;
    return dwAccess;
}

bool AcquireShareMode(int fd, DWORD dwAccess, DWORD dwShareMode) {
    const int nGate = SetLock(fd, F_WRLCK, kGate, true);
    if (nGate == 0) return true;
    if (nGate < 0) {
        ::SetLastError(ERROR_SHARING_BUFFER_EXCEEDED);
        return false;
    }
    bool bConflict = false;
    for (int i = 0; i < 3 && !bConflict; ++i) {
        if ((dwAccess & kAccessBits[i]) && HeldByOthers(fd, kRefuses + i)) bConflict = true;
        if (!(dwShareMode & kShareBits[i]) && HeldByOthers(fd, kHasAccess + i)) bConflict = true;
    }
    if (!bConflict) {
        for (int i = 0; i < 3; ++i) {
            if (dwAccess & kAccessBits[i]) SetLock(fd, F_RDLCK, kHasAccess + i, false);
            if (!(dwShareMode & kShareBits[i])) SetLock(fd, F_RDLCK, kRefuses + i, false);
        }
    }
    SetLock(fd, F_UNLCK, kGate, false);
    if (bConflict) ::SetLastError(ERROR_SHARING_VIOLATION);
    return !bConflict;
}

ShareGate::ShareGate(int fd) : m_fd(fd), m_bLocked(SetLock(fd, F_WRLCK, kGate, true) == 1) {}

ShareGate::~ShareGate() {
    if (m_bLocked) SetLock(m_fd, F_UNLCK, kGate, false);
}

bool ShareGate::DeleteRefused() const { return m_bLocked && HeldByOthers(m_fd, kRefuses + 2); }

}  // namespace win32
