// A serial line as a Windows COM port sees it, over a termios terminal device.
//
// The line is opened raw (no echo, no line editing, no signal characters, no CR/LF
// translation, no XON/XOFF until the DCB asks for it), with CLOCAL and never as the
// controlling terminal. It is exclusive as a COM port is on Windows, for exactly as long
// as the process holds it: an flock() on the device node refuses a second open from this
// or any other process, root included, and ends with the process however it ends. On a
// real line TIOCEXCL also keeps out programs that do not take the lock; a pseudo-terminal
// does not get it, since there it would outlive the process.
//
// Every operation returns ERROR_SUCCESS or the Win32 error Windows gives for the same
// condition; the caller turns that into SetLastError.
#pragma once

#include <windows.h>

#include <termios.h>

#include <atomic>
#include <memory>
#include <mutex>

#include "deadline.h"

namespace win32 {

// The DCB <-> termios mapping, kept apart from the device so that it can be checked on its
// own. DcbToTermios changes only what a DCB decides (rate, format, flow control, XON/XOFF
// characters) and returns false, changing nothing, for a DCB out of range or a rate the
// line cannot take. TermiosToDcb fills what the termios carries and takes every other
// field from `kept`.
bool DcbToTermios(const DCB& dcb, struct termios* pTio);
void TermiosToDcb(const struct termios& tio, const DCB& kept, DCB* pDcb);

class CommLine {
public:
    // Opens the device. Missing device: ERROR_FILE_NOT_FOUND; already open anywhere:
    // ERROR_ACCESS_DENIED.
    static DWORD Open(const char* pszDevicePath, DWORD dwDesiredAccess, std::unique_ptr<CommLine>* pLine,
                      const MonotonicClock& clock = MonotonicClock::System());
    ~CommLine();

    CommLine(const CommLine&) = delete;
    CommLine& operator=(const CommLine&) = delete;

    DWORD GetState(DCB* pDcb);
    // Applies the DCB; nothing changes when any field is out of range or the device does
    // not take the baud rate or format (ERROR_INVALID_PARAMETER).
    DWORD SetState(const DCB& dcb);
    // Checks the event mask: ERROR_INVALID_PARAMETER for bits Windows does not know.
    DWORD SetMask(DWORD dwEventMask);

    void SetTimeouts(const COMMTIMEOUTS& timeouts);
    COMMTIMEOUTS GetTimeouts();

    // ReadFile/WriteFile under the time-outs in force; running out of time is success
    // with fewer bytes.
    DWORD Read(void* pBuffer, DWORD dwCount, DWORD* pdwDone);
    DWORD Write(const void* pBuffer, DWORD dwCount, DWORD* pdwDone);

    DWORD Purge(DWORD dwFlags);
    DWORD ClearError(DWORD* pdwErrors, COMSTAT* pStat);

    // Makes blocked and later reads and writes fail at once with ERROR_OPERATION_ABORTED.
    void Abort();

private:
    CommLine(int fd, int wakeFd, bool bPseudoTerminal, const MonotonicClock& clock);

    enum class WaitResult { Ready, TimedOut, Aborted, Failed };
    // poll() for `events` on the line (and the wake-up descriptor) for at most nTimeoutMs.
    WaitResult WaitFor(short events, int nTimeoutMs, short* pRevents, DWORD* pdwError);
    // One wait of a transfer under its deadline: ERROR_SUCCESS to try the line again, with
    // *pbExpired set once the time-out has run out (a success with what was moved), or
    // the error that ends the transfer. A hang-up seen here is reported by the next call,
    // so that bytes that arrived before it are still delivered.
    DWORD AwaitLine(short events, const CommDeadline& deadline, bool* pbHangupSeen, bool* pbExpired);
    // Line-error counts since the last ClearCommError, as CE_ bits.
    DWORD TakeLineErrors();

    const int m_fd;
    const int m_wakeFd;
    // A pseudo-terminal passes bytes without a character format: it forces CS8 and no
    // parity whatever it is told, so data bits and parity are kept as set, like the other
    // fields it has no notion of.
    const bool m_bPseudoTerminal;
    const MonotonicClock& m_clock;

    std::mutex m_mutex;  // guards the members below
    COMMTIMEOUTS m_timeouts;
    // What the termios line has no notion of, kept as the last SetCommState gave it.
    DCB m_kept;
    bool m_bHaveCounts;
    int m_counts[5];  // frame, overrun, parity, break, buffer overrun
    std::atomic<bool> m_bAborted;
};

}  // namespace win32
