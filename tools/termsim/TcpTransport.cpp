#include "TcpTransport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace termsim {

TcpTransport::~TcpTransport() {
    disconnect();
    if (m_listener >= 0)
        close(m_listener);
}

bool TcpTransport::open(std::string& error) {
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listener < 0) {
        error = std::string("socket failed: ") + std::strerror(errno);
        return false;
    }
    int one = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(m_requestedPort));
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot listen on 127.0.0.1 port " + std::to_string(m_requestedPort) + ": " +
                std::strerror(errno);
        return false;
    }
    if (listen(m_listener, 8) != 0) {
        error = std::string("listen failed: ") + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    return true;
}

std::string TcpTransport::readyText() const { return "tcp 127.0.0.1 " + std::to_string(m_port); }

bool TcpTransport::accept(std::string& peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int fd =
        accept4(m_listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return false;
    // Each write of a reply is to leave as its own segment, so split replies really
    // arrive split.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_connection = fd;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    peer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
    return true;
}

Transport::ReadResult TcpTransport::read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (m_connection < 0)
        return ReadResult::Closed;
    ssize_t n = recv(m_connection, buffer, size, 0);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return ReadResult::Data;
    }
    if (n == 0)
        return ReadResult::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return ReadResult::Nothing;
    return errno == ECONNRESET ? ReadResult::Closed : ReadResult::Failed;
}

bool TcpTransport::write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size && m_connection >= 0) {
        ssize_t n = send(m_connection, data + done, size - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_connection, POLLOUT, 0};
            if (poll(&p, 1, 1000) == 0)
                return false;
        } else {
            return false;
        }
    }
    return done == size;
}

void TcpTransport::disconnect() {
    if (m_connection >= 0) {
        shutdown(m_connection, SHUT_RDWR);
        close(m_connection);
        m_connection = -1;
    }
}

}  // namespace termsim
