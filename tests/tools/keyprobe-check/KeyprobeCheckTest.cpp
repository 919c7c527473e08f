// The device check as a technician runs it: a serial port (a pseudo-terminal reached as
// COM5) that this user can open, may not open, or finds busy; a TCP/IP terminal; the
// registry store's debug-log switches; and the udev rules made from the library's ID table.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TempFiles.h"
#include "TermsimProcess.h"
#include "TerminalUsbIds.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

RunResult RunCheck(const std::vector<std::string>& args, RunOptions options = RunOptions(),
                   bool bAsNobody = false) {
    std::vector<std::string> argv;
    if (bAsNobody)
        argv = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"};
    argv.push_back(KEYPROBE_CHECK_BIN);
    argv.insert(argv.end(), args.begin(), args.end());
    options.timeoutMs = 30000;
    return testsupport::runProcess(argv, testsupport::isolatedFromMachine(options));
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A pseudo-terminal whose slave the INI file names as COM5 through a dosdevices folder.
class PtyAsCom5 : public testing::Test {
protected:
    void SetUp() override {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m_master, 0);
        ASSERT_EQ(grantpt(m_master), 0);
        ASSERT_EQ(unlockpt(m_master), 0);
        m_slave = ptsname(m_master);
        // Another user has to reach the INI file and the link.
        ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
        ASSERT_EQ(symlink(m_slave.c_str(), m_dir.file("com5").c_str()), 0);
        ASSERT_TRUE(testsupport::writeTextFile(m_dir.file("serial.ini"), "[Connection]\nPort=COM5\n"));
        m_options.setEnv["IOCLASSLIB_DOSDEVICES"] = m_dir.path();
    }
    void TearDown() override {
        if (m_master >= 0)
            close(m_master);
    }

    int m_master = -1;
    std::string m_slave;
    testsupport::TempDir m_dir{"keyprobe-check-test"};
    RunOptions m_options;
};

struct AccessCase {
    const char* name;
    bool bAsNobody;
    gid_t gid;
    mode_t mode;
    int nExit;
    const char* expected;
};

TEST_F(PtyAsCom5, SaysWhetherThisUserCanOpenThePortAndWhatWouldFixIt) {
    const AccessCase cases[] = {
        {"owner", false, 0, 0620, 0, "opened and closed again, nothing sent: keyprobe can use it"},
        {"open to all", true, 0, 0666, 0, "opened and closed again"},
        {"group dialout", true, 20, 0660, 1,
         "permission denied (root:dialout, mode 0660) (error 5)\n"
         "  fix: join the group dialout (sudo usermod -aG dialout nobody)"},
        {"unreadable", true, 0, 0000, 1, "fix: give the node to a group you can join with a udev rule"},
    };
    for (const AccessCase& c : cases) {
        if (c.bAsNobody && geteuid() != 0) {
            ADD_FAILURE() << "not root: cannot run as another user; skipping " << c.name;
            continue;
        }
        if (geteuid() == 0) {
            ASSERT_EQ(chown(m_slave.c_str(), 0, c.gid), 0);
            ASSERT_EQ(chmod(m_slave.c_str(), c.mode), 0);
        }
        const RunResult r = RunCheck({m_dir.file("serial.ini")}, m_options, c.bAsNobody);
        EXPECT_EQ(r.exitCode, c.nExit) << c.name << "\n" << r.out << r.err;
        EXPECT_TRUE(Has(r.out, c.expected)) << c.name << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, "keyprobe would open: Serial Port COM5, Baudrate 19200")) << r.out;
        EXPECT_TRUE(Has(r.out, "  " + m_slave + "  (COM5)")) << c.name << ": the listing names the port\n"
                                                             << r.out;
    }
}

TEST_F(PtyAsCom5, NamesTheProgramHoldingThePortAsTheReason) {
    const int fd = open(m_slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    const RunResult r = RunCheck({"--json", m_dir.file("serial.ini")}, m_options);
    close(fd);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "\"can_open\": false")) << r.out;
    EXPECT_TRUE(Has(r.out, "another program has it open")) << r.out;
}

TEST(KeyprobeCheckTcp, OpensTheTerminalsAddressAndNamesARefusal) {
    testsupport::TermsimProcess sim({"--transport", "tcp"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::TempDir dir("keyprobe-check-test");
    ASSERT_TRUE(testsupport::writeTcpIni(dir.file("up.ini"), sim.tcpPort()));

    // A port that nothing listens on: bound, never listened to, closed.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ASSERT_EQ(bind(s, (sockaddr*)&addr, sizeof(addr)), 0);
    ASSERT_EQ(getsockname(s, (sockaddr*)&addr, &len), 0);
    close(s);
    ASSERT_TRUE(testsupport::writeTcpIni(dir.file("down.ini"), ntohs(addr.sin_port)));

    RunResult r = RunCheck({dir.file("up.ini")});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "keyprobe would open: TCP/IP Port 127.0.0.1:" + std::to_string(sim.tcpPort())))
        << r.out;
    EXPECT_TRUE(sim.transcript().rxFrames().empty()) << "the check sent a frame";

    r = RunCheck({dir.file("down.ini")});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "connection refused")) << r.out;
}

TEST(KeyprobeCheckRegistry, ReportsTheDebugLogSwitchesOfTheExampleStore) {
    RunOptions options;
    options.setEnv["IOCLASSLIB_REGISTRY"] = KEYPROBE_SOURCE_DIR "/examples/registry.reg";
    options.setEnv["IOCLASSLIB_DEBUG_OUTPUT"] = "stderr";
    const RunResult r = RunCheck({}, options);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "(from IOCLASSLIB_REGISTRY): read\n")) << r.out;
    EXPECT_TRUE(Has(r.out, "IOClassLib\\SERIAL_PORT: debug log on, file /var/tmp/ioclasslib-serial.log\n"))
        << r.out;
    EXPECT_TRUE(Has(r.out, "IOClassLib\\HIDUSB_PORT: debug log off")) << r.out;
    EXPECT_TRUE(Has(r.out, "debugger output (IOCLASSLIB_DEBUG_OUTPUT): standard error")) << r.out;
}

// --debug-key narrows the switches to one key and those below it, written as people copy
// keys from a registry editor or from reg.exe.
TEST(KeyprobeCheckRegistry, DebugKeyListsTheSwitchesOfOneKeyAndThoseBelowIt) {
    RunOptions options;
    options.setEnv["IOCLASSLIB_REGISTRY"] = KEYPROBE_SOURCE_DIR "/examples/registry.reg";
    const struct {
        const char* key;
        bool bSerial, bHid;
        const char* said;
    } rows[] = {
        {"HKLM\\SOFTWARE\\Lane\\IOClassLib\\SERIAL_PORT", true, false, ""},
        {"HKEY_LOCAL_MACHINE\\SOFTWARE\\Lane\\", true, true, ""},
        {"software\\lane\\IOClassLib\\HIDUSB_PORT", false, true, ""},
        {"SOFTWARE\\Lane\\IOClassLib\\USB_PORT", false, false,
         "HKEY_LOCAL_MACHINE\\SOFTWARE\\Lane\\IOClassLib\\USB_PORT does not exist, so no debug log below it "
         "is on"},
    };
    for (const auto& row : rows) {
        const RunResult r = RunCheck({"--debug-key", row.key}, options);
        EXPECT_EQ(r.exitCode, 0) << row.key << "\n" << r.err;
        EXPECT_EQ(row.bSerial, Has(r.out, "IOClassLib\\SERIAL_PORT: debug log on")) << row.key << "\n"
                                                                                    << r.out;
        EXPECT_EQ(row.bHid, Has(r.out, "IOClassLib\\HIDUSB_PORT: debug log off")) << row.key << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, row.said)) << row.key << "\n" << r.out;
    }
    EXPECT_EQ(2, RunCheck({"--keys", "--debug-key", "SOFTWARE", "terminal.ini"}, options).exitCode);
}

// Whatever the store names, the check reads it as the library does and finishes: a FIFO
// nobody writes, an endless device and a store beyond the size limit are refused unread.
TEST(KeyprobeCheckRegistry, SaysWhyAStoreCannotBeUsedWithoutWaitingOrReadingWithoutEnd) {
    testsupport::TempDir dir("keyprobe-check-test");
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("bad.reg"), "REGEDIT4\nnot a line of a store\n"));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("huge.reg"), "REGEDIT4\n;" + std::string(17 << 20, 'c')));
    ASSERT_EQ(mkfifo(dir.file("fifo.reg").c_str(), 0600), 0);
    const struct {
        std::string store;
        const char* state;
    } rows[] = {
        {dir.file("fifo.reg"), "is a FIFO, not a file: the library does not read it"},
        {"/dev/zero", "is a character device, not a file"},
        {dir.path(), "is a directory, not a file"},
        {dir.file("missing.reg"), "missing, so every debug log is off"},
        {dir.file("bad.reg"), "malformed (or too large: 31 bytes), so no key opens"},
        {dir.file("huge.reg"), "malformed (or too large: 17825802 bytes)"},
    };
    for (const auto& row : rows) {
        RunOptions options;
        options.setEnv["IOCLASSLIB_REGISTRY"] = row.store;
        const RunResult r = RunCheck({"--json"}, options);
        EXPECT_EQ(r.exitCode, 0) << row.store << "\n" << r.err;
        EXPECT_TRUE(Has(r.out, std::string("\"state\": \"") + row.state)) << row.store << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, "\"debug_log_switches\": []")) << row.store << "\n" << r.out;
    }
}

TEST(KeyprobeCheckUdevRules, OneHidrawAndOneUsbRuleForEachPairOfTheLibrarysTable) {
    const RunResult r = RunCheck({"--udev-rules"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    const int nCount = GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX);
    size_t nRules = 0;
    for (size_t pos = 0; (pos = r.out.find("GROUP=\"plugdev\"", pos)) != std::string::npos; ++pos)
        ++nRules;
    EXPECT_EQ(nRules, 2u * (size_t)nCount);
    for (int i = 0; i < nCount; ++i) {
        char szPair[64];
        snprintf(szPair, sizeof(szPair), "ATTRS{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"",
                 ids[i].wVendorId, ids[i].wProductId);
        EXPECT_TRUE(Has(r.out, std::string("SUBSYSTEM==\"hidraw\", ") + szPair)) << szPair;
    }
}

}  // namespace

namespace {

// Virtual HID and USBIO devices of termsim, listed through the library's enumeration:
// marked as the terminal only when their IDs are in the table. A family that this termsim
// or this build does not serve is left out.
struct VirtualCase {
    const char* kind;
    const char* transport;
    const char* socketOption;
    const char* idOption;
    const char* environment;
    const char* usbId;
    const char* expected;
};

TEST(KeyprobeCheckUsb, ListsVirtualDevicesAndMarksTheTerminalsIds) {
    const VirtualCase cases[] = {
        {"hid", "hid", "--socket", "--usb-id", "IOCLASSLIB_VIRTUAL_HID", "1209:0001",
         "\"vendor_id\": \"1209\", \"product_id\": \"0001\", \"terminal\": true"},
        {"hid", "hid", "--socket", "--usb-id", "IOCLASSLIB_VIRTUAL_HID", "046d:c077",
         "\"vendor_id\": \"046d\", \"product_id\": \"c077\", \"terminal\": false"},
        {"usb", "usbio", "--usbio-socket", "--usbio-id", "IOCLASSLIB_VIRTUAL_USBIO", "1209:0002",
         "\"vendor_id\": \"1209\", \"product_id\": \"0002\", \"terminal\": true"},
        {"usb", "usbio", "--usbio-socket", "--usbio-id", "IOCLASSLIB_VIRTUAL_USBIO", "abcd:0001",
         "\"vendor_id\": \"abcd\", \"product_id\": \"0001\", \"terminal\": false"},
    };
    int nRun = 0;
    for (const VirtualCase& c : cases) {
        testsupport::TempDir dir("keyprobe-check-test");
        const std::string socket = dir.file("device.sock");
        testsupport::TermsimProcess sim(
            {"--transport", c.transport, c.socketOption, socket, c.idOption, c.usbId});
        if (!sim.ready())
            continue;
        RunOptions options;
        options.setEnv[c.environment] = socket;
        const RunResult r = RunCheck({"--json"}, options);
        if (Has(r.out, std::string("{\"kind\": \"") + c.kind + "\", \"problem\": \"this build has no"))
            continue;
        ++nRun;
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(Has(r.out, std::string("{\"kind\": \"") + c.kind + "\", \"path\": \"\\\\\\\\?\\\\"))
            << r.out;
        EXPECT_TRUE(Has(r.out, c.expected)) << r.out;
        EXPECT_TRUE(Has(r.out, "\"can_open\": true")) << r.out;
    }
    if (nRun == 0)
        GTEST_SKIP() << "neither termsim nor this build serve virtual USB devices";
}

}  // namespace

namespace {

// The INI file's port judged as keyprobe would set it up: its UsbDeviceIds and
// UsbioInterfaceGuid honoured, a value keyprobe refuses refused in keyprobe's words.
TEST(KeyprobeCheckInput, OpensTheUsbDevicesWithTheFilesSettingsAndRefusesWhatKeyprobeRefuses) {
    const struct {
        const char* transport;
        const char* line;
        int nExit;
        const char* expected;
    } rows[] = {
        {"usbio", "", 0, "keyprobe can use it"},
        {"usbio", "UsbioInterfaceGuid={1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}", 0, "keyprobe can use it"},
        {"usbio", "UsbioInterfaceGuid=6a5d6c70-1111-4a5e-9a2f-123456789abc", 1, "cannot open USBIO Device"},
        {"usbio", "UsbioInterfaceGuid=garbage", 1,
         "Error in [Connection] UsbioInterfaceGuid: \"garbage\" is not a GUID"},
        {"usbio", "UsbDeviceIds=abcd:0001", 1, "cannot open USBIO Device"},
        {"usbio", "UsbDeviceIds=abcd:0001, 1209:0001", 0, "keyprobe can use it"},
        {"hid", "UsbDeviceIds=abcd:0001", 1, "cannot open USB Device"},
        {"hid", "UsbDeviceIds=abcd:0001,1209:0001", 0, "keyprobe can use it"},
        {"hid", "UsbDeviceIds=1209", 1, "Error in [Connection] UsbDeviceIds: expected VVVV:PPPP"},
        {"hid", "IPPort=83545", 1, "Error in [Connection] IPPort: \"83545\" is not a TCP port number"},
    };
    for (const auto& row : rows) {
        const bool bHid = std::string(row.transport) == "hid";
        testsupport::TempDir dir("keyprobe-check-test");
        const std::string socket = dir.file("device.sock");
        testsupport::TermsimProcess sim(
            {"--transport", row.transport, bHid ? "--socket" : "--usbio-socket", socket});
        ASSERT_TRUE(sim.ready()) << sim.error();
        ASSERT_TRUE(testsupport::writeTextFile(dir.file("t.ini"), std::string("[Connection]\nConnectType=") +
                                                                      (bHid ? "USB Device" : "USBIO Device") +
                                                                      "\n" + row.line + "\n"));
        RunOptions options;
        options.setEnv[bHid ? "IOCLASSLIB_VIRTUAL_HID" : "IOCLASSLIB_VIRTUAL_USBIO"] = socket;
        const RunResult r = RunCheck({dir.file("t.ini")}, options);
        EXPECT_EQ(r.exitCode, row.nExit) << row.line << "\n" << r.out << r.err;
        EXPECT_TRUE(Has(r.out, row.expected)) << row.line << "\n" << r.out;
        EXPECT_TRUE(sim.transcript().rxFrames().empty()) << row.line << ": the check sent a frame";
    }
}

// The rules cover the USB IDs keyprobe would use for the INI file given.
TEST(KeyprobeCheckUdevRules, FollowTheInputFilesUsbDeviceIds) {
    testsupport::TempDir dir("keyprobe-check-test");
    ASSERT_TRUE(
        testsupport::writeTextFile(dir.file("ids.ini"), "[Connection]\nUsbDeviceIds=0ABC:0010, 1234:5678\n"));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("none.ini"), "[Connection]\nConnectType=USB Device\n"));
    ASSERT_TRUE(
        testsupport::writeTextFile(dir.file("bad.ini"), "[Connection]\nUsbDeviceIds=0ABC:0010;1234:5678\n"));
    const struct {
        std::string ini;
        int nExit;
        size_t nRules;
        const char* expected;
    } rows[] = {
        {dir.file("ids.ini"), 0, 4,
         "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"1234\", "
         "ATTR{idProduct}==\"5678\""},
        {dir.file("none.ini"), 0, 2 * TERMINAL_USB_ID_MAX,
         "ATTRS{idVendor}==\"1209\", ATTRS{idProduct}==\"0008\""},
        {dir.file("missing.ini"), 0, 2 * TERMINAL_USB_ID_MAX, "ATTRS{idProduct}==\"0001\""},
        {dir.file("bad.ini"), 1, 0, ""},
    };
    for (const auto& row : rows) {
        const RunResult r = RunCheck({"--udev-rules", row.ini});
        EXPECT_EQ(r.exitCode, row.nExit) << row.ini << "\n" << r.err;
        size_t nRules = 0;
        for (size_t pos = 0; (pos = r.out.find("GROUP=\"plugdev\"", pos)) != std::string::npos; ++pos)
            ++nRules;
        EXPECT_EQ(nRules, row.nRules) << row.ini << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, row.expected)) << row.ini << "\n" << r.out;
        if (row.nExit != 0) {
            EXPECT_TRUE(Has(r.err, "Error in [Connection] UsbDeviceIds: expected a comma")) << r.err;
        }
    }
}

}  // namespace

namespace {

// An INI file whose name is not UTF-8 still gives valid JSON, with the name recoverable.
TEST(KeyprobeCheckJson, AFileNameThatIsNotUtf8StaysValidAndRecoverable) {
    testsupport::TempDir dir("keyprobe-check-test");
    const std::string name = dir.file("bad\xffname\xc3.ini");
    ASSERT_TRUE(testsupport::writeTextFile(name, "[Connection]\nConnectType=TCP/IP Port\nIPPort=1\n"));
    const RunResult r = RunCheck({"--json", name});
    EXPECT_EQ(std::string::npos, r.out.find_first_of("\xff\xc3")) << r.out;
    EXPECT_TRUE(Has(r.out, "bad\\udcffname\\udcc3.ini\"")) << r.out;
}

}  // namespace
