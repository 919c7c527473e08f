#include <ThreadWatcher.h>

#include <gtest/gtest.h>

#include <atomic>
#include <utility>

namespace {

// What a worker routine saw, for the test to inspect after StopWatcher has returned.
struct WorkerRecord {
    explicit WorkerRecord(CThreadWatcher* pWatcherOf = nullptr) : pWatcher(pWatcherOf) {}
    CThreadWatcher* pWatcher;
    std::atomic<int> nRuns{0};
    std::atomic<bool> bSawStopOnFirstPoll{false};
    std::atomic<bool> bLeftLoop{false};
    std::atomic<bool> bRunning{false};
};

// A well-behaved routine: polls the stop request and reports as its last act.
DWORD WINAPI PollingWorker(LPVOID pParam) {
    WorkerRecord* pRecord = static_cast<WorkerRecord*>(pParam);
    ++pRecord->nRuns;
    pRecord->bSawStopOnFirstPoll = pRecord->pWatcher->IsStopRequested() != FALSE;
    pRecord->bRunning = true;
    int nSteps = 0;
    while (!pRecord->pWatcher->IsStopRequested())
        CThreadWatcher::SleepUnlessStopped(pRecord->pWatcher, &nSteps, 1000, 1);
    pRecord->bLeftLoop = true;
    pRecord->pWatcher->NotifyFinished();
    return 0;
}

// Reports at once, without waiting for any request.
DWORD WINAPI ImmediateWorker(LPVOID pParam) {
    WorkerRecord* pRecord = static_cast<WorkerRecord*>(pParam);
    ++pRecord->nRuns;
    pRecord->bLeftLoop = true;
    pRecord->pWatcher->NotifyFinished();
    return 0;
}

void WaitUntil(const std::atomic<bool>& bFlag) {
    while (!bFlag)
        ::Sleep(1);
}

TEST(ThreadWatcherIdle, StopWithoutThreadSucceedsAndRepeats) {
    CThreadWatcher watcher;
    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
    // The stop request stays visible, as a routine started later would otherwise miss it.
    EXPECT_TRUE(watcher.IsStopRequested());
}

TEST(ThreadWatcherIdle, StartWithoutRoutineFailsAndStaysIdle) {
    CThreadWatcher watcher;
    EXPECT_FALSE(watcher.StartWatcher(NULL, NULL, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
}

TEST(ThreadWatcherIdle, LogDeviceNameAndStopFlag) {
    CThreadWatcher watcher;
    EXPECT_STREQ("", (LPCSTR)watcher.GetLogDeviceName());
    watcher.SetLogDeviceName("SERIAL_PORT");
    EXPECT_STREQ("SERIAL_PORT", (LPCSTR)watcher.GetLogDeviceName());
    watcher.SetLogDeviceName(NULL);
    EXPECT_STREQ("", (LPCSTR)watcher.GetLogDeviceName());

    watcher.SetStopRequested(7);
    EXPECT_EQ(TRUE, watcher.IsStopRequested());
    watcher.SetStopRequested(FALSE);
    EXPECT_EQ(FALSE, watcher.IsStopRequested());
}

TEST(ThreadWatcherRun, CreatedThreadWaitsForResumeThenStopsOnRequest) {
    CThreadWatcher watcher;
    WorkerRecord record(&watcher);
    ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &record, THREAD_PRIORITY_NORMAL));
    EXPECT_NE(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
    ::Sleep(20);
    EXPECT_EQ(0, record.nRuns) << "a created thread must not run before Resume";

    watcher.Resume();
    watcher.Resume();
    WaitUntil(record.bRunning);
    EXPECT_FALSE(record.bSawStopOnFirstPoll);

    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_TRUE(record.bLeftLoop);
    EXPECT_EQ(1, record.nRuns);
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
}

TEST(ThreadWatcherRun, StopOfNeverResumedThreadLetsItSeeTheRequest) {
    CThreadWatcher watcher;
    WorkerRecord record(&watcher);
    ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &record, THREAD_PRIORITY_NORMAL));
    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_EQ(1, record.nRuns);
    EXPECT_TRUE(record.bSawStopOnFirstPoll);
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
}

TEST(ThreadWatcherRun, RoutineThatAlreadyReportedIsReaped) {
    CThreadWatcher watcher;
    WorkerRecord record(&watcher);
    ASSERT_TRUE(watcher.StartWatcher(ImmediateWorker, &record, THREAD_PRIORITY_NORMAL));
    watcher.Resume();
    WaitUntil(record.bLeftLoop);
    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_EQ(INVALID_HANDLE_VALUE, watcher.GetThreadHandle());
    EXPECT_TRUE(watcher.StopWatcher());
}

TEST(ThreadWatcherRun, RestartStopsThePreviousThreadFirst) {
    CThreadWatcher watcher;
    WorkerRecord first(&watcher);
    WorkerRecord second(&watcher);
    ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &first, THREAD_PRIORITY_NORMAL));
    watcher.Resume();
    WaitUntil(first.bRunning);

    ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &second, THREAD_PRIORITY_NORMAL));
    EXPECT_TRUE(first.bLeftLoop);
    EXPECT_FALSE(watcher.IsStopRequested()) << "the new thread must start without a request";
    watcher.Resume();
    WaitUntil(second.bRunning);
    EXPECT_FALSE(second.bSawStopOnFirstPoll);
    EXPECT_TRUE(watcher.StopWatcher());
    EXPECT_TRUE(second.bLeftLoop);
}

TEST(ThreadWatcherRun, DestructorStopsARunningThread) {
    WorkerRecord record;
    {
        CThreadWatcher watcher;
        record.pWatcher = &watcher;
        ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &record, THREAD_PRIORITY_NORMAL));
        watcher.Resume();
        WaitUntil(record.bRunning);
    }
    EXPECT_TRUE(record.bLeftLoop);
}

TEST(ThreadWatcherRun, UnknownPriorityMeansNormal) {
    const std::pair<int, int> cases[] = {
        {7, THREAD_PRIORITY_NORMAL},
        {3, THREAD_PRIORITY_NORMAL},
        {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_IDLE},
        {THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_BELOW_NORMAL},
        {THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_NORMAL},
    };
    for (const auto& [nPriority, nExpected] : cases) {
        CThreadWatcher watcher;
        WorkerRecord record(&watcher);
        ASSERT_TRUE(watcher.StartWatcher(PollingWorker, &record, nPriority)) << nPriority;
        EXPECT_EQ(nExpected, ::GetThreadPriority(watcher.GetThreadHandle())) << nPriority;
        watcher.Resume();
        WaitUntil(record.bRunning);
        EXPECT_TRUE(watcher.StopWatcher());
        EXPECT_TRUE(record.bLeftLoop) << nPriority;
    }
}

TEST(ThreadWatcherSleep, CountsSleepsUpToOneBeyondTheMaximum) {
    CThreadWatcher watcher;
    int nSteps = -1;
    CThreadWatcher::SleepUnlessStopped(&watcher, &nSteps, 0, 1);
    EXPECT_EQ(1, nSteps);
    CThreadWatcher::SleepUnlessStopped(&watcher, &nSteps, 3, 1);
    EXPECT_EQ(4, nSteps);
}

TEST(ThreadWatcherSleep, DoesNotSleepOnceStopIsRequested) {
    CThreadWatcher watcher;
    watcher.SetStopRequested(TRUE);
    int nSteps = -1;
    CThreadWatcher::SleepUnlessStopped(&watcher, &nSteps, 0, 1);
    EXPECT_EQ(0, nSteps);
    CThreadWatcher::SleepUnlessStopped(&watcher, &nSteps, 50, 1);
    EXPECT_EQ(0, nSteps);
}

}  // namespace
