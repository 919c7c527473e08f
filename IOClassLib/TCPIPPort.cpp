#include "TCPIPPort.h"

#include <string.h>

TCPIPPort::TCPIPPort(CDebugFile* pDebugFile, const CString& csIPAddress, int nPort)
    : CPort(pDebugFile), m_nPort(0), m_bConnected(FALSE) {
    m_ReadWriteTimeout = 10000;
    m_wOutputPacketSize = 512;
    m_bDataAvailableSupported = FALSE;
    m_nRetryCount = 1;
    m_ThreadWatcher.SetLogDeviceName("");

    m_csIPAddress = csIPAddress;
    m_nPort = nPort;
    FlushReceiveBuffer();
    m_bConnected = FALSE;

    // Every socket error also goes to standard error. Init's result is not needed: a
    // failure is in the socket's error text now and shows as a failed open later.
    m_Socket.SetVerbose(TRUE);
    m_Socket.SetHost(m_csIPAddress);
    m_Socket.SetHostPort((WORD)(m_nPort & 0xFFFF));
    m_Socket.Init();

    // The STX/ETX framing reads in steps of this size.
    m_wInputPacketSize = 50;
}

TCPIPPort::~TCPIPPort() {
    m_ThreadWatcher.StopWatcher();
    ClosePort();
    m_Socket.Cleanup();
}

void TCPIPPort::Log(LPCTSTR pszText) {
    if (m_pDebugFile != NULL)
        m_pDebugFile->Log(0, pszText, "");
}

BOOL TCPIPPort::SocketFailure(LPCTSTR pszOperation, DWORD* pdwLength) {
    m_dwLastError = (DWORD)WSAGetLastError();
    CString csText;
    csText.Format("-TCPIPPort::%s(). %s", pszOperation, (LPCTSTR)m_Socket.GetLastErrorText());
    Log(csText);
    *pdwLength = 0;
    return FALSE;
}

void TCPIPPort::FlushReceiveBuffer() {
    CSingleLock lock(&m_IOLock, TRUE);
    memset(m_byReceiveBuffer, 0, sizeof(m_byReceiveBuffer));
    // A reply that came after its exchange gave up (or the tail of a broken one) would
    // otherwise be read as the reply to the next command, and every later exchange with it.
    m_Socket.DiscardPending();
}

BOOL TCPIPPort::OpenPort() {
    CSingleLock lock(&m_OpenCloseLock, TRUE);
    ZeroCommTimeouts(&m_CommTimeouts);
    if (IsOpen())
        return TRUE;
    m_bConnected = m_Socket.Connect();
    if (!m_bConnected)
        m_dwLastError = (DWORD)m_Socket.GetLastErrorCode();
    return m_bConnected;
}

BOOL TCPIPPort::ClosePort() {
    CSingleLock lock(&m_OpenCloseLock, TRUE);
    // Closing wakes a read waiting on the socket; the flush then waits for it to end.
    m_Socket.Shutdown();
    FlushReceiveBuffer();
    m_bConnected = FALSE;
    return TRUE;
}

void TCPIPPort::CloseConnection() { ClosePort(); }

BOOL TCPIPPort::IsOpen() { return m_bConnected; }

BOOL TCPIPPort::Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    Log("+TCPIPPort::Read()");
    if (!IsOpen())
        return FALSE;
    if (cpBuffer == NULL || dwBufferSize == 0 || pdwLength == NULL)
        return FALSE;

    CSingleLock lock(&m_IOLock, TRUE);
    m_dwLastError = 0;

    const DWORD dwWanted = *pdwLength;
    const DWORD dwTimeout = m_ReadTimeoutModifier + 100 * dwWanted;
    PortTrace("TCP/IP Port. Read Time Out modif [%d]. Read Time out [%d]. dwLength [%d]\r\n", (int)dwTimeout,
              (int)m_ReadTimeoutModifier, (int)dwWanted);
    m_CurrentReadTimeout = dwTimeout;

    // A framing completing a reply over several reads may have left less time than that.
    const int nWait = m_Socket.WaitForData(LimitReadWait(dwTimeout));
    if (nWait == -1)
        return SocketFailure("Read", pdwLength);
    if (nWait == 0) {
        *pdwLength = 0;
        Log("-TCPIPPort::Read(). Socket timeout");
        return FALSE;
    }

    memset(m_byReceiveBuffer, 0, sizeof(m_byReceiveBuffer));
    DWORD dwAsk = dwWanted < TCPIP_RECEIVE_BUFFER_SIZE ? dwWanted : TCPIP_RECEIVE_BUFFER_SIZE;
    if (dwAsk > dwBufferSize)
        dwAsk = dwBufferSize;
    const int nReceived = m_Socket.Receive((char*)m_byReceiveBuffer, (int)dwAsk);
    if (nReceived == -1) {
        memset(m_byReceiveBuffer, 0, sizeof(m_byReceiveBuffer));
        return SocketFailure("Read", pdwLength);
    }

    memcpy(cpBuffer, m_byReceiveBuffer, (size_t)nReceived);
    *pdwLength = (DWORD)nReceived;
    TraceRead(cpBuffer, *pdwLength);
    Log("-TCPIPPort::Read()");
    return TRUE;
}

BOOL TCPIPPort::Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) {
    Log("+TCPIPPort::Write()");
    if (!IsOpen() || pBuffer == NULL || dwLength == 0 || pdwLength == NULL)
        return FALSE;

    CSingleLock lock(&m_IOLock, TRUE);
    m_dwLastError = 0;

    const int nSent = m_Socket.Send((const char*)pBuffer, (int)dwLength);
    if (nSent == -1)
        return SocketFailure("Write", pdwLength);
    *pdwLength = (DWORD)nSent;
    TraceWrite(pBuffer, *pdwLength);
    Log("-TCPIPPort::Write()");
    return TRUE;
}

DWORD TCPIPPort::GetMaxBufferSize() { return TCPIP_RECEIVE_BUFFER_SIZE; }

void TCPIPPort::BeginTransaction(LPCSTR) {}

void TCPIPPort::EndTransaction(LPCSTR) {}

void TCPIPPort::SetOwner(DWORD dwOwner) { CPort::SetOwner(dwOwner); }

void TCPIPPort::ReleaseOwner(DWORD dwOwner) { CPort::ReleaseOwner(dwOwner); }
