#include "SocketWrapper.h"

#include "SockAddr.h"

#include <stdio.h>
#include <string.h>

namespace {

struct NamedValue {
    int nValue;
    LPCTSTR pszName;
};

const NamedValue kSocketTypes[] = {
    {SOCK_DGRAM, "SOCK_DGRAM"},
    {SOCK_RAW, "SOCK_RAW"},
    {SOCK_RDM, "SOCK_RDM"},
    {SOCK_SEQPACKET, "SOCK_SEQPACKET"},
};

const NamedValue kProtocols[] = {
    {IPPROTO_ICMP, "IPPROTO_ICMP"}, {IPPROTO_IGMP, "IPPROTO_IGMP"}, {IPPROTO_GGP, "IPPROTO_GGP"},
    {IPPROTO_TCP, "IPPROTO_TCP"},   {IPPROTO_PUP, "IPPROTO_PUP"},   {IPPROTO_UDP, "IPPROTO_UDP"},
    {IPPROTO_IDP, "IPPROTO_IDP"},   {IPPROTO_ND, "IPPROTO_ND"},     {IPPROTO_RAW, "IPPROTO_RAW"},
};

// The numbers are Winsock's own values; anything else falls back to the default given.
template <size_t N>
const NamedValue& Lookup(const NamedValue (&table)[N], int nValue, const NamedValue& fallback) {
    for (const NamedValue& entry : table)
        if (entry.nValue == nValue)
            return entry;
    return fallback;
}

const NamedValue kStream = {SOCK_STREAM, "SOCK_STREAM"};
const NamedValue kProtocolIP = {IPPROTO_IP, "IPPROTO_IP"};

bool IsLoopback(DWORD dwAddress) { return (dwAddress >> 24) == 127; }

}  // namespace

CSocketWrapper::CSocketWrapper()
    : m_bVerbose(FALSE),
      m_bStarted(FALSE),
      m_wPort(0),
      wVersionRequested(MAKEWORD(1, 1)),
      m_hConnectedSocket(INVALID_SOCKET),
      m_hSocket(INVALID_SOCKET) {
    memset(&wsaData, 0, sizeof(wsaData));
    memset(&m_HostAddr, 0, sizeof(m_HostAddr));
    memset(&m_FromAddr, 0, sizeof(m_FromAddr));
}

CSocketWrapper::~CSocketWrapper() {}

SOCKET CSocketWrapper::GetSocket() const {
    const SOCKET hSocket = m_hSocket;
    if (m_hConnectedSocket == INVALID_SOCKET || hSocket == INVALID_SOCKET)
        return INVALID_SOCKET;
    return hSocket;
}

void CSocketWrapper::SetError(const CString& csText) {
    m_csLastError = csText;
    if (m_bVerbose)
        fprintf(stderr, "\n%s\n", (LPCTSTR)m_csLastError);
}

void CSocketWrapper::ReportError(LPCTSTR pszWhat) {
    m_nLastErrorCode = WSAGetLastError();
    CString csText;
    csText.Format("Error. %s %d", pszWhat, m_nLastErrorCode);
    SetError(csText);
}

BOOL CSocketWrapper::Init() {
    m_csLastError.Empty();
    if (m_csHost.IsEmpty()) {
        SetError("Error. Host Address not set");
        return FALSE;
    }
    if (m_wPort == 0) {
        SetError("Error. Host Port not set");
        return FALSE;
    }
    if (!Startup())
        return FALSE;
    if (!CheckVersion())
        return FALSE;
    return ResolveHost(m_csHost, m_wPort);
}

BOOL CSocketWrapper::Startup() {
    if (m_bStarted)
        return TRUE;
    m_csLastError.Empty();
    const int nResult = WSAStartup(wVersionRequested, &wsaData);
    if (nResult != 0) {
        m_bStarted = FALSE;
        CString csText;
        csText.Format("Error. WSAStartup failed with return code [%d]. Version requested is [%d]", nResult,
                      (int)wVersionRequested);
        SetError(csText);
        return FALSE;
    }
    m_bStarted = TRUE;
    return TRUE;
}

BOOL CSocketWrapper::CheckVersion() {
    m_csLastError.Empty();
    if (!m_bStarted) {
        SetError("Error. WSAStartup need to be performed first");
        return FALSE;
    }
    if (wsaData.wVersion == wVersionRequested)
        return TRUE;
    CString csText;
    csText.Format("Error. Check version requested failed. wsaData.wVersion[%d]. wVersionRequested[%d]",
                  (int)wsaData.wVersion, (int)wVersionRequested);
    SetError(csText);
    return FALSE;
}

BOOL CSocketWrapper::ResolveHost(LPCTSTR pszHost, WORD wPort) {
    hostent* pEntry = gethostbyname(pszHost);
    if (pEntry == NULL || pEntry->h_addr_list == NULL || pEntry->h_addr_list[0] == NULL) {
        CString csText;
        csText.Format("Error. Host not found: %s", pszHost);
        SetError(csText);
        return FALSE;
    }
    memset(&m_HostAddr, 0, sizeof(m_HostAddr));
    m_HostAddr.sin_family = AF_INET;
    memcpy(&m_HostAddr.sin_addr, pEntry->h_addr_list[0], sizeof(m_HostAddr.sin_addr));
    m_HostAddr.sin_port = htons(wPort);
    return TRUE;
}

BOOL CSocketWrapper::CreateSocket(int nType, int nProtocol) {
    if (IsValid()) {
        CString csText;
        csText.Format("Error. Socket already created %s", (LPCTSTR)m_csSocketDesc);
        SetError(csText);
        return FALSE;
    }
    // A socket created earlier and never connected would otherwise be lost here: nothing
    // else can close it, since only a connected socket counts as valid.
    ReleaseSocket();

    const NamedValue& type = Lookup(kSocketTypes, nType, kStream);
    const NamedValue& protocol = Lookup(kProtocols, nProtocol, kProtocolIP);
    CString csDesc;
    csDesc.Format("socket(%s, %s, %s)", "AF_INET", type.pszName, protocol.pszName);

    m_hSocket = socket(AF_INET, type.nValue, protocol.nValue);
    if (m_hSocket == INVALID_SOCKET) {
        ReportError(csDesc);
        return FALSE;
    }
    m_csSocketDesc = csDesc;
    return TRUE;
}

BOOL CSocketWrapper::IsUsableLocalAddress(DWORD dwLocal, DWORD dwRemote) {
    if (dwLocal == INADDR_NONE)
        return FALSE;
    if (IsLoopback(dwLocal) && !IsLoopback(dwRemote))
        return FALSE;
    return TRUE;
}

BOOL CSocketWrapper::Connect() {
    m_csLastError.Empty();
    Shutdown();
    if (!CreateSocket(SOCK_STREAM, IPPROTO_IP))
        return FALSE;

    CSockAddr sockAddr;
    if (!sockAddr.CreateFrom(m_csLocalHost.IsEmpty() ? NULL : (LPCTSTR)m_csLocalHost, "0", AF_INET)) {
        ReportError("sockAddr.CreateFrom(NULL, TEXT('0'), AF_INET) failed ");
        ReleaseSocket();
        return FALSE;
    }

    // An unresolvable host leaves 255.255.255.255, to which the connect is still tried.
    char szPort[16];
    sprintf(szPort, "%u", (unsigned)m_wPort);
    CSockAddr hostAddr;
    hostAddr.CreateFrom(m_csHost, szPort, AF_INET);

    // The source is this machine's own address wherever that can reach the host. A host
    // name that resolves to a loopback address (as many Linux machines are set up) or to
    // nothing cannot carry a connection to a terminal on the network: the system then
    // chooses the source, as for an unbound socket.
    if (!IsUsableLocalAddress(sockAddr.GetAddress(), hostAddr.GetAddress()))
        sockAddr.SetAddress(INADDR_ANY);

    if (bind(m_hSocket, sockAddr, CSockAddr::Size()) == SOCKET_ERROR) {
        ReportError("bind() failed ");
        ReleaseSocket();
        return FALSE;
    }
    if (connect(m_hSocket, hostAddr, CSockAddr::Size()) == SOCKET_ERROR) {
        ReportError("connect() failed ");
        ReleaseSocket();
        return FALSE;
    }
    m_hConnectedSocket = m_hSocket.load();
    return TRUE;
}

int CSocketWrapper::WaitForData(DWORD dwTimeoutMs) {
    const SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET)
        return -1;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(hSocket, &readSet);
    // To the millisecond: a wait cut down to whole seconds would not wait at all for a
    // reply under a second away, and the reply would be taken for missing.
    timeval tv;
    tv.tv_sec = (long)(dwTimeoutMs / 1000);
    tv.tv_usec = (long)(dwTimeoutMs % 1000) * 1000;
    const int nResult = select(0, &readSet, NULL, NULL, &tv);
    if (nResult == SOCKET_ERROR)
        ReportError("select()");
    return nResult;
}

int CSocketWrapper::DiscardPending() {
    const SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET)
        return 0;
    // Only what is already queued, counted first: a receive is never made that could
    // wait, nor one that would take the peer's close or a pending error away from the
    // next real receive. Bounded, so a peer that never stops sending cannot hold us here.
    const int kMostRounds = 64;
    char abyScratch[4096];
    int nDropped = 0;
    for (int nRound = 0; nRound < kMostRounds; ++nRound) {
        u_long ulWaiting = 0;
        if (ioctlsocket(hSocket, FIONREAD, &ulWaiting) == SOCKET_ERROR || ulWaiting == 0)
            break;
        const int nAsk = ulWaiting < sizeof(abyScratch) ? (int)ulWaiting : (int)sizeof(abyScratch);
        int nFromLength = sizeof(m_FromAddr);
        const int nGot =
            recvfrom(hSocket, abyScratch, nAsk, 0, reinterpret_cast<sockaddr*>(&m_FromAddr), &nFromLength);
        if (nGot <= 0)
            break;
        nDropped += nGot;
    }
    return nDropped;
}

int CSocketWrapper::Send(const char* pData, int nLength) {
    const SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET)
        return -1;
    // On the connected stream the destination is ignored: the data go to the peer.
    const int nResult = sendto(hSocket, pData, nLength, 0, reinterpret_cast<const sockaddr*>(&m_HostAddr),
                               sizeof(m_HostAddr));
    if (nResult == SOCKET_ERROR)
        ReportError("sendto()");
    return nResult;
}

int CSocketWrapper::Receive(char* pBuffer, int nLength) {
    const SOCKET hSocket = GetSocket();
    if (hSocket == INVALID_SOCKET)
        return -1;
    int nFromLength = sizeof(m_FromAddr);
    const int nResult =
        recvfrom(hSocket, pBuffer, nLength, 0, reinterpret_cast<sockaddr*>(&m_FromAddr), &nFromLength);
    if (nResult == SOCKET_ERROR)
        ReportError("recvfrom()");
    return nResult;
}

void CSocketWrapper::Shutdown() {
    if (!IsValid())
        return;
    shutdown(m_hSocket, SD_BOTH);
    CloseSocket();
}

void CSocketWrapper::CloseSocket() {
    if (!IsValid())
        return;
    if (closesocket(m_hSocket) == SOCKET_ERROR)
        ReportError("closesocket()");
    m_hSocket = INVALID_SOCKET;
    m_hConnectedSocket = INVALID_SOCKET;
    m_csSocketDesc.Empty();
}

void CSocketWrapper::ReleaseSocket() {
    if (m_hSocket != INVALID_SOCKET) {
        shutdown(m_hSocket, SD_BOTH);
        closesocket(m_hSocket);
    }
    m_hSocket = INVALID_SOCKET;
    m_hConnectedSocket = INVALID_SOCKET;
    m_csSocketDesc.Empty();
}

void CSocketWrapper::Cleanup() {
    if (!m_bStarted)
        return;
    Shutdown();
    WSACleanup();
    m_bStarted = FALSE;
}
