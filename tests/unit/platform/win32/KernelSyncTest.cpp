// Last error, events, semaphores, waits, critical sections, threads and their priorities,
// and mutexes: unnamed within the process, named across processes.
#include <gtest/gtest.h>

#include <windows.h>
#include <process.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

DWORD WINAPI ReportLastError(LPVOID param) {
    DWORD* result = static_cast<DWORD*>(param);
    result[0] = GetLastError();  // a new thread starts with 0
    SetLastError(7);
    result[1] = GetLastError();
    return 0;
}

TEST(KernelLastError, EachThreadHasItsOwn) {
    SetLastError(42);
    DWORD seen[2] = {99, 99};
    HANDLE thread = CreateThread(NULL, 0, ReportLastError, seen, 0, NULL);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(seen[0], 0u);
    EXPECT_EQ(seen[1], 7u);
    SetLastError(42);
    EXPECT_EQ(GetLastError(), 42u);
}

TEST(KernelEvent, AutoResetReleasesOneWaitManualResetStaysUntilReset) {
    HANDLE autoEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE manualEvent = CreateEventA(NULL, TRUE, TRUE, NULL);
    ASSERT_NE(autoEvent, nullptr);
    ASSERT_NE(manualEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(autoEvent));
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEvent, 0), (DWORD)WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manualEvent, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manualEvent));
    EXPECT_EQ(WaitForSingleObject(manualEvent, 10), (DWORD)WAIT_TIMEOUT);
    CloseHandle(autoEvent);
    CloseHandle(manualEvent);
    EXPECT_FALSE(SetEvent(autoEvent));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

DWORD WINAPI WaitThenSignal(LPVOID param) {
    HANDLE* events = static_cast<HANDLE*>(param);
    if (WaitForSingleObject(events[0], INFINITE) != WAIT_OBJECT_0)
        return 1;
    SetEvent(events[1]);
    return 5;
}

TEST(KernelEvent, ASetFromAnotherThreadWakesAnInfiniteWait) {
    HANDLE events[2] = {CreateEventA(NULL, FALSE, FALSE, NULL), CreateEventA(NULL, FALSE, FALSE, NULL)};
    HANDLE thread = CreateThread(NULL, 0, WaitThenSignal, events, 0, NULL);
    ASSERT_NE(thread, nullptr);
    SetEvent(events[0]);
    EXPECT_EQ(WaitForSingleObject(events[1], INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 5u);
    for (HANDLE h : {events[0], events[1], thread})
        CloseHandle(h);
}

TEST(KernelSemaphore, CountNeverPassesTheMaximum) {
    // As the ports' and the debug log's semaphores: initial 1, maximum 2.
    HANDLE semaphore = CreateSemaphoreA(NULL, 1, 2, NULL);
    ASSERT_NE(semaphore, nullptr);
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 1);
    previous = -1;
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TOO_MANY_POSTS);
    EXPECT_EQ(previous, -1);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(semaphore, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 3, NULL));  // 0 + 3 > 2
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TOO_MANY_POSTS);
    EXPECT_FALSE(ReleaseSemaphore(semaphore, 0, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(ReleaseSemaphore(semaphore, 2, NULL));
    CloseHandle(semaphore);

    EXPECT_EQ(CreateSemaphoreA(NULL, 3, 2, NULL), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateSemaphoreA(NULL, 0, 0, NULL), nullptr);
}

TEST(KernelSemaphore, ANameSharesOneObjectWithinTheProcess) {
    HANDLE first = CreateSemaphoreA(NULL, 0, 5, "KernelSyncTest.sem");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE second = CreateSemaphoreA(NULL, 0, 5, "KernelSyncTest.sem");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(ReleaseSemaphore(first, 1, NULL));
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    // The name belongs to a semaphore: an event cannot take it.
    EXPECT_EQ(CreateEventA(NULL, FALSE, FALSE, "KernelSyncTest.sem"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(first);
    CloseHandle(second);
    // With its last handle gone the name is free again.
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, "KernelSyncTest.sem");
    EXPECT_NE(event, nullptr);
    CloseHandle(event);
}

TEST(KernelWaitMultiple, AnyTakesTheFirstSignalledAllTakesAllOrNothing) {
    HANDLE a = CreateEventA(NULL, FALSE, FALSE, NULL);
    HANDLE b = CreateSemaphoreA(NULL, 0, 1, NULL);
    HANDLE both[2] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    ReleaseSemaphore(b, 1, NULL);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);

    ReleaseSemaphore(b, 1, NULL);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // not taken by the failed wait-all
    ReleaseSemaphore(b, 1, NULL);
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(b, 0), (DWORD)WAIT_TIMEOUT);

    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    HANDLE mutex = CreateMutexA(NULL, FALSE, NULL);
    HANDLE withMutex[2] = {a, mutex};
    EXPECT_EQ(WaitForMultipleObjects(2, withMutex, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    for (HANDLE h : {a, b, mutex})
        CloseHandle(h);
}

struct CriticalSectionProbe {
    CRITICAL_SECTION* section;
    BOOL entered;
};

DWORD WINAPI TryEnterFromOtherThread(LPVOID param) {
    CriticalSectionProbe* probe = static_cast<CriticalSectionProbe*>(param);
    probe->entered = TryEnterCriticalSection(probe->section);
    if (probe->entered)
        LeaveCriticalSection(probe->section);
    return 0;
}

TEST(KernelCriticalSection, IsRecursiveForItsOwnerAndExcludesOthers) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    LeaveCriticalSection(&section);
    CriticalSectionProbe probe = {&section, TRUE};
    HANDLE thread = CreateThread(NULL, 0, TryEnterFromOtherThread, &probe, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_FALSE(probe.entered);  // still held once
    LeaveCriticalSection(&section);
    thread = CreateThread(NULL, 0, TryEnterFromOtherThread, &probe, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_TRUE(probe.entered);
    DeleteCriticalSection(&section);
}

struct SuspendedProbe {
    std::atomic<bool> ran{false};
    DWORD id = 0;
};

DWORD WINAPI RecordRun(LPVOID param) {
    SuspendedProbe* probe = static_cast<SuspendedProbe*>(param);
    probe->id = GetCurrentThreadId();
    probe->ran = true;
    return 0x1234;
}

TEST(KernelThread, ASuspendedThreadRunsOnlyAfterResume) {
    SuspendedProbe probe;
    DWORD id = 0;
    HANDLE thread = CreateThread(NULL, 0, RecordRun, &probe, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    Sleep(50);  // room for a thread that was wrongly started to show itself
    EXPECT_FALSE(probe.ran);
    EXPECT_EQ(WaitForSingleObject(thread, 0), (DWORD)WAIT_TIMEOUT);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, (DWORD)STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(thread), 1u);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(probe.ran);
    EXPECT_EQ(probe.id, id);  // the id CreateThread gave is the thread's own
    EXPECT_EQ(ResumeThread(thread), 0u);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0x1234u);
    // A finished thread stays signalled for every waiter.
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(ResumeThread(thread), (DWORD)-1);
    EXPECT_EQ(CreateThread(NULL, 0, NULL, NULL, 0, NULL), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

unsigned __stdcall CrtRoutine(void* param) {
    *static_cast<int*>(param) = 1;
    return 9;
}

TEST(KernelThread, BeginThreadExGivesAWaitableHandle) {
    int touched = 0;
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(NULL, 0, CrtRoutine, &touched, 0, &id);
    ASSERT_NE(handle, 0u);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject((HANDLE)handle, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread((HANDLE)handle, &code);
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(touched, 1);
    CloseHandle((HANDLE)handle);
}

DWORD WINAPI Nothing(LPVOID) { return 0; }

int NiceOf(DWORD tid) {
    errno = 0;
    return getpriority(PRIO_PROCESS, (id_t)tid);
}

TEST(KernelThread, PrioritiesTakeOnlyTheWindowsValuesAndLowerTheNiceValue) {
    DWORD tid = 0;
    HANDLE thread = CreateThread(NULL, 0, Nothing, NULL, CREATE_SUSPENDED, &tid);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    for (int invalid : {7, 3, -3, -16, 16, 14}) {
        EXPECT_FALSE(SetThreadPriority(thread, invalid)) << invalid;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL);
    const int processNice = NiceOf(getpid());
    struct Mapping {
        int priority;
        int niceDelta;
    };
    // Lower priorities are always permitted, so their nice values can be checked.
    for (Mapping m : {Mapping{THREAD_PRIORITY_BELOW_NORMAL, 5}, Mapping{THREAD_PRIORITY_LOWEST, 10},
                      Mapping{THREAD_PRIORITY_IDLE, 19}}) {
        ASSERT_TRUE(SetThreadPriority(thread, m.priority));
        EXPECT_EQ(GetThreadPriority(thread), m.priority);
        const int expected = processNice + m.niceDelta > 19 ? 19 : processNice + m.niceDelta;
        EXPECT_EQ(NiceOf(tid), expected) << m.priority;
    }
    // Higher ones succeed as on Windows, whatever Linux lets us do.
    for (int priority : {THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST, THREAD_PRIORITY_TIME_CRITICAL,
                         THREAD_PRIORITY_NORMAL}) {
        EXPECT_TRUE(SetThreadPriority(thread, priority));
        EXPECT_EQ(GetThreadPriority(thread), priority);
    }
    ResumeThread(thread);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_ERROR_RETURN);
}

TEST(KernelMutex, UnnamedMutexIsRecursiveAndOwnedByOneThread) {
    HANDLE mutex = CreateMutexA(NULL, TRUE, NULL);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // second level
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    CloseHandle(mutex);
}

DWORD WINAPI TakeAndEndHolding(LPVOID param) {
    return WaitForSingleObject(*static_cast<HANDLE*>(param), INFINITE);
}

DWORD WINAPI TryTake(LPVOID param) { return WaitForSingleObject(*static_cast<HANDLE*>(param), 0); }

TEST(KernelMutex, AThreadEndingWhileHoldingAbandonsIt) {
    HANDLE mutex = CreateMutexA(NULL, FALSE, NULL);
    HANDLE thread = CreateThread(NULL, 0, TakeAndEndHolding, &mutex, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), (DWORD)WAIT_ABANDONED);
    // Now ours, and not available to another thread.
    thread = CreateThread(NULL, 0, TryTake, &mutex, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, (DWORD)WAIT_TIMEOUT);
    CloseHandle(thread);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

// A second process that takes the named mutex and holds it until told what to do.
class MutexHolder {
public:
    enum Ending { kRelease, kDieHolding };

    explicit MutexHolder(const std::string& name) {
        if (pipe(ready_) != 0 || pipe(command_) != 0)
            abort();
        pid_ = fork();
        if (pid_ == 0) {
            HANDLE mutex = CreateMutexA(NULL, FALSE, name.c_str());
            const char status = mutex && WaitForSingleObject(mutex, INFINITE) == WAIT_OBJECT_0 ? 'y' : 'n';
            if (write(ready_[1], &status, 1) != 1)
                _exit(2);
            char command = 0;
            if (read(command_[0], &command, 1) != 1)
                _exit(3);
            if (command == 'd')
                _exit(0);  // ends holding it
            ReleaseMutex(mutex);
            if (write(ready_[1], "r", 1) != 1)
                _exit(4);
            if (read(command_[0], &command, 1) != 1)
                _exit(5);
            CloseHandle(mutex);
            _exit(0);
        }
        char status = 0;
        holding_ = read(ready_[0], &status, 1) == 1 && status == 'y';
    }
    ~MutexHolder() { End(kRelease); }
    bool Holding() const { return holding_; }
    // kRelease: the holder releases the mutex (and waits until Finish); kDieHolding: it exits.
    void Release() {
        if (write(command_[1], "r", 1) != 1)
            return;
        char done;
        if (read(ready_[0], &done, 1) != 1)
            return;
    }
    void End(Ending ending) {
        if (pid_ <= 0)
            return;
        if (ending == kDieHolding) {
            if (write(command_[1], "d", 1) != 1) {
            }
        } else {
            if (write(command_[1], "rr", 2) != 2) {
            }
        }
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        for (int fd : {ready_[0], ready_[1], command_[0], command_[1]})
            close(fd);
    }

private:
    pid_t pid_ = -1;
    int ready_[2];
    int command_[2];
    bool holding_ = false;
};

std::string UniqueMutexName(const char* what) {
    char name[128];
    snprintf(name, sizeof(name), "Qarvela_IOClassLib_Test_%s_%d", what, (int)getpid());
    return name;
}

bool SharedMemoryExists(const std::string& mutexName) {
    struct stat info;
    return stat(("/dev/shm/ioclasslib-mutex-" + mutexName).c_str(), &info) == 0;
}

TEST(KernelNamedMutex, AnotherProcessHoldingItTimesUsOutUntilItReleases) {
    const std::string name = UniqueMutexName("held");
    MutexHolder holder(name);
    ASSERT_TRUE(holder.Holding());
    HANDLE mutex = CreateMutexA(NULL, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);  // and not taken: it exists
    EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(mutex, 30), (DWORD)WAIT_TIMEOUT);
    EXPECT_FALSE(ReleaseMutex(mutex));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_OWNER);
    holder.Release();
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);  // recursive
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
    holder.End(MutexHolder::kRelease);
    CloseHandle(mutex);
    EXPECT_FALSE(SharedMemoryExists(name));  // the last handle took the name with it
}

TEST(KernelNamedMutex, AnOwnerThatDiesHoldingItLeavesItAbandonedToTheNextWaiter) {
    const std::string name = UniqueMutexName("abandoned");
    MutexHolder holder(name);
    ASSERT_TRUE(holder.Holding());
    HANDLE mutex = CreateMutexA(NULL, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), (DWORD)WAIT_TIMEOUT);
    holder.End(MutexHolder::kDieHolding);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    // Consistent again: the next wait is an ordinary one.
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST(KernelNamedMutex, AMutexNobodyHasOpenStartsAfreshAsOnWindows) {
    const std::string name = UniqueMutexName("fresh");
    {
        MutexHolder holder(name);
        ASSERT_TRUE(holder.Holding());
        holder.End(MutexHolder::kDieHolding);
    }
    HANDLE mutex = CreateMutexA(NULL, FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);  // created, not opened
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    // Within the process a second create shares the same object.
    HANDLE again = CreateMutexA(NULL, TRUE, name.c_str());
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(ReleaseMutex(again));
    EXPECT_FALSE(ReleaseMutex(mutex));
    CloseHandle(again);
    CloseHandle(mutex);
}

TEST(KernelNamedMutex, OwnershipIsPerThreadWithinTheProcess) {
    const std::string name = UniqueMutexName("threads");
    HANDLE mutex = CreateMutexA(NULL, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    HANDLE thread = CreateThread(NULL, 0, TryTake, &mutex, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    DWORD code = 0;
    GetExitCodeThread(thread, &code);
    EXPECT_EQ(code, (DWORD)WAIT_TIMEOUT);
    CloseHandle(thread);
    EXPECT_TRUE(ReleaseMutex(mutex));
    thread = CreateThread(NULL, 0, TakeAndEndHolding, &mutex, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), (DWORD)WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

}  // namespace
