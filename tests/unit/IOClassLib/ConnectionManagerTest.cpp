// The device-change manager: WM_DEVICECHANGE messages sent to a started manager's window
// change the port's state and log one line each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ComUsb.h"
#include "ConnectionManager.h"
#include "DebugFile.h"
#include "FakePort.h"
#include "TempFiles.h"
#include "TempRegistryStore.h"

namespace {

std::vector<std::string> LogTexts(const std::string& path) {
    // Each line: time, tick, error code, device name, " - ", then the text.
    std::vector<std::string> texts;
    const std::string text = testsupport::readTextFile(path);
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        const std::size_t dash = line.find("] - ");
        texts.push_back(dash == std::string::npos ? line : line.substr(dash + 4));
    }
    return texts;
}

}  // namespace

TEST(ConnectionManager, DeviceChangesReachThePortOnlyOnceStarted) {
    testsupport::TempDir dir("connection-manager");
    const std::string logFile = dir.file("log.txt");
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    GUID otherGuid = hidGuid;
    otherGuid.Data1 ^= 0x5A5A5A5A;

    DEV_BROADCAST_DEVICEINTERFACE_A hidInterface;
    memset(&hidInterface, 0, sizeof(hidInterface));
    hidInterface.dbcc_size = sizeof(hidInterface);
    hidInterface.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    hidInterface.dbcc_classguid = hidGuid;
    DEV_BROADCAST_DEVICEINTERFACE_A otherInterface = hidInterface;
    otherInterface.dbcc_classguid = otherGuid;
    DEV_BROADCAST_HANDLE hidHandle;
    memset(&hidHandle, 0, sizeof(hidHandle));
    hidHandle.dbch_size = sizeof(hidHandle);
    hidHandle.dbch_devicetype = DBT_DEVTYP_HANDLE;
    hidHandle.dbch_eventguid = hidGuid;
    DEV_BROADCAST_HANDLE otherHandle = hidHandle;
    otherHandle.dbch_eventguid = otherGuid;

    {
        testsupport::TempRegistryStore store(dir.file("registry.reg"),
                                             testsupport::debugLogStore("SOFTWARE\\CmTest\\dev1", logFile));
        CDebugFile log("SOFTWARE\\CmTest\\");
        FakePort port(&log);
        CConnectionManager manager;

        // With owner token 0 the window exists but ignores every message.
        manager.Start(&port, 0, CString("DEV1"));
        ASSERT_NE(nullptr, manager.GetSafeHwnd());
        char szName[64] = {0};
        GetWindowTextA(manager.GetSafeHwnd(), szName, sizeof(szName));
        EXPECT_STREQ("connectionmanagerwindow_dev1", szName);
        SendMessageA(manager.GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, (LPARAM)&hidInterface);
        EXPECT_TRUE(port.IsDevicePresent());

        // No device is open, so the handle registration fails and is logged; the interface
        // one stands.
        manager.Start(&port, 42, CString("dev1"));
        EXPECT_NE(nullptr, port.m_hDevNotifyInterface);
        EXPECT_EQ(nullptr, port.m_hDevNotifyHandle);

        struct Case {
            WPARAM event;
            const void* broadcast;
            bool handled;
            bool presentAfter;
        } cases[] = {
            {DBT_DEVNODES_CHANGED, NULL, false, true},
            {DBT_DEVICEREMOVECOMPLETE, &hidInterface, true, false},
            // A second removal changes nothing and is left to the default procedure.
            {DBT_DEVICEREMOVECOMPLETE, &otherHandle, false, false},
            {DBT_DEVICEQUERYREMOVE, &hidHandle, false, false},
            {DBT_DEVICEARRIVAL, &otherInterface, true, true},
            {0x1234, NULL, false, true},
        };
        for (const Case& c : cases) {
            port.open = true;
            port.m_bDisconnected = FALSE;
            LRESULT result =
                SendMessageA(manager.GetSafeHwnd(), WM_DEVICECHANGE, c.event, (LPARAM)c.broadcast);
            if (c.handled) {
                EXPECT_EQ(0, result) << c.event;
            }
            EXPECT_EQ(c.presentAfter, port.IsDevicePresent() != FALSE) << c.event;
            // Only an arrival closes the stale connection and asks for a new open.
            EXPECT_EQ(c.event != DBT_DEVICEARRIVAL, port.open) << c.event;
            EXPECT_EQ(c.event == DBT_DEVICEARRIVAL, port.IsDisconnected() != FALSE) << c.event;
        }
        manager.Stop();
        EXPECT_EQ(nullptr, port.m_hDevNotifyInterface);
        EXPECT_EQ(nullptr, port.m_hDevNotifyHandle);
    }

    const std::vector<std::string> expected = {
        "CConnectionManager::Start() RegisterDeviceNotification failed on DEV_BROADCAST_HANDLE",
        "CConnectionManager::Start() RegisterDeviceNotification failed on DEV_BROADCAST_HANDLE",
        "CConnectionManager::WindowProc() WM_DEVICECHANGE. event 7 = DBT_DEVNODES_CHANGED",
        "DBT_DEVTYP_DEVICEINTERFACE Hid\tCConnectionManager::WindowProc() WM_DEVICECHANGE. event 32772 = "
        "DBT_DEVICEREMOVECOMPLETE",
        "DEV_BROADCAST_HANDLE unknown\tCConnectionManager::WindowProc() WM_DEVICECHANGE. event 32772 = "
        "DBT_DEVICEREMOVECOMPLETE",
        "DEV_BROADCAST_HANDLE HID\tCConnectionManager::WindowProc() WM_DEVICECHANGE. event 32769 = "
        "DBT_DEVICEQUERYREMOVE",
        "DBT_DEVTYP_DEVICEINTERFACE  unknown\tCConnectionManager::WindowProc() WM_DEVICECHANGE. event 32768 "
        "= "
        "DBT_DEVICEARRIVAL",
        "CConnectionManager::WindowProc() WM_DEVICECHANGE. event 4660 = Unknown(default)",
    };
    EXPECT_EQ(expected, LogTexts(logFile));
}
