#include "internal/handle.h"
#include "internal/request_engine.h"
#include "internal/sync_objects.h"

#include <atomic>

namespace win32 {

namespace {

// Windows keeps an NTSTATUS in OVERLAPPED.Internal; a Win32 error travels as
// NTSTATUS_FROM_WIN32, so that no error code can be mistaken for STATUS_PENDING.
const ULONG_PTR kWin32StatusFacility = 0xC0070000u;

// A driver's own codes (customer bit set, as the USBIO driver's 0xE000xxxx) are NTSTATUS
// values already, and Windows hands them to GetLastError unchanged.
const ULONG_PTR kCustomerCodeBit = 0x20000000u;

ULONG_PTR StatusFromWin32(DWORD dwError) {
    if (dwError & kCustomerCodeBit)
        return dwError;
    return dwError == ERROR_SUCCESS ? 0 : (kWin32StatusFacility | (dwError & 0xFFFFu));
}

DWORD Win32FromStatus(ULONG_PTR status) {
    if (status == 0)
        return ERROR_SUCCESS;
    if (status & kCustomerCodeBit)
        return (DWORD)status;
    if ((status & 0xFFFF0000u) == kWin32StatusFacility)
        return (DWORD)(status & 0xFFFFu);
    return ERROR_GEN_FAILURE;
}

ULONG_PTR LoadInternal(const LPOVERLAPPED pOverlapped) {
    return __atomic_load_n(&pOverlapped->Internal, __ATOMIC_ACQUIRE);
}

void BeginOverlapped(LPOVERLAPPED pOverlapped) {
    // ReadFile, WriteFile and DeviceIoControl reset the caller's event when a request starts.
    if (pOverlapped->hEvent)
        ::ResetEvent(pOverlapped->hEvent);
    pOverlapped->InternalHigh = 0;
    __atomic_store_n(&pOverlapped->Internal, (ULONG_PTR)STATUS_PENDING, __ATOMIC_RELEASE);
}

}  // namespace

DWORD Win32ErrorFromOverlappedStatus(ULONG_PTR status) { return Win32FromStatus(status); }

void CompleteOverlappedWithEvent(LPOVERLAPPED pOverlapped, const std::shared_ptr<EventObject>& event,
                                 DWORD dwError, DWORD dwBytes) {
    {
        // Status and event change in one step: whoever sees either sees both, and the
        // OVERLAPPED, which its owner may reuse at once, is not touched afterwards.
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        pOverlapped->InternalHigh = dwBytes;
        __atomic_store_n(&pOverlapped->Internal, StatusFromWin32(dwError), __ATOMIC_RELEASE);
        if (event)
            event->SetLocked();
    }
    KernelWaitCondition().notify_all();
}

// For requests that complete before their call returns, the event handle still names the
// object the caller gave.
void CompleteOverlapped(LPOVERLAPPED pOverlapped, DWORD dwError, DWORD dwBytes) {
    const DWORD dwLastError = ::GetLastError();
    std::shared_ptr<EventObject> event;
    if (pOverlapped->hEvent)
        event = LookupHandleAs<EventObject>(pOverlapped->hEvent);
    ::SetLastError(dwLastError);
    CompleteOverlappedWithEvent(pOverlapped, event, dwError, dwBytes);
}

std::shared_ptr<KernelObject> StartRequest(HANDLE h, LPDWORD pdwCount, LPOVERLAPPED pOverlapped,
                                           bool bBufferMissing) {
    std::shared_ptr<KernelObject> object = LookupHandle(h);
    if (!object)
        return nullptr;
    if (!pOverlapped && !pdwCount) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (pdwCount)
        *pdwCount = 0;
    if (bBufferMissing) {
        ::SetLastError(ERROR_NOACCESS);
        return nullptr;
    }
    if (pOverlapped)
        BeginOverlapped(pOverlapped);
    return object;
}

}  // namespace win32

using namespace win32;

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    if (!lpOverlapped || !lpNumberOfBytesTransferred) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (LoadInternal(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) {
            ::SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (lpOverlapped->hEvent) {
            if (::WaitForSingleObject(lpOverlapped->hEvent, INFINITE) == WAIT_FAILED)
                return FALSE;
        }
        // Without an event Windows waits on the file handle; the completion wakes every
        // kernel waiter, so wait for the status itself. After an auto-reset event that
        // somebody else consumed the status is the final word too.
        if (LoadInternal(lpOverlapped) == STATUS_PENDING) {
            if (!LookupHandle(hFile) && !lpOverlapped->hEvent)
                return FALSE;
            std::unique_lock<std::mutex> lock(KernelWaitMutex());
            WaitKernelCondition(lock, INFINITE, [&] { return LoadInternal(lpOverlapped) != STATUS_PENDING; });
        }
    }
    const DWORD dwError = Win32FromStatus(LoadInternal(lpOverlapped));
    *lpNumberOfBytesTransferred = (DWORD)lpOverlapped->InternalHigh;
    if (dwError != ERROR_SUCCESS) {
        ::SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    return object ? object->CancelIo() : FALSE;
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<KernelObject> object = StartRequest(hDevice, lpBytesReturned, lpOverlapped, false);
    if (!object)
        return FALSE;
    return object->IoControl(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                             lpBytesReturned, lpOverlapped);
}
