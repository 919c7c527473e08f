// Holder of one optional worker thread on behalf of a port. The thread is created
// suspended, resumed on request, polls for a stop request and reports its own end,
// which StopWatcher waits for before closing the handle.
#pragma once

#include <afx.h>
#include <windows.h>

#include <atomic>

class CThreadWatcher {
public:
    CThreadWatcher();
    ~CThreadWatcher();

    void SetLogDeviceName(LPCSTR pszName);
    CString GetLogDeviceName() const;

    // Creates the thread suspended; it runs only after Resume. An existing thread is
    // stopped first, so that the watcher never holds more than one.
    BOOL StartWatcher(LPTHREAD_START_ROUTINE pfnThread, LPVOID pParam, int nPriority);
    void Resume();
    // Requests the stop and waits until the routine has reported through NotifyFinished.
    // Must not be called from the worker thread itself. Always TRUE.
    BOOL StopWatcher();

    // For the thread routine: its last act before returning.
    void NotifyFinished();
    BOOL IsStopRequested();
    void SetStopRequested(BOOL b);

    // For the thread routine: sleeps up to nMaxSteps + 1 times dwSleepMs, returning within
    // one step of a stop request; *pnSteps counts the sleeps that passed.
    static void SleepUnlessStopped(CThreadWatcher* pWatcher, int* pnSteps, int nMaxSteps, DWORD dwSleepMs);

    // For diagnostics and tests: the thread of the current run, or INVALID_HANDLE_VALUE.
    HANDLE GetThreadHandle() const { return m_hThread; }

private:
    CThreadWatcher(const CThreadWatcher&) = delete;
    CThreadWatcher& operator=(const CThreadWatcher&) = delete;

    void CloseThreadHandle();

    CString m_csLogDeviceName;
    DWORD m_dwThreadId;
    HANDLE m_hThread;
    // Shared with the worker without a lock; each flag has one writer at a time, and the
    // atomics keep the other side's polling well defined.
    std::atomic<BOOL> m_bStopRequested;
    std::atomic<BOOL> m_bFinished;
    std::atomic<BOOL> m_bResumed;
};
