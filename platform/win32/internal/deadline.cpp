#include "internal/deadline.h"

#include <limits.h>
#include <time.h>

namespace win32 {

namespace {

class SystemMonotonicClock : public MonotonicClock {
public:
    MonotonicMs Now() const override {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (MonotonicMs)ts.tv_sec * 1000u + (MonotonicMs)ts.tv_nsec / 1000000u;
    }
};

// constant + count x multiplier, in 64 bits: 0xFFFFFFFF x 0xFFFFFFFF + 0xFFFFFFFF still fits.
uint64_t TotalTimeout(DWORD dwConstant, DWORD dwMultiplier, DWORD dwCount) {
    return (uint64_t)dwConstant + (uint64_t)dwMultiplier * (uint64_t)dwCount;
}

}  // namespace

const MonotonicClock& MonotonicClock::System() {
    static const SystemMonotonicClock clock;
    return clock;
}

CommDeadline CommDeadline::ForRead(const COMMTIMEOUTS& timeouts, DWORD dwCount, MonotonicMs start) {
    CommDeadline deadline;
    const DWORD dwInterval = timeouts.ReadIntervalTimeout;
    const DWORD dwMultiplier = timeouts.ReadTotalTimeoutMultiplier;
    const DWORD dwConstant = timeouts.ReadTotalTimeoutConstant;

    if (dwInterval == MAXDWORD && dwMultiplier == 0 && dwConstant == 0) {
        deadline.m_bReturnAtOnce = true;
        return deadline;
    }
    if (dwInterval == MAXDWORD && dwMultiplier == MAXDWORD && dwConstant != 0 && dwConstant != MAXDWORD) {
        deadline.m_bReturnOnFirstBytes = true;
        deadline.m_bHasTotal = true;
        deadline.m_totalDeadline = start + dwConstant;
        return deadline;
    }
    if (dwMultiplier != 0 || dwConstant != 0) {
        deadline.m_bHasTotal = true;
        deadline.m_totalDeadline = start + TotalTimeout(dwConstant, dwMultiplier, dwCount);
    }
    if (dwInterval != 0) {
        deadline.m_bHasInterval = true;
        deadline.m_dwInterval = dwInterval;
    }
    return deadline;
}

CommDeadline CommDeadline::ForWrite(const COMMTIMEOUTS& timeouts, DWORD dwCount, MonotonicMs start) {
    CommDeadline deadline;
    const DWORD dwMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    const DWORD dwConstant = timeouts.WriteTotalTimeoutConstant;
    if (dwMultiplier != 0 || dwConstant != 0) {
        deadline.m_bHasTotal = true;
        deadline.m_totalDeadline = start + TotalTimeout(dwConstant, dwMultiplier, dwCount);
    }
    return deadline;
}

void CommDeadline::BytesTransferred(MonotonicMs now) {
    m_bAnyBytes = true;
    m_lastBytes = now;
}

bool CommDeadline::ReturnsNow(DWORD dwTransferred) const {
    if (m_bReturnAtOnce)
        return true;
    return m_bReturnOnFirstBytes && dwTransferred > 0;
}

int CommDeadline::PollTimeout(MonotonicMs now) const {
    if (m_bReturnAtOnce)
        return 0;
    bool bLimited = false;
    MonotonicMs until = 0;
    if (m_bHasTotal) {
        bLimited = true;
        until = m_totalDeadline;
    }
    if (m_bHasInterval && m_bAnyBytes) {
        MonotonicMs intervalEnd = m_lastBytes + m_dwInterval;
        if (!bLimited || intervalEnd < until)
            until = intervalEnd;
        bLimited = true;
    }
    if (!bLimited)
        return kWaitForever;
    if (until <= now)
        return 0;
    MonotonicMs left = until - now;
    // A wait longer than poll() can express is taken in steps; the caller asks again.
    return left > (MonotonicMs)INT_MAX ? INT_MAX : (int)left;
}

}  // namespace win32
