// The USBIO driver's device interface against termsim's virtual USB device: enumeration,
// the requests byte for byte, the driver's buffer checks, pipes and their transfers,
// cancellation, stall, an old driver and unplugging.
#include "HexBytes.h"
#include "ScopedEnv.h"
#include "TempFiles.h"
#include "TermsimProcess.h"

#include "usbio/usbio.h"
#include "usbio_api.h"

#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <string.h>

#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::ByteVec;
using testsupport::ScopedEnv;
using testsupport::TermsimProcess;

namespace {

// 'a' key test, slot 1: answered with a short reply frame.
const char kKeyTestA1[] =
    "05 25 61 20 01 30 31 32 33 34 35 36 37 38 39 00 00 54 65 73 74 69 6E 67 2E 2E 2E FF "
    "30 30 30 30 30 30 30 30 E6";

void PutWord(std::vector<BYTE>& b, size_t offset, WORD value) {
    b[offset] = (BYTE)value;
    b[offset + 1] = (BYTE)(value >> 8);
}

void PutDword(std::vector<BYTE>& b, size_t offset, DWORD value) {
    for (int i = 0; i < 4; ++i)
        b[offset + i] = (BYTE)(value >> (8 * i));
}

// The configuration request laid out by offsets, as an application built without our
// header would send it: configuration index 0, interface 0 / setting 0 / 4096 bytes.
std::vector<BYTE> ConfigurationRequest() {
    std::vector<BYTE> request(260, 0);
    PutWord(request, 2, 1);
    PutDword(request, 8, 4096);
    return request;
}

// termsim serving its USB device on a socket the library is pointed at.
class VirtualUsbio {
public:
    explicit VirtualUsbio(std::vector<std::string> args = {}) {
        std::vector<std::string> all = {"--transport", "usbio", "--usbio-socket", m_dir.file("usbio.sock")};
        all.insert(all.end(), args.begin(), args.end());
        m_started = m_termsim.start(all);
        m_env.reset(new ScopedEnv("IOCLASSLIB_VIRTUAL_USBIO", m_dir.file("usbio.sock")));
    }

    bool started() const { return m_started; }
    std::string error() const { return m_termsim.error(); }
    TermsimProcess& termsim() { return m_termsim; }

    // The interface path of the virtual device, "" when the enumeration has none.
    static std::string Path() {
        std::vector<std::string> paths;
        win32::usbio::EnumerateInterfacePaths(paths);
        for (const std::string& path : paths)
            if (path.find("usbio_virtual#") != std::string::npos)
                return path;
        return "";
    }

private:
    testsupport::TempDir m_dir{"usbio"};
    TermsimProcess m_termsim;
    bool m_started = false;
    std::unique_ptr<ScopedEnv> m_env;
};

HANDLE Open(const std::string& path, DWORD flags = FILE_FLAG_OVERLAPPED) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, flags, NULL);
}

// DeviceIoControl; returns 0 or GetLastError().
DWORD Ioctl(HANDLE h, DWORD code, const void* in, DWORD cbIn, void* out, DWORD cbOut,
            DWORD* returned = nullptr) {
    DWORD count = 0;
    BOOL ok = DeviceIoControl(h, code, (LPVOID)in, cbIn, out, cbOut, &count, NULL);
    if (returned)
        *returned = count;
    return ok ? 0 : GetLastError();
}

DWORD Configure(HANDLE h) {
    std::vector<BYTE> request = ConfigurationRequest();
    return Ioctl(h, USBIO_IOCTL_SET_CONFIGURATION, request.data(), (DWORD)request.size(), nullptr, 0);
}

DWORD Bind(HANDLE h, BYTE endpoint) { return Ioctl(h, USBIO_IOCTL_BIND_PIPE, &endpoint, 1, nullptr, 0); }

// An overlapped transfer waited for: 0 or the error, count in *pdw.
DWORD Transfer(HANDLE h, bool read, void* buffer, DWORD size, DWORD* pdw, DWORD timeoutMs = 5000) {
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    BOOL ok = read ? ReadFile(h, buffer, size, NULL, &ov) : WriteFile(h, buffer, size, NULL, &ov);
    DWORD status = ok ? 0 : GetLastError();
    if (status == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, timeoutMs) == WAIT_TIMEOUT)
            CancelIo(h);
        status = GetOverlappedResult(h, &ov, pdw, TRUE) ? 0 : GetLastError();
    } else {
        GetOverlappedResult(h, &ov, pdw, FALSE);
    }
    CloseHandle(ov.hEvent);
    return status;
}

struct Pipes {
    HANDLE device = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE, in = INVALID_HANDLE_VALUE;
    ~Pipes() {
        for (HANDLE h : {device, out, in})
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
};

// Opens, configures and binds as the USBIO port does; false with a failure recorded.
bool OpenPipes(Pipes& pipes, DWORD flags = FILE_FLAG_OVERLAPPED) {
    const std::string path = VirtualUsbio::Path();
    EXPECT_FALSE(path.empty());
    pipes.device = Open(path, flags);
    pipes.out = Open(path, flags);
    pipes.in = Open(path, flags);
    EXPECT_NE(INVALID_HANDLE_VALUE, pipes.device);
    EXPECT_NE(INVALID_HANDLE_VALUE, pipes.in);
    EXPECT_EQ(0u, Configure(pipes.device));
    EXPECT_EQ(0u, Bind(pipes.out, 0x02));
    EXPECT_EQ(0u, Bind(pipes.in, 0x83));
    return !testing::Test::HasFailure();
}

ByteVec SendKeyTest(Pipes& pipes, DWORD readSize) {
    ByteVec request = testsupport::hex(kKeyTestA1);
    DWORD n = 0;
    EXPECT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
    EXPECT_EQ(request.size(), n);
    ByteVec reply(readSize);
    EXPECT_EQ(0u, Transfer(pipes.in, true, reply.data(), readSize, &n));
    reply.resize(n);
    return reply;
}

}  // namespace

// The interface paths SetupAPI lists for the driver's interface class, as the library
// walks them: enumerate by index until ERROR_NO_MORE_ITEMS, size the detail, fetch it.
std::vector<std::string> SetupApiPaths() {
    std::vector<std::string> paths;
    HDEVINFO list =
        SetupDiGetClassDevsA(&USBIO_DEVICE_INTERFACE_GUID, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(INVALID_HANDLE_VALUE, list);
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(list, NULL, &USBIO_DEVICE_INTERFACE_GUID, i, &data)) {
            EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
            break;
        }
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(list, &data, NULL, 0, &size, NULL);
        std::vector<BYTE> buffer(size);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, NULL, NULL));
        paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(list);
    return paths;
}

TEST(UsbioDriver, VirtualDeviceIsListedAfterRealOnesAndOpensByBothNames) {
    VirtualUsbio usbio;
    ASSERT_TRUE(usbio.started()) << usbio.error();
    std::vector<std::string> paths = SetupApiPaths();
    ASSERT_FALSE(paths.empty());
    EXPECT_EQ("\\\\?\\usbio_virtual#vid_1209&pid_0001#1#{1c2a4e98-fb5f-4727-af55-45d18e8e4df9}",
              paths.back());
    for (size_t i = 0; i + 1 < paths.size(); ++i)
        EXPECT_EQ(0u, paths[i].find("\\\\?\\usb#")) << paths[i];

    for (const std::string& name : {paths.back(), "\\\\.\\USBIO_Device" + std::to_string(paths.size() - 1)}) {
        HANDLE h = Open(name);
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << name;
        USBIO_DRIVER_INFO info;
        EXPECT_EQ(0u, Ioctl(h, USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info)));
        CloseHandle(h);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open("\\\\.\\USBIO_Device" + std::to_string(paths.size())));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(UsbioDriver, RequestsAndRepliesByteForByte) {
    VirtualUsbio usbio({"--usbio-id", "1209:0007", "--usbio-packet-size", "64"});
    ASSERT_TRUE(usbio.started()) << usbio.error();
    HANDLE h = Open(VirtualUsbio::Path());
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    std::vector<BYTE> info(12, 0xAA);
    DWORD returned = 0;
    ASSERT_EQ(0u, Ioctl(h, USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, info.data(), 12, &returned));
    EXPECT_EQ(12u, returned);
    EXPECT_EQ(0x41, info[0]);
    EXPECT_EQ(0x01, info[1]);
    EXPECT_EQ(USBIO_INFOFLAG_VIRTUAL_DEVICE,
              (DWORD)(info[8] | info[9] << 8 | info[10] << 16 | info[11] << 24));

    // Recipient 0 (device), type 1, index 0, language 0.
    const BYTE descriptorRequest[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    std::vector<BYTE> descriptor(64, 0xAA);
    ASSERT_EQ(0u,
              Ioctl(h, USBIO_IOCTL_GET_DESCRIPTOR, descriptorRequest, 8, descriptor.data(), 64, &returned));
    ASSERT_EQ(18u, returned);
    EXPECT_EQ(18, descriptor[0]);
    EXPECT_EQ(1, descriptor[1]);
    EXPECT_EQ(0x1209, descriptor[8] | descriptor[9] << 8);
    EXPECT_EQ(0x0007, descriptor[10] | descriptor[11] << 8);
    EXPECT_EQ(0xAA, descriptor[18]);  // nothing past the descriptor

    ASSERT_EQ(0u, Configure(h));
    std::vector<BYTE> config(776, 0xAA);
    ASSERT_EQ(0u, Ioctl(h, USBIO_IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, config.data(), 776, &returned));
    EXPECT_EQ(776u, returned);
    // What the driver knows, and zeros everywhere else.
    std::vector<BYTE> expected(776, 0);
    PutDword(expected, 0, 1);  // interfaces
    PutDword(expected, 4, 2);  // pipes
    expected[8 + 0] = 0;       // interface 0, setting 0, class FF, no subclass, no protocol
    expected[8 + 2] = 0xFF;
    expected[8 + 5] = 2;  // pipes of the interface
    const BYTE endpoints[2] = {0x02, 0x83};
    for (int i = 0; i < 2; ++i) {
        const size_t pipe = 264 + 16 * i;
        PutDword(expected, pipe + 0, USBIO_PIPE_TYPE_BULK);
        PutDword(expected, pipe + 4, 4096);
        PutWord(expected, pipe + 8, 64);
        expected[pipe + 10] = endpoints[i];
    }
    EXPECT_EQ(testsupport::bytesToHex(expected), testsupport::bytesToHex(config));
    CloseHandle(h);
}

// The handles of one device share the way its requests travel: requests made at the same
// time on several handles still each get their own reply.
TEST(UsbioDriver, RequestsOnHandlesOfOneDeviceAtOnceGetTheirOwnReplies) {
    VirtualUsbio usbio;
    ASSERT_TRUE(usbio.started()) << usbio.error();
    const std::string path = VirtualUsbio::Path();
    auto ask = [&](BYTE type, int* pWrong) {
        HANDLE h = Open(path);
        const BYTE request[8] = {0, 0, 0, 0, type, 0, 0, 0};  // device recipient, index 0
        for (int i = 0; i < 100; ++i) {
            BYTE reply[64] = {};
            DWORD returned = 0;
            if (Ioctl(h, USBIO_IOCTL_GET_DESCRIPTOR, request, 8, reply, sizeof(reply), &returned) != 0 ||
                returned < 2 || reply[1] != type)
                ++*pWrong;
        }
        CloseHandle(h);
    };
    int wrongDevice = 0, wrongConfiguration = 0;
    std::thread other(ask, (BYTE)USBIO_DESCRIPTOR_TYPE_CONFIGURATION, &wrongConfiguration);
    ask((BYTE)USBIO_DESCRIPTOR_TYPE_DEVICE, &wrongDevice);
    other.join();
    EXPECT_EQ(0, wrongDevice);
    EXPECT_EQ(0, wrongConfiguration);
}

TEST(UsbioDriver, BufferSizesAndRequestOrderAreCheckedAsTheDriverChecksThem) {
    VirtualUsbio usbio;
    ASSERT_TRUE(usbio.started()) << usbio.error();
    HANDLE h = Open(VirtualUsbio::Path());
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<BYTE> big(1024, 0);
    const BYTE descriptorRequest[8] = {0, 0, 0, 0, 1, 0, 0, 0};
    const BYTE badRecipient[8] = {4, 0, 0, 0, 1, 0, 0, 0};
    std::vector<BYTE> configuration = ConfigurationRequest();
    std::vector<BYTE> noSuchInterface = ConfigurationRequest();
    noSuchInterface[4] = 1;
    std::vector<BYTE> noInterfaces = ConfigurationRequest();
    noInterfaces[2] = 0;
    const BYTE endpoint = 0x83, control = 0x00, missing = 0x81;
    struct Case {
        const char* what;
        DWORD code;
        const void* in;
        DWORD cbIn;
        DWORD cbOut;
        DWORD status;
    } cases[] = {
        {"driver info, 11-byte output", USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, 11,
         USBIO_ERR_INVALID_OUTBUFFER},
        {"descriptor, 7-byte input", USBIO_IOCTL_GET_DESCRIPTOR, descriptorRequest, 7, 18,
         USBIO_ERR_INVALID_INBUFFER},
        {"descriptor, no output", USBIO_IOCTL_GET_DESCRIPTOR, descriptorRequest, 8, 0,
         USBIO_ERR_INVALID_OUTBUFFER},
        {"descriptor, recipient 4", USBIO_IOCTL_GET_DESCRIPTOR, badRecipient, 8, 18,
         USBIO_ERR_INVALID_RECIPIENT},
        {"configuration info before configuring", USBIO_IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, 776,
         USBIO_ERR_NOT_CONFIGURED},
        {"bind before configuring", USBIO_IOCTL_BIND_PIPE, &endpoint, 1, 0, USBIO_ERR_NOT_CONFIGURED},
        {"configuration, 259-byte input", USBIO_IOCTL_SET_CONFIGURATION, configuration.data(), 259, 0,
         USBIO_ERR_INVALID_INBUFFER},
        {"configuration of no interface", USBIO_IOCTL_SET_CONFIGURATION, noInterfaces.data(), 260, 0,
         USBIO_ERR_INVALID_PARAM},
        {"configuration of interface 1", USBIO_IOCTL_SET_CONFIGURATION, noSuchInterface.data(), 260, 0,
         USBIO_ERR_INTERFACE_NOT_FOUND},
        {"configuration", USBIO_IOCTL_SET_CONFIGURATION, configuration.data(), 260, 0, 0},
        {"configuration info, 775-byte output", USBIO_IOCTL_GET_CONFIGURATION_INFO, nullptr, 0, 775,
         USBIO_ERR_INVALID_OUTBUFFER},
        {"bind, no input", USBIO_IOCTL_BIND_PIPE, &endpoint, 0, 0, USBIO_ERR_INVALID_INBUFFER},
        {"bind to the control pipe", USBIO_IOCTL_BIND_PIPE, &control, 1, 0, USBIO_ERR_INVALID_TYPE},
        {"bind to an endpoint the interface lacks", USBIO_IOCTL_BIND_PIPE, &missing, 1, 0,
         USBIO_ERR_PIPE_NOT_FOUND},
        {"abort on an unbound handle", USBIO_IOCTL_ABORT_PIPE, nullptr, 0, 0, USBIO_ERR_NOT_BOUND},
        {"reset on an unbound handle", USBIO_IOCTL_RESET_PIPE, nullptr, 0, 0, USBIO_ERR_NOT_BOUND},
        {"unknown control code", 0x80942FFC, nullptr, 0, 0, USBIO_ERR_INVALID_IOCTL},
        {"bind", USBIO_IOCTL_BIND_PIPE, &endpoint, 1, 0, 0},
        {"bind again to the same endpoint", USBIO_IOCTL_BIND_PIPE, &endpoint, 1, 0, 0},
        {"bind again to another endpoint", USBIO_IOCTL_BIND_PIPE, &missing, 1, 0, USBIO_ERR_ALREADY_BOUND},
        {"abort on the bound pipe", USBIO_IOCTL_ABORT_PIPE, nullptr, 0, 0, 0},
        {"reset of the bound pipe", USBIO_IOCTL_RESET_PIPE, nullptr, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> in(c.cbIn + 1, 0);
        if (c.in)
            memcpy(in.data(), c.in, c.cbIn);
        EXPECT_EQ(c.status, Ioctl(h, c.code, c.in ? in.data() : nullptr, c.cbIn, big.data(), c.cbOut))
            << c.what;
    }
    // A pipe moves data in its endpoint's direction only.
    BYTE byte = 0;
    DWORD n = 0;
    EXPECT_EQ(USBIO_ERR_INVALID_DIRECTION, Transfer(h, false, &byte, 1, &n));
    CloseHandle(h);
}

TEST(UsbioDriver, PipesCarryTheExchangeInPacketsOfTheEndpointsSize) {
    // The key test's reply padded to 100 bytes: 05 LEN 61 STATUS + 95 data + XOR.
    VirtualUsbio usbio({"--fault", "a:*=pad:95"});
    ASSERT_TRUE(usbio.started()) << usbio.error();
    Pipes pipes;
    ASSERT_TRUE(OpenPipes(pipes));

    // Asked for 32 at a time: one full packet each, the rest in the last.
    ByteVec request = testsupport::hex(kKeyTestA1);
    DWORD n = 0;
    ASSERT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
    std::vector<DWORD> sizes;
    ByteVec reply;
    while (reply.size() < 100) {
        BYTE chunk[32];
        ASSERT_EQ(0u, Transfer(pipes.in, true, chunk, 32, &n));
        sizes.push_back(n);
        reply.insert(reply.end(), chunk, chunk + n);
    }
    EXPECT_EQ(std::vector<DWORD>({32, 32, 32, 4}), sizes);
    EXPECT_EQ(0x05, reply[0]);
    EXPECT_EQ(100, reply[1]);

    // One big read takes all the device has, no more.
    ByteVec whole = SendKeyTest(pipes, 1000);
    EXPECT_EQ(100u, whole.size());
    // A read with less room than the next packet is overrun, as on a host controller: it
    // ends with the packets before, and that packet is lost.
    ASSERT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
    BYTE head[40];
    EXPECT_EQ(USBIO_ERR_DATA_OVERRUN, Transfer(pipes.in, true, head, sizeof(head), &n));
    EXPECT_EQ(32u, n);
    BYTE rest[100];
    ASSERT_EQ(0u, Transfer(pipes.in, true, rest, sizeof(rest), &n));
    EXPECT_EQ(36u, n);

    // Past what one message carries, a transfer goes in pieces and still counts whole.
    std::vector<BYTE> large(10000, 0x55);
    ASSERT_EQ(0u, Transfer(pipes.out, false, large.data(), (DWORD)large.size(), &n));
    EXPECT_EQ(10000u, n);
    ASSERT_TRUE(usbio.termsim().waitForTranscript([](const testsupport::TermsimTranscript& t) {
        size_t bytes = 0;
        for (const auto& e : t.entries())
            if (e.tag == "RX")
                bytes += (e.text.size() + 1) / 3;
        return bytes >= 10000 + 3 * 37;
    }));
}

TEST(UsbioDriver, CancelledReadReportsAbortAndAPendingReadCompletesOnData) {
    VirtualUsbio usbio;
    ASSERT_TRUE(usbio.started()) << usbio.error();
    Pipes pipes;
    ASSERT_TRUE(OpenPipes(pipes));

    BYTE buffer[32];
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_FALSE(ReadFile(pipes.in, buffer, sizeof(buffer), NULL, &ov));
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(ov.hEvent, 50));
    ASSERT_TRUE(CancelIo(pipes.in));
    // CancelIo has waited: the request is complete when it returns.
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(pipes.in, &ov, &n, FALSE));
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, GetLastError());
    EXPECT_EQ(0u, n);

    // Pending first, then the terminal answers the request written after it.
    ASSERT_FALSE(ReadFile(pipes.in, buffer, sizeof(buffer), NULL, &ov));
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    ByteVec request = testsupport::hex(kKeyTestA1);
    ASSERT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
    ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 5000));
    ASSERT_TRUE(GetOverlappedResult(pipes.in, &ov, &n, FALSE));
    EXPECT_EQ(0x05, buffer[0]);
    EXPECT_EQ(n, buffer[1]);
    CloseHandle(ov.hEvent);

    // The device handle's closing leaves the bound pipes working.
    CloseHandle(pipes.device);
    pipes.device = INVALID_HANDLE_VALUE;
    EXPECT_EQ(5u, SendKeyTest(pipes, 32).size());
}

TEST(UsbioDriver, SynchronousHandleWaitsInReadFile) {
    VirtualUsbio usbio;
    ASSERT_TRUE(usbio.started()) << usbio.error();
    Pipes pipes;
    ASSERT_TRUE(OpenPipes(pipes, 0));
    ByteVec request = testsupport::hex(kKeyTestA1);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(pipes.out, request.data(), (DWORD)request.size(), &n, NULL));
    EXPECT_EQ(request.size(), n);
    BYTE reply[32];
    ASSERT_TRUE(ReadFile(pipes.in, reply, sizeof(reply), &n, NULL));
    EXPECT_EQ(5u, n);
}

TEST(UsbioDriver, DeviceFaultsReachTheCallerAsDriverStatusCodes) {
    {
        SCOPED_TRACE("a stalled IN endpoint stays halted until the pipe is reset");
        VirtualUsbio usbio({"--fault", "a:*=stall"});
        ASSERT_TRUE(usbio.started()) << usbio.error();
        Pipes pipes;
        ASSERT_TRUE(OpenPipes(pipes));
        ByteVec request = testsupport::hex(kKeyTestA1);
        DWORD n = 0;
        ASSERT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
        BYTE reply[32];
        EXPECT_EQ(USBIO_ERR_STALL_PID, Transfer(pipes.in, true, reply, sizeof(reply), &n));
        EXPECT_EQ(USBIO_ERR_STALL_PID, Transfer(pipes.in, true, reply, sizeof(reply), &n));
        ASSERT_EQ(0u, Ioctl(pipes.in, USBIO_IOCTL_RESET_PIPE, nullptr, 0, nullptr, 0));
        const ByteVec fetch = testsupport::hex("05 04 16 17");
        ASSERT_EQ(0u, Transfer(pipes.out, false, (void*)fetch.data(), (DWORD)fetch.size(), &n));
        EXPECT_EQ(0u, Transfer(pipes.in, true, reply, sizeof(reply), &n));
        EXPECT_EQ(0x05, reply[0]);
    }
    {
        SCOPED_TRACE("a reply in packets with pauses between them still fills one transfer");
        VirtualUsbio usbio({"--fault", "a:*=pad:95", "--usbio-packet-gap", "20ms"});
        ASSERT_TRUE(usbio.started()) << usbio.error();
        Pipes pipes;
        ASSERT_TRUE(OpenPipes(pipes));
        EXPECT_EQ(100u, SendKeyTest(pipes, 1000).size());
    }
    {
        SCOPED_TRACE("a driver of interface version 1.40");
        VirtualUsbio usbio({"--usbio-driver-version", "0x0140"});
        ASSERT_TRUE(usbio.started()) << usbio.error();
        HANDLE h = Open(VirtualUsbio::Path());
        USBIO_DRIVER_INFO info = {};
        ASSERT_EQ(0u, Ioctl(h, USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info)));
        EXPECT_EQ(0x0140, info.InterfaceVersion);
        CloseHandle(h);
    }
    {
        SCOPED_TRACE("unplugged while a read waits, then plugged in again");
        VirtualUsbio usbio({"--fault", "a:*=close", "--usbio-replug-after", "300ms"});
        ASSERT_TRUE(usbio.started()) << usbio.error();
        Pipes pipes;
        ASSERT_TRUE(OpenPipes(pipes));
        BYTE reply[32];
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
        ASSERT_FALSE(ReadFile(pipes.in, reply, sizeof(reply), NULL, &ov));
        ByteVec request = testsupport::hex(kKeyTestA1);
        DWORD n = 0;
        ASSERT_EQ(0u, Transfer(pipes.out, false, request.data(), (DWORD)request.size(), &n));
        ASSERT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 5000));
        EXPECT_FALSE(GetOverlappedResult(pipes.in, &ov, &n, FALSE));
        EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, GetLastError());
        CloseHandle(ov.hEvent);
        EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, Transfer(pipes.out, false, request.data(), 1, &n));
        USBIO_DRIVER_INFO info;
        EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT,
                  Ioctl(pipes.device, USBIO_IOCTL_GET_DRIVER_INFO, nullptr, 0, &info, sizeof(info)));

        // Back under the same path: the handles of the device that went stay dead, a bind
        // on a bound one included; a fresh open starts afresh.
        std::string path;
        for (int i = 0; i < 100 && path.empty(); ++i) {
            Sleep(20);
            path = VirtualUsbio::Path();
        }
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, Bind(pipes.in, 0x83));
        EXPECT_EQ(USBIO_ERR_DEVICE_NOT_PRESENT, Configure(pipes.device));
        Pipes again;
        ASSERT_TRUE(OpenPipes(again));
    }
}
