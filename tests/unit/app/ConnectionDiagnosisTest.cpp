// What keyprobe says on standard error about an INI file it cannot use and a port it
// cannot open: the reasons for each way in, and that a clean file says nothing.
// Winsock first, before anything brings in <windows.h>.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "Connection.h"
#include "ConnectionDiagnosis.h"
#include "TempFiles.h"

namespace {

struct InputCase {
    const char* name;
    const char* content;   // NULL: no file at all
    size_t length;         // 0: strlen(content)
    const char* expected;  // fragment of standard error; "" means nothing at all
};

std::string Explain(const InputCase& c) {
    testsupport::TempDir dir("diagnosis-test");
    const std::string path = dir.file("conn.ini");
    if (c.content != NULL) {
        const std::string text(c.content, c.length ? c.length : strlen(c.content));
        EXPECT_TRUE(testsupport::writeTextFile(path, text));
    }
    std::ostringstream err;
    ExplainInputFile(path.c_str(), err);
    return err.str();
}

TEST(ConnectionDiagnosis, SaysWhyTheInputFileFallsBackOrWhichKeysMiss) {
    const InputCase cases[] = {
        {"missing", NULL, 0, "was not found; using the defaults (Serial Port COM1, Baudrate 19200"},
        {"empty", "", 0, "is empty; using the defaults"},
        {"two bytes", "[x", 0, "is too short (2 bytes); using the defaults"},
        {"binary", "[Connection]\nPort=COM2\0\n", 24, "is not 7-bit text (byte 0x00 at offset 22)"},
        {"utf-8 mark", "\xEF\xBB\xBF[Connection]\nPort=COM2\n", 0,
         "is not 7-bit text (byte 0xEF at offset 0)"},
        {"line without =", "[Connection]\nPort\n", 0, "is malformed: line \"Port\" is neither"},
        {"key first", "Port=COM2\n[Connection]\n", 0, "line \"Port=COM2\" comes before the first [section]"},
        {"no section", "[connection]\nPort=COM2\n", 0, "has no [Connection] section"},
        {"blanks around =", "[Connection]\nPort = COM2\n", 0,
         "key \"Port \" is not \"Port\" (blanks around the '='); keys are matched exactly, so Port keeps its "
         "default"},
        {"letter case", "[Connection]\nbaudrate=9600\n", 0,
         "key \"baudrate\" is not \"Baudrate\" (letter case)"},
        {"rate of letters", "[Connection]\nBaudrate=abc\n", 0,
         "Baudrate \"abc\" is not a plain number; it reads as 0"},
        {"rate with a tail", "[Connection]\nBaudrate=9600x\n", 0, "it reads as 9600"},
        {"unknown type", "[Connection]\nConnectType=serial port\n", 0, "the serial port is used"},
        {"clean", "[Connection]\nConnectType= TCP/IP Port \nIPAddress=10.0.0.1\nIPPort=8009\n# Port = x\n", 0,
         ""},
    };
    for (const InputCase& c : cases) {
        const std::string err = Explain(c);
        if (c.expected[0] == '\0')
            EXPECT_EQ(err, "") << c.name;
        else
            EXPECT_NE(err.find(c.expected), std::string::npos) << c.name << ": " << err;
    }
}

TEST(ConnectionDiagnosis, ListsTheConnectionKeysTakenFromTheFile) {
    testsupport::TempDir dir("diagnosis-test");
    const std::string path = dir.file("conn.ini");
    ASSERT_TRUE(testsupport::writeTextFile(path, "[Connection]\nIPPort=1\nPort=COM3\nOther=1\n"));
    InputFileFindings findings;
    ExamineInputFile(path.c_str(), findings);
    EXPECT_TRUE(findings.csFileProblem.IsEmpty());
    ASSERT_EQ(findings.arrKeysRead.GetSize(), 2);
    EXPECT_STREQ(findings.arrKeysRead[0], "Port");
    EXPECT_STREQ(findings.arrKeysRead[1], "IPPort");
    EXPECT_EQ(findings.arrKeyNotes.GetSize(), 0);
}

struct OpenCase {
    int nPortKind;
    DWORD dwError;
    const char* expected;
};

TEST(ConnectionDiagnosis, NamesTheReasonAPortDidNotOpen) {
    const OpenCase cases[] = {
        {PORT_KIND_SERIAL, ERROR_FILE_NOT_FOUND,
         "Serial Port COM1, Baudrate 19200, Parity 0, ByteSize 8, "
         "StopBits 0: no such device (error 2)"},
        {PORT_KIND_SERIAL, ERROR_ACCESS_DENIED, "or this user may not open it (serial ports: group dialout"},
        {PORT_KIND_SERIAL, ERROR_SHARING_VIOLATION, "busy: another program has it open"},
        {PORT_KIND_SERIAL, ERROR_INVALID_PARAMETER, "the port does not take these line settings (error 87)"},
        {PORT_KIND_SERIAL, ERROR_INVALID_FUNCTION, "not a serial port"},
        {PORT_KIND_TCPIP, WSAECONNREFUSED, "TCP/IP Port 192.168.1.2:8009: connection refused"},
        {PORT_KIND_TCPIP, WSAETIMEDOUT, "timed out (error 10060)"},
        // The USB ports' codes say nothing; what is attached does (no device in a test).
        {PORT_KIND_USB_HID, ERROR_NO_MORE_ITEMS,
         "no USB HID device is attached at all (looked for the terminal's"},
        {PORT_KIND_USBIO, ERROR_SUCCESS, "no USB device is attached under the USBIO driver (interface {"},
        {PORT_KIND_SERIAL, 12345,
         "cannot open Serial Port COM1, Baudrate 19200, Parity 0, ByteSize 8, StopBits 0: "
         "error 12345"},
    };
    for (const OpenCase& c : cases) {
        ConnectionSettings settings;
        settings.nPortKind = c.nPortKind;
        const CString csText = DescribeOpenFailure(settings, c.dwError);
        EXPECT_NE(std::string(csText).find(c.expected), std::string::npos) << csText;
    }
}

// The whole set-up, as keyprobe runs it: a rate the line cannot take ends in the same
// -31 as before, and standard error says why.
TEST(ConnectionDiagnosis, ARateThePortCannotTakeIsNamedOnStandardError) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);

    const char* const rates[] = {"0", "-1", "abc"};
    for (const char* pszRate : rates) {
        testsupport::TempDir dir("diagnosis-test");
        const std::string path = dir.file("conn.ini");
        ASSERT_TRUE(
            testsupport::writeTextFile(path, "[Connection]\nPort=" + slave + "\nBaudrate=" + pszRate + "\n"));
        snprintf(g_szInputFile, sizeof(g_szInputFile), "%s", path.c_str());
        testing::internal::CaptureStderr();
        const signed char result = ConnectTerminal();
        const std::string err = testing::internal::GetCapturedStderr();
        DisconnectTerminal();
        EXPECT_EQ(result, CONNECT_FAILED) << pszRate;
        EXPECT_NE(err.find("the port does not take these line settings"), std::string::npos)
            << pszRate << ": " << err;
    }
    g_szInputFile[0] = '\0';
    close(master);
}

}  // namespace
