// The session over its real transports, driven from the peer's side with frames whose
// bytes are written out here by hand.
#include "PtyTransport.h"
#include "Session.h"
#include "TcpTransport.h"
#include "TermsimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace termsim;
using testsupport::ByteVec;
using testsupport::TermsimTranscript;

namespace {

using testsupport::connectLoopback;
using testsupport::hex;

// 'a' key test, slot 1, account "0123456789", prompt "Testing...", trailer "00000000".
const char kKeyTestA1[] =
    "05 25 61 20 01 30 31 32 33 34 35 36 37 38 39 00 00 54 65 73 74 69 6E 67 2E 2E 2E FF "
    "30 30 30 30 30 30 30 30 E6";

bool writeAll(int fd, const ByteVec& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads until count bytes came, the peer closed, or the time is up.
ByteVec readUpTo(int fd, std::size_t count, int timeoutMs = 3000) {
    ByteVec out;
    long long deadline = testsupport::monotonicMs() + timeoutMs;
    while (out.size() < count) {
        long long left = deadline - testsupport::monotonicMs();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        std::uint8_t buffer[512];
        ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - out.size()));
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// Runs a session on its own thread for the length of a test, its transcript in a
// temporary folder.
class RunningSession {
public:
    RunningSession(const std::vector<std::string>& args, Transport& transport) {
        std::string error;
        EXPECT_EQ(ParseOutcome::Run, parseCommandLine(args, m_options, error)) << error;
        EXPECT_TRUE(m_transcript.open(m_transcriptPath, false, error)) << error;
        m_session.reset(new Session(m_options, transport, m_transcript, nullptr));
        EXPECT_TRUE(m_session->prepare(error)) << error;
        m_thread = std::thread([this] { m_exitCode = m_session->run(); });
    }
    ~RunningSession() { stop(); }
    int stop() {
        if (m_thread.joinable()) {
            m_session->requestStop();
            m_thread.join();
        }
        return m_exitCode;
    }

    // What the session wrote to its transcript so far.
    TermsimTranscript transcript() const { return TermsimTranscript::load(m_transcriptPath); }

private:
    testsupport::TempDir m_dir;
    const std::string m_transcriptPath = m_dir.file("t.log");
    Options m_options;
    Transcript m_transcript;
    std::unique_ptr<Session> m_session;
    std::thread m_thread;
    int m_exitCode = -1;
};

int openRawSlave(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

std::uint8_t xorAll(const ByteVec& b) {
    std::uint8_t x = 0;
    for (auto v : b)
        x ^= v;
    return x;
}

}  // namespace

TEST(TermsimOverPty, KeyCheckExchangeForAnAbsentKey) {
    PtyTransport pty;
    std::string error;
    ASSERT_TRUE(pty.open(error)) << error;
    RunningSession session({"--ms", "L8LLLLLLLL"}, pty);
    int fd = openRawSlave(pty.slavePath());
    ASSERT_GE(fd, 0);

    ASSERT_TRUE(writeAll(fd, hex(kKeyTestA1)));
    EXPECT_EQ(hex("05 05 61 00 61"), readUpTo(fd, 5));
    ASSERT_TRUE(writeAll(fd, hex("05 04 16 17")));
    EXPECT_EQ(hex("05 05 16 F8 EE"), readUpTo(fd, 5));
    ASSERT_TRUE(writeAll(fd, hex("05 04 81 80")));
    ByteVec query = readUpTo(fd, 0x1A);
    ByteVec head = hex("05 1A 81 00 F8 00");
    std::string text = "Key slot 1 is empty";
    head.insert(head.end(), text.begin(), text.end());
    head.push_back(xorAll(head));
    EXPECT_EQ(head, query);
    ASSERT_TRUE(writeAll(fd, hex("05 05 61 51 30")));
    EXPECT_EQ(hex("05 05 61 00 61"), readUpTo(fd, 5));
    close(fd);
    EXPECT_EQ(0, session.stop());

    TermsimTranscript t = session.transcript();
    EXPECT_TRUE(t.errors().empty());
    EXPECT_EQ(std::vector<std::string>({"a", "fetch", "0x81", "Q"}), t.commandClasses());
    ASSERT_EQ(4u, t.rxFrames().size());
    EXPECT_EQ(hex(kKeyTestA1), t.rxFrames()[0]);
    EXPECT_EQ(hex("05 05 61 51 30"), t.rxFrames()[3]);
    ASSERT_EQ(4u, t.txFrames().size());
    EXPECT_EQ(hex("05 05 16 F8 EE"), t.txFrames()[1]);
    // Time stamps never run backwards.
    for (std::size_t i = 1; i < t.entries().size(); ++i)
        EXPECT_LE(t.entries()[i - 1].ms, t.entries()[i].ms);
    EXPECT_EQ("EV", t.entries().back().tag);
    EXPECT_EQ("stop signal", t.entries().back().text);
}

TEST(TermsimOverPty, SplitAndCorruptRepliesAndAFrameThatArrivesInPieces) {
    PtyTransport pty;
    std::string error;
    ASSERT_TRUE(pty.open(error)) << error;
    RunningSession session({"--fault", "a:1=split:3:20ms", "--fault", "fetch:*=bad-checksum+garbage:EE"},
                           pty);
    int fd = openRawSlave(pty.slavePath());
    ASSERT_GE(fd, 0);

    ByteVec request = hex(kKeyTestA1);
    ASSERT_TRUE(writeAll(fd, ByteVec(request.begin(), request.begin() + 10)));
    usleep(20000);
    ASSERT_TRUE(writeAll(fd, ByteVec(request.begin() + 10, request.end())));
    EXPECT_EQ(hex("05 05 61 00 61"), readUpTo(fd, 5));
    ASSERT_TRUE(writeAll(fd, hex("05 04 16 17")));
    EXPECT_EQ(hex("EE 05 05 16 00 E9"), readUpTo(fd, 6));
    // A request with a wrong checksum is reported and not answered.
    ASSERT_TRUE(writeAll(fd, hex("05 04 16 99")));
    EXPECT_TRUE(readUpTo(fd, 1, 300).empty());
    close(fd);
    session.stop();

    TermsimTranscript t = session.transcript();
    std::vector<ByteVec> tx = t.bytesOf("TX");
    ASSERT_EQ(4u, tx.size());
    EXPECT_EQ(hex("05"), tx[0]);
    EXPECT_EQ(hex("05 61"), tx[1]);
    EXPECT_EQ(hex("00 61"), tx[2]);
    EXPECT_EQ(hex("EE 05 05 16 00 E9"), tx[3]);
    EXPECT_EQ(2u, t.withTag("FAULT").size());
    ASSERT_EQ(1u, t.errors().size());
    EXPECT_NE(std::string::npos, t.errors()[0].find("checksum 99, expected 17"));
    EXPECT_EQ(2u, t.rxFrames().size());
}

TEST(TermsimOverPty, AnErrorStatusMustBeFollowedByThePlatformErrorQuery) {
    PtyTransport pty;
    std::string error;
    ASSERT_TRUE(pty.open(error)) << error;
    RunningSession session({"--fault", "a:1=status:0x05", "--fault", "Q:*=garbage"}, pty);
    int fd = openRawSlave(pty.slavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, hex(kKeyTestA1)));
    EXPECT_EQ(hex("05 05 61 05 64"), readUpTo(fd, 5));
    ASSERT_TRUE(writeAll(fd, hex("05 05 61 51 30")));  // skips the 0x81 query
    EXPECT_EQ(hex("55 AA FF 05 05 61 00 61"), readUpTo(fd, 8));
    ASSERT_TRUE(writeAll(fd, hex("05 04 81 80")));  // allowed: the last reply was garbled
    EXPECT_EQ(0x81, readUpTo(fd, 32, 500).at(2));
    ASSERT_TRUE(writeAll(fd, hex("05 04 81 80")));  // after an intact status 00 reply
    EXPECT_EQ(0x81, readUpTo(fd, 32, 500).at(2));
    close(fd);
    session.stop();
    auto errors = session.transcript().errors();
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ("protocol: status 05 was not followed by the 0x81 query, but by: Q slot=1", errors[0]);
    EXPECT_EQ("protocol: 0x81 query after a reply without an error status", errors[1]);
}

TEST(TermsimOverTcp, CloseAfterFramesThenANewConnectionIsServed) {
    TcpTransport tcp(0);
    std::string error;
    ASSERT_TRUE(tcp.open(error)) << error;
    ASSERT_NE(0u, tcp.port());
    RunningSession session(
        {"--transport", "tcp", "--close-after-frames", "2", "--fault", "Q:*=header-split:30ms"}, tcp);

    for (int round = 0; round < 2; ++round) {
        int fd = connectLoopback(tcp.port());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(writeAll(fd, hex("05 05 61")));  // one request in two segments
        usleep(10000);
        ASSERT_TRUE(writeAll(fd, hex("51 30")));
        EXPECT_EQ(hex("05 05 61 00 61"), readUpTo(fd, 5));
        ASSERT_TRUE(writeAll(fd, hex("05 04 81 80")));
        ByteVec reply = readUpTo(fd, 15);
        EXPECT_EQ(hex("05 0F 81 00 00 00 4E 6F 20 65 72 72 6F 72 F2"), reply);  // "No error"
        // The second frame was the last one on this connection.
        EXPECT_TRUE(readUpTo(fd, 1, 2000).empty());
        close(fd);
    }
    session.stop();

    TermsimTranscript t = session.transcript();
    EXPECT_TRUE(t.errors().empty());
    int connects = 0, localCloses = 0;
    for (const std::string& event : t.textOf("EV")) {
        connects += event.compare(0, 8, "connect ") == 0;
        localCloses += event == "disconnect local (after 2 frames)";
    }
    EXPECT_EQ(2, connects);
    EXPECT_EQ(2, localCloses);
    // The header-split Q reply went out as 05 05 61 00 and 61.
    std::vector<ByteVec> tx = t.bytesOf("TX");
    ASSERT_GE(tx.size(), 3u);
    EXPECT_EQ(hex("05 05 61 00"), tx[0]);
    EXPECT_EQ(hex("61"), tx[1]);
}

TEST(TermsimOverTcp, CloseFaultHangsUpWithoutAReply) {
    TcpTransport tcp(0);
    std::string error;
    ASSERT_TRUE(tcp.open(error)) << error;
    RunningSession session({"--transport", "tcp", "--fault", "fetch:#1=close"}, tcp);
    int fd = connectLoopback(tcp.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, hex("05 04 16 17")));
    EXPECT_TRUE(readUpTo(fd, 1, 2000).empty());
    close(fd);
    // The rule hit the first fetch only.
    fd = connectLoopback(tcp.port());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(writeAll(fd, hex("05 04 16 17")));
    EXPECT_EQ(hex("05 05 16 03 15"), readUpTo(fd, 5));  // no key test pending
    close(fd);
    session.stop();
    TermsimTranscript t = session.transcript();
    std::vector<std::string> events = t.textOf("EV");
    EXPECT_NE(events.end(), std::find(events.begin(), events.end(), "disconnect local (close fault)"));
}

TEST(TermsimOverTcp, StxFramingAcknowledgesAndRefuses) {
    TcpTransport tcp(0);
    std::string error;
    ASSERT_TRUE(tcp.open(error)) << error;
    RunningSession session({"--transport", "tcp", "--framing", "stx", "--stx-resend", "1"}, tcp);
    int fd = connectLoopback(tcp.port());
    ASSERT_GE(fd, 0);
    // 'a' 'Q' as an STX message: LRC = 61 ^ 51 ^ 03 = 33.
    ASSERT_TRUE(writeAll(fd, hex("02 61 51 03 33")));
    EXPECT_EQ(hex("06 02 61 00 03 62"), readUpTo(fd, 6));
    ASSERT_TRUE(writeAll(fd, hex("15")));  // NAK: sent once more
    EXPECT_EQ(hex("02 61 00 03 62"), readUpTo(fd, 5));
    ASSERT_TRUE(writeAll(fd, hex("06")));
    ASSERT_TRUE(writeAll(fd, hex("02 61 51 03 34")));  // wrong LRC
    EXPECT_EQ(hex("15"), readUpTo(fd, 1));
    close(fd);
    session.stop();
    TermsimTranscript t = session.transcript();
    EXPECT_EQ(std::vector<std::string>({"NAK", "ACK"}), t.textOf("RXC"));
    ASSERT_EQ(1u, t.errors().size());
    EXPECT_NE(std::string::npos, t.errors()[0].find("LRC 34, expected 33"));
}

TEST(TermsimOverTcp, RawFramingTakesGapDelimitedRequestsAndAnswersWithVliFrames) {
    TcpTransport tcp(0);
    std::string error;
    ASSERT_TRUE(tcp.open(error)) << error;
    RunningSession session({"--transport", "tcp", "--framing", "raw", "--raw-gap", "200"}, tcp);
    int fd = connectLoopback(tcp.port());
    ASSERT_GE(fd, 0);
    // Unframed: command 42 and two data bytes, answered once the line has been quiet.
    ASSERT_TRUE(writeAll(fd, hex("42 01")));
    usleep(5000);
    ASSERT_TRUE(writeAll(fd, hex("02")));
    EXPECT_EQ(hex("05 05 42 04 46"), readUpTo(fd, 5));  // unknown command: status 04
    // A whole VLI frame is a request at once.
    ASSERT_TRUE(writeAll(fd, hex("05 05 62 72 10")));
    EXPECT_EQ(hex("05 05 62 00 62"), readUpTo(fd, 5));
    close(fd);
    session.stop();
    TermsimTranscript t = session.transcript();
    EXPECT_EQ(std::vector<std::string>({"0x42", "r"}), t.commandClasses());
    ASSERT_EQ(2u, t.rxFrames().size());
    EXPECT_EQ(hex("42 01 02"), t.rxFrames()[0]);
    // The unknown command's status 04 was followed by no 0x81 query.
    ASSERT_EQ(1u, t.errors().size());
    EXPECT_NE(std::string::npos, t.errors()[0].find("status 04 was not followed"));
}
