// The built keyprobe against termsim over loopback TCP: a full key check with every frame
// byte for byte, a refused connection, a host name that does not resolve, a terminal that
// hangs up half-way and one that never answers. Only loopback addresses are ever used.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

using testsupport::ByteVec;

const int kRunTimeoutMs = 150000;
const char kFailureText[] = "FAILURE: Terminal not responding. Check all port settings.";

bool IsErrorStatus(int status) { return status != 0x00 && status != 0x80 && status != 0xF0; }

struct Slot {
    int requestStatus = 0x00;  // status of the key-test reply; -1: no reply at all
    int fetchStatus = 0x00;    // status of the fetch reply; -1: no reply at all
};

struct Expectation {
    Slot master[10];
    Slot dukpt[10];
};

ByteVec KeyTestData(bool bMaster, int slot) {
    ByteVec d{static_cast<std::uint8_t>(bMaster ? ' ' : 'p'), static_cast<std::uint8_t>(slot)};
    const std::string account = "0123456789";
    d.insert(d.end(), account.begin(), account.end());
    d.push_back(0);
    d.push_back(0);
    const std::string prompt = "Testing...";
    d.insert(d.end(), prompt.begin(), prompt.end());
    d.push_back(0xFF);
    d.insert(d.end(), 8, '0');
    return d;
}

// The frames keyprobe must send, in order: per slot the key test, the 0x81 query after an
// error status, the fetch after an accepted key test (and its query), and the follow-up.
std::vector<ByteVec> ExpectedFrames(const Expectation& e) {
    const ByteVec query = {0x05, 0x04, 0x81, 0x80};
    const ByteVec fetch = {0x05, 0x04, 0x16, 0x17};
    std::vector<ByteVec> frames;
    for (int group = 0; group < 2; ++group) {
        const bool bMaster = group == 0;
        const std::uint8_t command = bMaster ? 'a' : 'b';
        for (int slot = 0; slot < 10; ++slot) {
            const Slot& s = bMaster ? e.master[slot] : e.dukpt[slot];
            frames.push_back(testsupport::vliFrame(command, KeyTestData(bMaster, slot)));
            if (s.requestStatus >= 0 && IsErrorStatus(s.requestStatus)) frames.push_back(query);
            if (s.requestStatus == 0) {
                frames.push_back(fetch);
                if (s.fetchStatus >= 0 && IsErrorStatus(s.fetchStatus)) frames.push_back(query);
            }
            frames.push_back(testsupport::vliFrame(command, {static_cast<std::uint8_t>(bMaster ? 'Q' : 'r')}));
        }
    }
    return frames;
}

std::string ExpectedResultFile(const Expectation& e) {
    std::string text;
    for (int group = 0; group < 2; ++group) {
        for (int slot = 0; slot < 10; ++slot) {
            const Slot& s = group == 0 ? e.master[slot] : e.dukpt[slot];
            const bool present = s.requestStatus == 0 && s.fetchStatus != 0xF8 && s.fetchStatus != 0xF1;
            text += (group == 0 ? "Master Key " : "DUKPT Key ") + std::to_string(slot) + ": " +
                    (present ? "Key Is Present" : "Key Is Not Present") + "\r\n";
        }
    }
    return text;
}

std::string ExpectedConsole(const std::string& ini) {
    return "Reading connection information from " + ini + "\nConnecting to Pelsto terminal...\n"
           "Checking status of M/S keys...\nChecking status of DUKPT keys...\n";
}

std::string FailureConsole(const std::string& ini) {
    return "Reading connection information from " + ini + "\nConnecting to Pelsto terminal...\n" +
           kFailureText + "\n";
}

std::string Hex(const ByteVec& bytes) { return testsupport::bytesToHex(bytes); }

// Each follow-up and each key test but the first reaches the terminal at least 250 ms after
// the terminal's last reply (the run's two pauses per slot). Only the lower bound is checked.
void ExpectPauses(const testsupport::TermsimTranscript& t) {
    double lastTx = -1;
    int firstRequestSeen = 0;
    int checked = 0;
    for (const auto& entry : t.entries()) {
        if (entry.tag == "TX") {
            lastTx = entry.ms;
            continue;
        }
        if (entry.tag != "RXF") continue;
        const testsupport::VliFrame f = testsupport::parseVliFrame(entry.bytes);
        const bool bFollowUp = f.data.size() == 1 && ((f.command == 'a' && f.data[0] == 'Q') ||
                                                      (f.command == 'b' && f.data[0] == 'r'));
        const bool bKeyTest = (f.command == 'a' || f.command == 'b') && f.data.size() == 33;
        if (bKeyTest && firstRequestSeen++ == 0) continue;
        if (bFollowUp || bKeyTest) {
            ++checked;
            EXPECT_GE(entry.ms - lastTx, 240.0) << "frame " << Hex(entry.bytes) << " came too soon";
        }
    }
    EXPECT_EQ(39, checked);
}

void ExpectFrames(const testsupport::TermsimTranscript& t, const Expectation& e) {
    const std::vector<ByteVec> expected = ExpectedFrames(e);
    const std::vector<ByteVec> actual = t.rxFrames();
    for (size_t i = 0; i < expected.size() && i < actual.size(); ++i)
        ASSERT_EQ(Hex(expected[i]), Hex(actual[i])) << "frame " << i;
    EXPECT_EQ(expected.size(), actual.size());
    // Nothing but those frames went over the connection.
    ByteVec allExpected;
    for (const ByteVec& f : expected) allExpected.insert(allExpected.end(), f.begin(), f.end());
    EXPECT_EQ(Hex(allExpected), Hex(t.rxBytes()));
}

struct TcpRun {
    testsupport::RunResult result;
    std::string ini;
    std::string resultText;
    bool resultExists = false;
};

TcpRun RunKeyprobe(const testsupport::TempDir& dir, const std::string& address, int port) {
    TcpRun run;
    run.ini = dir.file("terminal.ini");
    const std::string keys = dir.file("keys.txt");
    EXPECT_TRUE(testsupport::writeTcpIni(run.ini, port, address));
    testsupport::RunOptions options;
    options.timeoutMs = kRunTimeoutMs;
    run.result = testsupport::runKeyprobe({run.ini, keys}, options);
    run.resultText = testsupport::readTextFile(keys, &run.resultExists);
    return run;
}

// Standard error of a run whose connection broke: only the socket layer's reports of
// failed transfers, each "\nError. <call> <code>\n".
void ExpectOnlyTransferErrors(const std::string& err) {
    size_t pos = 0;
    while (pos < err.size()) {
        const size_t end = err.find('\n', pos + 1);
        ASSERT_EQ('\n', err[pos]) << err;
        ASSERT_NE(std::string::npos, end) << err;
        const std::string line = err.substr(pos + 1, end - pos - 1);
        EXPECT_TRUE(line.rfind("Error. sendto() 100", 0) == 0 || line.rfind("Error. recvfrom() 100", 0) == 0)
            << line;
        pos = end + 1;
    }
}

}  // namespace

TEST(TcpKeyProbe, FullRunWithKeyStatesAndErrorStatuses) {
    Expectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[2].requestStatus = 0x05;  // queried with 0x81, no fetch
    e.master[4].fetchStatus = 0xF1;
    e.master[6].fetchStatus = 0x07;    // queried, but only F8 and F1 mean absent
    e.dukpt[3].fetchStatus = 0xF8;
    e.dukpt[7].requestStatus = 0x80;   // no query, no fetch
    e.dukpt[9].fetchStatus = 0xF1;
    testsupport::TermsimProcess sim({"--transport", "tcp", "--ms", "L8LL1LLLLL", "--dukpt", "LLL8LLLLL1",
                                     "--fault", "a:2=status:0x05", "--fault", "fetch-a:6=status:0x07",
                                     "--fault", "b:7=status:0x80"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const TcpRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_TRUE(run.result.started);
    ASSERT_FALSE(run.result.timedOut) << run.result.out << run.result.err;
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(ExpectedConsole(run.ini), run.result.out);
    EXPECT_EQ("", run.result.err);
    ASSERT_TRUE(run.resultExists);
    EXPECT_EQ(ExpectedResultFile(e), run.resultText);

    const testsupport::TermsimTranscript t = sim.transcript();
    EXPECT_TRUE(t.errors().empty()) << t.errors().front();
    ExpectFrames(t, e);
    ExpectPauses(t);
    // Six 0x81 exchanges: after the request status 05, the fetch status 07 and the four
    // absent keys (F8, F1); 80 is not an error status.
    int nQueries = 0, nAnswers = 0;
    for (const ByteVec& f : t.rxFrames()) nQueries += Hex(f) == "05 04 81 80";
    for (const ByteVec& f : t.txFrames()) nAnswers += f.size() > 2 && f[2] == 0x81;
    EXPECT_EQ(6, nQueries);
    EXPECT_EQ(6, nAnswers);
}

TEST(TcpKeyProbe, RefusedConnection) {
    testsupport::TempDir dir("keyprobe-tcp");
    // A port that was just free: the system answers the connect with a reset.
    int port = -1;
    {
        testsupport::TermsimProcess sim({"--transport", "tcp"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        port = sim.tcpPort();
    }
    const TcpRun run = RunKeyprobe(dir, "127.0.0.1", port);
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ(FailureConsole(run.ini), run.result.out);
    EXPECT_EQ("\nError. connect() failed  10061\n", run.result.err);
    EXPECT_TRUE(run.resultExists);
    EXPECT_EQ(kFailureText, run.resultText);
}

TEST(TcpKeyProbe, HostNameThatDoesNotResolve) {
    testsupport::TempDir dir("keyprobe-tcp");
    const TcpRun run = RunKeyprobe(dir, "keyprobe-no-such-terminal.invalid", 8009);
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ(FailureConsole(run.ini), run.result.out);
    // Found missing at construction; the open then fails on the unusable address.
    EXPECT_EQ(0u, run.result.err.find("\nError. Host not found: keyprobe-no-such-terminal.invalid\n"
                                      "\nError. connect() failed  "))
        << run.result.err;
    EXPECT_EQ(kFailureText, run.resultText);
}

TEST(TcpKeyProbe, TerminalHangsUpHalfWay) {
    // Three replies per slot with every key loaded: the seventh reply is slot 2's key
    // test, after which the terminal closes. Slot 2's fetch then gets no reply, which is
    // not an absent key; every later key test gets none either.
    testsupport::TermsimProcess sim({"--transport", "tcp", "--close-after-frames", "7"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const TcpRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_TRUE(run.result.started);
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(ExpectedConsole(run.ini), run.result.out);
    ExpectOnlyTransferErrors(run.result.err);
    EXPECT_NE(std::string::npos, run.result.err.find("Error. sendto() 10054")) << run.result.err;

    Expectation e;
    for (int slot = 3; slot < 10; ++slot) e.master[slot].requestStatus = -1;
    for (int slot = 0; slot < 10; ++slot) e.dukpt[slot].requestStatus = -1;
    e.master[2].fetchStatus = -1;
    EXPECT_EQ(ExpectedResultFile(e), run.resultText);

    // What the terminal received before it hung up.
    const std::vector<ByteVec> frames = sim.transcript().rxFrames();
    ASSERT_EQ(7u, frames.size());
    EXPECT_EQ(Hex(testsupport::vliFrame('a', KeyTestData(true, 2))), Hex(frames[6]));
}

TEST(TcpKeyProbe, TerminalThatNeverAnswers) {
    // Every read of a reply header waits its one whole second, so this run takes about
    // 20 x (1 s + 1 s + 0.5 s).
    testsupport::TermsimProcess sim({"--transport", "tcp", "--fault", "*:*=no-reply"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-tcp");

    const TcpRun run = RunKeyprobe(dir, "127.0.0.1", sim.tcpPort());
    ASSERT_TRUE(run.result.started);
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(ExpectedConsole(run.ini), run.result.out);
    EXPECT_EQ("", run.result.err);

    Expectation e;
    for (int slot = 0; slot < 10; ++slot) {
        e.master[slot].requestStatus = -1;
        e.dukpt[slot].requestStatus = -1;
    }
    EXPECT_EQ(ExpectedResultFile(e), run.resultText);
    ExpectFrames(sim.transcript(), e);
}
