// One Winsock socket for the TCP/IP port: starts Winsock and checks the version granted,
// resolves the host, connects, waits for data, sends and receives, shuts down. Keeps the
// text of the last error and, when verbose, prints each error on standard error.
// Blocking throughout; the owner serialises the calls.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <afx.h>

#include <atomic>

class CSocketWrapper {
public:
    CSocketWrapper();
    // Releases the strings only: the owner calls Cleanup.
    ~CSocketWrapper();

    void SetHost(LPCTSTR pszHost) { m_csHost = pszHost; }
    CString GetHost() const { return m_csHost; }
    void SetHostPort(WORD wPort) { m_wPort = wPort; }
    WORD GetHostPort() const { return m_wPort; }
    void SetVerbose(BOOL bVerbose) { m_bVerbose = bVerbose != 0; }
    CString GetLastErrorText() const { return m_csLastError; }
    // The Winsock code of the last failed call, kept apart from WSAGetLastError: cleaning up
    // after a failed connect makes calls of its own that change that one.
    int GetLastErrorCode() const { return m_nLastErrorCode; }
    // "socket(family, type, protocol)" of the socket created last; empty once closed.
    CString GetSocketDesc() const { return m_csSocketDesc; }

    // Where Connect takes its source address from: empty (the default) is this machine's
    // own host name, otherwise a host name or dotted address given here.
    void SetLocalHost(LPCTSTR pszLocalHost) { m_csLocalHost = pszLocalHost; }
    CString GetLocalHost() const { return m_csLocalHost; }

    // Checks the settings, starts Winsock, checks the version and resolves the host.
    BOOL Init();
    BOOL Startup();
    BOOL CheckVersion();
    BOOL ResolveHost(LPCTSTR pszHost, WORD wPort);

    // An AF_INET socket of the type and protocol named by the numbers (unknown numbers:
    // a stream socket, protocol IPPROTO_IP).
    BOOL CreateSocket(int nType, int nProtocol);
    // A new stream socket, bound to this machine's address, connected to the host.
    BOOL Connect();

    // 1 when data (or the peer's close) can be read, 0 after dwTimeoutMs, -1 on error.
    int WaitForData(DWORD dwTimeoutMs);
    // Receives and drops what the peer has sent that is already here, without waiting;
    // the number of bytes dropped. Errors are left for the next Receive to report.
    int DiscardPending();
    // One transfer each: bytes moved, or -1. Receive gives 0 once the peer has closed.
    int Send(const char* pData, int nLength);
    int Receive(char* pBuffer, int nLength);

    void Shutdown();
    void CloseSocket();
    void Cleanup();

    // Records "Error. <pszWhat> <Winsock error>" (and prints it when verbose).
    void ReportError(LPCTSTR pszWhat);

    SOCKET GetSocket() const;
    BOOL IsValid() const { return GetSocket() != INVALID_SOCKET; }

    // Whether Connect may bind to dwLocal (host byte order) to reach dwRemote: not when
    // the local name did not resolve (255.255.255.255), nor when a loopback source would
    // have to reach an address off this machine. Connect then binds to any address.
    static BOOL IsUsableLocalAddress(DWORD dwLocal, DWORD dwRemote);

private:
    CSocketWrapper(const CSocketWrapper&) = delete;
    CSocketWrapper& operator=(const CSocketWrapper&) = delete;

    void SetError(const CString& csText);
    // Shuts down and closes m_hSocket whether or not it is connected.
    void ReleaseSocket();

    CString m_csHost;
    CString m_csLastError;
    int m_nLastErrorCode = 0;
    CString m_csSocketDesc;
    BOOL m_bVerbose;
    BOOL m_bStarted;
    WORD m_wPort;
    WORD wVersionRequested;
    // Atomic because the port closes the socket while a read may be waiting on it in
    // another thread.
    std::atomic<SOCKET> m_hConnectedSocket;
    WSADATA wsaData;
    std::atomic<SOCKET> m_hSocket;
    sockaddr_in m_HostAddr;
    sockaddr_in m_FromAddr;
    CString m_csLocalHost;
};
