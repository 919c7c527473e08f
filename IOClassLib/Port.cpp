#include "Port.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <vector>

CPort::CPort(CDebugFile* pDebugFile)
    : m_pDebugFile(pDebugFile),
      m_wInputPacketSize(512),
      m_wOutputPacketSize(512),
      m_bPortOpen(FALSE),
      m_hDevNotifyInterface(NULL),
      m_hDevNotifyHandle(NULL),
      m_ReadWriteTimeout(3000),
      m_ReadTimeoutModifier(500),
      m_CurrentReadTimeout(0),
      m_ReadTimeoutExtension(3000),
      m_dwLastError(0),
      m_nRetryCount(1),
      m_bFirstRetry(FALSE),
      m_bSecondRetry(FALSE),
      m_bDataAvailableSupported(FALSE),
      m_dwOwner(0),
      m_TraceSemaphore(1, 2),
      m_pDeviceMutex(NULL),
      m_ProcessEventSemaphore(1, 2),
      m_nLockCount(0),
      m_bSemPortLock(FALSE),
      m_bDisconnected(FALSE),
      m_bRescanRequested(FALSE),
      m_bDevicePresent(TRUE),
      m_pConnectionManager(NULL),
      // Until the link names a protocol the port is taken to carry VLI, the default framing.
      m_nProtocolType(1) {
    // The HID port initialises the context itself; zeroing it keeps every other port
    // from carrying indeterminate handles around.
    memset(&m_USBCtx, 0, sizeof(m_USBCtx));
    memset(&m_HidGuid, 0, sizeof(m_HidGuid));
    memset(m_szSemaphoreTrace, 0, sizeof(m_szSemaphoreTrace));
    ZeroCommTimeouts(&m_CommTimeouts);

    // Without the mutex object the lock operations still run and report TRUE; callers
    // see from m_bSemPortLock that nothing was locked.
    try {
        m_pDeviceMutex = new (std::nothrow) CMutex(FALSE, IOCLASSLIB_DEVICE_MUTEX_NAME);
    } catch (...) {
        m_pDeviceMutex = NULL;
    }
}

CPort::~CPort() {
    m_ThreadWatcher.StopWatcher();
    delete m_pDeviceMutex;
    m_pDeviceMutex = NULL;
}

BOOL CPort::IsDataAvailableSupported() { return m_bDataAvailableSupported; }

BOOL CPort::IsDataAvailable() { return FALSE; }

BOOL CPort::RemoveAndScanForHardwareChanges() { return FALSE; }

void CPort::SetOwner(DWORD dwOwner) { m_dwOwner = dwOwner; }

void CPort::ReleaseOwner(DWORD dwOwner) {
    if (dwOwner == m_dwOwner)
        m_dwOwner = 0;
}

void CPort::OnPortEvent(DWORD, DWORD, DWORD) {}

BOOL CPort::LockDevice(LPCSTR pszCaller, DWORD dwTimeout) {
    return LockDevice(pszCaller, pszCaller ? (int)strlen(pszCaller) : 0, dwTimeout);
}

BOOL CPort::LockDevice(LPCSTR, int, DWORD dwTimeout) {
    try {
        DWORD dwStart = GetTickCount();
        PortTrace("\r\nCPort::LockDevice START = %lu\tlockcount= %d",
                  (unsigned long)(GetTickCount() - dwStart), (int)m_nLockCount);
        if (m_pDeviceMutex != NULL && m_pDeviceMutex->Lock(dwTimeout)) {
            m_bSemPortLock = TRUE;
            m_nLockCount += 1;
        } else {
            m_bSemPortLock = FALSE;
        }
        PortTrace("\r\nCPort::LockDevice END = %lu. lockcount= %d. m_bSemPortLock = %d",
                  (unsigned long)(GetTickCount() - dwStart), (int)m_nLockCount, (int)m_bSemPortLock);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL CPort::UnLockDevice(LPCSTR pszCaller) {
    return UnLockDevice(pszCaller, pszCaller ? (int)strlen(pszCaller) : 0);
}

BOOL CPort::UnLockDevice(LPCSTR, int) {
    try {
        DWORD dwStart = GetTickCount();
        PortTrace("\r\nCPort::UnLockDevice START = %lu\tlockcount= %d",
                  (unsigned long)(GetTickCount() - dwStart), (int)m_nLockCount);
        // Counted down even without a matching lock; a release of a mutex this thread does
        // not own fails inside the platform and changes nothing.
        m_nLockCount -= 1;
        if (m_pDeviceMutex != NULL)
            m_pDeviceMutex->Unlock();
        m_bSemPortLock = FALSE;
        PortTrace("\r\nCPort::UnLockDevice END = %lu. lockcount= %d. m_bSemPortLock = %d",
                  (unsigned long)(GetTickCount() - dwStart), (int)m_nLockCount, (int)m_bSemPortLock);
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}

BOOL CPort::PortProcessEventLock() { return m_ProcessEventSemaphore.Lock(INFINITE); }

BOOL CPort::PortProcessEventUnlock() { return m_ProcessEventSemaphore.Unlock(); }

BOOL CPort::OPOSSetCommTimeouts(HANDLE hPort, COMMTIMEOUTS* pTimeouts) {
    OutputDebugStringA("CPort::OPOSSetCommTimeouts entered.");
    if (pTimeouts == NULL) {
        OutputDebugStringA("CPort::OPOSSetCommTimeouts exiting.");
        return FALSE;
    }
    if (EqualCommTimeouts(pTimeouts, &m_CommTimeouts)) {
        OutputDebugStringA("CPort::OPOSSetCommTimeouts exiting.");
        return TRUE;
    }
    if (SetCommTimeouts(hPort, pTimeouts)) {
        CopyCommTimeouts(&m_CommTimeouts, pTimeouts);
        OutputDebugStringA("CPort::OPOSSetCommTimeouts exiting.");
        return TRUE;
    }
    DWORD dwError = GetLastError();
    char szText[64];
    memset(szText, 0, sizeof(szText));
    snprintf(szText, sizeof(szText), "SetCommTimeouts error with code: %d", (int)dwError);
    OutputDebugStringA(szText);
    OutputDebugStringA("CPort::OPOSSetCommTimeouts exiting.");
    return FALSE;
}

CString CPort::FormatSemaphoreTrace(LPCSTR pszFunction, LPCSTR pszFile, int nLine, BOOL* pbWithTime) {
    m_TraceSemaphore.Lock(INFINITE);
    memset(m_szSemaphoreTrace, 0, sizeof(m_szSemaphoreTrace));
    unsigned int nHandle = (unsigned int)(UINT_PTR)m_TraceSemaphore.m_hObject;
    if (pszFunction == NULL)
        pszFunction = "";
    if (pszFile == NULL)
        pszFile = "";
    // Bounded: a long function or file name is cut at the buffer's end instead of
    // running past it.
    if (pbWithTime != NULL && *pbWithTime) {
        char szTime[256];
        memset(szTime, 0, sizeof(szTime));
        // The local time to the second, as localtime gives it; GetLocalTime because the C
        // runtime's localtime re-examines the time zone on every call, and this text is
        // made twice per exchange.
        SYSTEMTIME local;
        GetLocalTime(&local);
        snprintf(szTime, sizeof(szTime), "%.4d-%.2d-%.2d %.2d:%.2d:%.2d", (int)local.wYear, (int)local.wMonth,
                 (int)local.wDay, (int)local.wHour, (int)local.wMinute, (int)local.wSecond);
        snprintf(m_szSemaphoreTrace, sizeof(m_szSemaphoreTrace),
                 "Semaphore Handle [%X]. Time [%s]. Function [%s]. File [%s]. Line #[%d]", nHandle, szTime,
                 pszFunction, pszFile, nLine);
    } else {
        snprintf(m_szSemaphoreTrace, sizeof(m_szSemaphoreTrace),
                 "Semaphore Handle [%X]. Function [%s]. File [%s]. Line #[%d]", nHandle, pszFunction, pszFile,
                 nLine);
    }
    CString strTrace(m_szSemaphoreTrace);
    m_TraceSemaphore.Unlock();
    return strTrace;
}

void CPort::LogMessage(CString strText) {
    if (m_pDebugFile != NULL)
        m_pDebugFile->Log(0, strText, "");
}

void CPort::SetProtocolType(int nType) { m_nProtocolType = (nType == 0 || nType == 2) ? nType : 1; }

void CPort::CopyCommTimeouts(COMMTIMEOUTS* pDest, const COMMTIMEOUTS* pSource) {
    pDest->ReadIntervalTimeout = pSource->ReadIntervalTimeout;
    pDest->ReadTotalTimeoutMultiplier = pSource->ReadTotalTimeoutMultiplier;
    pDest->ReadTotalTimeoutConstant = pSource->ReadTotalTimeoutConstant;
    pDest->WriteTotalTimeoutMultiplier = pSource->WriteTotalTimeoutMultiplier;
    pDest->WriteTotalTimeoutConstant = pSource->WriteTotalTimeoutConstant;
}

BOOL CPort::EqualCommTimeouts(const COMMTIMEOUTS* pFirst, const COMMTIMEOUTS* pSecond) {
    return pFirst->ReadIntervalTimeout == pSecond->ReadIntervalTimeout &&
           pFirst->ReadTotalTimeoutMultiplier == pSecond->ReadTotalTimeoutMultiplier &&
           pFirst->ReadTotalTimeoutConstant == pSecond->ReadTotalTimeoutConstant &&
           pFirst->WriteTotalTimeoutMultiplier == pSecond->WriteTotalTimeoutMultiplier &&
           pFirst->WriteTotalTimeoutConstant == pSecond->WriteTotalTimeoutConstant;
}

void CPort::ZeroCommTimeouts(COMMTIMEOUTS* pTimeouts) {
    pTimeouts->ReadIntervalTimeout = 0;
    pTimeouts->ReadTotalTimeoutMultiplier = 0;
    pTimeouts->ReadTotalTimeoutConstant = 0;
    pTimeouts->WriteTotalTimeoutMultiplier = 0;
    pTimeouts->WriteTotalTimeoutConstant = 0;
}

namespace {

// The I/O trace line of one transfer: its direction ("Wrote", "Read "), the count and
// the bytes, or the call that failed when there are no bytes to show.
void TraceTransfer(LPCSTR pszDirection, LPCSTR pszCall, const BYTE* pBuffer, DWORD dwLength) {
    if (!IOCLASSLIB_PORT_TRACE)
        return;
    if (pBuffer == NULL) {
        CPort::PortTrace("IO Port %s %d bytes. failure in %s().\r\n", pszDirection, (int)dwLength, pszCall);
        return;
    }
    CString strDump;
    CPort::FormatHexDump(pBuffer, dwLength, strDump);
    CPort::PortTrace("IO Port %s %d bytes:%s\r\n", pszDirection, (int)dwLength, (LPCSTR)strDump);
}

}  // namespace

void CPort::TraceWrite(const BYTE* pBuffer, DWORD dwLength) {
    TraceTransfer("Wrote", "WriteFile", pBuffer, dwLength);
}

void CPort::TraceRead(BYTE* pBuffer, DWORD dwLength) {
    TraceTransfer("Read ", "ReadFile", pBuffer, dwLength);
}

namespace {

const DWORD kHexDumpLineBytes = 16;

void AppendTextColumn(const BYTE* pData, DWORD dwCount, CString& strOut) {
    char szText[kHexDumpLineBytes + 1];
    for (DWORD i = 0; i < dwCount; ++i)
        szText[i] = isprint(pData[i]) ? (char)pData[i] : '.';
    szText[dwCount] = '\0';
    strOut += szText;
}

}  // namespace

void CPort::FormatHexDump(const BYTE* pData, DWORD dwLength, CString& strOut) {
    if (pData == NULL || dwLength == 0)
        return;
    char szField[4];
    for (DWORD i = 0; i < dwLength; ++i) {
        if (i % kHexDumpLineBytes == 0) {
            if (i != 0) {
                strOut += "        ";
                AppendTextColumn(pData + i - kHexDumpLineBytes, kHexDumpLineBytes, strOut);
            }
            strOut += "\r\n";
        }
        snprintf(szField, sizeof(szField), "%02X ", (unsigned int)pData[i]);
        strOut += szField;
    }
    DWORD dwLast = dwLength % kHexDumpLineBytes;
    if (dwLast == 0)
        dwLast = kHexDumpLineBytes;
    strOut += "        ";
    for (DWORD i = dwLast; i < kHexDumpLineBytes; ++i)
        strOut += "   ";
    AppendTextColumn(pData + dwLength - dwLast, dwLast, strOut);
}

void CPort::PortTrace(LPCSTR pszFormat, ...) {
    if (!IOCLASSLIB_PORT_TRACE)
        return;
    // A hex dump of a long transfer outgrows any fixed buffer.
    va_list args;
    va_start(args, pszFormat);
    va_list copy;
    va_copy(copy, args);
    int nLength = vsnprintf(NULL, 0, pszFormat, copy);
    va_end(copy);
    if (nLength >= 0) {
        std::vector<char> text((size_t)nLength + 1);
        vsnprintf(text.data(), text.size(), pszFormat, args);
        fputs(text.data(), stdout);
        fflush(stdout);
    }
    va_end(args);
}
