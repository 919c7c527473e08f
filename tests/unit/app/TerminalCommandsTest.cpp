// The terminal application's commands over a link with VLI framing and a scripted port:
// the request layout on the wire and the decoding of replies into status values.
#include <gtest/gtest.h>

#include <string.h>
#include <winsock2.h>

#include "Connection.h"
#include "DebugFile.h"
#include "FakePort.h"
#include "TerminalCommands.h"
#include "TerminalLink.h"

namespace {

using Bytes = FakePort::Bytes;

// Installs a link over a fake port as the program-wide link for one test.
struct CommandsFixture : ::testing::Test {
    CDebugFile log{""};
    FakePort* port = new FakePort(&log);
    CTerminalLink* saved = g_pTerminalLink;
    BYTE buffer[300];
    BYTE length = 0xEE;

    void SetUp() override {
        g_pTerminalLink = new CTerminalLink(port, 1);
        memset(buffer, 0xCC, sizeof(buffer));
    }
    void TearDown() override {
        delete g_pTerminalLink;
        g_pTerminalLink = saved;
    }
};

TEST_F(CommandsFixture, FetchWithStatusZeroAndNoData) {
    port->QueueResponse(Bytes{0x05, 0x05, 0x16, 0x00, 0x16});
    EXPECT_EQ(0, FetchTerminalReply(buffer, &length));
    EXPECT_EQ(0, length);
    EXPECT_EQ(0xCC, buffer[0]);
    EXPECT_EQ((std::vector<Bytes>{{0x05, 0x04, 0x16, 0x17}}), port->writes);
}

TEST_F(CommandsFixture, FetchWithKeyAbsentStatusAndOneDataByte) {
    port->QueueResponse(Bytes{0x05, 0x06, 0x16, 0xF8, 0x41, 0xAC});
    port->QueueResponse(Bytes{0x05, 0x05, 0x81, 0x00, 0x81});
    EXPECT_EQ(-8, FetchTerminalReply(buffer, &length));
    EXPECT_EQ(1, length);
    EXPECT_EQ(0x41, buffer[0]);
    EXPECT_EQ(0xCC, buffer[1]);
    // The error status made the terminal tell its last platform error, before the fetch returned.
    ASSERT_EQ(2u, port->writes.size());
    EXPECT_EQ((Bytes{0x05, 0x04, 0x81, 0x80}), port->writes[1]);
}

TEST_F(CommandsFixture, QReplyCopiesOneByteMoreThanItReports) {
    port->QueueResponse(Bytes{0x05, 0x07, 0x71, 0x41, 0x42, 0x43, 0x33});
    EXPECT_EQ(0x41, SendTerminalCommand('q', nullptr, 0, buffer, &length));
    EXPECT_EQ(2, length);
    EXPECT_EQ(0, memcmp(buffer, "ABC", 3));
    EXPECT_EQ(0xCC, buffer[3]);
}

TEST_F(CommandsFixture, NoReplyLeavesBufferAndLengthAlone) {
    EXPECT_EQ(-32, FetchTerminalReply(buffer, &length));
    EXPECT_EQ(0xEE, length);
    EXPECT_EQ(0xCC, buffer[0]);
}

TEST_F(CommandsFixture, NullBufferAndLengthAreAllowed) {
    port->QueueResponse(Bytes{0x05, 0x06, 0x16, 0x00, 0x41, 0x54});
    EXPECT_EQ(0, SendTerminalCommand(0x16, nullptr, 0, nullptr, nullptr));
}

TEST_F(CommandsFixture, LongReplyIsCutToWhatTheLengthByteCanReport) {
    // 1,025 bytes of long form: far more than a 256-byte reply buffer holds.
    Bytes reply = {0x05, 0x00, 0x01, 0x04, 0x16, 0x00};
    reply.resize(1024, 0x5A);
    port->QueueResponse(WithChecksum(reply));
    SendTerminalCommand(0x16, nullptr, 0, buffer, &length);
    EXPECT_EQ(255, length);
    EXPECT_EQ(0x5A, buffer[254]);
    EXPECT_EQ(0xCC, buffer[255]);

    // Long form read as 'q': the low length byte stands where the type would be.
    Bytes qReply = {0x05, 0x00, 0x71, 0x01, 0x16, 0x00};  // 369 bytes
    qReply.resize(368, 0x5B);
    port->QueueResponse(WithChecksum(qReply));
    memset(buffer, 0xCC, sizeof(buffer));
    SendTerminalCommand(0x16, nullptr, 0, buffer, &length);
    EXPECT_EQ(255, length);
    EXPECT_EQ(0x5B, buffer[255]);
    EXPECT_EQ(0xCC, buffer[256]);
}

// A device that has never taken a byte is not waited for; once one command has gone out, a
// command that cannot be sent is still followed by the read of its reply.
TEST_F(CommandsFixture, CommandThatCannotBeSentReadsAReplyOnceTheLinkHasCarriedOne) {
    port->writeLimit = 0;
    port->SetLastPortError(ERROR_INVALID_PARAMETER);
    EXPECT_EQ(-32, SendTerminalCommand('a', (const BYTE*)"Q", 1, buffer, &length));
    EXPECT_EQ(0u, port->CountEvents("Read"));
    const TerminalExchange& exchange = LastTerminalExchange();
    EXPECT_FALSE(exchange.bSent);
    EXPECT_FALSE(exchange.bAnswered);
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, exchange.dwPortError);

    port->writeLimit = 0xFFFFFFFF;
    port->QueueResponse(Bytes{0x05, 0x05, 0x16, 0x00, 0x16});
    EXPECT_EQ(0, FetchTerminalReply(buffer, &length));

    port->writeLimit = 0;
    port->SetLastPortError(WSAECONNRESET);
    EXPECT_EQ(-32, SendTerminalCommand('a', (const BYTE*)"Q", 1, buffer, &length));
    EXPECT_LT(0u, port->CountEvents("Read"));
    EXPECT_FALSE(LastTerminalExchange().bSent);
    EXPECT_EQ((DWORD)WSAECONNRESET, LastTerminalExchange().dwPortError);

    port->open = false;
    EXPECT_EQ(-32, SendTerminalCommand('a', (const BYTE*)"Q", 1, buffer, &length));
    EXPECT_FALSE(LastTerminalExchange().bAnswered);
}

// The status byte cannot tell a terminal that answered 0xE0 from no reply; the exchange can,
// and it carries what the terminal said in the 0x81 queries inside the receive.
TEST_F(CommandsFixture, ExchangeTellsAnAnswerFromNoneAndCarriesTheTerminalsTexts) {
    struct Case {
        Bytes reply;       // empty: none comes
        Bytes queryReply;  // the answer to the 0x81 query the status brings, if any
        signed char status;
        bool answered;
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {WithChecksum({0x05, 0x05, 0x16, 0xE0}),
         WithChecksum({0x05, 0x0B, 0x81, 0x00, 0x34, 0x12, 'T', 'a', 0, 'p'}),
         -32,
         true,
         {std::string("Ta\0p", 4)}},
        // A query answered without a description has no text to give.
        {WithChecksum({0x05, 0x05, 0x16, 0x05}),
         Bytes{0x05, 0x07, 0x81, 0x00, 0xCD, 0xAB, 0xE5},
         5,
         true,
         {}},
        {WithChecksum({0x05, 0x05, 0x16, 0x00}), {}, 0, true, {}},
        {{}, {}, -32, false, {}},
    };
    for (const Case& c : cases) {
        if (!c.reply.empty())
            port->QueueResponse(c.reply);
        if (!c.queryReply.empty())
            port->QueueResponse(c.queryReply);
        EXPECT_EQ(c.status, FetchTerminalReply(buffer, &length));
        const TerminalExchange& exchange = LastTerminalExchange();
        EXPECT_TRUE(exchange.bSent);
        EXPECT_EQ(c.answered, exchange.bAnswered != FALSE);
        EXPECT_EQ(c.texts, exchange.terminalTexts);
    }
}

TEST_F(CommandsFixture, MasterSessionKeyTestFrame) {
    port->QueueResponse(Bytes{0x05, 0x05, 0x61, 0x00, 0x61});
    EXPECT_EQ(0, SendKeyTestRequest(1, 0, "0123456789", "Testing...", "00000000"));
    const Bytes expected = WithChecksum({0x05, 0x25, 0x61, 0x20, 0x00, '0', '1', '2', '3', '4', '5', '6',
                                         '7',  '8',  '9',  0x00, 0x00, 'T', 'e', 's', 't', 'i', 'n', 'g',
                                         '.',  '.',  '.',  0xFF, '0',  '0', '0', '0', '0', '0', '0', '0'});
    ASSERT_EQ(37u, expected.size());
    EXPECT_EQ((std::vector<Bytes>{expected}), port->writes);
}

TEST_F(CommandsFixture, DukptKeyTestFrameForSlotThree) {
    port->QueueResponse(Bytes{0x05, 0x05, 0x62, 0x00, 0x62});
    SendKeyTestRequest(0, 3, "0123456789", "Testing...", "ABCDEFGH");
    const Bytes& frame = port->writes.at(0);
    ASSERT_EQ(37u, frame.size());
    EXPECT_EQ((Bytes{0x05, 0x25, 0x62, 0x70, 0x03, 0x30, 0x31}), Bytes(frame.begin(), frame.begin() + 7));
    EXPECT_EQ(Bytes(frame.begin() + 28, frame.begin() + 36), (Bytes{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
}

TEST_F(CommandsFixture, TrailingFieldOfWrongLengthBecomesZeros) {
    for (const char* trailer : {"1234567", "123456789", (const char*)nullptr}) {
        port->writes.clear();
        SendKeyTestRequest(1, 0, "0123456789", "Testing...", trailer);
        const Bytes& frame = port->writes.at(0);
        EXPECT_EQ(Bytes(8, '0'), Bytes(frame.begin() + 28, frame.begin() + 36))
            << (trailer ? trailer : "null");
    }
}

TEST_F(CommandsFixture, AccountFieldIsTwelveBytesWhateverTheText) {
    SendKeyTestRequest(1, 9, "ABCDEFGHIJKLMNOP", "", "00000000");
    const Bytes& frame = port->writes.at(0);
    ASSERT_EQ(27u, frame.size());  // 23 data bytes with an empty prompt
    EXPECT_EQ(9, frame[4]);
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.begin() + 17),
              Bytes({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L'}));
    EXPECT_EQ(0xFF, frame[17]);
}

TEST_F(CommandsFixture, OverlongPromptIsCutToFitTheRequest) {
    std::string prompt(400, 'x');
    SendKeyTestRequest(1, 0, "0123456789", prompt.c_str(), "00000000");
    const Bytes& frame = port->writes.at(0);
    // 23 + 232 data bytes: the long form, command at offset 4 and data from offset 5.
    ASSERT_EQ(255u + 6u, frame.size());
    EXPECT_EQ(0xFF, frame[5 + 14 + 232]);
}

TEST(TerminalCommandsWithoutLink, EveryCommandGivesNoReply) {
    CTerminalLink* saved = g_pTerminalLink;
    g_pTerminalLink = nullptr;
    BYTE length = 0;
    EXPECT_EQ(-32, FetchTerminalReply(nullptr, &length));
    EXPECT_EQ(-32, SendKeyTestRequest(1, 0, "0123456789", "Testing...", "00000000"));
    g_pTerminalLink = saved;
}

}  // namespace
