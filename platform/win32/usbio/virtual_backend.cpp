// The virtual USBIO backend: devices that termsim serves on the Unix socket named by
// IOCLASSLIB_VIRTUAL_USBIO, in the virtual device protocol (virtual_device_protocol.h).
//
// An open device keeps one connection for its transfers, watched by the family's poll
// thread, which completes them, and one for the driver's requests (descriptors,
// configuration, driver information), so that their replies never queue behind transfer
// completions. Both are made at open: a connection per request would cost both sides a
// connect and a hang-up each time. The server hanging up the transfer connection is the
// device being unplugged.
#include "usbio/backend.h"

#include "internal/poll_loop.h"
#include "internal/settings.h"
#include "virtual_device_protocol.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace win32 {
namespace usbio {

namespace {

const char kBusName[] = "usbio_virtual";
const int kReplyTimeoutMs = 5000;
const uint8_t kClearFeature = 0x01;
const uint8_t kGetDescriptor = 0x06;
const uint8_t kSetConfiguration = 0x09;
const uint8_t kSetInterface = 0x0B;
const uint16_t kEndpointHalt = 0;

PollLoop& Loop() {
    static PollLoop* loop = new PollLoop;  // its thread lives as long as the process
    return *loop;
}

const char* SocketPath() {
    const char* path = getenv(VDEV_ENV_USBIO);
    return path && *path ? path : nullptr;
}

int Connect() {
    const char* path = SocketPath();
    sockaddr_un address = {};
    if (!path)
        return -1;
    if (strlen(path) >= sizeof(address.sun_path)) {
        ReportUnusableSocketSetting(VDEV_ENV_USBIO, path, ENAMETOOLONG);
        return -1;
    }
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path);
    if (connect(fd, (sockaddr*)&address, sizeof(address)) != 0) {
        const int nErrno = errno;
        close(fd);
        ReportUnusableSocketSetting(VDEV_ENV_USBIO, path, nErrno);
        return -1;
    }
    return fd;
}

bool SendMessage(int fd, uint16_t type, uint16_t device, uint32_t tag, const void* head, size_t cbHead,
                 const void* data = nullptr, size_t cbData = 0) {
    vdev_header header = {};
    header.type = type;
    header.device = device;
    header.tag = tag;
    header.length = (uint32_t)(cbHead + cbData);
    iovec parts[3] = {{&header, sizeof(header)}, {(void*)head, cbHead}, {(void*)data, cbData}};
    msghdr message = {};
    message.msg_iov = parts;
    message.msg_iovlen = 3;
    ssize_t sent;
    do {
        sent = sendmsg(fd, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent == (ssize_t)(sizeof(header) + header.length);
}

struct Message {
    vdev_header header;
    std::vector<uint8_t> payload;
};

// One whole message; false on hang-up, time-out or a malformed datagram.
bool ReceiveMessage(int fd, Message& message, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    uint8_t buffer[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    const ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < (ssize_t)sizeof(vdev_header))
        return false;
    memcpy(&message.header, buffer, sizeof(vdev_header));
    if (message.header.length != (size_t)n - sizeof(vdev_header))
        return false;
    message.payload.assign(buffer + sizeof(vdev_header), buffer + n);
    return true;
}

// Sends a request and waits for the reply with its tag; messages in between are not ours.
UsbResult Exchange(int fd, uint16_t type, uint16_t device, uint32_t tag, const void* head, size_t cbHead,
                   const void* data, size_t cbData, Message& reply) {
    if (!SendMessage(fd, type, device, tag, head, cbHead, data, cbData))
        return UsbResult::NoDevice;
    for (;;) {
        if (!ReceiveMessage(fd, reply, kReplyTimeoutMs))
            return UsbResult::NoDevice;
        if (reply.header.tag != tag)
            continue;
        if (reply.header.type != VDEV_MSG_ERROR)
            return UsbResult::Success;
        vdev_error error = {};
        memcpy(&error, reply.payload.data(), std::min(sizeof(error), reply.payload.size()));
        return error.code == VDEV_ERROR_NOT_PRESENT || error.code == VDEV_ERROR_NO_DEVICE
                   ? UsbResult::NoDevice
                   : UsbResult::Other;
    }
}

UsbResult ResultFromStatus(uint32_t status) {
    switch (status) {
    case VDEV_USBIO_OK: return UsbResult::Success;
    case VDEV_USBIO_STALL: return UsbResult::Stall;
    case VDEV_USBIO_CANCELLED: return UsbResult::Cancelled;
    case VDEV_USBIO_NO_ENDPOINT: return UsbResult::NotFound;
    case VDEV_USBIO_OVERFLOW: return UsbResult::Overflow;
    default: return UsbResult::Io;
    }
}

// What a control request's reply says; `in` receives the device-to-host data.
UsbResult ControlOutcome(const Message& reply, BYTE* in, DWORD cbIn, DWORD& got) {
    vdev_usbio_transfer done = {};
    if (reply.header.type != VDEV_MSG_USBIO_CONTROL_DONE || reply.payload.size() < sizeof(done))
        return UsbResult::Io;
    memcpy(&done, reply.payload.data(), sizeof(done));
    if (done.status != VDEV_USBIO_OK)
        return ResultFromStatus(done.status);
    got = (DWORD)std::min<size_t>(reply.payload.size() - sizeof(done), cbIn);
    if (got)
        memcpy(in, reply.payload.data() + sizeof(done), got);
    return UsbResult::Success;
}

struct ListedDevice {
    uint16_t index;
    uint32_t id;
    WORD vendor;
    WORD product;
};

// The server's USBIO devices with their IDs, through one connection.
std::vector<ListedDevice> ListDevices(bool bIdentity) {
    std::vector<ListedDevice> devices;
    const int fd = Connect();
    if (fd < 0)
        return devices;
    if (SendMessage(fd, VDEV_MSG_LIST, 0, 1, nullptr, 0)) {
        Message message;
        while (ReceiveMessage(fd, message, kReplyTimeoutMs) && message.header.type != VDEV_MSG_LIST_END) {
            vdev_device_entry entry = {};
            if (message.header.type != VDEV_MSG_DEVICE_ENTRY || message.payload.size() != sizeof(entry))
                continue;
            memcpy(&entry, message.payload.data(), sizeof(entry));
            if (entry.family == VDEV_FAMILY_USBIO)
                devices.push_back(ListedDevice{message.header.device, entry.id, 0, 0});
        }
    }
    for (uint32_t i = 0; bIdentity && i < devices.size(); ++i) {
        const vdev_usbio_setup setup = {0x80, kGetDescriptor, USBIO_DESCRIPTOR_TYPE_DEVICE << 8, 0,
                                        USBIO_DEVICE_DESCRIPTOR_SIZE};
        Message reply;
        vdev_usbio_transfer done = {};
        if (Exchange(fd, VDEV_MSG_USBIO_CONTROL, devices[i].index, 2 + i, &setup, sizeof(setup), nullptr, 0,
                     reply) != UsbResult::Success ||
            reply.payload.size() < sizeof(done) + USBIO_DEVICE_DESCRIPTOR_SIZE)
            continue;
        const uint8_t* descriptor = reply.payload.data() + sizeof(done);
        devices[i].vendor = (WORD)(descriptor[8] | (descriptor[9] << 8));
        devices[i].product = (WORD)(descriptor[10] | (descriptor[11] << 8));
    }
    close(fd);
    return devices;
}

std::string PathOf(const ListedDevice& device) {
    return MakeInterfacePath(kBusName, device.vendor, device.product, std::to_string(device.id));
}

class VirtualDevice : public UsbDevice {
public:
    // fd carries the transfers, requestFd the driver's requests; the device owns both.
    VirtualDevice(int fd, int requestFd, uint16_t index) : m_fd(fd), m_requestFd(requestFd), m_index(index) {
        m_watch = Loop().Watch(fd, POLLIN, [this](short) { receive(); });
    }

    ~VirtualDevice() override {
        // Unwatch waits for a running callback, unless the callback has unwatched itself
        // after a hang-up: that one says so in m_inCallback until it has returned.
        Loop().Unwatch(m_watch);
        std::unique_lock<std::mutex> lock(m_mutex);
        m_callbackDone.wait(lock, [&] { return !m_inCallback; });
        lock.unlock();
        close(m_fd);
        close(m_requestFd);
    }

    bool watched() const { return m_watch != 0; }

    UsbResult driverInfo(USBIO_DRIVER_INFO& info) override {
        memset(&info, 0, sizeof(info));
        if (gone())
            return UsbResult::NoDevice;
        Message reply;
        const UsbResult result = request(VDEV_MSG_USBIO_GET_DRIVER_INFO, nullptr, 0, reply);
        vdev_usbio_driver_info served = {};
        if (result != UsbResult::Success)
            return result;
        if (reply.payload.size() < sizeof(served))
            return UsbResult::Io;
        memcpy(&served, reply.payload.data(), sizeof(served));
        info.InterfaceVersion = served.interface_version;
        info.DriverVersion = served.interface_version;
        info.DriverBuild = 1;
        info.Flags = USBIO_INFOFLAG_VIRTUAL_DEVICE;
        return UsbResult::Success;
    }

    UsbResult getDescriptor(BYTE recipient, BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD size,
                            DWORD& got) override {
        got = 0;
        if (gone())
            return UsbResult::NoDevice;
        const vdev_usbio_setup setup = {(uint8_t)(0x80 | recipient), kGetDescriptor,
                                        (uint16_t)((type << 8) | index), language,
                                        (uint16_t)std::min<DWORD>(size, VDEV_USBIO_MAX_DATA)};
        return control(setup, buffer, size, got);
    }

    UsbResult setConfiguration(BYTE value) override { return noData({0x00, kSetConfiguration, value, 0, 0}); }
    UsbResult claimInterface(BYTE) override { return gone() ? UsbResult::NoDevice : UsbResult::Success; }
    UsbResult releaseInterface(BYTE) override { return UsbResult::Success; }
    UsbResult setAlternateSetting(BYTE number, BYTE alternate) override {
        return noData({0x01, kSetInterface, alternate, number, 0});
    }
    UsbResult clearHalt(BYTE endpoint) override {
        return noData({0x02, kClearFeature, kEndpointHalt, endpoint, 0});
    }

    UsbResult submit(UsbTransfer* transfer) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_gone)
            return UsbResult::NoDevice;
        Running running = {transfer, 0, 0};
        const uint32_t tag = m_nextTag++;
        if (!sendChunk(tag, running))
            return UsbResult::NoDevice;
        m_running[tag] = running;
        return UsbResult::Success;
    }

    void setLostHandler(std::function<void()> handler) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_onLost = std::move(handler);
    }

    void cancel(UsbTransfer* transfer) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& entry : m_running)
            if (entry.second.transfer == transfer)
                SendMessage(m_fd, VDEV_MSG_USBIO_CANCEL, m_index, entry.first, nullptr, 0);
    }

private:
    struct Running {
        UsbTransfer* transfer;
        DWORD moved;  // bytes done by the chunks before the current one
        DWORD chunk;  // bytes the current chunk asks for
    };

    bool gone() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_gone;
    }

    UsbResult noData(const vdev_usbio_setup& setup) {
        if (gone())
            return UsbResult::NoDevice;
        DWORD got = 0;
        return control(setup, nullptr, 0, got);
    }

    UsbResult control(const vdev_usbio_setup& setup, BYTE* in, DWORD cbIn, DWORD& got) {
        got = 0;
        Message reply;
        const UsbResult result = request(VDEV_MSG_USBIO_CONTROL, &setup, sizeof(setup), reply);
        return result == UsbResult::Success ? ControlOutcome(reply, in, cbIn, got) : result;
    }

    // One request at a time on the request connection; each has a tag of its own, so that a
    // reply that came after its time-out is never taken for the next one's.
    UsbResult request(uint16_t type, const void* head, size_t cbHead, Message& reply) {
        std::lock_guard<std::mutex> lock(m_requestMutex);
        return Exchange(m_requestFd, type, m_index, ++m_requestTag, head, cbHead, nullptr, 0, reply);
    }

    // Under m_mutex. One message carries VDEV_USBIO_MAX_DATA bytes at most: longer transfers
    // go in chunks, each sent when the one before has completed whole. A chunk holds whole
    // packets of any bulk endpoint (1024 bytes at most), or the device would overrun it.
    bool sendChunk(uint32_t tag, Running& running) {
        UsbTransfer* t = running.transfer;
        running.chunk = std::min<DWORD>(t->length - running.moved, VDEV_USBIO_MAX_DATA / 1024 * 1024);
        vdev_usbio_transfer request = {};
        request.endpoint = t->endpoint;
        request.length = running.chunk;
        const bool in = (t->endpoint & 0x80) != 0;
        return SendMessage(m_fd, VDEV_MSG_USBIO_TRANSFER, m_index, tag, &request, sizeof(request),
                           in ? nullptr : t->buffer + running.moved, in ? 0 : running.chunk);
    }

    // On the poll thread, one message per call: the thread polls again anyway before it
    // sleeps, and comes straight back while more are queued, so reading on until EAGAIN
    // would only add a system call to every completion. Completions the server sent before
    // it hung up still count; the hang-up shows as the end of the stream once they are read.
    void receive() {
        std::vector<std::pair<UsbTransfer*, std::pair<UsbResult, DWORD>>> finished;
        uint8_t buffer[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
        const ssize_t n = recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (n <= 0) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_gone = true;
            for (const auto& entry : m_running)
                finished.push_back({entry.second.transfer, {UsbResult::NoDevice, entry.second.moved}});
            m_running.clear();
            // From here the destructor's Unwatch no longer waits for this callback.
            m_inCallback = true;
            Loop().Unwatch(m_watch);
            const std::function<void()> onLost = m_onLost;
            lock.unlock();
            if (onLost)
                onLost();
            complete(finished);
            lock.lock();
            m_inCallback = false;
            m_callbackDone.notify_all();
            return;
        }
        vdev_header header;
        if ((size_t)n < sizeof(header) + sizeof(vdev_usbio_transfer))
            return;
        memcpy(&header, buffer, sizeof(header));
        if (header.type != VDEV_MSG_USBIO_TRANSFER_DONE || header.length != (size_t)n - sizeof(header))
            return;
        vdev_usbio_transfer done;
        memcpy(&done, buffer + sizeof(header), sizeof(done));
        const uint8_t* data = buffer + sizeof(header) + sizeof(done);
        const size_t cbData = (size_t)n - sizeof(header) - sizeof(done);
        transferDone(header.tag, done, data, cbData, finished);
        complete(finished);
    }

    static void complete(const std::vector<std::pair<UsbTransfer*, std::pair<UsbResult, DWORD>>>& finished) {
        for (const auto& entry : finished)
            entry.first->complete(entry.second.first, entry.second.second);
    }

    void transferDone(uint32_t tag, const vdev_usbio_transfer& done, const uint8_t* data, size_t cbData,
                      std::vector<std::pair<UsbTransfer*, std::pair<UsbResult, DWORD>>>& finished) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_running.find(tag);
        if (it == m_running.end())
            return;  // a cancel that came too late
        Running running = it->second;
        m_running.erase(it);
        UsbTransfer* t = running.transfer;
        const bool in = (t->endpoint & 0x80) != 0;
        DWORD moved = std::min<DWORD>(done.length, running.chunk);
        if (in) {
            moved = (DWORD)std::min<size_t>(moved, cbData);
            memcpy(t->buffer + running.moved, data, moved);
        }
        running.moved += moved;
        const UsbResult result = ResultFromStatus(done.status);
        if (result == UsbResult::Success && moved == running.chunk && running.moved < t->length) {
            const uint32_t next = m_nextTag++;
            if (sendChunk(next, running)) {
                m_running[next] = running;
                return;
            }
        }
        finished.push_back({t, {result, running.moved}});
    }

    const int m_fd;
    const int m_requestFd;
    const uint16_t m_index;
    std::mutex m_requestMutex;
    uint32_t m_requestTag = 0;
    uint64_t m_watch = 0;
    std::mutex m_mutex;
    bool m_gone = false;
    std::function<void()> m_onLost;
    bool m_inCallback = false;
    std::condition_variable m_callbackDone;
    uint32_t m_nextTag = 1;
    std::map<uint32_t, Running> m_running;
};

class VirtualBackend : public UsbBackend {
public:
    const char* name() const override { return "virtual"; }

    void enumerate(std::vector<UsbDeviceEntry>& devices) override {
        if (!SocketPath())
            return;
        for (const ListedDevice& device : ListDevices(true))
            devices.push_back(UsbDeviceEntry{PathOf(device)});
    }

    bool claims(const std::string& path) const override {
        static const std::string prefix = std::string("\\\\?\\") + kBusName + "#";
        return path.size() > prefix.size() && strncasecmp(path.c_str(), prefix.c_str(), prefix.size()) == 0;
    }

    std::shared_ptr<UsbDevice> open(const std::string& path, UsbResult& result) override {
        result = UsbResult::NotFound;
        if (!SocketPath())
            return nullptr;
        for (const ListedDevice& device : ListDevices(true)) {
            if (strcasecmp(PathOf(device).c_str(), path.c_str()) != 0)
                continue;
            const int fd = Connect();
            const int requestFd = fd >= 0 ? Connect() : -1;
            Message reply;
            if (requestFd < 0 || Exchange(fd, VDEV_MSG_OPEN, device.index, 1, nullptr, 0, nullptr, 0,
                                          reply) != UsbResult::Success) {
                if (fd >= 0)
                    close(fd);
                if (requestFd >= 0)
                    close(requestFd);
                result = UsbResult::NoDevice;
                return nullptr;
            }
            std::shared_ptr<VirtualDevice> opened =
                std::make_shared<VirtualDevice>(fd, requestFd, device.index);
            if (!opened->watched()) {
                result = UsbResult::NoMem;
                return nullptr;
            }
            result = UsbResult::Success;
            return opened;
        }
        return nullptr;
    }
};

}  // namespace

UsbBackend& VirtualUsbBackendInstance() {
    static VirtualBackend backend;
    return backend;
}

}  // namespace usbio
}  // namespace win32
