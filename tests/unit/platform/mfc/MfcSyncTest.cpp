#include <afxmt.h>

#include <gtest/gtest.h>

#include <future>
#include <thread>

namespace {

// Runs f on another thread and returns its result: ownership of mutexes and critical
// sections is per thread, so "is it free?" must be asked from elsewhere.
template <class F>
auto OnOtherThread(F f) -> decltype(f()) {
    return std::async(std::launch::async, f).get();
}

// A name no other test run on this machine uses at the same time.
CString UniqueName(LPCTSTR stem) {
    CString name;
    name.Format("%s_%lu_%p", stem, static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<void*>(&name));
    return name;
}

}  // namespace

TEST(MfcSemaphore, CountsFromOneUpToTheMaximumOfTwo) {
    CSemaphore sem(1, 2);
    ASSERT_NE(static_cast<HANDLE>(NULL), sem.m_hObject);
    EXPECT_EQ(sem.m_hObject, static_cast<HANDLE>(sem));

    EXPECT_TRUE(sem.Lock(0));
    EXPECT_FALSE(sem.Lock(0));  // count 0: the wait times out

    EXPECT_TRUE(sem.Unlock());  // 1
    EXPECT_TRUE(sem.Unlock());  // 2, the maximum
    LONG previous = -1;
    EXPECT_FALSE(sem.Unlock(1, &previous));  // beyond the maximum: refused, count unchanged

    EXPECT_TRUE(sem.Lock(0));
    EXPECT_TRUE(sem.Lock(0));
    EXPECT_FALSE(sem.Lock(0));

    EXPECT_TRUE(sem.Unlock(2, &previous));
    EXPECT_EQ(0, previous);
}

TEST(MfcSemaphore, EachObjectHasItsOwnHandle) {
    CSemaphore a(1, 2), b(1, 2);
    EXPECT_NE(a.m_hObject, b.m_hObject);
    EXPECT_TRUE(a.Lock(0));
    EXPECT_TRUE(b.Lock(0));  // unnamed semaphores are independent
    CString text;
    text.Format("Semaphore Handle [%X]", static_cast<unsigned>(reinterpret_cast<UINT_PTR>(a.m_hObject)));
    EXPECT_EQ(0, text.Find("Semaphore Handle ["));
}

TEST(MfcMutex, OwnerMayLockAgainAndOthersWaitUntilFullyReleased) {
    CMutex mutex(FALSE, UniqueName("mfc_test_mutex"));
    ASSERT_NE(static_cast<HANDLE>(NULL), mutex.m_hObject);
    EXPECT_TRUE(mutex.Lock(0));
    EXPECT_TRUE(mutex.Lock(0));  // recursion by the owning thread
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(0); }));

    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(0); }));  // still held once
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock());  // not owned any more

    EXPECT_TRUE(OnOtherThread([&] {
        BOOL got = mutex.Lock(0);
        if (got)
            mutex.Unlock();
        return got;
    }));
}

TEST(MfcMutex, SameNameIsTheSameMutex) {
    CString name = UniqueName("mfc_test_named");
    CMutex first(TRUE, name);  // created owned by this thread
    CMutex second(FALSE, name);
    ASSERT_NE(static_cast<HANDLE>(NULL), second.m_hObject);
    EXPECT_FALSE(OnOtherThread([&] { return second.Lock(0); }));
    EXPECT_TRUE(first.Unlock());
    EXPECT_TRUE(OnOtherThread([&] {
        BOOL got = second.Lock(0);
        if (got)
            second.Unlock();
        return got;
    }));
}

TEST(MfcMutex, ReleaseByAnotherThreadFails) {
    CMutex mutex;
    ASSERT_TRUE(mutex.Lock(0));
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Unlock(); }));
    EXPECT_TRUE(mutex.Unlock());
}

TEST(MfcEvent, AutoResetReleasesOneWaitManualResetStaysSet) {
    CEvent autoEvent;
    EXPECT_FALSE(autoEvent.Lock(0));
    EXPECT_TRUE(autoEvent.SetEvent());
    EXPECT_TRUE(autoEvent.Lock(0));
    EXPECT_FALSE(autoEvent.Lock(0));  // the successful wait reset it

    CEvent manual(FALSE, TRUE);
    EXPECT_TRUE(manual.SetEvent());
    EXPECT_TRUE(manual.Lock(0));
    EXPECT_TRUE(manual.Lock(0));
    EXPECT_TRUE(manual.ResetEvent());
    EXPECT_FALSE(manual.Lock(0));
    EXPECT_TRUE(manual.Unlock());

    CEvent initiallySet(TRUE, TRUE);
    EXPECT_TRUE(initiallySet.Lock(0));
}

TEST(MfcEvent, WakesAWaiterOnAnotherThread) {
    CEvent ready;
    CEvent go;
    std::future<BOOL> waiter = std::async(std::launch::async, [&] {
        ready.SetEvent();
        return go.Lock(60000);
    });
    ASSERT_TRUE(ready.Lock(60000));
    go.SetEvent();
    EXPECT_TRUE(waiter.get());
}

TEST(MfcCriticalSection, LockAlwaysSucceedsAndNestsOnOneThread) {
    CCriticalSection cs;
    EXPECT_EQ(static_cast<HANDLE>(NULL), cs.m_hObject);
    EXPECT_TRUE(cs.Lock());
    EXPECT_TRUE(cs.Lock(0));  // the time-out plays no part
    EXPECT_FALSE(OnOtherThread([&] { return TryEnterCriticalSection(&cs.m_sect); }));
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(cs.Unlock());
    EXPECT_TRUE(OnOtherThread([&] {
        BOOL got = TryEnterCriticalSection(cs);
        if (got)
            LeaveCriticalSection(cs);
        return got;
    }));
}

TEST(MfcSingleLock, ReleasesOnEveryWayOutOfItsScope) {
    CCriticalSection cs;
    auto freeElsewhere = [&] {
        return OnOtherThread([&] {
            BOOL got = TryEnterCriticalSection(&cs.m_sect);
            if (got)
                LeaveCriticalSection(&cs.m_sect);
            return got;
        });
    };
    auto guardedEarlyReturn = [&](bool early) {
        CSingleLock lock(&cs, TRUE);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(freeElsewhere());
        if (early)
            return 1;
        return 2;
    };
    EXPECT_EQ(1, guardedEarlyReturn(true));
    EXPECT_TRUE(freeElsewhere());
    EXPECT_EQ(2, guardedEarlyReturn(false));
    EXPECT_TRUE(freeElsewhere());

    CSemaphore sem(1, 2);
    try {
        CSingleLock lock(&sem, TRUE);
        throw 42;
    } catch (int) {
    }
    EXPECT_TRUE(sem.Lock(0));
    EXPECT_FALSE(sem.Lock(0));  // exactly one release, not two
}

TEST(MfcSingleLock, FailedLockReleasesNothing) {
    CSemaphore sem(0, 1);
    {
        CSingleLock lock(&sem);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_FALSE(lock.Lock(0));
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(lock.Unlock());  // nothing held: nothing to do
    }
    // Had the lock released on destruction, the count would be 1 and this the second.
    EXPECT_TRUE(sem.Unlock());
    EXPECT_FALSE(sem.Unlock());
}

TEST(MfcSingleLock, ExplicitUnlockAndRelockOfAMutex) {
    CMutex mutex;
    CSingleLock lock(&mutex);
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.Lock());  // already held: not taken twice
    EXPECT_TRUE(lock.Unlock());
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_TRUE(OnOtherThread([&] {
        BOOL got = mutex.Lock(0);
        if (got)
            mutex.Unlock();
        return got;
    }));
    EXPECT_TRUE(lock.Lock(0));
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Lock(0); }));
}

TEST(MfcSyncObject, ObjectWithoutHandleNeverLocks) {
    CSemaphore broken(5, 1);  // initial count above the maximum: the system refuses it
    EXPECT_EQ(static_cast<HANDLE>(NULL), broken.m_hObject);
    EXPECT_FALSE(broken.Lock(0));
    EXPECT_FALSE(broken.Unlock());
    CSingleLock lock(&broken, TRUE);
    EXPECT_FALSE(lock.IsLocked());
}
