// Events, semaphores and threads keep their signal state under KernelWaitMutex(), so that
// WaitForSingleObject and WaitForMultipleObjects treat them alike. Mutexes wait on their own
// (kernel32/mutex.cpp).
#pragma once

#include "internal/handle.h"

#include <string>
#include <thread>

namespace win32 {

// A device that a thread waiting for one of its requests can serve itself, instead of
// sleeping until the device's own thread has completed the request and woken it: one
// thread hand-off less for every transfer (internal/request_engine.h).
class WaitPump {
public:
    virtual ~WaitPump() = default;
    // Waits up to nMilliseconds (-1: no limit) until the device has something for its
    // requests or wakeFd becomes readable, and handles what the device has. Returns false
    // when this thread cannot serve the device now (a hang-up is its own thread's to
    // handle); the waiter then waits the ordinary way.
    virtual bool ServeWhileWaiting(int wakeFd, int nMilliseconds) = 0;
    // The waiter cannot serve the device (it waits on several objects): the device's own
    // thread takes the input again at once.
    virtual void ReleaseInput() = 0;
};

class EventObject : public KernelObject {
public:
    EventObject(bool bManualReset, bool bInitialState)
        : m_bManualReset(bManualReset), m_bSignaled(bInitialState) {}
    void Set();
    void Reset();
    // Set with KernelWaitMutex() held, together with other state; the caller notifies.
    void SetLocked();
    // With KernelWaitMutex() held: the device whose pending request will set this event.
    // A single-object wait on the event serves that device itself until the event is set;
    // setting the event forgets the device.
    void AttachPumpLocked(std::weak_ptr<WaitPump> pump) { m_pump = std::move(pump); }
    DWORD Wait(DWORD dwMilliseconds) override;
    // A wait that will not serve the attached device, if any: see WaitPump::ReleaseInput.
    void ReleasePumpInput();
    bool UsesKernelWaitLock() const override { return true; }
    bool TryAcquireLocked() override;
    bool IsSignaledLocked() const override { return m_bSignaled; }

private:
    const bool m_bManualReset;
    bool m_bSignaled;
    std::weak_ptr<WaitPump> m_pump;
    // The thread serving m_pump now, its wake descriptor (-1: none serves), and whether
    // somebody has written to it since.
    std::thread::id m_pumpThread;
    int m_pumpWakeFd = -1;
    bool m_bPumpWoken = false;
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
