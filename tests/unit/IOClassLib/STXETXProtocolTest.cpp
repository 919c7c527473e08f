// STX/ETX framing over a scripted port: LRC, acknowledgement, reassembly.
#include <gtest/gtest.h>

#include "DebugOutputCapture.h"
#include "FakePort.h"
#include "STXETXProtocol.h"

namespace {

using Bytes = FakePort::Bytes;

struct StxEtxFixture : ::testing::Test {
    FakePort port;
    CSTXETXProtocol proto{nullptr, &port};
    CString data, trace;
};

TEST_F(StxEtxFixture, SendFramesDataWithLrcAndLeavesOutTheCommand) {
    const BYTE d[] = {0x41, 0x43};
    EXPECT_EQ(1u, proto.nSendPacket('x', d, 2, trace));
    EXPECT_EQ((std::vector<std::string>{"Flush", "Write 02 41 43 03 01"}), port.events);
    EXPECT_STREQ("[02 41 43 03 01]", trace);
}

TEST_F(StxEtxFixture, SendResultIgnoresWhatThePortWrote) {
    port.writeLimit = 0;
    const BYTE d[] = {0x41};
    EXPECT_EQ(1u, proto.nSendPacket(0, d, 1, trace));
    EXPECT_STREQ("[02 41 03 42]", trace);
}

TEST_F(StxEtxFixture, SendPassesAlreadyFramedDataAsTheyStand) {
    const BYTE d[] = {0x02, 0x41, 0x43, 0x03, 0x01};
    EXPECT_EQ(1u, proto.nSendPacket(0, d, 5, trace));
    ASSERT_EQ(1u, port.writes.size());
    EXPECT_EQ(Bytes(d, d + 5), port.writes[0]);
    EXPECT_STREQ("[02 41 43 03 01]", trace);
}

TEST_F(StxEtxFixture, SendOfNothingIsAnEmptyFrame) {
    EXPECT_EQ(1u, proto.nSendPacket(0, nullptr, 0, trace));
    EXPECT_EQ((Bytes{0x02, 0x03, 0x03}), port.writes.at(0));
}

TEST(StxEtxProtocolNoPort, SendAndReceiveReturnZero) {
    CSTXETXProtocol proto(nullptr, nullptr);
    CString data, trace;
    const BYTE d[] = {0x41};
    EXPECT_EQ(0u, proto.nSendPacket(0, d, 1, trace));
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
}

TEST_F(StxEtxFixture, ReceiveAcknowledgesAGoodFrame) {
    port.QueueRead({0x06, 0x02, 0x41, 0x43, 0x03, 0x01});
    EXPECT_EQ(1u, proto.nReceivePacket(data, trace));
    EXPECT_STREQ("AC", data);
    EXPECT_STREQ("[02 41 43 03 01]", trace);
    EXPECT_EQ((std::vector<Bytes>{{0x06}}), port.writes);
    EXPECT_EQ((std::vector<std::string>{"Read 1", "Read 512", "Write 06"}), port.events);
}

TEST_F(StxEtxFixture, ReceiveRefusesABadLrcWithNak) {
    port.QueueRead({0x06, 0x02, 0x41, 0x43, 0x03, 0x02});
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
    EXPECT_EQ((std::vector<Bytes>{{0x15}}), port.writes);
}

TEST_F(StxEtxFixture, ReceiveWithoutLeadingAckWritesNothing) {
    port.QueueRead({0x02, 0x41, 0x43, 0x03, 0x01});
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(1u, port.CountEvents("Read"));
}

TEST_F(StxEtxFixture, ReceiveOfAckAloneWritesNothing) {
    port.QueueRead({0x06});
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_TRUE(port.writes.empty());
    EXPECT_STREQ("[]", trace);
}

TEST_F(StxEtxFixture, ReceiveOnClosedPortReadsNothing) {
    port.open = false;
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_TRUE(port.events.empty());
}

TEST_F(StxEtxFixture, ReceiveAssemblesAFrameFromByteSizedReads) {
    port.m_wInputPacketSize = 1;  // as the serial port reads
    port.QueueRead({0x06});
    port.QueueRead({0x7F, 0x02, 0x00, 0x41});  // noise before STX is skipped
    port.QueueRead({0x03});
    port.QueueRead({0x42, 0x99});  // LRC, then a byte after the frame
    EXPECT_EQ(1u, proto.nReceivePacket(data, trace));
    EXPECT_EQ(2, data.GetLength());
    EXPECT_EQ('\0', data[0]);
    EXPECT_EQ('A', data[1]);
    EXPECT_STREQ("[02 00 41 03 42]", trace);
    EXPECT_EQ(7u, port.CountEvents("Read 1"));
}

TEST_F(StxEtxFixture, ReceiveUsesBytesDeliveredWithTheAck) {
    port.deliverWholeChunks = true;
    port.QueueRead({0x06, 0x02, 0x41, 0x43, 0x03, 0x01});
    EXPECT_EQ(1u, proto.nReceivePacket(data, trace));
    EXPECT_STREQ("AC", data);
    EXPECT_EQ(1u, port.CountEvents("Read"));
}

TEST_F(StxEtxFixture, ReceiveTakesAFailedReadThatLeftTheCountForNothingReceived) {
    port.m_wInputPacketSize = 1;
    port.QueueRead({0x06});
    // Counted as data, each failure would add a byte that never came, up to the limit.
    port.untouchedFailReads = 600;
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_EQ(2u, port.CountEvents("Read"));
    EXPECT_TRUE(port.writes.empty());
}

TEST_F(StxEtxFixture, ReceiveGivesUpAfterTheLimit) {
    port.QueueRead({0x06});
    port.QueueRead(Bytes(600, 0x41));  // never an STX
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(2u, port.CountEvents("Read"));  // 1 + 512 bytes reach the limit

    port.events.clear();
    port.readQueue.clear();
    Bytes unterminated(600, 0x41);
    unterminated[0] = 0x02;  // a frame that never ends is refused
    port.QueueRead({0x06});
    port.QueueRead(unterminated);
    EXPECT_EQ(0u, proto.nReceivePacket(data, trace));
    EXPECT_EQ((std::vector<Bytes>{{0x15}}), port.writes);
}

TEST_F(StxEtxFixture, DebuggerTextsOfAnExchange) {
    DebugOutputCapture capture;
    const BYTE d[] = {0x41};
    proto.nSendPacket(0, d, 1, trace);
    port.QueueRead({0x06});
    port.QueueRead({0x02, 0x41});
    port.QueueRead({0x03, 0x42});
    proto.nReceivePacket(data, trace);
    EXPECT_EQ("CSTXETXProtocol::nSendPacket entered.\n"
              "CSTXETXProtocol::nSendPacket before m_pPort->Write.\n"
              "CSTXETXProtocol::nSendPacket exiting.\n"
              "CSTXETXProtocol::nReceivePacket entered.\n"
              "CSTXETXProtocol::nReceivePacket after m_pPort->Read.\n"
              "CSTXETXProtocol::nReceivePacket after m_pPort->Read.\n"
              "CSTXETXProtocol::nReceivePacket exiting.\n",
              capture.Text());
}

TEST(StxEtxChecksum, SkipsLeadingStxAndStopsAfterFirstEtx) {
    CSTXETXProtocol proto(nullptr, nullptr);
    const BYTE frame[] = {0x02, 0x41, 0x43, 0x03, 0x01, 0x55};
    EXPECT_EQ(0x01, proto.Checksum(frame, 4));
    EXPECT_EQ(0x01, proto.Checksum(frame, 6));
    EXPECT_EQ(0x41 ^ 0x43, proto.Checksum(frame + 1, 2));
    EXPECT_EQ(0x01, proto.Checksum((const BYTE*)"\x02"
                                                "AC\x03\x01",
                                   -1));
    EXPECT_TRUE(proto.VerifyChecksum(frame, 5));
    EXPECT_FALSE(proto.VerifyChecksum(frame, 4));
    EXPECT_TRUE(proto.VerifyChecksum("\x02"
                                     "AC\x03\x01"));
    EXPECT_FALSE(proto.VerifyChecksum("\x02"
                                      "AC\x03\x02"));
}

}  // namespace
