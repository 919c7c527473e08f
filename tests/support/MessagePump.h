// Test helper: runs the calling thread's window messages (sent and posted) until a
// condition holds, as a client's message loop would. The 30-second bail-out only keeps a
// broken test from hanging.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

namespace testsupport {

inline bool PumpMessagesUntil(const std::function<bool()>& done) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    MSG msg;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(1);
    }
    return true;
}

}  // namespace testsupport
