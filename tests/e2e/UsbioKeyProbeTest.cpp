// The built keyprobe against termsim's virtual USB device ("USBIO Device"): a full key
// check with every frame byte for byte, in small packets and in full- and high-speed ones
// with long replies, a reply endpoint that stalls once, and a device that never answers,
// through the port with a short time-out (FaultMatrix unplugs the device half-way through
// a run).
#include <gtest/gtest.h>

#include <USBPort.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "ScopedEnv.h"
#include "TermsimProcess.h"

namespace {

using Expectation = testsupport::KeyCheckExpectation;
using testsupport::ByteVec;
using testsupport::KeyprobeRun;

const int kRunTimeoutMs = 150000;

std::string Hex(const ByteVec& bytes) { return testsupport::bytesToHex(bytes); }

// "READY usbio SOCKET_PATH"
std::string SocketPath(const testsupport::TermsimProcess& sim) {
    std::istringstream words(sim.readyLine());
    std::string ready, kind, path;
    words >> ready >> kind >> path;
    return kind == "usbio" ? path : std::string();
}

testsupport::TermsimProcess* StartSim(std::vector<std::string> args) {
    args.insert(args.begin(), {"--transport", "usbio"});
    return new testsupport::TermsimProcess(args);
}

KeyprobeRun RunKeyprobe(const testsupport::TermsimProcess& sim) {
    const std::string ini = sim.tempFile("terminal.ini");
    EXPECT_TRUE(testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USBIO Device"}}}}));
    testsupport::RunOptions options;
    options.timeoutMs = kRunTimeoutMs;
    options.setEnv["IOCLASSLIB_VIRTUAL_USBIO"] = SocketPath(sim);
    return testsupport::RunKeyprobeOn(ini, sim.tempFile("keys.txt"), options);
}

}  // namespace

TEST(UsbioKeyProbe, FullRunWithKeyStatesAndErrorStatuses) {
    // Replies cut into 8-byte packets with pauses between them: every reply needs more than
    // one read, and the long ones several.
    std::vector<std::string> args = testsupport::MixedKeyStatesArguments();
    args.insert(args.end(), {"--usbio-packet-size", "8", "--usbio-packet-gap", "2ms"});
    std::unique_ptr<testsupport::TermsimProcess> sim(StartSim(args));
    ASSERT_TRUE(sim->ready()) << sim->error();
    ASSERT_NE("", SocketPath(*sim)) << sim->readyLine();

    const KeyprobeRun run = RunKeyprobe(*sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    testsupport::ExpectMixedKeyStatesRun(run, sim->transcript());
}

TEST(UsbioKeyProbe, AReplyEndpointThatStallsOnceCostsOneSlot) {
    // The fourth fetch (slot 3's) halts endpoint 0x83 instead of answering; the port clears
    // the halt before its next read, and the run goes on in step.
    std::unique_ptr<testsupport::TermsimProcess> sim(StartSim({"--fault", "fetch:#4=stall"}));
    ASSERT_TRUE(sim->ready()) << sim->error();

    const KeyprobeRun run = RunKeyprobe(*sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ(
        "The terminal did not answer for 1 of the 20 key slots (M/S 3): their key states are unknown; the "
        "device stalled a transfer (error 0xE0000004).\n",
        run.result.err);
    Expectation e;
    e.master[3].fetchStatus = -1;
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    testsupport::ExpectFrames(sim->transcript(), e);
}

// Full- and high-speed bulk packets, with 0x81 replies that fill several packets: each
// reply is read whole, whatever its length, and the run stays in step.
class UsbioPacketSize : public ::testing::TestWithParam<const char*> {};

TEST_P(UsbioPacketSize, FullRunWithLongPlatformErrorTexts) {
    std::vector<std::string> args = testsupport::MixedKeyStatesArguments();
    args.insert(args.end(), {"--usbio-packet-size", GetParam(), "--platform-error",
                             "0x1234:" + std::string(200, 'T') + " (slot wiped)"});
    std::unique_ptr<testsupport::TermsimProcess> sim(StartSim(args));
    ASSERT_TRUE(sim->ready()) << sim->error();

    const KeyprobeRun run = RunKeyprobe(*sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    testsupport::ExpectMixedKeyStatesRun(run, sim->transcript());
    for (const ByteVec& f : sim->transcript().txFrames()) {
        if (f.size() > 2 && f[2] == 0x81) {
            EXPECT_LT(200u, f.size()) << Hex(f);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FullAndHighSpeed, UsbioPacketSize, ::testing::Values("64", "512"));

TEST(UsbioKeyProbe, SilentDeviceThroughThePort) {
    // A whole run would wait 63 s for each reply; one exchange through the port with a short
    // time-out shows the same path.
    std::unique_ptr<testsupport::TermsimProcess> sim(StartSim({"--fault", "*:*=no-reply"}));
    ASSERT_TRUE(sim->ready()) << sim->error();
    testsupport::ScopedEnv env("IOCLASSLIB_VIRTUAL_USBIO", SocketPath(*sim));

    CUSBPort port(nullptr);
    ASSERT_TRUE(port.OpenPort());
    port.SetReadWriteTimeout(200);
    port.SetReadTimeoutExtension(100);
    const ByteVec request = testsupport::vliFrame('a', testsupport::KeyTestData(true, 0));
    DWORD dwLength = (DWORD)request.size();
    ASSERT_TRUE(port.Write(request.data(), dwLength, &dwLength));
    BYTE reply[1024];
    dwLength = sizeof(reply);
    EXPECT_FALSE(port.Read(reply, sizeof(reply), &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(USBIO_ERR_TIMEOUT, port.GetLastPortError());
    EXPECT_EQ(300u, port.GetCurrentReadTimeout());
    ASSERT_TRUE(sim->waitForTranscript(
        [](const testsupport::TermsimTranscript& t) { return !t.rxFrames().empty(); }));
    EXPECT_EQ(Hex(request), Hex(sim->transcript().rxFrames().front()));
}
