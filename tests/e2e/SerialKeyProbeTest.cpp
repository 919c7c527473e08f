// The built keyprobe against termsim over a pseudo-terminal: every frame on the wire
// byte for byte, the order of the commands, the pauses, the console, the result file and
// the exit code. Each completed run takes about ten seconds (two 250 ms pauses per slot),
// so finer cases live in the unit tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "ReplyDeliveryRows.h"
#include "TermsimProcess.h"

namespace {

const int kRunTimeoutMs = 90000;

using Expectation = testsupport::KeyCheckExpectation;
using testsupport::KeyprobeRun;

// COM names resolve in a folder with no devices: should the INI file ever fail to load,
// the default COM1 must not reach a real port of the machine.
testsupport::RunOptions KeyprobeOptions(const std::string& emptyFolder) {
    testsupport::RunOptions options;
    options.timeoutMs = kRunTimeoutMs;
    options.setEnv["IOCLASSLIB_DOSDEVICES"] = emptyFolder;
    return options;
}

KeyprobeRun RunAgainst(testsupport::TermsimProcess& sim, const std::string& device) {
    const std::string ini = sim.tempFile("terminal.ini");
    EXPECT_TRUE(testsupport::writeSerialIni(ini, device));
    testsupport::TempDir noDevices("keyprobe-e2e-dos");
    return testsupport::RunKeyprobeOn(ini, sim.tempFile("keys.txt"), KeyprobeOptions(noDevices.path()));
}

// Starts termsim with the arguments, runs keyprobe over its pty and checks everything
// that a completed run must show for the expectation.
void RunAndCheck(const std::vector<std::string>& termsimArgs, const Expectation& e) {
    std::vector<std::string> args = {"--transport", "pty"};
    args.insert(args.end(), termsimArgs.begin(), termsimArgs.end());
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();

    const KeyprobeRun run = RunAgainst(sim, sim.ptyPath());
    const testsupport::TermsimTranscript transcript = sim.transcript();
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run));
    EXPECT_EQ("", run.result.err);
    ASSERT_TRUE(run.resultExists);
    EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);

    EXPECT_TRUE(transcript.errors().empty()) << transcript.errors().front();
    testsupport::ExpectFrames(transcript, e);
    testsupport::ExpectPauses(transcript);
}

TEST(SerialKeyProbe, AllKeysLoaded) {
    Expectation e;
    RunAndCheck({"--ms", "LLLLLLLLLL", "--dukpt", "LLLLLLLLLL"}, e);
}

TEST(SerialKeyProbe, AbsentKeysAnswerF8AndF1AndBringTheErrorQuery) {
    Expectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[4].fetchStatus = 0xF1;
    e.master[9].fetchStatus = 0xF8;
    e.dukpt[0].fetchStatus = 0xF1;
    e.dukpt[6].fetchStatus = 0xF8;
    RunAndCheck({"--ms", "L8LL1LLLL8", "--dukpt", "1LLLLL8LLL"}, e);
}

TEST(SerialKeyProbe, ErrorStatusOnAKeyTestSkipsTheFetch) {
    Expectation e;
    e.master[2].requestStatus = 0x05;  // queried with 0x81 before the follow-up
    e.dukpt[7].requestStatus = 0x80;   // not an error for the query, but no key either
    e.dukpt[8].requestStatus = 0x02;
    RunAndCheck({"--fault", "a:2=status:0x05", "--fault", "b:7=status:0x80", "--fault", "b:8=status:0x02"},
                e);
}

TEST(SerialKeyProbe, ErrorStatusOnAFetchIsQueriedButOnlyF8AndF1MeanAbsent) {
    Expectation e;
    e.master[4].fetchStatus = 0x07;
    e.dukpt[2].fetchStatus = 0xF0;  // a success status: no query
    e.dukpt[3].fetchStatus = 0xF1;
    RunAndCheck(
        {"--dukpt", "LLL1LLLLLL", "--fault", "fetch-a:4=status:0x07", "--fault", "fetch-b:2=status:0xF0"}, e);
}

TEST(SerialKeyProbe, RepliesSplitAcrossReads) {
    Expectation e;
    e.master[3].fetchStatus = 0xF8;
    RunAndCheck({"--ms", "LLL8LLLLLL", "--fault", "*:*=split:3:30ms", "--fault", "fetch-b:*=slow:3ms",
                 "--fault", "0x81:*=split-at:1,4:20ms"},
                e);
}

TEST(SerialKeyProbe, LongFormReplies) {
    Expectation e;
    // In a long-form reply the run reads the length bytes where the status would be, so an
    // absent key announced in the long form counts as present, while the framing still
    // sees the F8 and queries the terminal.
    e.master[2].fetchStatus = 0xF8;
    e.master[2].fetchSeen = 0x00;
    e.dukpt[6].fetchStatus = 0xF1;
    RunAndCheck({"--ms", "LL8LLLLLLL", "--dukpt", "LLLLLL1LLL", "--fault", "fetch-a:*=long-form", "--fault",
                 "b:5=long-form", "--fault", "fetch-b:3=long-form+pad:400"},
                e);
}

class SerialReplyDelivery : public ::testing::TestWithParam<testsupport::ReplyDeliveryRow> {};

TEST_P(SerialReplyDelivery, EverySlotReadsAsItsKeyState) {
    RunAndCheck(testsupport::TermsimArguments(GetParam()), testsupport::ExpectationOf(GetParam()));
}

std::vector<testsupport::ReplyDeliveryRow> SerialRows() {
    std::vector<testsupport::ReplyDeliveryRow> rows;
    for (const testsupport::ReplyDeliveryRow& row : testsupport::ReplyDeliveryRows())
        if (row.serialToo)
            rows.push_back(row);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Rows, SerialReplyDelivery, ::testing::ValuesIn(SerialRows()),
                         [](const ::testing::TestParamInfo<testsupport::ReplyDeliveryRow>& info) {
                             return std::string(info.param.name);
                         });

// A pseudo-terminal, as virtual serial bridges give them, used by someone who is not
// root: the run ends without closing its port, and the next run must still get it.
TEST(SerialKeyProbe, TwoRunsInARowAsAnotherUser) {
    const passwd* pNobody = getpwnam("nobody");
    if (getuid() != 0 || pNobody == nullptr || access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root and setpriv to run keyprobe as the user nobody";
    testsupport::TermsimProcess sim({"--transport", "pty", "--ms", "L8LLLLLLLL"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    ASSERT_EQ(0, chown(sim.ptyPath().c_str(), pNobody->pw_uid, (gid_t)-1));
    testsupport::TempDir dir("keyprobe-e2e-user");
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0777));
    const std::string ini = dir.file("terminal.ini");
    ASSERT_TRUE(testsupport::writeSerialIni(ini, sim.ptyPath()));
    testsupport::TempDir noDevices("keyprobe-e2e-dos");

    Expectation e;
    e.master[1].fetchStatus = 0xF8;
    for (const char* resultName : {"first.txt", "second.txt"}) {
        const std::string resultFile = dir.file(resultName);
        const std::vector<std::string> argv = {"/usr/bin/setpriv",
                                               "--reuid=" + std::to_string(pNobody->pw_uid),
                                               "--regid=" + std::to_string(pNobody->pw_gid),
                                               "--clear-groups",
                                               "--",
                                               KEYPROBE_BIN,
                                               ini,
                                               resultFile};
        testsupport::KeyprobeRun run;
        run.ini = ini;
        run.result = testsupport::runProcess(
            argv, testsupport::isolatedFromMachine(KeyprobeOptions(noDevices.path())));
        run.resultText = testsupport::readTextFile(resultFile, &run.resultExists);
        ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(run)) << resultName;
        EXPECT_EQ("", run.result.err) << resultName;
        EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText) << resultName;
    }
}

TEST(SerialKeyProbe, PortThatDoesNotExist) {
    testsupport::TempDir dir("keyprobe-e2e");
    const std::string ini = dir.file("terminal.ini");
    ASSERT_TRUE(testsupport::writeSerialIni(ini, dir.file("no-such-tty")));
    testsupport::TempDir noDevices("keyprobe-e2e-dos");
    const KeyprobeRun run =
        testsupport::RunKeyprobeOn(ini, dir.file("keys.txt"), KeyprobeOptions(noDevices.path()));
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectFailedRun(run));
    EXPECT_TRUE(run.resultExists);
}

}  // namespace
