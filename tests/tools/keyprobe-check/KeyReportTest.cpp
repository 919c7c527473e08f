// keyprobe-check --keys against termsim over TCP and as a virtual USB HID device: a terminal
// with absent keys, error statuses whose 0x81 texts differ in length (none, short, longer
// than a HID report, with quotes and backslashes) and a slot it never answers. The table
// and the JSON object must carry every slot's statuses and texts; keyprobe itself, run
// against the same terminal, must write the result file it always wrote.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

const int kRunTimeoutMs = 300000;
const std::string kLongText =
    "Key management fault: the session key of this slot failed its check value; load it again from the host";
const std::string kQuotedText = "Slot 6: check value \"KCV\" wrong, see C:\\keys";

// termsim's arguments: the mixed key states of the other end-to-end runs, texts for the 0x81
// queries, and slot 5's key test never answered.
std::vector<std::string> ScenarioArguments() {
    std::vector<std::string> args = testsupport::MixedKeyStatesArguments();
    for (const std::string& fault : std::vector<std::string>{
             "a:2=error-text:Tamper", "fetch-a:6=error-text:" + kQuotedText,
             "fetch-b:3=error-text:" + kLongText, "fetch-b:9=error-text:", "a:5=no-reply"}) {
        args.push_back("--fault");
        args.push_back(fault);
    }
    return args;
}

testsupport::KeyCheckExpectation ScenarioExpectation() {
    testsupport::KeyCheckExpectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[2].requestStatus = 0x05;
    e.master[4].fetchStatus = 0xF1;
    e.master[5].requestStatus = -1;
    e.master[6].fetchStatus = 0x07;
    e.dukpt[3].fetchStatus = 0xF8;
    e.dukpt[7].requestStatus = 0x80;
    e.dukpt[9].fetchStatus = 0xF1;
    return e;
}

// Times are the one thing that differs from run to run: each becomes "#" (or 0 in JSON).
// A 0x81 reply without a description (DUKPT 9) gives no text.
const char kExpectedTable[] = R"(kind   slot  present  request   fetch         ms  terminal's texts
M/S       0  yes      0x00      0x00           #
M/S       1  no       0x00      0xF8           #  "Key slot 1 is empty"
M/S       2  no       0x05      not sent       #  "Tamper"
M/S       3  yes      0x00      0x00           #
M/S       4  no       0x00      0xF1           #  "Key slot 4 is empty"
M/S       5  no       no reply  not sent       #
M/S       6  yes      0x00      0x07           #  "Slot 6: check value \"KCV\" wrong, see C:\\keys"
M/S       7  yes      0x00      0x00           #
M/S       8  yes      0x00      0x00           #
M/S       9  yes      0x00      0x00           #
DUKPT     0  yes      0x00      0x00           #
DUKPT     1  yes      0x00      0x00           #
DUKPT     2  yes      0x00      0x00           #
DUKPT     3  no       0x00      0xF8           #  "Key management fault: the session key of this...
DUKPT     4  yes      0x00      0x00           #
DUKPT     5  yes      0x00      0x00           #
DUKPT     6  yes      0x00      0x00           #
DUKPT     7  no       0x80      not sent       #
DUKPT     8  yes      0x00      0x00           #
DUKPT     9  no       0x00      0xF1           #

The terminal answered 19 of the 20 key-test requests; the run took # s.
The terminal did not answer for 1 of the 20 key slots (M/S 5): their key states are unknown.
Texts cut to fit the line end in "..."; --json gives them whole.
)";

const char kExpectedJson[] = R"({
  "slots": [
    {"kind": "master/session", "slot": 0, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "master/session", "slot": 1, "present": false, "request_status": 0, "fetch_status": 248, "terminal_texts": ["Key slot 1 is empty"], "ms": 0},
    {"kind": "master/session", "slot": 2, "present": false, "request_status": 5, "fetch_status": null, "terminal_texts": ["Tamper"], "ms": 0},
    {"kind": "master/session", "slot": 3, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "master/session", "slot": 4, "present": false, "request_status": 0, "fetch_status": 241, "terminal_texts": ["Key slot 4 is empty"], "ms": 0},
    {"kind": "master/session", "slot": 5, "present": false, "request_status": null, "fetch_status": null, "terminal_texts": [], "ms": 0},
    {"kind": "master/session", "slot": 6, "present": true, "request_status": 0, "fetch_status": 7, "terminal_texts": ["Slot 6: check value \"KCV\" wrong, see C:\\keys"], "ms": 0},
    {"kind": "master/session", "slot": 7, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "master/session", "slot": 8, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "master/session", "slot": 9, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 0, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 1, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 2, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 3, "present": false, "request_status": 0, "fetch_status": 248, "terminal_texts": ["Key management fault: the session key of this slot failed its check value; load it again from the host"], "ms": 0},
    {"kind": "dukpt", "slot": 4, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 5, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 6, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 7, "present": false, "request_status": 128, "fetch_status": null, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 8, "present": true, "request_status": 0, "fetch_status": 0, "terminal_texts": [], "ms": 0},
    {"kind": "dukpt", "slot": 9, "present": false, "request_status": 0, "fetch_status": 241, "terminal_texts": [], "ms": 0}
  ],
  "answered": 19,
  "wall_ms": 0
}
)";

std::string WithoutTimes(const std::string& text, bool bJson) {
    if (bJson)
        return std::regex_replace(text, std::regex(R"re("(ms|wall_ms)": \d+)re"), "\"$1\": 0");
    std::istringstream in(text);
    std::string line, out;
    const std::regex slotTime("^((M/S  |DUKPT).{37})[ \\d]{6}");
    while (std::getline(in, line)) {
        EXPECT_LE(line.size(), 99u) << line;
        line = std::regex_replace(line, slotTime, "$1     #");
        out += std::regex_replace(line, std::regex("the run took [0-9.]+ s"), "the run took # s") + "\n";
    }
    return out;
}

struct Transport {
    const char* name;
    std::vector<std::string> termsimArgs;
    std::function<bool(const testsupport::TempDir&, const testsupport::TermsimProcess&, RunOptions&)> setUp;
};

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, RunOptions options) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    options.timeoutMs = kRunTimeoutMs;
    return testsupport::runProcess(argv, testsupport::isolatedFromMachine(options));
}

TEST(KeyprobeCheckKeys, EverySlotsStatusesAndTextsOverTcpAndUsbHid) {
    const Transport transports[] = {
        {"tcp",
         {"--transport", "tcp"},
         [](const testsupport::TempDir& dir, const testsupport::TermsimProcess& sim, RunOptions&) {
             return testsupport::writeTcpIni(dir.file("terminal.ini"), sim.tcpPort());
         }},
        {"hid",
         {"--transport", "hid"},
         [](const testsupport::TempDir& dir, const testsupport::TermsimProcess& sim, RunOptions& options) {
             options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
             return testsupport::writeIniFile(dir.file("terminal.ini"),
                                              {{"Connection", {{"ConnectType", "USB Device"}}}});
         }},
    };
    for (const Transport& transport : transports) {
        SCOPED_TRACE(transport.name);
        std::vector<std::string> simArgs = transport.termsimArgs;
        const std::vector<std::string> scenario = ScenarioArguments();
        simArgs.insert(simArgs.end(), scenario.begin(), scenario.end());
        // keyprobe, the table and the JSON object, each against a terminal of its own at the
        // same time, with the link's time-out shortened: a slot that is never answered would
        // keep a USB run waiting a minute.
        const char* const kRuns[3] = {"keyprobe", "table", "json"};
        testsupport::TermsimProcess sims[3];
        testsupport::TempDir dirs[3] = {testsupport::TempDir("keyreport"), testsupport::TempDir("keyreport"),
                                        testsupport::TempDir("keyreport")};
        std::future<RunResult> runs[3];
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(sims[i].start(simArgs)) << sims[i].error();
            RunOptions options;
            options.setEnv["KEYPROBE_LINK_TIMEOUT_MS"] = "3000";
            ASSERT_TRUE(transport.setUp(dirs[i], sims[i], options));
            const std::string ini = dirs[i].file("terminal.ini");
            const std::vector<std::string> args =
                i == 0 ? std::vector<std::string>{ini, dirs[i].file("keys.txt")}
                       : (i == 1 ? std::vector<std::string>{"--keys", ini}
                                 : std::vector<std::string>{"--keys", "--json", ini});
            runs[i] = std::async(std::launch::async, RunProgram, i == 0 ? KEYPROBE_BIN : KEYPROBE_CHECK_BIN,
                                 args, options);
        }
        RunResult results[3];
        for (int i = 0; i < 3; ++i) {
            results[i] = runs[i].get();
            ASSERT_FALSE(results[i].timedOut) << kRuns[i];
            EXPECT_EQ(0, results[i].exitCode) << kRuns[i] << "\n" << results[i].err;
        }

        EXPECT_EQ(testsupport::ExpectedResultFile(ScenarioExpectation()),
                  testsupport::readTextFile(dirs[0].file("keys.txt")));
        EXPECT_EQ(testsupport::CompletedConsole(dirs[0].file("terminal.ini")), results[0].out);
        EXPECT_EQ(
            "The terminal did not answer for 1 of the 20 key slots (M/S 5): their key states are unknown.\n",
            results[0].err);

        EXPECT_EQ(kExpectedTable, WithoutTimes(results[1].out, false));
        EXPECT_EQ("", results[1].err);
        EXPECT_EQ(kExpectedJson, WithoutTimes(results[2].out, true));
        EXPECT_EQ("", results[2].err);

        // The terminal saw the same dialogue from all three.
        for (int i = 0; i < 3; ++i) {
            const testsupport::TermsimTranscript t = sims[i].transcript();
            EXPECT_TRUE(t.errors().empty()) << kRuns[i] << ": " << t.errors().front();
            testsupport::ExpectFrames(t, ScenarioExpectation());
            testsupport::ExpectPauses(t);
        }
    }
}

TEST(KeyprobeCheckKeys, ExitCodes) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--keys"},
                                               {"--keys", "--udev-rules"},
                                               {"--keys", "a.ini", "b.ini"},
                                               {"--keys", std::string(256, 'p')}}) {
        const RunResult r = RunProgram(KEYPROBE_CHECK_BIN, args, RunOptions());
        EXPECT_EQ(2, r.exitCode) << args.back() << r.err;
        EXPECT_EQ("", r.out);
    }

    // Nothing listens on a port just given up: the device check's words, exit code 1.
    testsupport::TempDir dir("keyreport");
    int port = -1;
    {
        testsupport::TermsimProcess sim({"--transport", "tcp"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        port = sim.tcpPort();
    }
    ASSERT_TRUE(testsupport::writeTcpIni(dir.file("down.ini"), port));
    RunResult r = RunProgram(KEYPROBE_CHECK_BIN, {"--keys", dir.file("down.ini")}, RunOptions());
    EXPECT_EQ(1, r.exitCode) << r.err;
    EXPECT_EQ("", r.out);
    const RunResult check = RunProgram(KEYPROBE_CHECK_BIN, {dir.file("down.ini")}, RunOptions());
    const std::string failure = "cannot open TCP/IP Port 127.0.0.1:" + std::to_string(port) +
                                ": connection refused: nothing listens there (error 10061)";
    EXPECT_NE(std::string::npos, check.out.find("  " + failure + "\n")) << check.out;
    EXPECT_NE(std::string::npos, r.err.find("\n" + failure + "\n")) << r.err;

    // A device that takes none of keyprobe's writes: its reports carry no IDs.
    testsupport::TermsimProcess hid({"--transport", "hid", "--unnumbered"});
    ASSERT_TRUE(hid.ready()) << hid.error();
    ASSERT_TRUE(
        testsupport::writeIniFile(dir.file("hid.ini"), {{"Connection", {{"ConnectType", "USB Device"}}}}));
    RunOptions options;
    options.setEnv["IOCLASSLIB_VIRTUAL_HID"] = hid.hidSocket();
    r = RunProgram(KEYPROBE_CHECK_BIN, {"--keys", "--json", dir.file("hid.ini")}, options);
    EXPECT_EQ(1, r.exitCode) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_EQ("The port opened, but no command reached the terminal: every write failed (error 87). The key "
              "states are not known.\n",
              r.err);
}

}  // namespace
