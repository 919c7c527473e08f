// keyprobe-check.exe under Wine: the COM ports of the prefix (one mapped to termsim's
// pseudo-terminal, one that another program holds exclusively, as Linux terminal programs
// hold their ports), a USB HID port with no terminal, the registry's debug-log switch in the
// view the build reads, the key check over the COM port and the Linux-only option refused.
// All of it in one prefix session: Wine's start-up is the slow part.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"
#include "WineSuite.h"

namespace {

using testsupport::RunResult;
using testsupport::TempDir;
using testsupport::WindowsPath;
using winesuite::WindowsBuild;

const int kRunTimeoutMs = 150000;
const int kTerminalPort = 7;
const int kBusyPort = 8;

// A pseudo-terminal whose other end this process holds exclusively (TIOCEXCL).
class HeldPty {
public:
    HeldPty() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            return;
        const std::string path = ptsname(m_master);
        m_held = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (m_held >= 0 && ioctl(m_held, TIOCEXCL) == 0)
            m_path = path;
    }
    ~HeldPty() {
        for (int fd : {m_held, m_master})
            if (fd >= 0)
                close(fd);
    }
    const std::string& path() const { return m_path; }  // empty when it could not be made

private:
    int m_master = -1, m_held = -1;
    std::string m_path;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The lines between a heading of the device check's text and the next blank line.
std::string Section(const std::string& text, const std::string& heading) {
    const std::size_t start = text.find("\n" + heading + "\n");
    if (start == std::string::npos)
        return "";
    const std::size_t body = start + heading.size() + 2, end = text.find("\n\n", body);
    return text.substr(body, end == std::string::npos ? end : end - body + 1);
}

class WineKeyprobeCheck : public ::testing::TestWithParam<WindowsBuild> {
protected:
    RunResult Check(const std::vector<std::string>& args) {
        std::vector<std::string> argv{WindowsPath(m_exe)};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = winesuite::Prefix().run(argv, kRunTimeoutMs);
        EXPECT_FALSE(r.timedOut) << args.back();
        r.out = testsupport::WithoutCr(r.out);
        r.err = testsupport::WithoutCr(r.err);
        return r;
    }

    std::string m_exe;
};

TEST_P(WineKeyprobeCheck, ComPortsBusyPortNoTerminalDebugLogSwitchAndKeyReport) {
    const WindowsBuild& build = GetParam();
    m_exe = std::string(build.buildDir) + "/tools/keyprobe-check/keyprobe-check.exe";
    const std::string why = winesuite::WhyCannotRun(build, {m_exe});
    if (!why.empty())
        GTEST_SKIP() << "the " << build.arch << " run was skipped: " << why;
    testsupport::WinePrefix& prefix = winesuite::Prefix();
    ASSERT_TRUE(prefix.ready()) << prefix.error();
    TempDir dir("kp-wine-check");
    ASSERT_FALSE(dir.path().empty());

    std::vector<std::string> simArgs{"--transport", "pty"};
    for (const std::string& arg : testsupport::MixedKeyStatesArguments())
        simArgs.push_back(arg);
    testsupport::TermsimProcess sim(simArgs);
    ASSERT_TRUE(sim.ready()) << sim.error();
    HeldPty busy;
    ASSERT_FALSE(busy.path().empty());
    ASSERT_TRUE(prefix.mapComPorts({{kTerminalPort, sim.ptyPath()}, {kBusyPort, busy.path()}}));
    const std::string key = std::string("Software\\KeyprobeWineSuite\\check-") + build.arch;
    const std::string log = WindowsPath(dir.file("io.log"));
    ASSERT_TRUE(prefix.setValue(key + "\\SERIAL_PORT", "UseDebugFile", "REG_DWORD", "1", build.b32Bit));
    ASSERT_TRUE(prefix.setValue(key + "\\SERIAL_PORT", "DebugFile", "REG_SZ", log, build.b32Bit));
    const std::string terminalIni = dir.file("terminal.ini"), busyIni = dir.file("busy.ini"),
                      usbIni = dir.file("usb.ini");
    ASSERT_TRUE(testsupport::writeIniFile(terminalIni, {{"Connection", {{"Port", "COM7"}}}}));
    ASSERT_TRUE(testsupport::writeIniFile(busyIni, {{"Connection", {{"Port", "COM8"}}}}));
    ASSERT_TRUE(testsupport::writeIniFile(usbIni, {{"Connection", {{"ConnectType", "USB Device"}}}}));

    // Every COM port opened as keyprobe opens it; the machine's own are not the prefix's.
    const RunResult listing = Check({"--debug-key", "HKLM\\" + key, WindowsPath(terminalIni)});
    EXPECT_EQ(0, listing.exitCode) << listing.err;
    EXPECT_EQ("  COM7  (\\Device\\Serial6)\n    this user can open it\n"
              "  COM8  (\\Device\\Serial7)\n"
              "    this user cannot open it: busy: another program has it open (error 33)\n",
              Section(listing.out, "Serial ports"))
        << listing.out;
    EXPECT_TRUE(
        Has(Section(listing.out, "Input file"),
            "  keyprobe would open: Serial Port COM7, Baudrate 19200, Parity 0, ByteSize 8, StopBits 0 "
            "(\\\\.\\COM7)\n  opened and closed again, nothing sent: keyprobe can use it\n"))
        << listing.out;
    // The switch lies in the view of the registry that the build reads, and only there.
    const std::string registry = Section(listing.out, "Registry store");
    EXPECT_TRUE(Has(registry, build.b32Bit ? "HKEY_LOCAL_MACHINE (its 32-bit view"
                                           : "HKEY_LOCAL_MACHINE (its 64-bit view"))
        << registry;
    EXPECT_TRUE(
        Has(registry, "  HKEY_LOCAL_MACHINE\\" + key + "\\SERIAL_PORT: debug log on, file " + log + "\n"))
        << registry;
    EXPECT_TRUE(sim.transcript().rxFrames().empty()) << "the check sent a frame";

    // The same ports in JSON; the port that did not open with the system's own words.
    const RunResult busyJson = Check({"--json", WindowsPath(busyIni)});
    EXPECT_EQ(1, busyJson.exitCode) << busyJson.err;
    EXPECT_TRUE(Has(busyJson.out, "\n    {\"kind\": \"serial\", \"path\": \"COM7\", \"aliases\": "
                                  "[\"\\\\Device\\\\Serial6\"], \"terminal\": false, \"description\": \"\", "
                                  "\"can_open\": true, \"reason\": \"\""))
        << busyJson.out;
    EXPECT_TRUE(Has(busyJson.out, "\"path\": \"COM8\", \"aliases\": [\"\\\\Device\\\\Serial7\"], "
                                  "\"terminal\": false, \"description\": \"\", \"can_open\": false, "
                                  "\"reason\": \"busy: another program has it open (error 33)\""))
        << busyJson.out;
    EXPECT_TRUE(std::regex_search(
        busyJson.out,
        std::regex("\"open_failure\": \"cannot open Serial Port COM8, Baudrate 19200, Parity 0, ByteSize 8, "
                   "StopBits 0: busy: another program has it open \\(error 33\\)\",\n"
                   "    \"system_message\": \"[A-Z][^\"]+\",\n    \"fix\": \"close the program")))
        << busyJson.out;

    // No terminal on USB: the check says so, and the key check does not start.
    const RunResult noTerminalJson = Check({"--json", WindowsPath(usbIni)});
    EXPECT_EQ(1, noTerminalJson.exitCode) << noTerminalJson.err;
    EXPECT_FALSE(Has(noTerminalJson.out, "\"terminal\": true")) << noTerminalJson.out;
    EXPECT_TRUE(Has(noTerminalJson.out, "\"open_failure\": \"cannot open USB Device (the terminal's USB HID "
                                        "interface): no USB HID device with the terminal's IDs is attached"))
        << noTerminalJson.out;
    const RunResult noTerminal = Check({"--keys", WindowsPath(usbIni)});
    EXPECT_EQ(1, noTerminal.exitCode);
    EXPECT_EQ("", noTerminal.out);
    EXPECT_TRUE(Has(noTerminal.err,
                    "cannot open USB Device (the terminal's USB HID interface): no USB HID device "
                    "with the terminal's IDs is attached"))
        << noTerminal.err;

    const RunResult keys = Check({"--keys", WindowsPath(terminalIni)});
    EXPECT_EQ(0, keys.exitCode) << keys.err;
    std::istringstream lines(keys.out);
    std::string line;
    std::getline(lines, line);
    for (const testsupport::KeyReportRow& row :
         testsupport::ExpectedKeyReportRows(testsupport::MixedKeyStatesExpectation())) {
        std::getline(lines, line);
        EXPECT_EQ(row.line, line.substr(0, row.line.size())) << keys.out;
    }
    EXPECT_TRUE(Has(keys.out, "\nThe terminal answered 20 of the 20 key-test requests")) << keys.out;
    const testsupport::TermsimTranscript t = sim.transcript();
    EXPECT_TRUE(t.errors().empty()) << t.errors().front();
    testsupport::ExpectFrames(t, testsupport::MixedKeyStatesExpectation());

    const RunResult udev = Check({"--udev-rules"});
    EXPECT_EQ(2, udev.exitCode);
    EXPECT_TRUE(Has(udev.err, "--udev-rules is for Linux only")) << udev.err;

    EXPECT_TRUE(prefix.deleteKey(key, build.b32Bit));
    EXPECT_TRUE(prefix.mapComPorts({{kTerminalPort, ""}, {kBusyPort, ""}}));
}

INSTANTIATE_TEST_SUITE_P(Wine, WineKeyprobeCheck, ::testing::ValuesIn(winesuite::kBuilds),
                         winesuite::BuildName);

}  // namespace
