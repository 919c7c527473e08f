// The built keyprobe against termsim over a pseudo-terminal: every frame on the wire
// byte for byte, the order of the commands, the pauses, the console, the result file and
// the exit code. Each completed run takes about ten seconds (two 250 ms pauses per slot),
// so finer cases live in the unit tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

using testsupport::ByteVec;

const int kRunTimeoutMs = 90000;

bool IsErrorStatus(int status) { return status != 0x00 && status != 0x80 && status != 0xF0; }

// What the terminal does with one slot, as the wire shows it and as the run sees it.
struct Slot {
    int requestStatus = 0x00;   // status of the key-test reply
    int fetchStatus = 0x00;     // status byte of the fetch reply on the wire
    int fetchSeen = -1;         // status the run reads from the fetch reply (-1: as on the wire)
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
            const ByteVec request = testsupport::vliFrame(command, KeyTestData(bMaster, slot));
            EXPECT_EQ(37u, request.size());
            frames.push_back(request);
            if (IsErrorStatus(s.requestStatus))
                frames.push_back(query);
            if (s.requestStatus == 0) {
                frames.push_back(fetch);
                if (IsErrorStatus(s.fetchStatus))
                    frames.push_back(query);
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
            const int seen = s.fetchSeen >= 0 ? s.fetchSeen : s.fetchStatus;
            const bool present = s.requestStatus == 0 && seen != 0xF8 && seen != 0xF1;
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

// COM names resolve in a folder with no devices: should the INI file ever fail to load,
// the default COM1 must not reach a real port of the machine.
testsupport::RunOptions KeyprobeOptions(const std::string& emptyFolder) {
    testsupport::RunOptions options;
    options.timeoutMs = kRunTimeoutMs;
    options.setEnv["IOCLASSLIB_DOSDEVICES"] = emptyFolder;
    return options;
}

std::string Hex(const ByteVec& bytes) { return testsupport::bytesToHex(bytes); }

// The run pauses 250 ms after each slot's fetch and again after its follow-up: so each
// follow-up and each key test but the first reaches the terminal at least that long after
// the terminal's last reply. Only the lower bound is checked; it holds however slow the
// machine is.
void ExpectPauses(const testsupport::TermsimTranscript& t) {
    double lastTx = -1;
    int firstRequestSeen = 0;
    int checked = 0;
    for (const auto& entry : t.entries()) {
        if (entry.tag == "TX") {
            lastTx = entry.ms;
            continue;
        }
        if (entry.tag != "RXF")
            continue;
        const testsupport::VliFrame f = testsupport::parseVliFrame(entry.bytes);
        const bool bFollowUp = f.data.size() == 1 && ((f.command == 'a' && f.data[0] == 'Q') ||
                                                      (f.command == 'b' && f.data[0] == 'r'));
        const bool bKeyTest = (f.command == 'a' || f.command == 'b') && f.data.size() == 33;
        if (bKeyTest && firstRequestSeen++ == 0)
            continue;
        if (bFollowUp || bKeyTest) {
            ++checked;
            EXPECT_GE(entry.ms - lastTx, 240.0) << "frame " << Hex(entry.bytes) << " came too soon";
        }
    }
    EXPECT_EQ(39, checked);
}

struct SerialRun {
    testsupport::RunResult result;
    std::string ini;
    std::string resultFile;
    std::string resultText;
    bool resultExists = false;
    testsupport::TermsimTranscript transcript;
};

SerialRun RunAgainst(testsupport::TermsimProcess& sim, const std::string& device) {
    SerialRun run;
    run.ini = sim.tempFile("terminal.ini");
    run.resultFile = sim.tempFile("keys.txt");
    EXPECT_TRUE(testsupport::writeSerialIni(run.ini, device));
    testsupport::TempDir noDevices("keyprobe-e2e-dos");
    run.result = testsupport::runKeyprobe({run.ini, run.resultFile}, KeyprobeOptions(noDevices.path()));
    run.resultText = testsupport::readTextFile(run.resultFile, &run.resultExists);
    run.transcript = sim.transcript();
    return run;
}

// Starts termsim with the arguments, runs keyprobe over its pty and checks everything
// that a completed run must show for the expectation.
void RunAndCheck(const std::vector<std::string>& termsimArgs, const Expectation& e) {
    std::vector<std::string> args = {"--transport", "pty"};
    args.insert(args.end(), termsimArgs.begin(), termsimArgs.end());
    testsupport::TermsimProcess sim(args);
    ASSERT_TRUE(sim.ready()) << sim.error();

    const SerialRun run = RunAgainst(sim, sim.ptyPath());
    ASSERT_TRUE(run.result.started);
    ASSERT_FALSE(run.result.timedOut) << run.result.out << run.result.err;
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(ExpectedConsole(run.ini), run.result.out);
    EXPECT_EQ("", run.result.err);
    ASSERT_TRUE(run.resultExists);
    EXPECT_EQ(ExpectedResultFile(e), run.resultText);

    EXPECT_TRUE(run.transcript.errors().empty()) << run.transcript.errors().front();
    const std::vector<ByteVec> expected = ExpectedFrames(e);
    const std::vector<ByteVec> actual = run.transcript.rxFrames();
    for (size_t i = 0; i < expected.size() && i < actual.size(); ++i)
        ASSERT_EQ(Hex(expected[i]), Hex(actual[i])) << "frame " << i;
    EXPECT_EQ(expected.size(), actual.size());
    // Every byte keyprobe wrote belongs to one of those frames.
    ByteVec allExpected;
    for (const ByteVec& f : expected)
        allExpected.insert(allExpected.end(), f.begin(), f.end());
    EXPECT_EQ(Hex(allExpected), Hex(run.transcript.rxBytes()));
    ExpectPauses(run.transcript);
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
    RunAndCheck({"--fault", "a:2=status:0x05", "--fault", "b:7=status:0x80", "--fault", "b:8=status:0x02"}, e);
}

TEST(SerialKeyProbe, ErrorStatusOnAFetchIsQueriedButOnlyF8AndF1MeanAbsent) {
    Expectation e;
    e.master[4].fetchStatus = 0x07;
    e.dukpt[2].fetchStatus = 0xF0;  // a success status: no query
    e.dukpt[3].fetchStatus = 0xF1;
    RunAndCheck({"--dukpt", "LLL1LLLLLL", "--fault", "fetch-a:4=status:0x07", "--fault", "fetch-b:2=status:0xF0"}, e);
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
    RunAndCheck({"--ms", "LL8LLLLLLL", "--dukpt", "LLLLLL1LLL", "--fault", "fetch-a:*=long-form",
                 "--fault", "b:5=long-form", "--fault", "fetch-b:3=long-form+pad:400"},
                e);
}

TEST(SerialKeyProbe, PortThatDoesNotExist) {
    testsupport::TempDir dir("keyprobe-e2e");
    const std::string ini = dir.file("terminal.ini");
    const std::string keys = dir.file("keys.txt");
    ASSERT_TRUE(testsupport::writeSerialIni(ini, dir.file("no-such-tty")));
    testsupport::TempDir noDevices("keyprobe-e2e-dos");
    const testsupport::RunResult r = testsupport::runKeyprobe({ini, keys}, KeyprobeOptions(noDevices.path()));
    ASSERT_TRUE(r.started);
    EXPECT_EQ(1, r.exitCode);
    EXPECT_EQ("Reading connection information from " + ini +
                  "\nConnecting to Pelsto terminal...\nFAILURE: Terminal not responding. Check all port settings.\n",
              r.out);
    bool exists = false;
    EXPECT_EQ("FAILURE: Terminal not responding. Check all port settings.", testsupport::readTextFile(keys, &exists));
    EXPECT_TRUE(exists);
}

}  // namespace
