// The libusb backend against libusb itself, over a usbfs device that umockdev emulates in
// this process: sysfs enumeration, open, configuration read over a control transfer,
// claiming, bulk transfers submitted and reaped, a cancel that discards the URB, what the
// device's failures become, and the kernel driver given back when a process ends with the
// device open. Runs under umockdev-wrapper, which routes /sys, /dev and the device's
// ioctls here.
#include "usbio/usbio.h"
#include "usbio_api.h"

#include <windows.h>

#include <errno.h>
#include <linux/ioctl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>
#include <string.h>
#include <umockdev.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace {

// Device 1209:0001 with one configuration: interface 0, bulk 0x02 OUT and 0x83 IN of 32.
const char kDescriptors[] = "12010002ff000040091201000001010203 01"
                            "09022000010100803209040000 02ff000000"
                            "0705020220 0000"
                            "0705830220 0000";

std::string Packed(const char* hex) {
    std::string text;
    for (const char* p = hex; *p; ++p)
        if (*p != ' ')
            text += *p;
    return text;
}

std::vector<BYTE> Bytes(const std::string& hex) {
    std::vector<BYTE> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back((BYTE)strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return bytes;
}

// The device's side of usbfs: URBs submitted, completed and reaped as the kernel does.
struct Usbfs {
    std::mutex mutex;
    std::vector<UMockdevIoctlData*> flying;  // IN transfers waiting for data
    std::deque<UMockdevIoctlData*> done;     // completed, not yet reaped
    // IN transfers are served when data comes, writing the client's buffer directly: only
    // this process reads from the device.
    std::vector<BYTE> received;  // what came on 0x02
    std::vector<BYTE> reply;     // what 0x83 gives next
    int inFailure = 0;           // the next IN transfer ends with this -errno
    int claims = 0;
    int discards = 0;
    std::vector<unsigned> clearedHalts;        // endpoints
    std::string kernelDriver;                  // bound to interface 0 now; empty: none
    std::vector<std::string> interfaceEvents;  // "detach 0", "release 0", "attach 0"

    // Under the mutex: fills waiting IN transfers from `reply`, or fails one.
    void serveLocked() {
        while (!flying.empty() && (!reply.empty() || inFailure != 0)) {
            UMockdevIoctlData* data = flying.front();
            flying.erase(flying.begin());
            usbdevfs_urb* urb = (usbdevfs_urb*)data->data;
            const size_t n = inFailure != 0 ? 0 : std::min<size_t>(urb->buffer_length, reply.size());
            memcpy(urb->buffer, reply.data(), n);  // one address space: the client's buffer
            reply.erase(reply.begin(), reply.begin() + n);
            urb->actual_length = (int)n;
            urb->status = inFailure;
            inFailure = 0;
            done.push_back(data);
        }
    }
};

Usbfs g_usbfs;

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(g_usbfs.mutex);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), NULL);
        *(guint32*)caps->data = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        umockdev_ioctl_data_unref(caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE: ++g_usbfs.claims; /* fall through */
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION: umockdev_ioctl_client_complete(client, 0, 0); return TRUE;
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* endpoint = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), NULL);
        g_usbfs.clearedHalts.push_back(*(unsigned*)endpoint->data);
        umockdev_ioctl_data_unref(endpoint);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* number = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), NULL);
        g_usbfs.interfaceEvents.push_back("release " + std::to_string(*(unsigned*)number->data));
        umockdev_ioctl_data_unref(number);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_GETDRIVER: {
        if (g_usbfs.kernelDriver.empty()) {
            umockdev_ioctl_client_complete(client, -1, ENODATA);
            return TRUE;
        }
        UMockdevIoctlData* driver = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), NULL);
        snprintf(((usbdevfs_getdriver*)driver->data)->driver, USBDEVFS_MAXDRIVERNAME, "%s",
                 g_usbfs.kernelDriver.c_str());
        umockdev_ioctl_data_unref(driver);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_IOCTL: {  // detaching and attaching the kernel driver
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), NULL);
        const usbdevfs_ioctl* command = (const usbdevfs_ioctl*)data->data;
        const std::string ifno = std::to_string(command->ifno);
        if (command->ioctl_code == (int)USBDEVFS_DISCONNECT) {
            g_usbfs.interfaceEvents.push_back("detach " + ifno);
            g_usbfs.kernelDriver.clear();
        } else if (command->ioctl_code == (int)USBDEVFS_CONNECT) {
            g_usbfs.interfaceEvents.push_back("attach " + ifno);
            g_usbfs.kernelDriver = "usbhid";
        }
        umockdev_ioctl_data_unref(data);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), NULL);
        usbdevfs_urb* urb = (usbdevfs_urb*)data->data;
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL || urb->endpoint == 0x02) {
            // Served at once, on umockdev's copy of the client's buffer, which works for a
            // client in another process too.
            umockdev_ioctl_data_unref(
                umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), urb->buffer_length, NULL));
        }
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            // GET_DESCRIPTOR of the configuration: the answer follows the 8 setup bytes.
            const BYTE* setup = (const BYTE*)urb->buffer;
            const std::vector<BYTE> all = Bytes(Packed(kDescriptors));
            const std::vector<BYTE> config(all.begin() + 18, all.end());
            const size_t wanted = setup[6] | (setup[7] << 8);
            const size_t n = std::min(wanted, config.size());
            if (setup[1] == 6 && setup[3] == 2)
                memcpy((BYTE*)urb->buffer + 8, config.data(), n);
            urb->actual_length = setup[1] == 6 && setup[3] == 2 ? (int)n : 0;
            urb->status = setup[1] == 6 && setup[3] == 2 ? 0 : -EPIPE;
            g_usbfs.done.push_back(data);
        } else if (urb->endpoint == 0x02) {
            const BYTE* bytes = (const BYTE*)urb->buffer;
            g_usbfs.received.insert(g_usbfs.received.end(), bytes, bytes + urb->buffer_length);
            urb->actual_length = urb->buffer_length;
            urb->status = 0;
            g_usbfs.done.push_back(data);
        } else {
            g_usbfs.flying.push_back(data);
            g_usbfs.serveLocked();
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        g_usbfs.serveLocked();
        if (g_usbfs.done.empty()) {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
            return TRUE;
        }
        UMockdevIoctlData* data = g_usbfs.done.front();
        g_usbfs.done.pop_front();
        UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), NULL);
        umockdev_ioctl_data_set_ptr(pointer, 0, data);
        umockdev_ioctl_data_unref(pointer);
        umockdev_ioctl_data_unref(data);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        auto it = std::find_if(g_usbfs.flying.begin(), g_usbfs.flying.end(), [&](UMockdevIoctlData* d) {
            return d->client_addr == (gulong) * (void**)arg->data;
        });
        if (it == g_usbfs.flying.end()) {
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return TRUE;
        }
        ++g_usbfs.discards;
        usbdevfs_urb* urb = (usbdevfs_urb*)(*it)->data;
        urb->status = -ENOENT;
        urb->actual_length = 0;
        g_usbfs.done.push_back(*it);
        g_usbfs.flying.erase(it);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    default: return FALSE;
    }
}

// Set in a child process of this test, which uses its parent's testbed.
const char kChildVariable[] = "USBIO_UMOCKDEV_CHILD";

class UsbfsTestbed : public ::testing::Environment {
public:
    void SetUp() override {
        if (getenv(kChildVariable))
            return;
        m_testbed = umockdev_testbed_new();
        m_handler = umockdev_ioctl_base_new();
        g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(HandleIoctl), NULL);
        ASSERT_TRUE(umockdev_testbed_attach_ioctl(m_testbed, "/dev/bus/usb/001/002", m_handler, NULL));
        const std::string device = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-4\n"
                                   "N: bus/usb/001/002\n"
                                   "E: SUBSYSTEM=usb\nE: DRIVER=usb\nE: BUSNUM=001\nE: DEVNUM=002\n"
                                   "E: DEVNAME=/dev/bus/usb/001/002\nE: DEVTYPE=usb_device\n"
                                   "A: bConfigurationValue=1\\n\nA: busnum=1\\n\nA: devnum=2\\n\n"
                                   "A: speed=12\\n\n"
                                   "H: descriptors=" +
                                   Packed(kDescriptors) + "\n";
        ASSERT_TRUE(umockdev_testbed_add_from_string(m_testbed, device.c_str(), NULL));
    }
    void TearDown() override {
        g_clear_object(&m_handler);
        g_clear_object(&m_testbed);
    }

private:
    UMockdevTestbed* m_testbed = nullptr;
    UMockdevIoctlBase* m_handler = nullptr;
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new UsbfsTestbed);

HANDLE Open(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

DWORD Ioctl(HANDLE h, DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut) {
    DWORD returned = 0;
    return DeviceIoControl(h, code, (LPVOID)in, cbIn, out, cbOut, &returned, NULL) ? 0 : GetLastError();
}

// The device opened, configured and its two pipes bound, as the USBIO port does it.
struct Link {
    HANDLE device = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE, in = INVALID_HANDLE_VALUE;

    bool Open() {
        std::vector<std::string> paths;
        win32::usbio::EnumerateInterfacePaths(paths);
        if (paths.size() != 1)
            return false;
        device = ::Open(paths[0]);
        out = ::Open(paths[0]);
        in = ::Open(paths[0]);
        USBIO_SET_CONFIGURATION configuration = {};
        configuration.NbOfInterfaces = 1;
        configuration.InterfaceList[0].MaximumTransferSize = 4096;
        const BYTE outEndpoint = 0x02, inEndpoint = 0x83;
        return Ioctl(device, USBIO_IOCTL_SET_CONFIGURATION, &configuration, sizeof(configuration), nullptr,
                     0) == 0 &&
               Ioctl(out, USBIO_IOCTL_BIND_PIPE, &outEndpoint, 1, nullptr, 0) == 0 &&
               Ioctl(in, USBIO_IOCTL_BIND_PIPE, &inEndpoint, 1, nullptr, 0) == 0;
    }
    void Close() {
        for (HANDLE h : {device, out, in})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
};

}  // namespace

TEST(UsbioLibusbUnderUmockdev, EnumeratesOpensConfiguresAndMovesData) {
    std::vector<std::string> paths;
    win32::usbio::EnumerateInterfacePaths(paths);
    ASSERT_EQ(1u, paths.size());
    EXPECT_EQ(0u, paths[0].find("\\\\?\\usb#vid_1209&pid_0001#1-")) << paths[0];

    HANDLE device = Open(paths[0]), out = Open(paths[0]), in = Open(paths[0]);
    ASSERT_NE(INVALID_HANDLE_VALUE, device);
    USBIO_DRIVER_INFO info = {};
    ASSERT_EQ(0u, Ioctl(device, USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info)));
    EXPECT_EQ(USBIO_INTERFACE_VERSION, info.InterfaceVersion);
    USBIO_DESCRIPTOR_REQUEST request = {USBIO_RECIPIENT_DEVICE, USBIO_DESCRIPTOR_TYPE_DEVICE, 0, 0};
    BYTE descriptor[18] = {};
    ASSERT_EQ(0u, Ioctl(device, USBIO_IOCTL_GET_DESCRIPTOR, &request, sizeof(request), descriptor, 18));
    EXPECT_EQ(0x1209, descriptor[8] | descriptor[9] << 8);
    EXPECT_EQ(0x0001, descriptor[10] | descriptor[11] << 8);

    USBIO_SET_CONFIGURATION configuration = {};
    configuration.NbOfInterfaces = 1;
    configuration.InterfaceList[0].MaximumTransferSize = 4096;
    ASSERT_EQ(
        0u, Ioctl(device, USBIO_IOCTL_SET_CONFIGURATION, &configuration, sizeof(configuration), nullptr, 0));
    EXPECT_EQ(1, g_usbfs.claims);
    USBIO_CONFIGURATION_INFO config = {};
    ASSERT_EQ(0u, Ioctl(device, USBIO_IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, &config, sizeof(config)));
    EXPECT_EQ(2u, config.NbOfPipes);
    EXPECT_EQ(0x83, config.PipeInfo[1].EndpointAddress);
    EXPECT_EQ(32, config.PipeInfo[1].MaximumPacketSize);
    BYTE endpoint = 0x02;
    ASSERT_EQ(0u, Ioctl(out, USBIO_IOCTL_BIND_PIPE, &endpoint, 1, nullptr, 0));
    endpoint = 0x83;
    ASSERT_EQ(0u, Ioctl(in, USBIO_IOCTL_BIND_PIPE, &endpoint, 1, nullptr, 0));

    // Out goes the request, in comes what the device has.
    {
        std::lock_guard<std::mutex> lock(g_usbfs.mutex);
        g_usbfs.reply = {0x05, 0x05, 0x61, 0x00, 0x61};
    }
    const BYTE sent[] = {0x05, 0x04, 0x16, 0x17};
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(out, sent, sizeof(sent), &n, NULL));  // waits, though overlapped
    EXPECT_EQ(4u, n);
    BYTE buffer[32] = {};
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ReadFile(in, buffer, sizeof(buffer), NULL, &ov)) {
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    }
    ASSERT_TRUE(GetOverlappedResult(in, &ov, &n, TRUE));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(0x61, buffer[4]);
    {
        std::lock_guard<std::mutex> lock(g_usbfs.mutex);
        EXPECT_EQ(std::vector<BYTE>(sent, sent + 4), g_usbfs.received);
    }

    // Nothing to read: the cancel discards the URB and the read ends aborted.
    ASSERT_FALSE(ReadFile(in, buffer, sizeof(buffer), NULL, &ov));
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    ASSERT_TRUE(CancelIo(in));
    EXPECT_FALSE(GetOverlappedResult(in, &ov, &n, FALSE));
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, GetLastError());
    EXPECT_EQ(1, g_usbfs.discards);
    CloseHandle(ov.hEvent);

    // Resetting the pipe clears its endpoint's halt.
    ASSERT_EQ(0u, Ioctl(in, USBIO_IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0));
    {
        std::lock_guard<std::mutex> lock(g_usbfs.mutex);
        EXPECT_EQ(std::vector<unsigned>{0x83}, g_usbfs.clearedHalts);
    }

    for (HANDLE h : {device, out, in})
        CloseHandle(h);
}

// A failure of the device's IN transfer reaches the caller as the driver's status, through
// libusb's outcome and the driver's table; a device that has gone fails every later request.
TEST(UsbioLibusbUnderUmockdev, TransferFailuresReachTheCallerAsTheDriversStatus) {
    const struct {
        const char* what;
        int urbStatus;
        DWORD status;
    } rows[] = {
        {"a stalled endpoint", -EPIPE, USBIO_ERR_STALL_PID},
        {"more data than the transfer holds", -EOVERFLOW, USBIO_ERR_DATA_OVERRUN},
        {"no handshake on the bus", -EPROTO, USBIO_ERR_DEV_NOT_RESPONDING},
        {"the device unplugged", -ENODEV, USBIO_ERR_DEVICE_NOT_PRESENT},
    };
    Link link;
    ASSERT_TRUE(link.Open());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        {
            std::lock_guard<std::mutex> lock(g_usbfs.mutex);
            g_usbfs.inFailure = row.urbStatus;
        }
        BYTE buffer[32];
        DWORD n = 0;
        EXPECT_FALSE(ReadFile(link.in, buffer, sizeof(buffer), &n, NULL));
        EXPECT_EQ(row.status, GetLastError());
    }
    const BYTE request[] = {0x05, 0x04, 0x16, 0x17};
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(link.out, request, sizeof(request), &n, NULL));
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, GetLastError());
    link.Close();
}

// Run in a child process by the test below: the link stays open when the process ends.
TEST(UsbioLibusbChild, DISABLED_EndsWithTheLinkOpen) {
    static Link link;
    ASSERT_TRUE(link.Open());
}

// A process that ends with the link open, as keyprobe does, releases the interface and
// gives back the kernel driver it detached at open.
TEST(UsbioLibusbUnderUmockdev, AProcessEndingWithTheLinkOpenGivesTheKernelDriverBack) {
    {
        std::lock_guard<std::mutex> lock(g_usbfs.mutex);
        g_usbfs.kernelDriver = "usbhid";
        g_usbfs.interfaceEvents.clear();
    }
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    std::vector<std::string> args = {self, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=UsbioLibusbChild.DISABLED_EndsWithTheLinkOpen"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    std::vector<std::string> variables = {std::string(kChildVariable) + "=1"};
    for (char** variable = environ; *variable; ++variable)
        variables.push_back(*variable);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(&variable[0]);
    envp.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(0, posix_spawn(&child, self, NULL, NULL, argv.data(), envp.data()));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::lock_guard<std::mutex> lock(g_usbfs.mutex);
    EXPECT_EQ((std::vector<std::string>{"detach 0", "release 0", "attach 0"}), g_usbfs.interfaceEvents);
    EXPECT_EQ("usbhid", g_usbfs.kernelDriver);
}
