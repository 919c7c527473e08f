#include "ReplyBuilder.h"

#include "Framing.h"

#include <algorithm>

namespace termsim {

WireReply buildReplyWire(Framing framing, const Reply& original, const FaultSet& faults) {
    Reply reply = original;
    if (faults.data)
        reply.data = *faults.data;
    for (std::size_t i = 0; i < faults.pad; ++i)
        reply.data.push_back(static_cast<std::uint8_t>(i & 0xFF));

    Bytes frame;
    std::size_t header = 0;
    if (faults.replaceWire) {
        frame = *faults.replaceWire;
        header = std::min<std::size_t>(4, frame.size());
    } else if (framing == Framing::Stx) {
        Bytes message{reply.type};
        Bytes payload = reply.payload();
        message.insert(message.end(), payload.begin(), payload.end());
        frame = encodeStx(message);
        header = 3;
        if (faults.badChecksum)
            frame.back() ^= 0xFF;
    } else {
        frame = encodeVli(reply.type, reply.payload(), faults.longForm && framing == Framing::Vli);
        header = vliHeaderLength(frame);
        if (faults.lengthOver != 0) {
            // Only the length is wrong: the checksum still matches the bytes sent, so a
            // reader that waited for the missing bytes would see nothing else amiss.
            if (frame[1] != 0) {
                frame[1] = static_cast<std::uint8_t>(std::min<unsigned>(255, frame[1] + faults.lengthOver));
            } else {
                unsigned total = frame[2] | (frame[3] << 8);
                total = std::min<unsigned>(0xFFFF, total + faults.lengthOver);
                frame[2] = static_cast<std::uint8_t>(total & 0xFF);
                frame[3] = static_cast<std::uint8_t>(total >> 8);
            }
            frame.back() = xorOf(frame.data(), frame.size() - 1);
        }
        if (faults.badChecksum)
            frame.back() ^= 0xFF;
    }

    WireReply out;
    out.wire = faults.garbage;
    out.headerEnd = faults.garbage.size() + header;
    out.wire.insert(out.wire.end(), frame.begin(), frame.end());
    out.wire.insert(out.wire.end(), faults.trailing.begin(), faults.trailing.end());
    return out;
}

std::vector<Chunk> deliveryChunks(const WireReply& reply, const FaultSet& faults) {
    const Bytes& wire = reply.wire;
    std::vector<std::size_t> cuts;  // offsets where a new write starts
    switch (faults.split) {
    case FaultSet::Split::None: break;
    case FaultSet::Split::Parts: {
        std::size_t parts = std::min<std::size_t>(faults.parts, wire.size());
        for (std::size_t i = 1; i < parts; ++i)
            cuts.push_back(wire.size() * i / parts);
        break;
    }
    case FaultSet::Split::At: cuts = faults.splitAt; break;
    case FaultSet::Split::Header: cuts.push_back(reply.headerEnd); break;
    case FaultSet::Split::Slow:
        for (std::size_t i = 1; i < wire.size(); ++i)
            cuts.push_back(i);
        break;
    }
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    std::vector<Chunk> chunks;
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        if (cut <= from || cut >= wire.size())
            continue;
        chunks.push_back(
            {chunks.empty() ? faults.delayMs : faults.pauseMs,
             Bytes(wire.begin() + static_cast<long>(from), wire.begin() + static_cast<long>(cut))});
        from = cut;
    }
    if (from < wire.size())
        chunks.push_back({chunks.empty() ? faults.delayMs : faults.pauseMs,
                          Bytes(wire.begin() + static_cast<long>(from), wire.end())});
    return chunks;
}

}  // namespace termsim
