// Test helper: a pseudo-terminal pair whose master side the test holds as "the terminal",
// while the code under test opens the slave side as its serial line.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace commtest {

class PtyPair {
public:
    PtyPair() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        char name[128];
        if (ptsname_r(m_master, name, sizeof(name)) == 0)
            m_slavePath = name;
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return m_master >= 0 && !m_slavePath.empty(); }
    int master() const { return m_master; }
    const std::string& slavePath() const { return m_slavePath; }

    // The terminal sends.
    bool Send(const void* data, size_t n) {
        const char* p = static_cast<const char*>(data);
        while (n > 0) {
            ssize_t k = write(m_master, p, n);
            if (k <= 0)
                return false;
            p += k;
            n -= (size_t)k;
        }
        return true;
    }
    bool Send(const std::vector<unsigned char>& bytes) { return Send(bytes.data(), bytes.size()); }

    // The terminal receives up to n bytes, waiting at most waitMs for each next byte.
    std::vector<unsigned char> Receive(size_t n, int waitMs = 2000) {
        std::vector<unsigned char> out;
        while (out.size() < n) {
            struct pollfd pfd = {m_master, POLLIN, 0};
            if (poll(&pfd, 1, waitMs) <= 0)
                break;
            unsigned char buf[4096];
            size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
            ssize_t k = read(m_master, buf, want);
            if (k <= 0)
                break;
            out.insert(out.end(), buf, buf + k);
        }
        return out;
    }

    // The line settings as the device holds them (the master reads the slave's termios).
    bool LineSettings(struct termios* tio) const { return tcgetattr(m_master, tio) == 0; }

    void CloseMaster() {
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }

private:
    int m_master = -1;
    std::string m_slavePath;
};

inline std::vector<unsigned char> Bytes(std::initializer_list<int> values) {
    std::vector<unsigned char> out;
    for (int v : values)
        out.push_back((unsigned char)v);
    return out;
}

}  // namespace commtest
