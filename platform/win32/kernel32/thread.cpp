// Threads over pthreads.
//
// Linux cannot create a thread suspended: the pthread starts at once, publishes its id and
// then waits on the kernel condition until ResumeThread brings its suspend count to 0, so
// the routine itself runs exactly when it would on Windows.
//
// Priorities: Windows priorities are relative to the process's priority class; here they are
// nice values relative to the process's own nice value, applied to the thread's kernel task:
// idle +19, lowest +10, below normal +5, normal 0, above normal -5, highest -10,
// time critical -20 (clamped to -20..19). Without CAP_SYS_NICE Linux refuses to lower a nice
// value (raise a priority), which Windows allows within the class; the call then still
// succeeds, as on Windows, GetThreadPriority reports the value set, and the thread keeps the
// highest priority it may have.
#include "internal/errno_map.h"
#include "internal/handle.h"

#include <errno.h>
#include <limits.h>
#include <process.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace win32 {

namespace {

class ThreadObject : public KernelObject {
public:
    ThreadObject(LPTHREAD_START_ROUTINE pfnStart, LPVOID pParameter, DWORD dwSuspendCount)
        : m_pfnStart(pfnStart), m_pParameter(pParameter), m_dwSuspendCount(dwSuspendCount) {}

    bool UsesKernelWaitLock() const override { return true; }
    // A thread handle is signalled once the thread has ended, for every waiter.
    bool TryAcquireLocked() override { return m_bFinished; }
    bool IsSignaledLocked() const override { return m_bFinished; }

    static void* Main(void* pArg) {
        std::shared_ptr<ThreadObject>* pSelf = static_cast<std::shared_ptr<ThreadObject>*>(pArg);
        std::shared_ptr<ThreadObject> self = std::move(*pSelf);
        delete pSelf;
        self->Run();
        return nullptr;
    }

    DWORD Resume() {
        DWORD dwPrevious;
        {
            std::lock_guard<std::mutex> lock(KernelWaitMutex());
            dwPrevious = m_dwSuspendCount;
            if (m_dwSuspendCount > 0)
                --m_dwSuspendCount;
        }
        if (dwPrevious == 1)
            KernelWaitCondition().notify_all();
        return dwPrevious;
    }

    // Blocks until the new thread has published its id.
    pid_t WaitForId() {
        std::unique_lock<std::mutex> lock(KernelWaitMutex());
        WaitKernelCondition(lock, INFINITE, [this] { return m_tid != 0; });
        return m_tid;
    }

    pid_t Tid() {
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        return m_tid;
    }

    BOOL GetExitCode(LPDWORD pdwExitCode) {
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        *pdwExitCode = m_bFinished ? m_dwExitCode : STILL_ACTIVE;
        return TRUE;
    }

    int m_nPriority = THREAD_PRIORITY_NORMAL;  // guarded by KernelWaitMutex()

private:
    void Run() {
        {
            std::unique_lock<std::mutex> lock(KernelWaitMutex());
            m_tid = (pid_t)syscall(SYS_gettid);
            KernelWaitCondition().notify_all();
            WaitKernelCondition(lock, INFINITE, [this] { return m_dwSuspendCount == 0; });
        }
        const DWORD dwExitCode = m_pfnStart(m_pParameter);
        {
            std::lock_guard<std::mutex> lock(KernelWaitMutex());
            m_dwExitCode = dwExitCode;
            m_bFinished = true;
        }
        KernelWaitCondition().notify_all();
    }

    const LPTHREAD_START_ROUTINE m_pfnStart;
    const LPVOID m_pParameter;
    // Guarded by KernelWaitMutex():
    DWORD m_dwSuspendCount;
    pid_t m_tid = 0;
    bool m_bFinished = false;
    DWORD m_dwExitCode = STILL_ACTIVE;
};

bool NiceDeltaOf(int nPriority, int* pnDelta) {
    switch (nPriority) {
    case THREAD_PRIORITY_IDLE: *pnDelta = 19; return true;
    case THREAD_PRIORITY_LOWEST: *pnDelta = 10; return true;
    case THREAD_PRIORITY_BELOW_NORMAL: *pnDelta = 5; return true;
    case THREAD_PRIORITY_NORMAL: *pnDelta = 0; return true;
    case THREAD_PRIORITY_ABOVE_NORMAL: *pnDelta = -5; return true;
    case THREAD_PRIORITY_HIGHEST: *pnDelta = -10; return true;
    case THREAD_PRIORITY_TIME_CRITICAL: *pnDelta = -20; return true;
    default: return false;
    }
}

int ProcessNice() {
    errno = 0;
    const int nNice = getpriority(PRIO_PROCESS, (id_t)getpid());
    return errno == 0 ? nNice : 0;
}

// The most favourable nice value this process may set without privilege (RLIMIT_NICE).
int LowestPermittedNice() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NICE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return -20;
    const long lCeiling = 20 - (long)limit.rlim_cur;
    return lCeiling < -20 ? -20 : (lCeiling > 19 ? 19 : (int)lCeiling);
}

}  // namespace

}  // namespace win32

using namespace win32;

extern "C" HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    auto thread = std::make_shared<ThreadObject>(lpStartAddress, lpParameter,
                                                 (dwCreationFlags & CREATE_SUSPENDED) ? 1 : 0);
    HANDLE h = InsertHandle(thread);
    if (!h)
        return NULL;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize != 0) {
        const size_t cbMin = (size_t)PTHREAD_STACK_MIN;
        const size_t cbStack = dwStackSize < cbMin ? cbMin : dwStackSize;
        pthread_attr_setstacksize(&attr, cbStack);
    }
    pthread_t id;
    auto* pArg = new std::shared_ptr<ThreadObject>(thread);
    const int nResult = pthread_create(&id, &attr, ThreadObject::Main, pArg);
    pthread_attr_destroy(&attr);
    if (nResult != 0) {
        delete pArg;
        RemoveHandle(h);
        SetLastErrorFromErrno(nResult);
        return NULL;
    }
    const pid_t tid = thread->WaitForId();
    if (lpThreadId)
        *lpThreadId = (DWORD)tid;
    ::SetLastError(ERROR_SUCCESS);
    return h;
}

extern "C" DWORD WINAPI ResumeThread(HANDLE hThread) {
    std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread)
        return (DWORD)-1;
    return thread->Resume();
}

extern "C" BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread)
        return FALSE;
    int nDelta;
    if (!NiceDeltaOf(nPriority, &nDelta)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int nNice = ProcessNice() + nDelta;
    nNice = nNice < -20 ? -20 : (nNice > 19 ? 19 : nNice);
    const pid_t tid = thread->Tid();
    if (setpriority(PRIO_PROCESS, (id_t)tid, nNice) != 0 && (errno == EACCES || errno == EPERM)) {
        const int nPermitted = LowestPermittedNice();
        setpriority(PRIO_PROCESS, (id_t)tid, nNice < nPermitted ? nPermitted : nNice);
    }
    {
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        thread->m_nPriority = nPriority;
    }
    return TRUE;
}

extern "C" int WINAPI GetThreadPriority(HANDLE hThread) {
    std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread)
        return THREAD_PRIORITY_ERROR_RETURN;
    std::lock_guard<std::mutex> lock(KernelWaitMutex());
    return thread->m_nPriority;
}

extern "C" BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    std::shared_ptr<ThreadObject> thread = LookupHandleAs<ThreadObject>(hThread);
    if (!thread)
        return FALSE;
    if (!lpExitCode) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return thread->GetExitCode(lpExitCode);
}

// The kernel task id: unique among the live threads of the machine, as a Windows thread id.
extern "C" DWORD WINAPI GetCurrentThreadId(void) {
    static thread_local DWORD t_dwId = (DWORD)syscall(SYS_gettid);
    return t_dwId;
}

extern "C" uintptr_t __cdecl _beginthreadex(void*, unsigned _StackSize,
                                            _beginthreadex_proc_type _StartAddress, void* _ArgList,
                                            unsigned _InitFlag, unsigned* _ThrdAddr) {
    if (!_StartAddress) {
        errno = EINVAL;
        return 0;
    }
    DWORD dwThreadId = 0;
    HANDLE h = CreateThread(NULL, _StackSize, _StartAddress, _ArgList, _InitFlag, &dwThreadId);
    if (!h) {
        errno = EAGAIN;
        return 0;
    }
    if (_ThrdAddr)
        *_ThrdAddr = dwThreadId;
    return (uintptr_t)h;
}
