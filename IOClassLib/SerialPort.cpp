#include "SerialPort.h"

#include <stdio.h>
#include <string.h>

namespace {

// Device name under which OpenPort's failures are logged.
const char kOpenLogDevice[] = "Dravon";

}  // namespace

CSerialPort::CSerialPort(CDebugFile* pDebugFile, const CString& strPort, DWORD dwBaudrate, BYTE nParity,
                         BYTE nByteSize, BYTE nStopBits)
    : CPort(pDebugFile) {
    InitPort(strPort, dwBaudrate, nParity, nByteSize, nStopBits);
    m_bDataAvailableSupported = TRUE;
    m_nRetryCount = 0;
}

CSerialPort::CSerialPort(CDebugFile* pDebugFile) : CPort(pDebugFile) {
    InitPort(CString("COM1"), 9600, 0, 8, 0);
}

void CSerialPort::InitPort(const CString& strPort, DWORD dwBaudrate, BYTE nParity, BYTE nByteSize,
                           BYTE nStopBits) {
    m_hPort = INVALID_HANDLE_VALUE;
    m_ReadWriteTimeout = 10000;
    m_wInputPacketSize = 1;
    m_wOutputPacketSize = 512;
    m_strPort = strPort;
    m_dwBaudrate = dwBaudrate;
    m_nParity = nParity;
    m_nByteSize = nByteSize;
    m_nStopBits = nStopBits;
    m_bDisconnected = FALSE;
    m_ThreadWatcher.SetLogDeviceName("SERIAL_PORT");
}

CSerialPort::~CSerialPort() {
    if (IsOpen())
        ClosePort();
}

BOOL CSerialPort::OpenPort() {
    CSingleLock lock(&m_CritSec, TRUE);
    // A new handle starts with the driver's time-outs, whatever this port applied to the
    // last one; an empty cache makes the first Read or Write apply them for certain.
    ZeroCommTimeouts(&m_CommTimeouts);

    HANDLE hPort =
        CreateFileA((LPCSTR)m_strPort, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hPort == INVALID_HANDLE_VALUE) {
        m_dwLastError = GetLastError();
        if (m_pDebugFile != NULL)
            m_pDebugFile->Log(0, "-CSerialPort.OpenPort(): hPort == INVALID_HANDLE_VALUE", kOpenLogDevice);
        return FALSE;
    }

    // A failure after the handle was made closes it again and leaves the port closed.
    auto fail = [&](LPCSTR pszCall) -> BOOL {
        m_dwLastError = GetLastError();
        CloseHandle(hPort);
        char szText[128];
        snprintf(szText, sizeof(szText), "-CSerialPort.OpenPort(): %s() returned 0, GLE=0x%X", pszCall,
                 (unsigned int)m_dwLastError);
        if (m_pDebugFile != NULL)
            m_pDebugFile->Log(0, szText, kOpenLogDevice);
        return FALSE;
    };

    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb))
        return fail("GetCommState");

    // Only the line format changes; flow control, DTR/RTS and the rest stay as the driver
    // reported them, except that the terminal never sees XON/XOFF from us.
    dcb.BaudRate = m_dwBaudrate;
    dcb.Parity = m_nParity;
    dcb.ByteSize = m_nByteSize;
    dcb.StopBits = m_nStopBits;
    dcb.fInX = 0;
    if (!SetCommState(hPort, &dcb))
        return fail("SetCommState");

    SetCommMask(hPort, EV_RXCHAR);
    m_hPort = hPort;
    m_bDisconnected = FALSE;
    return TRUE;
}

BOOL CSerialPort::ClosePort() {
    m_dwLastError = 0;
    m_ThreadWatcher.StopWatcher();
    CSingleLock lock(&m_CritSec, TRUE);
    CloseConnection();
    m_bDisconnected = TRUE;
    return TRUE;
}

void CSerialPort::CloseConnection() {
    if (IsOpen()) {
        if (!CloseHandle(m_hPort))
            m_dwLastError = GetLastError();
        m_hPort = INVALID_HANDLE_VALUE;
    }
}

BOOL CSerialPort::IsOpen() { return m_hPort != INVALID_HANDLE_VALUE; }

BOOL CSerialPort::IsDataAvailable() {
    if (!IsOpen())
        return FALSE;
    DWORD dwErrors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof(stat));
    if (ClearCommError(m_hPort, &dwErrors, &stat))
        return stat.cbInQue != 0;
    CString strText;
    strText.Format("Failure in IsDataAvailable(), ::ClearCommError causes GLE()=%d", (int)GetLastError());
    LogMessage(strText);
    return FALSE;
}

void CSerialPort::FlushReceiveBuffer() {
    if (m_hPort == INVALID_HANDLE_VALUE)
        return;
    if (!PurgeComm(m_hPort, PURGE_RXCLEAR))
        PortTrace("\nCSerialPort::FlushReceiveBuffer(). WARNING: PurgeComm() failed with "
                  "error=0x%X, receive buffer may not be empty.\n",
                  (unsigned int)GetLastError());
}

BOOL CSerialPort::ApplyTimeouts(DWORD dwTimeout) {
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = dwTimeout;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = dwTimeout;
    return OPOSSetCommTimeouts(m_hPort, &timeouts);
}

BOOL CSerialPort::Write(const BYTE* pBuffer, DWORD, DWORD* pdwLength) {
    if (!IsOpen() || pBuffer == NULL || pdwLength == NULL)
        return FALSE;
    if (m_bDisconnected) {
        *pdwLength = 0;
        return FALSE;
    }
    OutputDebugStringA("CSerialPort::Write about to do WriteImp");
    return WriteImp(pBuffer, pdwLength);
}

BOOL CSerialPort::WriteImp(const BYTE* pBuffer, DWORD* pdwLength) {
    if (m_hPort == INVALID_HANDLE_VALUE)
        return FALSE;
    if (!ApplyTimeouts(m_ReadWriteTimeout))
        return FALSE;
    m_dwLastError = 0;
    CSingleLock lock(&m_CritSec, TRUE);

    DWORD dwWritten = 0;
    BOOL bOk = WriteFile(m_hPort, pBuffer, *pdwLength, &dwWritten, NULL);
    *pdwLength = dwWritten;
    TraceWrite(pBuffer, *pdwLength);
    if (!bOk) {
        m_dwLastError = GetLastError();
        char szText[64];
        memset(szText, 0, sizeof(szText));
        snprintf(szText, sizeof(szText), "CSerialPort::WriteImp failure with error code: %d",
                 (int)m_dwLastError);
        OutputDebugStringA(szText);
        return FALSE;
    }
    // A write cut short by its time-out is still a success; the count tells how much went.
    return TRUE;
}

BOOL CSerialPort::Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    if (!IsOpen()) {
        OutputDebugStringA("CSerialPort::Read IsOpen() false.");
        return FALSE;
    }
    if (cpBuffer == NULL || pdwLength == NULL) {
        OutputDebugStringA("CSerialPort::Read cpBuffer null.");
        return FALSE;
    }
    if (m_bDisconnected) {
        OutputDebugStringA("CSerialPort::Read this->m_bDisconnected true.");
        *pdwLength = 0;
        return FALSE;
    }

    CSingleLock lock(&m_CritSec, TRUE);
    m_dwLastError = 0;
    const DWORD dwTimeout = m_ReadWriteTimeout;
    m_CurrentReadTimeout = dwTimeout;
    const DWORD dwWanted = *pdwLength;

    if (!ApplyTimeouts(dwTimeout)) {
        OutputDebugStringA("CSerialPort::Read OPOSSetCommTimeouts failure.");
        return FALSE;
    }
    OutputDebugStringA("CSerialPort::Read OPOSSetCommTimeouts successful. Conitnue to do ReadImp");

    DWORD dwRead = dwWanted;
    ReadImp(cpBuffer, dwBufferSize, &dwRead);

    m_dwLastError = GetLastError();
    char szText[64];
    memset(szText, 0, sizeof(szText));
    snprintf(szText, sizeof(szText), "CSerialPort::Read ReadImp LastError: %d", (int)m_dwLastError);
    OutputDebugStringA(szText);

    *pdwLength = dwRead;
    return dwRead >= dwWanted;
}

BOOL CSerialPort::ReadImp(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    OutputDebugStringA("CSerialPort::ReadImp entered");
    // Every attempt starts again at the beginning of the buffer.
    DWORD dwRead = *pdwLength;
    BOOL bOk = RobustNonOverlappedReadFile(cpBuffer, dwBufferSize, &dwRead);
    if (!bOk && m_bFirstRetry) {
        dwRead = *pdwLength;
        bOk = RobustNonOverlappedReadFile(cpBuffer, dwBufferSize, &dwRead);
    }
    if (!bOk && m_bSecondRetry) {
        dwRead = *pdwLength;
        bOk = RobustNonOverlappedReadFile(cpBuffer, dwBufferSize, &dwRead);
    }
    *pdwLength = dwRead;
    OutputDebugStringA("CSerialPort::ReadImp exiting");
    return bOk;
}

BOOL CSerialPort::RobustNonOverlappedReadFile(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    DWORD dwWanted = *pdwLength;
    if (dwWanted > dwBufferSize)
        dwWanted = dwBufferSize;
    DWORD dwTotal = 0;
    DWORD dwTimeout = m_ReadWriteTimeout;
    char szText[256];

    OutputDebugStringA("CSerialPort::RobustNonOverlappedReadFile entered");
    *pdwLength = 0;

    // Collect what was asked for; each call that brings bytes earns the next one a longer
    // time-out, and a call that brings none ends the wait.
    DWORD dwGot = 0;
    do {
        dwGot = 0;
        if (!ReadFile(m_hPort, cpBuffer + dwTotal, dwWanted - dwTotal, &dwGot, NULL))
            return ReadFailure(dwTotal + dwGot, pdwLength);
        memset(szText, 0, sizeof(szText));
        snprintf(szText, sizeof(szText), "CSerialPort::RobustNonOverlappedReadFile dwRead = %d", (int)dwGot);
        OutputDebugStringA(szText);
        if (dwGot > 0) {
            ApplyTimeouts(dwTimeout);
            dwTimeout += m_ReadTimeoutExtension;
            dwTotal += dwGot;
            TraceRead(cpBuffer, dwTotal);
        }
    } while (dwTotal < dwWanted && dwGot > 0);

    // The bytes in hand start a VLI frame: byte 1 is its length, or, when 0, bytes 2 and 3
    // hold it (low byte first). Fetch what the header announces beyond what was asked for,
    // as far as the buffer has room.
    if (dwTotal > 1) {
        DWORD dwFrameLength = 0;
        if (cpBuffer[1] != 0)
            dwFrameLength = cpBuffer[1];
        else if (dwTotal > 3)
            dwFrameLength = (DWORD)cpBuffer[2] + 256u * (DWORD)cpBuffer[3];
        if (dwFrameLength > dwTotal) {
            DWORD dwMissing = dwFrameLength - dwTotal;
            if (dwMissing > dwBufferSize - dwTotal)
                dwMissing = dwBufferSize - dwTotal;
            if (dwMissing > 0) {
                dwGot = 0;
                if (!ReadFile(m_hPort, cpBuffer + dwTotal, dwMissing, &dwGot, NULL))
                    return ReadFailure(dwTotal + dwGot, pdwLength);
                dwTotal += dwGot;
            }
        }
    }

    ApplyTimeouts(m_ReadWriteTimeout);
    OutputDebugStringA("CSerialPort::RobustNonOverlappedReadFile exiting.");
    *pdwLength = dwTotal;
    return dwTotal > 0;
}

BOOL CSerialPort::ReadFailure(DWORD dwTotal, DWORD* pdwLength) {
    DWORD dwError = GetLastError();
    *pdwLength = dwTotal;
    char szText[256];
    memset(szText, 0, sizeof(szText));
    snprintf(szText, sizeof(szText), "CSerialPort::read, Error %d nRead=%d\n", (int)dwError, (int)dwTotal);
    if (m_pDebugFile != NULL)
        m_pDebugFile->Log(0, szText, "");
    OutputDebugStringA(szText);
    PortTrace("m_ReadWriteTimeout=%d. %s", (int)m_ReadWriteTimeout, szText);
    // Read reports the platform's error after this; the log must not replace it.
    SetLastError(dwError);
    return FALSE;
}

DWORD CSerialPort::GetMaxBufferSize() { return 1024; }

void CSerialPort::BeginTransaction(LPCSTR) {}

void CSerialPort::EndTransaction(LPCSTR) {}

void CSerialPort::SetOwner(DWORD dwOwner) { CPort::SetOwner(dwOwner); }

void CSerialPort::ReleaseOwner(DWORD dwOwner) { CPort::ReleaseOwner(dwOwner); }
