// Virtual HID devices served over the socket named by IOCLASSLIB_VIRTUAL_HID, in the
// message protocol of platform/virtual/virtual_device_protocol.h.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "hid/backend.h"
#include "internal/poll_loop.h"
#include "internal/settings.h"
#include "virtual_device_protocol.h"

namespace win32 {

namespace {

// How long one request may wait for the server's reply. The server is a local process;
// a server that does not answer in this time is treated as absent.
const int kReplyTimeoutMs = 2000;

struct Message {
    vdev_header header;
    std::vector<uint8_t> payload;
};

int Connect(bool bNonBlocking) {
    const char* pszPath = getenv(VDEV_ENV_HID);
    if (!pszPath || !*pszPath) {
        errno = ENOENT;
        return -1;
    }
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (strlen(pszPath) >= sizeof(address.sun_path)) {
        ReportUnusableSocketSetting(VDEV_ENV_HID, pszPath, ENAMETOOLONG);
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(address.sun_path, pszPath);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (bNonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    if (connect(fd, (const sockaddr*)&address, sizeof(address)) != 0) {
        const int nErrno = errno;
        close(fd);
        ReportUnusableSocketSetting(VDEV_ENV_HID, pszPath, nErrno);
        errno = nErrno == ECONNREFUSED ? ENOENT : nErrno;
        return -1;
    }
    return fd;
}

bool Send(int fd, uint16_t type, uint16_t device, uint32_t tag, const void* pPayload, size_t cbPayload) {
    if (cbPayload > VDEV_MAX_PAYLOAD) {
        errno = EMSGSIZE;
        return false;
    }
    uint8_t datagram[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    vdev_header header = {};
    header.type = type;
    header.device = device;
    header.tag = tag;
    header.length = (uint32_t)cbPayload;
    memcpy(datagram, &header, sizeof(header));
    if (cbPayload)
        memcpy(datagram + sizeof(header), pPayload, cbPayload);
    ssize_t cb;
    do {
        cb = send(fd, datagram, sizeof(header) + cbPayload, MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (cb < 0 && errno == EINTR);
    return cb == (ssize_t)(sizeof(header) + cbPayload);
}

// One datagram. 1: a well-formed message; 0: a malformed one (dropped); -1: errno set,
// ENODEV when the server hung up.
int Receive(int fd, Message* pMessage) {
    uint8_t datagram[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    ssize_t cb;
    do {
        cb = recv(fd, datagram, sizeof(datagram), MSG_DONTWAIT | MSG_TRUNC);
    } while (cb < 0 && errno == EINTR);
    if (cb < 0)
        return -1;
    if (cb == 0) {
        errno = ENODEV;
        return -1;
    }
    if ((size_t)cb < sizeof(vdev_header) || (size_t)cb > sizeof(datagram))
        return 0;
    memcpy(&pMessage->header, datagram, sizeof(vdev_header));
    if (pMessage->header.length != (size_t)cb - sizeof(vdev_header))
        return 0;
    pMessage->payload.assign(datagram + sizeof(vdev_header), datagram + cb);
    return 1;
}

// Waits for the reply to `tag`, passing over unsolicited messages.
bool AwaitReply(int fd, uint32_t tag, Message* pReply) {
    for (;;) {
        pollfd pfd = {fd, POLLIN, 0};
        const int n = poll(&pfd, 1, kReplyTimeoutMs);
        if (n == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        const int nReceived = Receive(fd, pReply);
        if (nReceived < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return false;
        }
        if (nReceived > 0 && pReply->header.tag == tag)
            return true;
    }
}

uint32_t NextTag() {
    static std::atomic<uint32_t> tag{0};
    uint32_t value = ++tag;
    return value ? value : ++tag;
}

bool Request(int fd, uint16_t type, uint16_t device, Message* pReply) {
    const uint32_t tag = NextTag();
    if (!Send(fd, type, device, tag, nullptr, 0))
        return false;
    if (!AwaitReply(fd, tag, pReply))
        return false;
    if (pReply->header.type == VDEV_MSG_ERROR) {
        vdev_error error = {};
        memcpy(&error, pReply->payload.data(), std::min(sizeof(error), pReply->payload.size()));
        errno = error.code == VDEV_ERROR_NOT_PRESENT || error.code == VDEV_ERROR_NO_DEVICE ? ENOENT : EIO;
        return false;
    }
    return true;
}

std::wstring FromUtf8Field(const char* psz, size_t cbField) {
    std::wstring text;
    size_t i = 0;
    const size_t cb = strnlen(psz, cbField);
    while (i < cb) {
        const unsigned char c = (unsigned char)psz[i];
        uint32_t code;
        size_t n;
        if (c < 0x80) {
            code = c;
            n = 1;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            n = 2;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            n = 3;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07;
            n = 4;
        } else {
            code = 0xFFFD;
            n = 1;
        }
        if (i + n > cb) {
            text += (wchar_t)0xFFFD;
            break;
        }
        for (size_t k = 1; k < n; ++k)
            code = (code << 6) | ((unsigned char)psz[i + k] & 0x3F);
        text += (wchar_t)code;
        i += n;
    }
    return text;
}

// Identity and descriptor of one device, on an open enumeration connection.
bool Describe(int fd, uint16_t index, uint32_t id, HidDeviceRecord* pDevice) {
    Message reply;
    if (!Request(fd, VDEV_MSG_HID_GET_IDENTITY, index, &reply) ||
        reply.header.type != VDEV_MSG_HID_IDENTITY || reply.payload.size() < sizeof(vdev_hid_identity))
        return false;
    vdev_hid_identity identity;
    memcpy(&identity, reply.payload.data(), sizeof(identity));
    if (!Request(fd, VDEV_MSG_HID_GET_DESCRIPTOR, index, &reply) ||
        reply.header.type != VDEV_MSG_HID_DESCRIPTOR)
        return false;
    pDevice->instance = std::to_string(id);
    pDevice->location = std::to_string(index);
    pDevice->vendorId = identity.vendor_id;
    pDevice->productId = identity.product_id;
    pDevice->versionNumber = identity.version_number;
    pDevice->manufacturer = FromUtf8Field(identity.manufacturer, sizeof(identity.manufacturer));
    pDevice->product = FromUtf8Field(identity.product, sizeof(identity.product));
    pDevice->serialNumber = FromUtf8Field(identity.serial_number, sizeof(identity.serial_number));
    pDevice->reportDescriptor = reply.payload;
    return true;
}

// The HID entries of the server's list: (index, id).
bool List(int fd, std::vector<std::pair<uint16_t, uint32_t>>* pEntries) {
    const uint32_t tag = NextTag();
    if (!Send(fd, VDEV_MSG_LIST, 0, tag, nullptr, 0))
        return false;
    Message reply;
    while (AwaitReply(fd, tag, &reply)) {
        if (reply.header.type == VDEV_MSG_LIST_END)
            return true;
        if (reply.header.type != VDEV_MSG_DEVICE_ENTRY || reply.payload.size() < sizeof(vdev_device_entry))
            continue;
        vdev_device_entry entry;
        memcpy(&entry, reply.payload.data(), sizeof(entry));
        if (entry.family == VDEV_FAMILY_HID)
            pEntries->push_back({reply.header.device, entry.id});
    }
    return false;
}

struct ListedDevice {
    uint16_t index;
    uint32_t id;
    bool bDescribed;
    HidDeviceRecord device;
};

// The server's HID devices, each described, on a connection of its own; with onlyIndex >= 0
// only the device at that index.
std::vector<ListedDevice> ListDescribed(int onlyIndex = -1) {
    std::vector<ListedDevice> listed;
    const int fd = Connect(false);
    if (fd < 0)
        return listed;
    std::vector<std::pair<uint16_t, uint32_t>> entries;
    if (List(fd, &entries)) {
        for (const auto& entry : entries) {
            if (onlyIndex >= 0 && entry.first != onlyIndex)
                continue;
            ListedDevice l{entry.first, entry.second, false, HidDeviceRecord()};
            l.bDescribed = Describe(fd, entry.first, entry.second, &l.device);
            listed.push_back(std::move(l));
        }
    }
    close(fd);
    return listed;
}

void Enumerate(std::vector<HidDeviceRecord>& devices) {
    for (ListedDevice& l : ListDescribed())
        if (l.bDescribed)
            devices.push_back(std::move(l.device));
}

class VirtualConnection : public HidConnection {
public:
    explicit VirtualConnection(int fd) : m_fd(fd) {}
    ~VirtualConnection() override { close(m_fd); }
    int descriptor() const override { return m_fd; }

    ssize_t receiveReport(uint8_t* pReport, size_t cbReport) override {
        Message message;
        const int nReceived = Receive(m_fd, &message);
        if (nReceived < 0)
            return -1;
        if (nReceived > 0 && message.header.type == VDEV_MSG_HID_OUTPUT_TAKEN) {
            if (message.header.tag == m_awaitedTag)
                m_awaitedTag = 0;
            return 0;
        }
        if (nReceived == 0 || message.header.type != VDEV_MSG_HID_INPUT_REPORT || message.payload.empty())
            return 0;
        const size_t cb = std::min(cbReport, message.payload.size());
        memcpy(pReport, message.payload.data(), cb);
        return (ssize_t)cb;
    }

    ssize_t sendReport(const uint8_t* pReport, size_t cbReport) override {
        const uint32_t tag = NextTag();
        if (!Send(m_fd, VDEV_MSG_HID_OUTPUT_REPORT, 0, tag, pReport, cbReport)) {
            if (errno == EPIPE || errno == ECONNRESET)
                errno = ENODEV;
            return -1;
        }
        m_awaitedTag = tag;
        errno = EINPROGRESS;
        return -1;
    }

    bool outputTaken() const override { return m_awaitedTag == 0; }
    void abandonOutput() override { m_awaitedTag = 0; }

private:
    const int m_fd;
    uint32_t m_awaitedTag = 0;  // of the output report the device has not taken yet
};

std::unique_ptr<HidConnection> Open(const HidDeviceRecord& device) {
    const int fd = Connect(false);
    if (fd < 0)
        return nullptr;
    Message reply;
    const uint16_t index = (uint16_t)atoi(device.location.c_str());
    if (!Request(fd, VDEV_MSG_OPEN, index, &reply) || reply.header.type != VDEV_MSG_OPENED) {
        const int nErrno = errno ? errno : EIO;
        close(fd);
        errno = nErrno;
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<HidConnection>(new VirtualConnection(fd));
}

// The watching connection: plug and unplug notifications of the server's devices.
class Watcher {
public:
    Watcher(PollLoop& loop, HidDeviceSink& sink) : m_loop(loop), m_sink(sink) {}

    bool IsAlive() const { return m_bAlive; }

    bool Start() {
        m_fd = Connect(false);
        if (m_fd < 0)
            return false;
        std::vector<std::pair<uint16_t, uint32_t>> entries;
        Message reply;
        if (!List(m_fd, &entries) || !Request(m_fd, VDEV_MSG_WATCH, 0, &reply)) {
            close(m_fd);
            return false;
        }
        for (const auto& entry : entries) {
            m_ids[entry.first] = entry.second;
            HidDeviceRecord device;
            if (Describe(m_fd, entry.first, entry.second, &device))
                m_sink.devicePresent(VirtualHidBackendInstance(), device);
        }
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        m_pollId = m_loop.Watch(m_fd, POLLIN, [this](short revents) { OnPoll(revents); });
        return m_pollId != 0;
    }

private:
    void OnPoll(short revents) {
        if (revents & POLLIN) {
            Message message;
            for (;;) {
                const int nReceived = Receive(m_fd, &message);
                if (nReceived < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK)
                        revents |= POLLHUP;
                    break;
                }
                if (nReceived > 0)
                    Handle(message);
            }
        }
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // The server has gone, and its devices with it.
            for (const auto& entry : m_ids)
                m_sink.deviceRemoved(VirtualHidBackendInstance(), std::to_string(entry.second));
            m_ids.clear();
            m_loop.Unwatch(m_pollId);
            close(m_fd);
            m_bAlive = false;
        }
    }

    void Handle(const Message& message) {
        const uint16_t index = message.header.device;
        if (message.header.type == VDEV_MSG_UNPLUGGED) {
            auto it = m_ids.find(index);
            if (it != m_ids.end())
                m_sink.deviceRemoved(VirtualHidBackendInstance(), std::to_string(it->second));
        } else if (message.header.type == VDEV_MSG_PLUGGED) {
            // Identity on a connection of its own: this one stays for notifications.
            for (const ListedDevice& l : ListDescribed(index)) {
                m_ids[index] = l.id;
                if (l.bDescribed)
                    m_sink.deviceArrived(VirtualHidBackendInstance(), l.device);
            }
        }
    }

    PollLoop& m_loop;
    HidDeviceSink& m_sink;
    int m_fd = -1;
    uint64_t m_pollId = 0;
    std::map<uint16_t, uint32_t> m_ids;  // index -> id of the devices known
    std::atomic<bool> m_bAlive{true};
};

// One watcher per server: a new one when the server named now is another, or the last
// one has gone. A watcher that lost its server stays allocated (its callback may still be
// on the loop's stack); there are only ever a few.
void StartMonitor(PollLoop& loop, HidDeviceSink& sink) {
    static std::mutex mutex;
    static std::vector<Watcher*>* all = new std::vector<Watcher*>;
    static Watcher* current = nullptr;
    static std::string currentPath;
    std::lock_guard<std::mutex> lock(mutex);
    const char* pszPath = getenv(VDEV_ENV_HID);
    const std::string path = pszPath ? pszPath : "";
    if (path.empty() || (current && current->IsAlive() && currentPath == path))
        return;
    Watcher* watcher = new Watcher(loop, sink);
    if (!watcher->Start()) {
        delete watcher;
        return;
    }
    all->push_back(watcher);
    current = watcher;
    currentPath = path;
}

class VirtualHidBackend : public HidBackend {
public:
    const char* name() const override { return "virtual"; }
    void enumerate(std::vector<HidDeviceRecord>& devices) override { Enumerate(devices); }
    std::unique_ptr<HidConnection> open(const HidDeviceRecord& device) override { return Open(device); }
    void startMonitor(PollLoop& loop, HidDeviceSink& sink) override { StartMonitor(loop, sink); }
};

}  // namespace

HidBackend& VirtualHidBackendInstance() {
    static VirtualHidBackend backend;
    return backend;
}

}  // namespace win32
