// The built keyprobe program on its command line: usage text, exit codes and the
// result file, as a script calling it would see them.
#include <KeyProbeTexts.h>
#include <ProcessRunner.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testsupport::kFailureText;
using testsupport::kUsage;
using testsupport::readTextFile;

class KeyProbeCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.path().empty());
        fs::create_directory(m_work);
    }

    // Runs keyprobe in the empty work folder, so that any file it leaves there shows.
    testsupport::RunResult Run(const std::vector<std::string>& args) {
        testsupport::RunOptions options;
        options.workingDir = m_work.string();
        options.timeoutMs = 120000;
        testsupport::RunResult result = testsupport::runKeyprobe(args, options);
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        return result;
    }

    bool WorkFolderIsEmpty() const { return fs::is_empty(m_work); }

    // An INI file naming a serial device that does not exist: the set-up fails at once.
    fs::path WriteUnreachableIni() {
        const fs::path ini = m_dir / "conn.ini";
        std::ofstream(ini, std::ios::binary)
            << "[Connection]\r\nConnectType=Serial Port\r\nPort=" << (m_dir / "no-such-tty").string()
            << "\r\n";
        return ini;
    }

    testsupport::TempDir m_tmp{"keyprobe-cli"};
    const fs::path m_dir{m_tmp.path()};
    const fs::path m_work = m_dir / "work";
};

TEST_F(KeyProbeCommandLineTest, TwoOrFourArgumentsPrintTheUsageText) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"conn.ini"}, std::vector<std::string>{"conn.ini", "keys.txt", "extra"}}) {
        const testsupport::RunResult outcome = Run(args);
        EXPECT_EQ(1, outcome.exitCode);
        EXPECT_EQ(kUsage, outcome.out);
        EXPECT_EQ("", outcome.err);
        EXPECT_TRUE(WorkFolderIsEmpty()) << "no result file may be created";
    }
}

TEST_F(KeyProbeCommandLineTest, UnreachableTerminalReplacesTheResultFile) {
    const fs::path ini = WriteUnreachableIni();
    const fs::path result = m_work / "keys.txt";
    std::ofstream(result, std::ios::binary) << std::string(4096, 'o') << "\r\n";

    const testsupport::RunResult outcome = Run({ini.string(), result.string()});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ(kFailureText, readTextFile(result));
    EXPECT_EQ(testsupport::FailureConsole(ini.string()), outcome.out);
}

TEST_F(KeyProbeCommandLineTest, ResultFileThatCannotBeCreatedIsNamedOnStandardError) {
    const fs::path ini = WriteUnreachableIni();
    const fs::path result = m_dir / "missing-folder" / "keys.txt";
    const testsupport::RunResult outcome = Run({ini.string(), result.string()});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find(result.string())) << outcome.err;
    EXPECT_FALSE(fs::exists(result));
}

TEST_F(KeyProbeCommandLineTest, ResultFileThatIsTheInputFileIsRefusedAndTheInputKept) {
    const std::string settings =
        "[Connection]\r\nConnectType=TCP/IP Port\r\nIPAddress=127.0.0.1\r\nIPPort=9\r\n";
    std::ofstream(m_work / "conn.ini", std::ios::binary) << settings;
    fs::create_symlink("conn.ini", m_work / "symlink.ini");
    fs::create_hard_link(m_work / "conn.ini", m_work / "hardlink.ini");
    for (const std::string& destination :
         {std::string("conn.ini"), std::string("./conn.ini"), (m_work / "conn.ini").string(),
          std::string("symlink.ini"), std::string("hardlink.ini")}) {
        const testsupport::RunResult outcome = Run({"conn.ini", destination});
        EXPECT_EQ(1, outcome.exitCode) << destination;
        EXPECT_EQ("", outcome.out) << destination;
        EXPECT_NE(std::string::npos, outcome.err.find(destination)) << outcome.err;
        EXPECT_EQ(settings, readTextFile((m_work / "conn.ini").string())) << destination;
    }
}

TEST_F(KeyProbeCommandLineTest, OverlongInputPathIsRefusedBeforeAnythingIsCreated) {
    const std::string input = (m_dir / std::string(250, 'i')).string() + ".ini";
    const testsupport::RunResult outcome = Run({input, "keys.txt"});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find(input)) << outcome.err;
    EXPECT_TRUE(WorkFolderIsEmpty());
}

}  // namespace
