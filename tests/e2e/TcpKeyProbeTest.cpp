// The built keyprobe against termsim over loopback TCP: a full key check with every frame
// byte for byte, replies cut into pieces, late or followed by stray bytes, a refused
// connection, one never answered, a host name that does not resolve and a terminal that
// never answers (FaultMatrix hangs up half-way through a run). Only loopback addresses are
// ever used.
#define TCP_TEST_PEER_IMPLEMENTATION
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "ReplyDeliveryRows.h"
#include "TcpTestPeer.h"
#include "TermsimProcess.h"

namespace {

using testsupport::KeyprobeRun;
using Expectation = testsupport::KeyCheckExpectation;

const int kRunTimeoutMs = 150000;
// Well under the two minutes of connect retries Linux would make on its own.
const int kNeverAnsweredTimeoutMs = 60000;

KeyprobeRun RunKeyprobe(const testsupport::TempDir& dir, const std::string& address, int port,
                        int timeoutMs = kRunTimeoutMs) {
    const std::string ini = dir.file("terminal.ini");
    EXPECT_TRUE(testsupport::writeTcpIni(ini, port, address));
    testsupport::RunOptions options;
    options.timeoutMs = timeoutMs;
    return testsupport::RunKeyprobeOn(ini, dir.file("keys.txt"), options);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t pos = 0; pos < text.size();) {
        const size_t end = text.find("\r\n", pos);
        lines.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        pos = end == std::string::npos ? text.size() : end + 2;
    }
    return lines;
}

}  // namespace

TEST(TcpKeyProbe, FullRunWithKeyStatesAndErrorStatuses) {
    std::vector<std::string> args = {"--transport", "tcp"};
    const std::vector<std::string> mixed = testsupport::MixedKeyStatesArguments();
    args.insert(args.end(), mixed.begin(), mixed.end());
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const KeyprobeRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    testsupport::ExpectMixedKeyStatesRun(run, sim.transcript());
}

class TcpReplyDelivery : public ::testing::TestWithParam<testsupport::ReplyDeliveryRow> {};

// However a reply's bytes arrive, each slot reads as its key state says, and no slot's
// reply is taken for a later one's.
TEST_P(TcpReplyDelivery, EverySlotReadsAsItsKeyState) {
    const testsupport::ReplyDeliveryRow& row = GetParam();
    std::vector<std::string> args = {"--transport", "tcp"};
    const std::vector<std::string> keysAndFaults = testsupport::TermsimArguments(row);
    args.insert(args.end(), keysAndFaults.begin(), keysAndFaults.end());
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const KeyprobeRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    // A fetch whose reply came too late is one the terminal did not answer in time.
    const size_t nLate = row.lateMasterFetches.size() + row.lateDukptFetches.size();
    if (nLate == 0)
        EXPECT_EQ("", run.result.err);
    else
        EXPECT_EQ(0u, run.result.err.find("The terminal did not answer for " + std::to_string(nLate) +
                                          " of the 20 key slots"))
            << run.result.err;
    const Expectation e = testsupport::ExpectationOf(row);
    const std::vector<std::string> expected = Lines(testsupport::ExpectedResultFile(e));
    const std::vector<std::string> actual = Lines(run.resultText);
    ASSERT_EQ(expected.size(), actual.size()) << run.resultText;
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], actual[i]);
    if (row.wireAsUsual) {
        const testsupport::TermsimTranscript t = sim.transcript();
        EXPECT_TRUE(t.errors().empty()) << t.errors().front();
        testsupport::ExpectFrames(t, e);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, TcpReplyDelivery, ::testing::ValuesIn(testsupport::ReplyDeliveryRows()),
                         [](const ::testing::TestParamInfo<testsupport::ReplyDeliveryRow>& info) {
                             return std::string(info.param.name);
                         });

TEST(TcpKeyProbe, RefusedConnection) {
    testsupport::TempDir dir("keyprobe-tcp");
    // A port that was just free: the system answers the connect with a reset.
    int port = -1;
    {
        testsupport::TermsimProcess sim({"--transport", "tcp"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        port = sim.tcpPort();
    }
    const KeyprobeRun run = RunKeyprobe(dir, "127.0.0.1", port);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectFailedRun(run));
    EXPECT_EQ("\nError. connect() failed  10061\ncannot open TCP/IP Port 127.0.0.1:" + std::to_string(port) +
                  ": connection refused: nothing listens there (error 10061)\n",
              run.result.err);
    EXPECT_TRUE(run.resultExists);
}

TEST(TcpKeyProbe, ConnectionNeverAnsweredFailsAsOnWindows) {
    // A listener whose backlog is full leaves every further handshake unanswered; the
    // connect gives up after Windows' 21 s, not Linux's two minutes.
    tcp_test::LoopbackPeer blackhole("127.0.0.1", 0, 0);
    ASSERT_TRUE(blackhole.IsListening());
    const int filler = testsupport::connectLoopback(blackhole.Port());
    ASSERT_GE(filler, 0);
    testsupport::TempDir dir("keyprobe-tcp");

    const KeyprobeRun run = RunKeyprobe(dir, "127.0.0.1", blackhole.Port(), kNeverAnsweredTimeoutMs);
    close(filler);
    ASSERT_FALSE(run.result.timedOut);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectFailedRun(run));
    EXPECT_EQ("\nError. connect() failed  10060\ncannot open TCP/IP Port 127.0.0.1:" +
                  std::to_string(blackhole.Port()) +
                  ": no answer: the connection attempt timed out (error 10060)\n",
              run.result.err);
}

TEST(TcpKeyProbe, HostNameThatDoesNotResolve) {
    testsupport::TempDir dir("keyprobe-tcp");
    const KeyprobeRun run = RunKeyprobe(dir, "keyprobe-no-such-terminal.invalid", 8009);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectFailedRun(run));
    // Found missing at construction; the open then fails on the unusable address.
    EXPECT_EQ(0u, run.result.err.find("\nError. Host not found: keyprobe-no-such-terminal.invalid\n"
                                      "\nError. connect() failed  "))
        << run.result.err;
}

TEST(TcpKeyProbe, TerminalThatNeverAnswers) {
    // Every read of a reply header waits its 1,000 ms, so this run takes about
    // 20 x (1 s + 1 s + 0.5 s).
    testsupport::TermsimProcess sim({"--transport", "tcp", "--fault", "*:*=no-reply"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const KeyprobeRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ("The terminal did not answer for 20 of the 20 key slots (M/S 0-9, DUKPT 0-9): their key states "
              "are unknown.\n",
              run.result.err);

    Expectation e;
    testsupport::NoRepliesFrom(e, 0);
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    testsupport::ExpectFrames(sim.transcript(), e);
}
