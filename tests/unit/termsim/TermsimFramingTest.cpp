// The terminal side's own framing: replies built and requests cut out of a byte stream.
// Expected bytes are written out by hand so that a fault in the encoder cannot hide.
#include "Framing.h"

#include <gtest/gtest.h>

#include "HexBytes.h"

using namespace termsim;

namespace {

using testsupport::hex;

std::vector<Inbound> feedAll(Receiver& r, const std::vector<Bytes>& chunks, std::int64_t start = 1000000) {
    std::vector<Inbound> out;
    for (std::size_t i = 0; i < chunks.size(); ++i)
        r.feed(chunks[i], start + static_cast<std::int64_t>(i) * 1000, out);
    return out;
}

}  // namespace

TEST(TermsimVliEncode, ShortFormRepliesMatchHandBuiltBytes) {
    EXPECT_EQ(hex("05 04 16 17"), encodeVli(0x16, {}, false));
    EXPECT_EQ(hex("05 05 16 00 16"), encodeVli(0x16, {0x00}, false));
    EXPECT_EQ(hex("05 06 16 F8 41 AC"), encodeVli(0x16, {0xF8, 0x41}, false));
    EXPECT_EQ(hex("05 05 61 00 61"), encodeVli('a', {0x00}, false));
}

TEST(TermsimVliEncode, SwitchesToLongFormAbove251DataBytes) {
    Bytes payload251(251, 0x11);
    Bytes shortFrame = encodeVli(0x41, payload251, false);
    ASSERT_EQ(255u, shortFrame.size());
    EXPECT_EQ(0xFF, shortFrame[1]);
    EXPECT_EQ(4u, vliHeaderLength(shortFrame));

    Bytes payload252(252, 0x11);
    Bytes longFrame = encodeVli(0x41, payload252, false);
    ASSERT_EQ(258u, longFrame.size());
    EXPECT_EQ(hex("05 00 02 01 41"), Bytes(longFrame.begin(), longFrame.begin() + 5));
    // 252 bytes of 0x11 XOR to zero, so the checksum is 05 ^ 00 ^ 02 ^ 01 ^ 41.
    EXPECT_EQ(0x47, longFrame.back());
    EXPECT_EQ(6u, vliHeaderLength(longFrame));
}

TEST(TermsimVliEncode, ForcedLongFormForAShortReply) {
    // 05 00 07 00 16 00 XOR, total 7.
    EXPECT_EQ(hex("05 00 07 00 16 00 14"), encodeVli(0x16, {0x00}, true));
}

TEST(TermsimStxEncode, LrcCoversMessageAndEtx) {
    EXPECT_EQ(hex("02 41 43 03 01"), encodeStx(hex("41 43")));
    EXPECT_EQ(hex("02 61 00 03 62"), encodeStx(hex("61 00")));
}

TEST(TermsimVliReceive, FrameAssembledAcrossChunks) {
    auto r = makeReceiver(Framing::Vli, 1000, 50);
    auto out = feedAll(*r, {hex("05"), hex("05 61"), hex("51 30")});
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(Inbound::Kind::Request, out[0].kind);
    EXPECT_EQ('a', out[0].command);
    EXPECT_EQ(hex("51"), out[0].data);
    EXPECT_EQ(hex("05 05 61 51 30"), out[0].raw);
    EXPECT_EQ(-1, r->deadline());
}

TEST(TermsimVliReceive, TwoFramesInOneChunkAndLongForm) {
    auto r = makeReceiver(Framing::Vli, 1000, 50);
    Bytes longRequest = hex("05 00 02 01 62");
    longRequest.insert(longRequest.end(), 252, 0x11);
    longRequest.push_back(0x05 ^ 0x00 ^ 0x02 ^ 0x01 ^ 0x62);
    Bytes chunk = hex("05 04 16 17");
    chunk.insert(chunk.end(), longRequest.begin(), longRequest.end());
    auto out = feedAll(*r, {chunk});
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(0x16, out[0].command);
    EXPECT_TRUE(out[0].data.empty());
    EXPECT_EQ(Inbound::Kind::Request, out[1].kind);
    EXPECT_EQ('b', out[1].command);
    EXPECT_EQ(252u, out[1].data.size());
}

TEST(TermsimVliReceive, ViolationsAreReportedAndTheStreamRecovers) {
    auto r = makeReceiver(Framing::Vli, 1000, 50);
    // garbage, a frame with a wrong checksum, a length byte below 4, then a good frame
    auto out = feedAll(*r, {hex("FF 13"), hex("05 04 16 18"), hex("05 02"), hex("05 04 81 80")});
    ASSERT_EQ(5u, out.size());
    EXPECT_EQ(Inbound::Kind::Error, out[0].kind);
    EXPECT_NE(std::string::npos, out[0].text.find("garbage"));
    EXPECT_EQ(hex("FF 13"), out[0].raw);
    EXPECT_EQ(Inbound::Kind::Error, out[1].kind);
    EXPECT_NE(std::string::npos, out[1].text.find("checksum 18, expected 17"));
    EXPECT_EQ(Inbound::Kind::Error, out[2].kind);
    EXPECT_NE(std::string::npos, out[2].text.find("length byte 2"));
    // Only the 05 of the bad header is skipped: its length byte is then garbage.
    EXPECT_EQ(hex("02"), out[3].raw);
    EXPECT_EQ(Inbound::Kind::Request, out[4].kind);
    EXPECT_EQ(0x81, out[4].command);
}

TEST(TermsimVliReceive, LongFormForAShortFrameIsAcceptedButReported) {
    auto r = makeReceiver(Framing::Vli, 1000, 50);
    auto out = feedAll(*r, {hex("05 00 06 00 16 15")});
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(Inbound::Kind::Error, out[0].kind);
    EXPECT_EQ(Inbound::Kind::Request, out[1].kind);
    EXPECT_EQ(0x16, out[1].command);
}

TEST(TermsimVliReceive, IncompleteFrameIsDroppedAfterTheTimeout) {
    auto r = makeReceiver(Framing::Vli, 200, 50);
    std::vector<Inbound> out;
    r->feed(hex("05 25 61 20"), 1000000, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(1200000, r->deadline());
    r->tick(1199999, out);
    EXPECT_TRUE(out.empty());
    r->tick(1200000, out);
    ASSERT_EQ(1u, out.size());
    EXPECT_NE(std::string::npos, out[0].text.find("4 of 37 bytes"));
    EXPECT_EQ(-1, r->deadline());
    // The stream starts over cleanly afterwards.
    out.clear();
    r->feed(hex("05 04 16 17"), 1300000, out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(Inbound::Kind::Request, out[0].kind);
}

TEST(TermsimStxReceive, GoodFrameBadLrcAndAcknowledgements) {
    auto r = makeReceiver(Framing::Stx, 1000, 50);
    auto out =
        feedAll(*r, {hex("02 41"), hex("43 03 01"), hex("06 15"), hex("02 41 43 03 02"), hex("7E 02 03 03")});
    ASSERT_EQ(6u, out.size());
    EXPECT_EQ(Inbound::Kind::Request, out[0].kind);
    EXPECT_EQ('A', out[0].command);
    EXPECT_EQ(hex("43"), out[0].data);
    EXPECT_EQ(Inbound::Kind::Ack, out[1].kind);
    EXPECT_EQ(Inbound::Kind::Nak, out[2].kind);
    EXPECT_EQ(Inbound::Kind::Error, out[3].kind);
    EXPECT_TRUE(out[3].refuse);
    EXPECT_EQ(Inbound::Kind::Error, out[4].kind);  // the 7E before the STX
    EXPECT_FALSE(out[4].refuse);
    EXPECT_EQ(Inbound::Kind::Error, out[5].kind);  // STX ETX with nothing between
    EXPECT_TRUE(out[5].refuse);
}

TEST(TermsimStxReceive, ZeroBytesInsideTheMessageAreKept) {
    auto r = makeReceiver(Framing::Stx, 1000, 50);
    auto out = feedAll(*r, {hex("02 61 00 00 03 62")});
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(hex("00 00"), out[0].data);
}

TEST(TermsimRawReceive, QuietGapEndsARequestAndAVliFrameEndsItAtOnce) {
    auto r = makeReceiver(Framing::Raw, 1000, 50);
    std::vector<Inbound> out;
    r->feed(hex("16 01"), 1000000, out);
    r->feed(hex("02"), 1010000, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(1060000, r->deadline());
    r->tick(1059999, out);
    EXPECT_TRUE(out.empty());
    r->tick(1060000, out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(0x16, out[0].command);
    EXPECT_EQ(hex("01 02"), out[0].data);

    out.clear();
    r->feed(hex("05 05 61 51 30"), 2000000, out);
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ('a', out[0].command);
    EXPECT_EQ(hex("51"), out[0].data);
    EXPECT_EQ(-1, r->deadline());
}

TEST(TermsimBytes, HexParsingAcceptsCommonSpellingsAndRefusesHalfBytes) {
    Bytes b;
    EXPECT_TRUE(parseHex("05 04 16 17", b));
    EXPECT_EQ(Bytes({5, 4, 0x16, 0x17}), b);
    EXPECT_TRUE(parseHex("0x05,0x04", b));
    EXPECT_EQ(Bytes({5, 4}), b);
    EXPECT_TRUE(parseHex("aBfF", b));
    EXPECT_EQ(Bytes({0xAB, 0xFF}), b);
    EXPECT_TRUE(parseHex("", b));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(parseHex("5 04", b));
    EXPECT_FALSE(parseHex("050", b));
    EXPECT_FALSE(parseHex("0G", b));
    EXPECT_EQ("05 04 16 17", toHex(Bytes{5, 4, 0x16, 0x17}));
}

// A host that sends without a frame end or a pause: every receiver drops what passes the
// bound, says so, and still takes the next good request.
TEST(TermsimReceiveBound, EndlessInputIsDroppedAndReportedAndTheNextRequestServed) {
    const struct {
        Framing framing;
        Bytes prefix;  // what starts the endless part
        Bytes good;    // a request after it
    } rows[] = {
        {Framing::Stx, hex("02"), hex("02 16 03 15")},              // a frame with no ETX
        {Framing::Stx, hex(""), hex("02 16 03 15")},                // garbage, no STX ever
        {Framing::Raw, hex(""), hex("05 04 16 17")},                // no quiet gap
        {Framing::Vli, hex("05 00 FF FF 16"), hex("05 04 16 17")},  // the largest frame, unfinished
    };
    for (const auto& row : rows) {
        auto r = makeReceiver(row.framing, 1000, 50);
        std::vector<Inbound> out;
        std::int64_t now = 1000000;
        r->feed(row.prefix, now, out);
        const Bytes chunk(4096, 0x41);
        for (int i = 0; i < 64; ++i)
            r->feed(chunk, now += 10, out);  // 256 KiB, never a pause
        std::size_t dropped = 0;
        for (const Inbound& in : out)
            dropped += in.kind == Inbound::Kind::Error && in.raw.size() <= 16 &&
                       in.text.find("dropped") != std::string::npos;
        if (row.framing != Framing::Vli) {
            EXPECT_GE(dropped, 3u) << static_cast<int>(row.framing);
        }
        out.clear();
        r->tick(now + 2000000, out);  // whatever is left times out
        out.clear();
        r->feed(row.good, now + 3000000, out);
        r->tick(now + 3000000 + 100000, out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(Inbound::Kind::Request, out.back().kind) << static_cast<int>(row.framing);
        EXPECT_EQ(0x16, out.back().command);
    }
}
