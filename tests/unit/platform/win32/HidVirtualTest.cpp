// HID devices through the whole Windows API path (setupapi, CreateFileA, HidD_*, HidP_*,
// ReadFile/WriteFile, device-change messages), with the virtual backend against an
// in-test device server.
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>
#include <hidsdi.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <string>
#include <thread>
#include <vector>

#include "FakeHidServer.h"
#include "HidIdentity.h"
#include "HidInterfacePaths.h"
#include "MessagePump.h"

using namespace testsupport;

namespace {

const DWORD kReportLength = 65;

// The interface paths of the virtual devices present, in enumeration order. Real devices
// of the machine may be listed before them; they are left alone.
std::vector<std::string> VirtualHidPaths() {
    std::vector<std::string> paths;
    for (const std::string& path : testsupport::HidInterfacePaths())
        if (path.find("#virtual_") != std::string::npos)
            paths.push_back(path);
    return paths;
}

// A terminal-like device: 1209:pppp with 65-byte reports, numbered or not.
FakeHidDevice Terminal(uint32_t id, uint16_t wProduct = 0x0001, bool bNumbered = true) {
    FakeHidDevice device{id, {}};
    device.shape.productId = wProduct;
    device.shape.numbered = bNumbered;
    return device;
}

// Each report of a device with numbered 65-byte reports answered with an input report
// that carries the output's first data byte.
std::vector<FakeHidStep> Echo(std::vector<uint8_t> tags) {
    std::vector<FakeHidStep> steps;
    for (uint8_t tag : tags) {
        std::vector<uint8_t> reply(kReportLength, 0);
        reply[0] = 1;
        reply[1] = tag;
        steps.push_back({{2, tag}, {reply}});
    }
    return steps;
}

HANDLE OpenDevice(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

TEST(HidVirtual, SetupApiListsTheDevicesWithTheDetailSizeProtocolAndRefusesForeignRecordSizes) {
    FakeHidServer server({Terminal(7), Terminal(9, 0x0002, false)});
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevInfo);

    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = 5;  // not this layout's size
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &hidGuid, 0, &data));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    data.cbSize = sizeof(data);

    std::vector<std::string> found;
    DWORD i = 0;
    for (; SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &hidGuid, i, &data); ++i) {
        DWORD dwRequired = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, NULL, 0, &dwRequired, NULL));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        std::vector<char> buffer(dwRequired);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = 5;  // the 32-bit layout's size
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, dwRequired, NULL, NULL));
        EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, dwRequired - 1, NULL, NULL));
        EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
        SP_DEVINFO_DATA devInfo = {};
        devInfo.cbSize = sizeof(devInfo);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, dwRequired, NULL, &devInfo));
        EXPECT_EQ(dwRequired,
                  offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + strlen(detail->DevicePath) + 1);
        EXPECT_NE(0u, devInfo.DevInst);
        if (strstr(detail->DevicePath, "#virtual_"))
            found.push_back(detail->DevicePath);
    }
    EXPECT_EQ((DWORD)ERROR_NO_MORE_ITEMS, GetLastError());
    ASSERT_EQ(2u, found.size()) << "virtual devices come after the real ones, in the server's order";
    EXPECT_EQ("\\\\?\\hid#vid_1209&pid_0001#virtual_7#{4d1e55b2-f16f-11cf-88cb-001111000030}", found[0]);
    EXPECT_EQ("\\\\?\\hid#vid_1209&pid_0002#virtual_9#{4d1e55b2-f16f-11cf-88cb-001111000030}", found[1]);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(hDevInfo));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(hDevInfo));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(HidVirtual, AnOpenDeviceGivesItsIdentityStringsAndCapsAndRefusesTheCommFunctions) {
    FakeHidDevice device = Terminal(7);
    device.shape.version = 0x0102;
    device.shape.manufacturer = "Test Maker";
    device.shape.product = "Virtual Terminal \xC3\xA9";  // a non-ASCII letter
    device.shape.serialNumber = "SN0001";
    FakeHidServer server({device});
    std::vector<std::string> paths = VirtualHidPaths();
    ASSERT_EQ(1u, paths.size());
    HANDLE h = OpenDevice(paths[0]);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    // The serial number cut to a buffer of four characters, terminated.
    EXPECT_EQ("1209:0001 v0102, usage page ff00, reports 65/65, Test Maker, Virtual Terminal \\u00e9, SN0",
              HidIdentity(h, 4));

    // The HID class driver serves none of the comm functions.
    COMMTIMEOUTS timeouts = {};
    COMSTAT stat;
    DWORD dwErrors;
    EXPECT_FALSE(SetCommTimeouts(h, &timeouts));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_FALSE(GetCommTimeouts(h, &timeouts));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_FALSE(PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_FALSE(ClearCommError(h, &dwErrors, &stat));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_TRUE(CloseHandle(h));
}

TEST(HidVirtual, ReportsCrossInWindowsFormWithAndWithoutReportIds) {
    for (bool bNumbered : {true, false}) {
        SCOPED_TRACE(bNumbered ? "numbered" : "unnumbered");
        FakeHidServer server({Terminal(1, 0x0001, bNumbered)});
        // A hidraw node carries a numbered report with its ID and an unnumbered one without.
        std::vector<uint8_t> reply = {3, 0x42};
        reply.resize(64, 0);
        if (bNumbered)
            reply.insert(reply.begin(), 1);
        server.Expect({{bNumbered ? std::vector<uint8_t>{2, 0x41} : std::vector<uint8_t>{0x41}, {reply}}});
        std::vector<std::string> paths = VirtualHidPaths();
        ASSERT_EQ(1u, paths.size());
        HANDLE h = OpenDevice(paths[0]);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);

        BYTE input[kReportLength] = {};
        OVERLAPPED readOv = {};
        readOv.hEvent = hEvent;
        DWORD dwRead = 0;
        const BOOL bReadDone = ReadFile(h, input, kReportLength, &dwRead, &readOv);
        ASSERT_TRUE(bReadDone || GetLastError() == ERROR_IO_PENDING);

        BYTE output[kReportLength] = {};
        output[0] = bNumbered ? 2 : 0;
        output[1] = 0x41;
        OVERLAPPED writeOv = {};
        HANDLE hWriteEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        writeOv.hEvent = hWriteEvent;
        DWORD dwWritten = 0;
        if (!WriteFile(h, output, kReportLength, &dwWritten, &writeOv)) {
            ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
        }
        ASSERT_TRUE(GetOverlappedResult(h, &writeOv, &dwWritten, TRUE));
        EXPECT_EQ(kReportLength, dwWritten);
        ASSERT_TRUE(GetOverlappedResult(h, &readOv, &dwRead, TRUE));

        EXPECT_EQ(kReportLength, dwRead);
        EXPECT_EQ(bNumbered ? 1 : 0, input[0]) << "the report ID, or the 0 in its place";
        EXPECT_EQ(3, input[1]);
        EXPECT_EQ(0x42, input[2]);
        const std::vector<std::vector<uint8_t>> outputs = server.Outputs();
        ASSERT_EQ(1u, outputs.size());
        EXPECT_EQ(bNumbered ? 65u : 64u, outputs[0].size()) << "the 0 of an unnumbered report stays home";
        EXPECT_EQ("", server.Mismatches());

        // Whole reports only.
        EXPECT_FALSE(WriteFile(h, output, kReportLength - 1, &dwWritten, &writeOv));
        EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
        EXPECT_FALSE(ReadFile(h, input, kReportLength - 1, &dwRead, &readOv));
        EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
        if (!bNumbered) {
            output[0] = 5;
            EXPECT_FALSE(WriteFile(h, output, kReportLength, &dwWritten, &writeOv));
            EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
        }
        CloseHandle(hEvent);
        CloseHandle(hWriteEvent);
        CloseHandle(h);
    }
}

// However the caller waits for a read, the family's thread completes it and the reply
// reaches the caller.
TEST(HidVirtual, AReadCompletesHoweverItsCallerWaitsForIt) {
    enum Wait { kSingle, kOverlappedResult, kSeveral, kPolling };
    const struct {
        const char* name;
        Wait wait;
    } cases[] = {{"WaitForSingleObject", kSingle},
                 {"GetOverlappedResult", kOverlappedResult},
                 {"WaitForMultipleObjects", kSeveral},
                 {"HasOverlappedIoCompleted and Sleep", kPolling}};
    FakeHidServer server({Terminal(1)});
    server.Expect(Echo({0x11, 0x12, 0x13, 0x14}));
    std::vector<std::string> paths = VirtualHidPaths();
    ASSERT_EQ(1u, paths.size());
    HANDLE h = OpenDevice(paths[0]);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hOther = CreateEventA(NULL, TRUE, FALSE, NULL);
    HANDLE hWriteEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BYTE tag = 0x10;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++tag;
        BYTE input[kReportLength] = {};
        OVERLAPPED ov = {};
        ov.hEvent = hEvent;
        DWORD dwRead = 0;
        ASSERT_FALSE(ReadFile(h, input, kReportLength, &dwRead, &ov));
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
        auto writeOutput = [&] {
            BYTE output[kReportLength] = {2, tag};
            OVERLAPPED writeOv = {};
            writeOv.hEvent = hWriteEvent;
            DWORD dwWritten = 0;
            // Done once the device has taken the report.
            if (!WriteFile(h, output, kReportLength, &dwWritten, &writeOv)) {
                ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
            }
            ASSERT_TRUE(GetOverlappedResult(h, &writeOv, &dwWritten, TRUE));
        };
        auto pollUntilDone = [&] {
            for (int i = 0; i < 10000 && !HasOverlappedIoCompleted(&ov); ++i)
                Sleep(1);
        };
        switch (c.wait) {
        case kSingle:
            writeOutput();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 20000));
            break;
        case kOverlappedResult:
            writeOutput();
            EXPECT_TRUE(GetOverlappedResult(h, &ov, &dwRead, TRUE));
            break;
        case kSeveral: {
            writeOutput();
            const HANDLE handles[2] = {hOther, hEvent};
            EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, handles, FALSE, 20000));
            break;
        }
        case kPolling:
            writeOutput();
            pollUntilDone();
            break;
        }
        ASSERT_TRUE(HasOverlappedIoCompleted(&ov));
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &dwRead, FALSE));
        EXPECT_EQ(kReportLength, dwRead);
        EXPECT_EQ(1, input[0]);
        EXPECT_EQ(tag, input[1]) << "this case's own reply, not an earlier one";
    }
    CloseHandle(hWriteEvent);
    CloseHandle(hOther);
    CloseHandle(hEvent);
    CloseHandle(h);
}

// Input reports wait in a queue per handle, 32 by default, 2 to 512 as asked; when more
// come than it holds while nobody reads, the oldest go. A new count starts an empty queue.
TEST(HidVirtual, InputReportsWaitInAQueueOfTheSizeAskedForAndTheOldestGo) {
    const int kSent = 40;
    const struct {
        const char* name;
        ULONG count;  // 0: left as it is
        bool bSetAfterTheReports;
        BOOLEAN result;
        int kept;  // the newest this many, in order
    } cases[] = {
        {"default", 0, false, TRUE, 32},
        {"two", 2, false, TRUE, 2},
        {"more than were sent", 64, false, TRUE, kSent},
        {"the most", 512, false, TRUE, kSent},
        {"one is too few", 1, false, FALSE, 32},
        {"513 is too many", 513, false, FALSE, 32},
        {"set once they are in", 64, true, TRUE, 0},
    };
    std::vector<std::vector<uint8_t>> burst;
    for (int i = 1; i <= kSent; ++i) {
        std::vector<uint8_t> report(kReportLength, 0);
        report[0] = 1;
        report[1] = (uint8_t)i;
        burst.push_back(report);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHidServer server({Terminal(1)});
        server.Expect({{{2}, burst}});
        std::vector<std::string> paths = VirtualHidPaths();
        ASSERT_EQ(1u, paths.size());
        HANDLE h = OpenDevice(paths[0]);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        auto setCount = [&] {
            SetLastError(0);
            EXPECT_EQ(c.result, HidD_SetNumInputBuffers(h, c.count));
            EXPECT_EQ(c.result ? 0u : (DWORD)ERROR_INVALID_PARAMETER, GetLastError());
        };
        if (c.count && !c.bSetAfterTheReports)
            setCount();
        HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        OVERLAPPED ov = {};
        ov.hEvent = hEvent;
        BYTE output[kReportLength] = {2};
        DWORD dwDone = 0;
        if (!WriteFile(h, output, kReportLength, &dwDone, &ov)) {
            ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
        }
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &dwDone, TRUE));
        ASSERT_TRUE(server.WaitUntilDelivered());
        if (c.bSetAfterTheReports)
            setCount();

        std::vector<int> got;
        for (;;) {
            BYTE input[kReportLength] = {};
            ResetEvent(hEvent);
            if (!ReadFile(h, input, kReportLength, &dwDone, &ov)) {
                ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
                break;  // the queue is empty
            }
            got.push_back(input[1]);
        }
        CancelIo(h);
        GetOverlappedResult(h, &ov, &dwDone, TRUE);
        std::vector<int> expected;
        for (int i = kSent - c.kept + 1; i <= kSent; ++i)
            expected.push_back(i);
        EXPECT_EQ(expected, got);
        CloseHandle(hEvent);
        CloseHandle(h);
    }
}

// ---- Device-change messages ------------------------------------------------------------

struct Notice {
    WPARAM event;
    DWORD type;
    std::string name;
    HANDLE handle;
};
std::vector<Notice>* g_notices;

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE && lParam) {
        const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        Notice notice = {wParam, header->dbch_devicetype, "", NULL};
        if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE)
            notice.name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam)->dbcc_name;
        else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE)
            notice.handle = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(lParam)->dbch_handle;
        g_notices->push_back(notice);
        return TRUE;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST(HidVirtual, UnplugFailsPendingTransfersAtOnceAndReachesRegisteredWindowsAsRemovalAndArrival) {
    FakeHidServer server({Terminal(3)});
    std::vector<Notice> notices;
    g_notices = &notices;
    std::vector<std::string> paths = VirtualHidPaths();
    ASSERT_EQ(1u, paths.size());
    HANDLE h = OpenDevice(paths[0]);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);

    HWND hwnd = CreateWindowExA(0, "STATIC", "watcher", 0, 0, 0, 2, 2, NULL, NULL, NULL, NULL);
    ASSERT_NE((HWND)NULL, hwnd);
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)RecordingProc);
    DEV_BROADCAST_DEVICEINTERFACE_A interfaceFilter = {};
    interfaceFilter.dbcc_size = sizeof(interfaceFilter);
    interfaceFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    HidD_GetHidGuid(&interfaceFilter.dbcc_classguid);
    HDEVNOTIFY hInterface = RegisterDeviceNotificationA(hwnd, &interfaceFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE((HDEVNOTIFY)NULL, hInterface);
    DEV_BROADCAST_HANDLE handleFilter = {};
    handleFilter.dbch_size = sizeof(handleFilter);
    handleFilter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    handleFilter.dbch_handle = h;
    HDEVNOTIFY hHandle = RegisterDeviceNotificationA(hwnd, &handleFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    ASSERT_NE((HDEVNOTIFY)NULL, hHandle);
    ASSERT_TRUE(server.WaitForWatcher());

    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    BYTE input[kReportLength];
    ASSERT_FALSE(ReadFile(h, input, kReportLength, NULL, &ov));
    ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());

    server.Unplug(0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 20000));
    DWORD dwRead = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &dwRead, FALSE));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    BYTE output[kReportLength] = {2};
    DWORD dwWritten;
    EXPECT_FALSE(WriteFile(h, output, kReportLength, &dwWritten, &ov));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());

    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return notices.size() >= 2; }));
    bool bInterfaceRemoved = false, bHandleRemoved = false;
    for (const Notice& n : notices) {
        EXPECT_EQ((WPARAM)DBT_DEVICEREMOVECOMPLETE, n.event);
        bInterfaceRemoved |= n.type == DBT_DEVTYP_DEVICEINTERFACE && n.name == paths[0];
        bHandleRemoved |= n.type == DBT_DEVTYP_HANDLE && n.handle == h;
    }
    EXPECT_TRUE(bInterfaceRemoved);
    EXPECT_TRUE(bHandleRemoved);
    CloseHandle(h);

    notices.clear();
    server.Plug(0);
    ASSERT_TRUE(testsupport::PumpMessagesUntil([&] { return !notices.empty(); }));
    EXPECT_EQ((WPARAM)DBT_DEVICEARRIVAL, notices[0].event);
    EXPECT_EQ(paths[0], notices[0].name) << "a device plugged in again keeps its path";
    h = OpenDevice(paths[0]);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);

    EXPECT_TRUE(UnregisterDeviceNotification(hInterface));
    EXPECT_TRUE(UnregisterDeviceNotification(hHandle));
    EXPECT_FALSE(UnregisterDeviceNotification(hHandle));
    DestroyWindow(hwnd);
    CloseHandle(hEvent);
    CloseHandle(h);
}

TEST(HidVirtual, TheClassInstallerRefusesARemovalItCannotDoAndTheDeviceTreeCanBeRescanned) {
    FakeHidServer server({Terminal(5)});
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hDevInfo);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    SP_DEVINFO_DATA devInfo = {};
    devInfo.cbSize = sizeof(devInfo);
    bool bFound = false;
    for (DWORD i = 0; !bFound && SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &hidGuid, i, &data); ++i) {
        char buffer[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        bFound = SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, sizeof(buffer), NULL, &devInfo) &&
                 strstr(detail->DevicePath, "#virtual_5#");
    }
    ASSERT_TRUE(bFound);

    SP_REMOVEDEVICE_PARAMS remove = {};
    remove.ClassInstallHeader.cbSize = 5;
    remove.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    remove.Scope = DI_REMOVEDEVICE_GLOBAL;
    EXPECT_FALSE(
        SetupDiSetClassInstallParamsA(hDevInfo, &devInfo, &remove.ClassInstallHeader, sizeof(remove)));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    remove.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    ASSERT_TRUE(
        SetupDiSetClassInstallParamsA(hDevInfo, &devInfo, &remove.ClassInstallHeader, sizeof(remove)));
    // No device can be removed from user space here: a failure, never a pretended success.
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, hDevInfo, &devInfo));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

    SP_DEVINSTALL_PARAMS_A install = {};
    install.cbSize = 296;  // the 32-bit layout's size
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(hDevInfo, &devInfo, &install));
    EXPECT_EQ((DWORD)ERROR_INVALID_USER_BUFFER, GetLastError());
    install.cbSize = sizeof(install);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(hDevInfo, &devInfo, &install));
    EXPECT_EQ(0u, install.Flags & (DI_NEEDRESTART | DI_NEEDREBOOT));
    SetupDiDestroyDeviceInfoList(hDevInfo);

    DEVINST root = 0;
    ASSERT_EQ((CONFIGRET)CR_SUCCESS, CM_Locate_DevNodeA(&root, NULL, CM_LOCATE_DEVNODE_NORMAL));
    EXPECT_EQ((CONFIGRET)CR_SUCCESS, CM_Reenumerate_DevNode(root, 0));
    DEVINST other = 0;
    EXPECT_EQ((CONFIGRET)CR_NO_SUCH_DEVNODE, CM_Locate_DevNodeA(&other, (DEVINSTID_A) "USB\\VID_0000", 0));
    EXPECT_EQ((CONFIGRET)CR_INVALID_DEVNODE, CM_Reenumerate_DevNode(0xFFFFFF, 0));
    EXPECT_EQ((CONFIGRET)CR_INVALID_POINTER, CM_Locate_DevNodeA(NULL, NULL, 0));
}

}  // namespace
