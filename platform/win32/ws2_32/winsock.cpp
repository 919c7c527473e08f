// Windows Sockets over the host's BSD sockets (host_socket.cpp).
//
// Behaviours of Winsock that the code above relies on and that are reproduced here:
//  - every call but the byte-order functions and inet_addr fails with WSANOTINITIALISED
//    until WSAStartup has succeeded, and again once as many WSACleanup calls as
//    WSAStartup calls have been made; the last WSACleanup closes the sockets still open;
//  - WSAGetLastError is the thread's last error (GetLastError), set by every failure;
//  - a SOCKET is an opaque handle: a closed or made-up handle fails with WSAENOTSOCK
//    and never reaches a descriptor that the host has meanwhile given to someone else;
//  - closesocket wakes a select or receive that another thread is blocked in;
//  - a connection closed by the peer is readable in select, and the receive returns 0;
//  - a send to a peer that has gone fails (WSAECONNRESET) and never raises SIGPIPE;
//  - on a stream socket sendto ignores the destination and recvfrom leaves the source
//    untouched, as they do on a connected socket under Windows;
//  - after shutdown, a send (SD_SEND, SD_BOTH) or a receive (SD_RECEIVE, SD_BOTH) fails
//    with WSAESHUTDOWN;
//  - a blocking connect that gets no answer gives up after about 21 s with WSAETIMEDOUT.
#include <winsock2.h>

#include "host_socket.h"
#include "internal/settings.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using ws2_32::HostEndpoint;

struct SocketObject {
    int fd = -1;
    int nType = 0;
    bool bSendShut = false;     // guarded by the table's mutex
    bool bReceiveShut = false;  // guarded by the table's mutex

    ~SocketObject() {
        if (fd >= 0) {
            int nIgnored;
            ws2_32::HostClose(fd, &nIgnored);
        }
    }
};

typedef std::shared_ptr<SocketObject> SocketRef;

// The process's Winsock state: the start-up count and the open sockets. A call holds a
// reference to its socket for its whole duration, so a descriptor is closed only once
// no call is using it.
class Winsock {
public:
    static Winsock& Instance() {
        static Winsock instance;
        return instance;
    }

    std::mutex& Mutex() { return m_mutex; }

    void Startup() {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_nStartups;
    }

    // False when Winsock was not started.
    bool Cleanup(std::vector<SocketRef>& closing) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nStartups == 0)
            return false;
        if (--m_nStartups == 0) {
            for (auto& entry : m_sockets)
                closing.push_back(entry.second);
            m_sockets.clear();
        }
        return true;
    }

    bool Started() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_nStartups > 0;
    }

    // INVALID_SOCKET when Winsock is not started (the object is then dropped).
    SOCKET Add(const SocketRef& socketObject) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nStartups == 0)
            return INVALID_SOCKET;
        // Handles look like Windows' (small multiples of four) and are not reused while
        // another one is free, so a stale handle is very unlikely to hit a new socket.
        SOCKET s;
        do {
            m_nextHandle += 4;
            if (m_nextHandle >= 0x7ffffff0)
                m_nextHandle = 0x100;
            s = m_nextHandle;
        } while (m_sockets.count(s));
        m_sockets[s] = socketObject;
        return s;
    }

    // Looks a handle up; sets the Winsock error and returns null when it fails.
    SocketRef Find(SOCKET s) { return Take(s, false); }
    // The same, and the handle is gone from the table.
    SocketRef Remove(SOCKET s) { return Take(s, true); }

private:
    SocketRef Take(SOCKET s, bool bRemove) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_nStartups == 0) {
            WSASetLastError(WSANOTINITIALISED);
            return nullptr;
        }
        auto it = m_sockets.find(s);
        if (it == m_sockets.end()) {
            WSASetLastError(WSAENOTSOCK);
            return nullptr;
        }
        SocketRef found = it->second;
        if (bRemove)
            m_sockets.erase(it);
        return found;
    }

    std::mutex m_mutex;
    int m_nStartups = 0;
    SOCKET m_nextHandle = 0x100;
    std::map<SOCKET, SocketRef> m_sockets;
};

bool CheckStarted() {
    if (Winsock::Instance().Started())
        return true;
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

// How long a blocking connect waits for the handshake. Windows gives up after its SYN
// retries, about 21 s, where Linux would go on for about two minutes.
// IOCLASSLIB_CONNECT_TIMEOUT_MS sets another bound (tests use a short one), in whole
// milliseconds from 1 to a day.
long long ConnectTimeoutMs() {
    const long long kWindowsConnectTimeoutMs = 21000;
    const long long kMaxConnectTimeoutMs = 86400000;
    const char* pszValue = getenv("IOCLASSLIB_CONNECT_TIMEOUT_MS");
    if (pszValue == nullptr || *pszValue == '\0')
        return kWindowsConnectTimeoutMs;
    long long llValue = 0;
    const char* p = pszValue;
    for (; *p >= '0' && *p <= '9' && llValue <= kMaxConnectTimeoutMs; ++p)
        llValue = llValue * 10 + (*p - '0');
    if (*p == '\0' && llValue >= 1 && llValue <= kMaxConnectTimeoutMs)
        return llValue;
    win32::ReportUnusableSetting("IOCLASSLIB_CONNECT_TIMEOUT_MS", pszValue,
                                 "not a whole number of milliseconds from 1 to 86400000; 21000 is used");
    return kWindowsConnectTimeoutMs;
}

int Fail(int nWsaError) {
    WSASetLastError(nWsaError);
    return SOCKET_ERROR;
}

// Closes a socket that is no longer in the table. A call still blocked on it in another
// thread is woken by a shutdown; the descriptor goes when the last such call returns.
int Close(SocketRef socketObject) {
    if (socketObject.use_count() > 1) {
        int nIgnored;
        ws2_32::HostShutdown(socketObject->fd, SD_BOTH, &nIgnored);
        return 0;
    }
    const int fd = socketObject->fd;
    socketObject->fd = -1;
    int nError;
    if (ws2_32::HostClose(fd, &nError) != 0)
        return Fail(nError);
    return 0;
}

// The socket of a send or receive once its arguments pass: known, a buffer for a length
// above zero, and that direction not shut down. Null with the error set otherwise.
SocketRef TransferSocket(SOCKET s, const void* buf, int len, bool SocketObject::*pShut) {
    SocketRef socketObject = Winsock::Instance().Find(s);
    if (!socketObject)
        return nullptr;
    int nError = 0;
    if (len < 0) {
        nError = WSAEINVAL;
    } else if (buf == nullptr && len > 0) {
        nError = WSAEFAULT;
    } else {
        std::lock_guard<std::mutex> lock(Winsock::Instance().Mutex());
        if ((*socketObject).*pShut)
            nError = WSAESHUTDOWN;
    }
    if (nError == 0)
        return socketObject;
    Fail(nError);
    return nullptr;
}

// An IPv4 address record as the callers pass it: at least 16 bytes, family AF_INET.
bool EndpointFrom(const struct sockaddr* pName, int nNameLength, HostEndpoint* pEndpoint) {
    if (pName == nullptr || nNameLength < static_cast<int>(sizeof(sockaddr_in))) {
        WSASetLastError(WSAEFAULT);
        return false;
    }
    sockaddr_in sin;
    memcpy(&sin, pName, sizeof(sin));
    if (sin.sin_family != AF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return false;
    }
    pEndpoint->addrNet = sin.sin_addr.s_addr;
    pEndpoint->portNet = sin.sin_port;
    return true;
}

// What gethostbyname and getservbyname return points into this thread's own copy, which
// stays valid until the thread's next call of the same function.
struct HostEntryStorage {
    ws2_32::HostEntry entry;
    std::vector<char*> aliases;
    std::vector<char*> addresses;
    hostent result;
};

struct ServiceEntryStorage {
    ws2_32::ServiceEntry entry;
    std::vector<char*> aliases;
    servent result;
};

thread_local HostEntryStorage t_hostEntry;
thread_local ServiceEntryStorage t_serviceEntry;

// The entries of a set that count: a count past the array is cut to its end.
u_int SetSize(const fd_set* pSet) {
    if (pSet == nullptr)
        return 0;
    return pSet->fd_count < FD_SETSIZE ? pSet->fd_count : FD_SETSIZE;
}

}  // namespace

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
    const BYTE byMajor = LOBYTE(wVersionRequested);
    const BYTE byMinor = HIBYTE(wVersionRequested);
    if (byMajor == 0)
        return WSAVERNOTSUPPORTED;
    if (lpWSAData == nullptr)
        return WSAEFAULT;
    // Winsock grants what is asked for up to 2.2, and 2.2 above that.
    WORD wGranted = wVersionRequested;
    if (byMajor > 2 || (byMajor == 2 && byMinor > 2))
        wGranted = MAKEWORD(2, 2);
    memset(lpWSAData, 0, sizeof(*lpWSAData));
    lpWSAData->wVersion = wGranted;
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    strcpy(lpWSAData->szDescription, "WinSock 2.0");
    strcpy(lpWSAData->szSystemStatus, "Running");
    // Version 1 callers get the limits a version 1 stack reported; version 2 has none.
    if (byMajor == 1) {
        lpWSAData->iMaxSockets = 32767;
        lpWSAData->iMaxUdpDg = 65467;
    }
    Winsock::Instance().Startup();
    return 0;
}

int WSACleanup(void) {
    std::vector<SocketRef> closing;
    if (!Winsock::Instance().Cleanup(closing))
        return Fail(WSANOTINITIALISED);
    for (SocketRef& socketObject : closing)
        Close(std::move(socketObject));
    return 0;
}

int WSAGetLastError(void) { return static_cast<int>(GetLastError()); }

void WSASetLastError(int iError) { SetLastError(static_cast<DWORD>(iError)); }

SOCKET socket(int af, int type, int protocol) {
    if (!CheckStarted())
        return INVALID_SOCKET;
    int nError;
    const int fd = ws2_32::HostSocket(af, type, protocol, &nError);
    if (fd < 0) {
        WSASetLastError(nError);
        return INVALID_SOCKET;
    }
    SocketRef socketObject = std::make_shared<SocketObject>();
    socketObject->fd = fd;
    socketObject->nType = type;
    const SOCKET s = Winsock::Instance().Add(socketObject);
    if (s == INVALID_SOCKET)
        WSASetLastError(WSANOTINITIALISED);  // cleaned up meanwhile
    return s;
}

int bind(SOCKET s, const struct sockaddr* name, int namelen) {
    SocketRef socketObject = Winsock::Instance().Find(s);
    if (!socketObject)
        return SOCKET_ERROR;
    HostEndpoint local;
    if (!EndpointFrom(name, namelen, &local))
        return SOCKET_ERROR;
    int nError;
    if (ws2_32::HostBind(socketObject->fd, local, &nError) != 0)
        return Fail(nError);
    return 0;
}

int connect(SOCKET s, const struct sockaddr* name, int namelen) {
    SocketRef socketObject = Winsock::Instance().Find(s);
    if (!socketObject)
        return SOCKET_ERROR;
    HostEndpoint remote;
    if (!EndpointFrom(name, namelen, &remote))
        return SOCKET_ERROR;
    if (socketObject->nType == SOCK_STREAM) {
        // A stream cannot go to a broadcast or multicast address. Refused here, with the
        // host stack's own answer, so that such a connect never reaches the network.
        const u_long addr = ntohl(remote.addrNet);
        if (addr == INADDR_BROADCAST || (addr & 0xf0000000u) == 0xe0000000u)
            return Fail(WSAENETUNREACH);
    }
    int nError;
    if (ws2_32::HostConnect(socketObject->fd, remote, ConnectTimeoutMs(), &nError) != 0)
        return Fail(nError);
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    SocketRef socketObject = Winsock::Instance().Find(s);
    if (!socketObject)
        return SOCKET_ERROR;
    if (argp == nullptr)
        return Fail(WSAEFAULT);
    if (cmd != FIONREAD)
        return Fail(WSAEINVAL);
    int nError;
    const int n = ws2_32::HostBytesWaiting(socketObject->fd, &nError);
    if (n < 0)
        return Fail(nError);
    *argp = static_cast<u_long>(n);
    return 0;
}

int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const struct timeval* timeout) {
    (void)nfds;  // ignored, as by Winsock
    if (!CheckStarted())
        return SOCKET_ERROR;
    if (SetSize(readfds) + SetSize(writefds) + SetSize(exceptfds) == 0)
        return Fail(WSAEINVAL);

    long long llTimeoutMs = -1;
    if (timeout) {
        if (timeout->tv_sec < 0 || timeout->tv_usec < 0)
            return Fail(WSAEINVAL);
        llTimeoutMs = static_cast<long long>(timeout->tv_sec) * 1000 +
                      (static_cast<long long>(timeout->tv_usec) + 999) / 1000;
    }

    // One wait item per socket, whichever sets it is in.
    std::vector<SOCKET> itemHandles;
    std::vector<SocketRef> itemSockets;
    std::vector<ws2_32::HostPollItem> items;
    auto itemOf = [&](SOCKET s) -> ws2_32::HostPollItem* {
        for (size_t i = 0; i < itemHandles.size(); ++i)
            if (itemHandles[i] == s)
                return &items[i];
        SocketRef socketObject = Winsock::Instance().Find(s);
        if (!socketObject)
            return nullptr;
        itemHandles.push_back(s);
        itemSockets.push_back(socketObject);
        ws2_32::HostPollItem item;
        item.fd = socketObject->fd;
        items.push_back(item);
        return &items.back();
    };
    struct SetRole {
        fd_set* pSet;
        bool ws2_32::HostPollItem::*pWant;
        bool ws2_32::HostPollItem::*pGot;
    };
    const SetRole roles[] = {
        {readfds, &ws2_32::HostPollItem::wantRead, &ws2_32::HostPollItem::readable},
        {writefds, &ws2_32::HostPollItem::wantWrite, &ws2_32::HostPollItem::writable},
        {exceptfds, &ws2_32::HostPollItem::wantExcept, &ws2_32::HostPollItem::exceptional},
    };
    for (const SetRole& role : roles) {
        if (role.pSet == nullptr)
            continue;
        for (u_int i = 0; i < SetSize(role.pSet); ++i) {
            ws2_32::HostPollItem* pItem = itemOf(role.pSet->fd_array[i]);
            if (pItem == nullptr)
                return SOCKET_ERROR;
            pItem->*role.pWant = true;
        }
    }

    int nError;
    if (ws2_32::HostPoll(items, llTimeoutMs, &nError) < 0)
        return Fail(nError);

    // On return each set holds only its ready sockets; the result counts set entries.
    int nReady = 0;
    for (const SetRole& role : roles) {
        if (role.pSet == nullptr)
            continue;
        u_int nKept = 0;
        for (u_int i = 0; i < SetSize(role.pSet); ++i) {
            const SOCKET s = role.pSet->fd_array[i];
            for (size_t k = 0; k < itemHandles.size(); ++k) {
                if (itemHandles[k] == s && items[k].*role.pGot) {
                    role.pSet->fd_array[nKept++] = s;
                    break;
                }
            }
        }
        role.pSet->fd_count = nKept;
        nReady += static_cast<int>(nKept);
    }
    return nReady;
}

int __WSAFDIsSet(SOCKET s, fd_set* set) {
    for (u_int i = 0; i < SetSize(set); ++i)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

int sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen) {
    SocketRef socketObject = TransferSocket(s, buf, len, &SocketObject::bSendShut);
    if (!socketObject)
        return SOCKET_ERROR;
    HostEndpoint destination;
    const HostEndpoint* pDestination = nullptr;
    if (socketObject->nType != SOCK_STREAM && to != nullptr) {
        if (!EndpointFrom(to, tolen, &destination))
            return SOCKET_ERROR;
        pDestination = &destination;
    }
    int nError;
    const int n = ws2_32::HostSend(socketObject->fd, buf, len, flags, pDestination, &nError);
    if (n < 0)
        return Fail(nError);
    return n;
}

int recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen) {
    SocketRef socketObject = TransferSocket(s, buf, len, &SocketObject::bReceiveShut);
    if (!socketObject)
        return SOCKET_ERROR;
    const bool bWantSource = socketObject->nType != SOCK_STREAM && from != nullptr;
    if (bWantSource && (fromlen == nullptr || *fromlen < static_cast<int>(sizeof(sockaddr_in))))
        return Fail(WSAEFAULT);
    HostEndpoint source;
    int nError;
    const int n = ws2_32::HostReceive(socketObject->fd, buf, len, flags, &source, &nError);
    if (n < 0)
        return Fail(nError);
    if (bWantSource) {
        sockaddr_in sin;
        memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_port = source.portNet;
        sin.sin_addr.s_addr = source.addrNet;
        memcpy(from, &sin, sizeof(sin));
        *fromlen = sizeof(sin);
    }
    return n;
}

int shutdown(SOCKET s, int how) {
    SocketRef socketObject = Winsock::Instance().Find(s);
    if (!socketObject)
        return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH)
        return Fail(WSAEINVAL);
    int nError;
    if (ws2_32::HostShutdown(socketObject->fd, how, &nError) != 0)
        return Fail(nError);
    std::lock_guard<std::mutex> lock(Winsock::Instance().Mutex());
    if (how != SD_RECEIVE)
        socketObject->bSendShut = true;
    if (how != SD_SEND)
        socketObject->bReceiveShut = true;
    return 0;
}

int closesocket(SOCKET s) {
    SocketRef socketObject = Winsock::Instance().Remove(s);
    if (!socketObject)
        return SOCKET_ERROR;
    return Close(std::move(socketObject));
}

struct hostent* gethostbyname(const char* name) {
    if (!CheckStarted())
        return nullptr;
    int nError;
    std::string localName;
    // No name, or an empty one, means this machine.
    if (name == nullptr || *name == '\0') {
        if (!ws2_32::HostGetName(localName, &nError)) {
            WSASetLastError(nError);
            return nullptr;
        }
        name = localName.c_str();
    }
    HostEntryStorage& storage = t_hostEntry;
    if (!ws2_32::HostLookupName(name, storage.entry, &nError)) {
        WSASetLastError(nError);
        return nullptr;
    }
    storage.aliases.clear();
    for (std::string& alias : storage.entry.aliases)
        storage.aliases.push_back(&alias[0]);
    storage.aliases.push_back(nullptr);
    storage.addresses.clear();
    for (uint32_t& address : storage.entry.addressesNet)
        storage.addresses.push_back(reinterpret_cast<char*>(&address));
    storage.addresses.push_back(nullptr);
    storage.result.h_name = &storage.entry.name[0];
    storage.result.h_aliases = storage.aliases.data();
    storage.result.h_addrtype = AF_INET;
    storage.result.h_length = 4;
    storage.result.h_addr_list = storage.addresses.data();
    return &storage.result;
}

struct servent* getservbyname(const char* name, const char* proto) {
    if (!CheckStarted())
        return nullptr;
    if (name == nullptr) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    ServiceEntryStorage& storage = t_serviceEntry;
    int nError;
    if (!ws2_32::HostLookupService(name, proto, storage.entry, &nError)) {
        WSASetLastError(nError);
        return nullptr;
    }
    storage.aliases.clear();
    for (std::string& alias : storage.entry.aliases)
        storage.aliases.push_back(&alias[0]);
    storage.aliases.push_back(nullptr);
    storage.result.s_name = &storage.entry.name[0];
    storage.result.s_aliases = storage.aliases.data();
    storage.result.s_port = static_cast<short>(storage.entry.portNet);
    storage.result.s_proto = &storage.entry.protocol[0];
    return &storage.result;
}

int gethostname(char* name, int namelen) {
    if (!CheckStarted())
        return SOCKET_ERROR;
    if (name == nullptr || namelen <= 0)
        return Fail(WSAEFAULT);
    std::string localName;
    int nError;
    if (!ws2_32::HostGetName(localName, &nError))
        return Fail(nError);
    if (localName.size() + 1 > static_cast<size_t>(namelen))
        return Fail(WSAEFAULT);
    memcpy(name, localName.c_str(), localName.size() + 1);
    return 0;
}

unsigned long inet_addr(const char* cp) {
    if (cp == nullptr)
        return INADDR_NONE;
    uint32_t addrNet;
    if (!ws2_32::HostParseDotted(cp, &addrNet))
        return INADDR_NONE;
    return addrNet;
}

u_long htonl(u_long hostlong) {
    const uint32_t v = static_cast<uint32_t>(hostlong);
    uint32_t out;
    unsigned char* p = reinterpret_cast<unsigned char*>(&out);
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
    return out;
}

u_short htons(u_short hostshort) {
    u_short out;
    unsigned char* p = reinterpret_cast<unsigned char*>(&out);
    p[0] = static_cast<unsigned char>(hostshort >> 8);
    p[1] = static_cast<unsigned char>(hostshort);
    return out;
}

u_long ntohl(u_long netlong) {
    const uint32_t v = static_cast<uint32_t>(netlong);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&v);
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

u_short ntohs(u_short netshort) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&netshort);
    return static_cast<u_short>((p[0] << 8) | p[1]);
}
