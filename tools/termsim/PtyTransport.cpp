#include "PtyTransport.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace termsim {

PtyTransport::PtyTransport(std::string linkPath) : m_linkPath(std::move(linkPath)) {}

PtyTransport::~PtyTransport() {
    if (m_linkMade) {
        // Only our own link goes: someone may have replaced it meanwhile.
        char target[PATH_MAX];
        ssize_t n = readlink(m_linkPath.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == m_slavePath)
            unlink(m_linkPath.c_str());
    }
    if (m_slave >= 0)
        close(m_slave);
    if (m_master >= 0)
        close(m_master);
}

bool PtyTransport::open(std::string& error) {
    char name[PATH_MAX] = {0};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        error = std::string("openpty failed: ") + std::strerror(errno);
        return false;
    }
    m_slavePath = name;
    // Raw from the start: no echo, no line editing, no CR/LF translation, 8 data bits,
    // so that bytes pass unchanged even before the peer sets the line up itself.
    termios tio{};
    if (tcgetattr(m_slave, &tio) == 0) {
        cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tcsetattr(m_slave, TCSANOW, &tio);
    }
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);

    if (!m_linkPath.empty()) {
        struct stat st {};
        if (lstat(m_linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                error = "--link " + m_linkPath + " exists and is not a symbolic link";
                return false;
            }
            unlink(m_linkPath.c_str());
        }
        if (symlink(m_slavePath.c_str(), m_linkPath.c_str()) != 0) {
            error = "cannot make the link " + m_linkPath + ": " + std::strerror(errno);
            return false;
        }
        m_linkMade = true;
    }
    return true;
}

std::string PtyTransport::readyText() const {
    return "pty " + m_slavePath + (m_linkPath.empty() ? std::string() : " " + m_linkPath);
}

bool PtyTransport::accept(std::string& peer) {
    peer = m_slavePath;
    return true;
}

Transport::ReadResult PtyTransport::read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    ssize_t n = ::read(m_master, buffer, size);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return ReadResult::Data;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return ReadResult::Nothing;
    // EIO cannot happen while we hold the slave open; treat anything else as fatal.
    return ReadResult::Failed;
}

bool PtyTransport::write(const std::uint8_t* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(m_master, data + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_master, POLLOUT, 0};
            if (poll(&p, 1, 1000) == 0)
                return false;  // nobody drains the slave side
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace termsim
