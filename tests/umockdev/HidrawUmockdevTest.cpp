// The real HID backend (hidraw and libudev) against a recorded device, replayed by
// umockdev: udev enumeration, identity and report descriptor from sysfs, caps, and one
// scripted exchange on the device node. Runs only under umockdev-run (CTest starts it so);
// elsewhere it skips rather than touch the machine's own devices.
#include <windows.h>

#include <gtest/gtest.h>
#include <hidsdi.h>
#include <setupapi.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const DWORD kReportLength = 65;

bool UnderUmockdev() { return getenv("UMOCKDEV_DIR") != nullptr; }

std::string FindRecordedTerminal() {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::string found;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &hidGuid, i, &data); ++i) {
        char buffer[512];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, sizeof(buffer), NULL, NULL) &&
            strstr(detail->DevicePath, "#hidraw_hidraw0#"))
            found = detail->DevicePath;
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    return found;
}

TEST(HidrawUmockdev, TheRecordedTerminalIsListedWithItsIdentityCapsAndAnswersOneExchange) {
    if (!UnderUmockdev())
        GTEST_SKIP() << "needs umockdev-run with the recorded hidraw device";
    const std::string path = FindRecordedTerminal();
    ASSERT_EQ("\\\\?\\hid#vid_1209&pid_0001#hidraw_hidraw0#{4d1e55b2-f16f-11cf-88cb-001111000030}", path);

    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();

    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof(attributes);
    ASSERT_TRUE(HidD_GetAttributes(h, &attributes));
    EXPECT_EQ(0x1209, attributes.VendorID);
    EXPECT_EQ(0x0001, attributes.ProductID);
    EXPECT_EQ(0x0102, attributes.VersionNumber);
    WCHAR szText[64];
    ASSERT_TRUE(HidD_GetManufacturerString(h, szText, sizeof(szText)));
    EXPECT_EQ(std::wstring(L"Test Maker"), szText);
    ASSERT_TRUE(HidD_GetProductString(h, szText, sizeof(szText)));
    EXPECT_EQ(std::wstring(L"Payment Terminal"), szText);
    ASSERT_TRUE(HidD_GetSerialNumberString(h, szText, sizeof(szText)));
    EXPECT_EQ(std::wstring(L"SN42"), szText);

    PHIDP_PREPARSED_DATA preparsed;
    ASSERT_TRUE(HidD_GetPreparsedData(h, &preparsed));
    HIDP_CAPS caps;
    ASSERT_EQ(HIDP_STATUS_SUCCESS, HidP_GetCaps(preparsed, &caps));
    HidD_FreePreparsedData(preparsed);
    EXPECT_EQ(kReportLength, caps.InputReportByteLength);
    EXPECT_EQ(kReportLength, caps.OutputReportByteLength);

    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BYTE output[kReportLength] = {2, 3, 'A', 'B', 'C'};
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    DWORD dwDone = 0;
    if (!WriteFile(h, output, kReportLength, &dwDone, &ov)) {
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    }
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &dwDone, TRUE));
    EXPECT_EQ(kReportLength, dwDone);

    BYTE input[kReportLength] = {};
    OVERLAPPED readOv = {};
    readOv.hEvent = hEvent;
    if (!ReadFile(h, input, kReportLength, &dwDone, &readOv)) {
        ASSERT_EQ((DWORD)ERROR_IO_PENDING, GetLastError());
    }
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 20000));
    ASSERT_TRUE(GetOverlappedResult(h, &readOv, &dwDone, FALSE));
    EXPECT_EQ(kReportLength, dwDone);
    EXPECT_EQ(1, input[0]);
    EXPECT_EQ(2, input[1]);
    EXPECT_EQ('O', input[2]);
    EXPECT_EQ('K', input[3]);
    CloseHandle(hEvent);
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
