// Test helper: an in-test server of virtual HID devices, speaking the protocol of
// platform/virtual/virtual_device_protocol.h on a SOCK_SEQPACKET socket in a temporary
// folder, and naming it in IOCLASSLIB_VIRTUAL_HID for as long as it lives. A device is data:
// its shape (identity and report layout, virtual_hid_shape.h, as termsim describes its
// own), and the exchange it expects as a list of steps: an output report, the input reports
// that answer it, whether the device goes away after them, or that it holds the report
// (NAKs it: the write waits). Input reports leave one per polling interval of the shape, as
// a host controller fetches them. Unplug and plug as the test says; every output report
// the device took is recorded as it got it.
//
//   testsupport::FakeHidServer server({testsupport::FakeHidDevice{7, vdev::HidDeviceShape()}});
//   server.Expect({{{2, 1, 0x16}, {reply}}, {{}, {}, true}});  // answer the fetch; unplug on the next
//   ... open the device, write, read ...
//   EXPECT_EQ("", server.Mismatches());             // every output as expected, in order
//   server.Outputs();                               // every output report, as the device got it
//   server.WaitUntilDelivered();                    // every input report is in the client's hands
//
// Header-only, POSIX.
#pragma once

#include <linux/sockios.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HexBytes.h"
#include "ScopedEnv.h"
#include "TempFiles.h"
#include "virtual_device_protocol.h"
#include "virtual_hid_shape.h"

namespace testsupport {

struct FakeHidDevice {
    uint32_t id = 7;  // part of the device's interface path
    vdev::HidDeviceShape shape;
    bool bPresent = true;
};

// One step of a device's exchange: the output report that starts it (its first bytes; none:
// any report), the input reports the device answers with, and whether it is unplugged once
// they have left. A held report is never taken: no answer, no replies, not recorded.
struct FakeHidStep {
    std::vector<uint8_t> output;
    std::vector<std::vector<uint8_t>> replies;
    bool unplug = false;
    bool hold = false;
};

class FakeHidServer {
public:
    explicit FakeHidServer(std::vector<FakeHidDevice> devices)
        : m_devices(std::move(devices)), m_inputs(m_devices.size()) {
        m_path = m_folder.file("hid.sock");
        m_listen = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, m_path.c_str(), sizeof(address.sun_path) - 1);
        m_bListening =
            bind(m_listen, (const sockaddr*)&address, sizeof(address)) == 0 && listen(m_listen, 16) == 0;
        if (pipe(m_stop) != 0)
            m_bListening = false;
        m_env.reset(new ScopedEnv(VDEV_ENV_HID, m_path));
        m_thread = std::thread([this] { Run(); });
    }

    ~FakeHidServer() {
        m_env.reset();
        ssize_t n = write(m_stop[1], "x", 1);
        (void)n;
        m_thread.join();
        for (const Client& client : m_clients)
            close(client.fd);
        close(m_listen);
        close(m_stop[0]);
        close(m_stop[1]);
    }
    FakeHidServer(const FakeHidServer&) = delete;
    FakeHidServer& operator=(const FakeHidServer&) = delete;

    bool ok() const { return m_bListening; }

    // The steps the device plays, in order, one for each output report it gets, after those
    // given before. Output reports past the last step are taken and answered with nothing.
    void Expect(std::vector<FakeHidStep> steps) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_steps.insert(m_steps.end(), steps.begin(), steps.end());
    }

    // Each output report that did not start as its step said, with the expected start; empty
    // when the exchange went as scripted.
    std::string Mismatches() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_mismatches;
    }

    std::vector<std::vector<uint8_t>> Outputs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outputs;
    }
    void Unplug(uint16_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        UnplugLocked(index);
    }

    void Plug(uint16_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices[index].bPresent = true;
        for (Client& client : m_clients)
            if (client.bWatching)
                SendLocked(client.fd, VDEV_MSG_PLUGGED, index, 0, nullptr, 0);
    }

    // Until every input report has left and each connection's client has received it.
    bool WaitUntilDelivered() {
        for (int i = 0; i < 20000; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                bool bDelivered = true;
                for (const DeviceInputs& inputs : m_inputs)
                    bDelivered = bDelivered && inputs.reports.empty();
                for (const Client& client : m_clients) {
                    int nUnread = 0;
                    bDelivered = bDelivered && ioctl(client.fd, SIOCOUTQ, &nUnread) == 0 && nUnread == 0;
                }
                if (bDelivered)
                    return true;
            }
            usleep(1000);
        }
        return false;
    }

    bool WaitForWatcher() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] {
            for (const Client& client : m_clients)
                if (client.bWatching)
                    return true;
            return false;
        });
    }

private:
    struct Client {
        int fd;
        bool bWatching = false;
        int openDevice = -1;
    };

    // A device's input reports that the host has not fetched yet.
    struct DeviceInputs {
        std::deque<std::vector<uint8_t>> reports;
        std::chrono::steady_clock::time_point next;
        bool bUnplugAfter = false;
    };

    void UnplugLocked(uint16_t index) {
        m_devices[index].bPresent = false;
        m_inputs[index] = DeviceInputs();
        for (Client& client : m_clients) {
            if (client.bWatching)
                SendLocked(client.fd, VDEV_MSG_UNPLUGGED, index, 0, nullptr, 0);
            if (client.openDevice == index) {
                shutdown(client.fd, SHUT_RDWR);
                client.openDevice = -1;
            }
        }
    }

    static void SendLocked(int fd, uint16_t type, uint16_t device, uint32_t tag, const void* p, size_t cb) {
        std::vector<uint8_t> datagram(sizeof(vdev_header) + cb);
        vdev_header header = {};
        header.type = type;
        header.device = device;
        header.tag = tag;
        header.length = (uint32_t)cb;
        memcpy(datagram.data(), &header, sizeof(header));
        if (cb)
            memcpy(datagram.data() + sizeof(header), p, cb);
        send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL);
    }

    void Error(int fd, const vdev_header& request, uint32_t code) {
        vdev_error error = {code};
        SendLocked(fd, VDEV_MSG_ERROR, request.device, request.tag, &error, sizeof(error));
    }

    // Under the lock: the next step for an output report; whether the device takes it. Its
    // replies wait for the host to fetch them.
    bool PlayLocked(uint16_t index, const std::vector<uint8_t>& report) {
        if (m_steps.empty())
            return true;
        const FakeHidStep step = m_steps.front();
        m_steps.erase(m_steps.begin());
        if (report.size() < step.output.size() ||
            !std::equal(step.output.begin(), step.output.end(), report.begin()))
            m_mismatches +=
                "output " + bytesToHex(report) + " where " + bytesToHex(step.output) + " was expected\n";
        if (step.hold)
            return false;
        DeviceInputs& inputs = m_inputs[index];
        inputs.reports.insert(inputs.reports.end(), step.replies.begin(), step.replies.end());
        inputs.bUnplugAfter = step.unplug;
        return true;
    }

    // Under the lock: each device's next input report, if its turn has come, to every
    // connection that has the device open, as a HID device's input reports reach every
    // handle. The time until the next turn, in milliseconds, or -1.
    int SendDueLocked() {
        const auto now = std::chrono::steady_clock::now();
        int nWaitMs = -1;
        for (size_t index = 0; index < m_inputs.size(); ++index) {
            DeviceInputs& inputs = m_inputs[index];
            if (!inputs.reports.empty() && now >= inputs.next) {
                const std::vector<uint8_t> reply = inputs.reports.front();
                inputs.reports.pop_front();
                for (const Client& client : m_clients)
                    if (client.openDevice == (int)index)
                        SendLocked(client.fd, VDEV_MSG_HID_INPUT_REPORT, (uint16_t)index, 0, reply.data(),
                                   reply.size());
                inputs.next = now + std::chrono::milliseconds(m_devices[index].shape.inputIntervalMs);
            }
            if (inputs.reports.empty()) {
                if (inputs.bUnplugAfter)
                    UnplugLocked((uint16_t)index);
                continue;
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(inputs.next - now).count();
            if (nWaitMs < 0 || wait < nWaitMs)
                nWaitMs = (int)std::max<long long>(wait, 0);
        }
        return nWaitMs;
    }

    void Handle(Client& client, const uint8_t* datagram, size_t cb) {
        vdev_header header;
        memcpy(&header, datagram, sizeof(header));
        const uint8_t* payload = datagram + sizeof(header);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const bool bKnown = header.device < m_devices.size();
            switch (header.type) {
            case VDEV_MSG_LIST:
                for (size_t i = 0; i < m_devices.size(); ++i) {
                    if (!m_devices[i].bPresent)
                        continue;
                    vdev_device_entry entry = {VDEV_FAMILY_HID, 0, m_devices[i].id};
                    SendLocked(client.fd, VDEV_MSG_DEVICE_ENTRY, (uint16_t)i, header.tag, &entry,
                               sizeof(entry));
                }
                SendLocked(client.fd, VDEV_MSG_LIST_END, 0, header.tag, nullptr, 0);
                break;
            case VDEV_MSG_HID_GET_IDENTITY:
                if (!bKnown)
                    return Error(client.fd, header, VDEV_ERROR_NO_DEVICE);
                {
                    const vdev_hid_identity identity = vdev::identityOf(m_devices[header.device].shape);
                    SendLocked(client.fd, VDEV_MSG_HID_IDENTITY, header.device, header.tag, &identity,
                               sizeof(identity));
                }
                break;
            case VDEV_MSG_HID_GET_DESCRIPTOR:
                if (!bKnown)
                    return Error(client.fd, header, VDEV_ERROR_NO_DEVICE);
                {
                    const std::vector<uint8_t> descriptor =
                        vdev::buildReportDescriptor(m_devices[header.device].shape);
                    SendLocked(client.fd, VDEV_MSG_HID_DESCRIPTOR, header.device, header.tag,
                               descriptor.data(), descriptor.size());
                }
                break;
            case VDEV_MSG_OPEN:
                if (!bKnown)
                    return Error(client.fd, header, VDEV_ERROR_NO_DEVICE);
                if (!m_devices[header.device].bPresent)
                    return Error(client.fd, header, VDEV_ERROR_NOT_PRESENT);
                client.openDevice = header.device;
                SendLocked(client.fd, VDEV_MSG_OPENED, header.device, header.tag, nullptr, 0);
                m_changed.notify_all();
                break;
            case VDEV_MSG_WATCH:
                client.bWatching = true;
                SendLocked(client.fd, VDEV_MSG_WATCHING, 0, header.tag, nullptr, 0);
                m_changed.notify_all();
                break;
            case VDEV_MSG_HID_OUTPUT_REPORT: {
                if (client.openDevice < 0)
                    return;
                std::vector<uint8_t> report(payload, payload + (cb - sizeof(header)));
                if (!PlayLocked((uint16_t)client.openDevice, report))
                    break;
                m_outputs.push_back(report);
                SendLocked(client.fd, VDEV_MSG_HID_OUTPUT_TAKEN, header.device, header.tag, nullptr, 0);
                break;
            }
            default: Error(client.fd, header, VDEV_ERROR_UNSUPPORTED); break;
            }
        }
    }

    void Run() {
        for (;;) {
            std::vector<pollfd> fds = {{m_stop[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
            int nWaitMs;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                nWaitMs = SendDueLocked();
                for (const Client& client : m_clients)
                    fds.push_back({client.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), nWaitMs) <= 0)
                continue;
            if (fds[0].revents)
                return;
            if (fds[1].revents & POLLIN) {
                const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_clients.push_back(Client{fd});
                }
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if (!fds[i].revents)
                    continue;
                uint8_t datagram[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
                const ssize_t cb = recv(fds[i].fd, datagram, sizeof(datagram), MSG_DONTWAIT);
                Client* client = nullptr;
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    for (Client& c : m_clients)
                        if (c.fd == fds[i].fd)
                            client = &c;
                }
                if (!client)
                    continue;
                if (cb <= 0) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    close(client->fd);
                    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
                        if (&*it == client) {
                            m_clients.erase(it);
                            break;
                        }
                    }
                    m_changed.notify_all();
                    continue;
                }
                if ((size_t)cb >= sizeof(vdev_header))
                    Handle(*client, datagram, (size_t)cb);
            }
        }
    }

    std::vector<FakeHidDevice> m_devices;
    std::vector<DeviceInputs> m_inputs;  // one per device
    TempDir m_folder{"fakehid"};
    std::string m_path;
    std::unique_ptr<ScopedEnv> m_env;
    int m_listen = -1;
    bool m_bListening = false;
    int m_stop[2] = {-1, -1};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Client> m_clients;  // the server thread alone adds and removes
    std::vector<std::vector<uint8_t>> m_outputs;
    std::vector<FakeHidStep> m_steps;
    std::string m_mismatches;
    std::thread m_thread;
};

}  // namespace testsupport
