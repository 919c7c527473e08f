// Test helper: one virtual HID device served on a Unix socket in the virtual device
// protocol, scripted from the test: what it answers to each output report, input reports
// sent at will, unplug and plug. Points IOCLASSLIB_VIRTUAL_HID at itself for its lifetime.
//
//   testsupport::FakeHidDevice device;              // 1209:0001, 65-byte numbered reports
//   device.answer = [](const ByteVec& out) { return std::vector<ByteVec>{...}; };
//   ... open the HID port, write, read ...
//   device.outputReports();                         // every report the device took
//
// Header-only, POSIX.
#pragma once

#include "HexBytes.h"
#include "ScopedEnv.h"
#include "TempFiles.h"
#include "virtual_device_protocol.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testsupport {

struct FakeHidSpec {
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0001;
    unsigned inputLength = 65;  // as Windows counts them: the ID byte included
    unsigned outputLength = 65;
    bool numbered = true;
};

class FakeHidDevice {
public:
    // The input reports sent back for one output report (as the device got it).
    std::function<std::vector<ByteVec>(const ByteVec&)> answer;

    explicit FakeHidDevice(const FakeHidSpec& spec = FakeHidSpec()) : m_spec(spec) {
        m_path = m_dir.file("hid.sock");
        m_listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, m_path.c_str(), sizeof a.sun_path - 1);
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(m_listener, 8) != 0)
            m_path.clear();
        if (pipe2(m_wake, O_CLOEXEC) != 0)
            m_wake[0] = m_wake[1] = -1;
        m_env.reset(new ScopedEnv(VDEV_ENV_HID, m_path));
        m_thread = std::thread([this] { serve(); });
    }
    ~FakeHidDevice() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        wake();
        m_thread.join();
        for (auto& c : m_clients)
            close(c.first);
        close(m_listener);
        close(m_wake[0]);
        close(m_wake[1]);
    }
    FakeHidDevice(const FakeHidDevice&) = delete;
    FakeHidDevice& operator=(const FakeHidDevice&) = delete;

    bool ok() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }

    std::vector<ByteVec> outputReports() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outputs;
    }
    // Sends one input report (as the device sends it) on every connection with the device open.
    void sendInput(const ByteVec& report) {
        std::lock_guard<std::mutex> lock(m_mutex);
        sendInputLocked(report);
    }
    // Hangs up every open connection and tells the watchers; or tells them it is back.
    void setPresent(bool present) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (present == m_present)
            return;
        m_present = present;
        for (auto it = m_clients.begin(); it != m_clients.end();) {
            if (it->second.watching)
                send(it->first, present ? VDEV_MSG_PLUGGED : VDEV_MSG_UNPLUGGED, 0, nullptr, 0);
            if (!present && it->second.open) {
                close(it->first);
                it = m_clients.erase(it);
            } else {
                ++it;
            }
        }
        wake();
    }

    // A numbered input report of the device's length: ID 1, count, payload, zeros.
    ByteVec inputReport(const ByteVec& payload, int count = -1) const {
        ByteVec r(m_spec.numbered ? m_spec.inputLength : m_spec.inputLength - 1, 0);
        std::size_t at = 0;
        if (m_spec.numbered)
            r[at++] = 1;
        r[at++] = static_cast<std::uint8_t>(count < 0 ? payload.size() : static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < payload.size() && at + i < r.size(); ++i)
            r[at + i] = payload[i];
        return r;
    }

private:
    struct Client {
        bool open = false;
        bool watching = false;
    };

    void wake() {
        char c = 1;
        ssize_t n = write(m_wake[1], &c, 1);
        (void)n;
    }

    ByteVec descriptor() const {
        ByteVec d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
        auto item = [&](std::uint8_t id, unsigned length, std::uint8_t main) {
            if (m_spec.numbered) {
                d.push_back(0x85);
                d.push_back(id);
            }
            unsigned count = length - 1;
            ByteVec rest = {0x09,
                            0x02,
                            0x15,
                            0x00,
                            0x26,
                            0xFF,
                            0x00,
                            0x75,
                            0x08,
                            0x96,
                            static_cast<std::uint8_t>(count & 0xFF),
                            static_cast<std::uint8_t>(count >> 8),
                            main,
                            0x02};
            d.insert(d.end(), rest.begin(), rest.end());
        };
        item(1, m_spec.inputLength, 0x81);
        item(2, m_spec.outputLength, 0x91);
        d.push_back(0xC0);
        return d;
    }

    void send(int fd, std::uint16_t type, std::uint32_t tag, const void* payload, std::size_t length) {
        ByteVec m(sizeof(vdev_header) + length);
        vdev_header h{};
        h.type = type;
        h.tag = tag;
        h.length = static_cast<std::uint32_t>(length);
        std::memcpy(m.data(), &h, sizeof h);
        if (length)
            std::memcpy(m.data() + sizeof h, payload, length);
        ssize_t n = ::send(fd, m.data(), m.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        (void)n;
    }

    void sendInputLocked(const ByteVec& report) {
        for (auto& c : m_clients)
            if (c.second.open)
                send(c.first, VDEV_MSG_HID_INPUT_REPORT, 0, report.data(), report.size());
    }

    void handle(int fd, const std::uint8_t* m, std::size_t size) {
        vdev_header h{};
        if (size < sizeof h)
            return;
        std::memcpy(&h, m, sizeof h);
        ByteVec payload(m + sizeof h, m + size);
        Client& c = m_clients[fd];
        switch (h.type) {
        case VDEV_MSG_LIST:
            if (m_present) {
                vdev_device_entry e{VDEV_FAMILY_HID, 0, 7};
                send(fd, VDEV_MSG_DEVICE_ENTRY, h.tag, &e, sizeof e);
            }
            send(fd, VDEV_MSG_LIST_END, h.tag, nullptr, 0);
            break;
        case VDEV_MSG_HID_GET_IDENTITY: {
            vdev_hid_identity id{};
            id.vendor_id = m_spec.vendorId;
            id.product_id = m_spec.productId;
            std::strcpy(id.manufacturer, "Fake");
            std::strcpy(id.product, "Terminal");
            send(fd, VDEV_MSG_HID_IDENTITY, h.tag, &id, sizeof id);
            break;
        }
        case VDEV_MSG_HID_GET_DESCRIPTOR: {
            ByteVec d = descriptor();
            send(fd, VDEV_MSG_HID_DESCRIPTOR, h.tag, d.data(), d.size());
            break;
        }
        case VDEV_MSG_OPEN:
            if (!m_present) {
                vdev_error e{VDEV_ERROR_NOT_PRESENT};
                send(fd, VDEV_MSG_ERROR, h.tag, &e, sizeof e);
                break;
            }
            c.open = true;
            send(fd, VDEV_MSG_OPENED, h.tag, nullptr, 0);
            break;
        case VDEV_MSG_WATCH:
            c.watching = true;
            send(fd, VDEV_MSG_WATCHING, h.tag, nullptr, 0);
            break;
        case VDEV_MSG_HID_OUTPUT_REPORT:
            m_outputs.push_back(payload);
            if (answer)
                for (const ByteVec& r : answer(payload))
                    sendInputLocked(r);
            break;
        default: break;
        }
    }

    void serve() {
        for (;;) {
            std::vector<pollfd> fds = {{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stop)
                    return;
                for (auto& c : m_clients)
                    fds.push_back({c.first, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), 1000) <= 0)
                continue;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (fds[0].revents & POLLIN) {
                char buffer[16];
                ssize_t n = read(m_wake[0], buffer, sizeof buffer);
                (void)n;
            }
            if (fds[1].revents & POLLIN) {
                int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    m_clients[fd] = Client{};
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)) || m_clients.count(fds[i].fd) == 0)
                    continue;
                std::uint8_t m[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
                ssize_t n = recv(fds[i].fd, m, sizeof m, MSG_DONTWAIT);
                if (n > 0) {
                    handle(fds[i].fd, m, static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    close(fds[i].fd);
                    m_clients.erase(fds[i].fd);
                }
            }
        }
    }

    FakeHidSpec m_spec;
    TempDir m_dir{"fake-hid"};
    std::string m_path;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    std::unique_ptr<ScopedEnv> m_env;
    mutable std::mutex m_mutex;
    std::map<int, Client> m_clients;
    std::vector<ByteVec> m_outputs;
    bool m_present = true;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace testsupport
