// The host side of ws2_32: the only file that calls the BSD socket API and the resolver.
#include "host_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include "internal/deadline.h"

namespace ws2_32 {

namespace {

// Winsock's values of the flags that both sides know; anything else is refused.
const int kWsaMsgOob = 0x1;
const int kWsaMsgPeek = 0x2;
const int kWsaMsgDontRoute = 0x4;

bool HostFlags(int nWsaFlags, int* pHostFlags) {
    if (nWsaFlags & ~(kWsaMsgOob | kWsaMsgPeek | kWsaMsgDontRoute))
        return false;
    int nHost = 0;
    if (nWsaFlags & kWsaMsgOob)
        nHost |= MSG_OOB;
    if (nWsaFlags & kWsaMsgPeek)
        nHost |= MSG_PEEK;
    if (nWsaFlags & kWsaMsgDontRoute)
        nHost |= MSG_DONTROUTE;
    *pHostFlags = nHost;
    return true;
}

sockaddr_in ToHost(const HostEndpoint& endpoint) {
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = endpoint.portNet;
    sa.sin_addr.s_addr = endpoint.addrNet;
    return sa;
}

int Fail(int* pWsaError, int nErrno) {
    *pWsaError = WsaErrorFromErrno(nErrno);
    return -1;
}

// The resolver's h_errno codes, as Winsock reports a failed lookup.
int WsaErrorFromHostError(int nHostError) {
    switch (nHostError) {
    case HOST_NOT_FOUND: return 11001;  // WSAHOST_NOT_FOUND
    case TRY_AGAIN: return 11002;       // WSATRY_AGAIN
    case NO_RECOVERY: return 11003;     // WSANO_RECOVERY
    case NO_DATA: return 11004;         // WSANO_DATA
    default: return 11003;
    }
}

}  // namespace

// errno to Winsock's codes: the one place where host errors get their Windows names.
int WsaErrorFromErrno(int nErrno) {
    switch (nErrno) {
    case EINTR: return 10004;  // WSAEINTR
    case EBADF: return 10009;  // WSAEBADF
    case EACCES:
    case EPERM: return 10013;   // WSAEACCES
    case EFAULT: return 10014;  // WSAEFAULT
    case EINVAL: return 10022;  // WSAEINVAL
    case EMFILE:
    case ENFILE: return 10024;           // WSAEMFILE
    case EAGAIN: return 10035;           // WSAEWOULDBLOCK
    case EINPROGRESS: return 10036;      // WSAEINPROGRESS
    case EALREADY: return 10037;         // WSAEALREADY
    case ENOTSOCK: return 10038;         // WSAENOTSOCK
    case EDESTADDRREQ: return 10039;     // WSAEDESTADDRREQ
    case EMSGSIZE: return 10040;         // WSAEMSGSIZE
    case EPROTOTYPE: return 10041;       // WSAEPROTOTYPE
    case ENOPROTOOPT: return 10042;      // WSAENOPROTOOPT
    case EPROTONOSUPPORT: return 10043;  // WSAEPROTONOSUPPORT
    case ESOCKTNOSUPPORT: return 10044;  // WSAESOCKTNOSUPPORT
    case EOPNOTSUPP: return 10045;       // WSAEOPNOTSUPP
    case EPFNOSUPPORT: return 10046;     // WSAEPFNOSUPPORT
    case EAFNOSUPPORT: return 10047;     // WSAEAFNOSUPPORT
    case EADDRINUSE: return 10048;       // WSAEADDRINUSE
    case EADDRNOTAVAIL: return 10049;    // WSAEADDRNOTAVAIL
    case ENETDOWN: return 10050;         // WSAENETDOWN
    case ENETUNREACH: return 10051;      // WSAENETUNREACH
    case ENETRESET: return 10052;        // WSAENETRESET
    case ECONNABORTED:
        return 10053;  // WSAECONNABORTED
    // A send to a peer that has gone: Winsock says the connection was reset.
    case EPIPE:
    case ECONNRESET: return 10054;  // WSAECONNRESET
    case ENOBUFS:
    case ENOMEM: return 10055;        // WSAENOBUFS
    case EISCONN: return 10056;       // WSAEISCONN
    case ENOTCONN: return 10057;      // WSAENOTCONN
    case ESHUTDOWN: return 10058;     // WSAESHUTDOWN
    case ETOOMANYREFS: return 10059;  // WSAETOOMANYREFS
    case ETIMEDOUT: return 10060;     // WSAETIMEDOUT
    case ECONNREFUSED: return 10061;  // WSAECONNREFUSED
    case ELOOP: return 10062;         // WSAELOOP
    case ENAMETOOLONG: return 10063;  // WSAENAMETOOLONG
    case EHOSTDOWN: return 10064;     // WSAEHOSTDOWN
    case EHOSTUNREACH: return 10065;  // WSAEHOSTUNREACH
    case ENOTEMPTY: return 10066;     // WSAENOTEMPTY
    case EDQUOT: return 10069;        // WSAEDQUOT
    case ESTALE: return 10070;        // WSAESTALE
    case EREMOTE: return 10071;       // WSAEREMOTE
    default: return 10107;            // WSASYSCALLFAILURE
    }
}

int HostSocket(int nFamily, int nType, int nProtocol, int* pWsaError) {
    // Winsock's family and type numbers for IPv4 are the host's; only the flag differs.
    if (nFamily != AF_INET)
        return Fail(pWsaError, EAFNOSUPPORT);
    int fd = ::socket(AF_INET, nType | SOCK_CLOEXEC, nProtocol);
    if (fd < 0)
        return Fail(pWsaError, errno);
    return fd;
}

int HostBind(int fd, const HostEndpoint& local, int* pWsaError) {
    sockaddr_in sa = ToHost(local);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0)
        return Fail(pWsaError, errno);
    return 0;
}

int HostConnect(int fd, const HostEndpoint& remote, long long llTimeoutMs, int* pWsaError) {
    // Started without blocking so that the wait for the handshake has Windows' bound
    // rather than the host's, then waited for in poll(); a signal does not abandon it.
    const int nFlags = ::fcntl(fd, F_GETFL);
    if (nFlags < 0 || ::fcntl(fd, F_SETFL, nFlags | O_NONBLOCK) != 0)
        return Fail(pWsaError, errno);
    auto finish = [&](int nErrno) {
        ::fcntl(fd, F_SETFL, nFlags);
        return nErrno == 0 ? 0 : Fail(pWsaError, nErrno);
    };
    sockaddr_in sa = ToHost(remote);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0)
        return finish(0);
    if (errno != EINPROGRESS && errno != EINTR)
        return finish(errno);

    const win32::MonotonicClock& clock = win32::MonotonicClock::System();
    const win32::MonotonicMs deadline = clock.Now() + static_cast<win32::MonotonicMs>(llTimeoutMs);
    for (;;) {
        const win32::MonotonicMs now = clock.Now();
        if (now >= deadline)
            return finish(ETIMEDOUT);
        const win32::MonotonicMs left = deadline - now;
        pollfd pfd = {fd, POLLOUT, 0};
        const int n = ::poll(&pfd, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return finish(errno);
        if (n == 0)
            continue;  // the deadline check above ends it
        int nError = 0;
        socklen_t len = sizeof(nError);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &nError, &len) != 0)
            return finish(errno);
        return finish(nError);
    }
}

int HostBytesWaiting(int fd, int* pWsaError) {
    int nWaiting = 0;
    if (::ioctl(fd, FIONREAD, &nWaiting) != 0)
        return Fail(pWsaError, errno);
    return nWaiting;
}

int HostPoll(std::vector<HostPollItem>& items, long long llTimeoutMs, int* pWsaError) {
    std::vector<pollfd> pfds(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        short events = 0;
        if (items[i].wantRead)
            events |= POLLIN;
        if (items[i].wantWrite)
            events |= POLLOUT;
        if (items[i].wantExcept)
            events |= POLLPRI;
        pfds[i].fd = items[i].fd;
        pfds[i].events = events;
        pfds[i].revents = 0;
    }
    // The time-out counts from the call: a wait resumed after a signal gets only what is
    // left of it, and a wait longer than poll() can express is taken in steps.
    const win32::MonotonicClock& clock = win32::MonotonicClock::System();
    const win32::MonotonicMs deadline =
        llTimeoutMs < 0 ? 0 : clock.Now() + static_cast<win32::MonotonicMs>(llTimeoutMs);
    int n;
    for (;;) {
        int nWait = -1;
        if (llTimeoutMs >= 0) {
            const win32::MonotonicMs now = clock.Now();
            const win32::MonotonicMs left = deadline > now ? deadline - now : 0;
            nWait = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        n = ::poll(pfds.data(), pfds.size(), nWait);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && nWait == INT_MAX)
            continue;  // one step of a longer wait
        break;
    }
    if (n < 0)
        return Fail(pWsaError, errno);
    int nReady = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        const short r = pfds[i].revents;
        // As on Windows, a closed or failed connection counts as readable (the receive
        // then reports it) and a send on it does not block (it fails).
        items[i].readable = items[i].wantRead && (r & (POLLIN | POLLHUP | POLLERR));
        items[i].writable = items[i].wantWrite && (r & (POLLOUT | POLLHUP | POLLERR));
        items[i].exceptional = items[i].wantExcept && (r & POLLPRI);
        if (items[i].readable || items[i].writable || items[i].exceptional)
            ++nReady;
    }
    return nReady;
}

int HostSend(int fd, const char* pData, int nLength, int nFlags, const HostEndpoint* pTo, int* pWsaError) {
    int nHostFlags;
    if (!HostFlags(nFlags, &nHostFlags))
        return Fail(pWsaError, EOPNOTSUPP);
    // MSG_NOSIGNAL: a peer that has gone must fail the send, never end the process.
    nHostFlags |= MSG_NOSIGNAL;
    sockaddr_in sa;
    const sockaddr* pAddr = nullptr;
    socklen_t addrLen = 0;
    if (pTo) {
        sa = ToHost(*pTo);
        pAddr = reinterpret_cast<sockaddr*>(&sa);
        addrLen = sizeof(sa);
    }
    ssize_t n;
    do {
        n = ::sendto(fd, pData, static_cast<size_t>(nLength), nHostFlags, pAddr, addrLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(pWsaError, errno);
    return static_cast<int>(n);
}

int HostReceive(int fd, char* pBuffer, int nLength, int nFlags, HostEndpoint* pFrom, int* pWsaError) {
    int nHostFlags;
    if (!HostFlags(nFlags, &nHostFlags))
        return Fail(pWsaError, EOPNOTSUPP);
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    socklen_t addrLen = sizeof(sa);
    ssize_t n;
    do {
        addrLen = sizeof(sa);
        n = ::recvfrom(fd, pBuffer, static_cast<size_t>(nLength), nHostFlags,
                       reinterpret_cast<sockaddr*>(&sa), &addrLen);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail(pWsaError, errno);
    if (pFrom) {
        pFrom->addrNet = sa.sin_addr.s_addr;
        pFrom->portNet = sa.sin_port;
    }
    return static_cast<int>(n);
}

int HostShutdown(int fd, int nHow, int* pWsaError) {
    // SD_RECEIVE, SD_SEND and SD_BOTH have the values of SHUT_RD, SHUT_WR and SHUT_RDWR.
    if (::shutdown(fd, nHow) != 0)
        return Fail(pWsaError, errno);
    return 0;
}

int HostClose(int fd, int* pWsaError) {
    // close() releases the descriptor even when it reports EINTR, so it is never retried.
    if (::close(fd) != 0 && errno != EINTR)
        return Fail(pWsaError, errno);
    return 0;
}

bool HostGetName(std::string& name, int* pWsaError) {
    char szName[256 + 1];
    memset(szName, 0, sizeof(szName));
    if (::gethostname(szName, sizeof(szName) - 1) != 0) {
        Fail(pWsaError, errno);
        return false;
    }
    name = szName;
    return true;
}

bool HostLookupName(const char* pszName, HostEntry& entry, int* pWsaError) {
    std::vector<char> work(1024);
    hostent he;
    hostent* pResult = nullptr;
    int nHostError = 0;
    for (;;) {
        int rc = ::gethostbyname_r(pszName, &he, work.data(), work.size(), &pResult, &nHostError);
        if (rc == ERANGE && work.size() < (1u << 20)) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0 || pResult == nullptr) {
            *pWsaError = WsaErrorFromHostError(rc == 0 ? nHostError : NO_RECOVERY);
            return false;
        }
        break;
    }
    if (he.h_addrtype != AF_INET || he.h_length != 4) {
        *pWsaError = WsaErrorFromHostError(NO_DATA);
        return false;
    }
    entry = HostEntry();
    entry.name = he.h_name ? he.h_name : "";
    for (char** pp = he.h_aliases; pp && *pp; ++pp)
        entry.aliases.push_back(*pp);
    for (char** pp = he.h_addr_list; pp && *pp; ++pp) {
        uint32_t addr;
        memcpy(&addr, *pp, 4);
        entry.addressesNet.push_back(addr);
    }
    return true;
}

bool HostLookupService(const char* pszName, const char* pszProtocol, ServiceEntry& entry, int* pWsaError) {
    std::vector<char> work(1024);
    servent se;
    servent* pResult = nullptr;
    for (;;) {
        int rc = ::getservbyname_r(pszName, pszProtocol, &se, work.data(), work.size(), &pResult);
        if (rc == ERANGE && work.size() < (1u << 20)) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0 || pResult == nullptr) {
            *pWsaError = WsaErrorFromHostError(NO_DATA);
            return false;
        }
        break;
    }
    entry = ServiceEntry();
    entry.name = se.s_name ? se.s_name : "";
    for (char** pp = se.s_aliases; pp && *pp; ++pp)
        entry.aliases.push_back(*pp);
    entry.portNet = static_cast<uint16_t>(se.s_port);
    entry.protocol = se.s_proto ? se.s_proto : "";
    return true;
}

bool HostParseDotted(const char* pszText, uint32_t* pAddrNet) {
    in_addr addr;
    if (::inet_aton(pszText, &addr) == 0)
        return false;
    *pAddrNet = addr.s_addr;
    return true;
}

}  // namespace ws2_32
