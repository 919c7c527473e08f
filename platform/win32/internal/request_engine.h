// The asynchronous request engine: overlapped ReadFile, WriteFile and DeviceIoControl on
// device handles (HID, USBIO), their completion, cancellation and the loss of the device.
//
// A request is a record made when the call is made (IoRequest): the caller's OVERLAPPED,
// buffer and count, and the OVERLAPPED's event *object*, looked up once then, as Windows
// references it at submission. Requests wait in one queue per handle (RequestQueue) until
// the backend completes them, from any thread: a family's poll thread (internal/poll_loop.h)
// or a library's event thread (libusb).
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
//  4. CloseHandle aborts what is pending on that handle as CancelIo does.
//  5. A device that goes away (POLLHUP, POLLERR, ENODEV; a lost USB device) fails everything
//     pending at once with ERROR_DEVICE_NOT_CONNECTED, and every later request fails with it
//     at submission; the family reports the device as removed to its arrival and removal
//     sink.
//  6. ReadFile/WriteFile/DeviceIoControl return TRUE when the request completed before the
//     call returned (the OVERLAPPED and event are set as well), FALSE with ERROR_IO_PENDING
//     when it will complete later, FALSE with the error when it failed at once. A call
//     without an OVERLAPPED, or on a handle opened without FILE_FLAG_OVERLAPPED, waits for
//     completion, as Windows does on a synchronous handle.
//
// What a backend provides (a subclass of QueuedDevice):
//  - StartLocked: called under the lock right after a request joined the queue. Complete it
//    at once with CompleteLocked (success or error), or leave it queued and complete it
//    later, under the lock, from whatever thread learns of the outcome.
//  - AbortLocked: called under the lock for each request CancelIo or CloseHandle aborts.
//    Return true when the backend will not touch the request's buffer any more; the engine
//    completes it with ERROR_OPERATION_ABORTED. Return false when the buffer is still in
//    someone else's hands (a submitted USB transfer): the backend then completes the request
//    later, from its own thread, with CompleteLocked (ERROR_OPERATION_ABORTED once the
//    cancellation is through), and CancelIo waits for that.
//  - OnClosedLocked (optional): the handle was closed, after its requests were aborted.
//  - Serving by the waiter (optional; CompletionDescriptorLocked and the calls after it): a
//    descriptor that turns readable when the device may have completions, and the work the
//    backend's own thread does then for input. A thread that waits on the event of one of
//    the handle's pending requests (WaitForSingleObject, GetOverlappedResult) then polls
//    that descriptor and completes the request itself, sparing the hand-off from the
//    backend's thread, which would otherwise wake for the same input and race for it:
//     . a request with an event holds the input for the waiter that is likely to come
//       (HoldInputLocked, before StartLocked, so even an answer that beats the caller to
//       its wait is left to it); the backend's thread stops watching for input until a
//       short lease runs out, then takes over whatever nobody served;
//     . a wait that cannot serve (several objects, or the device cannot be served now),
//       CancelIo and CloseHandle give the input back at once (ReleaseInputLocked);
//     . a hang-up stays the backend's thread's to handle: ServeCompletions returns false on
//       one, and the waiter sleeps the ordinary way.
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

struct IoRequest {
    IoKind kind = IoKind::Read;
    LPOVERLAPPED pOverlapped = nullptr;  // never null: a synchronous call gets the engine's own
    void* pBuffer = nullptr;             // read and control: where the result goes
    const void* pSource = nullptr;       // write and control: what goes out
    DWORD dwCount = 0;                   // bytes the caller asked to read / write
    DWORD dwSourceCount = 0;             // control: input bytes
    DWORD dwControlCode = 0;
    std::shared_ptr<EventObject> event;  // the OVERLAPPED's event as it was at submission
    uint64_t serial = 0;                 // submission order, per queue
    bool bAborting = false;              // CancelIo or CloseHandle wants it gone
    bool bHeld = false;                  // the backend has lent the buffer out (a USB transfer)
                                         // and must get it back before completing
    void* pBackendData = nullptr;        // the backend's, for its own bookkeeping
};

class RequestQueue {
public:
    RequestQueue() = default;
    RequestQueue(const RequestQueue&) = delete;
    RequestQueue& operator=(const RequestQueue&) = delete;

    // The device's lock: the queue, the backend's per-handle state and every completion.
    std::mutex& Mutex() { return m_mutex; }

    // Under the lock. The oldest queued request of a kind that is not being aborted, or null.
    IoRequest* OldestLocked(IoKind kind);
    bool HasPendingLocked() const { return !m_requests.empty(); }

    // Under the lock: takes the request off the queue, writes its result into the
    // OVERLAPPED and signals its event. The request record is gone afterwards.
    void CompleteLocked(IoRequest* pRequest, DWORD dwError, DWORD dwBytes);

    // Under the lock: the device has gone; see rule 5. Requests marked bHeld are left to the
    // backend, which completes them when it has its buffers back. Idempotent.
    void DisconnectLocked();
    bool IsDisconnectedLocked() const { return m_bDisconnected; }

private:
    friend class QueuedDevice;
    std::mutex m_mutex;
    std::condition_variable m_completed;
    std::list<IoRequest> m_requests;
    uint64_t m_nextSerial = 1;
    bool m_bDisconnected = false;
};

// A device handle whose transfers go through a RequestQueue. ReadFile, WriteFile,
// DeviceIoControl, CancelIo and CloseHandle on it follow the contract above.
class QueuedDevice : public KernelObject, public WaitPump, public std::enable_shared_from_this<QueuedDevice> {
public:
    explicit QueuedDevice(bool bOverlapped) : m_bOverlapped(bOverlapped) {}

    BOOL Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped) override;
    BOOL Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped) override;
    BOOL IoControl(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut, LPDWORD pcbReturned,
                   LPOVERLAPPED pOverlapped) override;
    BOOL CancelIo() override;
    void OnHandleClosed() override;

    RequestQueue& Queue() { return m_queue; }

    // The device has gone (rule 5): takes the lock.
    void Disconnect();

    bool ServeWhileWaiting(int wakeFd, int nMilliseconds) override;
    void ReleaseInput() override;

protected:
    virtual void StartLocked(IoRequest& request) = 0;
    virtual bool AbortLocked(IoRequest& request) = 0;
    virtual void OnClosedLocked() {}
    // Under the lock: -1 when waiting threads cannot serve the device.
    virtual int CompletionDescriptorLocked() { return -1; }
    // Under the lock: see above. How long the lease lasts is the backend's (kInputLeaseMs).
    virtual void HoldInputLocked() {}
    virtual void ReleaseInputLocked() {}
    // Under the lock: a waiting thread starts (true) or stops (false) polling the
    // descriptor; the backend's thread may stop watching for input meanwhile. Calls nest
    // when several threads serve at once.
    virtual void ServingLocked(bool bServing) { (void)bServing; }
    // Without the lock. False when the device has hung up or failed.
    virtual bool ServeCompletions() { return false; }

private:
    BOOL Submit(IoRequest request, LPDWORD pdwDone);
    void AbortAll();

    RequestQueue m_queue;
    const bool m_bOverlapped;
};

// How long a held input waits for its waiter before the backend's thread takes it back.
// Long enough for a caller to get from its ReadFile to its wait, short enough that a caller
// who never waits on the event (it polls HasOverlappedIoCompleted) hardly notices.
const int kInputLeaseMs = 2;

// Completes an OVERLAPPED with an event object already in hand: status and event change
// in one step under the kernel wait lock (internal/handle.h).
void CompleteOverlappedWithEvent(LPOVERLAPPED pOverlapped, const std::shared_ptr<EventObject>& event,
                                 DWORD dwError, DWORD dwBytes);
// The Win32 error an OVERLAPPED's Internal status stands for (0 for success).
DWORD Win32ErrorFromOverlappedStatus(ULONG_PTR status);

}  // namespace win32
