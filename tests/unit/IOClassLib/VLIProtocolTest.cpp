// VLI framing over a scripted port: frames on the wire, reassembly, checks, and the
// error query nested inside a receive.
#include <gtest/gtest.h>

#include "DebugFile.h"
#include "DebugOutputCapture.h"
#include "FakePort.h"
#include "TerminalLink.h"
#include "VLIProtocol.h"

namespace {

using Bytes = FakePort::Bytes;

Bytes Frame(std::initializer_list<int> bytes) {
    Bytes out;
    for (int b : bytes)
        out.push_back((BYTE)b);
    return out;
}

Bytes ToBytes(const CString& cs) {
    const BYTE* p = (const BYTE*)(LPCSTR)cs;
    return Bytes(p, p + cs.GetLength());
}

// A link over a fake port with VLI framing; the link owns the port.
struct VliFixture : ::testing::Test {
    CDebugFile log{""};
    FakePort* port = new FakePort(&log);
    CTerminalLink link{port, 1};
    CVLIProtocol& vli = *static_cast<CVLIProtocol*>(link.GetProtocol());
    CString data, trace;
};

TEST_F(VliFixture, SendFramesCommandWithoutData) {
    EXPECT_EQ(4u, vli.nSendPacket(0x16, nullptr, 0, trace));
    ASSERT_EQ(1u, port->writes.size());
    EXPECT_EQ(Frame({0x05, 0x04, 0x16, 0x17}), port->writes[0]);
    EXPECT_STREQ("[05 04 16 17]", trace);
    EXPECT_EQ(0x16, vli.m_LastCommand);
    // The transaction opens before the frame goes out, and stale input is dropped first.
    EXPECT_EQ((std::vector<std::string>{"Begin", "Flush", "Write 05 04 16 17"}), port->events);
    EXPECT_NE(std::string::npos, port->transactionTraces[0].find("Function [ CVLIProtocol::nSendPacket()]"));
}

TEST_F(VliFixture, TransactionTracesNameFunctionFileAndLine) {
    port->deliverWholeChunks = true;
    vli.nSendPacket(0x16, nullptr, 0, trace);
    vli.nReceivePacket(data, trace);
    ASSERT_EQ(2u, port->transactionTraces.size());
    EXPECT_NE(std::string::npos,
              port->transactionTraces[0].find(
                  "Function [ CVLIProtocol::nSendPacket()]. File [IOClassLib/VLIProtocol.cpp]. Line #[54]"));
    EXPECT_NE(
        std::string::npos,
        port->transactionTraces[1].find(
            "Function [CVLIProtocol::nReceivePacket()]. File [IOClassLib/VLIProtocol.cpp]. Line #[337]"));
    EXPECT_NE(std::string::npos, port->transactionTraces[0].find("Time ["));
}

TEST_F(VliFixture, DebuggerTextsOfAnExchange) {
    DebugOutputCapture capture;
    port->deliverWholeChunks = true;
    port->QueueResponse(Frame({0x05, 0x05, 0x16, 0x00, 0x16}));
    vli.nSendPacket(0x16, nullptr, 0, trace);
    vli.nReceivePacket(data, trace);
    EXPECT_EQ("CVLIProtocol::nSendPacket entered.\n"
              "CVLIProtocol::nSendPacket before m_pPort->Write.\n"
              "CVLIProtocol::nSendPacket exiting.\n"
              "CVLIProtocol::nReceivePacket entered.\n"
              "CVLIProtocol::nReceivePacket after m_pPort->Read.\n"
              "CVLIProtocol::nReceivePacket exiting.\n",
              capture.Text());
}

TEST_F(VliFixture, DebuggerTextsOfFailedReceives) {
    DebugOutputCapture capture;
    port->open = false;
    vli.nReceivePacket(data, trace);
    port->open = true;
    port->failReads = 1;
    vli.nReceivePacket(data, trace);
    port->shortReadsSucceed = true;
    port->QueueRead(Frame({0x05, 0x05, 0x16}));
    vli.nReceivePacket(data, trace);
    EXPECT_EQ("CVLIProtocol::nReceivePacket entered.\n"
              "CVLIProtocol::nReceivePacket m_pPort->IsOpen() false.\n"
              "CVLIProtocol::nReceivePacket exiting.\n"
              "CVLIProtocol::nReceivePacket entered.\n"
              "CVLIProtocol::nReceivePacket m_pPort->Read false.\n"
              "CVLIProtocol::nReceivePacket exiting.\n"
              "CVLIProtocol::nReceivePacket entered.\n"
              "CVLIProtocol::nReceivePacket m_pPort->Read dwLength < HEADER_LENGTH.\n"
              "CVLIProtocol::nReceivePacket exiting.\n",
              capture.Text());
}

TEST_F(VliFixture, SendSwitchesToLongFormAbove251DataBytes) {
    Bytes d251(251, 0x41);
    EXPECT_EQ(255u, vli.nSendPacket('a', d251.data(), 251, trace));
    const Bytes& shortFrame = port->writes.back();
    ASSERT_EQ(255u, shortFrame.size());
    EXPECT_EQ(0x05, shortFrame[0]);
    EXPECT_EQ(0xFF, shortFrame[1]);
    EXPECT_EQ('a', shortFrame[2]);
    Bytes expectShort = {0x05, 0xFF, 'a'};
    expectShort.insert(expectShort.end(), d251.begin(), d251.end());
    EXPECT_EQ(WithChecksum(expectShort), shortFrame);

    Bytes d252(252, 0x42);
    EXPECT_EQ(258u, vli.nSendPacket('b', d252.data(), 252, trace));
    Bytes expectLong = {0x05, 0x00, 0x02, 0x01, 'b'};
    expectLong.insert(expectLong.end(), d252.begin(), d252.end());
    EXPECT_EQ(WithChecksum(expectLong), port->writes.back());
}

TEST_F(VliFixture, SendLargestLongFrameAndRefusesMore) {
    Bytes big(65529, 0x00);
    EXPECT_EQ(65535u, vli.nSendPacket(0x30, big.data(), (DWORD)big.size(), trace));
    EXPECT_EQ(0xFF, port->writes.back()[2]);
    EXPECT_EQ(0xFF, port->writes.back()[3]);

    port->writes.clear();
    port->events.clear();
    Bytes tooBig(65530, 0x00);
    EXPECT_EQ(0u, vli.nSendPacket(0x31, tooBig.data(), (DWORD)tooBig.size(), trace));
    EXPECT_TRUE(port->writes.empty());
    EXPECT_STREQ("[]", trace);
    EXPECT_EQ(0x31, vli.m_LastCommand);
    EXPECT_EQ((std::vector<std::string>{"Begin"}), port->events);
}

TEST_F(VliFixture, SendTracesOnlyWhatThePortTook) {
    port->writeLimit = 2;
    const BYTE d[] = {0x10, 0x20};
    EXPECT_EQ(2u, vli.nSendPacket(0x61, d, 2, trace));
    EXPECT_STREQ("[05 06]", trace);
}

TEST_F(VliFixture, SendOfAFailedWriteThatLeftTheCountIsNothingSent) {
    port->failWritesUntouched = true;
    EXPECT_EQ(0u, vli.nSendPacket(0x16, nullptr, 0, trace));
    EXPECT_STREQ("[]", trace);
    EXPECT_EQ(1u, port->writes.size());
}

TEST_F(VliFixture, SendWithoutDataPointerButWithLengthSendsNothing) {
    EXPECT_EQ(0u, vli.nSendPacket(0x61, nullptr, 3, trace));
    EXPECT_TRUE(port->writes.empty());
}

TEST(VliProtocolNoPort, SendAndReceiveWithoutPortReturnZero) {
    CVLIProtocol vli(nullptr, nullptr);
    CString data("stale"), trace("stale");
    EXPECT_EQ(0u, vli.nSendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
    EXPECT_TRUE(trace.IsEmpty());
}

TEST_F(VliFixture, ReceiveWholeFrameInOneRead) {
    port->deliverWholeChunks = true;
    port->QueueRead(Frame({0x05, 0x06, 0x16, 0x00, 0x41, 0x54}));
    EXPECT_EQ(6u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(Frame({0x05, 0x06, 0x16, 0x00, 0x41, 0x54}), ToBytes(data));
    EXPECT_STREQ("[05 06 16 00 41 54]", trace);
    EXPECT_EQ((std::vector<std::string>{"Read 5", "Flush", "End"}), port->events);
    EXPECT_NE(std::string::npos,
              port->transactionTraces.back().find("Function [CVLIProtocol::nReceivePacket()]"));
}

TEST_F(VliFixture, ReceiveCompletesFrameWithSecondReadOfExactlyTheMissingBytes) {
    port->QueueRead(Frame({0x05, 0x08, 0x16, 0x00, 0x01, 0x00, 0x02, 0x18}));
    EXPECT_EQ(8u, vli.nReceivePacket(data, trace));
    EXPECT_EQ((std::vector<std::string>{"Read 5", "Read 3", "Flush", "End"}), port->events);
    EXPECT_EQ(8, data.GetLength());
    EXPECT_EQ('\0', data[5]);  // zero bytes travel inside the reply
}

TEST_F(VliFixture, ReceiveFailsOnShortSecondRead) {
    port->QueueRead(Frame({0x05, 0x08, 0x16, 0x00, 0x01}));
    port->QueueRead(Frame({0x00, 0x02}));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
    EXPECT_EQ("End", port->events.back());
}

// A byte stream may cut a reply anywhere; short and long form, header or body, it is
// read as if it had come whole, also under a read time-out of INFINITE.
TEST_F(VliFixture, ReceiveGathersAReplyCutAtAnyByte) {
    port->shortReadsSucceed = true;
    Bytes longReply = {0x05, 0x00, 0x0A, 0x01, 0x16, 0x00};  // 266 bytes in all
    longReply.resize(265, 0x5A);
    const Bytes replies[] = {WithChecksum({0x05, 0x06, 0x16, 0x00, 0x41}), WithChecksum(longReply)};
    for (DWORD dwTimeout : {10000u, 0x90000000u, INFINITE}) {
        port->m_ReadWriteTimeout = dwTimeout;
        for (const Bytes& reply : replies) {
            for (size_t cut = 1; cut < reply.size(); ++cut) {
                port->QueueRead(Bytes(reply.begin(), reply.begin() + (long)cut));
                port->QueueRead(Bytes(reply.begin() + (long)cut, reply.end()));
                ASSERT_EQ(reply.size(), vli.nReceivePacket(data, trace))
                    << "cut at " << cut << ", time-out " << dwTimeout;
                EXPECT_EQ(reply, ToBytes(data));
            }
        }
    }
}

TEST_F(VliFixture, ReceiveRejectsWrongChecksum) {
    port->QueueRead(Frame({0x05, 0x05, 0x16, 0x00, 0x17}));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
    EXPECT_TRUE(trace.IsEmpty());
    // Nothing was accepted, so nothing is flushed; the transaction still ends.
    EXPECT_EQ((std::vector<std::string>{"Read 5", "End"}), port->events);
}

TEST_F(VliFixture, ReceiveDoesNotCheckTheStartByte) {
    port->QueueRead(Frame({0x07, 0x05, 0x16, 0x00, 0x14}));
    EXPECT_EQ(5u, vli.nReceivePacket(data, trace));
}

TEST_F(VliFixture, ReceiveIgnoresBytesBeyondTheFrame) {
    port->deliverWholeChunks = true;
    port->QueueRead(Frame({0x05, 0x04, 0x16, 0x17, 0xAA, 0xBB}));
    EXPECT_EQ(4u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(4, data.GetLength());
}

TEST_F(VliFixture, ReceiveFailuresOfTheFirstRead) {
    port->failReads = 1;
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    port->QueueRead(Frame({0x05, 0x04, 0x16}));  // fewer than the header
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(2u, port->CountEvents("End"));
}

TEST_F(VliFixture, ReceiveOnClosedPortReadsNothingButEndsTheTransaction) {
    port->open = false;
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_EQ((std::vector<std::string>{"End"}), port->events);
}

TEST_F(VliFixture, ReceiveRejectsLengthsThatCannotHoldAFrame) {
    port->deliverWholeChunks = true;
    // Long form announcing 0 bytes: the checksum would sit before the buffer.
    port->QueueRead(Frame({0x05, 0x00, 0x00, 0x00, 0x05}));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    // Long form shorter than its own header.
    port->QueueRead(Frame({0x05, 0x00, 0x04, 0x00, 0x01}));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    // Short form below the smallest frame; its "checksum" would be a header byte.
    port->QueueRead(Frame({0x00, 0x01, 0x16, 0x17, 0x00}));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(0u, port->CountEvents("Flush"));
}

TEST_F(VliFixture, ReceiveLongFormUpToTheBufferSize) {
    Bytes body = {0x05, 0x00, 0x01, 0x04, 0x16, 0x00};  // 1025 = 0x0401
    body.resize(1024, 0x33);
    Bytes frame = WithChecksum(body);
    ASSERT_EQ(1025u, frame.size());
    port->QueueRead(frame);
    EXPECT_EQ(1025u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(frame, ToBytes(data));

    Bytes tooLong = {0x05, 0x00, 0x02, 0x04, 0x16, 0x00};  // 1026
    tooLong.resize(1025, 0x33);
    port->QueueRead(WithChecksum(tooLong));
    EXPECT_EQ(0u, vli.nReceivePacket(data, trace));
    // Refused on the header alone: no attempt to read the rest.
    EXPECT_EQ("Read 5", port->events[port->events.size() - 2]);
}

TEST_F(VliFixture, ErrorStatusRunsTheLastErrorQueryInsideTheReceive) {
    port->QueueRead(Frame({0x05, 0x05, 0x16, 0xF8, 0xEE}));
    port->QueueResponse(Frame({0x05, 0x07, 0x81, 0x00, 0x34, 0x12, 0xA5}));
    EXPECT_EQ(5u, vli.nReceivePacket(data, trace));

    ASSERT_EQ(1u, port->writes.size());
    EXPECT_EQ(Frame({0x05, 0x04, 0x81, 0x80}), port->writes[0]);
    // The outer reply survives the nested exchange that reused the receive buffer.
    EXPECT_EQ(Frame({0x05, 0x05, 0x16, 0xF8, 0xEE}), ToBytes(data));
    EXPECT_STREQ("[05 05 16 F8 EE]", trace);
    const std::vector<std::string> expected = {"Read 5",  // the reply with the error status
                                               "Begin",  "Flush",  "Write 05 04 81 80",  // the query
                                               "Read 5", "Read 2", "Flush",
                                               "End",             // its reply, never reported again
                                               "Flush",  "End"};  // the outer receive finishes
    EXPECT_EQ(expected, port->events);
}

TEST_F(VliFixture, SuccessStatusesAndQRepliesStartNoQuery) {
    port->deliverWholeChunks = true;
    for (BYTE status : {0x00, 0x80, 0xF0}) {
        port->QueueRead(WithChecksum({0x05, 0x05, 0x16, status}));
        EXPECT_EQ(5u, vli.nReceivePacket(data, trace));
    }
    // A 'q' reply carries data where the status would be: it counts as status 0.
    port->QueueRead(Frame({0x05, 0x07, 0x71, 0x41, 0x42, 0x43, 0x33}));
    EXPECT_EQ(7u, vli.nReceivePacket(data, trace));
    // Long form: the status follows the command byte at offset 4.
    Bytes longOk = {0x05, 0x00, 0x07, 0x01, 0x16, 0x00};
    longOk.resize(262, 0x20);
    port->QueueRead(WithChecksum(longOk));
    EXPECT_EQ(263u, vli.nReceivePacket(data, trace));
    EXPECT_TRUE(port->writes.empty());
}

TEST_F(VliFixture, LongFormErrorStatusIsReported) {
    port->deliverWholeChunks = true;
    Bytes longErr = {0x05, 0x00, 0x07, 0x01, 0x16, 0xF1};
    longErr.resize(262, 0x20);
    port->QueueRead(WithChecksum(longErr));
    EXPECT_EQ(263u, vli.nReceivePacket(data, trace));
    ASSERT_EQ(1u, port->writes.size());
    EXPECT_EQ(Frame({0x05, 0x04, 0x81, 0x80}), port->writes[0]);
}

TEST_F(VliFixture, ReplyToTheQueryIsNeverReported) {
    port->deliverWholeChunks = true;
    vli.nSendPacket(0x81, nullptr, 0, trace);
    port->QueueRead(Frame({0x05, 0x05, 0x81, 0xF8, 0x79}));
    EXPECT_EQ(5u, vli.nReceivePacket(data, trace));
    EXPECT_EQ(1u, port->writes.size());  // only the query itself
}

TEST(VliChecksum, XorOverGivenLengthOrUpToTheTerminator) {
    CVLIProtocol vli(nullptr, nullptr);
    const BYTE frame[] = {0x05, 0x04, 0x16, 0x17};
    EXPECT_EQ(0x17, vli.Checksum(frame, 3));
    EXPECT_EQ(0x00, vli.Checksum(frame, 0));
    EXPECT_EQ(0x17, vli.Checksum((const BYTE*)"\x05\x04\x16", -1));
    EXPECT_TRUE(vli.VerifyChecksum(frame, 4));
    EXPECT_FALSE(vli.VerifyChecksum(frame, 3));
    EXPECT_FALSE(vli.VerifyChecksum(frame, 0));
    EXPECT_TRUE(vli.VerifyChecksum("\x05\x04\x16\x17"));
    EXPECT_FALSE(vli.VerifyChecksum("\x05\x04\x16\x18"));
    EXPECT_FALSE(vli.VerifyChecksum(""));
}

TEST(ProtocolFrameTrace, HexBytesBlankSeparatedInBrackets) {
    const BYTE bytes[] = {0x00, 0xAB, 0x0F};
    EXPECT_STREQ("[00 AB 0F]", CProtocol::FormatFrameTrace(bytes, 3));
    EXPECT_STREQ("[00]", CProtocol::FormatFrameTrace(bytes, 1));
    EXPECT_STREQ("[]", CProtocol::FormatFrameTrace(bytes, 0));
}

}  // namespace
