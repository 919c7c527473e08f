#include <Connection.h>
#include <KeyProbe.h>

#include <gtest/gtest.h>

#include <string.h>

#include <filesystem>
#include <fstream>
#include <map>
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
};
FakeTerminal g_fake;

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
    return it == g_fake.requestStatus.end() ? 0 : it->second;
}

signed char FakeFetch(BYTE* pReplyData, BYTE* pbyReplyLength) {
    g_fake.calls.push_back("fetch");
    g_fake.fetchBuffers.push_back(pReplyData);
    CheckAndFill(pReplyData, pbyReplyLength);
    auto it = g_fake.fetchStatus.find({g_fake.nLastKind, g_fake.nLastSlot});
    return it == g_fake.fetchStatus.end() ? 0 : it->second;
}

signed char FakeCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                        BYTE* pbyReplyLength) {
    std::ostringstream call;
    call << "command " << char(byCommand) << " " << std::string((const char*)pData, wDataLength);
    g_fake.calls.push_back(call.str());
    g_fake.followUpBuffers.push_back(pReplyData);
    CheckAndFill(pReplyData, pbyReplyLength);
    return -32;  // the run does not look at it
}

void FakePause(DWORD dwMilliseconds) { g_fake.calls.push_back("pause " + std::to_string(dwMilliseconds)); }

const KeyProbeServices kFakeServices = {FakeInit,  FakeConnect, FakeRequest,
                                        FakeFetch, FakeCommand, FakePause};

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

TEST_F(KeyProbeRunTest, CompletedRunWritesTwentyLinesInOrder) {
    // M/S: slot 2 refused outright, slot 3 and 4 absent by their fetch, slot 5 with an
    // unrelated fetch status still present. DUKPT: slot 0 unanswered, slot 9 absent.
    g_fake.requestStatus[{KEYPROBE_KIND_MASTER_SESSION, 2}] = 5;
    g_fake.fetchStatus[{KEYPROBE_KIND_MASTER_SESSION, 3}] = -8;
    g_fake.fetchStatus[{KEYPROBE_KIND_MASTER_SESSION, 4}] = -15;
    g_fake.fetchStatus[{KEYPROBE_KIND_MASTER_SESSION, 5}] = -32;
    g_fake.fetchStatus[{KEYPROBE_KIND_MASTER_SESSION, 6}] = 7;
    g_fake.requestStatus[{KEYPROBE_KIND_DUKPT, 0}] = -32;
    g_fake.fetchStatus[{KEYPROBE_KIND_DUKPT, 9}] = -8;

    EXPECT_EQ(0, Run({m_input, m_result}));
    EXPECT_EQ(testsupport::CompletedConsole(m_input), m_out.str());
    EXPECT_EQ("", m_err.str());
    EXPECT_EQ(m_input, g_fake.inputFileAtConnect);
    EXPECT_EQ(testsupport::ResultFile({1, 1, 0, 0, 0, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1, 1, 0}),
              readTextFile(m_result));

    std::vector<std::string> expected = {"connect"};
    for (int kind : {KEYPROBE_KIND_MASTER_SESSION, KEYPROBE_KIND_DUKPT}) {
        for (int slot = 0; slot < 10; ++slot) {
            const bool bMaster = kind == KEYPROBE_KIND_MASTER_SESSION;
            expected.push_back(std::string("request ") + (bMaster ? "M/S " : "DUKPT ") +
                               std::to_string(slot) + " 0123456789 Testing... 00000000");
            if (!(bMaster && slot == 2) && !(!bMaster && slot == 0))
                expected.push_back("fetch");
            expected.push_back("pause 250");
            expected.push_back(bMaster ? "command a Q" : "command b r");
            expected.push_back("pause 250");
        }
    }
    EXPECT_EQ(expected, g_fake.calls);
    EXPECT_TRUE(g_fake.bBuffersClean) << "reply buffers must be zeroed before every use";
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
    EXPECT_EQ(0, Run({m_input, m_result}));
    EXPECT_EQ(testsupport::ResultFile(std::vector<bool>(10, false), std::vector<bool>(10, false)),
              readTextFile(m_result));
    for (const std::string& call : g_fake.calls)
        EXPECT_NE("fetch", call);
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
