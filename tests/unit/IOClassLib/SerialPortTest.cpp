// The serial port over a pseudo-terminal: the test holds the master side as the terminal.
#include <SerialPort.h>

#include <gtest/gtest.h>

#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "../platform/win32/CommTestPty.h"
#include "DebugOutputCapture.h"
#include "TempRegistryStore.h"

namespace fs = std::filesystem;

namespace {

using commtest::Bytes;
using commtest::PtyPair;

const char kLogKey[] = "SOFTWARE\\KeyProbeSerialTests\\";

// A terminal on a pseudo-terminal, a debug log switched on (through the device "Dravon",
// whose first line opens the one file every later line goes to), and the debugger output
// in a file.
class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        ASSERT_FALSE(tmp.path().empty());
        ASSERT_TRUE(store.ok());
        log.reset(new CDebugFile(kLogKey));
        log->Log(0, "+SerialPortTest", "Dravon");
    }
    void TearDown() override { log.reset(); }

    fs::path LogPath() const { return dir / "io.txt"; }
    std::string LogText() {
        log->CloseFile();
        return testsupport::readTextFile(LogPath());
    }
    std::string DebuggerText() const { return debugger.Text(); }

    // A port on the pseudo-terminal with the key check's line: 19200 8N1.
    std::unique_ptr<CSerialPort> MakePort(DWORD baud = 19200) {
        return std::unique_ptr<CSerialPort>(
            new CSerialPort(log.get(), CString(pty.slavePath().c_str()), baud, 0, 8, 0));
    }
    std::unique_ptr<CSerialPort> OpenedPort(DWORD timeoutMs) {
        std::unique_ptr<CSerialPort> port = MakePort();
        if (!port->OpenPort())
            return nullptr;
        port->m_ReadWriteTimeout = timeoutMs;
        return port;
    }

    PtyPair pty;
    testsupport::TempDir tmp{"keyprobe-serial"};
    const fs::path dir{tmp.path()};
    testsupport::TempRegistryStore store{
        tmp.file("registry.reg"),
        testsupport::debugLogStore(std::string(kLogKey) + "Dravon", tmp.file("io.txt"))};
    DebugOutputCapture debugger;
    std::unique_ptr<CDebugFile> log;
};

// ---- Construction and opening ---------------------------------------------------------------

TEST(SerialPortConstruction, TheSystemsConstructorAndTheDefaultOneDiffer) {
    CSerialPort port(nullptr, CString("COM4"), 19200, 2, 7, 2);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(INVALID_HANDLE_VALUE, port.m_hPort);
    EXPECT_STREQ("COM4", (LPCSTR)port.m_strPort);
    EXPECT_EQ(19200u, port.m_dwBaudrate);
    EXPECT_EQ(2, port.m_nParity);
    EXPECT_EQ(7, port.m_nByteSize);
    EXPECT_EQ(2, port.m_nStopBits);
    EXPECT_EQ(10000u, port.GetReadWriteTimeout());
    EXPECT_EQ(1, port.m_wInputPacketSize);
    EXPECT_EQ(512, port.m_wOutputPacketSize);
    EXPECT_TRUE(port.IsDataAvailableSupported());
    EXPECT_EQ(0u, port.GetRetryCount());
    EXPECT_STREQ("SERIAL_PORT", (LPCSTR)port.m_ThreadWatcher.GetLogDeviceName());
    EXPECT_EQ(1024u, port.GetMaxBufferSize());

    CSerialPort plain(nullptr);
    EXPECT_STREQ("COM1", (LPCSTR)plain.m_strPort);
    EXPECT_EQ(9600u, plain.m_dwBaudrate);
    EXPECT_EQ(0, plain.m_nParity);
    EXPECT_EQ(8, plain.m_nByteSize);
    EXPECT_EQ(0, plain.m_nStopBits);
    EXPECT_EQ(10000u, plain.GetReadWriteTimeout());
    EXPECT_FALSE(plain.IsDataAvailableSupported());
    EXPECT_EQ(1u, plain.GetRetryCount());
    EXPECT_STREQ("SERIAL_PORT", (LPCSTR)plain.m_ThreadWatcher.GetLogDeviceName());
}

TEST_F(SerialPortTest, OpenSetsTheLineFromTheSettingsAndNeverXonXoffOnInput) {
    CSerialPort port(log.get(), CString(pty.slavePath().c_str()), 9600, 2, 7, 2);
    ASSERT_TRUE(port.OpenPort());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(port.IsDisconnected());

    struct termios tio;
    ASSERT_TRUE(pty.LineSettings(&tio));
    EXPECT_EQ((speed_t)B9600, cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
    EXPECT_EQ(0u, tio.c_iflag & IXOFF);
    EXPECT_EQ(0u, tio.c_lflag & (ECHO | ICANON));

    DCB dcb;
    ASSERT_TRUE(GetCommState(port.m_hPort, &dcb));
    EXPECT_EQ(9600u, dcb.BaudRate);
    EXPECT_EQ(EVENPARITY, dcb.Parity);
    EXPECT_EQ(7, dcb.ByteSize);
    EXPECT_EQ(TWOSTOPBITS, dcb.StopBits);
    EXPECT_EQ(0u, dcb.fInX);
}

TEST_F(SerialPortTest, OpeningAMissingPortLogsAndKeepsThePlatformError) {
    CSerialPort port(log.get(), CString("/dev/no-such-terminal"), 19200, 0, 8, 0);
    EXPECT_FALSE(port.OpenPort());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, port.GetLastPortError());
    std::string text = LogText();
    EXPECT_NE(std::string::npos,
              text.find("Device name [Dravon] - -CSerialPort.OpenPort(): hPort == INVALID_HANDLE_VALUE\r\n"))
        << text;
}

TEST_F(SerialPortTest, ARateTheLineCannotTakeFailsTheOpenAndFreesThePort) {
    std::unique_ptr<CSerialPort> port = MakePort(14400);
    EXPECT_FALSE(port->OpenPort());
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, port->GetLastPortError());
    EXPECT_NE(std::string::npos,
              LogText().find("Device name [Dravon] - -CSerialPort.OpenPort(): SetCommState() "
                             "returned 0, GLE=0x57\r\n"));
    // The half-opened handle was closed: the device is free.
    std::unique_ptr<CSerialPort> good = MakePort();
    EXPECT_TRUE(good->OpenPort());
}

TEST_F(SerialPortTest, ASecondOpenOfTheSamePortIsRefused) {
    std::unique_ptr<CSerialPort> first = MakePort();
    std::unique_ptr<CSerialPort> second = MakePort();
    ASSERT_TRUE(first->OpenPort());
    EXPECT_FALSE(second->OpenPort());
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, second->GetLastPortError());
    first.reset();  // the destructor closes the port
    EXPECT_TRUE(second->OpenPort());
}

TEST_F(SerialPortTest, ComNamesResolveThroughTheDosDevicesFolder) {
    fs::path devices = dir / "dosdevices";
    fs::create_directory(devices);
    fs::create_symlink(pty.slavePath(), devices / "com3");
    testsupport::ScopedEnv dosDevices("IOCLASSLIB_DOSDEVICES", devices.string());
    CSerialPort port(log.get(), CString("COM3"), 19200, 0, 8, 0);
    ASSERT_TRUE(port.OpenPort());
    port.m_ReadWriteTimeout = 5000;
    BYTE hello[3] = {'h', 'i', '!'};
    DWORD n = 3;
    ASSERT_TRUE(port.Write(hello, 3, &n));
    EXPECT_EQ(Bytes({'h', 'i', '!'}), pty.Receive(3));
}

TEST_F(SerialPortTest, CloseMarksThePortDisconnectedAndOpenStartsAfresh) {
    std::unique_ptr<CSerialPort> port = OpenedPort(200);
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->ClosePort());
    EXPECT_FALSE(port->IsOpen());
    EXPECT_TRUE(port->IsDisconnected());

    BYTE buf[4];
    DWORD n = 4;
    EXPECT_FALSE(port->Read(buf, 4, &n));
    EXPECT_EQ(4u, n);  // untouched
    EXPECT_NE(std::string::npos, DebuggerText().find("CSerialPort::Read IsOpen() false.\n"));
    EXPECT_FALSE(port->Write(buf, 4, &n));
    EXPECT_EQ(4u, n);

    ASSERT_TRUE(port->OpenPort());
    EXPECT_FALSE(port->IsDisconnected());
    ASSERT_TRUE(pty.Send(Bytes({1, 2, 3, 4})));
    EXPECT_TRUE(port->Read(buf, 4, &n));
    EXPECT_EQ(4u, n);
}

// ---- Writing --------------------------------------------------------------------------------

TEST_F(SerialPortTest, WriteSendsTheCountGiven) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    std::vector<BYTE> request(37);
    for (size_t i = 0; i < request.size(); ++i)
        request[i] = (BYTE)(i * 7);
    DWORD n = 37;
    ASSERT_TRUE(port->Write(request.data(), 37, &n));
    EXPECT_EQ(37u, n);
    EXPECT_EQ(request, pty.Receive(37));
    EXPECT_EQ(0u, port->GetLastPortError());
}

TEST_F(SerialPortTest, WriteOnADisconnectedPortSendsNothing) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    port->SetDisconnected(TRUE);
    BYTE data[3] = {1, 2, 3};
    DWORD n = 3;
    EXPECT_FALSE(port->Write(data, 3, &n));
    EXPECT_EQ(0u, n);
    EXPECT_TRUE(pty.Receive(1, 100).empty());
}

TEST_F(SerialPortTest, WriteRefusesANullBuffer) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    DWORD n = 3;
    EXPECT_FALSE(port->Write(NULL, 3, &n));
    EXPECT_EQ(3u, n);
}

// ---- Reading --------------------------------------------------------------------------------

TEST_F(SerialPortTest, ASilentTerminalGivesFalseAndNoBytes) {
    std::unique_ptr<CSerialPort> port = OpenedPort(100);
    ASSERT_TRUE(port);
    BYTE buf[16];
    DWORD n = 5;
    EXPECT_FALSE(port->Read(buf, sizeof(buf), &n));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(100u, port->GetCurrentReadTimeout());
}

TEST_F(SerialPortTest, ReadCompletesTheFrameItsHeaderAnnounces) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    std::vector<BYTE> frame = Bytes({0x05, 0x0C, 'a', 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88});
    ASSERT_TRUE(pty.Send(frame));
    BYTE buf[64];
    DWORD n = 5;
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &n));
    ASSERT_EQ(12u, n);
    EXPECT_EQ(frame, std::vector<BYTE>(buf, buf + 12));
}

TEST_F(SerialPortTest, LongFormLengthIsUsedOnceFourBytesAreIn) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    std::vector<BYTE> frame = Bytes({0x05, 0x00, 0x09, 0x00, 'a', 1, 2, 3, 0x5A, 0xEE});
    ASSERT_TRUE(pty.Send(frame));
    BYTE buf[64];
    DWORD n = 4;
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &n));
    ASSERT_EQ(9u, n);
    EXPECT_EQ(0x5A, buf[8]);
    // The byte beyond the announced length stays for the next read.
    n = 1;
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &n));
    ASSERT_EQ(1u, n);
    EXPECT_EQ(0xEE, buf[0]);
}

TEST_F(SerialPortTest, ALongFormHeaderWithFewerThanFourBytesReadsNoMore) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x00, 0x40, 0xAA, 0xBB})));
    BYTE buf[64];
    DWORD n = 3;
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &n));
    EXPECT_EQ(3u, n);
    // The rest is still queued; a buffer of two leaves no room to look for more.
    n = 2;
    EXPECT_TRUE(port->Read(buf, 2, &n));
    ASSERT_EQ(2u, n);
    EXPECT_EQ(0xAA, buf[0]);
}

TEST_F(SerialPortTest, FrameCompletionStopsAtTheBufferSize) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    std::vector<BYTE> frame(200, 0x33);
    frame[0] = 0x05;
    frame[1] = 200;
    ASSERT_TRUE(pty.Send(frame));
    BYTE buf[32];
    memset(buf, 0xEE, sizeof(buf));
    DWORD n = 5;
    EXPECT_TRUE(port->Read(buf, 10, &n));
    EXPECT_EQ(10u, n);
    EXPECT_EQ(0x33, buf[9]);
    for (size_t i = 10; i < sizeof(buf); ++i)
        ASSERT_EQ(0xEE, buf[i]) << "byte " << i << " written beyond the buffer size";
}

TEST_F(SerialPortTest, AWantedCountBeyondTheBufferIsCappedAndReportedShort) {
    std::unique_ptr<CSerialPort> port = OpenedPort(300);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(std::vector<BYTE>(16, 0x01)));
    BYTE buf[16];
    memset(buf, 0, sizeof(buf));
    DWORD n = 100;
    EXPECT_FALSE(port->Read(buf, 8, &n));
    EXPECT_EQ(8u, n);
    EXPECT_EQ(0, buf[8]);
}

TEST_F(SerialPortTest, TwoReadsWithTheSameTimeoutApplyItToTheLineOnce) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    BYTE buf[8];
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x02})));
    DWORD n = 2;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &n));

    // Change the line's time-outs behind the port's back; a second read that completes in
    // one ReadFile must not apply them again.
    COMMTIMEOUTS other = {0, 0, 4000, 0, 4000};
    ASSERT_TRUE(SetCommTimeouts(port->m_hPort, &other));
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x02})));
    n = 2;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &n));
    COMMTIMEOUTS now;
    ASSERT_TRUE(GetCommTimeouts(port->m_hPort, &now));
    EXPECT_EQ(4000u, now.ReadTotalTimeoutConstant);

    // A changed m_ReadWriteTimeout does reach the line.
    port->m_ReadWriteTimeout = 3000;
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x02})));
    n = 2;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &n));
    ASSERT_TRUE(GetCommTimeouts(port->m_hPort, &now));
    EXPECT_EQ(3000u, now.ReadTotalTimeoutConstant);
    EXPECT_EQ(3000u, now.WriteTotalTimeoutConstant);
    EXPECT_EQ(0u, now.ReadIntervalTimeout);
}

TEST_F(SerialPortTest, IsDataAvailableDoesNotConsume) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    EXPECT_FALSE(port->IsDataAvailable());
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x03, 0x51})));
    EXPECT_TRUE(port->IsDataAvailable());
    EXPECT_TRUE(port->IsDataAvailable());
    BYTE buf[8];
    DWORD n = 3;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(0x51, buf[2]);
    EXPECT_FALSE(port->IsDataAvailable());
    port->ClosePort();
    EXPECT_FALSE(port->IsDataAvailable());
}

TEST_F(SerialPortTest, FlushReceiveBufferDiscardsWhatArrived) {
    std::unique_ptr<CSerialPort> port = OpenedPort(100);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(Bytes({9, 9, 9})));
    ASSERT_TRUE(port->IsDataAvailable());
    port->FlushReceiveBuffer();
    EXPECT_FALSE(port->IsDataAvailable());
    BYTE buf[4];
    DWORD n = 3;
    EXPECT_FALSE(port->Read(buf, sizeof(buf), &n));
    EXPECT_EQ(0u, n);
}

TEST_F(SerialPortTest, ReadOnADisconnectedPortRefusesAtOnce) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(Bytes({1, 2})));
    port->SetDisconnected(TRUE);
    BYTE buf[4];
    DWORD n = 2;
    EXPECT_FALSE(port->Read(buf, sizeof(buf), &n));
    EXPECT_EQ(0u, n);
    EXPECT_NE(std::string::npos, DebuggerText().find("CSerialPort::Read this->m_bDisconnected true.\n"));
}

TEST_F(SerialPortTest, AFirstRetryReadsAgainFromTheStartOfTheBuffer) {
    std::unique_ptr<CSerialPort> port = OpenedPort(100);
    ASSERT_TRUE(port);
    port->SetFirstRetry(TRUE);
    // The terminal answers only once the first attempt has come back empty.
    std::thread terminal([this] {
        for (int i = 0; i < 1000; ++i) {
            if (DebuggerText().find("RobustNonOverlappedReadFile dwRead = 0") != std::string::npos)
                break;
            usleep(5000);
        }
        pty.Send(Bytes({0x05, 0x04, 0x61, 0x60}));
    });
    BYTE buf[8];
    DWORD n = 4;
    BOOL ok = port->Read(buf, sizeof(buf), &n);
    terminal.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(4u, n);
    EXPECT_EQ(0x05, buf[0]);
}

TEST_F(SerialPortTest, AReadFailureIsLoggedAndKeepsThePlatformError) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x09})));
    std::thread hangup([this] {
        usleep(50000);
        pty.CloseMaster();
    });
    BYTE buf[16];
    DWORD n = 9;
    BOOL ok = port->Read(buf, sizeof(buf), &n);
    hangup.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(2u, n);
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, port->GetLastPortError());
    EXPECT_NE(std::string::npos,
              LogText().find("Device name [] - CSerialPort::read, Error 1167 nRead=2\n\r\n"));
    EXPECT_NE(std::string::npos, DebuggerText().find("CSerialPort::Read ReadImp LastError: 1167\n"));
}

TEST_F(SerialPortTest, ReadLeavesItsProgressOnTheDebuggerChannel) {
    std::unique_ptr<CSerialPort> port = OpenedPort(5000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(pty.Send(Bytes({0x05, 0x03, 0x00})));
    BYTE buf[8];
    DWORD n = 3;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &n));
    std::string text = DebuggerText();
    const char* expected[] = {
        "CSerialPort::Read OPOSSetCommTimeouts successful. Conitnue to do ReadImp\n",
        "CSerialPort::ReadImp entered\n",
        "CSerialPort::RobustNonOverlappedReadFile entered\n",
        "CSerialPort::RobustNonOverlappedReadFile dwRead = 3\n",
        "CSerialPort::RobustNonOverlappedReadFile exiting.\n",
        "CSerialPort::ReadImp exiting\n",
        "CSerialPort::Read ReadImp LastError: ",
    };
    size_t at = 0;
    for (const char* line : expected) {
        size_t found = text.find(line, at);
        ASSERT_NE(std::string::npos, found) << line << "\n---\n" << text;
        at = found;
    }
}

}  // namespace
