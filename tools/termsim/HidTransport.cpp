#include "HidTransport.h"

#include "SocketPath.h"

#include "virtual_device_protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

namespace termsim {

namespace {

const std::uint16_t kDeviceIndex = 0;
const std::uint32_t kDeviceId = 1;
// How long a hang-up waits for a client that takes none of the reports still owed to it.
const std::int64_t kDeliveryPatienceMicros = 1000000;

// 1: sent; 0: the socket is full; -1: the connection is broken.
int sendNow(int fd, const Bytes& message) {
    if (::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
        static_cast<ssize_t>(message.size()))
        return 1;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

}  // namespace

HidTransport::HidTransport(const HidDeviceShape& shape, const std::string& socketPath, Transcript& transcript)
    : m_shape(shape), m_path(socketPath), m_transcript(transcript) {}

HidTransport::~HidTransport() {
    for (auto& entry : m_clients)
        close(entry.first);
    if (m_listener >= 0)
        close(m_listener);
    if (m_timer >= 0)
        close(m_timer);
    if (m_paceTimer >= 0)
        close(m_paceTimer);
    if (m_pending >= 0)
        close(m_pending);
    if (m_epoll >= 0)
        close(m_epoll);
    if (m_ownPath && !m_path.empty())
        unlink(m_path.c_str());
}

bool HidTransport::open(std::string& error) {
    if (m_path.empty())
        m_path = defaultSocketPath("hid");
    sockaddr_un address;
    if (!claimSocketPath(m_path, address, error))
        return false;
    m_listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    m_paceTimer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    m_pending = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_listener < 0 || m_epoll < 0 || m_timer < 0 || m_paceTimer < 0 || m_pending < 0) {
        error = std::string("cannot create the socket: ") + std::strerror(errno);
        return false;
    }
    if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 16) != 0) {
        error = "cannot listen on " + m_path + ": " + std::strerror(errno);
        return false;
    }
    m_ownPath = true;
    for (int fd : {m_listener, m_timer, m_paceTimer, m_pending}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
    return true;
}

std::string HidTransport::readyText() const { return "hid " + m_path; }

bool HidTransport::accept(std::string& peer) {
    pump();
    if (m_openCount == 0 || m_newPeer.empty())
        return false;
    peer = m_newPeer;
    m_newPeer.clear();
    m_lostOpen = false;
    updatePending();
    return true;
}

void HidTransport::updatePending() {
    // The session polls one descriptor: while reports wait here, it has to stay readable.
    const bool waiting = !m_incoming.empty() || (m_lostOpen && m_openCount == 0);
    std::uint64_t value = 1;
    if (waiting && !m_pendingSignalled) {
        ssize_t r = ::write(m_pending, &value, sizeof value);
        m_pendingSignalled = r == sizeof value;
    } else if (!waiting && m_pendingSignalled) {
        ssize_t r = ::read(m_pending, &value, sizeof value);
        (void)r;
        m_pendingSignalled = false;
    }
}

Transport::ReadResult HidTransport::read(std::uint8_t* buffer, std::size_t size, std::size_t& got) {
    got = 0;
    if (m_incoming.empty())
        pump();
    ReadResult result = ReadResult::Nothing;
    if (!m_incoming.empty()) {
        Bytes& front = m_incoming.front();
        got = std::min(size, front.size());
        std::memcpy(buffer, front.data(), got);
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(got));
        if (front.empty())
            m_incoming.pop_front();
        result = ReadResult::Data;
    } else if (m_lostOpen && m_openCount == 0) {
        m_lostOpen = false;
        result = ReadResult::Closed;
    }
    updatePending();
    return result;
}

void HidTransport::pump() {
    epoll_event events[16];
    bool handled = true;
    while (handled) {
        handled = false;
        int n = epoll_wait(m_epoll, events, 16, 0);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == m_pending)
                continue;  // only the session's wake-up; updatePending keeps it
            handled = true;
            if (fd == m_listener) {
                acceptClients();
            } else if (fd == m_timer || fd == m_paceTimer) {
                std::uint64_t expirations = 0;
                ssize_t r = ::read(fd, &expirations, sizeof expirations);
                (void)r;
                if (fd == m_timer)
                    plugIn();
                else
                    sendDueReport();
            } else if (m_clients.count(fd) != 0) {
                if (events[i].events & EPOLLOUT)
                    flushClient(fd, m_clients[fd]);
                if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                    serviceClient(fd);
            }
        }
    }
    updatePending();
}

void HidTransport::acceptClients() {
    for (;;) {
        int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        m_clients[fd] = Client{};
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }
}

void HidTransport::serviceClient(int fd) {
    std::uint8_t message[sizeof(vdev_header) + VDEV_MAX_PAYLOAD + 1];
    for (;;) {
        ssize_t n = recv(fd, message, sizeof message, MSG_DONTWAIT);
        if (n > 0) {
            handleMessage(fd, message, static_cast<std::size_t>(n));
            if (m_clients.count(fd) == 0)
                return;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        dropClient(fd);  // hang-up (0) or a broken connection
        return;
    }
}

bool HidTransport::send(int fd, std::uint16_t type, std::uint32_t tag, const void* payload,
                        std::size_t length) {
    auto it = m_clients.find(fd);
    if (it == m_clients.end())
        return false;
    Bytes message(sizeof(vdev_header) + length);
    vdev_header header{};
    header.type = type;
    header.device = kDeviceIndex;
    header.tag = tag;
    header.length = static_cast<std::uint32_t>(length);
    std::memcpy(message.data(), &header, sizeof header);
    if (length > 0)
        std::memcpy(message.data() + sizeof header, payload, length);
    Client& client = it->second;
    if (client.unsent.empty()) {
        const int sent = sendNow(fd, message);
        if (sent != 0)
            return sent > 0;
    }
    // A full socket is a client that reads slowly, not one that has gone: its hang-up, if
    // any, shows on the socket itself.
    client.unsent.push_back(std::move(message));
    flushClient(fd, client);
    return true;
}

void HidTransport::flushClient(int fd, Client& client) {
    while (!client.unsent.empty()) {
        const int sent = sendNow(fd, client.unsent.front());
        if (sent == 0)
            break;
        if (sent < 0) {
            client.unsent.clear();
            break;
        }
        client.unsent.pop_front();
    }
    const bool wantOut = !client.unsent.empty();
    if (wantOut != client.watchingOut) {
        epoll_event event{};
        event.events = wantOut ? EPOLLIN | EPOLLOUT : EPOLLIN;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event);
        client.watchingOut = wantOut;
    }
}

void HidTransport::sendError(int fd, std::uint32_t tag, std::uint32_t code) {
    vdev_error error{code};
    send(fd, VDEV_MSG_ERROR, tag, &error, sizeof error);
}

void HidTransport::handleMessage(int fd, const std::uint8_t* message, std::size_t size) {
    vdev_header header{};
    if (size < sizeof header) {
        sendError(fd, 0, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    std::memcpy(&header, message, sizeof header);
    if (header.length > VDEV_MAX_PAYLOAD || size != sizeof header + header.length) {
        m_transcript.line("ERR", "virtual device message of " + std::to_string(size) + " bytes announces " +
                                     std::to_string(header.length));
        sendError(fd, header.tag, VDEV_ERROR_BAD_MESSAGE);
        return;
    }
    const std::uint8_t* payload = message + sizeof header;
    Client& client = m_clients[fd];
    const bool forDevice = header.type != VDEV_MSG_LIST && header.type != VDEV_MSG_WATCH;
    if (forDevice && header.device != kDeviceIndex) {
        sendError(fd, header.tag, VDEV_ERROR_NO_DEVICE);
        return;
    }
    switch (header.type) {
    case VDEV_MSG_LIST:
        if (m_present) {
            vdev_device_entry entry{VDEV_FAMILY_HID, 0, kDeviceId};
            send(fd, VDEV_MSG_DEVICE_ENTRY, header.tag, &entry, sizeof entry);
        }
        send(fd, VDEV_MSG_LIST_END, header.tag, nullptr, 0);
        break;
    case VDEV_MSG_HID_GET_IDENTITY: {
        const vdev_hid_identity identity = vdev::identityOf(m_shape);
        send(fd, VDEV_MSG_HID_IDENTITY, header.tag, &identity, sizeof identity);
        break;
    }
    case VDEV_MSG_HID_GET_DESCRIPTOR: {
        const Bytes descriptor = vdev::buildReportDescriptor(m_shape);
        send(fd, VDEV_MSG_HID_DESCRIPTOR, header.tag, descriptor.data(), descriptor.size());
        break;
    }
    case VDEV_MSG_OPEN:
        if (!m_present) {
            sendError(fd, header.tag, VDEV_ERROR_NOT_PRESENT);
            break;
        }
        if (!client.open) {
            client.open = true;
            if (m_openCount++ == 0)
                m_newPeer =
                    "hid device " + std::to_string(kDeviceId) + " (connection " + std::to_string(fd) + ")";
        }
        send(fd, VDEV_MSG_OPENED, header.tag, nullptr, 0);
        break;
    case VDEV_MSG_WATCH:
        client.watching = true;
        send(fd, VDEV_MSG_WATCHING, header.tag, nullptr, 0);
        break;
    case VDEV_MSG_HID_OUTPUT_REPORT: {
        if (!client.open) {
            sendError(fd, header.tag, VDEV_ERROR_BAD_MESSAGE);
            break;
        }
        Bytes report(payload, payload + header.length);
        m_transcript.line("RXR", toHex(report));
        send(fd, VDEV_MSG_HID_OUTPUT_TAKEN, header.tag, nullptr, 0);
        // Numbered: ID, count, payload; unnumbered: count, payload (the caller's leading
        // byte does not travel).
        const std::size_t countAt = m_shape.numbered ? 1 : 0;
        const std::size_t expected = m_shape.numbered ? m_shape.outputLength : m_shape.outputLength - 1;
        if (report.size() != expected)
            m_transcript.line("ERR", "output report of " + std::to_string(report.size()) +
                                         " bytes, expected " + std::to_string(expected));
        if (m_shape.numbered && !report.empty() && report[0] != m_shape.outputId)
            m_transcript.line("ERR", "output report ID " + toHex(report.data(), 1) + ", expected " +
                                         toHex(&m_shape.outputId, 1));
        if (report.size() <= countAt)
            break;
        std::size_t count = report[countAt];
        if (count > report.size() - countAt - 1) {
            m_transcript.line("ERR", "output report count " + std::to_string(count) + " passes its end");
            count = report.size() - countAt - 1;
        }
        if (count > 0)
            m_incoming.emplace_back(report.begin() + static_cast<std::ptrdiff_t>(countAt + 1),
                                    report.begin() + static_cast<std::ptrdiff_t>(countAt + 1 + count));
        break;
    }
    default: sendError(fd, header.tag, VDEV_ERROR_UNSUPPORTED); break;
    }
}

bool HidTransport::write(const std::uint8_t* data, std::size_t size) {
    // A report of two bytes has no room for payload: nothing could be sent.
    if (m_openCount == 0 || m_shape.inputLength < 3)
        return false;
    const std::size_t room = m_shape.inputLength - 2;
    const std::size_t reportSize = m_shape.numbered ? m_shape.inputLength : m_shape.inputLength - 1;
    std::size_t done = 0;
    // An empty write still sends one report, with count 0.
    do {
        const std::size_t chunk = std::min(room, size - done);
        Bytes report(reportSize, 0);
        std::size_t at = 0;
        if (m_shape.numbered)
            report[at++] = m_shape.inputId;
        report[at++] = static_cast<std::uint8_t>(chunk);
        std::memcpy(report.data() + at, data + done, chunk);
        done += chunk;
        m_reports.push_back(std::move(report));
    } while (done < size);
    sendDueReport();
    return true;
}

// Hands the next input report to every connection that has the device open, once its
// turn has come, and sets the timer for the one after it.
void HidTransport::sendDueReport() {
    const std::int64_t now = monotonicMicros();
    if (!m_reports.empty() && now >= m_nextReportAt) {
        const Bytes report = std::move(m_reports.front());
        m_reports.pop_front();
        m_transcript.line("TXR", toHex(report));
        for (auto& entry : m_clients)
            if (entry.second.open)
                send(entry.first, VDEV_MSG_HID_INPUT_REPORT, 0, report.data(), report.size());
        m_nextReportAt = now + static_cast<std::int64_t>(m_shape.inputIntervalMs) * 1000;
    }
    itimerspec when{};  // all zero: disarmed while no report waits
    if (!m_reports.empty()) {
        const std::int64_t at = std::max<std::int64_t>(m_nextReportAt, 1);
        when.it_value.tv_sec = static_cast<time_t>(at / 1000000);
        when.it_value.tv_nsec = static_cast<long>(at % 1000000) * 1000L;
    }
    timerfd_settime(m_paceTimer, TFD_TIMER_ABSTIME, &when, nullptr);
}

std::size_t HidTransport::owedToOpenClients() const {
    if (m_openCount == 0)
        return 0;
    std::size_t owed = m_reports.size();
    for (const auto& entry : m_clients)
        if (entry.second.open)
            owed += entry.second.unsent.size();
    return owed;
}

// A device that hangs up after a reply has sent the reply first, at its own pace.
void HidTransport::deliverOwed() {
    std::int64_t lastProgress = monotonicMicros();
    for (std::size_t owed; (owed = owedToOpenClients()) > 0;) {
        pollfd p{m_epoll, POLLIN, 0};
        poll(&p, 1, 10);
        pump();
        const std::int64_t now = monotonicMicros();
        if (owedToOpenClients() < owed)
            lastProgress = now;
        else if (now - lastProgress > kDeliveryPatienceMicros)
            return;
    }
}

void HidTransport::dropClient(int fd) {
    auto it = m_clients.find(fd);
    if (it == m_clients.end())
        return;
    if (it->second.open && --m_openCount == 0)
        m_lostOpen = true;
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    m_clients.erase(it);
}

void HidTransport::disconnect() {
    deliverOwed();
    hangUp();
}

void HidTransport::hangUp() {
    // Every connection that has the device open: the client sees the device go.
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        int fd = it->first;
        bool open = it->second.open;
        ++it;
        if (open)
            dropClient(fd);
    }
    m_lostOpen = false;
    m_incoming.clear();
    m_reports.clear();
    sendDueReport();
    updatePending();
}

void HidTransport::unplug(unsigned replugAfterMs) {
    if (!m_present)
        return;
    m_present = false;
    m_transcript.line("EV", "unplug");
    for (auto& entry : m_clients)
        if (entry.second.watching)
            send(entry.first, VDEV_MSG_UNPLUGGED, 0, nullptr, 0);
    // What the device had not handed to the host goes with it.
    hangUp();
    if (replugAfterMs != 0) {
        itimerspec when{};
        when.it_value.tv_sec = replugAfterMs / 1000;
        when.it_value.tv_nsec = static_cast<long>(replugAfterMs % 1000) * 1000000L;
        timerfd_settime(m_timer, 0, &when, nullptr);
    }
}

void HidTransport::plugIn() {
    if (m_present)
        return;
    m_present = true;
    m_transcript.line("EV", "plug");
    for (auto& entry : m_clients)
        if (entry.second.watching)
            send(entry.first, VDEV_MSG_PLUGGED, 0, nullptr, 0);
}

}  // namespace termsim
