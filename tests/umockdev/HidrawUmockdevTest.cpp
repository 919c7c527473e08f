// The real HID backend (hidraw and libudev) against a recorded device, replayed by
// umockdev: udev enumeration, identity and report descriptor from sysfs, caps, and one
// scripted exchange on the device node. Runs only under umockdev-run (CTest starts it so);
// elsewhere it skips rather than touch the machine's own devices.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "HidIdentity.h"
#include "HidInterfacePaths.h"

namespace {

const DWORD kReportLength = 65;

bool UnderUmockdev() { return getenv("UMOCKDEV_DIR") != nullptr; }

std::string FindRecordedTerminal() {
    std::string found;
    for (const std::string& path : testsupport::HidInterfacePaths())
        if (path.find("#hidraw_hidraw0#") != std::string::npos)
            found = path;
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

    EXPECT_EQ("1209:0001 v0102, usage page ff00, reports 65/65, Test Maker, Payment Terminal, SN42",
              testsupport::HidIdentity(h));

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
