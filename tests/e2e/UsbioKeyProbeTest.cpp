// The built keyprobe against termsim's virtual USB device ("USBIO Device"): a full key
// check with every frame byte for byte, a reply endpoint that stalls, and a device that
// never answers, through the port with a short time-out (FaultMatrix unplugs the device
// half-way through a run).
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

TEST(UsbioKeyProbe, ReplyEndpointStalls) {
    // Slot 3's key test halts endpoint 0x83; nothing clears the halt, so that read and every
    // later one fail at once, while the requests still go out.
    std::unique_ptr<testsupport::TermsimProcess> sim(StartSim({"--fault", "a:3=stall"}));
    ASSERT_TRUE(sim->ready()) << sim->error();

    const KeyprobeRun run = RunKeyprobe(*sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ("", run.result.err);
    Expectation e;
    testsupport::NoRepliesFrom(e, 3);
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    testsupport::ExpectFrames(sim->transcript(), e);
}

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
