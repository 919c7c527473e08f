// The asynchronous request engine: overlapped ReadFile, WriteFile and DeviceIoControl on
// device handles (HID, USBIO), their completion, cancellation and the loss of the device.
//
// A request is a record made when the call is made (IoRequest): the caller's OVERLAPPED,
// buffer and count, and the OVERLAPPED's event *object*, looked up once then, as Windows
// references it at submission. Requests wait in one queue per handle (RequestQueue) until
// the backend completes them on its own thread: the family's poll thread
// (internal/poll_loop.h) or a library's event thread (libusb). The caller's thread only
// submits, cancels and waits on the event, as on Windows, where the driver completes the
// request and the I/O manager wakes the waiter.
//
// The contract every backend keeps and every caller may rely on:
//
//  1. Completion writes InternalHigh and Internal of the OVERLAPPED and signals the event
//     object taken at submission, and nothing else of the caller's. Closing the event's
//     handle, or getting the same handle value back for a new event, never makes a late
//     completion signal the wrong object.
//  2. Completion happens under the queue's lock (Mutex()), together with the copy into
//     the caller's buffer, so a cancel can never slip between taking a request off the
//     queue and writing its result back.
//  3. CancelIo returns only when nothing will touch the caller's buffer or OVERLAPPED
//     again: every request of the handle is completed, those the backend had not finished
//     with ERROR_OPERATION_ABORTED. A request that had already finished keeps its result.
//     The caller may free the buffer and the OVERLAPPED as soon as CancelIo returns.
//     (IOCLASSLIB_ASYNC_CANCELIO=1 makes CancelIo return at once instead, as Windows' does,
//     and the aborted requests complete a little later on another thread: a test setting
//     that shows callers who free too early.)
//  4. CloseHandle aborts what is pending on that handle as CancelIo does.
//  5. A device that goes away (POLLHUP, POLLERR, ENODEV; a lost USB device) fails everything
//     pending at once with the family's not-connected code (ERROR_DEVICE_NOT_CONNECTED; the
//     USBIO driver's USBIO_ERR_DEVICE_NOT_PRESENT), and every later request fails with it at
//     submission; the family treats the device as removed (HID reports it to its arrival
//     and removal sink; the USBIO driver opens its path afresh the next time).
//  6. ReadFile/WriteFile/DeviceIoControl return TRUE when the request completed before the
//     call returned (the OVERLAPPED and event are set as well), FALSE with ERROR_IO_PENDING
//     when it will complete later, FALSE with the error when it failed at once. A call
//     without an OVERLAPPED, or on a handle opened without FILE_FLAG_OVERLAPPED, waits for
//     completion, as Windows does on a synchronous handle.
//
// What a backend provides (a subclass of QueuedDevice):
//  - StartLocked: called under the lock right after a request joined the queue. Complete it
//    at once with CompleteLocked (success or error), or leave it queued and complete it
//    later, under the lock, from its own thread.
//  - AbortLocked: called under the lock for each request CancelIo or CloseHandle aborts.
//    Return true when the backend will not touch the request's buffer any more; the engine
//    completes it with ERROR_OPERATION_ABORTED. Return false when the buffer is lent out
//    (a LentRequest, below: a submitted USB transfer): the backend then completes the
//    request later, from its own thread (ERROR_OPERATION_ABORTED once the cancellation is
//    through), and CancelIo waits for that.
//  - OnClosedLocked (optional): the handle was closed, after its requests were aborted.
//  - Disconnect / DisconnectLocked when it learns that the device has gone (rule 5).
//
// Each request carries its state (submitted, cancelling; completed once it has left the
// queue). Completing a request that is not pending any more breaks the contract
// (internal/contract.h), and so does what LentRequest checks.
//
// The engine traces every submit, completion, cancel and disconnect on the debugger output
// (OutputDebugStringA, IOCLASSLIB_DEBUG_OUTPUT), each request by its number, which is
// unique in the process: "io #12 hid read 65 bytes", "io #12 complete status 0 bytes 65".
//
// Lock order: a queue's lock may be held while the kernel wait lock is taken, never the
// other way round.
#pragma once

#include "internal/handle.h"
#include "internal/sync_objects.h"

#include <stdint.h>

#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>

namespace win32 {

enum class IoKind { Read, Write, Control };

enum class RequestState { Idle, Submitted, Cancelling, Completed };

struct IoRequest {
    IoKind kind = IoKind::Read;
    LPOVERLAPPED pOverlapped = nullptr;  // never null: a synchronous call gets the engine's own
    void* pBuffer = nullptr;             // read and control: where the result goes
    const void* pSource = nullptr;       // write and control: what goes out
    DWORD dwCount = 0;                   // bytes the caller asked to read / write
    DWORD dwSourceCount = 0;             // control: input bytes
    DWORD dwControlCode = 0;
    std::shared_ptr<EventObject> event;  // the OVERLAPPED's event as it was at submission
    uint64_t number = 0;                 // unique in the process, in submission order
    RequestState state = RequestState::Submitted;
    bool bLent = false;            // lent out to the backend: pBackendData is the LentRequest
    void* pBackendData = nullptr;  // the backend's, for its own bookkeeping
};

class RequestQueue {
public:
    // pszFamily names the device family in the trace; dwNotConnected is its code for a
    // device that has gone (rule 5).
    RequestQueue(const char* pszFamily, DWORD dwNotConnected)
        : m_pszFamily(pszFamily), m_dwNotConnected(dwNotConnected) {}
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // The device's lock: the queue, the backend's per-handle state and every completion.
    std::mutex& Mutex() { return m_mutex; }

    // Under the lock. The oldest queued request of a kind that is not being aborted, or null.
    IoRequest* OldestLocked(IoKind kind);

    // Under the lock: takes the request off the queue, writes its result into the
    // OVERLAPPED and signals its event. The request record is gone afterwards.
    void CompleteLocked(IoRequest* pRequest, DWORD dwError, DWORD dwBytes);

    // Under the lock: the device has gone (rule 5). Requests whose buffers are lent out are
    // left to the backend, which completes them when it has its buffers back. Idempotent.
    void DisconnectLocked();
    bool IsDisconnectedLocked() const { return m_bDisconnected; }
    DWORD NotConnectedCode() const { return m_dwNotConnected; }
    const char* Family() const { return m_pszFamily; }

private:
    friend class QueuedDevice;
    IoRequest* FindLocked(uint64_t number);

    const char* const m_pszFamily;
    const DWORD m_dwNotConnected;
    std::mutex m_mutex;
    std::condition_variable m_completed;
    std::list<IoRequest> m_requests;
    bool m_bDisconnected = false;
};

// A device handle whose transfers go through a RequestQueue. ReadFile, WriteFile,
// DeviceIoControl, CancelIo and CloseHandle on it follow the contract above.
class QueuedDevice : public KernelObject, public std::enable_shared_from_this<QueuedDevice> {
public:
    QueuedDevice(const char* pszFamily, bool bOverlapped, DWORD dwNotConnected = ERROR_DEVICE_NOT_CONNECTED)
        : m_queue(pszFamily, dwNotConnected), m_bOverlapped(bOverlapped) {}

    BOOL Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped) override;
    BOOL Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped) override;
    BOOL IoControl(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut, LPDWORD pcbReturned,
                   LPOVERLAPPED pOverlapped) override;
    BOOL CancelIo() override;
    void OnHandleClosed() override;

    RequestQueue& Queue() { return m_queue; }

    // The device has gone (rule 5): takes the lock.
    void Disconnect();
    bool IsDisconnected();

protected:
    virtual void StartLocked(IoRequest& request) = 0;
    virtual bool AbortLocked(IoRequest& request) = 0;
    virtual void OnClosedLocked() {}
    // Aborts every request queued now and waits until each has completed; CancelIo under
    // IOCLASSLIB_ASYNC_CANCELIO=1 returns without waiting.
    void AbortAll(bool bWait = true);

private:
    BOOL Submit(IoRequest request, LPDWORD pdwDone);
    void CompleteLate(uint64_t number);

    RequestQueue m_queue;
    const bool m_bOverlapped;
};

// A request whose buffer a backend has taken (a submitted USB transfer) until it gives the
// request back with Complete, from its own thread. A backend keeps these records for the
// life of its handle and reuses free ones, so that a record stays readable after its
// request has completed: a second completion, a completion from inside Submit or Cancel,
// and a cancel of a request no longer in flight are caught (internal/contract.h).
class LentRequest {
public:
    explicit LentRequest(RequestQueue& queue) : m_queue(queue) {}
    virtual ~LentRequest() = default;

    // Under the lock.
    bool IsFreeLocked() const { return m_state == RequestState::Idle || m_state == RequestState::Completed; }
    // Under the lock: hands the request to the backend (Submit). 0 when the backend took it;
    // otherwise the status the request fails with, which the caller completes it with.
    DWORD LendLocked(IoRequest& request);
    // Under the lock, for AbortLocked: asks the backend to end the request early (Cancel).
    void CancelLocked();
    // The backend gives the request back: from its own thread, without the lock.
    void Complete(DWORD dwError, DWORD dwBytes);

protected:
    // The backend's side. Submit starts the transfer and returns 0, or the status the request
    // fails with; Cancel asks for an early end and returns without waiting.
    virtual DWORD Submit(IoRequest& request) = 0;
    virtual void Cancel() = 0;
    // True inside this record's Submit or Cancel, on the thread that called it.
    bool InsideBackendCall() const;

private:
    void FinishLocked(DWORD dwError, DWORD dwBytes);
    void FinishEarlyLocked();

    RequestQueue& m_queue;
    RequestState m_state = RequestState::Idle;
    IoRequest* m_pRequest = nullptr;
    uint64_t m_number = 0;
    bool m_bEarly = false;  // release builds: completed inside Submit or Cancel
    DWORD m_dwEarlyError = 0;
    DWORD m_dwEarlyBytes = 0;
};

// A request number for a request that does not go through a queue (a device control the
// driver answers at once), and its line in the trace.
uint64_t NextRequestNumber();
void TraceImmediateRequest(const char* pszFamily, const char* pszWhat, DWORD dwCode, DWORD dwError);

// Completes an OVERLAPPED with an event object already in hand: status and event change
// in one step under the kernel wait lock (internal/handle.h).
void CompleteOverlappedWithEvent(LPOVERLAPPED pOverlapped, const std::shared_ptr<EventObject>& event,
                                 DWORD dwError, DWORD dwBytes);
// The Win32 error an OVERLAPPED's Internal status stands for (0 for success).
DWORD Win32ErrorFromOverlappedStatus(ULONG_PTR status);

}  // namespace win32
