#include "internal/request_engine.h"

#include "internal/contract.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <thread>

namespace win32 {

namespace {

// How much later than CancelIo an aborted request completes under IOCLASSLIB_ASYNC_CANCELIO:
// long enough that a caller who frees its OVERLAPPED right after CancelIo has done so.
const auto kLateCancelDelay = std::chrono::milliseconds(10);

// The record whose Submit or Cancel runs on this thread, if any.
thread_local const LentRequest* t_inBackendCall = nullptr;

bool IsPending(const OVERLAPPED* pOverlapped) {
    return __atomic_load_n(&pOverlapped->Internal, __ATOMIC_ACQUIRE) == (ULONG_PTR)STATUS_PENDING;
}

// Waits until the request behind an OVERLAPPED has completed, whoever completes it.
void WaitForCompletion(const OVERLAPPED* pOverlapped) {
    std::unique_lock<std::mutex> lock(KernelWaitMutex());
    WaitKernelCondition(lock, INFINITE, [&] { return !IsPending(pOverlapped); });
}

bool AsyncCancelIo() {
    const char* pszValue = getenv("IOCLASSLIB_ASYNC_CANCELIO");
    return pszValue && strcmp(pszValue, "1") == 0;
}

// The trace costs nothing but this look-up while the debugger output is discarded.
bool Tracing() {
    const char* pszTarget = getenv("IOCLASSLIB_DEBUG_OUTPUT");
    return pszTarget && *pszTarget;
}

void Trace(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* pszFormat, ...) {
    char szLine[256];
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szLine, sizeof(szLine), pszFormat, args);
    va_end(args);
    OutputDebugStringA(szLine);
}

const char* KindName(IoKind kind) {
    switch (kind) {
    case IoKind::Read: return "read";
    case IoKind::Write: return "write";
    case IoKind::Control: return "control";
    }
    return "?";
}

// Completes aborted requests a little after CancelIo has returned, on a thread of its own,
// as a Windows driver completes a cancelled request when it gets round to it.
class LateCompleter {
public:
    static LateCompleter& Instance() {
        static LateCompleter* completer = new LateCompleter;  // its thread lives as long as the process
        return *completer;
    }

    void Add(std::function<void()> completion) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_due.push_back({std::chrono::steady_clock::now() + kLateCancelDelay, std::move(completion)});
        if (!m_bStarted) {
            m_bStarted = true;
            std::thread([this] { Run(); }).detach();
        }
        m_changed.notify_one();
    }

private:
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::function<void()> completion;
    };

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [&] { return !m_due.empty(); });
            if (m_changed.wait_until(lock, m_due.front().at) != std::cv_status::timeout)
                continue;
            Due due = std::move(m_due.front());
            m_due.pop_front();
            lock.unlock();
            due.completion();
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Due> m_due;
    bool m_bStarted = false;
};

}  // namespace

uint64_t NextRequestNumber() {
    static std::atomic<uint64_t> next{1};
    return next++;
}

void TraceImmediateRequest(const char* pszFamily, const char* pszWhat, DWORD dwCode, DWORD dwError) {
    if (Tracing())
        Trace("io #%" PRIu64 " %s %s 0x%08lX status %lu", NextRequestNumber(), pszFamily, pszWhat,
              (unsigned long)dwCode, (unsigned long)dwError);
}

IoRequest* RequestQueue::OldestLocked(IoKind kind) {
    for (IoRequest& request : m_requests)
        if (request.kind == kind && request.state == RequestState::Submitted)
            return &request;
    return nullptr;
}

IoRequest* RequestQueue::FindLocked(uint64_t number) {
    for (IoRequest& request : m_requests)
        if (request.number == number)
            return &request;
    return nullptr;
}

// A request is found by its address among the pending ones, never read before that: a
// completion of a request that has left the queue is caught without touching freed memory.
void RequestQueue::CompleteLocked(IoRequest* pRequest, DWORD dwError, DWORD dwBytes) {
    for (auto it = m_requests.begin(); it != m_requests.end(); ++it) {
        if (&*it != pRequest)
            continue;
        if (Tracing())
            Trace("io #%" PRIu64 " complete status %lu bytes %lu", it->number, (unsigned long)dwError,
                  (unsigned long)dwBytes);
        CompleteOverlappedWithEvent(it->pOverlapped, it->event, dwError, dwBytes);
        m_requests.erase(it);
        m_completed.notify_all();
        return;
    }
    ContractBroken("%s completion of a request that is not pending (completed twice?)", m_pszFamily);
}

void RequestQueue::DisconnectLocked() {
    if (!m_bDisconnected && Tracing())
        Trace("%s device gone: %zu requests pending, each fails with %lu", m_pszFamily, m_requests.size(),
              (unsigned long)m_dwNotConnected);
    m_bDisconnected = true;
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        auto next = std::next(it);
        if (!it->bLent)
            CompleteLocked(&*it, m_dwNotConnected, 0);
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
        request.number = NextRequestNumber();
        if (Tracing())
            Trace("io #%" PRIu64 " %s %s %lu bytes", request.number, m_queue.m_pszFamily,
                  KindName(request.kind), (unsigned long)request.dwCount);
        m_queue.m_requests.push_back(std::move(request));
        if (m_queue.m_bDisconnected)
            m_queue.CompleteLocked(&m_queue.m_requests.back(), m_queue.m_dwNotConnected, 0);
        else
            StartLocked(m_queue.m_requests.back());
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

void QueuedDevice::CompleteLate(uint64_t number) {
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    // A device lost meanwhile has completed it already.
    if (IoRequest* pRequest = m_queue.FindLocked(number))
        m_queue.CompleteLocked(pRequest, ERROR_OPERATION_ABORTED, 0);
}

void QueuedDevice::AbortAll(bool bWait) {
    std::unique_lock<std::mutex> lock(m_queue.m_mutex);
    // Only what was queued when the cancel began: a request another thread submits
    // meanwhile is not ours to wait for.
    const uint64_t lastNumber = m_queue.m_requests.empty() ? 0 : m_queue.m_requests.back().number;
    for (auto it = m_queue.m_requests.begin(); it != m_queue.m_requests.end();) {
        auto next = std::next(it);
        if (it->state == RequestState::Submitted) {
            it->state = RequestState::Cancelling;
            if (Tracing())
                Trace("io #%" PRIu64 " cancel", it->number);
            if (AbortLocked(*it)) {
                if (bWait) {
                    m_queue.CompleteLocked(&*it, ERROR_OPERATION_ABORTED, 0);
                } else {
                    std::shared_ptr<QueuedDevice> self = shared_from_this();
                    const uint64_t number = it->number;
                    LateCompleter::Instance().Add([self, number] { self->CompleteLate(number); });
                }
            }
        }
        it = next;
    }
    if (!bWait)
        return;
    m_queue.m_completed.wait(
        lock, [&] { return m_queue.m_requests.empty() || m_queue.m_requests.front().number > lastNumber; });
}

// Windows cancels only the calling thread's requests here; every caller of ours issues
// and cancels on one thread, and cancelling the handle's whole queue is what they mean.
BOOL QueuedDevice::CancelIo() {
    AbortAll(!AsyncCancelIo());
    return TRUE;
}

void QueuedDevice::OnHandleClosed() {
    AbortAll();
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    OnClosedLocked();
}

bool LentRequest::InsideBackendCall() const { return t_inBackendCall == this; }

DWORD LentRequest::LendLocked(IoRequest& request) {
    m_pRequest = &request;
    m_number = request.number;
    m_state = RequestState::Submitted;
    t_inBackendCall = this;
    const DWORD dwStatus = Submit(request);
    t_inBackendCall = nullptr;
    if (dwStatus != ERROR_SUCCESS) {
        m_state = RequestState::Idle;
        m_pRequest = nullptr;
        return dwStatus;
    }
    request.bLent = true;
    request.pBackendData = this;
    FinishEarlyLocked();
    return ERROR_SUCCESS;
}

void LentRequest::CancelLocked() {
    if (m_state != RequestState::Submitted) {
        ContractBroken("%s cancel of io #%" PRIu64 ", which is not in flight", m_queue.Family(), m_number);
        return;
    }
    m_state = RequestState::Cancelling;
    t_inBackendCall = this;
    Cancel();
    t_inBackendCall = nullptr;
    FinishEarlyLocked();
}

void LentRequest::Complete(DWORD dwError, DWORD dwBytes) {
    if (InsideBackendCall()) {
        // The caller of Submit or Cancel holds the lock: finished once that call returns.
        ContractBroken("%s io #%" PRIu64 " completed inside the backend's submit or cancel", m_queue.Family(),
                       m_number);
        m_bEarly = true;
        m_dwEarlyError = dwError;
        m_dwEarlyBytes = dwBytes;
        return;
    }
    std::lock_guard<std::mutex> lock(m_queue.Mutex());
    FinishLocked(dwError, dwBytes);
}

void LentRequest::FinishLocked(DWORD dwError, DWORD dwBytes) {
    if (m_state != RequestState::Submitted && m_state != RequestState::Cancelling) {
        ContractBroken("%s io #%" PRIu64 " completed twice", m_queue.Family(), m_number);
        return;
    }
    m_state = RequestState::Completed;
    IoRequest* pRequest = m_pRequest;
    m_pRequest = nullptr;
    m_queue.CompleteLocked(pRequest, dwError, dwBytes);
}

void LentRequest::FinishEarlyLocked() {
    if (!m_bEarly)
        return;
    m_bEarly = false;
    FinishLocked(m_dwEarlyError, m_dwEarlyBytes);
}

void QueuedDevice::Disconnect() {
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    m_queue.DisconnectLocked();
}

bool QueuedDevice::IsDisconnected() {
    std::lock_guard<std::mutex> lock(m_queue.m_mutex);
    return m_queue.m_bDisconnected;
}

}  // namespace win32
