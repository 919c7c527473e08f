// The libusb backend against libusb itself, over a usbfs device that umockdev emulates in
// this process: sysfs enumeration, open, configuration read over a control transfer,
// claiming, bulk transfers submitted and reaped, and a cancel that discards the URB.
// Runs under umockdev-wrapper, which routes /sys, /dev and the device's ioctls here.
#include "usbio/usbio.h"
#include "usbio_api.h"

#include <windows.h>

#include <errno.h>
#include <linux/ioctl.h>
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
    std::vector<BYTE> received;              // what came on 0x02
    std::vector<BYTE> reply;                 // what 0x83 gives next
    int claims = 0;
    int discards = 0;
    std::vector<unsigned> clearedHalts;  // endpoints

    // Under the mutex: fills waiting IN transfers from `reply`.
    void serveLocked() {
        while (!flying.empty() && !reply.empty()) {
            UMockdevIoctlData* data = flying.front();
            flying.erase(flying.begin());
            usbdevfs_urb* urb = (usbdevfs_urb*)data->data;
            const size_t n = std::min<size_t>(urb->buffer_length, reply.size());
            memcpy(urb->buffer, reply.data(), n);  // one address space: the client's buffer
            reply.erase(reply.begin(), reply.begin() + n);
            urb->actual_length = (int)n;
            urb->status = 0;
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
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION: umockdev_ioctl_client_complete(client, 0, 0); return TRUE;
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* endpoint = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), NULL);
        g_usbfs.clearedHalts.push_back(*(unsigned*)endpoint->data);
        umockdev_ioctl_data_unref(endpoint);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_GETDRIVER: umockdev_ioctl_client_complete(client, -1, ENODATA); return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), NULL);
        usbdevfs_urb* urb = (usbdevfs_urb*)data->data;
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

class UsbfsTestbed : public ::testing::Environment {
public:
    void SetUp() override {
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
