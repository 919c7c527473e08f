// How long a serial ReadFile or WriteFile may wait, as Windows derives it from
// COMMTIMEOUTS. All deadline arithmetic of the communications layer lives here, on the
// monotonic clock, behind a clock interface the tests can drive by hand.
//
// Read rules (the serial driver's):
//  - total time-out = ReadTotalTimeoutConstant + count x ReadTotalTimeoutMultiplier,
//    counted from the start of the call; both 0 means no total time-out;
//  - ReadIntervalTimeout is the longest gap allowed between two bytes; it runs only once
//    the first byte has arrived (0: not used);
//  - interval MAXDWORD with both totals 0: return at once with what is there;
//  - interval MAXDWORD, multiplier MAXDWORD and a constant between 0 and MAXDWORD:
//    return as soon as any byte is there, else wait up to the constant for one;
//  - the call returns the moment its count is complete; running out of time is success
//    with fewer bytes.
// Write rules: total time-out = WriteTotalTimeoutConstant + count x
// WriteTotalTimeoutMultiplier; both 0 means the write waits until all bytes are out.
#pragma once

#include "win32/comm.h"

#include <stdint.h>

namespace win32 {

// Milliseconds on a clock that never goes backwards.
typedef uint64_t MonotonicMs;

class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual MonotonicMs Now() const = 0;
    // CLOCK_MONOTONIC.
    static const MonotonicClock& System();
};

class CommDeadline {
public:
    // poll() time-out meaning "no limit".
    static constexpr int kWaitForever = -1;

    static CommDeadline ForRead(const COMMTIMEOUTS& timeouts, DWORD dwCount, MonotonicMs start);
    static CommDeadline ForWrite(const COMMTIMEOUTS& timeouts, DWORD dwCount, MonotonicMs start);

    // Record that bytes moved at `now`; restarts the interval limit.
    void BytesTransferred(MonotonicMs now);

    // True when the call must return now with what it has, time left or not: the
    // return-at-once mode, or the return-on-first-bytes mode once bytes are in.
    bool ReturnsNow(DWORD dwTransferred) const;

    // How long poll() may wait from `now`: kWaitForever, or milliseconds >= 0, where 0
    // means that time is up.
    int PollTimeout(MonotonicMs now) const;

    bool Expired(MonotonicMs now) const { return PollTimeout(now) == 0; }

private:
    CommDeadline() = default;

    bool m_bHasTotal = false;
    MonotonicMs m_totalDeadline = 0;
    bool m_bHasInterval = false;
    DWORD m_dwInterval = 0;
    bool m_bAnyBytes = false;
    MonotonicMs m_lastBytes = 0;
    bool m_bReturnAtOnce = false;
    bool m_bReturnOnFirstBytes = false;
};

}  // namespace win32
