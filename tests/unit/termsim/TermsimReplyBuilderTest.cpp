// Reply faults at the byte level: what goes on the wire and in which writes.
#include "ReplyBuilder.h"

#include <gtest/gtest.h>

#include "HexBytes.h"

using namespace termsim;

namespace {

using testsupport::hex;

Reply reply(std::uint8_t type, std::uint8_t status, Bytes data = {}) {
    Reply r;
    r.type = type;
    r.status = status;
    r.data = std::move(data);
    return r;
}

std::vector<Bytes> bytesOf(const std::vector<Chunk>& chunks) {
    std::vector<Bytes> out;
    for (const auto& c : chunks)
        out.push_back(c.bytes);
    return out;
}

}  // namespace

TEST(TermsimReplyWire, ContentFaultsChangeOnlyWhatTheySay) {
    FaultSet none;
    EXPECT_EQ(hex("05 05 16 F8 EE"), buildReplyWire(Framing::Vli, reply(0x16, 0xF8), none).wire);

    FaultSet bad;
    bad.badChecksum = true;
    EXPECT_EQ(hex("05 05 16 00 E9"), buildReplyWire(Framing::Vli, reply(0x16, 0), bad).wire);

    FaultSet over;
    over.lengthOver = 2;
    // Length 07 announced, five bytes sent, checksum consistent with them.
    EXPECT_EQ(hex("05 07 16 00 14"), buildReplyWire(Framing::Vli, reply(0x16, 0), over).wire);

    FaultSet longForm;
    longForm.longForm = true;
    WireReply lf = buildReplyWire(Framing::Vli, reply(0x16, 0), longForm);
    EXPECT_EQ(hex("05 00 07 00 16 00 14"), lf.wire);
    EXPECT_EQ(6u, lf.headerEnd);
    // Raw replies never take the long form.
    EXPECT_EQ(hex("05 05 16 00 16"), buildReplyWire(Framing::Raw, reply(0x16, 0), longForm).wire);

    FaultSet wrapped;
    wrapped.garbage = hex("FF 00");
    wrapped.trailing = hex("EE");
    wrapped.data = hex("41");
    wrapped.pad = 2;
    WireReply w = buildReplyWire(Framing::Vli, reply(0x16, 0xF8, hex("99")), wrapped);
    EXPECT_EQ(hex("FF 00 05 08 16 F8 41 00 01 A3 EE"), w.wire);
    EXPECT_EQ(6u, w.headerEnd);

    FaultSet replaced;
    replaced.replaceWire = hex("01 02");
    replaced.garbage = hex("AA");
    EXPECT_EQ(hex("AA 01 02"), buildReplyWire(Framing::Vli, reply(0x16, 0), replaced).wire);
}

TEST(TermsimReplyWire, StxReplyCarriesTypeAndStatusInTheMessage) {
    FaultSet none;
    WireReply w = buildReplyWire(Framing::Stx, reply('a', 0x00), none);
    EXPECT_EQ(hex("02 61 00 03 62"), w.wire);
    EXPECT_EQ(3u, w.headerEnd);
    FaultSet bad;
    bad.badChecksum = true;
    EXPECT_EQ(hex("02 61 00 03 9D"), buildReplyWire(Framing::Stx, reply('a', 0x00), bad).wire);
}

TEST(TermsimReplyWire, LongDataTakesTheLongFormOnItsOwn) {
    FaultSet pad;
    pad.pad = 300;
    WireReply w = buildReplyWire(Framing::Vli, reply(0x41, 0), pad);
    ASSERT_EQ(307u, w.wire.size());
    EXPECT_EQ(hex("05 00 33 01 41 00"), Bytes(w.wire.begin(), w.wire.begin() + 6));
}

TEST(TermsimDelivery, SplitsCoverEveryByteOnceInOrder) {
    WireReply w{hex("05 06 16 F8 41 AC"), 4};
    FaultSet none;
    none.delayMs = 30;
    auto whole = deliveryChunks(w, none);
    ASSERT_EQ(1u, whole.size());
    EXPECT_EQ(30u, whole[0].delayMs);
    EXPECT_EQ(w.wire, whole[0].bytes);

    FaultSet parts;
    parts.split = FaultSet::Split::Parts;
    parts.parts = 4;
    parts.pauseMs = 100;
    auto p = deliveryChunks(w, parts);
    EXPECT_EQ(std::vector<Bytes>({hex("05"), hex("06 16"), hex("F8"), hex("41 AC")}), bytesOf(p));
    EXPECT_EQ(0u, p[0].delayMs);
    EXPECT_EQ(100u, p[1].delayMs);

    FaultSet header;
    header.split = FaultSet::Split::Header;
    EXPECT_EQ(std::vector<Bytes>({hex("05 06 16 F8"), hex("41 AC")}), bytesOf(deliveryChunks(w, header)));

    FaultSet at;
    at.split = FaultSet::Split::At;
    at.splitAt = {5, 2, 2, 99};
    EXPECT_EQ(std::vector<Bytes>({hex("05 06"), hex("16 F8 41"), hex("AC")}), bytesOf(deliveryChunks(w, at)));

    FaultSet slow;
    slow.split = FaultSet::Split::Slow;
    slow.pauseMs = 7;
    auto s = deliveryChunks(w, slow);
    ASSERT_EQ(6u, s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        EXPECT_EQ(Bytes{w.wire[i]}, s[i].bytes);
        EXPECT_EQ(i == 0 ? 0u : 7u, s[i].delayMs);
    }

    // More parts than bytes: one byte per write, never an empty write.
    WireReply tiny{hex("06"), 1};
    EXPECT_EQ(std::vector<Bytes>({hex("06")}), bytesOf(deliveryChunks(tiny, parts)));
}
