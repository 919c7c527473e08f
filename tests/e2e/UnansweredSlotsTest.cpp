// keyprobe against a USB HID terminal that goes away half-way, and against a device that
// takes none of its writes: the result file and the exit code are those of a completed or
// a failed run, and standard error tells which slots the terminal left unanswered and why,
// or that no command reached it at all.
#include <gtest/gtest.h>

#include <string>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

testsupport::KeyprobeRun RunOverHid(const testsupport::TermsimProcess& sim) {
    testsupport::TempDir dir("keyprobe-unanswered");
    const std::string ini = dir.file("terminal.ini");
    EXPECT_TRUE(testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USB Device"}}}}));
    testsupport::RunOptions options;
    options.timeoutMs = 150000;
    options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
    return testsupport::RunKeyprobeOn(ini, dir.file("keys.txt"), options);
}

TEST(UnansweredSlots, TerminalUnpluggedHalfWayIsNamedWithTheSlotsItLeft) {
    // The seventh reply is slot 2's key test; its fetch finds the device gone.
    testsupport::TermsimProcess sim({"--transport", "hid", "--unplug-after-frames", "7"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    const testsupport::KeyprobeRun run = RunOverHid(sim);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    testsupport::KeyCheckExpectation e;
    testsupport::NoRepliesFrom(e, 3);
    e.master[2].fetchStatus = -1;
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);
    EXPECT_EQ(
        "The terminal did not answer for 18 of the 20 key slots (M/S 2-9, DUKPT 0-9): their key states are "
        "unknown; the device was unplugged (error 1167).\n",
        run.result.err);
}

TEST(UnansweredSlots, DeviceThatTakesNoWriteEndsTheRunAsNotResponding) {
    // Reports without IDs: every report keyprobe writes is refused at once, and each read
    // would wait its minute for nothing.
    testsupport::TermsimProcess sim({"--transport", "hid", "--unnumbered"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    const testsupport::KeyprobeRun run = RunOverHid(sim);
    ASSERT_FALSE(run.result.timedOut);
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ("Reading connection information from " + run.ini +
                  "\nConnecting to Pelsto terminal...\nChecking status of M/S keys...\n" +
                  testsupport::kFailureText + "\n",
              run.result.out);
    EXPECT_EQ(testsupport::kFailureText, run.resultText);
    EXPECT_EQ("The port opened, but no command reached the terminal: every write failed (error 87). The key "
              "states are not known.\n",
              run.result.err);
    EXPECT_TRUE(sim.transcript().rxFrames().empty());
}

}  // namespace
