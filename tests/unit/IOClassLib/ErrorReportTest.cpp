// Error statuses of terminal replies: the log lines, and the 0x81 query through the link
// that the report makes before the receive that found the status returns.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "DebugFile.h"
#include "FakePort.h"
#include "TempRegistryStore.h"
#include "TerminalLink.h"

namespace {

using Bytes = FakePort::Bytes;

const char kBaseKey[] = "SOFTWARE\\KeyProbeErrorReportTests\\";

// A registry that switches the log of device "Dev" on, a log file, and a VLI link over a
// fake port whose log is the one under test.
class ErrorReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.path().empty());
        ASSERT_TRUE(m_store.ok());
        m_log = new CDebugFile(kBaseKey);
        m_port = new FakePort(m_log);
        m_link = new CTerminalLink(m_port, 1);
    }
    void TearDown() override {
        delete m_link;
        delete m_log;
        EXPECT_TRUE(m_tmp.remove());
    }

    // The texts of the lines logged so far, without their stamps.
    std::string LoggedTexts() {
        m_log->CloseFile();
        std::ifstream in(m_logPath, std::ios::binary);
        std::string line, texts;
        while (std::getline(in, line)) {
            const std::string marker = "Device name [Dev] - ";
            const size_t at = line.find(marker);
            texts += at == std::string::npos ? line : line.substr(at + marker.size());
            texts += "\n";
        }
        return texts;
    }

    testsupport::TempDir m_tmp{"keyprobe-errorreport"};
    const std::string m_logPath = m_tmp.file("io.txt");
    testsupport::TempRegistryStore m_store{
        m_tmp.file("registry.reg"), testsupport::debugLogStore(std::string(kBaseKey) + "Dev", m_logPath)};
    CDebugFile* m_log = nullptr;
    FakePort* m_port = nullptr;
    CTerminalLink* m_link = nullptr;
};

TEST_F(ErrorReportTest, SuccessStatusesLogAndSendNothing) {
    for (BYTE status : {0x00, 0x80, 0xF0})
        m_log->ReportInterfaceAppError(m_link, status, "Dev");
    EXPECT_TRUE(m_port->events.empty());
    EXPECT_EQ("", LoggedTexts());
}

TEST_F(ErrorReportTest, ErrorStatusLogsItAndTheTerminalsLastPlatformError) {
    m_port->QueueResponse(WithChecksum({0x05, 0x1A, 0x81, 0x00, 0x34, 0x12, 'K', 'e', 'y', ' ', 's', 'l', 'o',
                                        't',  ' ',  '3',  ' ',  'i',  's',  ' ', 'e', 'm', 'p', 't', 'y'}));
    m_log->ReportInterfaceAppError(m_link, 0xF8, "Dev");
    EXPECT_EQ((std::vector<Bytes>{{0x05, 0x04, 0x81, 0x80}}), m_port->writes);
    EXPECT_EQ("Orvik-Interface-App error code=0xF8\r\n"
              "Last platform error code from device=0x1234, desc=Key slot 3 is empty\n\r\n",
              LoggedTexts());
}

TEST_F(ErrorReportTest, ReplyWithoutDescription) {
    m_port->QueueResponse(Bytes{0x05, 0x07, 0x81, 0x00, 0xCD, 0xAB, 0xE5});
    m_log->ReportInterfaceAppError(m_link, 0x05, "Dev");
    EXPECT_EQ("Orvik-Interface-App error code=0x5\r\n"
              "Last platform error code from device=0xABCD, desc=Not available\n\r\n",
              LoggedTexts());
}

TEST_F(ErrorReportTest, ReplyWithStatusF0OrTooShortTellsNothing) {
    m_port->QueueResponse(WithChecksum({0x05, 0x0A, 0x81, 0xF0, 0x01, 0x00, 'a', 'b', 'c'}));
    m_log->ReportLastPlatformError(m_link, "Dev");
    m_port->QueueResponse(WithChecksum({0x05, 0x06, 0x81, 0x00, 0x01}));
    m_log->ReportLastPlatformError(m_link, "Dev");
    EXPECT_EQ(2u, m_port->writes.size());
    EXPECT_EQ("Last platform error code from device=0x0, desc=Not available\n\r\n"
              "Last platform error code from device=0x0, desc=Not available\n\r\n",
              LoggedTexts());
}

TEST_F(ErrorReportTest, ClosedLinkStillLogsTheQuery) {
    m_port->open = false;
    m_log->ReportInterfaceAppError(m_link, 0xE0, "Dev");
    EXPECT_TRUE(m_port->writes.empty());
    EXPECT_EQ("Orvik-Interface-App error code=0xE0\r\n"
              "Last platform error code from device=0x0, desc=Not available\n\r\n",
              LoggedTexts());
}

// What each query gives a client beside the log, which reads as it does without one.
TEST_F(ErrorReportTest, ObserverHearsEveryQueryAndTheLogStaysAsItWas) {
    struct Heard : CPlatformErrorObserver {
        std::vector<std::string> calls;
        void OnLastPlatformError(BOOL bReplied, unsigned nCode, const CString& csText) override {
            calls.push_back((bReplied ? "replied " : "none ") + std::to_string(nCode) + " [" +
                            std::string((LPCSTR)csText, (size_t)csText.GetLength()) + "]");
        }
    } heard;
    EXPECT_EQ(nullptr, m_log->SetPlatformErrorObserver(&heard));
    m_port->QueueResponse(WithChecksum({0x05, 0x0B, 0x81, 0x00, 0x34, 0x12, 'T', 'a', 0, 'p'}));
    m_log->ReportInterfaceAppError(m_link, 0xF8, "Dev");
    m_port->QueueResponse(Bytes{0x05, 0x07, 0x81, 0x00, 0xCD, 0xAB, 0xE5});
    m_log->ReportLastPlatformError(m_link, "Dev");
    m_port->QueueResponse(WithChecksum({0x05, 0x0A, 0x81, 0xF0, 0x01, 0x00, 'a', 'b', 'c'}));
    m_log->ReportLastPlatformError(m_link, "Dev");
    m_log->ReportLastPlatformError(m_link, "Dev");
    m_log->ReportInterfaceAppError(m_link, 0x00, "Dev");
    EXPECT_EQ(&heard, m_log->SetPlatformErrorObserver(nullptr));
    m_port->QueueResponse(Bytes{0x05, 0x07, 0x81, 0x00, 0xCD, 0xAB, 0xE5});
    m_log->ReportLastPlatformError(m_link, "Dev");

    EXPECT_EQ((std::vector<std::string>{"replied 4660 [" + std::string("Ta\0p", 4) + "]", "replied 43981 []",
                                        "none 0 []", "none 0 []"}),
              heard.calls);
    EXPECT_EQ("Orvik-Interface-App error code=0xF8\r\n"
              "Last platform error code from device=0x1234, desc=Ta\n\r\n"
              "Last platform error code from device=0xABCD, desc=Not available\n\r\n"
              "Last platform error code from device=0x0, desc=Not available\n\r\n"
              "Last platform error code from device=0x0, desc=Not available\n\r\n"
              "Last platform error code from device=0xABCD, desc=Not available\n\r\n",
              LoggedTexts());
}

TEST(ErrorReportWithLogOff, QueryStillGoesToTheTerminal) {
    CDebugFile log("");
    FakePort* port = new FakePort(&log);
    CTerminalLink link(port, 1);
    port->QueueResponse(Bytes{0x05, 0x07, 0x81, 0x00, 0xCD, 0xAB, 0xE5});
    log.ReportInterfaceAppError(&link, 0xF1, "");
    EXPECT_EQ((std::vector<Bytes>{{0x05, 0x04, 0x81, 0x80}}), port->writes);
    EXPECT_EQ(2u, port->CountEvents("Read"));
}

}  // namespace
