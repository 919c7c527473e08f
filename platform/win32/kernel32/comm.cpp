// Serial communications: the COM port device object behind CreateFileA, and the Comm
// functions that work on its handle. The line itself is internal/comm_line.
#include <windows.h>

#include <memory>

#include "internal/comm_device.h"
#include "internal/comm_line.h"
#include "internal/handle.h"

namespace win32 {

namespace {

class CommDevice : public KernelObject {
public:
    explicit CommDevice(std::unique_ptr<CommLine> line) : m_line(std::move(line)) {}

    CommLine& Line() { return *m_line; }

    // ReadFile on a COM port returns when its count is complete or its time-outs have run
    // out, and running out is success with the bytes that came. An OVERLAPPED request is
    // carried out the same way and completed before the call returns.
    BOOL Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped) override {
        DWORD dwDone = 0;
        DWORD dwError = m_line->Read(pBuffer, dwToRead, &dwDone);
        return Finish(dwError, dwDone, pdwRead, pOverlapped);
    }

    // WriteFile likewise: a write cut short by the write time-out succeeds with the count
    // that went out.
    BOOL Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped) override {
        DWORD dwDone = 0;
        DWORD dwError = m_line->Write(pBuffer, dwToWrite, &dwDone);
        return Finish(dwError, dwDone, pdwWritten, pOverlapped);
    }

    // Bytes handed to a terminal device are with the driver already; there is nothing
    // of ours to flush. Windows goes further and waits until the driver's transmit queue
    // has gone out on the line; this returns at once (tcdrain() would be the match), which
    // no caller of ours can tell, since none flushes a COM port.
    BOOL Flush() override { return TRUE; }

    BOOL CancelIo() override { return TRUE; }

    void OnHandleClosed() override { m_line->Abort(); }

private:
    static BOOL Finish(DWORD dwError, DWORD dwDone, LPDWORD pdwDone, LPOVERLAPPED pOverlapped) {
        if (pdwDone != NULL)
            *pdwDone = dwDone;
        if (pOverlapped != NULL)
            CompleteOverlapped(pOverlapped, dwError, dwDone);
        if (dwError != ERROR_SUCCESS) {
            ::SetLastError(dwError);
            return FALSE;
        }
        return TRUE;
    }

    std::unique_ptr<CommLine> m_line;
};

// The COM port behind a handle. Another kind of object (a file, an event, a HID device)
// has no comm functions: ERROR_INVALID_FUNCTION, as the device's driver answers there; a
// handle that names nothing: ERROR_INVALID_HANDLE.
std::shared_ptr<CommDevice> LookupCommDevice(HANDLE hFile) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    if (!object)
        return nullptr;  // LookupHandle has set ERROR_INVALID_HANDLE
    std::shared_ptr<CommDevice> device = std::dynamic_pointer_cast<CommDevice>(object);
    if (!device)
        ::SetLastError(ERROR_INVALID_FUNCTION);
    return device;
}

BOOL Result(DWORD dwError) {
    if (dwError != ERROR_SUCCESS) {
        ::SetLastError(dwError);
        return FALSE;
    }
    return TRUE;
}

// Runs one comm function on the line behind hFile; the handle is checked first, so a
// bad handle is reported as such even when a record is missing too.
template <typename Operation>
BOOL OnLine(HANDLE hFile, Operation operation) {
    std::shared_ptr<CommDevice> device = LookupCommDevice(hFile);
    if (!device)
        return FALSE;
    return Result(operation(device->Line()));
}

}  // namespace

}  // namespace win32

using win32::CommDevice;
using win32::CommLine;
using win32::OnLine;

HANDLE OpenCommDevice(const char* pszDevicePath, DWORD dwDesiredAccess, DWORD) {
    if (pszDevicePath == NULL || *pszDevicePath == '\0') {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<win32::CommLine> line;
    DWORD dwError = win32::CommLine::Open(pszDevicePath, dwDesiredAccess, &line);
    if (dwError != ERROR_SUCCESS) {
        SetLastError(dwError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = win32::InsertHandle(std::make_shared<CommDevice>(std::move(line)));
    if (h == NULL)
        return INVALID_HANDLE_VALUE;  // InsertHandle has set the error
    return h;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnLine(hFile, [&](CommLine& line) -> DWORD {
        return lpDCB == NULL ? (DWORD)ERROR_INVALID_PARAMETER : line.GetState(lpDCB);
    });
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    return OnLine(hFile, [&](CommLine& line) -> DWORD {
        return lpDCB == NULL ? (DWORD)ERROR_INVALID_PARAMETER : line.SetState(*lpDCB);
    });
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    return OnLine(hFile, [&](CommLine& line) { return line.SetMask(dwEvtMask); });
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnLine(hFile, [&](CommLine& line) -> DWORD {
        if (lpCommTimeouts == NULL)
            return ERROR_INVALID_PARAMETER;
        *lpCommTimeouts = line.GetTimeouts();
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    return OnLine(hFile, [&](CommLine& line) -> DWORD {
        if (lpCommTimeouts == NULL)
            return ERROR_INVALID_PARAMETER;
        // Windows refuses only the one combination that asks for an endless wait that
        // must also return at once.
        if (lpCommTimeouts->ReadIntervalTimeout == MAXDWORD &&
            lpCommTimeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
            lpCommTimeouts->ReadTotalTimeoutConstant == MAXDWORD)
            return ERROR_INVALID_PARAMETER;
        line.SetTimeouts(*lpCommTimeouts);
        return ERROR_SUCCESS;
    });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    return OnLine(hFile, [&](CommLine& line) { return line.Purge(dwFlags); });
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    return OnLine(hFile, [&](CommLine& line) { return line.ClearError(lpErrors, lpStat); });
}
