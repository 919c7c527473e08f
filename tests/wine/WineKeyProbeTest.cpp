// The Windows builds of keyprobe under Wine, against termsim on this machine: the usage
// text, a whole key check over TCP and over a COM port, a refused connection, a result
// file that cannot be created and the registry-switched debug log. What the native suite
// proves about the frames is only checked again here as a whole, through its helpers.
//
// One Wine prefix serves every test of a run (a prefix takes seconds and most of a
// gigabyte to set up); each test leaves it as it found it: its files in a folder of its
// own, and the registry keys and COM mapping it adds removed again.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "KeyProbeTexts.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"
#include "WineSuite.h"

namespace fs = std::filesystem;

namespace {

using testsupport::Crlf;
using testsupport::KeyprobeRun;
using testsupport::TempDir;
using testsupport::WindowsPath;
using Expectation = testsupport::KeyCheckExpectation;

const int kRunTimeoutMs = 150000;

using winesuite::Prefix;
using winesuite::WindowsBuild;

class WineKeyProbe : public ::testing::TestWithParam<WindowsBuild> {
protected:
    void SetUp() override {
        const WindowsBuild& build = GetParam();
        m_keyprobe = std::string(build.buildDir) + "/app/keyprobe.exe";
        m_logprobe = std::string(build.buildDir) + "/tests/wine/logprobe/logprobe.exe";
        const std::string why = winesuite::WhyCannotRun(build, {m_keyprobe, m_logprobe});
        if (!why.empty())
            GTEST_SKIP() << "the " << build.arch << " run was skipped: " << why;
        ASSERT_TRUE(Prefix().ready()) << Prefix().error();
        ASSERT_FALSE(m_dir.path().empty());
    }

    testsupport::RunResult RunExe(const std::string& exe, const std::vector<std::string>& args,
                                  const std::string& workingDir = "") {
        std::vector<std::string> argv{WindowsPath(exe)};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::RunResult result = Prefix().run(argv, kRunTimeoutMs, workingDir);
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut) << result.out << result.err;
        return result;
    }

    // keyprobe with the INI file and the result file of this test's folder.
    KeyprobeRun RunKeyprobe(const std::string& resultFile = "keys.txt") {
        KeyprobeRun run;
        run.ini = WindowsPath(m_dir.file("terminal.ini"));
        run.result = RunExe(m_keyprobe, {run.ini, WindowsPath(m_dir.file(resultFile))});
        run.resultText = testsupport::readTextFile(m_dir.file(resultFile), &run.resultExists);
        return run;
    }

    bool WriteIni(const std::string& connectType, const std::string& key, const std::string& value) {
        return testsupport::writeIniFile(m_dir.file("terminal.ini"),
                                         {{"Connection", {{"ConnectType", connectType}, {key, value}}}});
    }
    bool WriteTcpIni(int port) { return testsupport::writeTcpIni(m_dir.file("terminal.ini"), port); }

    // A registry key of this test's own below HKEY_LOCAL_MACHINE.
    std::string TestKey() const {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string("Software\\KeyprobeWineSuite\\") + info->name() + "-" + GetParam().arch;
    }

    std::string m_keyprobe, m_logprobe;
    TempDir m_dir{"kp-wine-test"};
};

TEST_P(WineKeyProbe, UsageWithOneOrThreeArguments) {
    const fs::path work = m_dir.file("work");
    fs::create_directory(work);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"conn.ini"}, std::vector<std::string>{"conn.ini", "keys.txt", "extra"}}) {
        const testsupport::RunResult result = RunExe(m_keyprobe, args, work.string());
        EXPECT_EQ(1, result.exitCode);
        EXPECT_EQ(Crlf(testsupport::kUsage), result.out);
        EXPECT_EQ("", result.err);
        EXPECT_TRUE(fs::is_empty(work)) << "no result file may be created";
    }
}

// The same terminal over both transports: absent keys, error statuses that bring the
// 0x81 query, and a status that is no error.
TEST_P(WineKeyProbe, FullKeyCheckOverTcpAndSerial) {
    Expectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[2].requestStatus = 0x05;
    e.master[6].fetchStatus = 0x07;
    e.dukpt[7].requestStatus = 0x80;
    e.dukpt[9].fetchStatus = 0xF1;
    const int kComPort = 7;
    for (const char* transport : {"tcp", "pty"}) {
        SCOPED_TRACE(transport);
        testsupport::TermsimProcess sim({"--transport", transport, "--ms", "L8LLLLLLLL", "--dukpt",
                                         "LLLLLLLLL1", "--fault", "a:2=status:0x05", "--fault",
                                         "fetch-a:6=status:0x07", "--fault", "b:7=status:0x80"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        if (sim.tcpPort() > 0) {
            ASSERT_TRUE(WriteTcpIni(sim.tcpPort()));
        } else {
            ASSERT_TRUE(Prefix().mapComPort(kComPort, sim.ptyPath()));
            ASSERT_TRUE(WriteIni("Serial Port", "Port", "COM" + std::to_string(kComPort)));
        }

        const KeyprobeRun run = RunKeyprobe();
        if (sim.tcpPort() <= 0) {
            EXPECT_TRUE(Prefix().mapComPort(kComPort, ""));
        }
        EXPECT_EQ(0, run.result.exitCode) << run.result.err;
        EXPECT_EQ(Crlf(testsupport::CompletedConsole(run.ini)), run.result.out);
        EXPECT_EQ("", run.result.err);
        EXPECT_EQ(testsupport::ExpectedResultFile(e), run.resultText);

        const testsupport::TermsimTranscript t = sim.transcript();
        EXPECT_TRUE(t.errors().empty()) << t.errors().front();
        testsupport::ExpectFrames(t, e);
        testsupport::ExpectPauses(t);
    }
}

TEST_P(WineKeyProbe, RefusedConnection) {
    int port = -1;
    {
        testsupport::TermsimProcess sim({"--transport", "tcp"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        port = sim.tcpPort();
    }
    ASSERT_TRUE(WriteTcpIni(port));
    const KeyprobeRun run = RunKeyprobe();
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ(Crlf(testsupport::FailureConsole(run.ini)), run.result.out);
    EXPECT_EQ("\r\nError. connect() failed  10061\r\ncannot open TCP/IP Port 127.0.0.1:" +
                  std::to_string(port) + ": connection refused: nothing listens there (error 10061)\r\n",
              run.result.err);
    EXPECT_EQ(testsupport::kFailureText, run.resultText);
}

TEST_P(WineKeyProbe, ResultFileThatCannotBeCreated) {
    ASSERT_TRUE(WriteIni("Serial Port", "Port", "COM200"));
    const KeyprobeRun run = RunKeyprobe("missing-folder/keys.txt");
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ("", run.result.out);
    // The reason comes from the real API: the error code for a missing folder, and the
    // folder's attributes.
    const std::string path = WindowsPath(m_dir.file("missing-folder/keys.txt"));
    EXPECT_EQ("Cannot create result file " + path + ": the folder " +
                  WindowsPath(m_dir.file("missing-folder")) + " does not exist\r\n",
              run.result.err);
    EXPECT_FALSE(run.resultExists);
}

// The log's switch and file come from the prefix's registry, below the base key the
// client gives followed by the device name of the first line. keyprobe builds its log
// switched off, so logprobe (the same connection with a base key) shows the lines. A
// 32-bit program reads the registry's 32-bit view, as on 64-bit Windows.
TEST_P(WineKeyProbe, DebugLogSwitchedOnInTheRegistry) {
    const std::string stamp = R"(\d{1,2}/\d{1,2}/\d{4} \d{1,2}:\d{2}:\d{2} [AP]M \(\d{5} ms\)\tEC0000\t)";
    struct Case {
        const char* name;
        const char* device;  // appended to the base key
        std::vector<std::string> expectedLines;
    };
    const Case cases[] = {
        {"serial port that does not exist",
         "Dravon",
         {R"(Device name \[Dravon\] - -CSerialPort\.OpenPort\(\): hPort == INVALID_HANDLE_VALUE\r\n)"}},
        {"terminal over TCP answering an error status",
         "",
         {R"(Device name \[\] - \+TCPIPPort::Write\(\)\r\n)",
          R"(Device name \[\] - -TCPIPPort::Write\(\)\r\n)",
          R"(Device name \[\] - \+TCPIPPort::Read\(\)\r\n)", R"(Device name \[\] - -TCPIPPort::Read\(\)\r\n)",
          R"(Device name \[[^\]]*\] - Orvik-Interface-App error code=0x5\r\n)",
          R"(Device name \[[^\]]*\] - Last platform error code from device=0x1234, desc=Wine check\n\r\n)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string baseKey = TestKey() + "\\";
        const std::string key = baseKey + c.device;
        const std::string log = m_dir.file(std::string("io-") + (*c.device ? "serial" : "tcp") + ".log");
        const bool b32Bit = GetParam().b32Bit;
        ASSERT_TRUE(Prefix().setValue(key, "UseDebugFile", "REG_DWORD", "1", b32Bit));
        ASSERT_TRUE(Prefix().setValue(key, "DebugFile", "REG_SZ", WindowsPath(log), b32Bit));

        testsupport::TermsimProcess sim(
            {"--transport", "tcp", "--fault", "a:0=status:0x05", "--platform-error", "0x1234:Wine check"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        ASSERT_TRUE(*c.device ? WriteIni("Serial Port", "Port", "COM200") : WriteTcpIni(sim.tcpPort()));

        if (*c.device) {
            // The key check itself never writes the log, whatever the registry says.
            const KeyprobeRun run = RunKeyprobe();
            EXPECT_EQ(1, run.result.exitCode) << run.result.err;
            EXPECT_FALSE(fs::exists(log));
        }

        const testsupport::RunResult probe =
            RunExe(m_logprobe, {baseKey, WindowsPath(m_dir.file("terminal.ini"))});
        EXPECT_TRUE(Prefix().deleteKey(TestKey(), b32Bit));
        EXPECT_EQ(*c.device ? 1 : 0, probe.exitCode) << probe.err;
        bool exists = false;
        const std::string text = testsupport::readTextFile(log, &exists);
        ASSERT_TRUE(exists);
        for (const std::string& line : c.expectedLines)
            EXPECT_TRUE(std::regex_search(text, std::regex("(^|\n)" + stamp + line))) << line << "\nin\n"
                                                                                      << text;
    }
}

INSTANTIATE_TEST_SUITE_P(Wine, WineKeyProbe, ::testing::ValuesIn(winesuite::kBuilds), winesuite::BuildName);

}  // namespace
