// Windows and message queues. Only hidden windows of the built-in class "STATIC" exist;
// they serve as targets of messages, as the framework's helper windows use them.
//
// As on Windows: each thread that creates a window or asks for messages gets one queue;
// a window belongs to the thread that created it and its procedure runs only there; a
// message sent from another thread waits in the queue until the owner calls GetMessage or
// PeekMessage, and the sender waits for the result. HWNDs live in a table of their own and
// are never valid kernel handles (their values are 2 modulo 4), so CloseHandle on one
// fails with ERROR_INVALID_HANDLE.
#include "user32/send_message.h"

#include <windows.h>

#include <string.h>
#include <strings.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

const DWORD kErrorInvalidIndex = 1413;
const DWORD kErrorInvalidThreadId = 1444;

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<const void> keepAlive;  // what lParam points into, for a sender that stopped waiting
    LRESULT result = 0;
    bool bTaken = false;  // the owner has begun to run it: the sender must wait it out
    bool bDone = false;
};

struct MessageQueue {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool bAlive = true;
    DWORD threadId = 0;
};

struct Window {
    HWND hwnd;
    DWORD threadId;
    std::shared_ptr<MessageQueue> queue;
    WNDPROC proc;
    LONG_PTR userData = 0;
    std::string name;
};

struct State {
    std::mutex mutex;
    std::map<HWND, std::shared_ptr<Window>> windows;
    std::map<DWORD, std::weak_ptr<MessageQueue>> queues;
    uintptr_t nextHwnd = 0x20002;
};

State& Global() {
    static State* state = new State;  // outlives every static destructor
    return *state;
}

// The calling thread's queue; when the thread ends, senders waiting on it are released.
struct QueueHolder {
    std::shared_ptr<MessageQueue> queue;
    ~QueueHolder() {
        if (!queue)
            return;
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            queue->bAlive = false;
            for (auto& sent : queue->sent)
                sent->bDone = true;
            queue->sent.clear();
        }
        queue->changed.notify_all();
        State& state = Global();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queues.erase(queue->threadId);
    }
};

std::shared_ptr<MessageQueue> CurrentQueue() {
    static thread_local QueueHolder holder;
    if (!holder.queue) {
        holder.queue = std::make_shared<MessageQueue>();
        holder.queue->threadId = GetCurrentThreadId();
        State& state = Global();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queues[holder.queue->threadId] = holder.queue;
    }
    return holder.queue;
}

std::shared_ptr<Window> LookupWindow(HWND hwnd) {
    State& state = Global();
    std::lock_guard<std::mutex> lock(state.mutex);
    auto it = state.windows.find(hwnd);
    if (it == state.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return it->second;
}

LRESULT CallProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<Window> window = LookupWindow(hwnd);
    if (!window || !window->proc)
        return 0;
    return window->proc(hwnd, message, wParam, lParam);
}

// Runs the messages other threads sent to this one, lock held on entry and exit.
void RunSentMessages(MessageQueue& queue, std::unique_lock<std::mutex>& lock) {
    while (!queue.sent.empty()) {
        std::shared_ptr<SentMessage> sent = queue.sent.front();
        queue.sent.pop_front();
        sent->bTaken = true;
        lock.unlock();
        const LRESULT result = CallProcedure(sent->hwnd, sent->message, sent->wParam, sent->lParam);
        lock.lock();
        sent->result = result;
        sent->bDone = true;
        queue.changed.notify_all();
    }
}

bool Matches(const MSG& msg, HWND hwnd, UINT uMin, UINT uMax) {
    if (msg.message == WM_QUIT)
        return true;
    if (hwnd && msg.hwnd != hwnd)
        return false;
    if (uMin == 0 && uMax == 0)
        return true;
    return msg.message >= uMin && msg.message <= uMax;
}

bool TakePosted(MessageQueue& queue, LPMSG lpMsg, HWND hwnd, UINT uMin, UINT uMax, bool bRemove) {
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!Matches(*it, hwnd, uMin, uMax))
            continue;
        *lpMsg = *it;
        if (bRemove)
            queue.posted.erase(it);
        return true;
    }
    return false;
}

BOOL Post(const std::shared_ptr<MessageQueue>& queue, HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg = {};
    msg.hwnd = hwnd;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = GetTickCount();
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        if (!queue->bAlive) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        queue->posted.push_back(msg);
    }
    queue->changed.notify_all();
    return TRUE;
}

LRESULT CALLBACK StaticWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

extern "C" HWND WINAPI CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD, int, int, int,
                                       int, HWND hWndParent, HMENU, HINSTANCE, LPVOID) {
    if (!lpClassName || strcasecmp(lpClassName, "STATIC") != 0) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return NULL;
    }
    if (hWndParent && !IsWindow(hWndParent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    auto window = std::make_shared<Window>();
    window->threadId = GetCurrentThreadId();
    window->queue = CurrentQueue();
    window->proc = StaticWindowProc;
    window->name = lpWindowName ? lpWindowName : "";
    State& state = Global();
    std::lock_guard<std::mutex> lock(state.mutex);
    window->hwnd = reinterpret_cast<HWND>(state.nextHwnd);
    state.nextHwnd += 4;
    state.windows[window->hwnd] = window;
    return window->hwnd;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return FALSE;
    if (window->threadId != GetCurrentThreadId()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    CallProcedure(hWnd, WM_DESTROY, 0, 0);
    CallProcedure(hWnd, WM_NCDESTROY, 0, 0);
    {
        State& state = Global();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.windows.erase(hWnd);
    }
    {
        std::lock_guard<std::mutex> lock(window->queue->mutex);
        for (auto it = window->queue->posted.begin(); it != window->queue->posted.end();)
            it = it->hwnd == hWnd ? window->queue->posted.erase(it) : std::next(it);
    }
    window->queue->changed.notify_all();
    return TRUE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd) {
    State& state = Global();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.windows.count(hWnd) ? TRUE : FALSE;
}

extern "C" int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window || !lpString || nMaxCount <= 0)
        return 0;
    const size_t n = std::min(window->name.size(), (size_t)nMaxCount - 1);
    memcpy(lpString, window->name.data(), n);
    lpString[n] = '\0';
    return (int)n;
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return 0;
    if (lpdwProcessId)
        *lpdwProcessId = GetCurrentProcessId();
    return window->threadId;
}

extern "C" LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return 0;
    State& state = Global();
    std::lock_guard<std::mutex> lock(state.mutex);
    switch (nIndex) {
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_USERDATA: return window->userData;
    default: SetLastError(kErrorInvalidIndex); return 0;
    }
}

extern "C" LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return 0;
    State& state = Global();
    std::lock_guard<std::mutex> lock(state.mutex);
    LONG_PTR previous;
    switch (nIndex) {
    case GWLP_WNDPROC:
        previous = reinterpret_cast<LONG_PTR>(window->proc);
        window->proc = reinterpret_cast<WNDPROC>(dwNewLong);
        break;
    case GWLP_USERDATA:
        previous = window->userData;
        window->userData = dwNewLong;
        break;
    default: SetLastError(kErrorInvalidIndex); return 0;
    }
    SetLastError(ERROR_SUCCESS);  // tells a previous value of 0 from a failure
    return previous;
}

extern "C" LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                                          LPARAM lParam) {
    return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

extern "C" LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
    switch (Msg) {
    case WM_NCCREATE: return TRUE;
    case WM_CLOSE: DestroyWindow(hWnd); return 0;
    // Grants every query; notifications need no answer.
    case WM_DEVICECHANGE: return TRUE;
    default: return 0;
    }
}

extern "C" BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    std::shared_ptr<MessageQueue> queue = CurrentQueue();
    std::unique_lock<std::mutex> lock(queue->mutex);
    for (;;) {
        RunSentMessages(*queue, lock);
        if (TakePosted(*queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        queue->changed.wait(lock);
    }
}

extern "C" BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::shared_ptr<MessageQueue> queue = CurrentQueue();
    std::unique_lock<std::mutex> lock(queue->mutex);
    RunSentMessages(*queue, lock);
    return TakePosted(*queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

// There is no keyboard input to translate.
extern "C" BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

extern "C" LRESULT WINAPI DispatchMessageA(const MSG* lpMsg) {
    if (!lpMsg || !lpMsg->hwnd)
        return 0;
    return CallProcedure(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

extern "C" BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    if (!hWnd)
        return Post(CurrentQueue(), NULL, Msg, wParam, lParam);
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return FALSE;
    return Post(window->queue, hWnd, Msg, wParam, lParam);
}

extern "C" BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MessageQueue> queue;
    {
        State& state = Global();
        std::lock_guard<std::mutex> lock(state.mutex);
        auto it = state.queues.find(idThread);
        if (it != state.queues.end())
            queue = it->second.lock();
    }
    if (!queue) {
        SetLastError(kErrorInvalidThreadId);
        return FALSE;
    }
    return Post(queue, NULL, Msg, wParam, lParam);
}

extern "C" void WINAPI PostQuitMessage(int nExitCode) {
    Post(CurrentQueue(), NULL, WM_QUIT, (WPARAM)nExitCode, 0);
}

namespace win32 {

BOOL SendMessageWithin(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, DWORD dwTimeoutMs,
                       std::shared_ptr<const void> keepAlive, LRESULT* pResult) {
    *pResult = 0;
    std::shared_ptr<Window> window = LookupWindow(hWnd);
    if (!window)
        return FALSE;
    if (window->threadId == GetCurrentThreadId()) {
        *pResult = CallProcedure(hWnd, Msg, wParam, lParam);
        return TRUE;
    }
    auto sent = std::make_shared<SentMessage>();
    sent->hwnd = hWnd;
    sent->message = Msg;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->keepAlive = std::move(keepAlive);
    MessageQueue& queue = *window->queue;
    std::unique_lock<std::mutex> lock(queue.mutex);
    if (!queue.bAlive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    queue.sent.push_back(sent);
    queue.changed.notify_all();
    // Until the owner has run it, or can no longer: the thread ended or the window went.
    // A message the owner has begun to run is waited out, whatever happens to the window:
    // its lParam may point at the sender's stack. Only a bounded wait ends earlier, and its
    // caller has lent the message what lParam points into.
    const auto settled = [&] { return sent->bDone || (!sent->bTaken && (!queue.bAlive || !IsWindow(hWnd))); };
    if (dwTimeoutMs == INFINITE) {
        queue.changed.wait(lock, settled);
    } else if (!queue.changed.wait_for(lock, std::chrono::milliseconds(dwTimeoutMs), settled)) {
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    if (!sent->bDone) {
        for (auto it = queue.sent.begin(); it != queue.sent.end(); ++it) {
            if (*it == sent) {
                queue.sent.erase(it);
                break;
            }
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *pResult = sent->result;
    return TRUE;
}

}  // namespace win32

extern "C" LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    win32::SendMessageWithin(hWnd, Msg, wParam, lParam, INFINITE, nullptr, &result);
    return result;
}
