#include "Framing.h"

namespace termsim {

Bytes encodeVli(std::uint8_t command, const Bytes& payload, bool forceLongForm) {
    Bytes frame{kVliStart};
    std::size_t total = payload.size() + 4;
    if (total <= 255 && !forceLongForm) {
        frame.push_back(static_cast<std::uint8_t>(total));
    } else {
        total += 2;
        frame.push_back(0);
        frame.push_back(static_cast<std::uint8_t>(total & 0xFF));
        frame.push_back(static_cast<std::uint8_t>((total >> 8) & 0xFF));
    }
    frame.push_back(command);
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(xorOf(frame));
    return frame;
}

std::size_t vliHeaderLength(const Bytes& frame) { return frame.size() > 1 && frame[1] == 0 ? 6 : 4; }

Bytes encodeStx(const Bytes& message) {
    Bytes frame{kStx};
    frame.insert(frame.end(), message.begin(), message.end());
    frame.push_back(kEtx);
    frame.push_back(xorOf(frame.data() + 1, frame.size() - 1));
    return frame;
}

namespace {

Inbound makeError(const std::string& text, const Bytes& raw) {
    Inbound in;
    in.kind = Inbound::Kind::Error;
    in.text = text;
    in.raw = raw;
    return in;
}

// The report of bytes dropped for exceeding kMaxRequestBytes: their count and first bytes.
Inbound makeOversized(const std::string& what, const Bytes& dropped) {
    const std::size_t shown = dropped.size() < 16 ? dropped.size() : 16;
    return makeError(what + " over " + std::to_string(kMaxRequestBytes) + " bytes dropped (" +
                         std::to_string(dropped.size()) + " bytes, first " + std::to_string(shown) +
                         " shown)",
                     Bytes(dropped.begin(), dropped.begin() + static_cast<long>(shown)));
}

// Frames of 05 LEN ... XOR. Bytes before a 05 are reported as garbage; a frame whose
// length or checksum is wrong is reported and dropped, and the search goes on after its
// first byte (or after the whole frame for a checksum fault, whose length was right).
class VliReceiver : public Receiver {
public:
    explicit VliReceiver(unsigned frameTimeoutMs)
        : m_timeout(static_cast<std::int64_t>(frameTimeoutMs) * 1000) {}

    void feed(const Bytes& data, std::int64_t now, std::vector<Inbound>& out) override {
        if (m_buffer.empty())
            m_since = now;
        m_buffer.insert(m_buffer.end(), data.begin(), data.end());
        parse(now, out);
    }

    void tick(std::int64_t now, std::vector<Inbound>& out) override {
        if (!m_buffer.empty() && now - m_since >= m_timeout) {
            std::string want = m_want ? " of " + std::to_string(m_want) : std::string();
            out.push_back(makeError("incomplete frame: " + std::to_string(m_buffer.size()) + want +
                                        " bytes after " + std::to_string(m_timeout / 1000) + " ms",
                                    m_buffer));
            m_buffer.clear();
            m_want = 0;
        }
    }

    std::int64_t deadline() const override { return m_buffer.empty() ? -1 : m_since + m_timeout; }

    void reset() override {
        m_buffer.clear();
        m_want = 0;
    }

private:
    void drop(std::size_t count, std::int64_t now) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<long>(count));
        m_since = now;
        m_want = 0;
    }

    void parse(std::int64_t now, std::vector<Inbound>& out) {
        while (!m_buffer.empty()) {
            if (m_buffer[0] != kVliStart) {
                std::size_t n = 0;
                while (n < m_buffer.size() && m_buffer[n] != kVliStart)
                    ++n;
                out.push_back(makeError("garbage before frame",
                                        Bytes(m_buffer.begin(), m_buffer.begin() + static_cast<long>(n))));
                drop(n, now);
                continue;
            }
            if (m_buffer.size() < 2)
                return;
            std::size_t total = m_buffer[1];
            std::size_t header = 2;
            if (total == 0) {
                if (m_buffer.size() < 4)
                    return;
                total = static_cast<std::size_t>(m_buffer[2]) | (static_cast<std::size_t>(m_buffer[3]) << 8);
                header = 4;
                if (total < 6) {
                    out.push_back(
                        makeError("long-form length " + std::to_string(total) + " below the minimum 6",
                                  Bytes(m_buffer.begin(), m_buffer.begin() + 4)));
                    drop(1, now);
                    continue;
                }
            } else if (total < 4) {
                out.push_back(makeError("length byte " + std::to_string(total) + " below the minimum 4",
                                        Bytes(m_buffer.begin(), m_buffer.begin() + 2)));
                drop(1, now);
                continue;
            }
            m_want = total;
            if (m_buffer.size() < total)
                return;
            Bytes frame(m_buffer.begin(), m_buffer.begin() + static_cast<long>(total));
            drop(total, now);
            std::uint8_t expected = xorOf(frame.data(), frame.size() - 1);
            if (expected != frame.back()) {
                out.push_back(makeError(
                    "checksum " + toHex(&frame.back(), 1) + ", expected " + toHex(&expected, 1), frame));
                continue;
            }
            if (header == 4 && total <= 255)
                out.push_back(makeError("long form used for a frame of " + std::to_string(total) +
                                            " bytes that fits the short form",
                                        frame));
            Inbound in;
            in.command = frame[header];
            in.data.assign(frame.begin() + static_cast<long>(header) + 1, frame.end() - 1);
            in.raw = frame;
            out.push_back(in);
        }
    }

    std::int64_t m_timeout;
    std::int64_t m_since = 0;
    std::size_t m_want = 0;
    Bytes m_buffer;
};

// STX MESSAGE ETX LRC frames, and the single ACK/NAK bytes that acknowledge ours.
class StxReceiver : public Receiver {
public:
    explicit StxReceiver(unsigned frameTimeoutMs)
        : m_timeout(static_cast<std::int64_t>(frameTimeoutMs) * 1000) {}

    void feed(const Bytes& data, std::int64_t now, std::vector<Inbound>& out) override {
        for (std::uint8_t b : data) {
            switch (m_state) {
            case State::Idle:
                if (b == kStx || b == kAck || b == kNak) {
                    flushGarbage(out);
                    if (b == kStx) {
                        m_frame.assign(1, b);
                        m_since = now;
                        m_state = State::InFrame;
                    } else {
                        Inbound in;
                        in.kind = b == kAck ? Inbound::Kind::Ack : Inbound::Kind::Nak;
                        in.raw.assign(1, b);
                        out.push_back(in);
                    }
                } else {
                    if (m_garbage.empty())
                        m_since = now;
                    m_garbage.push_back(b);
                    if (m_garbage.size() >= kMaxRequestBytes) {
                        out.push_back(makeOversized("garbage outside a frame", m_garbage));
                        m_garbage.clear();
                    }
                }
                break;
            case State::InFrame:
                m_frame.push_back(b);
                if (b == kEtx) {
                    m_state = State::NeedLrc;
                } else if (m_frame.size() >= kMaxRequestBytes) {
                    // The rest of it, up to the next STX, is dropped as garbage.
                    out.push_back(makeOversized("frame", m_frame));
                    m_frame.clear();
                    m_state = State::Idle;
                }
                break;
            case State::NeedLrc:
                m_frame.push_back(b);
                complete(out);
                m_state = State::Idle;
                break;
            }
        }
    }

    void tick(std::int64_t now, std::vector<Inbound>& out) override {
        if (now - m_since < m_timeout)
            return;
        flushGarbage(out);
        if (m_state != State::Idle) {
            out.push_back(
                makeError("incomplete frame after " + std::to_string(m_timeout / 1000) + " ms", m_frame));
            m_frame.clear();
            m_state = State::Idle;
        }
    }

    std::int64_t deadline() const override {
        return m_state == State::Idle && m_garbage.empty() ? -1 : m_since + m_timeout;
    }

    void reset() override {
        m_state = State::Idle;
        m_frame.clear();
        m_garbage.clear();
    }

private:
    enum class State { Idle, InFrame, NeedLrc };

    void flushGarbage(std::vector<Inbound>& out) {
        if (!m_garbage.empty())
            out.push_back(makeError("garbage outside a frame", m_garbage));
        m_garbage.clear();
    }

    void complete(std::vector<Inbound>& out) {
        std::uint8_t expected = xorOf(m_frame.data() + 1, m_frame.size() - 2);
        Bytes message(m_frame.begin() + 1, m_frame.end() - 2);
        if (expected != m_frame.back()) {
            Inbound in =
                makeError("LRC " + toHex(&m_frame.back(), 1) + ", expected " + toHex(&expected, 1), m_frame);
            in.refuse = true;
            out.push_back(in);
        } else if (message.empty()) {
            Inbound in = makeError("empty message", m_frame);
            in.refuse = true;
            out.push_back(in);
        } else {
            Inbound in;
            in.command = message[0];
            in.data.assign(message.begin() + 1, message.end());
            in.raw = m_frame;
            out.push_back(in);
        }
        m_frame.clear();
    }

    std::int64_t m_timeout;
    std::int64_t m_since = 0;
    State m_state = State::Idle;
    Bytes m_frame;
    Bytes m_garbage;
};

// Unframed requests: delimited by a quiet gap, or at once when they form one VLI frame.
class RawReceiver : public Receiver {
public:
    explicit RawReceiver(unsigned gapMs) : m_gap(static_cast<std::int64_t>(gapMs) * 1000) {}

    void feed(const Bytes& data, std::int64_t now, std::vector<Inbound>& out) override {
        m_buffer.insert(m_buffer.end(), data.begin(), data.end());
        m_last = now;
        if (m_buffer.size() > kMaxRequestBytes) {
            out.push_back(makeOversized("request", m_buffer));
            m_buffer.clear();
            return;
        }
        if (m_buffer.size() >= 4 && m_buffer[0] == kVliStart && m_buffer[1] == m_buffer.size() &&
            xorOf(m_buffer.data(), m_buffer.size() - 1) == m_buffer.back()) {
            Inbound in;
            in.command = m_buffer[2];
            in.data.assign(m_buffer.begin() + 3, m_buffer.end() - 1);
            in.raw = m_buffer;
            out.push_back(in);
            m_buffer.clear();
        }
    }

    void tick(std::int64_t now, std::vector<Inbound>& out) override {
        if (m_buffer.empty() || now - m_last < m_gap)
            return;
        Inbound in;
        in.command = m_buffer[0];
        in.data.assign(m_buffer.begin() + 1, m_buffer.end());
        in.raw = m_buffer;
        out.push_back(in);
        m_buffer.clear();
    }

    std::int64_t deadline() const override { return m_buffer.empty() ? -1 : m_last + m_gap; }
    void reset() override { m_buffer.clear(); }

private:
    std::int64_t m_gap;
    std::int64_t m_last = 0;
    Bytes m_buffer;
};

}  // namespace

std::unique_ptr<Receiver> makeReceiver(Framing framing, unsigned frameTimeoutMs, unsigned rawGapMs) {
    switch (framing) {
    case Framing::Stx: return std::unique_ptr<Receiver>(new StxReceiver(frameTimeoutMs));
    case Framing::Raw: return std::unique_ptr<Receiver>(new RawReceiver(rawGapMs));
    default: return std::unique_ptr<Receiver>(new VliReceiver(frameTimeoutMs));
    }
}

}  // namespace termsim
