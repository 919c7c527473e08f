#include "UsbioTransport.h"

#include "SocketPath.h"

#include "virtual_device_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

namespace termsim {

namespace {

const std::uint8_t kEndpointOut = 0x02;
const std::uint8_t kEndpointIn = 0x83;
const std::uint8_t kConfigurationValue = 1;
const std::uint32_t kDeviceId = 1;

// Standard requests (USB 2.0, 9.4).
const std::uint8_t kGetStatus = 0x00;
const std::uint8_t kClearFeature = 0x01;
const std::uint8_t kGetDescriptor = 0x06;
const std::uint8_t kGetConfiguration = 0x08;
const std::uint8_t kSetConfiguration = 0x09;
const std::uint8_t kSetInterface = 0x0B;
const std::uint16_t kEndpointHalt = 0;

const char* const kStrings[] = {"termsim", "Virtual USB terminal", "0001"};

std::int64_t monotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void putWord(Bytes& bytes, std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

Bytes stringDescriptor(unsigned index) {
    Bytes d{0, 3};
    if (index == 0) {
        putWord(d, 0x0409);
    } else {
        for (const char* p = kStrings[index - 1]; *p; ++p)
            putWord(d, static_cast<std::uint8_t>(*p));
    }
    d[0] = static_cast<std::uint8_t>(d.size());
    return d;
}

}  // namespace

UsbioTransport::UsbioTransport(UsbioOptions options) : m_options(std::move(options)) {}

UsbioTransport::~UsbioTransport() {
    for (auto& entry : m_clients)
        close(entry.first);
    if (m_listener >= 0) {
        close(m_listener);
        unlink(m_path.c_str());
    }
    if (m_timer >= 0)
        close(m_timer);
    if (m_epoll >= 0)
        close(m_epoll);
}

bool UsbioTransport::open(std::string& error) {
    m_path = m_options.socketPath.empty() ? defaultSocketPath("usbio") : m_options.socketPath;
    sockaddr_un address;
    if (!claimSocketPath(m_path, address, error))
        return false;
    m_listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_listener < 0 || m_epoll < 0 || m_timer < 0) {
        error = std::string("cannot set the device up: ") + std::strerror(errno);
        return false;
    }
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 16) != 0) {
        error = "cannot listen on " + m_path + ": " + std::strerror(errno);
        close(m_listener);
        m_listener = -1;
        return false;
    }
    for (int fd : {m_listener, m_timer}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    return true;
}

std::string UsbioTransport::readyText() const { return "usbio " + m_path; }

bool UsbioTransport::accept(std::string& peer) {
    if (m_plugged && m_announced)
        return false;
    if (!m_plugged) {
        // Only read() may take in OUT data, which the session then reads at once; while
        // unplugged nothing can bring any.
        service();
        if (m_replugAt < 0 || monotonicMicros() < m_replugAt)
            return false;
        plug();
    }
    m_announced = true;
    char text[64];
    std::snprintf(text, sizeof text, "usbio device %04x:%04x", m_options.vendorId, m_options.productId);
    peer = text;
    return true;
}

Transport::ReadResult UsbioTransport::read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    service();
    if (!m_plugged)
        return ReadResult::Closed;
    if (m_out.empty())
        return ReadResult::Nothing;
    got = std::min(size, m_out.size());
    std::memcpy(buffer, m_out.data(), got);
    m_out.erase(m_out.begin(), m_out.begin() + static_cast<std::ptrdiff_t>(got));
    return ReadResult::Data;
}

bool UsbioTransport::write(const std::uint8_t* data, std::size_t size) {
    if (!m_plugged)
        return false;
    m_in.insert(m_in.end(), data, data + size);
    serveIn();
    armTimer();
    return true;
}

void UsbioTransport::disconnect() {
    if (!m_plugged)
        return;
    m_plugged = false;
    // Connections that have the device open see it hang up, as a device node does.
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        const int fd = it->first;
        ++it;
        if (m_clients[fd].opened)
            drop(fd);
    }
    for (auto& entry : m_clients)
        if (entry.second.watching)
            send(entry.first, VDEV_MSG_UNPLUGGED, 0, nullptr, 0);
    m_pending.clear();
    m_heldOut.clear();
    m_in.clear();
    m_out.clear();
    m_configuration = 0;
    m_outHalted = m_inHalted = m_outHeld = false;
    m_zeroPacketDue = false;
    m_replugAt = m_options.replugAfterMs
                     ? monotonicMicros() + static_cast<std::int64_t>(m_options.replugAfterMs) * 1000
                     : -1;
    armTimer();
}

bool UsbioTransport::stall() {
    m_inHalted = true;
    while (!m_pending.empty())
        finishIn(m_pending.begin(), VDEV_USBIO_STALL);
    return true;
}

Bytes UsbioTransport::deviceDescriptor() const {
    Bytes d{18, 1};
    putWord(d, 0x0200);                         // bcdUSB
    d.insert(d.end(), {0xFF, 0x00, 0x00, 64});  // vendor-specific class, EP0 packet size
    putWord(d, m_options.vendorId);
    putWord(d, m_options.productId);
    putWord(d, 0x0100);               // bcdDevice
    d.insert(d.end(), {1, 2, 3, 1});  // strings, one configuration
    return d;
}

Bytes UsbioTransport::configurationDescriptor() const {
    const std::uint16_t packet = static_cast<std::uint16_t>(m_options.packetSize);
    Bytes d{9, 2, 0, 0, 1, kConfigurationValue, 0, 0x80, 50};  // bus-powered, 100 mA
    d.insert(d.end(), {9, 4, 0, 0, 2, 0xFF, 0x00, 0x00, 0});   // interface 0, two endpoints
    d.insert(d.end(), {7, 5, kEndpointOut, 0x02});
    putWord(d, packet);
    d.push_back(0);
    d.insert(d.end(), {7, 5, kEndpointIn, 0x02});
    putWord(d, packet);
    d.push_back(0);
    d[2] = static_cast<std::uint8_t>(d.size());
    return d;
}

void UsbioTransport::service() {
    epoll_event events[16];
    for (;;) {
        const int n = epoll_wait(m_epoll, events, 16, 0);
        if (n <= 0)
            break;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == m_listener) {
                acceptClients();
            } else if (fd == m_timer) {
                std::uint64_t expirations = 0;
                ssize_t r = ::read(m_timer, &expirations, sizeof expirations);
                (void)r;
            } else if (m_clients.count(fd)) {
                receive(fd);
            }
        }
    }
    serveIn();
    armTimer();
}

void UsbioTransport::acceptClients() {
    for (;;) {
        const int fd = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
        m_clients[fd] = Client();
    }
}

// One message per call: service() asks epoll again until nothing is left, so reading on
// until EAGAIN would cost every request one more system call.
void UsbioTransport::receive(int fd) {
    std::uint8_t message[sizeof(vdev_header) + VDEV_MAX_PAYLOAD + 1];
    const ssize_t n = recv(fd, message, sizeof message, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        drop(fd);
        return;
    }
    vdev_header header;
    if (static_cast<std::size_t>(n) < sizeof header) {
        sendError(fd, 0, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    std::memcpy(&header, message, sizeof header);
    if (header.length > VDEV_MAX_PAYLOAD || static_cast<std::size_t>(n) != sizeof header + header.length) {
        sendError(fd, header.tag, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    handle(fd, header.type, header.device, header.tag, message + sizeof header, header.length);
}

void UsbioTransport::drop(int fd) {
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    m_clients.erase(fd);
    for (auto it = m_pending.begin(); it != m_pending.end();)
        it = it->fd == fd ? m_pending.erase(it) : std::next(it);
    for (auto it = m_heldOut.begin(); it != m_heldOut.end();)
        it = it->fd == fd ? m_heldOut.erase(it) : std::next(it);
}

void UsbioTransport::handle(int fd, std::uint16_t type, std::uint16_t device, std::uint32_t tag,
                            const std::uint8_t* payload, std::uint32_t length) {
    Client& client = m_clients[fd];
    switch (type) {
    case VDEV_MSG_LIST:
        if (m_plugged) {
            vdev_device_entry entry{VDEV_FAMILY_USBIO, 0, kDeviceId};
            send(fd, VDEV_MSG_DEVICE_ENTRY, tag, &entry, sizeof entry);
        }
        send(fd, VDEV_MSG_LIST_END, tag, nullptr, 0);
        return;
    case VDEV_MSG_WATCH:
        client.watching = true;
        send(fd, VDEV_MSG_WATCHING, tag, nullptr, 0);
        return;
    case VDEV_MSG_USBIO_CANCEL: cancel(fd, tag); return;
    default: break;
    }
    const bool known = type == VDEV_MSG_OPEN || type == VDEV_MSG_USBIO_GET_DRIVER_INFO ||
                       type == VDEV_MSG_USBIO_CONTROL || type == VDEV_MSG_USBIO_TRANSFER;
    if (!known) {
        sendError(fd, tag, VDEV_ERROR_UNSUPPORTED);
        return;
    }
    if (device != 0) {
        sendError(fd, tag, VDEV_ERROR_NO_DEVICE);
        return;
    }
    if (!m_plugged) {
        sendError(fd, tag, VDEV_ERROR_NOT_PRESENT);
        return;
    }
    switch (type) {
    case VDEV_MSG_OPEN:
        client.opened = true;
        send(fd, VDEV_MSG_OPENED, tag, nullptr, 0);
        break;
    case VDEV_MSG_USBIO_GET_DRIVER_INFO: {
        vdev_usbio_driver_info info{m_options.driverVersion, 0};
        send(fd, VDEV_MSG_USBIO_DRIVER_INFO, tag, &info, sizeof info);
        break;
    }
    case VDEV_MSG_USBIO_CONTROL: control(fd, tag, payload, length); break;
    case VDEV_MSG_USBIO_TRANSFER:
        if (!client.opened)
            sendError(fd, tag, VDEV_ERROR_BAD_MESSAGE);
        else
            transfer(fd, tag, payload, length);
        break;
    }
}

void UsbioTransport::control(int fd, std::uint32_t tag, const std::uint8_t* payload, std::uint32_t length) {
    vdev_usbio_setup setup;
    if (length < sizeof setup) {
        sendError(fd, tag, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    std::memcpy(&setup, payload, sizeof setup);
    Bytes reply;
    bool ok = true;
    const bool toHost = (setup.request_type & 0x80) != 0;
    const std::uint8_t recipient = setup.request_type & 0x1F;
    const std::uint8_t descriptorType = static_cast<std::uint8_t>(setup.value >> 8);
    const std::uint8_t descriptorIndex = static_cast<std::uint8_t>(setup.value);
    if (toHost && setup.request == kGetDescriptor && recipient == 0) {
        if (descriptorType == 1 && descriptorIndex == 0)
            reply = deviceDescriptor();
        else if (descriptorType == 2 && descriptorIndex == 0)
            reply = configurationDescriptor();
        else if (descriptorType == 3 && descriptorIndex <= 3)
            reply = stringDescriptor(descriptorIndex);
        else
            ok = false;
    } else if (toHost && setup.request == kGetConfiguration) {
        reply.push_back(m_configuration);
    } else if (toHost && setup.request == kGetStatus) {
        const bool halted = recipient == 2 && ((setup.index == kEndpointIn && m_inHalted) ||
                                               (setup.index == kEndpointOut && m_outHalted));
        reply = {static_cast<std::uint8_t>(halted ? 1 : 0), 0};
    } else if (!toHost && setup.request == kSetConfiguration) {
        ok = setup.value == 0 || setup.value == kConfigurationValue;
        if (ok) {
            m_configuration = static_cast<std::uint8_t>(setup.value);
            m_outHalted = m_inHalted = false;
            m_zeroPacketDue = false;
        }
    } else if (!toHost && setup.request == kSetInterface) {
        ok = m_configuration != 0 && setup.index == 0 && setup.value == 0;
    } else if (!toHost && setup.request == kClearFeature && recipient == 2 && setup.value == kEndpointHalt) {
        if (setup.index == kEndpointIn)
            m_inHalted = false;
        else if (setup.index == kEndpointOut)
            m_outHalted = false;
        else
            ok = false;
    } else {
        ok = false;
    }
    if (reply.size() > setup.length)
        reply.resize(setup.length);
    sendTransferDone(fd, VDEV_MSG_USBIO_CONTROL_DONE, tag, 0, ok ? VDEV_USBIO_OK : VDEV_USBIO_STALL, reply,
                     static_cast<std::uint32_t>(reply.size()));
}

void UsbioTransport::transfer(int fd, std::uint32_t tag, const std::uint8_t* payload, std::uint32_t length) {
    vdev_usbio_transfer request;
    if (length < sizeof request) {
        sendError(fd, tag, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    std::memcpy(&request, payload, sizeof request);
    const Bytes none;
    if (m_configuration == 0 || (request.endpoint != kEndpointOut && request.endpoint != kEndpointIn)) {
        sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, request.endpoint, VDEV_USBIO_NO_ENDPOINT,
                         none, 0);
        return;
    }
    if (request.endpoint == kEndpointOut) {
        const std::uint32_t count = static_cast<std::uint32_t>(length - sizeof request);
        if (request.length != count) {
            sendError(fd, tag, VDEV_ERROR_BAD_MESSAGE);
            return;
        }
        if (m_outHalted) {
            sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, request.endpoint, VDEV_USBIO_STALL, none,
                             0);
            return;
        }
        const Bytes data(payload + sizeof request, payload + length);
        if (m_outHeld)
            m_heldOut.push_back(OutTransfer{fd, tag, data});
        else
            takeOut(fd, tag, data);
        return;
    }
    if (m_inHalted) {
        sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, request.endpoint, VDEV_USBIO_STALL, none, 0);
        return;
    }
    InTransfer in{fd, tag, std::min<std::uint32_t>(request.length, VDEV_USBIO_MAX_DATA), Bytes()};
    if (in.wanted == 0) {
        sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, request.endpoint, VDEV_USBIO_OK, none, 0);
        return;
    }
    m_pending.push_back(in);
    serveIn();
}

void UsbioTransport::cancel(int fd, std::uint32_t tag) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        if (it->fd == fd && it->tag == tag) {
            finishIn(it, VDEV_USBIO_CANCELLED);
            return;
        }
    for (auto it = m_heldOut.begin(); it != m_heldOut.end(); ++it)
        if (it->fd == fd && it->tag == tag) {
            m_heldOut.erase(it);
            sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, kEndpointOut, VDEV_USBIO_CANCELLED,
                             Bytes(), 0);
            return;
        }
}

void UsbioTransport::takeOut(int fd, std::uint32_t tag, const Bytes& data) {
    m_out.insert(m_out.end(), data.begin(), data.end());
    sendTransferDone(fd, VDEV_MSG_USBIO_TRANSFER_DONE, tag, kEndpointOut, VDEV_USBIO_OK, Bytes(),
                     static_cast<std::uint32_t>(data.size()));
}

void UsbioTransport::holdOut(bool bHold) {
    m_outHeld = bHold;
    while (!m_outHeld && !m_heldOut.empty()) {
        const OutTransfer out = m_heldOut.front();
        m_heldOut.pop_front();
        takeOut(out.fd, out.tag, out.data);
    }
}

void UsbioTransport::finishIn(std::deque<InTransfer>::iterator it, std::uint32_t status) {
    const InTransfer done = *it;
    m_pending.erase(it);
    sendTransferDone(done.fd, VDEV_MSG_USBIO_TRANSFER_DONE, done.tag, kEndpointIn, status, done.data,
                     static_cast<std::uint32_t>(done.data.size()));
}

// Moves queued reply bytes into waiting IN transfers, one packet at a time, as a host
// controller takes them: a packet that does not fit the room left in a transfer overruns
// it, and the packet is lost with it.
void UsbioTransport::serveIn() {
    while (m_plugged && !m_pending.empty() && (!m_in.empty() || m_zeroPacketDue) && !m_inHalted) {
        const std::int64_t now = monotonicMicros();
        if (m_options.packetGapMs && now < m_nextPacketAt)
            return;
        if (m_options.packetGapMs)
            m_nextPacketAt = now + static_cast<std::int64_t>(m_options.packetGapMs) * 1000;
        InTransfer& transfer = m_pending.front();
        if (m_zeroPacketDue) {
            m_zeroPacketDue = false;
            finishIn(m_pending.begin(), VDEV_USBIO_OK);
            continue;
        }
        const std::size_t packet = std::min<std::size_t>(m_options.packetSize, m_in.size());
        const auto end = m_in.begin() + static_cast<std::ptrdiff_t>(packet);
        if (packet > transfer.wanted - transfer.data.size()) {
            m_in.erase(m_in.begin(), end);
            finishIn(m_pending.begin(), VDEV_USBIO_OVERFLOW);
            continue;
        }
        transfer.data.insert(transfer.data.end(), m_in.begin(), end);
        m_in.erase(m_in.begin(), end);
        const bool full = transfer.data.size() == transfer.wanted;
        if (packet == m_options.packetSize && m_in.empty()) {
            // A whole packet that empties the queue is followed by a zero-length one rather
            // than leave the host waiting; it ends this transfer, or the next one when this
            // one is full already.
            m_zeroPacketDue = full;
            finishIn(m_pending.begin(), VDEV_USBIO_OK);
        } else if (packet < m_options.packetSize || full) {
            finishIn(m_pending.begin(), VDEV_USBIO_OK);
        }
    }
}

void UsbioTransport::plug() {
    m_plugged = true;
    m_replugAt = -1;
    for (auto& entry : m_clients)
        if (entry.second.watching)
            send(entry.first, VDEV_MSG_PLUGGED, 0, nullptr, 0);
}

void UsbioTransport::armTimer() {
    std::int64_t due = -1;
    if (!m_plugged && m_replugAt >= 0)
        due = m_replugAt;
    if (m_plugged && m_options.packetGapMs && !m_pending.empty() && (!m_in.empty() || m_zeroPacketDue))
        due = m_nextPacketAt;
    // Every read and write of the session comes here; a timer that is off and stays off
    // needs no system call each time.
    if (due < 0 && !m_timerArmed)
        return;
    m_timerArmed = due >= 0;
    itimerspec timeout{};
    if (due >= 0) {
        const std::int64_t wait = std::max<std::int64_t>(1, due - monotonicMicros());
        timeout.it_value.tv_sec = static_cast<time_t>(wait / 1000000);
        timeout.it_value.tv_nsec = static_cast<long>((wait % 1000000) * 1000);
    }
    timerfd_settime(m_timer, 0, &timeout, nullptr);
}

bool UsbioTransport::send(int fd, std::uint16_t type, std::uint32_t tag, const void* head,
                          std::size_t headLength, const std::uint8_t* data, std::size_t dataLength) {
    vdev_header header{};
    header.type = type;
    header.tag = tag;
    header.length = static_cast<std::uint32_t>(headLength + dataLength);
    iovec parts[3] = {{&header, sizeof header},
                      {const_cast<void*>(head), headLength},
                      {const_cast<std::uint8_t*>(data), dataLength}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 3;
    for (;;) {
        if (sendmsg(fd, &message, MSG_NOSIGNAL) >= 0)
            return true;
        if (errno != EAGAIN && errno != EINTR)
            return false;
        // A client that reads nothing for a second is not waited for any longer.
        pollfd p{fd, POLLOUT, 0};
        if (errno == EAGAIN && poll(&p, 1, 1000) <= 0)
            return false;
    }
}

void UsbioTransport::sendError(int fd, std::uint32_t tag, std::uint32_t code) {
    vdev_error error{code};
    send(fd, VDEV_MSG_ERROR, tag, &error, sizeof error);
}

void UsbioTransport::sendTransferDone(int fd, std::uint16_t type, std::uint32_t tag, std::uint8_t endpoint,
                                      std::uint32_t status, const Bytes& data, std::uint32_t moved) {
    vdev_usbio_transfer done{};
    done.endpoint = endpoint;
    done.status = status;
    done.length = moved;
    send(fd, type, tag, &done, sizeof done, data.data(), data.size());
}

}  // namespace termsim
