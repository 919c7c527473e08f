// Mutexes: owned per thread, recursive for their owner, abandoned when the owner thread ends
// holding them. Both kinds are robust recursive pthread mutexes: the kernel's robust-futex
// list hands EOWNERDEAD to the next waiter when an owner thread or process dies, which is
// Windows's WAIT_ABANDONED. An unnamed mutex lives on the heap and is private to the
// process. A named one lives in POSIX shared memory, so every process of the machine that
// names it shares it, as a named kernel mutex is shared on Windows.
//
// Lifetime of a named mutex. On Windows the object disappears with its last handle in any
// process; POSIX shared memory stays until it is unlinked. Two open-file-description locks on
// the shared-memory file reproduce Windows: byte 0 is a gate held while a process opens or
// closes the object, byte 1 is held shared by every process that has it open. An opener that
// finds byte 1 free is the first user and initialises the mutex afresh (so a crashed
// process's leftovers never count); the last closer unlinks the name.
#include "internal/errno_map.h"
#include "internal/handle.h"
#include "internal/sync_objects.h"
#include "internal/tick_count.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace win32 {

namespace {

const uint32_t kSharedMutexMagic = 0x4D757478;  // "Mutx"
const off_t kGateByte = 0;
const off_t kUsersByte = 1;

struct SharedMutexBlock {
    uint32_t magic;
    uint32_t reserved;
    pthread_mutex_t mutex;
};

bool InitRobustMutex(pthread_mutex_t* pMutex, bool bShared) {
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setpshared(&attr, bShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    const int nResult = pthread_mutex_init(pMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return nResult == 0;
}

// Whether some thread (of any process) holds the mutex. A held robust mutex is linked into
// its owner thread's robust list through its own memory, so that memory must never be freed
// or unmapped while it is held: glibc keeps the owner's TID in __owner.
bool IsHeld(const pthread_mutex_t* pMutex) {
    return __atomic_load_n(&pMutex->__data.__owner, __ATOMIC_ACQUIRE) != 0;
}

// Whether a thread of this process holds it (only then is it in one of our robust lists).
bool IsHeldHere(const pthread_mutex_t* pMutex) {
    const int nOwner = __atomic_load_n(&pMutex->__data.__owner, __ATOMIC_ACQUIRE);
    if (nOwner <= 0 || nOwner >= 0x7ffffffe)
        return false;
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/task/%d", nOwner);
    return access(path, F_OK) == 0;
}

bool OfdLock(int fd, short type, off_t start, bool bWait) {
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, bWait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0)
            return true;
        if (errno != EINTR)
            return false;
    }
}

// True when no other open file description holds a lock that conflicts with a write lock.
bool OfdByteIsFree(int fd, off_t start) {
    struct flock lock = {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type == F_UNLCK;
}

// Windows object names may hold any character but the backslash of a namespace prefix;
// shared-memory names may not hold '/'. Global\ and Local\ both map to the machine.
std::string SharedMemoryName(const std::string& objectName) {
    std::string name = objectName;
    for (const char* prefix : {"Global\\", "Local\\"})
        if (name.compare(0, strlen(prefix), prefix) == 0)
            name.erase(0, strlen(prefix));
    std::string encoded = "/ioclasslib-mutex-";
    for (unsigned char c : name) {
        if (isalnum(c) || c == '_' || c == '-' || c == '.') {
            encoded += (char)c;
        } else {
            char escape[4];
            snprintf(escape, sizeof(escape), "%%%02X", c);
            encoded += escape;
        }
    }
    if (encoded.size() > 200) {
        uint64_t hash = 1469598103934665603ull;
        for (unsigned char c : name)
            hash = (hash ^ c) * 1099511628211ull;
        char tail[20];
        snprintf(tail, sizeof(tail), "#%016llx", (unsigned long long)hash);
        encoded = encoded.substr(0, 180) + tail;
    }
    return encoded;
}

// pthread_mutex_clocklock, told to the thread sanitizer as a timed lock: it watches
// pthread_mutex_lock and trylock but not this call, and would take a mutex locked here for
// one nobody holds.
int ClockLock(pthread_mutex_t* pMutex, const struct timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
    __tsan_mutex_pre_lock(pMutex, __tsan_mutex_try_lock);
#endif
    const int nResult = pthread_mutex_clocklock(pMutex, CLOCK_MONOTONIC, &deadline);
#if defined(__SANITIZE_THREAD__)
    const bool bLocked = nResult == 0 || nResult == EOWNERDEAD;
    __tsan_mutex_post_lock(pMutex, __tsan_mutex_try_lock | (bLocked ? 0 : __tsan_mutex_try_lock_failed), 0);
#endif
    return nResult;
}

class MutexObject : public KernelObject {
public:
    DWORD Wait(DWORD dwMilliseconds) override {
        pthread_mutex_t* pMutex = Mutex();
        int nResult;
        if (dwMilliseconds == 0) {
            nResult = pthread_mutex_trylock(pMutex);
        } else if (dwMilliseconds == INFINITE) {
            nResult = pthread_mutex_lock(pMutex);
        } else {
            const struct timespec deadline = win32::MonotonicDeadlineAfter(dwMilliseconds);
            nResult = ClockLock(pMutex, deadline);
        }
        switch (nResult) {
        case 0: return WAIT_OBJECT_0;
        case EOWNERDEAD:
            // The caller owns it now, as after WAIT_ABANDONED on Windows.
            pthread_mutex_consistent(pMutex);
            return WAIT_ABANDONED;
        case EBUSY:
        case ETIMEDOUT: return WAIT_TIMEOUT;
        default: SetLastErrorFromErrno(nResult); return WAIT_FAILED;
        }
    }

    BOOL Release() {
        // Only the owner thread may release, as on Windows. Asked first rather than left to
        // pthread_mutex_unlock's EPERM: unlocking another thread's mutex is a misuse that
        // the thread sanitizer rightly reports.
        if (__atomic_load_n(&Mutex()->__data.__owner, __ATOMIC_ACQUIRE) != (int)gettid()) {
            ::SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        const int nResult = pthread_mutex_unlock(Mutex());
        if (nResult == 0)
            return TRUE;
        ::SetLastError(nResult == EPERM ? ERROR_NOT_OWNER : Win32ErrorFromErrno(nResult));
        return FALSE;
    }

protected:
    virtual pthread_mutex_t* Mutex() = 0;
};

class PrivateMutex : public MutexObject {
public:
    bool Init() {
        m_pMutex = new pthread_mutex_t();  // zeroed: reads as not held should init fail
        return InitRobustMutex(m_pMutex, false);
    }
    ~PrivateMutex() override {
        // A mutex still held when its last handle goes stays allocated: it sits in the owner
        // thread's robust list until that thread ends.
        if (m_pMutex && !IsHeld(m_pMutex)) {
            pthread_mutex_destroy(m_pMutex);
            delete m_pMutex;
        }
    }

protected:
    pthread_mutex_t* Mutex() override { return m_pMutex; }

private:
    pthread_mutex_t* m_pMutex = nullptr;
};

class SharedMutex : public MutexObject {
public:
    // Opens or creates the machine-wide mutex of that name. *pbExisted tells whether another
    // process already had it open.
    bool Open(const std::string& objectName, bool* pbExisted) {
        m_name = SharedMemoryName(objectName);
        for (int nAttempt = 0; nAttempt < 100; ++nAttempt) {
            m_fd = shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
            if (m_fd < 0)
                return FailWithErrno();
            if (!OfdLock(m_fd, F_WRLCK, kGateByte, true))
                return FailWithErrno();
            // A last closer may have unlinked the name between our open and our gate lock:
            // then this file is orphaned and the name must be opened again.
            if (StillNamed())
                return OpenUnderGate(pbExisted);
            close(m_fd);
            m_fd = -1;
        }
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return false;
    }

    ~SharedMutex() override {
        if (m_fd < 0)
            return;
        if (m_pBlock && IsHeldHere(&m_pBlock->mutex)) {
            // Held by a thread of ours: keep the mapping and our user lock, so the mutex and
            // its name stay alive until that thread releases it or ends.
            return;
        }
        OfdLock(m_fd, F_WRLCK, kGateByte, true);
        if (m_pBlock)
            munmap(m_pBlock, sizeof(SharedMutexBlock));
        OfdLock(m_fd, F_UNLCK, kUsersByte, false);
        if (OfdByteIsFree(m_fd, kUsersByte))
            shm_unlink(m_name.c_str());
        close(m_fd);  // drops the gate
    }

protected:
    pthread_mutex_t* Mutex() override { return &m_pBlock->mutex; }

private:
    bool FailWithErrno() {
        SetLastErrorFromErrno(errno);
        if (m_fd >= 0)
            close(m_fd);
        m_fd = -1;
        return false;
    }

    bool StillNamed() {
        struct stat ours, named;
        if (fstat(m_fd, &ours) != 0)
            return false;
        const int fdNamed = shm_open(m_name.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (fdNamed < 0)
            return false;
        const bool bSame =
            fstat(fdNamed, &named) == 0 && named.st_ino == ours.st_ino && named.st_dev == ours.st_dev;
        close(fdNamed);
        return bSame;
    }

    bool OpenUnderGate(bool* pbExisted) {
        const bool bFirstUser = OfdByteIsFree(m_fd, kUsersByte);
        if (bFirstUser && ftruncate(m_fd, sizeof(SharedMutexBlock)) != 0)
            return FailWithErrno();
        struct stat info;
        if (fstat(m_fd, &info) != 0)
            return FailWithErrno();
        if ((size_t)info.st_size < sizeof(SharedMutexBlock)) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            if (m_fd >= 0)
                close(m_fd);
            m_fd = -1;
            return false;
        }
        void* pMapped = mmap(nullptr, sizeof(SharedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, m_fd, 0);
        if (pMapped == MAP_FAILED)
            return FailWithErrno();
        m_pBlock = static_cast<SharedMutexBlock*>(pMapped);
        if (bFirstUser || m_pBlock->magic != kSharedMutexMagic) {
            if (!InitRobustMutex(&m_pBlock->mutex, true)) {
                munmap(m_pBlock, sizeof(SharedMutexBlock));
                m_pBlock = nullptr;
                ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
                close(m_fd);
                m_fd = -1;
                return false;
            }
            __atomic_store_n(&m_pBlock->magic, kSharedMutexMagic, __ATOMIC_RELEASE);
        }
        *pbExisted = !bFirstUser;
        OfdLock(m_fd, F_RDLCK, kUsersByte, false);
        OfdLock(m_fd, F_UNLCK, kGateByte, false);
        return true;
    }

    std::string m_name;
    int m_fd = -1;
    SharedMutexBlock* m_pBlock = nullptr;
};

bool IsMutex(const KernelObject& object) { return dynamic_cast<const MutexObject*>(&object) != nullptr; }

}  // namespace

}  // namespace win32

using namespace win32;

extern "C" HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
    std::shared_ptr<MutexObject> mutex;
    bool bExisted = false;
    if (lpName && *lpName) {
        // Within the process one object per name, so a second create shares the mapping;
        // creations are serialised so nobody finds a mutex whose Open has not finished.
        static std::mutex* createLock = new std::mutex;
        std::lock_guard<std::mutex> lock(*createLock);
        auto shared = std::make_shared<SharedMutex>();
        std::shared_ptr<KernelObject> object = FindOrAddNamedObject(lpName, shared, IsMutex, &bExisted);
        if (!object)
            return NULL;
        if (object == shared && !shared->Open(lpName, &bExisted)) {
            const DWORD dwError = ::GetLastError();
            object.reset();
            shared.reset();
            ::SetLastError(dwError);
            return NULL;
        }
        mutex = std::static_pointer_cast<MutexObject>(object);
    } else {
        auto created = std::make_shared<PrivateMutex>();
        if (!created->Init()) {
            ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return NULL;
        }
        mutex = created;
    }
    // An existing mutex is opened, not taken: Windows ignores bInitialOwner then.
    if (bInitialOwner && !bExisted)
        mutex->Wait(INFINITE);
    HANDLE h = InsertHandle(mutex);
    if (h)
        ::SetLastError(bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

extern "C" BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
    std::shared_ptr<MutexObject> mutex = LookupHandleAs<MutexObject>(hMutex);
    if (!mutex)
        return FALSE;
    return mutex->Release();
}
