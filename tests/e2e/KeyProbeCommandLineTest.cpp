// The built keyprobe program on its command line: usage text, exit codes and the
// result file, as a script calling it would see them.
#include <ProcessRunner.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "\n"
    "KEYPROBE Version 1.00: Retrieves status of M/S\n"
    "and DUKPT keys used for debit from a connected Pelsto \n"
    "terminal running the Orvik Interface Application.\n"
    "\n"
    "KEYPROBE inputfile destfile\n"
    "\n"
    "  inputfile:     an .ini file containing connection information.\n"
    "  destfile:      destination file for key statuses obtained from Pelsto.\n"
    "\n"
    "The exit code returned by this process is a series of error flags,\n"
    "where each flag, if set, is interpreted as follows:\n"
    "\n"
    "BIT 0: Key status info from the terminal is not available.\n"
    "       Check all command-line parameters and port settings.\n"
    "\n";

const char kFailureText[] = "FAILURE: Terminal not responding. Check all port settings.";

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class KeyProbeCommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/keyprobe-cli-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(szTemplate));
        m_dir = szTemplate;
        m_work = m_dir / "work";
        fs::create_directory(m_work);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
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

    fs::path m_dir;
    fs::path m_work;
};

TEST_F(KeyProbeCommandLineTest, TwoOrFourArgumentsPrintTheUsageText) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"conn.ini"},
          std::vector<std::string>{"conn.ini", "keys.txt", "extra"}}) {
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
    EXPECT_EQ(kFailureText, ReadAll(result));
    EXPECT_EQ("Reading connection information from " + ini.string() +
                  "\nConnecting to Pelsto terminal...\n" + kFailureText + "\n",
              outcome.out);
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

TEST_F(KeyProbeCommandLineTest, OverlongInputPathIsRefusedBeforeAnythingIsCreated) {
    const std::string input = (m_dir / std::string(250, 'i')).string() + ".ini";
    const testsupport::RunResult outcome = Run({input, "keys.txt"});
    EXPECT_EQ(1, outcome.exitCode);
    EXPECT_EQ("", outcome.out);
    EXPECT_NE(std::string::npos, outcome.err.find(input)) << outcome.err;
    EXPECT_TRUE(WorkFolderIsEmpty());
}

}  // namespace
