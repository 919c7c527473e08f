#include "COMHIDUSBPort.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <vector>

#include "ConnectionManager.h"
#include "HidReports.h"
#include "TerminalUsbIds.h"

#if IOCLASSLIB_HID_RESCAN
#include <cfgmgr32.h>
#endif

// Removal and re-scan of a stuck device in RemoveAndScanForHardwareChanges; off unless the
// build asks for it (CMake option IOCLASSLIB_HID_RESCAN).
#ifndef IOCLASSLIB_HID_RESCAN
#define IOCLASSLIB_HID_RESCAN 0
#endif

namespace {

const DWORD kMaxBufferSize = 1024;

void SetTransferTimeouts(COMMTIMEOUTS* pTimeouts, DWORD dwTimeout) {
    pTimeouts->ReadIntervalTimeout = 0;
    pTimeouts->ReadTotalTimeoutMultiplier = 0;
    pTimeouts->ReadTotalTimeoutConstant = dwTimeout;
    pTimeouts->WriteTotalTimeoutMultiplier = 0;
    pTimeouts->WriteTotalTimeoutConstant = dwTimeout;
}

void SetIdleTimeouts(COMMTIMEOUTS* pTimeouts) {
    pTimeouts->ReadIntervalTimeout = 1000;
    pTimeouts->ReadTotalTimeoutMultiplier = 0;
    pTimeouts->ReadTotalTimeoutConstant = 5000;
    pTimeouts->WriteTotalTimeoutMultiplier = 0;
    pTimeouts->WriteTotalTimeoutConstant = 1000;
}

void DebugHandle(HANDLE hDevice) {
    char szText[64];
    memset(szText, 0, sizeof(szText));
    snprintf(szText, sizeof(szText), "m_USBCtx.hDevice: %d", (int)(INT_PTR)hDevice);
    OutputDebugStringA(szText);
}

}  // namespace

CCOMHIDUSBPort::CCOMHIDUSBPort(CDebugFile* pDebugFile, DWORD dwBufferSize)
    : CPort(pDebugFile),
      m_bDeviceOpen(FALSE),
      m_dwBufferSize(dwBufferSize),
      m_hDevInfo(NULL),
      m_bReadOverflowed(FALSE) {
    memset(&m_DevInfoData, 0, sizeof(m_DevInfoData));
    memset(&m_DevInterfaceData, 0, sizeof(m_DevInterfaceData));
    m_ReadWriteTimeout = 10000;
    m_bDisconnected = FALSE;
    m_pConnectionManager = new (std::nothrow) CConnectionManager();
    m_ThreadWatcher.SetLogDeviceName("HIDUSB_PORT");
    ResetUSBContext();
}

CCOMHIDUSBPort::~CCOMHIDUSBPort() {
    // ClosePort refuses while the device is away; here it has to run in full.
    m_bDevicePresent = TRUE;
    ClosePort();
    delete m_pConnectionManager;
    m_pConnectionManager = NULL;
}

void CCOMHIDUSBPort::ResetUSBContext() {
    ComUsbContext& ctx = m_USBCtx;
    ctx.dwMagic = 0;
    ctx.nLastError = 0;
    ctx.dwLastSystemError = 0;
    ctx.hDevice = NULL;
    ctx.hDeviceClosedEvent = NULL;
    ctx.hSendEvent = NULL;
    ctx.hRecvEvent = NULL;
    memset(ctx.szDevicePath, 0, sizeof(ctx.szDevicePath));
    ctx.msgBlock = NULL;
    ctx.hSendThread = NULL;
    ctx.hRecvThread = NULL;
    ctx.bConnected = 0;
    memset(ctx.wszManufacturer, 0, sizeof(ctx.wszManufacturer));
    memset(ctx.wszProduct, 0, sizeof(ctx.wszProduct));
    memset(ctx.wszSerialNumber, 0, sizeof(ctx.wszSerialNumber));
    ctx.pLogFile = NULL;
    memset(ctx.wVendorIds, 0, sizeof(ctx.wVendorIds));
    memset(ctx.wProductIds, 0, sizeof(ctx.wProductIds));
    ctx.nDeviceIds = 0;
    memset(&ctx.Attributes, 0, sizeof(ctx.Attributes));
    memset(&ctx.Caps, 0, sizeof(ctx.Caps));
    SetIdleTimeouts(&ctx.Timeouts);
}

DWORD CCOMHIDUSBPort::ConfigureUSBContext() {
    // The cache then holds what ComUsbConnect applies, so the first transfer's own
    // time-outs reach the device.
    ZeroCommTimeouts(&m_CommTimeouts);
    SetIdleTimeouts(&m_CommTimeouts);
    DWORD dwResult = ComUsbInitializeDebug(&m_USBCtx, &m_CommTimeouts, NULL);
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    const int nIds = GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX);
    for (int i = 0; i < nIds && i < TERMINAL_USB_ID_MAX; ++i)
        ComUsbAddDeviceId(&m_USBCtx, ids[i].wVendorId, ids[i].wProductId);
    return dwResult;
}

BOOL CCOMHIDUSBPort::OpenPort() {
    if (!m_bDevicePresent)
        return FALSE;
    // Opening an open port must not strand the old device handle and events.
    if (m_USBCtx.dwMagic == COMUSB_CONTEXT_MAGIC)
        ComUsbUninitialize(&m_USBCtx);
    ResetUSBContext();
    ConfigureUSBContext();
    if (ComUsbConnect(&m_USBCtx) == COMUSB_SUCCESS) {
        OutputDebugStringA("CCOMHIDUSBPort::OpenPort() ComUsbConnect successful.");
        m_bDeviceOpen = m_USBCtx.bConnected;
        m_csDevicePath = m_USBCtx.szDevicePath;
    } else {
        OutputDebugStringA("CCOMHIDUSBPort::OpenPort() ComUsbConnect failure.");
        m_bDeviceOpen = m_USBCtx.bConnected;
    }
    return m_bDeviceOpen;
}

BOOL CCOMHIDUSBPort::ClosePort() {
    if (!m_bDevicePresent)
        return FALSE;
    if (m_pConnectionManager != NULL)
        m_pConnectionManager->Stop();
    RemoveAndScanForHardwareChanges();
    CloseConnection();
    return TRUE;
}

void CCOMHIDUSBPort::CloseConnection() {
    ComUsbUninitialize(&m_USBCtx);
    m_bDeviceOpen = m_USBCtx.bConnected;
    m_csDevicePath.Empty();
    m_dwLastError = 0;
    if (m_hDevInfo != NULL) {
        SetupDiDestroyDeviceInfoList(m_hDevInfo);
        m_hDevInfo = NULL;
    }
}

BOOL CCOMHIDUSBPort::IsOpen() { return m_bDeviceOpen; }

void CCOMHIDUSBPort::FlushReceiveBuffer() {
    if (m_USBCtx.hDevice == INVALID_HANDLE_VALUE)
        return;
    // The HID class driver serves no purge; what an earlier exchange left unread stays.
    if (!PurgeComm(m_USBCtx.hDevice, PURGE_RXABORT | PURGE_RXCLEAR))
        PortTrace("\r\nCCOMHIDUSBPort::FlushReceiveBuffer(). WARNING: PurgeComm() failed with error=0x%X, "
                  "receive buffer may not be empty.\n",
                  (unsigned int)GetLastError());
}

void CCOMHIDUSBPort::Log(LPCSTR pszText) {
    if (m_pDebugFile != NULL)
        m_pDebugFile->Log(0, pszText, "");
}

void CCOMHIDUSBPort::LogCommDiagnostics(LPCSTR pszSuccessText, LPCSTR pszErrorText) {
    DWORD dwErrors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    CString csText;
    if (ClearCommError(m_USBCtx.hDevice, &dwErrors, &stat)) {
        csText.Format("ClearCommError() info ErrorCode=%d, ComStat(CtsHold=%d, DsrHold=%d, RlsdHold=%d, "
                      "XoffHold=%d, XoffSent=%d, Eof=%d, Txim=%d, Reserved=%d, InQue=%d, OutQue=%d)\n",
                      (int)dwErrors, (int)stat.fCtsHold, (int)stat.fDsrHold, (int)stat.fRlsdHold,
                      (int)stat.fXoffHold, (int)stat.fXoffSent, (int)stat.fEof, (int)stat.fTxim,
                      (int)stat.fReserved, (int)stat.cbInQue, (int)stat.cbOutQue);
        Log(csText);
        OutputDebugStringA(pszSuccessText);
    } else {
        csText.Format("ClearCommError() error = %d", (int)GetLastError());
        Log(csText);
        OutputDebugStringA(pszErrorText);
    }
}

DWORD CCOMHIDUSBPort::WaitForTransfer(HANDLE hEvent) {
    return WaitForSingleObject(hEvent, m_ReadWriteTimeout);
}

void CCOMHIDUSBPort::FinishCancelledTransfer(OVERLAPPED* pOverlapped) {
    // CancelIo only asks; until the request has completed (aborted or not) the device may
    // still write into the buffers, which are freed right after this. The event is named,
    // so another port may set it before then: the request's own status has the last word.
    DWORD dwIgnored = 0;
    const DWORD dwError = GetLastError();
    while (!GetOverlappedResult(m_USBCtx.hDevice, pOverlapped, &dwIgnored, TRUE) &&
           GetLastError() == ERROR_IO_INCOMPLETE) {
    }
    SetLastError(dwError);
}

BOOL CCOMHIDUSBPort::Write(const BYTE* pBuffer, DWORD, DWORD* pdwLength) {
    OutputDebugStringA("CCOMHIDUSBPort::Write entered.");
    m_dwLastError = 0;
    if (pdwLength == NULL || (pBuffer == NULL && *pdwLength != 0))
        return FALSE;

    COMMTIMEOUTS timeouts;
    SetTransferTimeouts(&timeouts, m_ReadWriteTimeout);
    DebugHandle(m_USBCtx.hDevice);
    OPOSSetCommTimeouts(m_USBCtx.hDevice, &timeouts);

    const DWORD dwWanted = *pdwLength;
    OutputDebugStringA("About to do RobustOverlappedWriteFile ---A");
    BOOL bOk = RobustOverlappedWriteFile(pBuffer, dwWanted, pdwLength);
    if (!bOk && m_bFirstRetry) {
        OutputDebugStringA("About to do RobustOverlappedWriteFile ---B");
        *pdwLength = dwWanted;
        bOk = RobustOverlappedWriteFile(pBuffer, dwWanted, pdwLength);
    }
    if (!bOk && m_bSecondRetry) {
        OutputDebugStringA("About to do RobustOverlappedWriteFile ---C");
        *pdwLength = dwWanted;
        bOk = RobustOverlappedWriteFile(pBuffer, dwWanted, pdwLength);
    }
    OutputDebugStringA("CCOMHIDUSBPort::Write exiting.");
    return bOk;
}

BOOL CCOMHIDUSBPort::RobustOverlappedWriteFile(const BYTE* pBuffer, DWORD, DWORD* pdwLength) {
    const DWORD dwWanted = *pdwLength;
    const WORD wReportLength = m_wOutputPacketSize;
    // A closed port has no report length; nothing could make progress.
    if (wReportLength < HID_MIN_REPORT_LENGTH) {
        *pdwLength = 0;
        return dwWanted == 0;
    }
    OVERLAPPED* pOverlapped = new (std::nothrow) OVERLAPPED;
    BYTE* pReport = new (std::nothrow) BYTE[wReportLength];
    if (pOverlapped == NULL || pReport == NULL) {
        delete pOverlapped;
        delete[] pReport;
        return FALSE;
    }
    memset(pOverlapped, 0, sizeof(*pOverlapped));
    pOverlapped->hEvent = m_USBCtx.hSendEvent;

    auto fail = [&](DWORD dwSent, BOOL bPending, LPCSTR pszSuccessText, LPCSTR pszErrorText) {
        LogCommDiagnostics(pszSuccessText, pszErrorText);
        CancelIo(m_USBCtx.hDevice);
        if (bPending)
            FinishCancelledTransfer(pOverlapped);
        delete pOverlapped;
        delete[] pReport;
        *pdwLength = dwSent;
        return FALSE;
    };

    DWORD dwSent = 0;
    CString csText;
    while (dwSent < dwWanted) {
        const DWORD dwChunk =
            BuildHidOutputReport(pReport, wReportLength, pBuffer + dwSent, dwWanted - dwSent);
        pOverlapped->Offset = 0;
        pOverlapped->OffsetHigh = 0;
        DWORD dwWritten = 0;
        const BOOL bDone = WriteFile(m_USBCtx.hDevice, pReport, wReportLength, &dwWritten, pOverlapped);
        BOOL bSent = bDone && dwWritten == wReportLength;
        if (!bSent) {
            DWORD dwError = GetLastError();
            const BOOL bPending = !bDone && dwError == ERROR_IO_PENDING;
            if (bPending) {
                const DWORD dwWait = WaitForTransfer(m_USBCtx.hSendEvent);
                if (dwWait != WAIT_OBJECT_0) {
                    if (dwWait == WAIT_TIMEOUT) {
                        csText.Format("WriteFile() timed out w/ TO=%d\n", (int)m_ReadWriteTimeout);
                        Log(csText);
                        OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedWriteFile timed out error.");
                    } else {
                        // Formatted for a trace that the shipped build leaves out.
                        csText.Format("WriteFile() non timed out w/ TO=%d. Result = %d\n",
                                      (int)m_ReadWriteTimeout, (int)dwWait);
                        OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedWriteFile non timed out error");
                    }
                    return fail(dwSent, TRUE,
                                "CCOMHIDUSBPort::RobustOverlappedWriteFile ClearCommError() successful.",
                                "CCOMHIDUSBPort::RobustOverlappedWriteFile ClearCommError() error.");
                }
                // Completed, or the event was set by another port (still incomplete); a
                // failure either way is a failed write, not a sent report.
                bSent = GetOverlappedResult(m_USBCtx.hDevice, pOverlapped, &dwWritten, FALSE);
                if (!bSent)
                    dwError = GetLastError();
            }
            if (!bSent) {
                // Kept for the client: the diagnostics below overwrite the thread's last error.
                m_dwLastError = dwError;
                csText.Format("CCOMHIDUSBPort::Write(), GLE on WriteFile()=%d, bytes written=%d",
                              (int)dwError, (int)dwWritten);
                Log(csText);
                OutputDebugStringA(
                    "CCOMHIDUSBPort::RobustOverlappedWriteFile WriteFile error - IO not pending.");
                return fail(dwSent, bPending,
                            "CCOMHIDUSBPort::RobustOverlappedWriteFile ClearCommError successful.",
                            "CCOMHIDUSBPort::RobustOverlappedWriteFile ClearCommError error.");
            }
        }
        dwSent += dwChunk;
        TraceWrite(pReport, dwChunk + 2);
    }

    delete pOverlapped;
    delete[] pReport;
    *pdwLength = dwSent;
    return dwSent == dwWanted;
}

BOOL CCOMHIDUSBPort::Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    OutputDebugStringA("CCOMHIDUSBPort::Read entered.");
    m_dwLastError = 0;
    if (pdwLength == NULL)
        return FALSE;

    COMMTIMEOUTS timeouts;
    SetTransferTimeouts(&timeouts, m_ReadWriteTimeout);
    m_CurrentReadTimeout = m_ReadWriteTimeout;
    const DWORD dwWanted = *pdwLength;
    DebugHandle(m_USBCtx.hDevice);
    if (!OPOSSetCommTimeouts(m_USBCtx.hDevice, &timeouts))
        OutputDebugStringA("CCOMHIDUSBPort::Read OPOSSetCommTimeouts false.");

    DWORD dwCount = dwWanted;
    ReadImp(cpBuffer, dwBufferSize, &dwCount);
    m_dwLastError = GetLastError();

    *pdwLength = dwCount;
    OutputDebugStringA("CCOMHIDUSBPort::Read exiting.");
    return dwCount >= dwWanted && !m_bReadOverflowed;
}

void CCOMHIDUSBPort::ReadImp(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    OutputDebugStringA("CCOMHIDUSBPort::ReadImp entered.");
    DWORD dwCount = *pdwLength;
    BOOL bOk = RobustOverlappedReadFile(cpBuffer, dwBufferSize, &dwCount);
    if (!bOk && m_bFirstRetry) {
        dwCount = *pdwLength;
        bOk = RobustOverlappedReadFile(cpBuffer, dwBufferSize, &dwCount);
    }
    if (!bOk && m_bSecondRetry) {
        dwCount = *pdwLength;
        bOk = RobustOverlappedReadFile(cpBuffer, dwBufferSize, &dwCount);
    }
    *pdwLength = dwCount;
    OutputDebugStringA("CCOMHIDUSBPort::ReadImp exiting.");
}

BOOL CCOMHIDUSBPort::RobustOverlappedReadFile(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedReadFile entered.");
    m_bReadOverflowed = FALSE;
    if (cpBuffer == NULL)
        dwBufferSize = 0;
    const DWORD dwWanted = *pdwLength;
    std::vector<BYTE> report;
    OVERLAPPED* pOverlapped = NULL;
    try {
        report.assign(HID_INPUT_BUFFER_SIZE, 0);
    } catch (...) {
        return FALSE;
    }
    if (dwBufferSize > 0)
        memset(cpBuffer, 0, dwBufferSize);
    pOverlapped = new (std::nothrow) OVERLAPPED;
    if (pOverlapped == NULL)
        return FALSE;
    memset(pOverlapped, 0, sizeof(*pOverlapped));
    pOverlapped->hEvent = m_USBCtx.hRecvEvent;

    HidReplyAssembler reply(m_nProtocolType, dwWanted, cpBuffer, dwBufferSize);
    const DWORD dwReportLength =
        m_wInputPacketSize < HID_INPUT_BUFFER_SIZE ? m_wInputPacketSize : HID_INPUT_BUFFER_SIZE;

    auto fail = [&](BOOL bPending) {
        LogCommDiagnostics("CCOMHIDUSBPort::RobustOverlappedReadFile ClearCommError successful.",
                           "CCOMHIDUSBPort::RobustOverlappedReadFile ClearCommError error.");
        CancelIo(m_USBCtx.hDevice);
        if (bPending)
            FinishCancelledTransfer(pOverlapped);
    };

    CString csText;
    while (!reply.IsComplete()) {
        pOverlapped->Offset = 0;
        pOverlapped->OffsetHigh = 0;
        OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedReadFile before ReadFile.");
        DWORD dwRead = 0;
        BOOL bDone = ReadFile(m_USBCtx.hDevice, report.data(), dwReportLength, &dwRead, pOverlapped);
        if (!bDone) {
            DWORD dwError = GetLastError();
            const BOOL bPending = dwError == ERROR_IO_PENDING;
            if (bPending) {
                DWORD dwWait = WaitForTransfer(m_USBCtx.hRecvEvent);
                if (dwWait == WAIT_TIMEOUT) {
                    csText.Format("CCOMHIDUSBPort::read,  timed out w/ m_ReadWriteTimeout=%d",
                                  (int)m_ReadWriteTimeout);
                    Log(csText);
                    OutputDebugStringA(
                        "CCOMHIDUSBPort::RobustOverlappedReadFile WaitForSingleObject timeout.");
                    fail(TRUE);
                    *pdwLength = reply.Received();
                    delete pOverlapped;
                    SetLastError(ERROR_TIMEOUT);
                    return FALSE;
                }
                if (dwWait != WAIT_OBJECT_0) {
                    OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedReadFile WaitForSingleObject error.");
                    fail(TRUE);
                    csText.Format(
                        "-CUSBDevice,Read(), returning FALSE at path 5, nTotalRead=%d, nTryToRead=%d\n",
                        (int)reply.Received(), (int)reply.Expected());
                    Log(csText);
                    *pdwLength = reply.Received();
                    delete pOverlapped;
                    return FALSE;
                }
                // Completed, or the event was set by another port (still incomplete); a
                // failure either way is a failed read, not an empty report.
                bDone = GetOverlappedResult(m_USBCtx.hDevice, pOverlapped, &dwRead, FALSE);
                if (!bDone)
                    dwError = GetLastError();
            }
            if (!bDone) {
                csText.Format("CCOMHIDUSBPort::read, GLE on ReadFile()=%d, nRead=%d\n", (int)dwError,
                              (int)dwRead);
                Log(csText);
                OutputDebugStringA(
                    "CCOMHIDUSBPort::RobustOverlappedReadFile ReadFile error - IO not pending.");
                fail(bPending);
                *pdwLength = reply.Received() + dwRead;
                delete pOverlapped;
                SetLastError(dwError);
                return FALSE;
            }
        }
        if (dwRead > dwReportLength)
            dwRead = dwReportLength;
        const DWORD dwChunk = reply.TakeReport(report.data(), dwRead);
        TraceRead(report.data(), dwChunk + 2);
        memset(report.data(), 0, report.size());
    }

    delete pOverlapped;
    *pdwLength = reply.Received();
    OutputDebugStringA("CCOMHIDUSBPort::RobustOverlappedReadFile exiting.");
    if (reply.Overflowed()) {
        m_bReadOverflowed = TRUE;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    return TRUE;
}

DWORD CCOMHIDUSBPort::GetMaxBufferSize() { return kMaxBufferSize; }

void CCOMHIDUSBPort::BeginTransaction(LPCSTR) {}

void CCOMHIDUSBPort::EndTransaction(LPCSTR) {}

void CCOMHIDUSBPort::SetOwner(DWORD dwOwner) {
    CPort::SetOwner(dwOwner);
    if (m_pConnectionManager != NULL)
        m_pConnectionManager->Start(this, dwOwner, CString(m_csDevicePath));
}

void CCOMHIDUSBPort::ReleaseOwner(DWORD dwOwner) { CPort::ReleaseOwner(dwOwner); }

BOOL CCOMHIDUSBPort::RemoveAndScanForHardwareChanges() {
    if (!m_bRescanRequested)
        return TRUE;
    m_bRescanRequested = FALSE;
    const CString csStart = "--> CCOMHIDUSBPort::RemoveAndScanForHardwareChanges(). ";
    const CString csEnd = "<-- CCOMHIDUSBPort::RemoveAndScanForHardwareChanges(). ";
    Log(csStart + "Start Remove Device");

#if IOCLASSLIB_HID_RESCAN
    const CString csStep = "... CCOMHIDUSBPort::RemoveAndScanForHardwareChanges(). ";
    SP_REMOVEDEVICE_PARAMS removeParams;
    memset(&removeParams, 0, sizeof(removeParams));
    removeParams.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    removeParams.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    removeParams.Scope = DI_REMOVEDEVICE_GLOBAL;
    removeParams.HwProfile = 0;
    LPCSTR pszOutcome;
    if (!SetupDiSetClassInstallParamsA(m_hDevInfo, &m_DevInfoData, &removeParams.ClassInstallHeader,
                                       sizeof(removeParams)) ||
        !SetupDiCallClassInstaller(DIF_REMOVE, m_hDevInfo, &m_DevInfoData)) {
        pszOutcome = "Removal, failed to invoke DIF_REMOVE";
    } else {
        SP_DEVINSTALL_PARAMS_A installParams;
        memset(&installParams, 0, sizeof(installParams));
        installParams.cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
        if (SetupDiGetDeviceInstallParamsA(m_hDevInfo, &m_DevInfoData, &installParams) &&
            (installParams.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT)) != 0)
            pszOutcome = "Removal, reboot required";
        else
            pszOutcome = "Removal, appears to have succeeded";
    }
    Log(csStep + pszOutcome);
    Log(csStep + "End Remove Device");
    Log(csStep + "Start ReScan Device");

    DEVINST devRoot = 0;
    CONFIGRET cr = CM_Locate_DevNodeA(&devRoot, NULL, 0);
    CString csText;
    if (cr != CR_SUCCESS) {
        csText.Format("End ReScan Device. CM_Locate_DevNode failed: %x\n", (unsigned int)cr);
        Log(csEnd + csText);
        return FALSE;
    }
    cr = CM_Reenumerate_DevNode(devRoot, 0);
    if (cr != CR_SUCCESS) {
        csText.Format("End ReScan Device. CM_Reenumerate_DevNode failed: %x\n", (unsigned int)cr);
        Log(csEnd + csText);
        return FALSE;
    }
#endif

    Log(csEnd + "End ReScan Device");
    return TRUE;
}
