// CUSBPort against termsim's virtual USB device served in this process: finding the
// terminal among the driver's devices, every open failure with its log lines, frames in
// and out, and what a closed port still does.
#include <USBPort.h>
#include <TerminalUsbIds.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TempRegistryStore.h"
#include "VirtualUsbioDevice.h"

namespace {

using Bytes = std::vector<unsigned char>;

const char kLogKey[] = "SOFTWARE\\KeyProbeUsbioTests";

termsim::UsbioOptions Options(WORD wProduct = 0x0001, WORD wVersion = USBIO_INTERFACE_VERSION) {
    termsim::UsbioOptions options;
    options.productId = wProduct;
    options.driverVersion = wVersion;
    return options;
}

Bytes Frame(size_t nLength, bool bLong = false) {
    Bytes frame(nLength);
    for (size_t i = 0; i < nLength; ++i)
        frame[i] = (BYTE)(0x20 + i);
    frame[0] = 0x05;
    if (bLong) {
        frame[1] = 0;
        frame[2] = (BYTE)(nLength & 0xFF);
        frame[3] = (BYTE)(nLength >> 8);
    } else {
        frame[1] = (BYTE)nLength;
    }
    return frame;
}

// A debug log that records (the port logs with an empty device name, so the base key is
// the device's key) and the text it wrote.
class USBPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(store.ok());
        log.reset(new CDebugFile(kLogKey));
    }
    std::string LogText() {
        log->CloseFile();
        return testsupport::readTextFile(tmp.file("io.txt"));
    }
    // The port's lines in order, without the log's stamps.
    bool Logged(const std::string& text) { return LogText().find(text) != std::string::npos; }
    // The terminal served and the port open on it, in place of any earlier ones (the earlier
    // device goes first, as it takes its setting with it). Call it in ASSERT_NO_FATAL_FAILURE.
    void OpenOnTerminal(const termsim::UsbioOptions& options = Options()) {
        port.reset();
        virt.reset();
        virt.reset(new testsupport::VirtualUsbioDevice(options));
        ASSERT_TRUE(virt->ok()) << virt->error();
        port.reset(new CUSBPort(log.get()));
        ASSERT_TRUE(port->OpenPort()) << LogText();
    }

    testsupport::TempDir tmp{"keyprobe-usbio"};
    testsupport::TempRegistryStore store{tmp.file("registry.reg"),
                                         testsupport::debugLogStore(kLogKey, tmp.file("io.txt"))};
    std::unique_ptr<CDebugFile> log;
    std::unique_ptr<testsupport::VirtualUsbioDevice> virt;
    std::unique_ptr<CUSBPort> port;
};

TEST(USBPortConstruction, BeforeAnyBindThePipeRefusesTheWrite) {
    CUSBPort port(nullptr);
    const BYTE frame[] = {0x05, 0x04, 0x16, 0x17};
    DWORD dwLength = sizeof(frame);
    EXPECT_FALSE(port.Write(frame, dwLength, &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_OPENED, port.GetLastPortError());
}

TEST_F(USBPortTest, NoDeviceOfTheDriverAtAll) {
    testsupport::ScopedEnv noVirtual("IOCLASSLIB_VIRTUAL_USBIO", "");
    CUSBPort port(log.get());
    EXPECT_FALSE(port.OpenPort());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(Logged("There are no devices with this interface available.")) << LogText();
}

TEST_F(USBPortTest, DevicesThatAreNotTheTerminal) {
    // Another product, and a terminal whose driver speaks another interface version (it
    // cannot be opened, so the search ends on it).
    struct Case {
        WORD wProduct;
        WORD wVersion;
        const char* text;
    };
    const Case cases[] = {
        {0x7777, USBIO_INTERFACE_VERSION,
         "There are no devices with the required PID and VID attached to the USBIO driver."},
        {0x0001, 0x0140, "There are no devices with this interface available."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        testsupport::VirtualUsbioDevice virt(Options(c.wProduct, c.wVersion));
        ASSERT_TRUE(virt.ok()) << virt.error();
        CUSBPort port(log.get());
        EXPECT_FALSE(port.OpenPort());
        EXPECT_FALSE(port.m_Device.IsOpen());
        EXPECT_FALSE(port.m_BulkOut.IsOpen());
        EXPECT_TRUE(Logged(c.text)) << LogText();
    }
}

TEST_F(USBPortTest, TheTerminalsIdsComeFromTheSharedTable) {
    testsupport::VirtualUsbioDevice virt(Options(0x0042));
    ASSERT_TRUE(virt.ok()) << virt.error();
    const TerminalUsbId ids[] = {{0x1209, 0x0042}};
    SetTerminalUsbIds(ids, 1);
    CUSBPort port(log.get());
    EXPECT_TRUE(port.OpenPort());
    SetTerminalUsbIds(NULL, 0);
}

TEST_F(USBPortTest, FramesInAndOut) {
    ASSERT_NO_FATAL_FAILURE(OpenOnTerminal());
    EXPECT_TRUE(port->IsOpen());
    EXPECT_EQ(2u, port->m_ConfigInfo.NbOfPipes);
    EXPECT_EQ(USBPORT_BULK_IN_ENDPOINT, port->m_ConfigInfo.PipeInfo[1].EndpointAddress);

    const Bytes request = Frame(37);
    DWORD dwLength = (DWORD)request.size();
    ASSERT_TRUE(port->Write(request.data(), dwLength, &dwLength));
    EXPECT_EQ(37u, dwLength);
    ASSERT_TRUE(virt->WaitReceived(37));
    EXPECT_EQ(request, virt->Received());

    // A reply that does not fit the caller's buffer is read to its end and fails; the next
    // one is read whole.
    virt->Reply(Frame(1100, true));
    std::vector<BYTE> buffer(1025 + 8, 0xCC);
    dwLength = 4;
    EXPECT_FALSE(port->Read(buffer.data(), 1025, &dwLength));
    EXPECT_EQ(1025u, dwLength);
    EXPECT_EQ((DWORD)ERROR_MORE_DATA, port->GetLastPortError());
    EXPECT_EQ(Frame(1100, true).front(), buffer[0]);
    EXPECT_EQ(Bytes(8, 0xCC), Bytes(buffer.end() - 8, buffer.end()));
    virt->Reply(Frame(20));
    dwLength = 4;
    ASSERT_TRUE(port->Read(buffer.data(), 1025, &dwLength));
    EXPECT_EQ(Frame(20), Bytes(buffer.begin(), buffer.begin() + dwLength));
}

// Bulk IN endpoints of full-speed (8 to 64 bytes) and high-speed (512) devices, with replies
// shorter than a packet, of whole packets (ended by a zero-length packet) and of many.
TEST_F(USBPortTest, RepliesInPacketsOfEveryBulkSize) {
    for (unsigned nPacket : {8u, 32u, 64u, 512u}) {
        SCOPED_TRACE(nPacket);
        termsim::UsbioOptions options = Options();
        options.packetSize = nPacket;
        ASSERT_NO_FATAL_FAILURE(OpenOnTerminal(options));
        EXPECT_EQ(nPacket, port->m_ConfigInfo.PipeInfo[1].MaximumPacketSize);
        for (size_t nLength : {5u, 26u, 64u, 100u, 600u}) {
            SCOPED_TRACE(nLength);
            const Bytes reply = Frame(nLength, nLength > 255);
            virt->Reply(reply);
            std::vector<BYTE> buffer(1024 + 8, 0xCC);
            DWORD dwLength = 4;
            ASSERT_TRUE(port->Read(buffer.data(), 1024, &dwLength)) << port->GetLastPortError();
            EXPECT_EQ(reply, Bytes(buffer.begin(), buffer.begin() + dwLength));
            EXPECT_EQ(Bytes(8, 0xCC), Bytes(buffer.end() - 8, buffer.end()));
        }
    }
}

TEST_F(USBPortTest, AClosedPortKeepsItsPipesAndStillWrites) {
    ASSERT_NO_FATAL_FAILURE(OpenOnTerminal());
    EXPECT_TRUE(port->ClosePort());
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(nullptr, port->m_hDevList);
    EXPECT_FALSE(port->m_Device.IsOpen());
    EXPECT_TRUE(port->m_BulkOut.IsOpen());

    const Bytes request = Frame(8);
    DWORD dwLength = (DWORD)request.size();
    EXPECT_TRUE(port->Write(request.data(), dwLength, &dwLength));
    ASSERT_TRUE(virt->WaitReceived(8));
    EXPECT_EQ(request, virt->Received());

    // Opening again binds the same handles to the same endpoints once more.
    ASSERT_TRUE(port->OpenPort()) << LogText();
    virt->Reply(Frame(20));
    BYTE buffer[64];
    dwLength = sizeof(buffer);
    EXPECT_TRUE(port->Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(20u, dwLength);
}

TEST_F(USBPortTest, AStalledReplyEndpointFailsOneReadAndIsClearedForTheNext) {
    ASSERT_NO_FATAL_FAILURE(OpenOnTerminal());
    virt->Stall();
    BYTE buffer[64];
    DWORD dwLength = sizeof(buffer);
    EXPECT_FALSE(port->Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(USBIO_ERR_STALL_PID, port->GetLastPortError());

    virt->Reply(Frame(20));
    dwLength = sizeof(buffer);
    ASSERT_TRUE(port->Read(buffer, sizeof(buffer), &dwLength)) << port->GetLastPortError();
    EXPECT_EQ(Frame(20), Bytes(buffer, buffer + dwLength));
}

TEST_F(USBPortTest, AnUnpluggedTerminalFailsWritesAndReadsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(OpenOnTerminal());
    virt->Unplug();
    const Bytes request = Frame(8);
    DWORD dwLength = (DWORD)request.size();
    EXPECT_FALSE(port->Write(request.data(), dwLength, &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, port->GetLastPortError());
    BYTE buffer[64];
    dwLength = sizeof(buffer);
    EXPECT_FALSE(port->Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, port->GetLastPortError());
}

// The old port's pipes belong to the device that went: opening it again binds them on the
// replugged one's behalf and fails as described; a new port opens the terminal and works.
TEST_F(USBPortTest, AfterAReplugTheOldPortCannotOpenAgainAndANewOneCan) {
    termsim::UsbioOptions options = Options();
    options.replugAfterMs = 100;
    ASSERT_NO_FATAL_FAILURE(OpenOnTerminal(options));
    virt->Unplug();
    const Bytes request = Frame(8);
    DWORD dwLength = (DWORD)request.size();
    EXPECT_FALSE(port->Write(request.data(), dwLength, &dwLength));

    CUSBPort fresh(nullptr);
    for (int i = 0; i < 250 && !fresh.OpenPort(); ++i)
        Sleep(20);
    ASSERT_TRUE(fresh.IsOpen()) << "the terminal never came back";

    EXPECT_TRUE(port->ClosePort());
    EXPECT_FALSE(port->OpenPort());
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, port->GetLastPortError());
    EXPECT_TRUE(Logged("Error in opening bulk out pipe.")) << LogText();
    EXPECT_TRUE(Logged("Error in opening bulk in pipe.")) << LogText();

    dwLength = (DWORD)request.size();
    ASSERT_TRUE(fresh.Write(request.data(), dwLength, &dwLength));
    virt->Reply(Frame(20));
    BYTE buffer[64];
    dwLength = sizeof(buffer);
    EXPECT_TRUE(fresh.Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(20u, dwLength);
}

}  // namespace
