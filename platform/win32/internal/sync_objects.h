// Events, semaphores and threads keep their signal state under KernelWaitMutex(), so that
// WaitForSingleObject and WaitForMultipleObjects treat them alike. Mutexes wait on their own
// (kernel32/mutex.cpp).
#pragma once

#include "internal/handle.h"

#include <string>

namespace win32 {

class EventObject : public KernelObject {
public:
    EventObject(bool bManualReset, bool bInitialState)
        : m_bManualReset(bManualReset), m_bSignaled(bInitialState) {}
    void Set();
    void Reset();
    // Set with KernelWaitMutex() held, together with other state; the caller notifies.
    void SetLocked();
    bool UsesKernelWaitLock() const override { return true; }
    bool TryAcquireLocked() override;
    bool IsSignaledLocked() const override { return m_bSignaled; }

private:
    const bool m_bManualReset;
    bool m_bSignaled;
};

class SemaphoreObject : public KernelObject {
public:
    SemaphoreObject(LONG lInitial, LONG lMaximum) : m_lCount(lInitial), m_lMaximum(lMaximum) {}
    // FALSE with ERROR_TOO_MANY_POSTS when the count would pass the maximum.
    BOOL Release(LONG lReleaseCount, LPLONG plPrevious);
    bool UsesKernelWaitLock() const override { return true; }
    bool TryAcquireLocked() override;
    bool IsSignaledLocked() const override { return m_lCount > 0; }

private:
    LONG m_lCount;
    const LONG m_lMaximum;
};

// Objects created with a name, within this process: a second create of the same name gets
// the existing object (and ERROR_ALREADY_EXISTS). Returns the existing object, or stores
// `created` and returns it; fails with ERROR_INVALID_HANDLE when the name belongs to an
// object of another type, as Windows does.
std::shared_ptr<KernelObject> FindOrAddNamedObject(const std::string& name,
                                                   const std::shared_ptr<KernelObject>& created,
                                                   bool (*isSameType)(const KernelObject&), bool* pbExisted);

}  // namespace win32
