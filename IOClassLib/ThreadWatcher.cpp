#include "ThreadWatcher.h"

// Switch on to see, on the debugger output, which port's thread StopWatcher is waiting for.
#ifndef THREADWATCHER_TRACE
#define THREADWATCHER_TRACE 0
#endif

CThreadWatcher::CThreadWatcher()
    : m_dwThreadId(0),
      m_hThread(INVALID_HANDLE_VALUE),
      m_bStopRequested(FALSE),
      m_bFinished(FALSE),
      m_bResumed(FALSE) {}

CThreadWatcher::~CThreadWatcher() { StopWatcher(); }

void CThreadWatcher::SetLogDeviceName(LPCSTR pszName) { m_csLogDeviceName = pszName != NULL ? pszName : ""; }

CString CThreadWatcher::GetLogDeviceName() const { return m_csLogDeviceName; }

static bool IsPlatformThreadPriority(int nPriority) {
    switch (nPriority) {
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
    case THREAD_PRIORITY_IDLE:
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_NORMAL:
    case THREAD_PRIORITY_TIME_CRITICAL: return true;
    default: return false;
    }
}

BOOL CThreadWatcher::StartWatcher(LPTHREAD_START_ROUTINE pfnThread, LPVOID pParam, int nPriority) {
    if (pfnThread == NULL)
        return FALSE;

    StopWatcher();
    m_bStopRequested = FALSE;
    m_bFinished = FALSE;

    DWORD dwThreadId = 0;
    HANDLE hThread = ::CreateThread(NULL, 0, pfnThread, pParam, CREATE_SUSPENDED, &dwThreadId);
    if (hThread == NULL) {
        m_hThread = INVALID_HANDLE_VALUE;
        m_dwThreadId = 0;
        return FALSE;
    }
    m_hThread = hThread;
    m_dwThreadId = dwThreadId;

    if (!IsPlatformThreadPriority(nPriority))
        nPriority = THREAD_PRIORITY_NORMAL;
    if (nPriority != THREAD_PRIORITY_NORMAL)
        ::SetThreadPriority(m_hThread, nPriority);
    return TRUE;
}

void CThreadWatcher::Resume() {
    if (!m_bResumed && m_hThread != INVALID_HANDLE_VALUE) {
        ::ResumeThread(m_hThread);
        m_bResumed = TRUE;
    }
}

BOOL CThreadWatcher::StopWatcher() {
    // A routine that has already reported may be reaped at once. Taking the flag in one
    // exchange means a report arriving right after this test is kept for the wait below
    // rather than overwritten, which would leave the wait without an end.
    if (m_hThread != INVALID_HANDLE_VALUE && m_bFinished.exchange(FALSE))
        CloseThreadHandle();

    m_bStopRequested = TRUE;
    if (m_hThread == INVALID_HANDLE_VALUE) {
        m_bFinished = FALSE;
        m_bResumed = FALSE;
        return TRUE;
    }

    // A thread still held suspended would never see the request and never report:
    // let it run so that it can.
    if (!m_bResumed) {
        ::ResumeThread(m_hThread);
        m_bResumed = TRUE;
    }

#if THREADWATCHER_TRACE
    {
        CString csTrace;
        csTrace.Format("[StopWatcher] Wait for Finish thread to exit. "
                       "CThreadWatcher::StopWatcher() thread  : m_csLogDeviceName [%s]\n",
                       (LPCSTR)m_csLogDeviceName);
        ::OutputDebugStringA(csTrace);
    }
#endif
    while (!m_bFinished)
        ::Sleep(10);

    // NotifyFinished is the routine's last act, not its return: give it the time to leave.
    ::Sleep(10);
    CloseThreadHandle();
    m_bFinished = FALSE;
    m_bResumed = FALSE;
    return TRUE;
}

void CThreadWatcher::CloseThreadHandle() {
    ::CloseHandle(m_hThread);
    m_hThread = INVALID_HANDLE_VALUE;
    m_dwThreadId = 0;
}

void CThreadWatcher::NotifyFinished() {
    m_bResumed = FALSE;
    m_bFinished = TRUE;
}

BOOL CThreadWatcher::IsStopRequested() { return m_bStopRequested; }

void CThreadWatcher::SetStopRequested(BOOL b) { m_bStopRequested = (b != 0); }

void CThreadWatcher::SleepUnlessStopped(CThreadWatcher* pWatcher, int* pnSteps, int nMaxSteps,
                                        DWORD dwSleepMs) {
    *pnSteps = 0;
    while (*pnSteps <= nMaxSteps && !pWatcher->IsStopRequested()) {
        ::Sleep(dwSleepMs);
        ++*pnSteps;
    }
}
