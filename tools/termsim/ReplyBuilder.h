// Turns the terminal's reply into the bytes that go on the wire, faults included, and
// cuts them into the writes that deliver them.
#pragma once

#include "Bytes.h"
#include "FaultPlan.h"
#include "Options.h"
#include "Terminal.h"

#include <vector>

namespace termsim {

struct WireReply {
    Bytes wire;                 // garbage, frame, trailing bytes
    std::size_t headerEnd = 0;  // offset in wire where the frame's header ends
};

// Applies data, pad, reply, long-form, length-over, bad-checksum, garbage and trailing.
WireReply buildReplyWire(Framing framing, const Reply& reply, const FaultSet& faults);

struct Chunk {
    unsigned delayMs;  // before this write
    Bytes bytes;
};

// Applies delay, split, split-at, header-split and slow. Never returns an empty chunk.
std::vector<Chunk> deliveryChunks(const WireReply& reply, const FaultSet& faults);

}  // namespace termsim
