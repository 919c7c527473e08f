// The HID and USBIO ports over the real backends (hidraw with libudev, libusb), on devices
// that umockdev emulates in this process: the test plays the HID terminal on the other end
// of its device node and plugs it out and in with udev's events, and puts a USB device of
// another product ahead of termsim's virtual USBIO terminal in the driver's list. Runs
// under umockdev-wrapper, which routes /sys, /dev and udev's events here.
#include <COMHIDUSBPort.h>
#include <USBPort.h>

#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <umockdev.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "MessagePump.h"
#include "VirtualUsbioDevice.h"

namespace {

using Bytes = std::vector<BYTE>;

const char kHidrawFolder[] =
    "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0/0003:1209:0001.0001/hidraw/";
const size_t kReportLength = 65;

// The recorded terminal's entries: the hidraw node first, its parents after it.
std::string RecordedTerminal() {
    std::ifstream in(std::string(KEYPROBE_TEST_DATA_DIR) + "/umockdev/hidraw_terminal.umockdev");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The recorded hidraw node's entry under another name, as a device plugged in again may
// get another node.
std::string Renamed(const std::string& entry, const std::string& node) {
    std::string renamed = entry;
    for (size_t at = 0; (at = renamed.find("hidraw0", at)) != std::string::npos; at += node.size())
        renamed.replace(at, 7, node);
    const size_t minor = renamed.find("MINOR=0");
    if (minor != std::string::npos)
        renamed[minor + 6] = node.back();
    return renamed;
}

class Testbed : public ::testing::Test {
protected:
    void SetUp() override {
        const char* pszPreload = getenv("LD_PRELOAD");
        if (pszPreload == nullptr || strstr(pszPreload, "libumockdev-preload") == nullptr)
            GTEST_SKIP() << "needs umockdev-wrapper";
        m_testbed = umockdev_testbed_new();
    }
    void TearDown() override { g_clear_object(&m_testbed); }

    UMockdevTestbed* m_testbed = nullptr;
};

// The terminal's side of the HID device node: one output report with a key test in, its
// reply out as an input report.
bool AnswerKeyTest(int fd) {
    Bytes report(kReportLength);
    for (size_t got = 0; got < report.size();) {
        pollfd p = {fd, POLLIN, 0};
        const ssize_t n = poll(&p, 1, 10000) > 0 ? read(fd, report.data() + got, report.size() - got) : -1;
        if (n <= 0)
            return false;
        got += (size_t)n;
    }
    if (report[0] != 2 || report[1] < 3 || report[2] != 0x05 || report[4] != 'a')
        return false;
    const Bytes reply = {0x05, 0x05, 'a', 0x00, 0x05 ^ 0x05 ^ 'a'};
    Bytes input(kReportLength, 0);
    input[0] = 1;
    input[1] = (BYTE)reply.size();
    std::copy(reply.begin(), reply.end(), input.begin() + 2);
    return write(fd, input.data(), input.size()) == (ssize_t)input.size();
}

bool KeyTestExchange(CCOMHIDUSBPort& port, UMockdevTestbed* testbed, const std::string& node) {
    const Bytes request = {0x05, 0x05, 'a', 0x20, 0x05 ^ 0x05 ^ 'a' ^ 0x20};
    DWORD n = (DWORD)request.size();
    if (!port.Write(request.data(), n, &n))
        return false;
    if (!AnswerKeyTest(umockdev_testbed_get_dev_fd(testbed, ("/dev/" + node).c_str())))
        return false;
    BYTE reply[1024];
    n = 5;
    return port.Read(reply, sizeof(reply), &n) && n == 5 && reply[2] == 'a';
}

}  // namespace

// A client that owns the port and runs a message loop: the terminal's hidraw node goes
// (an open fails, and once the port has heard of it, the port refuses to open and close),
// comes back under another node (the stale connection is closed), and the port opens it
// and exchanges.
TEST_F(Testbed, HidPortFollowsTheTerminalOutAndIn) {
    const std::string terminal = RecordedTerminal();
    const std::string hidraw = terminal.substr(0, terminal.find("\n\n") + 1);
    ASSERT_TRUE(umockdev_testbed_add_from_string(m_testbed, terminal.c_str(), NULL));

    CCOMHIDUSBPort port(NULL, 4096);
    ASSERT_TRUE(port.OpenPort());
    EXPECT_NE(nullptr, strstr(port.m_USBCtx.szDevicePath, "#hidraw_hidraw0#")) << port.m_USBCtx.szDevicePath;
    port.SetProtocolType(1);
    port.SetOwner(1);
    ASSERT_TRUE(KeyTestExchange(port, m_testbed, "hidraw0"));

    const std::string gone = std::string(kHidrawFolder) + "hidraw0";
    umockdev_testbed_uevent(m_testbed, gone.c_str(), "remove");
    umockdev_testbed_remove_device(m_testbed, gone.c_str());
    // A client that tries again before its message loop has heard of the removal.
    EXPECT_FALSE(port.OpenPort());
    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return !port.IsDevicePresent(); }));
    EXPECT_FALSE(port.OpenPort());
    EXPECT_FALSE(port.ClosePort());

    ASSERT_TRUE(umockdev_testbed_add_from_string(m_testbed, Renamed(hidraw, "hidraw1").c_str(), NULL));
    umockdev_testbed_uevent(m_testbed, (std::string(kHidrawFolder) + "hidraw1").c_str(), "add");
    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return port.IsDevicePresent() != FALSE; }));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(port.IsDisconnected());
    ASSERT_TRUE(port.OpenPort());
    EXPECT_NE(nullptr, strstr(port.m_USBCtx.szDevicePath, "#hidraw_hidraw1#")) << port.m_USBCtx.szDevicePath;
    EXPECT_TRUE(KeyTestExchange(port, m_testbed, "hidraw1"));
    EXPECT_TRUE(port.ClosePort());
}

// A USB device of another product, 1209:7777, ahead of the terminal in the driver's list:
// the libusb backend lists it before the virtual devices.
const char kForeignDevice[] = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-5\n"
                              "N: bus/usb/001/003\n"
                              "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=003\n"
                              "E: DEVNAME=/dev/bus/usb/001/003\nE: DEVTYPE=usb_device\n"
                              "A: bConfigurationValue=1\\n\nA: busnum=1\\n\nA: devnum=3\\n\nA: speed=12\\n\n"
                              "H: descriptors=12010002ff00004009127777000101020301"
                              "0902200001010080320904000002ff000000"
                              "07050202400000"
                              "07058302400000\n";

// An open that found the terminal behind another device and then failed must not leave
// the next open bound to the first device of the list.
TEST_F(Testbed, UsbPortOpensTheTerminalBehindAnotherDeviceAfterAFailedOpen) {
    ASSERT_TRUE(umockdev_testbed_add_from_string(m_testbed, kForeignDevice, NULL));
    testsupport::VirtualUsbioDevice terminal;
    ASSERT_TRUE(terminal.ok()) << terminal.error();

    // Another client holds a pipe of the terminal under another configuration, so the
    // port's configuration is refused.
    HDEVINFO hList = CUsbDriverDevice::CreateDeviceList(&USBIO_DEVICE_INTERFACE_GUID);
    CUsbDriverDevice other;
    CUsbDriverPipe held;
    ASSERT_EQ(0u, other.Open(1, hList, &USBIO_DEVICE_INTERFACE_GUID));
    USBIO_SET_CONFIGURATION request = {};
    request.NbOfInterfaces = 1;
    request.InterfaceList[0].MaximumTransferSize = 1024;
    ASSERT_EQ(0u, other.SetConfiguration(&request));
    ASSERT_EQ(0u, held.Bind(1, USBPORT_BULK_IN_ENDPOINT, hList, &USBIO_DEVICE_INTERFACE_GUID));
    CUsbDriverDevice::DestroyDeviceList(hList);

    CUSBPort port(NULL);
    EXPECT_FALSE(port.OpenPort());
    EXPECT_EQ(1, port.m_nDeviceNumber);
    held.Close();
    other.Close();

    ASSERT_TRUE(port.OpenPort());
    EXPECT_EQ(1, port.m_nDeviceNumber);
    const Bytes frame = {0x05, 0x04, 0x16, 0x17};
    DWORD n = (DWORD)frame.size();
    ASSERT_TRUE(port.Write(frame.data(), n, &n));
    ASSERT_TRUE(terminal.WaitReceived(frame.size()));
    EXPECT_EQ(frame, terminal.Received());
    terminal.Reply({0x05, 0x05, 0x16, 0x00, 0x16});
    BYTE reply[64];
    n = sizeof(reply);
    ASSERT_TRUE(port.Read(reply, sizeof(reply), &n));
    EXPECT_EQ(5u, n);
}
