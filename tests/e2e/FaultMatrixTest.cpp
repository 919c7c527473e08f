// Every fault termsim can put on a reply, over every transport it serves, through the
// built keyprobe: each cell is one run with master slot 3 absent (F8) and the fault on that
// slot's fetch, and must give the result file and the frames on the wire that follow from
// the fault. A transport is one more entry in kTransports; a fault one more row in kFaults.
#include <gtest/gtest.h>

#include <functional>
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
    bool tcpOnly = false;
    // Frames the terminal receives before the line is gone; -1: every frame of the run.
    int framesSeen = -1;
};

void NoUsableFetchReply(Expectation& e) { e.master[3].fetchStatus = -1; }
void Unchanged(Expectation&) {}

const Fault kFaults[] = {
    {"none", {}, Unchanged},
    {"no_reply", {"--fault", "fetch-a:3=no-reply"}, NoUsableFetchReply},
    {"bad_checksum", {"--fault", "fetch-a:3=bad-checksum"}, NoUsableFetchReply},
    // The run reads FF 05 05 16 F8 as a whole frame of 5 bytes with a wrong checksum.
    // (termsim's default garbage 55 AA FF announces 170 bytes instead: the same result
    // after the serial port's long waits.)
    {"garbage_before", {"--fault", "fetch-a:3=garbage:FF"}, NoUsableFetchReply},
    {"trailing_bytes", {"--fault", "fetch-a:3=trailing:AA55"}, Unchanged},
    {"length_over", {"--fault", "fetch-a:3=length-over"}, NoUsableFetchReply},
    // The run reads the length's high byte (00) where a short reply has its status.
    {"long_form", {"--fault", "fetch-a:3=long-form"}, [](Expectation& e) { e.master[3].fetchSeen = 0x00; }},
    {"slow_drip", {"--fault", "fetch-a:3=slow:20ms"}, Unchanged},
    {"split", {"--fault", "fetch-a:3=split:3:100ms"}, Unchanged},
    // Three replies per slot: the seventh is slot 2's key test, then the line is gone.
    {"hang_up_after_7_frames",
     {"--close-after-frames", "7"},
     [](Expectation& e) {
         e.master[2].fetchStatus = -1;
         for (int slot = 3; slot < 10; ++slot)
             e.master[slot].requestStatus = -1;
         for (int slot = 0; slot < 10; ++slot)
             e.dukpt[slot].requestStatus = -1;
     },
     true,
     7},
};

struct Transport {
    const char* name;
    bool tcp;
    // Cells that give a wrong result for a reason being fixed elsewhere: listed by fault
    // name with the reason, skipped. Remove an entry to run the cell again.
    std::vector<std::pair<std::string, std::string>> pending;
};

const Transport kTransports[] = {
    {"pty", false, {}},
    {"tcp", true, {}},
};

std::string SkipReason(const Fault& fault, const Transport& transport) {
    if (fault.tcpOnly && !transport.tcp)
        return std::string("termsim offers ") + fault.name + " over TCP only";
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
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();

    const std::string ini = sim.tempFile("terminal.ini");
    ASSERT_TRUE(transport.tcp ? testsupport::writeTcpIni(ini, sim.tcpPort())
                              : testsupport::writeSerialIni(ini, sim.ptyPath()));
    testsupport::TempDir noDevices("keyprobe-matrix-dos");
    testsupport::RunOptions options;
    options.timeoutMs = 150000;
    // A COM name must never reach a real port of the machine.
    options.setEnv["IOCLASSLIB_DOSDEVICES"] = noDevices.path();
    const KeyprobeRun run = testsupport::RunKeyprobeOn(ini, sim.tempFile("keys.txt"), options);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    ASSERT_TRUE(run.resultExists);

    Expectation e;
    e.master[3].fetchStatus = 0xF8;
    fault.effect(e);
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    if (fault.framesSeen < 0) {
        testsupport::ExpectFrames(sim.transcript(), e);
    } else {
        const std::vector<testsupport::ByteVec> expected = testsupport::ExpectedFrames(e);
        const std::vector<testsupport::ByteVec> seen = sim.transcript().rxFrames();
        ASSERT_EQ((size_t)fault.framesSeen, seen.size());
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
