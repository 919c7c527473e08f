// A TCP peer on a loopback address for the tests of the Winsock layer and the TCP/IP
// port: listens, accepts, sends, receives and closes on the test's command.
//
// The interface uses plain types only, because the host's socket headers and
// <winsock2.h> cannot meet in one translation unit. Exactly one source file of each test
// program, one that does not include <winsock2.h>, defines TCP_TEST_PEER_IMPLEMENTATION
// before including this header.
#pragma once

#include <stddef.h>

#include <string>

namespace tcp_test {

class LoopbackPeer {
public:
    // Listens on pszAddress (a 127.0.0.0/8 address) at nPort, or at a port the system
    // chooses when nPort is 0. A
    // peer that never calls Accept still lets clients connect (the system's backlog),
    // which is how a terminal that never answers is played.
    explicit LoopbackPeer(const char* pszAddress = "127.0.0.1", unsigned short nPort = 0, int nBacklog = 4);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool IsListening() const { return m_listenFd >= 0; }
    unsigned short Port() const { return m_port; }

    // Waits up to nTimeoutMs for a client; the connection replaces any earlier one.
    bool Accept(int nTimeoutMs = 5000);
    // Dotted source address of the accepted client.
    std::string ClientAddress() const { return m_clientAddress; }

    bool Send(const std::string& bytes);
    // Reads until nCount bytes have come, the peer closed, or nTimeoutMs passed.
    std::string Receive(size_t nCount, int nTimeoutMs = 5000);
    // True once the client has closed its side (a read returns end of stream).
    bool ClientClosed(int nTimeoutMs = 5000);

    void CloseConnection();
    void CloseListener();

private:
    int m_listenFd = -1;
    int m_connFd = -1;
    unsigned short m_port = 0;
    std::string m_clientAddress;
};

// A loopback port with nobody listening on it: a connect there is refused.
unsigned short UnusedLoopbackPort();

}  // namespace tcp_test

#ifdef TCP_TEST_PEER_IMPLEMENTATION

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcp_test {

namespace {

bool WaitReadable(int fd, int nTimeoutMs) {
    pollfd pfd = {fd, POLLIN, 0};
    int n;
    do {
        n = ::poll(&pfd, 1, nTimeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

int ListenOn(const char* pszAddress, unsigned short nPort, int nBacklog, unsigned short* pPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(nPort);
    if (::inet_pton(AF_INET, pszAddress, &sa.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 || ::listen(fd, nBacklog) != 0) {
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof(sa);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    *pPort = ntohs(sa.sin_port);
    return fd;
}

}  // namespace

LoopbackPeer::LoopbackPeer(const char* pszAddress, unsigned short nPort, int nBacklog) {
    m_listenFd = ListenOn(pszAddress, nPort, nBacklog, &m_port);
}

LoopbackPeer::~LoopbackPeer() {
    CloseConnection();
    CloseListener();
}

bool LoopbackPeer::Accept(int nTimeoutMs) {
    if (m_listenFd < 0 || !WaitReadable(m_listenFd, nTimeoutMs))
        return false;
    sockaddr_in sa;
    socklen_t len = sizeof(sa);
    int fd = ::accept4(m_listenFd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    if (fd < 0)
        return false;
    CloseConnection();
    m_connFd = fd;
    char sz[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &sa.sin_addr, sz, sizeof(sz));
    m_clientAddress = sz;
    return true;
}

bool LoopbackPeer::Send(const std::string& bytes) {
    size_t nDone = 0;
    while (m_connFd >= 0 && nDone < bytes.size()) {
        ssize_t n = ::send(m_connFd, bytes.data() + nDone, bytes.size() - nDone, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        nDone += static_cast<size_t>(n);
    }
    return m_connFd >= 0;
}

std::string LoopbackPeer::Receive(size_t nCount, int nTimeoutMs) {
    std::string out;
    while (m_connFd >= 0 && out.size() < nCount && WaitReadable(m_connFd, nTimeoutMs)) {
        char buf[4096];
        size_t nWant = nCount - out.size();
        if (nWant > sizeof(buf))
            nWant = sizeof(buf);
        ssize_t n = ::recv(m_connFd, buf, nWant, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool LoopbackPeer::ClientClosed(int nTimeoutMs) {
    while (m_connFd >= 0 && WaitReadable(m_connFd, nTimeoutMs)) {
        char buf[256];
        ssize_t n = ::recv(m_connFd, buf, sizeof(buf), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return true;
    }
    return false;
}

void LoopbackPeer::CloseConnection() {
    if (m_connFd >= 0)
        ::close(m_connFd);
    m_connFd = -1;
}

void LoopbackPeer::CloseListener() {
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    m_listenFd = -1;
}

unsigned short UnusedLoopbackPort() {
    unsigned short port = 0;
    int fd = ListenOn("127.0.0.1", 0, 1, &port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

}  // namespace tcp_test

#endif  // TCP_TEST_PEER_IMPLEMENTATION
