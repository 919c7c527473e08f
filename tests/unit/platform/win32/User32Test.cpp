// Hidden windows and message queues: delivery on the owner's thread, sent messages that
// wait for their handler, and HWNDs kept apart from kernel handles.
#include <windows.h>

#include <dbt.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MessagePump.h"
#include "internal/device_change.h"

namespace {

struct Seen {
    UINT message;
    WPARAM wParam;
    DWORD threadId;
};
thread_local std::vector<Seen>* t_seen;
std::atomic<int> g_lParamValue{0};

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_USER) {
        if (t_seen)
            t_seen->push_back({message, wParam, GetCurrentThreadId()});
        if (lParam)
            g_lParamValue = *reinterpret_cast<const int*>(lParam);  // the sender's stack
        return (LRESULT)(wParam * 10);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeWindow() {
    HWND hwnd = CreateWindowExA(0, "STATIC", "test", 0, 0, 0, 2, 2, NULL, NULL, NULL, NULL);
    if (hwnd)
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)RecordingProc);
    return hwnd;
}

TEST(User32, WindowsAreNotKernelHandlesAndOnlyStaticWindowsExist) {
    HWND hwnd = MakeWindow();
    ASSERT_NE((HWND)NULL, hwnd);
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_FALSE(CloseHandle((HANDLE)hwnd));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_TRUE(IsWindow(hwnd));
    char szName[16];
    EXPECT_EQ(4, GetWindowTextA(hwnd, szName, sizeof(szName)));
    EXPECT_STREQ("test", szName);

    EXPECT_EQ((HWND)NULL, CreateWindowExA(0, "BUTTON", "x", 0, 0, 0, 2, 2, NULL, NULL, NULL, NULL));
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_WINDOW_HANDLE, GetLastError());
}

TEST(User32, PostedMessagesArriveInOrderThroughDispatchAndQuitEndsTheLoop) {
    std::vector<Seen> seen;
    t_seen = &seen;
    HWND hwnd = MakeWindow();
    for (WPARAM i = 1; i <= 3; ++i)
        ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 1, i, 0));
    PostQuitMessage(7);
    MSG msg;
    int nLoops = 0;
    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
        ++nLoops;
    }
    EXPECT_EQ(3, nLoops);
    EXPECT_EQ((WPARAM)7, msg.wParam);
    ASSERT_EQ(3u, seen.size());
    for (WPARAM i = 0; i < 3; ++i)
        EXPECT_EQ(i + 1, seen[i].wParam);
    EXPECT_FALSE(PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE));
    DestroyWindow(hwnd);
    t_seen = nullptr;
}

TEST(User32, SentMessagesRunOnTheOwnersThreadWhileTheSenderWaitsForTheResult) {
    std::vector<Seen> seen;
    t_seen = &seen;
    HWND hwnd = MakeWindow();
    // Same thread: a direct call.
    EXPECT_EQ(20, SendMessageA(hwnd, WM_USER + 2, 2, 0));
    ASSERT_EQ(1u, seen.size());

    std::atomic<LRESULT> result{-1};
    std::thread sender([&] {
        int value = 1234;  // lives on the sender's stack while the handler reads it
        result = SendMessageA(hwnd, WM_USER + 3, 5, reinterpret_cast<LPARAM>(&value));
    });
    MSG msg;
    while (seen.size() < 2) {
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        std::this_thread::yield();
    }
    sender.join();
    EXPECT_EQ(50, result.load());
    EXPECT_EQ(1234, g_lParamValue.load());
    EXPECT_EQ(GetCurrentThreadId(), seen[1].threadId);
    DestroyWindow(hwnd);
    t_seen = nullptr;
}

TEST(User32, ASendToAWindowWhoseThreadHasEndedReturnsInsteadOfWaitingForever) {
    HWND hwnd = NULL;
    std::thread owner([&] { hwnd = MakeWindow(); });
    owner.join();
    EXPECT_EQ(0, SendMessageA(hwnd, WM_USER + 4, 1, 0));
    EXPECT_FALSE(DestroyWindow(hwnd)) << "only the owner destroys a window";
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

struct DeviceNotice {
    HWND hwnd;
    WPARAM event;
    std::string name;
};
std::mutex g_noticesMutex;
std::vector<DeviceNotice> g_notices;

LRESULT CALLBACK DeviceChangeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE && lParam) {
        const auto* broadcast = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(lParam);
        std::lock_guard<std::mutex> lock(g_noticesMutex);
        g_notices.push_back({hwnd, wParam, broadcast->dbcc_name});
        return TRUE;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeDeviceChangeWindow(const GUID& interfaceClass, HDEVNOTIFY* phNotify) {
    HWND hwnd = CreateWindowExA(0, "STATIC", "devices", 0, 0, 0, 2, 2, NULL, NULL, NULL, NULL);
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, (LONG_PTR)DeviceChangeProc);
    DEV_BROADCAST_DEVICEINTERFACE_A filter = {};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    *phNotify = RegisterDeviceNotificationA(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    return hwnd;
}

std::vector<std::string> NoticesOf(HWND hwnd) {
    std::lock_guard<std::mutex> lock(g_noticesMutex);
    std::vector<std::string> names;
    for (const DeviceNotice& n : g_notices)
        if (n.hwnd == hwnd)
            names.push_back(std::to_string(n.event) + " " + n.name);
    return names;
}

}  // namespace

// Device changes are sent to each registered window in turn. A window whose thread has
// stopped taking messages gets them once it takes messages again, with their records
// intact, and meanwhile holds up no other window.
TEST(User32, DeviceChangesReachEveryWindowWhileOneThreadTakesNoMessages) {
    const GUID interfaceClass = {
        0x6d3c1a57, 0x2b1e, 0x4c0f, {0x9a, 0x41, 0x0e, 0x55, 0x7b, 0x13, 0xc2, 0x88}};
    const std::vector<std::string> expected = {"32768 \\\\?\\test#one", "32772 \\\\?\\test#two"};
    std::mutex mutex;
    std::condition_variable changed;
    HWND hStalled = NULL;
    bool bResume = false;
    std::thread stalled([&] {
        HDEVNOTIFY hNotify = NULL;
        HWND hwnd = MakeDeviceChangeWindow(interfaceClass, &hNotify);
        std::unique_lock<std::mutex> lock(mutex);
        hStalled = hwnd;
        changed.notify_all();
        changed.wait(lock, [&] { return bResume; });
        lock.unlock();
        EXPECT_TRUE(testsupport::PumpMessagesUntil([&] { return NoticesOf(hwnd).size() >= 2; }));
        UnregisterDeviceNotification(hNotify);
        DestroyWindow(hwnd);
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return hStalled != NULL; });
    }
    HDEVNOTIFY hNotify = NULL;
    HWND hwnd = MakeDeviceChangeWindow(interfaceClass, &hNotify);
    ASSERT_NE((HDEVNOTIFY)NULL, hNotify);
    win32::ReportDeviceInterfaceChange(DBT_DEVICEARRIVAL, interfaceClass, "\\\\?\\test#one");
    win32::ReportDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, interfaceClass, "\\\\?\\test#two");
    EXPECT_TRUE(testsupport::PumpMessagesUntil([&] { return NoticesOf(hwnd).size() >= 2; }));
    EXPECT_EQ(expected, NoticesOf(hwnd));
    {
        std::lock_guard<std::mutex> lock(mutex);
        bResume = true;
    }
    changed.notify_all();
    stalled.join();
    EXPECT_EQ(expected, NoticesOf(hStalled));
    UnregisterDeviceNotification(hNotify);
    DestroyWindow(hwnd);
}
