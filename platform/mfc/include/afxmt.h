// Synchronisation objects of the framework over the Windows kernel objects. Creation does
// not throw: an object the system could not create keeps a NULL m_hObject, and every
// Lock on it then fails (FALSE) instead of waiting.
#pragma once

#include "afx.h"

class CSyncObject : public CObject {
public:
    explicit CSyncObject(LPCTSTR pstrName);
    ~CSyncObject() override;

    operator HANDLE() const { return m_hObject; }

    // TRUE when the object was obtained (also when a mutex was abandoned by its owner),
    // FALSE on time-out or failure.
    virtual BOOL Lock(DWORD dwTimeout = INFINITE);
    virtual BOOL Unlock() = 0;
    virtual BOOL Unlock(LONG lCount, LPLONG lpPrevCount = NULL);

    HANDLE m_hObject;

protected:
    CString m_strName;
};

class CSemaphore : public CSyncObject {
public:
    explicit CSemaphore(LONG lInitialCount = 1, LONG lMaxCount = 1, LPCTSTR pstrName = NULL,
                        LPSECURITY_ATTRIBUTES lpsaAttributes = NULL);
    // Releasing beyond the maximum count fails and leaves the count as it was.
    BOOL Unlock() override;
    BOOL Unlock(LONG lCount, LPLONG lpPrevCount = NULL) override;
};

class CMutex : public CSyncObject {
public:
    explicit CMutex(BOOL bInitiallyOwn = FALSE, LPCTSTR lpszName = NULL,
                    LPSECURITY_ATTRIBUTES lpsaAttribute = NULL);
    // Fails when the calling thread does not own the mutex.
    BOOL Unlock() override;
    using CSyncObject::Unlock;
};

class CEvent : public CSyncObject {
public:
    explicit CEvent(BOOL bInitiallyOwn = FALSE, BOOL bManualReset = FALSE, LPCTSTR lpszName = NULL,
                    LPSECURITY_ATTRIBUTES lpsaAttribute = NULL);
    BOOL SetEvent();
    BOOL ResetEvent();
    BOOL Unlock() override { return TRUE; }
    using CSyncObject::Unlock;
};

// A process-local lock without a kernel handle (m_hObject stays NULL). Lock enters and
// always succeeds, whatever time-out is given; the same thread may enter again.
class CCriticalSection : public CSyncObject {
public:
    CCriticalSection();
    ~CCriticalSection() override;

    operator CRITICAL_SECTION*() { return &m_sect; }

    BOOL Lock();
    BOOL Lock(DWORD dwTimeout) override;
    BOOL Unlock() override;
    using CSyncObject::Unlock;

    CRITICAL_SECTION m_sect;
};

// Scoped use of one synchronisation object: what it obtained it releases when it goes
// out of scope, on every way out.
class CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE);
    ~CSingleLock() { Unlock(); }

    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    // A lock already held is not taken a second time: the call answers TRUE.
    BOOL Lock(DWORD dwTimeOut = INFINITE);
    BOOL Unlock();
    BOOL Unlock(LONG lCount, LPLONG lPrevCount = NULL);
    BOOL IsLocked() { return m_bAcquired; }

protected:
    CSyncObject* m_pObject;
    HANDLE m_hObject;
    BOOL m_bAcquired;
};
