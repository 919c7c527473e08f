// The USBIO device and pipe classes against termsim's virtual USB device, served in this
// process (VirtualUsbioDevice.h): enumeration, the version check, the configuration read
// back, pipe transfers with their time-outs, and the streaming workers.
#include <UsbDriverPipe.h>
#include <UsbTransfer.h>
#include <UsbWorkerPatternReader.h>
#include <UsbWorkerPatternWriter.h>

#include <gtest/gtest.h>

#include <string.h>

#include <memory>
#include <vector>

#include "VirtualUsbioDevice.h"

namespace {

using Bytes = std::vector<unsigned char>;

termsim::UsbioOptions Options(unsigned packetSize = 32, WORD wVersion = USBIO_INTERFACE_VERSION) {
    termsim::UsbioOptions options;
    options.packetSize = packetSize;
    options.driverVersion = wVersion;
    return options;
}

// The driver's list with the virtual device in it, destroyed at the end of the test.
class DeviceList {
public:
    DeviceList() : m_hList(CUsbDriverDevice::CreateDeviceList(&USBIO_DEVICE_INTERFACE_GUID)) {}
    ~DeviceList() { CUsbDriverDevice::DestroyDeviceList(m_hList); }
    operator HDEVINFO() const { return m_hList; }

private:
    HDEVINFO m_hList;
};

// The index of the first device in the list that opens (the virtual one comes after any
// real device this process may open).
int VirtualDeviceNumber(HDEVINFO hList) {
    int nLast = -1;
    for (int i = 0; i < 128; ++i) {
        CUsbDriverDevice device;
        if (device.Open(i, hList, &USBIO_DEVICE_INTERFACE_GUID) != 0)
            break;
        nLast = i;
    }
    return nLast;
}

// A configured device with a pipe bound to each bulk endpoint.
struct BoundPipes {
    CUsbDriverDevice device;
    CUsbDriverPipe out;
    CUsbDriverPipe in;
    DWORD dwStatus = 0;

    BoundPipes(HDEVINFO hList, int n) {
        dwStatus = device.Open(n, hList, &USBIO_DEVICE_INTERFACE_GUID);
        USBIO_SET_CONFIGURATION request;
        memset(&request, 0, sizeof(request));
        request.NbOfInterfaces = 1;
        request.InterfaceList[0].MaximumTransferSize = 4096;
        if (dwStatus == 0)
            dwStatus = device.SetConfiguration(&request);
        if (dwStatus == 0)
            dwStatus = out.Bind(n, 0x02, hList, &USBIO_DEVICE_INTERFACE_GUID);
        if (dwStatus == 0)
            dwStatus = in.Bind(n, 0x83, hList, &USBIO_DEVICE_INTERFACE_GUID);
    }
};

// Serve: the virtual device served and the driver's list with it; Find adds the device's
// number there, Bind pipes on both bulk endpoints. Call them in ASSERT_NO_FATAL_FAILURE.
class OnVirtualDevice : public ::testing::Test {
protected:
    void Serve(const termsim::UsbioOptions& options, bool bLoopback = false) {
        virt.reset(new testsupport::VirtualUsbioDevice(options, bLoopback));
        ASSERT_TRUE(virt->ok()) << virt->error();
        list.reset(new DeviceList);
        ASSERT_NE(nullptr, (HDEVINFO)*list);
    }
    void Find(const termsim::UsbioOptions& options, bool bLoopback = false) {
        ASSERT_NO_FATAL_FAILURE(Serve(options, bLoopback));
        n = VirtualDeviceNumber(*list);
        ASSERT_GE(n, 0);
    }
    void Bind(const termsim::UsbioOptions& options, bool bLoopback = false) {
        ASSERT_NO_FATAL_FAILURE(Find(options, bLoopback));
        pipes.reset(new BoundPipes(*list, n));
        ASSERT_EQ(0u, pipes->dwStatus);
    }

    std::unique_ptr<testsupport::VirtualUsbioDevice> virt;
    std::unique_ptr<DeviceList> list;
    int n = -1;
    std::unique_ptr<BoundPipes> pipes;
};
using UsbDriverDevice = OnVirtualDevice;
using UsbDriverPipe = OnVirtualDevice;
using UsbWorkers = OnVirtualDevice;

TEST_F(UsbDriverDevice, RequestsOnAClosedObjectNeverReachTheDriver) {
    CUsbDriverPipe pipe;
    BYTE buffer[18];
    DWORD dwSize = sizeof(buffer);
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_OPENED, pipe.GetDeviceDescriptor(buffer));
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_OPENED, pipe.ReadSync(buffer, &dwSize, 10));
    EXPECT_EQ(0u, dwSize);
    dwSize = sizeof(buffer);
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_OPENED, pipe.WriteSync(buffer, &dwSize, 10));
    EXPECT_EQ(USBIO_ERR_DEVICE_NOT_OPENED, GetLastError());
    // A list but no interface class to look it up by.
    DeviceList list;
    EXPECT_EQ(USBIO_ERR_INVALID_FUNCTION_PARAM, pipe.Open(0, list, NULL));
    pipe.Close();
    pipe.Close();
}

TEST_F(UsbDriverDevice, OpensTheVirtualDeviceOnceAndRefusesAnIndexPastTheList) {
    ASSERT_NO_FATAL_FAILURE(Find(Options()));

    CUsbDriverDevice device;
    ASSERT_EQ(0u, device.Open(n, *list, &USBIO_DEVICE_INTERFACE_GUID));
    const HANDLE hFirst = device.GetDeviceHandle();
    // Open on an open object keeps the handle it has, whatever number it is given.
    EXPECT_EQ(0u, device.Open(n + 5, *list, &USBIO_DEVICE_INTERFACE_GUID));
    EXPECT_EQ(hFirst, device.GetDeviceHandle());
    EXPECT_NE(0u, device.GetDriverFlags() & USBIO_INFOFLAG_VIRTUAL_DEVICE);

    BYTE descriptor[USBIO_DEVICE_DESCRIPTOR_SIZE];
    ASSERT_EQ(0u, device.GetDeviceDescriptor(descriptor));
    EXPECT_EQ(18, descriptor[0]);
    EXPECT_EQ(1, descriptor[1]);
    EXPECT_EQ(0x1209, descriptor[8] | descriptor[9] << 8);
    EXPECT_EQ(0x0001, descriptor[10] | descriptor[11] << 8);

    CUsbDriverDevice past;
    EXPECT_EQ(USBIO_ERR_NO_SUCH_DEVICE_INSTANCE, past.Open(n + 1, *list, &USBIO_DEVICE_INTERFACE_GUID));
    EXPECT_FALSE(past.IsOpen());
}

TEST_F(UsbDriverDevice, ADriverOfAnotherInterfaceVersionIsRefusedAndLeftClosed) {
    ASSERT_NO_FATAL_FAILURE(Serve(Options(32, 0x0140)));
    // The refused device is still listed; it is the last one.
    for (int i = 0; i < 128; ++i) {
        CUsbDriverDevice device;
        const DWORD dwStatus = device.Open(i, *list, &USBIO_DEVICE_INTERFACE_GUID);
        if (dwStatus == USBIO_ERR_NO_SUCH_DEVICE_INSTANCE)
            break;
        if (dwStatus == USBIO_ERR_VERSION_MISMATCH) {
            n = i;
            EXPECT_FALSE(device.IsOpen());
        }
    }
    ASSERT_GE(n, 0);
    CUsbDriverPipe pipe;
    EXPECT_EQ(USBIO_ERR_VERSION_MISMATCH, pipe.Bind(n, 0x83, *list, &USBIO_DEVICE_INTERFACE_GUID));
    EXPECT_FALSE(pipe.IsOpen());
}

TEST_F(UsbDriverDevice, ConfigurationInfoHasZerosWhereTheDriverKnowsNothing) {
    ASSERT_NO_FATAL_FAILURE(Bind(Options(64)));

    // Garbage first: every byte the driver does not fill must come back 0.
    USBIO_CONFIGURATION_INFO info;
    memset(&info, 0xA5, sizeof(info));
    ASSERT_EQ(0u, pipes->device.GetConfigurationInfo(&info));
    ASSERT_EQ(1u, info.NbOfInterfaces);
    ASSERT_EQ(2u, info.NbOfPipes);
    std::vector<BYTE> endpoints;
    for (DWORD i = 0; i < info.NbOfPipes; ++i) {
        endpoints.push_back(info.PipeInfo[i].EndpointAddress);
        EXPECT_EQ((DWORD)USBIO_PIPE_TYPE_BULK, info.PipeInfo[i].PipeType);
        EXPECT_EQ(64, info.PipeInfo[i].MaximumPacketSize);
    }
    EXPECT_EQ((std::vector<BYTE>{0x02, 0x83}), endpoints);
    const Bytes zeros(sizeof(info), 0);
    const BYTE* p = (const BYTE*)&info;
    const size_t unusedInterfaces =
        offsetof(USBIO_CONFIGURATION_INFO, InterfaceInfo) + sizeof(info.InterfaceInfo[0]);
    const size_t unusedPipes = offsetof(USBIO_CONFIGURATION_INFO, PipeInfo) + 2 * sizeof(info.PipeInfo[0]);
    EXPECT_EQ(Bytes(zeros.begin(),
                    zeros.begin() + (offsetof(USBIO_CONFIGURATION_INFO, PipeInfo) - unusedInterfaces)),
              Bytes(p + unusedInterfaces, p + offsetof(USBIO_CONFIGURATION_INFO, PipeInfo)));
    EXPECT_EQ(Bytes(zeros.begin(), zeros.begin() + (sizeof(info) - unusedPipes)),
              Bytes(p + unusedPipes, p + sizeof(info)));
}

TEST_F(UsbDriverPipe, ReadsWritesAndTimesOut) {
    ASSERT_NO_FATAL_FAILURE(Bind(Options(32)));

    // Nothing queued: the read is cancelled at its time-out and has moved nothing.
    BYTE buffer[64];
    memset(buffer, 0xEE, sizeof(buffer));
    DWORD dwSize = 32;
    EXPECT_EQ(USBIO_ERR_TIMEOUT, pipes->in.ReadSync(buffer, &dwSize, 50));
    EXPECT_EQ(0u, dwSize);
    EXPECT_EQ(USBIO_ERR_TIMEOUT, GetLastError());
    EXPECT_EQ(0xEE, buffer[0]);

    // Queued before the read: it completes with what is there.
    const Bytes reply = {0x05, 0x06, 'a', 0x00, 0x11, 0x73};
    virt->Reply(reply);
    dwSize = 32;
    ASSERT_EQ(0u, pipes->in.ReadSync(buffer, &dwSize, 5000));
    EXPECT_EQ(reply, Bytes(buffer, buffer + dwSize));

    // A write lands at the device whole; a read asks no more than it gets.
    Bytes request(37);
    for (size_t i = 0; i < request.size(); ++i)
        request[i] = (BYTE)i;
    dwSize = (DWORD)request.size();
    ASSERT_EQ(0u, pipes->out.WriteSync(request.data(), &dwSize, 5000));
    EXPECT_EQ(37u, dwSize);
    ASSERT_TRUE(virt->WaitReceived(37));
    EXPECT_EQ(request, virt->Received());

    // A device that holds the OUT transfer (NAKs it) makes the write wait out its time-out;
    // the cancelled transfer never reaches it, and the next write does once it takes them.
    virt->HoldWrites(true);
    dwSize = 5;
    EXPECT_EQ(USBIO_ERR_TIMEOUT, pipes->out.WriteSync(request.data(), &dwSize, 50));
    EXPECT_EQ(0u, dwSize);
    EXPECT_EQ(USBIO_ERR_TIMEOUT, GetLastError());
    virt->HoldWrites(false);
    dwSize = 3;
    ASSERT_EQ(0u, pipes->out.WriteSync(request.data() + 10, &dwSize, 5000));
    ASSERT_TRUE(virt->WaitReceived(40));
    Bytes landed = request;
    landed.insert(landed.end(), request.begin() + 10, request.begin() + 13);
    EXPECT_EQ(landed, virt->Received());

    // A packet bigger than the room in the read overruns it and is lost, as on a host
    // controller; the short packet after it is read whole.
    virt->Reply(Bytes(40, 0x33));
    dwSize = 8;
    EXPECT_EQ(USBIO_ERR_DATA_OVERRUN, pipes->in.ReadSync(buffer, &dwSize, 5000));
    EXPECT_EQ(0u, dwSize);
    dwSize = 32;
    ASSERT_EQ(0u, pipes->in.ReadSync(buffer, &dwSize, 5000));
    EXPECT_EQ(8u, dwSize);

    // A halted endpoint fails the read at once with the driver's stall status.
    virt->Stall();
    dwSize = 32;
    EXPECT_NE(0u, pipes->in.ReadSync(buffer, &dwSize, 5000));
}

TEST_F(UsbWorkers, StreamTheCountingPatternThroughALoopbackDevice) {
    ASSERT_NO_FATAL_FAILURE(Bind(Options(64), true));

    // Whole packets per buffer: the loopback device cuts its packets from the byte stream,
    // and a read with less room than a packet would be overrun.
    const DWORD kBuffers = 50, kSize = 256;
    CUsbWorkerPatternReader reader;
    CUsbWorkerPatternWriter writer;
    ASSERT_EQ(0u, reader.Bind(n, 0x83, *list, &USBIO_DEVICE_INTERFACE_GUID));
    ASSERT_EQ(0u, writer.Bind(n, 0x02, *list, &USBIO_DEVICE_INTERFACE_GUID));
    ASSERT_TRUE(reader.AllocateBuffers(4, kSize));
    ASSERT_TRUE(writer.AllocateBuffers(3, kSize));
    writer.SetStream(kBuffers, kSize);

    ASSERT_TRUE(reader.StartThread());
    ASSERT_TRUE(writer.StartThread());
    ASSERT_TRUE(writer.WaitForThread(20000));
    EXPECT_EQ(kBuffers, writer.GetBuffersWritten());
    EXPECT_EQ(0u, writer.GetFailedWrites());
    for (int i = 0; i < 2000 && reader.GetGoodBuffers() + reader.GetBadBuffers() < kBuffers; ++i)
        Sleep(10);
    // Stopping cancels the reads still out and gets every buffer back.
    reader.ShutdownThread();
    EXPECT_EQ(kBuffers, reader.GetGoodBuffers());
    EXPECT_EQ(0u, reader.GetBadBuffers());
    EXPECT_EQ(kBuffers * kSize, reader.GetBytesRead());
    EXPECT_EQ(4, reader.GetBufferPool().GetFreeCount());
    EXPECT_EQ(3, writer.GetBufferPool().GetFreeCount());
    EXPECT_EQ(kBuffers * kSize, virt->Received().size());
}

TEST_F(UsbWorkers, AReaderStopsByItselfWhenTheDeviceGoesAway) {
    ASSERT_NO_FATAL_FAILURE(Bind(Options(32)));

    CUsbWorkerPatternReader reader;
    ASSERT_EQ(0u, reader.Bind(n, 0x83, *list, &USBIO_DEVICE_INTERFACE_GUID));
    ASSERT_TRUE(reader.AllocateBuffers(2, 64));
    ASSERT_TRUE(reader.StartThread(3));
    virt->Unplug();
    ASSERT_TRUE(reader.WaitForThread(10000));
    EXPECT_GT(reader.GetFailedReads(), 3u);
    EXPECT_EQ(2, reader.GetBufferPool().GetFreeCount());

    // An empty pool has nothing to read with: the loop ends at once.
    CUsbWorkerPatternReader idle;
    ASSERT_TRUE(idle.StartThread());
    EXPECT_TRUE(idle.WaitForThread(10000));
}

}  // namespace
