#include "internal/tick_count.h"

#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

// Milliseconds since boot that never jump with the wall clock, suspended time included, as
// the Windows tick count: CLOCK_BOOTTIME (CLOCK_MONOTONIC would stop while suspended).
extern "C" DWORD WINAPI GetTickCount(void) {
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    const uint64_t ullMs = (uint64_t)now.tv_sec * 1000u + (uint64_t)now.tv_nsec / 1000000u;
    return win32::TickCountFromMilliseconds(ullMs);
}

// Sleep(0) gives up the rest of the time slice; INFINITE never returns. A signal does not
// cut the sleep short, as it cannot on Windows.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    const struct timespec deadline = win32::MonotonicDeadlineAfter(dwMilliseconds);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

extern "C" void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    const time_t seconds = now.tv_sec;
    localtime_r(&seconds, &local);
    lpSystemTime->wYear = (WORD)(local.tm_year + 1900);
    lpSystemTime->wMonth = (WORD)(local.tm_mon + 1);
    lpSystemTime->wDayOfWeek = (WORD)local.tm_wday;
    lpSystemTime->wDay = (WORD)local.tm_mday;
    lpSystemTime->wHour = (WORD)local.tm_hour;
    lpSystemTime->wMinute = (WORD)local.tm_min;
    // Windows has no leap second in SYSTEMTIME.
    lpSystemTime->wSecond = (WORD)(local.tm_sec > 59 ? 59 : local.tm_sec);
    lpSystemTime->wMilliseconds = (WORD)(now.tv_nsec / 1000000L);
}
