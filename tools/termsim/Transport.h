// One way of reaching the peer. The session polls pollFd(); a transport that serves
// connections one after another (TCP, virtual devices) accepts the next one when
// pollFd() turns readable while it is not connected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace termsim {

class Transport {
public:
    virtual ~Transport() = default;

    // Sets the transport up so that a peer can reach it. False with a reason on failure.
    virtual bool open(std::string& error) = 0;
    // What follows "READY " on standard output, e.g. "pty /dev/pts/7".
    virtual std::string readyText() const = 0;

    virtual int pollFd() const = 0;
    virtual bool connected() const = 0;
    // Takes the waiting connection; peer describes it. False when there was none after all.
    virtual bool accept(std::string& peer) = 0;

    enum class ReadResult { Data, Nothing, Closed, Failed };
    virtual ReadResult read(std::uint8_t* buffer, std::size_t size, std::size_t& got) = 0;
    // Writes all of one chunk as one write (one segment where the medium has segments).
    virtual bool write(const std::uint8_t* data, std::size_t size) = 0;

    // Whether this medium can hang up on its peer.
    virtual bool canDisconnect() const = 0;
    virtual void disconnect() = 0;
    // Takes the device away (and, after replugAfterMs unless 0, brings it back), where
    // the medium is a device that can be unplugged.
    virtual void unplug(unsigned replugAfterMs) { (void)replugAfterMs; }

    // Halts the endpoint replies leave on, where the medium has one (USB); false elsewhere.
    virtual bool stall() { return false; }
};

}  // namespace termsim
