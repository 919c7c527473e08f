#include "internal/comm_line.h"

#include "internal/comm_device.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "internal/errno_map.h"

namespace win32 {

namespace {

struct BaudMapping {
    DWORD dwBaud;
    speed_t speed;
};

// The rates a termios line takes. A DCB rate not listed here (CBR_14400, CBR_56000,
// CBR_128000, CBR_256000 ...) is one the line cannot take.
const BaudMapping kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedFromBaud(DWORD dwBaud, speed_t* pSpeed) {
    for (const BaudMapping& m : kBaudTable)
        if (m.dwBaud == dwBaud) {
            *pSpeed = m.speed;
            return true;
        }
    return false;
}

bool BaudFromSpeed(speed_t speed, DWORD* pdwBaud) {
    for (const BaudMapping& m : kBaudTable)
        if (m.speed == speed) {
            *pdwBaud = m.dwBaud;
            return true;
        }
    return false;
}

tcflag_t SizeFlag(BYTE byteSize) {
    switch (byteSize) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
    }
}

BYTE ByteSizeFromFlags(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

tcflag_t ParityFlags(BYTE parity) {
    switch (parity) {
    case ODDPARITY: return PARENB | PARODD;
    case EVENPARITY: return PARENB;
    case MARKPARITY: return PARENB | CMSPAR | PARODD;
    case SPACEPARITY: return PARENB | CMSPAR;
    default: return 0;
    }
}

BYTE ParityFromFlags(tcflag_t cflag) {
    if (!(cflag & PARENB))
        return NOPARITY;
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

const tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

// Raw line: bytes pass as they are, in both directions.
void MakeRaw(struct termios* pTio) {
    pTio->c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL | IUCLC);
    pTio->c_oflag &= ~OPOST;
    pTio->c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
    pTio->c_cflag |= CLOCAL | CREAD;
    // With VMIN 1 a non-blocking read says EAGAIN when nothing is there and 0 only when
    // the line was hung up.
    pTio->c_cc[VMIN] = 1;
    pTio->c_cc[VTIME] = 0;
}

DWORD OpenError(int nErrno) {
    switch (nErrno) {
    // No such port: a node without hardware behind it says ENXIO, ENODEV or EIO.
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO: return ERROR_FILE_NOT_FOUND;
    // Held exclusively by a program that set TIOCEXCL.
    case EBUSY: return ERROR_ACCESS_DENIED;
    default: return Win32ErrorFromErrno(nErrno);
    }
}

// What a read or write on a line that went away (a pseudo-terminal whose other side closed,
// an unplugged adapter) reports: the device is gone, not a time-out.
const DWORD kLineGone = ERROR_DEVICE_NOT_CONNECTED;

}  // namespace

bool DcbToTermios(const DCB& dcb, struct termios* pTio) {
    speed_t speed;
    if (!SpeedFromBaud(dcb.BaudRate, &speed))
        return false;
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY || dcb.StopBits > TWOSTOPBITS)
        return false;
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return false;

    struct termios tio = *pTio;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(kFormatFlags | CRTSCTS);
    tio.c_cflag |= SizeFlag(dcb.ByteSize) | ParityFlags(dcb.Parity);
    // A UART sends 1.5 stop bits for CSTOPB with five data bits, and 2 otherwise; there is
    // no other way to ask a termios line for one and a half.
    if (dcb.StopBits != ONESTOPBIT)
        tio.c_cflag |= CSTOPB;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        tio.c_cflag |= CRTSCTS;
    // fOutX: we stop sending on XOFF (IXON); fInX: we send XOFF when our queue fills (IXOFF).
    tio.c_iflag &= ~(IXON | IXOFF | INPCK);
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    if (dcb.fParity)
        tio.c_iflag |= INPCK;
    tio.c_cc[VSTART] = (cc_t)dcb.XonChar;
    tio.c_cc[VSTOP] = (cc_t)dcb.XoffChar;
    *pTio = tio;
    return true;
}

void TermiosToDcb(const struct termios& tio, const DCB& kept, DCB* pDcb) {
    DCB dcb = kept;
    dcb.DCBlength = sizeof(DCB);
    DWORD dwBaud = 0;
    if (BaudFromSpeed(cfgetospeed(&tio), &dwBaud))
        dcb.BaudRate = dwBaud;
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    const bool bRtsCts = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = bRtsCts ? 1 : 0;
    if (bRtsCts)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    else if (kept.fRtsControl == RTS_CONTROL_HANDSHAKE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.ByteSize = ByteSizeFromFlags(tio.c_cflag);
    dcb.Parity = ParityFromFlags(tio.c_cflag);
    // One and a half stop bits reads back as such when that is what was asked for.
    if (tio.c_cflag & CSTOPB)
        dcb.StopBits = kept.StopBits == ONE5STOPBITS ? ONE5STOPBITS : TWOSTOPBITS;
    else
        dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = (char)tio.c_cc[VSTART];
    dcb.XoffChar = (char)tio.c_cc[VSTOP];
    *pDcb = dcb;
}

DWORD CommLine::Open(const char* pszDevicePath, DWORD dwDesiredAccess, std::unique_ptr<CommLine>* pLine,
                     const MonotonicClock& clock) {
    int flags = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    const bool bRead = (dwDesiredAccess & (GENERIC_READ | GENERIC_ALL)) != 0;
    const bool bWrite = (dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (bWrite && !bRead)
        flags |= O_WRONLY;
    else if (bWrite)
        flags |= O_RDWR;
    else
        flags |= O_RDONLY;

    int fd = open(pszDevicePath, flags);
    if (fd < 0)
        return OpenError(errno);

    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        // Not a terminal: there is no COM port of that name.
        close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    struct stat info;
    const bool bPseudoTerminal = fstat(fd, &info) == 0 && IsPseudoTerminalSlaveMajor(major(info.st_rdev));
    // TIOCEXCL alone does not stop root; the lock does, in every process, and it ends with
    // the descriptor however the process ends.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int nErrno = errno;
        close(fd);
        return nErrno == EWOULDBLOCK ? (DWORD)ERROR_ACCESS_DENIED : Win32ErrorFromErrno(nErrno);
    }
    // Not on a pseudo-terminal: there TIOCEXCL stays on the terminal for as long as the
    // other side is open, so a process that ended without closing its port (as the key
    // check does) would lock every later open out (EBUSY) for anyone but root. On a real
    // line it ends with the last close, which the process's end makes.
    if (!bPseudoTerminal)
        ioctl(fd, TIOCEXCL);

    MakeRaw(&tio);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        int nErrno = errno;
        if (!bPseudoTerminal)
            ioctl(fd, TIOCNXCL);
        close(fd);
        return Win32ErrorFromErrno(nErrno);
    }

    int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) {
        int nErrno = errno;
        if (!bPseudoTerminal)
            ioctl(fd, TIOCNXCL);
        close(fd);
        return Win32ErrorFromErrno(nErrno);
    }
    pLine->reset(new CommLine(fd, wakeFd, bPseudoTerminal, clock));
    return ERROR_SUCCESS;
}

CommLine::CommLine(int fd, int wakeFd, bool bPseudoTerminal, const MonotonicClock& clock)
    : m_fd(fd),
      m_wakeFd(wakeFd),
      m_bPseudoTerminal(bPseudoTerminal),
      m_clock(clock),
      m_bHaveCounts(false),
      m_bAborted(false) {
    memset(&m_timeouts, 0, sizeof(m_timeouts));
    memset(m_counts, 0, sizeof(m_counts));

    // What a freshly started Windows serial driver reports for the fields a termios line
    // does not carry.
    memset(&m_kept, 0, sizeof(m_kept));
    m_kept.DCBlength = sizeof(DCB);
    m_kept.BaudRate = CBR_9600;
    m_kept.fBinary = 1;
    m_kept.fDtrControl = DTR_CONTROL_ENABLE;
    m_kept.fRtsControl = RTS_CONTROL_ENABLE;
    m_kept.XonLim = 2048;
    m_kept.XoffLim = 512;
    m_kept.ByteSize = 8;
    m_kept.StopBits = ONESTOPBIT;

    TakeLineErrors();  // count line errors from the open on
}

CommLine::~CommLine() {
    if (!m_bPseudoTerminal)
        ioctl(m_fd, TIOCNXCL);
    close(m_fd);  // releases the flock
    close(m_wakeFd);
}

DWORD CommLine::GetState(DCB* pDcb) {
    struct termios tio;
    if (tcgetattr(m_fd, &tio) != 0)
        return Win32ErrorFromErrno(errno);
    std::lock_guard<std::mutex> lock(m_mutex);
    DCB dcb;
    TermiosToDcb(tio, m_kept, &dcb);
    if (m_bPseudoTerminal) {
        dcb.ByteSize = m_kept.ByteSize;
        dcb.Parity = m_kept.Parity;
    }
    *pDcb = dcb;
    return ERROR_SUCCESS;
}

DWORD CommLine::SetState(const DCB& dcb) {
    struct termios old;
    if (tcgetattr(m_fd, &old) != 0)
        return Win32ErrorFromErrno(errno);
    struct termios tio = old;
    if (!DcbToTermios(dcb, &tio))
        return ERROR_INVALID_PARAMETER;

    if (tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        int nErrno = errno;
        return nErrno == EINVAL ? (DWORD)ERROR_INVALID_PARAMETER : Win32ErrorFromErrno(nErrno);
    }
    // tcsetattr succeeds when any part took; a driver that dropped the rate or the format
    // has refused the DCB, and the line goes back to what it was.
    const tcflag_t checked = m_bPseudoTerminal ? (tcflag_t)CSTOPB : kFormatFlags;
    struct termios now;
    if (tcgetattr(m_fd, &now) != 0 || cfgetospeed(&now) != cfgetospeed(&tio) ||
        (now.c_cflag & checked) != (tio.c_cflag & checked)) {
        tcsetattr(m_fd, TCSANOW, &old);
        return ERROR_INVALID_PARAMETER;
    }

    // Modem lines, where the device has them (a pseudo-terminal has none).
    int dtr = TIOCM_DTR;
    ioctl(m_fd, dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &dtr);
    if (!(tio.c_cflag & CRTSCTS)) {
        int rts = TIOCM_RTS;
        ioctl(m_fd, dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &rts);
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_kept = dcb;
    return ERROR_SUCCESS;
}

DWORD CommLine::SetMask(DWORD dwEventMask) {
    const DWORD kAllEvents = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK |
                             EV_ERR | EV_RING | EV_PERR | EV_RX80FULL | EV_EVENT1 | EV_EVENT2;
    // The mask only selects what WaitCommEvent would report; this layer has no
    // WaitCommEvent, so nothing reads the mask and it need not be kept.
    return (dwEventMask & ~kAllEvents) ? (DWORD)ERROR_INVALID_PARAMETER : (DWORD)ERROR_SUCCESS;
}

void CommLine::SetTimeouts(const COMMTIMEOUTS& timeouts) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_timeouts = timeouts;
}

COMMTIMEOUTS CommLine::GetTimeouts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_timeouts;
}

CommLine::WaitResult CommLine::WaitFor(short events, int nTimeoutMs, short* pRevents, DWORD* pdwError) {
    struct pollfd fds[2];
    fds[0].fd = m_fd;
    fds[0].events = events;
    fds[0].revents = 0;
    fds[1].fd = m_wakeFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    int nReady = poll(fds, 2, nTimeoutMs);
    if (nReady < 0) {
        if (errno == EINTR) {
            *pRevents = 0;
            return WaitResult::Ready;  // the caller looks again
        }
        *pdwError = Win32ErrorFromErrno(errno);
        return WaitResult::Failed;
    }
    if (m_bAborted || (fds[1].revents & POLLIN))
        return WaitResult::Aborted;
    if (nReady == 0)
        return WaitResult::TimedOut;
    *pRevents = fds[0].revents;
    return WaitResult::Ready;
}

DWORD CommLine::AwaitLine(short events, const CommDeadline& deadline, bool* pbHangupSeen, bool* pbExpired) {
    *pbExpired = false;
    int nWait = deadline.PollTimeout(m_clock.Now());
    if (nWait == 0) {
        *pbExpired = true;
        return ERROR_SUCCESS;
    }
    short revents = 0;
    DWORD dwError = ERROR_SUCCESS;
    switch (WaitFor(events, nWait, &revents, &dwError)) {
    case WaitResult::Aborted: return ERROR_OPERATION_ABORTED;
    case WaitResult::Failed: return dwError;
    case WaitResult::TimedOut: break;
    case WaitResult::Ready:
        if (revents & (POLLHUP | POLLERR | POLLNVAL))
            *pbHangupSeen = true;
        break;
    }
    return ERROR_SUCCESS;
}

DWORD CommLine::Read(void* pBuffer, DWORD dwCount, DWORD* pdwDone) {
    *pdwDone = 0;
    if (m_bAborted)
        return ERROR_OPERATION_ABORTED;
    if (dwCount == 0)
        return ERROR_SUCCESS;
    BYTE* pBytes = static_cast<BYTE*>(pBuffer);
    CommDeadline deadline = CommDeadline::ForRead(GetTimeouts(), dwCount, m_clock.Now());
    bool bHangupSeen = false;
    for (;;) {
        ssize_t n = read(m_fd, pBytes + *pdwDone, dwCount - *pdwDone);
        if (n > 0) {
            *pdwDone += (DWORD)n;
            if (*pdwDone == dwCount)
                return ERROR_SUCCESS;
            deadline.BytesTransferred(m_clock.Now());
            if (deadline.ReturnsNow(*pdwDone))
                return ERROR_SUCCESS;
            continue;
        }
        if (n == 0)
            return kLineGone;
        if (errno == EINTR)
            continue;
        if (errno == EIO)
            return kLineGone;
        if (errno != EAGAIN)
            return Win32ErrorFromErrno(errno);
        if (bHangupSeen)
            return kLineGone;
        if (deadline.ReturnsNow(*pdwDone))
            return ERROR_SUCCESS;
        bool bExpired = false;
        DWORD dwError = AwaitLine(POLLIN, deadline, &bHangupSeen, &bExpired);
        if (dwError != ERROR_SUCCESS || bExpired)
            return dwError;  // a time-out is success with what arrived
    }
}

DWORD CommLine::Write(const void* pBuffer, DWORD dwCount, DWORD* pdwDone) {
    *pdwDone = 0;
    if (m_bAborted)
        return ERROR_OPERATION_ABORTED;
    if (dwCount == 0)
        return ERROR_SUCCESS;
    const BYTE* pBytes = static_cast<const BYTE*>(pBuffer);
    CommDeadline deadline = CommDeadline::ForWrite(GetTimeouts(), dwCount, m_clock.Now());
    bool bHangupSeen = false;
    for (;;) {
        ssize_t n = write(m_fd, pBytes + *pdwDone, dwCount - *pdwDone);
        if (n > 0) {
            *pdwDone += (DWORD)n;
            if (*pdwDone == dwCount)
                return ERROR_SUCCESS;
            continue;
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EIO)
                return kLineGone;
            if (errno != EAGAIN)
                return Win32ErrorFromErrno(errno);
        }
        if (bHangupSeen)
            return kLineGone;
        bool bExpired = false;
        DWORD dwError = AwaitLine(POLLOUT, deadline, &bHangupSeen, &bExpired);
        if (dwError != ERROR_SUCCESS || bExpired)
            return dwError;  // a time-out is success with what went out
    }
}

DWORD CommLine::Purge(DWORD dwFlags) {
    if (dwFlags & ~(DWORD)(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return ERROR_INVALID_PARAMETER;
    // The abort flags end overlapped requests still under way; every request of this
    // device completes within its own call, so there is never one to end.
    if ((dwFlags & PURGE_RXCLEAR) && tcflush(m_fd, TCIFLUSH) != 0)
        return Win32ErrorFromErrno(errno);
    if ((dwFlags & PURGE_TXCLEAR) && tcflush(m_fd, TCOFLUSH) != 0)
        return Win32ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD CommLine::TakeLineErrors() {
    struct serial_icounter_struct icount;
    memset(&icount, 0, sizeof(icount));
    // Pseudo-terminals and some adapters keep no counts: no line errors to tell.
    if (ioctl(m_fd, TIOCGICOUNT, &icount) != 0)
        return 0;
    const int counts[5] = {icount.frame, icount.overrun, icount.parity, icount.brk, icount.buf_overrun};
    DWORD dwErrors = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_bHaveCounts) {
        if (counts[0] != m_counts[0])
            dwErrors |= CE_FRAME;
        if (counts[1] != m_counts[1])
            dwErrors |= CE_OVERRUN;
        if (counts[2] != m_counts[2])
            dwErrors |= CE_RXPARITY;
        if (counts[3] != m_counts[3])
            dwErrors |= CE_BREAK;
        if (counts[4] != m_counts[4])
            dwErrors |= CE_RXOVER;
    }
    memcpy(m_counts, counts, sizeof(m_counts));
    m_bHaveCounts = true;
    return dwErrors;
}

DWORD CommLine::ClearError(DWORD* pdwErrors, COMSTAT* pStat) {
    // Input the device has taken but the line discipline not yet seen counts as queued,
    // as it does in a Windows driver's queue; a zero-time poll pushes it through.
    struct pollfd pfd;
    pfd.fd = m_fd;
    pfd.events = POLLIN;
    pfd.revents = 0;
    poll(&pfd, 1, 0);

    int nInQueue = 0;
    if (ioctl(m_fd, FIONREAD, &nInQueue) != 0)
        return Win32ErrorFromErrno(errno);
    int nOutQueue = 0;
    if (ioctl(m_fd, TIOCOUTQ, &nOutQueue) != 0)
        nOutQueue = 0;
    DWORD dwErrors = TakeLineErrors();
    if (pdwErrors != NULL)
        *pdwErrors = dwErrors;
    if (pStat != NULL) {
        memset(pStat, 0, sizeof(*pStat));
        pStat->cbInQue = nInQueue > 0 ? (DWORD)nInQueue : 0;
        pStat->cbOutQue = nOutQueue > 0 ? (DWORD)nOutQueue : 0;
    }
    return ERROR_SUCCESS;
}

void CommLine::Abort() {
    m_bAborted = true;
    uint64_t one = 1;
    ssize_t n = write(m_wakeFd, &one, sizeof(one));
    (void)n;
}

}  // namespace win32
