#include "internal/request_engine.h"

#include <errno.h>
#include <poll.h>

namespace win32 {

namespace {

bool IsPending(const OVERLAPPED* pOverlapped) {
    return __atomic_load_n(&pOverlapped->Internal, __ATOMIC_ACQUIRE) == (ULONG_PTR)STATUS_PENDING;
}

// Waits until the request behind an OVERLAPPED has completed, whoever completes it.
void WaitForCompletion(const OVERLAPPED* pOverlapped) {
    std::unique_lock<std::mutex> lock(KernelWaitMutex());
    WaitKernelCondition(lock, INFINITE, [&] { return !IsPending(pOverlapped); });
}

}  // namespace

IoRequest* RequestQueue::OldestLocked(IoKind kind) {
    for (IoRequest& request : m_requests)
        if (request.kind == kind && !request.bAborting)
            return &request;
    return nullptr;
}

void RequestQueue::CompleteLocked(IoRequest* pRequest, DWORD dwError, DWORD dwBytes) {
    for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
        if (&*it != pRequest)
            continue;
        CompleteOverlappedWithEvent(it->pOverlapped, it->event, dwError, dwBytes);
        m_requests.erase(it);
        m_completed.notify_all();
        return;
    }
}

void RequestQueue::DisconnectLocked() {
    m_bDisconnected = true;
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        auto next = std::next(it);
        if (!it->bHeld)
            CompleteLocked(&*it, ERROR_DEVICE_NOT_CONNECTED, 0);
        it = next;
    }
}

BOOL QueuedDevice::Submit(IoRequest request, LPDWORD pdwDone) {
    OVERLAPPED ownOverlapped = {};
    LPOVERLAPPED pCallerOverlapped = request.pOverlapped;
    if (!pCallerOverlapped) {
        ownOverlapped.Internal = (ULONG_PTR)STATUS_PENDING;
        request.pOverlapped = &ownOverlapped;
    } else if (pCallerOverlapped->hEvent) {
        // Taken now, as Windows references the event object when the request starts.
        request.event = LookupHandleAs<EventObject>(pCallerOverlapped->hEvent);
        if (!request.event) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            CompleteOverlappedWithEvent(pCallerOverlapped, nullptr, ERROR_INVALID_HANDLE, 0);
            return FALSE;
        }
    }
    LPOVERLAPPED pOverlapped = request.pOverlapped;
    {
        std::lock_guard<std::mutex> lock(m_queue.m_mutex);
        if (m_queue.m_bDisconnected) {
            CompleteOverlappedWithEvent(pOverlapped, request.event, ERROR_DEVICE_NOT_CONNECTED, 0);
        } else {
            const std::shared_ptr<EventObject> event = request.event;
            const bool bServable = event && CompletionDescriptorLocked() >= 0;
            if (bServable)
                HoldInputLocked();
            request.serial = m_queue.m_nextSerial++;
            m_queue.m_requests.push_back(std::move(request));
            StartLocked(m_queue.m_requests.back());
            if (bServable) {
                std::lock_guard<std::mutex> waitLock(KernelWaitMutex());
                if (IsPending(pOverlapped))
                    event->AttachPumpLocked(weak_from_this());
            }
        }
    }
    if (!pCallerOverlapped || !m_bOverlapped)
        WaitForCompletion(pOverlapped);
    if (IsPending(pOverlapped)) {
        ::SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // Completed already: report as GetOverlappedResult would.
    const DWORD dwError =
        Win32ErrorFromOverlappedStatus(__atomic_load_n(&pOverlapped->Internal, __ATOMIC_ACQUIRE));
    if (pdwDone)
        *pdwDone = (DWORD)pOverlapped->InternalHigh;
    if (dwError != ERROR_SUCCESS) {
        ::SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

BOOL QueuedDevice::Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped) {
    IoRequest request;
    request.kind = IoKind::Read;
    request.pOverlapped = pOverlapped;
    request.pBuffer = pBuffer;
    request.dwCount = dwToRead;
    return Submit(std::move(request), pdwRead);
}

BOOL QueuedDevice::Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped) {
    IoRequest request;
    request.kind = IoKind::Write;
    request.pOverlapped = pOverlapped;
    request.pSource = pBuffer;
    request.dwCount = dwToWrite;
    return Submit(std::move(request), pdwWritten);
}

BOOL QueuedDevice::IoControl(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut,
                             LPDWORD pcbReturned, LPOVERLAPPED pOverlapped) {
    IoRequest request;
    request.kind = IoKind::Control;
    request.pOverlapped = pOverlapped;
    request.dwControlCode = dwCode;
    request.pSource = pIn;
    request.dwSourceCount = cbIn;
    request.pBuffer = pOut;
    request.dwCount = cbOut;
    return Submit(std::move(request), pcbReturned);
}

void QueuedDevice::AbortAll() {
    std::unique_lock<std::mutex> lock(m_queue.m_mutex);
    // Only what was queued when the cancel began: a request another thread submits
    // meanwhile is not ours to wait for.
    const uint64_t lastSerial = m_queue.m_nextSerial - 1;
    for (auto it = m_queue.m_requests.begin(); it != m_queue.m_requests.end();) {
        auto next = std::next(it);
        if (!it->bAborting) {
            it->bAborting = true;
            if (AbortLocked(*it))
                m_queue.CompleteLocked(&*it, ERROR_OPERATION_ABORTED, 0);
        }
        it = next;
    }
    // What the backend still has to complete, its own thread completes: input held for a
    // waiter would keep it waiting until the lease ran out.
    ReleaseInputLocked();
    m_queue.m_completed.wait(lock, [&] {
        for (const IoRequest& request : m_queue.m_requests)
            if (request.serial <= lastSerial)
                return false;
        return true;
    });
}

// Windows cancels only the calling thread's requests here; every caller of ours issues
// and cancels on one thread, and cancelling the handle's whole queue is what they mean.
BOOL QueuedDevice::CancelIo() {
    AbortAll();
    return TRUE;
}

void QueuedDevice::OnHandleClosed() {
    AbortAll();
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    OnClosedLocked();
}

bool QueuedDevice::ServeWhileWaiting(int wakeFd, int nMilliseconds) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(m_queue.m_mutex);
        fd = CompletionDescriptorLocked();
        if (fd < 0)
            return false;
        ServingLocked(true);
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int nReady;
    do {
        nReady = poll(fds, 2, nMilliseconds);
    } while (nReady < 0 && errno == EINTR);
    bool bServed;
    if (nReady < 0)
        bServed = false;
    else if (fds[0].revents & POLLIN)
        bServed = ServeCompletions();
    else  // a hang-up without input is for the backend's thread
        bServed = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    ServingLocked(false);
    return bServed;
}

void QueuedDevice::ReleaseInput() {
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    ReleaseInputLocked();
}

void QueuedDevice::Disconnect() {
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    m_queue.DisconnectLocked();
}

}  // namespace win32
