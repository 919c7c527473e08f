// The port that reaches the terminal over a TCP connection: a blocking connect, reads
// that wait for data with a time-out growing with the count asked for, single sends, and
// entry and exit of every read and write in the debug log.
#pragma once

// Winsock before anything that brings in <windows.h>, as the SDK wants it.
#include "SocketWrapper.h"

#include <afxmt.h>

#include "Port.h"

#define TCPIP_RECEIVE_BUFFER_SIZE 6144

class TCPIPPort : public CPort {
public:
    // Starts Winsock and resolves csIPAddress now; a failure shows in the socket's error
    // text (and on standard error) and later as a failed open. Only the low 16 bits of
    // nPort are used.
    TCPIPPort(CDebugFile* pDebugFile, const CString& csIPAddress, int nPort);
    ~TCPIPPort() override;

    // Clears the staging buffer and drops the bytes already waiting in the socket.
    void FlushReceiveBuffer() override;
    // Connects unless already connected.
    BOOL OpenPort() override;
    // Shuts the connection down; always TRUE.
    BOOL ClosePort() override;
    void CloseConnection() override;
    BOOL IsOpen() override;
    // One send; a partial send is reported as it is.
    BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) override;
    // One wait of (m_ReadTimeoutModifier + 100 ms per byte asked for), cut short by a read
    // deadline the framing set, then one receive of at most 6144 bytes. A closed
    // connection reads as TRUE, 0 bytes.
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override;
    DWORD GetMaxBufferSize() override;
    void BeginTransaction(LPCSTR pszSemaphoreTrace) override;
    void EndTransaction(LPCSTR pszSemaphoreTrace) override;
    void SetOwner(DWORD dwOwner) override;
    void ReleaseOwner(DWORD dwOwner) override;

    CSocketWrapper m_Socket;
    // Read, Write and FlushReceiveBuffer.
    CCriticalSection m_IOLock;
    // OpenPort and ClosePort; always taken before m_IOLock.
    CCriticalSection m_OpenCloseLock;
    CString m_csIPAddress;
    int m_nPort;
    BYTE m_byReceiveBuffer[TCPIP_RECEIVE_BUFFER_SIZE];
    BOOL m_bConnected;

private:
    void Log(LPCTSTR pszText);
    // A failed socket call of Read or Write: keeps the Winsock error, logs
    // "-TCPIPPort::<operation>(). <socket error text>", reports no bytes; FALSE.
    BOOL SocketFailure(LPCTSTR pszOperation, DWORD* pdwLength);
};
