// The Windows release package as a user gets it: the ZIP that `cpack -G ZIP` makes in the
// mingw-i686 build folder (scripts/test makes it), unpacked. What it holds, text that
// every Windows editor shows line by line, example INI files that keyprobe reads as they
// are meant, and the 32-bit programs in it running under Wine.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"
#include "WineSuite.h"

namespace fs = std::filesystem;

namespace {

using testsupport::WindowsPath;

const std::string kFolder = std::string("keyprobe-") + KEYPROBE_VERSION + "-win32";
const std::string kZip = std::string(KEYPROBE_MINGW_I686_DIR) + "/" + kFolder + ".zip";
// Each program of the package and the build's file it must be.
const std::map<std::string, std::string> kPrograms = {
    {"keyprobe.exe", "/app/keyprobe.exe"},
    {"keyprobe-check.exe", "/tools/keyprobe-check/keyprobe-check.exe"},
};

// Each example and the connection type it shows.
const std::map<std::string, std::string> kExamples = {
    {"examples/serial-port.ini", "Serial Port"},
    {"examples/tcpip-port.ini", "TCP/IP Port"},
    {"examples/usb-device.ini", "USB Device"},
    {"examples/usbio-device.ini", "USBIO Device"},
};

// 7-bit text whose every line ends in CR LF, the last one included.
bool IsWindowsText(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0 || c > 127 || (c == '\n' && (i == 0 || text[i - 1] != '\r')) ||
            (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            return false;
    }
    return !text.empty() && text.back() == '\n';
}

// The [Connection] keys of an INI file as keyprobe's reader takes them. A line that is no
// comment ('#' in its first column), blank line, section header or key=value line makes
// the reader drop the whole file, and keyprobe fall back to COM1.
bool ConnectionKeys(const std::string& text, std::map<std::string, std::string>& keys, std::string& error) {
    std::istringstream lines(text);
    std::string line, section;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const std::size_t open = line.find('['), close = line.find(']');
        if (open != std::string::npos && close != std::string::npos && close > open + 1) {
            section = line.substr(open + 1, close - open - 1);
        } else if (line.find('=') == std::string::npos || section.empty()) {
            error = "the reader refuses the line \"" + line + "\"";
            return false;
        } else if (section == "Connection") {
            keys[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
        }
    }
    return true;
}

class WinePackage : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kZip))
            GTEST_SKIP() << "the package check was skipped: " << kZip
                         << " is not made (cpack -G ZIP in the mingw-i686 build folder)";
        ASSERT_FALSE(m_dir.path().empty());
        testsupport::RunOptions inTheFolder;
        inTheFolder.workingDir = m_dir.path();
        const testsupport::RunResult unpack =
            testsupport::runProcess({CMAKE_COMMAND_BIN, "-E", "tar", "xf", kZip}, inTheFolder);
        ASSERT_EQ(0, unpack.exitCode) << unpack.err;
        m_root = m_dir.file(kFolder);
    }

    std::string Read(const std::string& name) const { return testsupport::readTextFile(m_root + "/" + name); }

    testsupport::TempDir m_dir{"kp-wine-package"};
    std::string m_root;
};

TEST_F(WinePackage, HoldsTheProgramsReadMeExamplesAndLicenceAsWindowsText) {
    std::set<std::string> expected = {kFolder + "/README.txt", kFolder + "/LICENSE.txt"};
    for (const auto& program : kPrograms)
        expected.insert(kFolder + "/" + program.first);
    for (const auto& example : kExamples)
        expected.insert(kFolder + "/" + example.first);
    std::set<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(m_dir.path()))
        if (entry.is_regular_file())
            files.insert(fs::relative(entry.path(), m_dir.path()).string());
    EXPECT_EQ(expected, files);

    for (const auto& program : kPrograms)
        EXPECT_TRUE(Read(program.first) ==
                    testsupport::readTextFile(std::string(KEYPROBE_MINGW_I686_DIR) + program.second))
            << "the package holds another " << program.first << " than the build's";

    for (const char* text : {"README.txt", "LICENSE.txt"})
        EXPECT_TRUE(IsWindowsText(Read(text))) << text;
    for (const auto& example : kExamples) {
        SCOPED_TRACE(example.first);
        const std::string text = Read(example.first);
        EXPECT_TRUE(IsWindowsText(text));
        std::map<std::string, std::string> keys;
        std::string error;
        ASSERT_TRUE(ConnectionKeys(text, keys, error)) << error;
        EXPECT_EQ(example.second, keys["ConnectType"]);
        const std::set<std::string> known = {"ConnectType", "Port",     "Baudrate",
                                             "Parity",      "ByteSize", "StopBits",
                                             "IPAddress",   "IPPort",   "UsbDeviceIds"};
        for (const auto& key : keys)
            EXPECT_EQ(1u, known.count(key.first)) << "keyprobe reads no key \"" << key.first << "\"";
    }
}

// keyprobe.exe from the unpacked folder, with the TCP/IP example pointed at termsim.
TEST_F(WinePackage, ProgramsRunFromTheUnpackedFolder) {
    const std::string why = winesuite::Why32BitCannotRun();
    if (!why.empty())
        GTEST_SKIP() << "the i686 run was skipped: " << why;
    testsupport::WinePrefix& prefix = winesuite::Prefix();
    ASSERT_TRUE(prefix.ready()) << prefix.error();

    testsupport::TermsimProcess sim({"--transport", "tcp"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    std::istringstream lines(Read("examples/tcpip-port.ini"));
    std::string line, ini;
    while (std::getline(lines, line)) {
        if (line.rfind("IPAddress=", 0) == 0)
            line = "IPAddress=127.0.0.1\r";
        else if (line.rfind("IPPort=", 0) == 0)
            line = "IPPort=" + std::to_string(sim.tcpPort()) + "\r";
        ini += line + "\n";
    }
    ASSERT_TRUE(testsupport::writeTextFile(m_root + "/terminal.ini", ini));

    const testsupport::RunResult run =
        prefix.run({WindowsPath(m_root + "/keyprobe.exe"), "terminal.ini", "keys.txt"}, 150000, m_root);
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ(testsupport::Crlf(testsupport::CompletedConsole("terminal.ini")), run.out);
    EXPECT_EQ(testsupport::ExpectedResultFile(testsupport::KeyCheckExpectation()), Read("keys.txt"));

    // The device check finds the same terminal through the same file, and sends nothing.
    const testsupport::RunResult check =
        prefix.run({WindowsPath(m_root + "/keyprobe-check.exe"), "terminal.ini"}, 60000, m_root);
    EXPECT_EQ(0, check.exitCode) << check.err;
    EXPECT_NE(std::string::npos, check.out.find("\r\n  keyprobe would open: TCP/IP Port 127.0.0.1:" +
                                                std::to_string(sim.tcpPort())))
        << check.out;
    EXPECT_NE(std::string::npos,
              check.out.find("\r\n  opened and closed again, nothing sent: keyprobe can use it\r\n"))
        << check.out;
}

}  // namespace
