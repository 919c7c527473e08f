// A virtual HID terminal served over a SOCK_SEQPACKET Unix socket in the virtual device
// message protocol: one device, listed, described and opened by the platform layer's
// virtual backend. To the session it is a byte stream like the other transports: the
// payloads of the output reports come in, and each write leaves as input reports, at most
// one per polling interval of the interrupt IN endpoint, as a host controller fetches them.
// The report format (ID, count byte, payload, zero fill) is this simulator's own code.
#pragma once

#include "Transcript.h"
#include "Transport.h"
#include "virtual_hid_shape.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace termsim {

// The device as data (identity, report lengths and IDs), in the form the tests' fake HID
// devices share.
using vdev::HidDeviceShape;

class HidTransport : public Transport {
public:
    // An empty socket path makes one under the temporary folder.
    HidTransport(const HidDeviceShape& shape, const std::string& socketPath, Transcript& transcript);
    ~HidTransport() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int pollFd() const override { return m_epoll; }
    bool connected() const override { return m_openCount > 0; }
    bool accept(std::string& peer) override;
    ReadResult read(std::uint8_t* buffer, std::size_t size, std::size_t& got) override;
    bool write(const std::uint8_t* data, std::size_t size) override;
    bool canDisconnect() const override { return true; }
    void disconnect() override;
    void unplug(unsigned replugAfterMs) override;

    const std::string& socketPath() const { return m_path; }

private:
    struct Client {
        bool open = false;
        bool watching = false;
        // Messages its socket has not taken yet (a client that reads slowly), oldest first.
        std::deque<Bytes> unsent;
        bool watchingOut = false;
    };

    // Handles everything that is waiting on every socket and the timers.
    void pump();
    void acceptClients();
    void serviceClient(int fd);
    void handleMessage(int fd, const std::uint8_t* message, std::size_t size);
    // Sends, or keeps the message for the client until its socket takes it; false when the
    // connection is broken.
    bool send(int fd, std::uint16_t type, std::uint32_t tag, const void* payload, std::size_t length);
    void sendError(int fd, std::uint32_t tag, std::uint32_t code);
    void flushClient(int fd, Client& client);
    void sendDueReport();
    std::size_t owedToOpenClients() const;
    void deliverOwed();
    void hangUp();
    void dropClient(int fd);
    void plugIn();
    void updatePending();

    HidDeviceShape m_shape;
    std::string m_path;
    bool m_ownPath = false;
    Transcript& m_transcript;
    int m_listener = -1;
    int m_epoll = -1;
    int m_timer = -1;
    int m_paceTimer = -1;  // the next input report's turn
    int m_pending = -1;    // an eventfd, readable while reports wait to be read
    bool m_pendingSignalled = false;
    bool m_present = true;
    std::map<int, Client> m_clients;
    int m_openCount = 0;
    bool m_lostOpen = false;  // the last connection with the device open went away
    std::deque<Bytes> m_incoming;
    std::deque<Bytes> m_reports;  // input reports the host has not fetched yet
    std::int64_t m_nextReportAt = 0;
    std::string m_newPeer;
};

}  // namespace termsim
