// Test helper: an in-test server of virtual HID devices, speaking the protocol of
// platform/virtual/virtual_device_protocol.h on a SOCK_SEQPACKET socket in a temporary
// folder, and naming it in IOCLASSLIB_VIRTUAL_HID for as long as it lives. The devices are
// described as data (identity, report descriptor); the test scripts them: what they answer
// to each output report, unplug and plug, and the record of every output report taken.
//
//   testsupport::FakeHidServer server({testsupport::MakeFakeHidDevice(testsupport::FakeHidShape())});
//   server.SetOutputHandler([](uint16_t device, const ByteVec& out) { return std::vector<ByteVec>{...}; });
//   ... open the device, write, read ...
//   server.Outputs();                               // every output report, as the device got it
//
// Header-only, POSIX.
#pragma once

#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "TempFiles.h"
#include "virtual_device_protocol.h"

namespace testsupport {

struct FakeHidDevice {
    uint32_t id;
    vdev_hid_identity identity;
    std::vector<uint8_t> descriptor;
    bool bPresent = true;
};

class FakeHidServer {
public:
    // Called on the server's thread for each output report; what it returns goes back to
    // the device's open connections as input reports.
    typedef std::function<std::vector<std::vector<uint8_t>>(uint16_t device,
                                                            const std::vector<uint8_t>& report)>
        OutputHandler;

    explicit FakeHidServer(std::vector<FakeHidDevice> devices) : m_devices(std::move(devices)) {
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

    void SetOutputHandler(OutputHandler handler) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onOutput = std::move(handler);
    }

    std::vector<std::vector<uint8_t>> Outputs() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outputs;
    }
    void Unplug(uint16_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices[index].bPresent = false;
        for (Client& client : m_clients) {
            if (client.bWatching)
                SendLocked(client.fd, VDEV_MSG_UNPLUGGED, index, 0, nullptr, 0);
            if (client.openDevice == index) {
                shutdown(client.fd, SHUT_RDWR);
                client.openDevice = -1;
            }
        }
    }

    void Plug(uint16_t index) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices[index].bPresent = true;
        for (Client& client : m_clients)
            if (client.bWatching)
                SendLocked(client.fd, VDEV_MSG_PLUGGED, index, 0, nullptr, 0);
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

    void Handle(Client& client, const uint8_t* datagram, size_t cb) {
        vdev_header header;
        memcpy(&header, datagram, sizeof(header));
        const uint8_t* payload = datagram + sizeof(header);
        std::vector<std::vector<uint8_t>> replies;
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
                SendLocked(client.fd, VDEV_MSG_HID_IDENTITY, header.device, header.tag,
                           &m_devices[header.device].identity, sizeof(vdev_hid_identity));
                break;
            case VDEV_MSG_HID_GET_DESCRIPTOR:
                if (!bKnown)
                    return Error(client.fd, header, VDEV_ERROR_NO_DEVICE);
                SendLocked(client.fd, VDEV_MSG_HID_DESCRIPTOR, header.device, header.tag,
                           m_devices[header.device].descriptor.data(),
                           m_devices[header.device].descriptor.size());
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
                m_outputs.push_back(report);
                if (m_onOutput)
                    replies = m_onOutput((uint16_t)client.openDevice, report);
                for (const auto& reply : replies)
                    for (const Client& other : m_clients)
                        if (other.openDevice == client.openDevice)
                            SendLocked(other.fd, VDEV_MSG_HID_INPUT_REPORT, (uint16_t)client.openDevice, 0,
                                       reply.data(), reply.size());
                break;
            }
            default: Error(client.fd, header, VDEV_ERROR_UNSUPPORTED); break;
            }
        }
    }

    void Run() {
        for (;;) {
            std::vector<pollfd> fds = {{m_stop[0], POLLIN, 0}, {m_listen, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                for (const Client& client : m_clients)
                    fds.push_back({client.fd, POLLIN, 0});
            }
            if (poll(fds.data(), fds.size(), -1) < 0)
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
    OutputHandler m_onOutput;
    std::thread m_thread;
};

inline FakeHidDevice MakeFakeHidDevice(uint32_t id, uint16_t vendor, uint16_t product,
                                       std::vector<uint8_t> descriptor) {
    FakeHidDevice device;
    device.id = id;
    memset(&device.identity, 0, sizeof(device.identity));
    device.identity.vendor_id = vendor;
    device.identity.product_id = product;
    device.identity.version_number = 0x0102;
    strcpy(device.identity.manufacturer, "Test Maker");
    strcpy(device.identity.product, "Virtual Terminal \xC3\xA9");  // a non-ASCII letter
    strcpy(device.identity.serial_number, "SN0001");
    device.descriptor = std::move(descriptor);
    return device;
}

// The terminal's report descriptors: 64 data bytes each way, with or without report IDs.
inline std::vector<uint8_t> NumberedTerminalDescriptor() {
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
            0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x85, 0x02, 0x09, 0x01, 0x95, 0x40, 0x91, 0x02, 0xC0};
}
inline std::vector<uint8_t> UnnumberedTerminalDescriptor() {
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00,
            0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x01, 0x95, 0x40, 0x91, 0x02, 0xC0};
}

// A terminal-like device of any report lengths, for tests of what a port accepts.
struct FakeHidShape {
    uint16_t vendorId = 0x1209;
    uint16_t productId = 0x0001;
    unsigned inputLength = 65;  // as Windows counts them: the ID byte included
    unsigned outputLength = 65;
    bool numbered = true;
};

inline FakeHidDevice MakeFakeHidDevice(const FakeHidShape& shape) {
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    auto item = [&](uint8_t id, unsigned length, uint8_t main) {
        if (shape.numbered)
            d.insert(d.end(), {0x85, id});
        const unsigned count = length - 1;
        d.insert(d.end(), {0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96,
                           (uint8_t)(count & 0xFF), (uint8_t)(count >> 8), main, 0x02});
    };
    item(1, shape.inputLength, 0x81);
    item(2, shape.outputLength, 0x91);
    d.push_back(0xC0);
    return MakeFakeHidDevice(7, shape.vendorId, shape.productId, d);
}

}  // namespace testsupport
