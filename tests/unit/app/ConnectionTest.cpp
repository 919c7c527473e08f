// Connection set-up: the INI settings with their defaults and conversions, and the
// open or failed set-up of the link over a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "COMHIDUSBPort.h"
#include "Connection.h"
#include "DebugFile.h"
#include "Port.h"
#include "ScopedEnv.h"
#include "SerialPort.h"
#include "TempFiles.h"
#include "TerminalLink.h"
#include "TerminalUsbIds.h"
#include "USBPort.h"
#include "VLIProtocol.h"

namespace {

// An INI file with the text, removed with its folder at the end of the scope.
class TempIni {
public:
    explicit TempIni(const std::string& text) { EXPECT_TRUE(testsupport::writeTextFile(m_path, text)); }
    const char* path() const { return m_path.c_str(); }

private:
    testsupport::TempDir m_dir{"connection-test"};
    const std::string m_path = m_dir.file("conn.ini");
};

ConnectionSettings Read(const std::string& text) {
    TempIni ini(text);
    ConnectionSettings settings;
    ReadConnectionSettings(ini.path(), settings);
    return settings;
}

void ExpectSettings(const ConnectionSettings& s, int nKind, const char* port, int nBaud, int nParity,
                    int nSize, int nStop, const char* ipAddress, int nIPPort) {
    EXPECT_EQ(nKind, s.nPortKind);
    EXPECT_STREQ(port, s.csPort);
    EXPECT_EQ(nBaud, s.nBaudrate);
    EXPECT_EQ(nParity, s.nParity);
    EXPECT_EQ(nSize, s.nByteSize);
    EXPECT_EQ(nStop, s.nStopBits);
    EXPECT_STREQ(ipAddress, s.csIPAddress);
    EXPECT_EQ(nIPPort, s.nIPPort);
}

void ExpectDefaults(const ConnectionSettings& s) {
    ExpectSettings(s, PORT_KIND_SERIAL, "COM1", 19200, 0, 8, 0, "192.168.1.2", 8009);
}

TEST(ConnectionSettingsFromIni, DefaultsWhenThereIsNothingToRead) {
    ConnectionSettings fromEmptyPath;
    ReadConnectionSettings("", fromEmptyPath);
    ExpectDefaults(fromEmptyPath);

    ConnectionSettings fromMissingFile;
    ReadConnectionSettings("/nonexistent/keyprobe.ini", fromMissingFile);
    ExpectDefaults(fromMissingFile);

    ExpectDefaults(Read("[Other]\r\nPort=COM7\r\n"));
    // A malformed line rejects the file, also the section read before it.
    ExpectDefaults(Read("[Connection]\r\nPort=COM7\r\nnonsense\r\n"));
}

TEST(ConnectionSettingsFromIni, EveryKeyReplacesItsDefault) {
    const ConnectionSettings s =
        Read("[Connection]\r\nConnectType=Serial Port\r\nPort=/dev/ttyUSB3\r\nBaudrate=9600\r\n"
             "Parity=2\r\nByteSize=7\r\nStopBits=1\r\nIPAddress=10.0.0.9\r\nIPPort=9100\r\n");
    ExpectSettings(s, PORT_KIND_SERIAL, "/dev/ttyUSB3", 9600, 2, 7, 1, "10.0.0.9", 9100);
}

TEST(ConnectionSettingsFromIni, OnlyConnectTypeIsTrimmed) {
    const ConnectionSettings s = Read("[Connection]\nConnectType= \tTCP/IP Port \t\nPort= COM3\n");
    EXPECT_EQ(PORT_KIND_TCPIP, s.nPortKind);
    EXPECT_STREQ(" COM3", s.csPort);
}

TEST(ConnectionSettingsFromIni, NumbersFollowAtoi) {
    const ConnectionSettings s = Read("[Connection]\nBaudrate=9600x\nParity=abc\nByteSize= 7\nIPPort=-5\n");
    EXPECT_EQ(9600, s.nBaudrate);
    EXPECT_EQ(0, s.nParity);
    EXPECT_EQ(7, s.nByteSize);
    EXPECT_EQ(-5, s.nIPPort);
}

TEST(ConnectionPortKind, ExactCaseSensitiveMatchAfterTrimming) {
    EXPECT_EQ(PORT_KIND_SERIAL, PortKindFromConnectType("Serial Port"));
    EXPECT_EQ(PORT_KIND_USB_HID, PortKindFromConnectType("USB Device"));
    EXPECT_EQ(PORT_KIND_TCPIP, PortKindFromConnectType("\r\n\v\fTCP/IP Port  "));
    EXPECT_EQ(PORT_KIND_USBIO, PortKindFromConnectType("USBIO Device"));
    EXPECT_EQ(PORT_KIND_SERIAL, PortKindFromConnectType("tcp/ip port"));
    EXPECT_EQ(PORT_KIND_SERIAL, PortKindFromConnectType("TCP/IP  Port"));
    EXPECT_EQ(PORT_KIND_SERIAL, PortKindFromConnectType(""));
}

// Runs ConnectTerminal on an INI file and tears the set-up down afterwards. COM names
// resolve in an empty folder, so that the default COM1 never reaches a real device.
struct ConnectFixture : ::testing::Test {
    testsupport::TempDir dosDevices{"connection-test-dos"};
    testsupport::ScopedEnv dosDevicesSetting{"IOCLASSLIB_DOSDEVICES", dosDevices.path()};

    void SetUp() override { ASSERT_FALSE(dosDevices.path().empty()); }
    void Connect(const std::string& text, signed char expected) {
        TempIni ini(text);
        strncpy(g_szInputFile, ini.path(), sizeof(g_szInputFile) - 1);
        EXPECT_EQ(expected, ConnectTerminal());
        g_szInputFile[0] = '\0';
    }
    void TearDown() override { DisconnectTerminal(); }
};

TEST_F(ConnectFixture, WithoutInputFileTheDefaultSerialPortIsTried) {
    g_szInputFile[0] = '\0';
    EXPECT_EQ(CONNECT_FAILED, ConnectTerminal());
    ASSERT_NE(nullptr, g_pTerminalLink);
    CSerialPort* port = dynamic_cast<CSerialPort*>(g_pTerminalLink->GetPort());
    ASSERT_NE(nullptr, port);
    EXPECT_STREQ("COM1", port->m_strPort);
    EXPECT_EQ(19200u, port->m_dwBaudrate);
    EXPECT_EQ(0, port->m_nParity);
    EXPECT_EQ(8, port->m_nByteSize);
    EXPECT_EQ(0, port->m_nStopBits);
    EXPECT_EQ(g_pDebugFile, port->m_pDebugFile);
}

TEST(ConnectionPortCreation, SerialSettingsReachThePort) {
    CDebugFile log("");
    ConnectionSettings settings;
    settings.csPort = " COM3";
    settings.nBaudrate = 9600;
    settings.nParity = 2;
    settings.nByteSize = 7;
    settings.nStopBits = 2;
    CPort* created = CreateTerminalPort(settings, &log);
    CSerialPort* port = dynamic_cast<CSerialPort*>(created);
    ASSERT_NE(nullptr, port);
    EXPECT_STREQ(" COM3", port->m_strPort);
    EXPECT_EQ(9600u, port->m_dwBaudrate);
    EXPECT_EQ(2, port->m_nParity);
    EXPECT_EQ(7, port->m_nByteSize);
    EXPECT_EQ(2, port->m_nStopBits);
    EXPECT_EQ(10000u, port->m_ReadWriteTimeout);
    delete created;
}

TEST_F(ConnectFixture, MissingSerialDeviceFailsButKeepsTheObjects) {
    Connect("[Connection]\nPort=/nonexistent/tty\n", CONNECT_FAILED);
    ASSERT_NE(nullptr, g_pTerminalLink);
    EXPECT_NE(nullptr, g_pDebugFile);
    EXPECT_NE(nullptr, dynamic_cast<CSerialPort*>(g_pTerminalLink->GetPort()));
    EXPECT_NE(nullptr, dynamic_cast<CVLIProtocol*>(g_pTerminalLink->GetProtocol()));
    EXPECT_FALSE(g_pTerminalLink->IsOpen());

    DisconnectTerminal();
    EXPECT_EQ(nullptr, g_pTerminalLink);
    EXPECT_EQ(nullptr, g_pDebugFile);
}

TEST_F(ConnectFixture, PseudoTerminalOpensWithTheRunsTimeout) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(0, grantpt(master));
    ASSERT_EQ(0, unlockpt(master));
    const std::string slave = ptsname(master);

    Connect("[Connection]\r\nConnectType=Serial Port\r\nPort=" + slave + "\r\nBaudrate=9600\r\n", CONNECT_OK);
    ASSERT_NE(nullptr, g_pTerminalLink);
    EXPECT_TRUE(g_pTerminalLink->IsOpen());
    EXPECT_EQ(60000u, g_pTerminalLink->GetReadWriteTimeout());
    EXPECT_EQ(1, g_pTerminalLink->GetPort()->GetProtocolType());

    // The tests' setting may shorten the time-out, never lengthen it.
    const std::string ini = "[Connection]\r\nPort=" + slave + "\r\n";
    for (const auto& setting : {std::make_pair("2500", 2500u), std::make_pair("60001", 60000u),
                                std::make_pair("0", 60000u), std::make_pair("3s", 60000u)}) {
        testsupport::ScopedEnv timeout("KEYPROBE_LINK_TIMEOUT_MS", setting.first);
        Connect(ini, CONNECT_OK);
        EXPECT_EQ(setting.second, g_pTerminalLink->GetReadWriteTimeout()) << setting.first;
    }

    // A second set-up starts by taking the first one down.
    Connect("[Connection]\nPort=/nonexistent/tty\n", CONNECT_FAILED);
    EXPECT_FALSE(g_pTerminalLink->IsOpen());
    close(master);
}

TEST_F(ConnectFixture, UsbDeviceBuildsTheHidPortWhichFailsWithoutItsTerminal) {
    // No virtual device; the terminal's IDs are not among the machine's devices.
    testsupport::ScopedEnv noVirtual("IOCLASSLIB_VIRTUAL_HID", "");
    Connect("[Connection]\nConnectType=USB Device\n", CONNECT_FAILED);
    ASSERT_NE(nullptr, g_pTerminalLink);
    CCOMHIDUSBPort* port = dynamic_cast<CCOMHIDUSBPort*>(g_pTerminalLink->GetPort());
    ASSERT_NE(nullptr, port);
    EXPECT_EQ(4096u, port->m_dwBufferSize);
    EXPECT_FALSE(g_pTerminalLink->IsOpen());
}

TEST_F(ConnectFixture, UsbDeviceIdsReplaceTheTableForTheRunAndAMalformedValueOpensNothing) {
    Connect("[Connection]\nPort=/nonexistent/tty\nUsbDeviceIds=0abc:0010 , 1209:0003\n", CONNECT_FAILED);
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    ASSERT_EQ(2, GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX));
    EXPECT_EQ(0x0ABC, ids[0].wVendorId);
    EXPECT_EQ(0x0010, ids[0].wProductId);
    EXPECT_EQ(0x0003, ids[1].wProductId);

    // Without the key the built-in table is back.
    Connect("[Connection]\nPort=/nonexistent/tty\n", CONNECT_FAILED);
    EXPECT_EQ(TERMINAL_USB_ID_MAX, GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX));
}

// A value that cannot mean what it says ends the set-up with the key and the value on
// standard error before any port is made, whatever the port kind; a long value is cut.
TEST_F(ConnectFixture, AMalformedValueIsNamedAndNothingIsOpened) {
    const struct {
        const char* line;
        const char* error;
    } rows[] = {
        {"IPPort=83545", "Error in [Connection] IPPort: \"83545\" is not a TCP port number from 1 to 65535"},
        {"IPPort=65536", "IPPort: \"65536\" is not"},
        {"IPPort=0", "IPPort: \"0\" is not"},
        {"IPPort=-1", "IPPort: \"-1\" is not"},
        {"IPPort=abc", "IPPort: \"abc\" is not"},
        {"IPPort=1e3", "IPPort: \"1e3\" is not"},
        {"IPPort=8009x", "IPPort: \"8009x\" is not"},
        {"IPPort=", "IPPort: \"\" is not"},
        {"IPPort=0000000000000008009", "IPPort: \"0000000000000008009\" is not"},
        {"UsbDeviceIds=1209", "Error in [Connection] UsbDeviceIds: expected VVVV:PPPP"},
        {"UsbDeviceIds=1209:0001;1209:0002", "UsbDeviceIds: expected a comma"},
        {"UsbDeviceIds=", "UsbDeviceIds: expected VVVV:PPPP"},
        {"UsbioInterfaceGuid=garbage", "Error in [Connection] UsbioInterfaceGuid: \"garbage\" is not a GUID "
                                       "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}"},
        {"UsbioInterfaceGuid={1c2a4e98-fb5f-4727-af55-45d18e8e4df9",
         "UsbioInterfaceGuid: \"{1c2a4e98-fb5f-4727-af55-45d18e8e4df9\" is not"},
        {"UsbioInterfaceGuid=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
         "UsbioInterfaceGuid: \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx...\" (74 "
         "characters) is not"},
    };
    for (const char* type : {"Serial Port", "TCP/IP Port", "USB Device", "USBIO Device"}) {
        for (const auto& row : rows) {
            testing::internal::CaptureStderr();
            Connect(std::string("[Connection]\nConnectType=") + type + "\n" + row.line + "\n",
                    CONNECT_FAILED);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_NE(std::string::npos, err.find(row.error)) << type << ", " << row.line << ": " << err;
            EXPECT_EQ(nullptr, g_pTerminalLink) << type << ", " << row.line;
        }
    }
}

// A missing IPPort keeps 8009, blanks around a good one are no fault, and the port is given
// the number as written.
TEST(ConnectionPortCreation, AWellFormedOrMissingIPPortReachesThePort) {
    const struct {
        const char* text;
        int nPort;
    } rows[] = {{"", 8009}, {"IPPort=1\n", 1}, {"IPPort= 65535 \n", 65535}, {"IPPort=08009\n", 8009}};
    for (const auto& row : rows) {
        const ConnectionSettings settings =
            Read(std::string("[Connection]\nConnectType=TCP/IP Port\n") + row.text);
        CString csError;
        EXPECT_TRUE(ApplyConnectionSettings(settings, csError)) << row.text << (LPCTSTR)csError;
        EXPECT_EQ(row.nPort, settings.nIPPort) << row.text;
    }
}

TEST(ConnectionPortCreation, UsbioInterfaceGuidReplacesTheBuiltInOneForThePort) {
    const struct {
        const char* text;
        bool bGuid;
        GUID guid;
    } rows[] = {
        {"{1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}", true, USBIO_DEVICE_INTERFACE_GUID},
        {"a5dcbf10-6530-11d2-901f-00c04fb951ed",
         true,
         {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}}},
        {"a5dcbf10-6530-11d2-901f00c04fb951ed00", false, {}},
        {"a5dcbf10-6530-11d2-901f-00c04fb951eg", false, {}},
        {" a5dcbf10-6530-11d2-901f-00c04fb951ed", false, {}},
        {"", false, {}},
    };
    for (const auto& row : rows) {
        GUID parsed = {};
        EXPECT_EQ(row.bGuid, ParseInterfaceGuid(row.text, &parsed) != FALSE) << row.text;
        if (!row.bGuid)
            continue;
        EXPECT_EQ(0, memcmp(&parsed, &row.guid, sizeof(GUID))) << row.text;
        ConnectionSettings settings;
        settings.nPortKind = PORT_KIND_USBIO;
        settings.bUsbioInterfaceGuidGiven = TRUE;
        settings.csUsbioInterfaceGuid = row.text;
        std::unique_ptr<CPort> port(CreateTerminalPort(settings, nullptr));
        CUSBPort* usb = dynamic_cast<CUSBPort*>(port.get());
        ASSERT_NE(nullptr, usb);
        EXPECT_EQ(0, memcmp(&usb->m_InterfaceGuid, &row.guid, sizeof(GUID))) << row.text;
    }
}

}  // namespace
