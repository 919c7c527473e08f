// The kernel object model of the platform layer.
//
// Every HANDLE given out names a KernelObject in one process-wide table; handle values are
// small multiples of 4, as Windows gives them, so a stale or made-up handle is found to be
// invalid (ERROR_INVALID_HANDLE) instead of being dereferenced. The table holds one
// reference per handle; a thread that looked an object up keeps its own reference, so
// CloseHandle in one thread never frees an object another thread is still inside.
//
// Contract for device backends (serial ports, HID, USBIO ...):
//  - derive from KernelObject and override the I/O functions the device supports; each one
//    behaves as the Win32 function of the same role: FALSE with SetLastError on failure;
//  - publish the object with InsertHandle and return the handle from the open function;
//  - ReadFile/WriteFile/DeviceIoControl begin a non-NULL OVERLAPPED (StartRequest) before
//    they call the object, so the event is reset and the request marked pending. The object
//    then either completes at once (CompleteOverlapped, return TRUE) or returns FALSE with
//    ERROR_IO_PENDING and calls CompleteOverlapped later from any thread; GetOverlappedResult
//    and HasOverlappedIoCompleted read only the OVERLAPPED;
//  - devices with truly asynchronous transfers derive from QueuedDevice
//    (internal/request_engine.h), which keeps the request records and states the rules;
//  - CancelIo completes the handle's pending requests with ERROR_OPERATION_ABORTED;
//  - OnHandleClosed runs when CloseHandle removes the handle: wake any thread blocked in the
//    object there. The destructor runs when the last reference goes.
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace win32 {

class KernelObject {
public:
    KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;
    virtual ~KernelObject();

    // I/O. The defaults fail with ERROR_INVALID_HANDLE (a handle that is not a file or
    // device), as Windows does for ReadFile on an event.
    virtual BOOL Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped);
    virtual BOOL Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped);
    virtual BOOL IoControl(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut,
                           LPDWORD pcbReturned, LPOVERLAPPED pOverlapped);
    virtual BOOL CancelIo();
    virtual BOOL Flush();
    // Positions and sizes in bytes; dwMethod is FILE_BEGIN, FILE_CURRENT or FILE_END.
    virtual BOOL Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPosition);
    virtual BOOL GetSize(LONGLONG* pllSize);
    virtual BOOL SetEnd();
    virtual void OnHandleClosed();
    // The device interface path the handle was opened on ("\\?\hid#..."), or empty for
    // anything that is not a device interface; device-change notifications on a handle
    // match by it.
    virtual std::string DeviceInterfacePath() const;

    // Waiting. Objects whose signal state lives under KernelWaitMutex() (events,
    // semaphores, threads) override TryAcquireLocked and keep the default Wait; objects that
    // wait their own way (mutexes) override Wait and return false from UsesKernelWaitLock.
    // The default for devices and files: not waitable, WAIT_FAILED with ERROR_INVALID_HANDLE.
    virtual DWORD Wait(DWORD dwMilliseconds);
    virtual bool UsesKernelWaitLock() const;
    // With KernelWaitMutex() held: true when signalled, and takes what a satisfied wait
    // takes (one semaphore count, an auto-reset event's signal).
    virtual bool TryAcquireLocked();
    // With KernelWaitMutex() held: whether a wait would be satisfied, without taking.
    virtual bool IsSignaledLocked() const;
};

// Publishes an object. Returns NULL with the last error set when the table is full.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or an empty pointer with ERROR_INVALID_HANDLE set.
std::shared_ptr<KernelObject> LookupHandle(HANDLE h);
// Removes a handle from the table and returns its object (empty, with
// ERROR_INVALID_HANDLE set, when there was none). CloseHandle's first half.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE h);

template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
    std::shared_ptr<T> object = std::dynamic_pointer_cast<T>(LookupHandle(h));
    if (!object)
        ::SetLastError(ERROR_INVALID_HANDLE);
    return object;
}

// One lock and one condition for the signal state of every event, semaphore and thread, so
// that WaitForMultipleObjects can watch several objects at once. Change a signal state with
// the lock held, then notify_all the condition (after the lock is dropped is fine).
std::mutex& KernelWaitMutex();
std::condition_variable& KernelWaitCondition();
// Waits on the kernel condition, lock held, until `ready` is true or the time-out runs out
// (INFINITE: no limit), on the monotonic clock. Returns the last value of `ready`.
template <class Predicate>
bool WaitKernelCondition(std::unique_lock<std::mutex>& lock, DWORD dwMilliseconds, Predicate ready) {
    if (dwMilliseconds == INFINITE) {
        KernelWaitCondition().wait(lock, ready);
        return true;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
    return KernelWaitCondition().wait_until(lock, deadline, ready);
}

// Overlapped requests. OVERLAPPED.Internal holds STATUS_PENDING while the request runs and
// then 0 or NTSTATUS_FROM_WIN32(error); InternalHigh the bytes transferred. Complete sets
// the event, if any, and wakes GetOverlappedResult waiters of requests without one.
void CompleteOverlapped(LPOVERLAPPED pOverlapped, DWORD dwError, DWORD dwBytes);

// What ReadFile, WriteFile and DeviceIoControl do before they call the object: look the
// handle up, refuse a synchronous call without a count pointer (ERROR_INVALID_PARAMETER,
// where Windows would fault) and a missing buffer (bBufferMissing: ERROR_NOACCESS), set
// the count to 0 and begin the OVERLAPPED, if any. Empty, with the last error set, when
// the request cannot start.
std::shared_ptr<KernelObject> StartRequest(HANDLE h, LPDWORD pdwCount, LPOVERLAPPED pOverlapped,
                                           bool bBufferMissing);

}  // namespace win32
