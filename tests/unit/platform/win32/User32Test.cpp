// Hidden windows and message queues: delivery on the owner's thread, sent messages that
// wait for their handler, and HWNDs kept apart from kernel handles.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

}  // namespace
