// The raw protocol over a scripted port: data go out as given, replies are
// length-prefixed and checksummed, and the error query never recurses.
#include <gtest/gtest.h>

#include "DebugFile.h"
#include "DebugOutputCapture.h"
#include "FakePort.h"
#include "RawProtocol.h"
#include "TerminalLink.h"

namespace {

using Bytes = FakePort::Bytes;

struct RawFixture : ::testing::Test {
    CDebugFile log{""};
    FakePort* port = new FakePort(&log);
    CTerminalLink link{port, 0};
    CRawProtocol& raw = *static_cast<CRawProtocol*>(link.GetProtocol());
    CString data, trace{"untouched"};
};

TEST_F(RawFixture, SendWritesDataAsTheyAre) {
    const BYTE d[] = {0x05, 0x04, 0x16, 0x17};
    EXPECT_EQ(4u, raw.nSendPacket(0x99, d, 4, trace));
    EXPECT_EQ((std::vector<std::string>{"Begin", "Flush", "Write 05 04 16 17"}), port->events);
    EXPECT_STREQ("untouched", trace);
    EXPECT_NE(std::string::npos, port->transactionTraces[0].find("Function [CRawProtocol::nSendPacket()]"));
}

TEST_F(RawFixture, SendOfNothingOnlyOpensTheTransaction) {
    EXPECT_EQ(0u, raw.nSendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ((std::vector<std::string>{"Begin"}), port->events);
}

TEST_F(RawFixture, ReceiveReadsHeaderThenRest) {
    port->QueueRead({0x00, 0x05, 0x16, 0x00, 0x13});
    EXPECT_EQ(5u, raw.nReceivePacket(data, trace));
    EXPECT_EQ(5, data.GetLength());
    EXPECT_EQ(0x13, (BYTE)data[4]);
    EXPECT_STREQ("untouched", trace);
    // Status 0: no query; and unlike VLI no flush after the reply.
    EXPECT_EQ((std::vector<std::string>{"Read 2", "Read 3", "End"}), port->events);
}

TEST_F(RawFixture, ReceiveTakesAFrameThePortCompletedInOneRead) {
    port->deliverWholeChunks = true;
    port->QueueRead({0x00, 0x05, 0x16, 0x00, 0x13});
    EXPECT_EQ(5u, raw.nReceivePacket(data, trace));
    EXPECT_EQ(1u, port->CountEvents("Read"));
}

TEST_F(RawFixture, ReceiveFailures) {
    port->QueueRead({0x00, 0x05, 0x16, 0x00, 0x14});  // checksum changed
    EXPECT_EQ(0u, raw.nReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());

    port->QueueRead({0x00, 0x0A, 0x16, 0x00, 0x01, 0x02});  // says 10, 6 arrive
    EXPECT_EQ(0u, raw.nReceivePacket(data, trace));

    port->QueueRead({0x05});  // not even the length byte
    EXPECT_EQ(0u, raw.nReceivePacket(data, trace));

    port->deliverWholeChunks = true;
    for (BYTE len : {0x00, 0x01}) {  // lengths no frame can have
        port->QueueRead({0x00, len, 0x00, 0x00});
        EXPECT_EQ(0u, raw.nReceivePacket(data, trace));
    }
    EXPECT_EQ(5u, port->CountEvents("End"));
    EXPECT_TRUE(port->writes.empty());
}

TEST_F(RawFixture, ReceiveGathersAReplyCutAtAnyByte) {
    port->shortReadsSucceed = true;
    const Bytes reply = {0x00, 0x06, 0x16, 0x00, 0x41, 0x51};
    for (size_t cut = 1; cut < reply.size(); ++cut) {
        port->QueueRead(Bytes(reply.begin(), reply.begin() + (long)cut));
        port->QueueRead(Bytes(reply.begin() + (long)cut, reply.end()));
        ASSERT_EQ(reply.size(), raw.nReceivePacket(data, trace)) << "cut at " << cut;
        EXPECT_EQ(reply, Bytes((const BYTE*)(LPCSTR)data, (const BYTE*)(LPCSTR)data + data.GetLength()));
        EXPECT_TRUE(port->readQueue.empty());
    }
}

TEST_F(RawFixture, SendOfAFailedWriteThatLeftTheCountIsNothingSent) {
    port->failWritesUntouched = true;
    const BYTE d[] = {0x05, 0x04, 0x16, 0x17};
    EXPECT_EQ(0u, raw.nSendPacket(0x16, d, 4, trace));
    EXPECT_EQ(1u, port->writes.size());
}

TEST_F(RawFixture, ErrorStatusQueriesOnceAndTheAnswerIsNotReportedAgain) {
    port->QueueRead({0x00, 0x05, 0x16, 0xF8, 0xEB});
    // The reply to 0x81 carries an error status itself; reporting it would query again.
    port->QueueRead({0x00, 0x05, 0x81, 0xF8, 0x7C});
    EXPECT_EQ(5u, raw.nReceivePacket(data, trace));
    EXPECT_EQ((Bytes{0x00, 0x05, 0x16, 0xF8, 0xEB}),
              Bytes((const BYTE*)(LPCSTR)data, (const BYTE*)(LPCSTR)data + data.GetLength()));
    const std::vector<std::string> expected = {"Read 2", "Read 3",  // the reply with the error status
                                               "Begin",  // the query: no data, so nothing on the wire
                                               "Read 2", "Read 3", "End",  // its reply
                                               "End"};
    EXPECT_EQ(expected, port->events);
    EXPECT_EQ(0x81, raw.m_LastCommand);
}

TEST_F(RawFixture, DebuggerTextsAndTransactionTraces) {
    DebugOutputCapture capture;
    const BYTE d[] = {0x05, 0x04, 0x16, 0x17};
    raw.nSendPacket(0x16, d, 4, trace);
    port->QueueResponse(FakePort::Bytes{0x00, 0x05, 0x16, 0x00, 0x13});
    raw.nSendPacket(0x16, d, 4, trace);
    raw.nReceivePacket(data, trace);
    EXPECT_EQ("CRawProtocol::nSendPacket before m_pPort->Write.\n"
              "CRawProtocol::nSendPacket exiting.\n"
              "CRawProtocol::nSendPacket before m_pPort->Write.\n"
              "CRawProtocol::nSendPacket exiting.\n"
              "CRawProtocol::nReceivePacket entered.\n"
              "CRawProtocol::nReceivePacket after m_pPort->Read.\n"
              "CRawProtocol::nReceivePacket exiting.\n",
              capture.Text());
    ASSERT_EQ(3u, port->transactionTraces.size());
    EXPECT_NE(std::string::npos,
              port->transactionTraces[0].find(
                  "Function [CRawProtocol::nSendPacket()]. File [IOClassLib/RawProtocol.cpp]. Line #[35]"));
    EXPECT_NE(
        std::string::npos,
        port->transactionTraces[2].find(
            "Function [CRawProtocol::nReceivePacket()]. File [IOClassLib/RawProtocol.cpp]. Line #[105]"));
}

TEST(RawChecksum, XorLikeVli) {
    CRawProtocol raw(nullptr, nullptr);
    const BYTE frame[] = {0x00, 0x05, 0x16, 0x00, 0x13};
    EXPECT_EQ(0x13, raw.Checksum(frame, 4));
    EXPECT_TRUE(raw.VerifyChecksum(frame, 5));
    EXPECT_FALSE(raw.VerifyChecksum(frame, 4));
    EXPECT_TRUE(raw.VerifyChecksum("\x01\x05\x16\x12"));
}

TEST(RawProtocolNoPort, SendAndReceiveReturnZero) {
    CRawProtocol raw(nullptr, nullptr);
    CString data, trace;
    const BYTE d[] = {1};
    EXPECT_EQ(0u, raw.nSendPacket(0, d, 1, trace));
    EXPECT_EQ(0u, raw.nReceivePacket(data, trace));
}

}  // namespace
