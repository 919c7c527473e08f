// The terminal side of the three framings: building reply frames and cutting the
// peer's byte stream into requests. Written apart from the library's own framing so
// that a fault in either shows up against the other.
#pragma once

#include "Bytes.h"
#include "Options.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace termsim {

constexpr std::uint8_t kVliStart = 0x05;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;

// The most a receiver holds of one request (a long-form VLI frame's limit): a host that
// sends more without a frame end or a pause has its bytes dropped and reported, so a peer
// that never stops cannot grow the simulator without bound.
constexpr std::size_t kMaxRequestBytes = 65536;

// 05 LEN CMD PAYLOAD XOR, or 05 00 LO HI CMD PAYLOAD XOR when forced or when the frame
// would not fit a length byte.
Bytes encodeVli(std::uint8_t command, const Bytes& payload, bool forceLongForm);
// Bytes a reader needs to learn the length and the status: 4 (short) or 6 (long).
std::size_t vliHeaderLength(const Bytes& frame);

// STX MESSAGE ETX LRC with LRC = XOR of MESSAGE and ETX.
Bytes encodeStx(const Bytes& message);

// Something the peer sent, as the terminal understands it.
struct Inbound {
    enum class Kind { Request, Ack, Nak, Error };
    Kind kind = Kind::Request;
    std::uint8_t command = 0;
    Bytes data;
    Bytes raw;            // the whole frame, or the offending bytes of an error
    std::string text;     // what is wrong (Error)
    bool refuse = false;  // stx: a frame that arrived whole but must be answered with NAK
};

class Receiver {
public:
    virtual ~Receiver() = default;
    virtual void feed(const Bytes& data, std::int64_t nowMicros, std::vector<Inbound>& out) = 0;
    // Timeouts: incomplete frames, the raw request gap.
    virtual void tick(std::int64_t nowMicros, std::vector<Inbound>& out) = 0;
    // When tick next has work to do; -1 when nothing is pending.
    virtual std::int64_t deadline() const = 0;
    // The connection is gone: whatever is half received is dropped.
    virtual void reset() = 0;
};

std::unique_ptr<Receiver> makeReceiver(Framing framing, unsigned frameTimeoutMs, unsigned rawGapMs);

}  // namespace termsim
