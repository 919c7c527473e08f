// keyprobe-check --keys against termsim over TCP and as a virtual USB HID device: a terminal
// with absent keys, error statuses whose 0x81 texts differ in length (none, short, longer
// than a HID report, with quotes and backslashes) and a slot it never answers. The table
// and the JSON object must carry every slot's statuses and texts; keyprobe itself, run
// against the same terminal, must write the result file it always wrote.
#include <gtest/gtest.h>

#include <cstdio>
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

struct ExpectedSlot {
    bool master;
    int slot;
    bool present;
    int request;  // -1: no reply
    int fetch;    // -1: no reply, -2: not fetched
    std::vector<std::string> texts;
};

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

std::vector<ExpectedSlot> ScenarioSlots() {
    std::vector<ExpectedSlot> slots;
    for (int group = 0; group < 2; ++group)
        for (int slot = 0; slot < 10; ++slot)
            slots.push_back({group == 0, slot, true, 0x00, 0x00, {}});
    slots[1] = {true, 1, false, 0x00, 0xF8, {"Key slot 1 is empty"}};
    slots[2] = {true, 2, false, 0x05, -2, {"Tamper"}};
    slots[4] = {true, 4, false, 0x00, 0xF1, {"Key slot 4 is empty"}};
    slots[5] = {true, 5, false, -1, -2, {}};
    slots[6] = {true, 6, true, 0x00, 0x07, {kQuotedText}};
    slots[13] = {false, 3, false, 0x00, 0xF8, {kLongText}};
    slots[17] = {false, 7, false, 0x80, -2, {}};
    // A 0x81 reply without a description has no text to give.
    slots[19] = {false, 9, false, 0x00, 0xF1, {}};
    return slots;
}

testsupport::KeyCheckExpectation ScenarioExpectation() {
    testsupport::KeyCheckExpectation e;
    for (const ExpectedSlot& s : ScenarioSlots()) {
        testsupport::KeySlot& k = s.master ? e.master[s.slot] : e.dukpt[s.slot];
        k.requestStatus = s.request;
        if (s.fetch >= 0)
            k.fetchStatus = s.fetch;
    }
    return e;
}

std::string Escaped(const std::string& text) {
    std::string s;
    for (char c : text) {
        if (c == '"' || c == '\\')
            s += '\\';
        s += c;
    }
    return s;
}

std::string StatusOrNull(int status) { return status >= 0 ? std::to_string(status) : "null"; }

std::string ExpectedJson() {
    std::string json = "{\n  \"slots\": [";
    bool first = true;
    for (const ExpectedSlot& s : ScenarioSlots()) {
        json += std::string(first ? "" : ",") + "\n    {\"kind\": \"" +
                (s.master ? "master/session" : "dukpt") + "\", \"slot\": " + std::to_string(s.slot) +
                ", \"present\": " + (s.present ? "true" : "false") +
                ", \"request_status\": " + StatusOrNull(s.request) +
                ", \"fetch_status\": " + StatusOrNull(s.fetch) + ", \"terminal_texts\": [";
        for (size_t i = 0; i < s.texts.size(); ++i)
            json += (i ? ", \"" : "\"") + Escaped(s.texts[i]) + "\"";
        json += "], \"ms\": 0}";
        first = false;
    }
    return json + "\n  ],\n  \"answered\": 19,\n  \"wall_ms\": 0\n}\n";
}

std::string StatusText(int status, const char* pszNone) {
    if (status == -1)
        return "no reply";
    if (status == -2)
        return pszNone;
    char sz[8];
    snprintf(sz, sizeof(sz), "0x%02X", status);
    return sz;
}

// Every slot's line: the columns up to the fetch, the time, the texts (cut at column 99).
void ExpectTable(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ("kind   slot  present  request   fetch         ms  terminal's texts", line);
    const std::regex row(
        R"(^(M/S|DUKPT) +(\d+)  (yes|no) +(0x[0-9A-F]{2}|no reply) +(0x[0-9A-F]{2}|no reply|not sent) +(\d+)(  (.*))?$)");
    for (const ExpectedSlot& s : ScenarioSlots()) {
        ASSERT_TRUE(std::getline(in, line));
        EXPECT_LE(line.size(), 99u) << line;
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, row)) << line;
        // Aligned under the heading: numbers to the right, words to the left.
        EXPECT_EQ(11, m.position(2) + m.length(2)) << line;
        EXPECT_EQ(13, m.position(3)) << line;
        EXPECT_EQ(22, m.position(4)) << line;
        EXPECT_EQ(32, m.position(5)) << line;
        EXPECT_EQ(48, m.position(6) + m.length(6)) << line;
        EXPECT_EQ(s.master ? "M/S" : "DUKPT", m[1].str()) << line;
        EXPECT_EQ(std::to_string(s.slot), m[2].str()) << line;
        EXPECT_EQ(s.present ? "yes" : "no", m[3].str()) << line;
        EXPECT_EQ(StatusText(s.request, ""), m[4].str()) << line;
        EXPECT_EQ(StatusText(s.fetch, "not sent"), m[5].str()) << line;
        std::string texts;
        for (const std::string& t : s.texts)
            texts += (texts.empty() ? "\"" : " \"") + Escaped(t) + "\"";
        if (m[8].str().size() < texts.size()) {
            EXPECT_EQ(99u, line.size()) << line;
            EXPECT_EQ("...", line.substr(line.size() - 3)) << line;
            texts = texts.substr(0, m[8].str().size() - 3) + "...";
        }
        EXPECT_EQ(texts, m[8].str()) << line;
    }
    std::string rest((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(0u, rest.find("\nThe terminal answered 19 of the 20 key-test requests; the run took ")) << rest;
    EXPECT_NE(std::string::npos,
              rest.find("\nThe terminal did not answer for 1 of the 20 key slots (M/S 5): their key states "
                        "are unknown.\n"
                        "Texts cut to fit the line end in \"...\"; --json gives them whole.\n"))
        << rest;
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
        // same time: a slot that is never answered keeps a USB run waiting a minute.
        const char* const kRuns[3] = {"keyprobe", "table", "json"};
        testsupport::TermsimProcess sims[3];
        testsupport::TempDir dirs[3] = {testsupport::TempDir("keyreport"), testsupport::TempDir("keyreport"),
                                        testsupport::TempDir("keyreport")};
        std::future<RunResult> runs[3];
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(sims[i].start(simArgs)) << sims[i].error();
            RunOptions options;
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

        ExpectTable(results[1].out);
        EXPECT_EQ("", results[1].err);
        const std::regex times(R"re("(ms|wall_ms)": \d+)re");
        EXPECT_EQ(ExpectedJson(), std::regex_replace(results[2].out, times, "\"$1\": 0"));
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
