// A virtual USB device served to the library's USBIO layer over a SOCK_SEQPACKET Unix
// socket, in the virtual device protocol. The terminal's requests arrive as OUT transfers
// on endpoint 0x02, its replies leave as IN transfers on 0x83, cut into packets as a bulk
// endpoint cuts them; an IN transfer with less room than the next packet fails with an
// overrun, as a host controller fails it. Any number of client connections share the one device; the session
// sees one byte stream and "connected" means "plugged in".
#pragma once

#include "Bytes.h"
#include "Transport.h"
#include "UsbioOptions.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace termsim {

class UsbioTransport : public Transport {
public:
    explicit UsbioTransport(UsbioOptions options);
    ~UsbioTransport() override;

    bool open(std::string& error) override;
    std::string readyText() const override;
    int pollFd() const override { return m_epoll; }
    bool connected() const override { return m_plugged; }
    // At start: announces the device once. While unplugged: serves the clients and plugs
    // the device in again when its time has come.
    bool accept(std::string& peer) override;
    ReadResult read(std::uint8_t* buffer, std::size_t size, std::size_t& got) override;
    bool write(const std::uint8_t* data, std::size_t size) override;
    bool canDisconnect() const override { return true; }
    // Unplugs the device.
    void disconnect() override;
    bool stall() override;
    // While held, the OUT endpoint NAKs: OUT transfers wait, in order, until it is let go
    // (then the device takes them) or the host cancels them.
    void holdOut(bool bHold);

    const std::string& socketPath() const { return m_path; }

    // The device's descriptors, as GET_DESCRIPTOR returns them.
    Bytes deviceDescriptor() const;
    Bytes configurationDescriptor() const;

private:
    struct Client {
        bool opened = false;
        bool watching = false;
    };
    struct InTransfer {
        int fd;
        std::uint32_t tag;
        std::uint32_t wanted;
        Bytes data;
    };
    struct OutTransfer {
        int fd;
        std::uint32_t tag;
        Bytes data;
    };

    void service();
    void acceptClients();
    void receive(int fd);
    void drop(int fd);
    void handle(int fd, std::uint16_t type, std::uint16_t device, std::uint32_t tag,
                const std::uint8_t* payload, std::uint32_t length);
    void control(int fd, std::uint32_t tag, const std::uint8_t* payload, std::uint32_t length);
    void transfer(int fd, std::uint32_t tag, const std::uint8_t* payload, std::uint32_t length);
    void cancel(int fd, std::uint32_t tag);
    void finishIn(std::deque<InTransfer>::iterator it, std::uint32_t status);
    void takeOut(int fd, std::uint32_t tag, const Bytes& data);
    void serveIn();
    void plug();
    void armTimer();
    bool send(int fd, std::uint16_t type, std::uint32_t tag, const void* head, std::size_t headLength,
              const std::uint8_t* data = nullptr, std::size_t dataLength = 0);
    void sendError(int fd, std::uint32_t tag, std::uint32_t code);
    void sendTransferDone(int fd, std::uint16_t type, std::uint32_t tag, std::uint8_t endpoint,
                          std::uint32_t status, const Bytes& data, std::uint32_t moved);

    UsbioOptions m_options;
    std::string m_path;
    int m_epoll = -1;
    int m_listener = -1;
    int m_timer = -1;
    bool m_timerArmed = true;  // unknown at first: the first armTimer sets it either way
    std::map<int, Client> m_clients;

    bool m_plugged = true;
    bool m_announced = false;
    std::int64_t m_replugAt = -1;  // monotonic microseconds; -1 none
    std::uint8_t m_configuration = 0;
    bool m_outHalted = false;
    bool m_inHalted = false;
    bool m_outHeld = false;
    std::deque<OutTransfer> m_heldOut;  // OUT transfers the device has not taken, in order
    Bytes m_out;                        // OUT data the session has not read yet
    std::deque<std::uint8_t> m_in;      // reply bytes waiting for IN transfers
    bool m_zeroPacketDue = false;       // the next IN transfer gets a zero-length packet
    std::deque<InTransfer> m_pending;   // IN transfers in the order they came
    std::int64_t m_nextPacketAt = 0;
};

}  // namespace termsim
