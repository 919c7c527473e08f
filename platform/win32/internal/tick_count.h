// Clock arithmetic of the timing functions: GetTickCount's wrap, apart from the clock it
// reads so that the wrap can be shown, and monotonic deadlines for timed waits.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <time.h>

namespace win32 {

// Windows counts milliseconds since boot in 32 bits: the count wraps to 0 after
// 49.7 days, and callers measure intervals as unsigned differences across the wrap.
inline DWORD TickCountFromMilliseconds(uint64_t ullMilliseconds) {
    return (DWORD)(ullMilliseconds & 0xFFFFFFFFu);
}

// The CLOCK_MONOTONIC instant dwMilliseconds from now, for the absolute-time waits that
// stand in for Windows' relative time-outs (a timed wait that is interrupted and resumed
// must not start its time-out again).
inline struct timespec MonotonicDeadlineAfter(DWORD dwMilliseconds) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += dwMilliseconds / 1000;
    deadline.tv_nsec += (long)(dwMilliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

}  // namespace win32
