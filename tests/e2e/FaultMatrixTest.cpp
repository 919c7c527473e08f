// Every fault termsim can put on a reply, over every transport it serves, through the
// built keyprobe: each cell is one run with master slot 3 absent (F8) and the fault on that
// slot's fetch, and must give the result file, the frames on the wire and the standard
// error that follow from the fault. A transport is one more entry in kTransports; a fault
// one more row in kFaults. A run without faults is each transport's own full run
// (SerialKeyProbe, TcpKeyProbe, HidKeyProbe, UsbioKeyProbe), which checks more.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

using Expectation = testsupport::KeyCheckExpectation;
using testsupport::KeyprobeRun;

struct Fault {
    const char* name;
    std::vector<std::string> termsimArgs;
    // What the fault does to the baseline expectation (slot 3's fetch answers F8).
    std::function<void(Expectation&)> effect;
    // The slots the run then reports unanswered on standard error; nullptr: none.
    const char* unanswered = nullptr;
    // Replies after which the line goes (a hang-up, or an unplug for a USB device); 0: never.
    int hangUpAfter = 0;
    // Where the reply taken just before an unplug may never have crossed the bus: what the
    // run then gives instead, on top of effect.
    std::function<void(Expectation&)> lastReplyLost = nullptr;
    // The run waits out the link's time-out for a reply that never comes whole: it runs with
    // the time-out shortened, as a whole minute per wait shows nothing more.
    bool waitsOutTheTimeout = false;
};

void NoUsableFetchReply(Expectation& e) { e.master[3].fetchStatus = -1; }
void Unchanged(Expectation&) {}

const char* const kSlot3 = "1 of the 20 key slots (M/S 3)";

const Fault kFaults[] = {
    {"no_reply", {"--fault", "fetch-a:3=no-reply"}, NoUsableFetchReply, kSlot3, 0, nullptr, true},
    {"bad_checksum", {"--fault", "fetch-a:3=bad-checksum"}, NoUsableFetchReply, kSlot3},
    // The run reads FF 05 05 16 F8 as a whole frame of 5 bytes with a wrong checksum.
    // (termsim's default garbage 55 AA FF announces 170 bytes instead: the same result
    // after the serial port's long waits.)
    {"garbage_before", {"--fault", "fetch-a:3=garbage:FF"}, NoUsableFetchReply, kSlot3},
    {"trailing_bytes", {"--fault", "fetch-a:3=trailing:AA55"}, Unchanged},
    {"length_over", {"--fault", "fetch-a:3=length-over"}, NoUsableFetchReply, kSlot3, 0, nullptr, true},
    // The run reads the length's high byte (00) where a short reply has its status.
    {"long_form", {"--fault", "fetch-a:3=long-form"}, [](Expectation& e) { e.master[3].fetchSeen = 0x00; }},
    {"slow_drip", {"--fault", "fetch-a:3=slow:20ms"}, Unchanged},
    {"split", {"--fault", "fetch-a:3=split:3:100ms"}, Unchanged},
    // Three replies per slot: the seventh is slot 2's key test, then the line is gone (a USB
    // device is unplugged).
    {"hang_up_after_7_frames",
     {},
     [](Expectation& e) {
         e.master[2].fetchStatus = -1;
         testsupport::NoRepliesFrom(e, 3);
     },
     "18 of the 20 key slots (M/S 2-9, DUKPT 0-9)",
     7,
     [](Expectation& e) { e.master[2].requestStatus = -1; }},
};

struct Transport {
    const char* name;
    // Writes the INI file and sets the environment that point keyprobe at the running termsim.
    std::function<bool(const testsupport::TermsimProcess&, const std::string& ini, testsupport::RunOptions&)>
        connect;
    // termsim's option that drops the line after N replies; nullptr: it has none here.
    const char* hangUpOption;
    // Frames the terminal still receives after the last reply before the line is gone.
    int framesAfterHangUp;
    // Whether that last reply may be lost with the device (see Fault::lastReplyLost).
    bool lastReplyMayBeLost;
    // What the run says became of the connection when the line is gone.
    const char* hangUpCause;
    // Whether the socket layer reports failed transfers on standard error (see
    // ExpectOnlyTransferErrors); over the other transports only the unanswered slots are.
    bool reportsTransferErrors;
    // Cells that cannot run here or give a wrong result for a reason being fixed elsewhere:
    // listed by fault name with the reason, skipped. Remove an entry to run the cell again.
    std::vector<std::pair<std::string, std::string>> pending;
};

// "READY usbio SOCKET_PATH"
std::string UsbioSocket(const testsupport::TermsimProcess& sim) {
    std::istringstream words(sim.readyLine());
    std::string ready, kind, path;
    words >> ready >> kind >> path;
    return kind == "usbio" ? path : std::string();
}

bool ConnectPty(const testsupport::TermsimProcess& sim, const std::string& ini, testsupport::RunOptions&) {
    return testsupport::writeSerialIni(ini, sim.ptyPath());
}
bool ConnectTcp(const testsupport::TermsimProcess& sim, const std::string& ini, testsupport::RunOptions&) {
    return testsupport::writeTcpIni(ini, sim.tcpPort());
}
bool ConnectHid(const testsupport::TermsimProcess& sim, const std::string& ini,
                testsupport::RunOptions& options) {
    options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
    return !sim.hidSocket().empty() &&
           testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USB Device"}}}});
}
bool ConnectUsbio(const testsupport::TermsimProcess& sim, const std::string& ini,
                  testsupport::RunOptions& options) {
    options.setEnv["IOCLASSLIB_VIRTUAL_USBIO"] = UsbioSocket(sim);
    return !UsbioSocket(sim).empty() &&
           testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USBIO Device"}}}});
}

const Transport kTransports[] = {
    {"pty", ConnectPty, nullptr, 0, false, nullptr, false, {}},
    {"tcp", ConnectTcp, "--close-after-frames", 0, false, "the connection was reset (error 10054)", true, {}},
    // The request after the last reply still arrives, then the device goes.
    {"hid",
     ConnectHid,
     "--unplug-after-frames",
     1,
     false,
     "the device was unplugged (error 1167)",
     false,
     {}},
    {"usbio",
     ConnectUsbio,
     "--close-after-frames",
     0,
     true,
     "the device was unplugged (error 0xE000100A)",
     false,
     {}},
};

// The socket layer's reports of failed transfers, each "\nError. <call> <code>\n".
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

// Standard error of a run: over TCP the socket layer's reports of failed transfers, then
// the line that names the slots the terminal left unanswered, if any.
void ExpectStandardError(const std::string& err, const Fault& fault, const Transport& transport) {
    std::string unanswered;
    if (fault.unanswered != nullptr) {
        unanswered = std::string("The terminal did not answer for ") + fault.unanswered +
                     ": their key states are unknown";
        if (fault.hangUpAfter > 0)
            unanswered += std::string("; ") + transport.hangUpCause;
        unanswered += ".\n";
    }
    if (transport.reportsTransferErrors) {
        ASSERT_GE(err.size(), unanswered.size()) << err;
        const size_t at = err.size() - unanswered.size();
        EXPECT_EQ(unanswered, err.substr(at));
        ExpectOnlyTransferErrors(err.substr(0, at));
        // The terminal's end of the connection is gone: the next send is refused.
        if (fault.hangUpAfter > 0) {
            EXPECT_NE(std::string::npos, err.find("Error. sendto() 10054")) << err;
        }
    } else {
        EXPECT_EQ(unanswered, err);
    }
}

std::string SkipReason(const Fault& fault, const Transport& transport) {
    if (fault.hangUpAfter > 0 && transport.hangUpOption == nullptr)
        return std::string("termsim cannot hang up over ") + transport.name;
    for (const auto& entry : transport.pending)
        if (entry.first == fault.name)
            return entry.second;
    return "";
}

class FaultMatrix : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FaultMatrix, ResultFileAndFramesFollowTheFault) {
    const Fault& fault = kFaults[std::get<0>(GetParam())];
    const Transport& transport = kTransports[std::get<1>(GetParam())];
    const std::string skip = SkipReason(fault, transport);
    if (!skip.empty())
        GTEST_SKIP() << skip;

    std::vector<std::string> args = {"--transport", transport.name, "--ms", "LLL8LLLLLL"};
    args.insert(args.end(), fault.termsimArgs.begin(), fault.termsimArgs.end());
    if (fault.hangUpAfter > 0)
        args.insert(args.end(), {transport.hangUpOption, std::to_string(fault.hangUpAfter)});
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();

    const std::string ini = sim.tempFile("terminal.ini");
    testsupport::TempDir noDevices("keyprobe-matrix-dos");
    testsupport::RunOptions options;
    options.timeoutMs = 150000;
    if (fault.waitsOutTheTimeout)
        options.setEnv["KEYPROBE_LINK_TIMEOUT_MS"] = "3000";
    ASSERT_TRUE(transport.connect(sim, ini, options)) << sim.readyLine();
    // A COM name must never reach a real port of the machine.
    options.setEnv["IOCLASSLIB_DOSDEVICES"] = noDevices.path();
    const KeyprobeRun run = testsupport::RunKeyprobeOn(ini, sim.tempFile("keys.txt"), options);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    ASSERT_TRUE(run.resultExists);
    ExpectStandardError(run.result.err, fault, transport);

    Expectation e;
    e.master[3].fetchStatus = 0xF8;
    fault.effect(e);
    if (transport.lastReplyMayBeLost && fault.lastReplyLost) {
        Expectation lost = e;
        fault.lastReplyLost(lost);
        EXPECT_TRUE(run.resultText == testsupport::ExpectedResultFile(e) ||
                    run.resultText == testsupport::ExpectedResultFile(lost))
            << run.resultText;
    } else {
        EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    }
    if (fault.hangUpAfter == 0) {
        testsupport::ExpectFrames(sim.transcript(), e);
    } else {
        const std::vector<testsupport::ByteVec> expected = testsupport::ExpectedFrames(e);
        const std::vector<testsupport::ByteVec> seen = sim.transcript().rxFrames();
        ASSERT_EQ((size_t)(fault.hangUpAfter + transport.framesAfterHangUp), seen.size());
        for (size_t i = 0; i < seen.size(); ++i)
            EXPECT_EQ(testsupport::bytesToHex(expected[i]), testsupport::bytesToHex(seen[i]))
                << "frame " << i;
    }
}

std::string CellName(const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
    return std::string(kTransports[std::get<1>(info.param)].name) + "_" +
           kFaults[std::get<0>(info.param)].name;
}

INSTANTIATE_TEST_SUITE_P(EveryFaultOverEveryTransport, FaultMatrix,
                         ::testing::Combine(::testing::Range(0, (int)(sizeof(kFaults) / sizeof(kFaults[0]))),
                                            ::testing::Range(0, (int)(sizeof(kTransports) /
                                                                      sizeof(kTransports[0])))),
                         CellName);

}  // namespace
