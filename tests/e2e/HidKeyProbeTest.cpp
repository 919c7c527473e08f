// The built keyprobe with ConnectType "USB Device" against termsim's virtual HID terminal:
// a full key check with every report on the wire checked and, through the port alone, a
// terminal that never answers and one that is unplugged and plugged in again while a
// client's message loop runs the port's device-change window (FaultMatrix unplugs it
// half-way through a keyprobe run).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "COMHIDUSBPort.h"
#include "KeyCheckExpectation.h"
#include "MessagePump.h"
#include "ProcessRunner.h"
#include "ScopedEnv.h"
#include "TermsimProcess.h"

namespace {

using testsupport::ByteVec;
using testsupport::KeyprobeRun;
using Expectation = testsupport::KeyCheckExpectation;

const int kRunTimeoutMs = 150000;

KeyprobeRun RunKeyprobe(const testsupport::TempDir& dir, const testsupport::TermsimProcess& sim) {
    const std::string ini = dir.file("terminal.ini");
    EXPECT_TRUE(testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USB Device"}}}}));
    testsupport::RunOptions options;
    options.timeoutMs = kRunTimeoutMs;
    options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
    return testsupport::RunKeyprobeOn(ini, dir.file("keys.txt"), options);
}

// Every report in one direction: whole reports of 65 bytes with the ID, a count within
// the report and zeros after the payload; the payloads in order are the bytes logged.
void ExpectReports(const std::vector<ByteVec>& reports, std::uint8_t id, const ByteVec& bytes) {
    ByteVec joined;
    for (const ByteVec& r : reports) {
        ASSERT_EQ(65u, r.size()) << testsupport::bytesToHex(r);
        EXPECT_EQ(id, r[0]);
        ASSERT_LE(r[1], 63);
        joined.insert(joined.end(), r.begin() + 2, r.begin() + 2 + r[1]);
        for (std::size_t i = 2 + r[1]; i < r.size(); ++i)
            ASSERT_EQ(0, r[i]) << testsupport::bytesToHex(r);
    }
    EXPECT_EQ(testsupport::bytesToHex(bytes), testsupport::bytesToHex(joined));
}

// One key test through the port: the request out, its whole reply in.
bool KeyTestExchange(CCOMHIDUSBPort& port, int slot) {
    const ByteVec request = testsupport::vliFrame('a', testsupport::KeyTestData(true, slot));
    DWORD n = (DWORD)request.size();
    if (!port.Write(request.data(), n, &n))
        return false;
    BYTE reply[1024];
    n = 5;
    return port.Read(reply, sizeof(reply), &n) && n >= 5 && reply[0] == 0x05 && reply[1] == n &&
           reply[2] == 'a';
}

}  // namespace

TEST(HidKeyProbe, FullRunWithKeyStatesAndErrorStatuses) {
    Expectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[2].requestStatus = 0x05;  // queried with 0x81, no fetch
    e.master[4].fetchStatus = 0xF1;
    e.dukpt[3].fetchStatus = 0xF8;
    e.dukpt[7].requestStatus = 0x80;  // no query, no fetch
    e.dukpt[9].fetchStatus = 0xF1;
    testsupport::TermsimProcess sim({"--transport", "hid", "--ms", "L8LL1LLLLL", "--dukpt", "LLL8LLLLL1",
                                     "--fault", "a:2=status:0x05", "--fault", "b:7=status:0x80"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    ASSERT_FALSE(sim.hidSocket().empty()) << sim.readyLine();
    testsupport::TempDir dir("keyprobe-hid");

    const KeyprobeRun run = RunKeyprobe(dir, sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ("", run.result.err);
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);

    const testsupport::TermsimTranscript t = sim.transcript();
    EXPECT_TRUE(t.errors().empty()) << t.errors().front();
    testsupport::ExpectFrames(t, e);
    testsupport::ExpectPauses(t);
    ExpectReports(t.bytesOf("RXR"), 2, t.rxBytes());
    ByteVec sent;
    for (const ByteVec& chunk : t.bytesOf("TX"))
        sent.insert(sent.end(), chunk.begin(), chunk.end());
    ExpectReports(t.bytesOf("TXR"), 1, sent);
    // Every frame of this run fits one report, both ways.
    EXPECT_EQ(t.rxFrames().size(), t.bytesOf("RXR").size());
    EXPECT_EQ(t.txFrames().size(), t.bytesOf("TXR").size());
}

// Replies longer than keyprobe's reply buffer of 1,025 bytes, up to the long form's 65,535
// bytes and far more input reports than the class driver keeps unless asked, each read to
// its end: their slots get no usable reply (a key test's: not present; a fetch's: present,
// as for a fetch that got none, though the key is absent) and standard error names them,
// and every slot after them reads as its key state, error statuses and their queries too.
TEST(HidKeyProbe, RepliesLongerThanTheReplyBufferLeaveTheRestOfTheRunInStep) {
    Expectation e;
    e.master[1].fetchStatus = -1;  // 1,100 bytes
    e.master[2].fetchStatus = 0xF8;
    e.master[4].requestStatus = -1;    // 5,000 bytes: 80 reports
    e.master[5].requestStatus = 0x05;  // queried with 0x81, no fetch
    e.master[6].fetchStatus = 0xF1;
    e.dukpt[0].fetchStatus = -1;  // 65,007 bytes: 1,032 reports
    e.dukpt[1].fetchStatus = 0xF8;
    e.dukpt[9].fetchStatus = 0xF1;
    testsupport::TermsimProcess sim({"--transport", "hid", "--ms", "L88LLL1LLL", "--dukpt", "88LLLLLLL1",
                                     "--fault", "fetch-a:1=pad:1093", "--fault", "a:4=pad:4993", "--fault",
                                     "a:5=status:0x05", "--fault", "fetch-b:0=pad:65000"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-hid-long");

    const KeyprobeRun run = RunKeyprobe(dir, sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    EXPECT_EQ("The terminal did not answer for 3 of the 20 key slots (M/S 1, 4, DUKPT 0): their key states "
              "are unknown.\n",
              run.result.err);

    const testsupport::TermsimTranscript t = sim.transcript();
    testsupport::ExpectFrames(t, e);
    ByteVec sent;
    for (const ByteVec& chunk : t.bytesOf("TX"))
        sent.insert(sent.end(), chunk.begin(), chunk.end());
    ExpectReports(t.bytesOf("TXR"), 1, sent);
    std::vector<std::size_t> longest;
    for (const ByteVec& frame : t.txFrames())
        if (frame.size() > 1025)
            longest.push_back(frame.size());
    EXPECT_EQ(std::vector<std::size_t>({1100, 5000, 65007}), longest);
}

TEST(HidPortAgainstTermsim, TerminalThatNeverAnswersFailsEachReadAtItsTimeout) {
    testsupport::TermsimProcess sim({"--transport", "hid", "--fault", "*:*=no-reply"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::ScopedEnv device("IOCLASSLIB_VIRTUAL_HID", sim.hidSocket());
    CCOMHIDUSBPort port(NULL, 4096);
    ASSERT_TRUE(port.OpenPort());
    port.m_ReadWriteTimeout = 300;
    const ByteVec request = testsupport::vliFrame('a', testsupport::KeyTestData(true, 0));
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD n = (DWORD)request.size();
        ASSERT_TRUE(port.Write(request.data(), n, &n));
        EXPECT_EQ(request.size(), n);
        BYTE reply[1024];
        n = 5;
        EXPECT_FALSE(port.Read(reply, sizeof(reply), &n));
        EXPECT_EQ(0u, n);
    }
    port.ClosePort();
    EXPECT_EQ(2u, sim.transcript().rxFrames().size());
}

// The whole road of a replug, as a client that owns the port and runs a message loop meets
// it: the device goes (the port refuses to open or close), comes back (the stale
// connection is closed), and opens and answers again.
TEST(HidPortAgainstTermsim, UnplugAndReplugReachThePortThroughItsDeviceChangeWindow) {
    testsupport::TermsimProcess sim(
        {"--transport", "hid", "--unplug-after-frames", "1", "--replug-after", "300ms"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::ScopedEnv device("IOCLASSLIB_VIRTUAL_HID", sim.hidSocket());
    CCOMHIDUSBPort port(NULL, 4096);
    ASSERT_TRUE(port.OpenPort());
    port.SetProtocolType(1);
    port.m_ReadWriteTimeout = 10000;
    port.SetOwner(1);
    ASSERT_TRUE(KeyTestExchange(port, 0));

    // The next request makes the device go; the read fails without waiting out its time.
    EXPECT_FALSE(KeyTestExchange(port, 1));
    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return !port.IsDevicePresent(); }));
    EXPECT_FALSE(port.OpenPort());
    EXPECT_FALSE(port.ClosePort());

    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return port.IsDevicePresent() != FALSE; }));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.IsDisconnected());
    ASSERT_TRUE(port.OpenPort());
    EXPECT_TRUE(KeyTestExchange(port, 2));
    EXPECT_TRUE(port.ClosePort());
    EXPECT_EQ(3u, sim.transcript().rxFrames().size());
}
