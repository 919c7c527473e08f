// IOCLASSLIB_REAL_DEVICES: with the real backends off, both device families still list
// and open the virtual devices, and nothing else.
#include <windows.h>

#include <gtest/gtest.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <string>
#include <vector>

#include "FakeHidServer.h"
#include "HidInterfacePaths.h"
#include "ScopedEnv.h"
#include "hid/backend.h"
#include "internal/real_devices.h"
#include "usbio/backend.h"

using namespace testsupport;

namespace {

std::vector<std::string> AllHidPaths() { return testsupport::HidInterfacePaths(); }

std::vector<std::string> BackendNames() {
    std::vector<std::string> names;
    for (win32::HidBackend* backend : win32::HidBackends())
        names.push_back(std::string("hid:") + backend->name());
    for (win32::usbio::UsbBackend* backend : win32::usbio::UsbBackends())
        names.push_back(std::string("usbio:") + backend->name());
    return names;
}

TEST(RealDevicesSetting, OnlyZeroTurnsTheRealBackendsOff) {
    struct Row {
        const char* value;  // NULL: unset
        bool enabled;
    };
    const Row rows[] = {{NULL, true}, {"1", true}, {"0", false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value ? row.value : "(unset)");
        testsupport::ScopedEnv env("IOCLASSLIB_REAL_DEVICES", row.value ? row.value : "");
        if (row.value == NULL)
            unsetenv("IOCLASSLIB_REAL_DEVICES");
        EXPECT_EQ(win32::RealDevicesEnabled(), row.enabled);
    }
    // The tables themselves are only looked at with the real backends off: listing them
    // would touch this machine's devices.
    testsupport::ScopedEnv off("IOCLASSLIB_REAL_DEVICES", "0");
    EXPECT_EQ(BackendNames(), (std::vector<std::string>{"hid:virtual", "usbio:virtual"}));
}

TEST(RealDevicesSetting, WithRealDevicesOffAVirtualHidDeviceIsListedAndOpens) {
    testsupport::ScopedEnv off("IOCLASSLIB_REAL_DEVICES", "0");
    FakeHidServer server({FakeHidDevice{3, {}}});
    const std::vector<std::string> paths = AllHidPaths();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_NE(paths[0].find("vid_1209&pid_0001#virtual_"), std::string::npos) << paths[0];
    HANDLE h = CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(h));
}

}  // namespace
