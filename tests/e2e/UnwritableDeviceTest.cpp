// keyprobe against a USB HID device that takes none of its writes: the run ends at once as
// one whose terminal does not respond, and standard error says that no command reached it.
#include <gtest/gtest.h>

#include <string>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

TEST(UnwritableDevice, EndsTheRunAtOnceAsATerminalNotResponding) {
    // Reports without IDs: every report keyprobe writes is refused at once, and each read
    // would wait its minute for nothing.
    testsupport::TermsimProcess sim({"--transport", "hid", "--unnumbered"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-unwritable");
    const std::string ini = dir.file("terminal.ini");
    ASSERT_TRUE(testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USB Device"}}}}));
    testsupport::RunOptions options;
    options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
    const testsupport::KeyprobeRun run = testsupport::RunKeyprobeOn(ini, dir.file("keys.txt"), options);
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
