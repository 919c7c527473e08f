// termsim's side: the host's bytes cut into requests by each framing's receiver, fed in
// pieces at times both taken from the input, and every request answered by the terminal
// and framed as a reply. The input's last byte picks the framing.
#include <stdint.h>
#include <stdlib.h>

#include <array>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "Framing.h"
#include "ReplyBuilder.h"
#include "Terminal.h"

using namespace termsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const Framing framing = static_cast<Framing>(input.ConsumeIntegralInRange<int>(0, 2));
    std::array<KeyState, 10> master{};
    std::array<KeyState, 10> dukpt{};
    master[3] = KeyState::AbsentF8;
    dukpt[5] = KeyState::AbsentF1;
    Terminal terminal(master, dukpt);
    std::unique_ptr<Receiver> receiver = makeReceiver(framing, 500, 50);

    std::int64_t now = 0;
    std::vector<Inbound> inbound;
    while (input.remaining_bytes() > 0) {
        const size_t nPiece = input.ConsumeIntegralInRange<size_t>(0, 64);
        const std::vector<uint8_t> piece = input.ConsumeBytes<uint8_t>(nPiece == 0 ? 64 : nPiece);
        now += input.ConsumeIntegralInRange<std::int64_t>(0, 100000);
        receiver->feed(Bytes(piece.begin(), piece.end()), now, inbound);
        if (receiver->deadline() >= 0 && receiver->deadline() <= now)
            receiver->tick(now, inbound);
        for (const Inbound& in : inbound) {
            if (in.kind != Inbound::Kind::Request)
                continue;
            const Command command = terminal.classify(in.command, in.data);
            const Reply reply = terminal.answer(command, nullptr);
            const WireReply wire = buildReplyWire(framing, reply, FaultSet());
            if (wire.wire.empty() || wire.headerEnd > wire.wire.size())
                abort();
        }
        inbound.clear();
    }
    receiver->tick(now + 10000000, inbound);
    return 0;
}
