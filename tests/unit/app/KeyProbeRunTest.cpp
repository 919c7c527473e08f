#include <Connection.h>
#include <KeyProbe.h>
#include <TerminalCommands.h>

#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "KeyProbeTexts.h"
#include "TempFiles.h"

namespace fs = std::filesystem;

namespace {

const size_t kReplyBufferSize = 256;

// A scripted terminal behind the run's services. Function pointers cannot capture, so
// the script lives here, reset by the fixture.
struct FakeTerminal {
    bool bInitOk = true;
    signed char connectResult = 0;
    // Status of the key-test request and of the fetch, per kind and slot; default 0.
    std::map<std::pair<int, int>, signed char> requestStatus;
    std::map<std::pair<int, int>, signed char> fetchStatus;
    std::vector<std::string> calls;
    std::string inputFileAtConnect;
    int nLastKind = -1;
    int nLastSlot = -1;
    bool bBuffersClean = true;
    std::vector<const BYTE*> fetchBuffers;
    std::vector<const BYTE*> followUpBuffers;
    // -32 is no reply here; a terminal answering 0xE0 is listed in answeredE0 instead.
    std::map<std::pair<int, int>, std::vector<std::string>> requestTexts;
    std::set<std::pair<int, int>> answeredE0;
    int nWritesToFail = 0;  // the next n commands do not go out
    DWORD dwPortError = 0;
    TerminalExchange exchange{};
};
FakeTerminal g_fake;

signed char Exchanged(signed char status, bool bAnswered, std::vector<std::string> texts = {}) {
    g_fake.exchange = TerminalExchange{};
    g_fake.exchange.bSent = g_fake.nWritesToFail <= 0;
    g_fake.nWritesToFail -= g_fake.nWritesToFail > 0;
    g_fake.exchange.bAnswered = bAnswered && g_fake.exchange.bSent;
    g_fake.exchange.dwPortError = g_fake.exchange.bAnswered ? 0 : g_fake.dwPortError;
    g_fake.exchange.terminalTexts = texts;
    return g_fake.exchange.bAnswered ? status : -32;
}

// The run must hand over zeroed buffers; the fake then fills all of them as a reply
// of the longest length would.
void CheckAndFill(BYTE* pBuffer, BYTE* pbyLength) {
    for (size_t i = 0; i < kReplyBufferSize; ++i)
        if (pBuffer[i] != 0)
            g_fake.bBuffersClean = false;
    if (*pbyLength != 0)
        g_fake.bBuffersClean = false;
    memset(pBuffer, 0xEE, kReplyBufferSize);
    *pbyLength = 0xFF;
}

BOOL FakeInit() { return g_fake.bInitOk ? TRUE : FALSE; }

signed char FakeConnect() {
    g_fake.calls.push_back("connect");
    g_fake.inputFileAtConnect = g_szInputFile;
    return g_fake.connectResult;
}

signed char FakeRequest(int nKind, BYTE bySlot, const char* pszAccount, const char* pszPrompt,
                        const char* pszTrailer) {
    std::ostringstream call;
    call << "request " << (nKind == KEYPROBE_KIND_MASTER_SESSION ? "M/S " : "DUKPT ") << int(bySlot) << " "
         << pszAccount << " " << pszPrompt << " " << pszTrailer;
    g_fake.calls.push_back(call.str());
    g_fake.nLastKind = nKind;
    g_fake.nLastSlot = bySlot;
    auto it = g_fake.requestStatus.find({nKind, bySlot});
    const signed char status = it == g_fake.requestStatus.end() ? 0 : it->second;
    return Exchanged(status, status != -32 || g_fake.answeredE0.count({nKind, bySlot}),
                     g_fake.requestTexts[{nKind, bySlot}]);
}

signed char FakeFetch(BYTE* pReplyData, BYTE* pbyReplyLength) {
    g_fake.calls.push_back("fetch");
    g_fake.fetchBuffers.push_back(pReplyData);
    CheckAndFill(pReplyData, pbyReplyLength);
    auto it = g_fake.fetchStatus.find({g_fake.nLastKind, g_fake.nLastSlot});
    const signed char status = it == g_fake.fetchStatus.end() ? 0 : it->second;
    return Exchanged(status, status != -32,
                     status == -8 ? std::vector<std::string>{"empty"} : std::vector<std::string>{});
}

signed char FakeCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                        BYTE* pbyReplyLength) {
    std::ostringstream call;
    call << "command " << char(byCommand) << " " << std::string((const char*)pData, wDataLength);
    g_fake.calls.push_back(call.str());
    g_fake.followUpBuffers.push_back(pReplyData);
    CheckAndFill(pReplyData, pbyReplyLength);
    return Exchanged(0x33, true);  // the run does not look at it
}

void FakePause(DWORD dwMilliseconds) { g_fake.calls.push_back("pause " + std::to_string(dwMilliseconds)); }

const TerminalExchange& FakeLastExchange() { return g_fake.exchange; }

const KeyProbeServices kFakeServices = {FakeInit,    FakeConnect, FakeRequest,     FakeFetch,
                                        FakeCommand, FakePause,   FakeLastExchange};

using testsupport::kFailureText;
using testsupport::kUsage;
using testsupport::readTextFile;

class KeyProbeRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeTerminal();
        ASSERT_FALSE(m_tmp.path().empty());
    }

    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), "keyprobe");
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        m_out.str("");
        m_err.str("");
        return RunKeyProbe((int)args.size(), argv.data(), m_out, m_err, kFakeServices);
    }

    testsupport::TempDir m_tmp{"keyprobe-run"};
    const fs::path m_dir{m_tmp.path()};
    const std::string m_input = m_tmp.file("conn.ini");
    const std::string m_result = m_tmp.file("keys.txt");
    std::ostringstream m_out;
    std::ostringstream m_err;
};

TEST_F(KeyProbeRunTest, WrongArgumentCountPrintsUsageAndCreatesNothing) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{m_input}, std::vector<std::string>{m_input, m_result, "x"},
          std::vector<std::string>{}}) {
        EXPECT_EQ(1, Run(args));
        EXPECT_EQ(kUsage, m_out.str());
        EXPECT_EQ("", m_err.str());
        EXPECT_FALSE(fs::exists(m_result));
        EXPECT_TRUE(g_fake.calls.empty());
    }
}

TEST_F(KeyProbeRunTest, ParseArgumentsRejectsAMissingList) {
    std::ostringstream out;
    EXPECT_FALSE(ParseArguments(3, nullptr, out));
    EXPECT_EQ(kUsage, out.str());
}

TEST_F(KeyProbeRunTest, FrameworkFailureIsFatal) {
    g_fake.bInitOk = false;
    EXPECT_EQ(1, Run({m_input, m_result}));
    EXPECT_EQ("Fatal Error: MFC initialization failed\n", m_err.str());
    EXPECT_EQ("", m_out.str());
    EXPECT_FALSE(fs::exists(m_result));
}

// Keeps each slot's report and marks among the fake's calls when it came.
class SlotRecorder : public KeySlotObserver {
public:
    void OnSlotDone(const KeySlotReport& report) override {
        g_fake.calls.push_back("report");
        reports.push_back(report);
    }
    std::vector<KeySlotReport> reports;
};

TEST_F(KeyProbeRunTest, CompletedRunWritesTwentyLinesInOrderAndReportsEachSlot) {
    // M/S: slot 2 refused outright (with two texts of the terminal), slot 3 and 4 absent by
    // their fetch, slot 5's fetch unanswered, slot 6 with an unrelated fetch status still
    // present. DUKPT: slot 0 unanswered, slot 4 refused with E0, slot 9 absent.
    const int M = KEYPROBE_KIND_MASTER_SESSION, D = KEYPROBE_KIND_DUKPT;
    g_fake.requestStatus[{M, 2}] = 5;
    g_fake.requestTexts[{M, 2}] = {"Tamper", std::string("a\0b", 3)};
    g_fake.fetchStatus[{M, 3}] = -8;
    g_fake.fetchStatus[{M, 4}] = -15;
    g_fake.fetchStatus[{M, 5}] = -32;
    g_fake.fetchStatus[{M, 6}] = 7;
    g_fake.requestStatus[{D, 0}] = -32;
    g_fake.requestStatus[{D, 4}] = -32;
    g_fake.answeredE0.insert({D, 4});
    g_fake.fetchStatus[{D, 9}] = -8;

    EXPECT_EQ(0, Run({m_input, m_result}));
    EXPECT_EQ(testsupport::CompletedConsole(m_input), m_out.str());
    // A terminal that answered E0 did answer.
    EXPECT_EQ("The terminal did not answer for 2 of the 20 key slots (M/S 5, DUKPT 0): their key states are "
              "unknown.\n",
              m_err.str());
    EXPECT_EQ(m_input, g_fake.inputFileAtConnect);
    EXPECT_EQ(testsupport::ResultFile({1, 1, 0, 0, 0, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 0, 1, 1, 1, 1, 0}),
              readTextFile(m_result));

    std::vector<std::string> expected = {"connect"};
    for (int kind : {M, D}) {
        for (int slot = 0; slot < 10; ++slot) {
            const bool bMaster = kind == M;
            expected.push_back(std::string("request ") + (bMaster ? "M/S " : "DUKPT ") +
                               std::to_string(slot) + " 0123456789 Testing... 00000000");
            if (!(bMaster && slot == 2) && !(!bMaster && (slot == 0 || slot == 4)))
                expected.push_back("fetch");
            expected.push_back("pause 250");
            expected.push_back(bMaster ? "command a Q" : "command b r");
            expected.push_back("pause 250");
        }
    }
    EXPECT_EQ(expected, g_fake.calls);
    EXPECT_TRUE(g_fake.bBuffersClean) << "reply buffers must be zeroed before every use";

    // The same check with an observer, as keyprobe-check runs it: each slot is heard once its
    // dialogue is over, before the next one starts, and the dialogue is keyprobe's own,
    // command for command and pause for pause.
    const std::vector<std::string> keyprobeCalls(g_fake.calls.begin() + 1, g_fake.calls.end());
    g_fake.calls.clear();
    SlotRecorder recorder;
    DWORD dwWriteError = 0;
    std::ostringstream progress;
    ASSERT_TRUE(CheckKeySlots(kFakeServices, &progress, nullptr, &recorder, &dwWriteError));
    EXPECT_EQ("Checking status of M/S keys...\nChecking status of DUKPT keys...\n", progress.str());
    std::vector<std::string> withoutReports;
    for (size_t i = 0; i < g_fake.calls.size(); ++i) {
        if (g_fake.calls[i] != "report") {
            withoutReports.push_back(g_fake.calls[i]);
            continue;
        }
        EXPECT_EQ("pause 250", g_fake.calls[i - 1]) << i;
        if (i + 1 < g_fake.calls.size()) {
            EXPECT_EQ(0u, g_fake.calls[i + 1].rfind("request ", 0)) << i;
        }
    }
    EXPECT_EQ(keyprobeCalls, withoutReports);

    struct Expected {
        int kind, slot;
        bool present;
        int request, fetch;  // -1: no reply, -2: not fetched
        std::vector<std::string> texts;
    };
    const Expected special[] = {
        {M, 2, false, 0x05, -2, {"Tamper", std::string("a\0b", 3)}},
        {M, 3, false, 0x00, 0xF8, {"empty"}},
        {M, 4, false, 0x00, 0xF1, {}},
        {M, 5, true, 0x00, -1, {}},
        {M, 6, true, 0x00, 0x07, {}},
        {D, 0, false, -1, -2, {}},
        {D, 4, false, 0xE0, -2, {}},
        {D, 9, false, 0x00, 0xF8, {"empty"}},
    };
    ASSERT_EQ(20u, recorder.reports.size());
    for (size_t i = 0; i < 20; ++i) {
        const KeySlotReport& r = recorder.reports[i];
        Expected e = {i < 10 ? M : D, (int)i % 10, true, 0x00, 0x00, {}};
        for (const Expected& s : special)
            if (s.kind == e.kind && s.slot == e.slot)
                e = s;
        EXPECT_EQ(e.kind, r.nKind) << i;
        EXPECT_EQ(e.slot, r.nSlot) << i;
        EXPECT_EQ(e.present, r.bPresent) << i;
        EXPECT_EQ(e.request, r.bRequestAnswered ? r.byRequestStatus : -1) << i;
        EXPECT_EQ(e.fetch, !r.bFetched ? -2 : r.bFetchAnswered ? r.byFetchStatus : -1) << i;
        EXPECT_EQ(e.texts, r.terminalTexts) << i;
    }
}

TEST_F(KeyProbeRunTest, FetchAndFollowUpSwapBuffersBetweenGroups) {
    EXPECT_EQ(0, Run({m_input, m_result}));
    ASSERT_EQ(20u, g_fake.fetchBuffers.size());
    ASSERT_EQ(20u, g_fake.followUpBuffers.size());
    EXPECT_NE(g_fake.fetchBuffers[0], g_fake.followUpBuffers[0]);
    EXPECT_EQ(g_fake.fetchBuffers[0], g_fake.followUpBuffers[10]);
    EXPECT_EQ(g_fake.followUpBuffers[0], g_fake.fetchBuffers[10]);
}

TEST_F(KeyProbeRunTest, SilentTerminalStillCompletes) {
    for (int kind : {KEYPROBE_KIND_MASTER_SESSION, KEYPROBE_KIND_DUKPT})
        for (int slot = 0; slot < 10; ++slot)
            g_fake.requestStatus[{kind, slot}] = -32;
    g_fake.dwPortError = ERROR_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(0, Run({m_input, m_result}));
    EXPECT_EQ("The terminal did not answer for 20 of the 20 key slots (M/S 0-9, DUKPT 0-9): their key states "
              "are unknown; the device was unplugged (error 1167).\n",
              m_err.str());
    EXPECT_EQ(testsupport::ResultFile(std::vector<bool>(10, false), std::vector<bool>(10, false)),
              readTextFile(m_result));
    for (const std::string& call : g_fake.calls)
        EXPECT_NE("fetch", call);
}

TEST_F(KeyProbeRunTest, DeviceThatTakesNoWriteEndsTheRunAtItsFirstSlot) {
    g_fake.nWritesToFail = 1000;
    g_fake.dwPortError = ERROR_INVALID_PARAMETER;
    std::ofstream(m_result) << "an older result file\r\n";
    EXPECT_EQ(1, Run({m_input, m_result}));
    EXPECT_EQ(kFailureText, readTextFile(m_result));
    EXPECT_EQ("Reading connection information from " + m_input +
                  "\nConnecting to Pelsto terminal...\nChecking status of M/S keys...\n" + kFailureText +
                  "\n",
              m_out.str());
    EXPECT_EQ("The port opened, but no command reached the terminal: every write failed (error 87). The key "
              "states are not known.\n",
              m_err.str());
    EXPECT_EQ((std::vector<std::string>{"connect", "request M/S 0 0123456789 Testing... 00000000",
                                        "pause 250", "command a Q"}),
              g_fake.calls);

    // One command of the first slot that goes out is enough: the device takes writes, and a
    // terminal that merely stays silent gets the whole run.
    g_fake = FakeTerminal();
    g_fake.nWritesToFail = 1;
    EXPECT_EQ(0, Run({m_input, m_result}));
    std::vector<bool> master(10, true);
    master[0] = false;
    EXPECT_EQ(testsupport::ResultFile(master, std::vector<bool>(10, true)), readTextFile(m_result));
}

TEST_F(KeyProbeRunTest, ConnectionFailureLeavesOnlyTheFailureText) {
    std::ofstream(m_result) << "an older and much longer result file\r\n";
    g_fake.connectResult = -31;
    EXPECT_EQ(1, Run({m_input, m_result}));
    EXPECT_EQ(kFailureText, readTextFile(m_result));
    EXPECT_EQ(testsupport::FailureConsole(m_input), m_out.str());
    EXPECT_EQ(std::vector<std::string>{"connect"}, g_fake.calls);
}

TEST_F(KeyProbeRunTest, ExistingResultFileIsReplaced) {
    std::ofstream(m_result) << std::string(5000, 'z');
    EXPECT_EQ(0, Run({m_input, m_result}));
    EXPECT_EQ(testsupport::ResultFile(std::vector<bool>(10, true), std::vector<bool>(10, true)),
              readTextFile(m_result));
}

TEST_F(KeyProbeRunTest, UncreatableResultFileIsReportedWithItsPath) {
    const std::string bad = (m_dir / "no-such-folder" / "keys.txt").string();
    EXPECT_EQ(1, Run({m_input, bad}));
    EXPECT_NE(std::string::npos, m_err.str().find(bad)) << m_err.str();
    EXPECT_EQ("", m_out.str());
    EXPECT_TRUE(g_fake.calls.empty());
}

TEST_F(KeyProbeRunTest, InputPathsUpToTheCopyLimit) {
    // 255 characters fit the copy exactly and reach the set-up unchanged.
    std::string fits = m_dir.string() + "/";
    fits += std::string(255 - fits.size(), 'i');
    ASSERT_EQ(255u, fits.size());
    EXPECT_EQ(0, Run({fits, m_result}));
    EXPECT_EQ(fits, g_fake.inputFileAtConnect);

    // One more would be cut to a different name: refused before anything is created.
    fs::remove(m_result);
    g_fake = FakeTerminal();
    const std::string tooLong = fits + "j";
    EXPECT_EQ(1, Run({tooLong, m_result}));
    EXPECT_NE(std::string::npos, m_err.str().find(tooLong));
    EXPECT_FALSE(fs::exists(m_result));
    EXPECT_TRUE(g_fake.calls.empty());
}

}  // namespace
