// The COM port device and the Comm functions, over pseudo-terminal pairs: the test holds
// the master side as the terminal, the platform layer opens the slave as its serial line.
#include <gtest/gtest.h>

#include <windows.h>

#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "internal/comm_device.h"
#include "internal/comm_line.h"
#include "CommTestPty.h"

namespace {

using commtest::Bytes;
using commtest::PtyPair;

HANDLE OpenLine(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

DCB BaseDcb() {
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// A line as a terminal driver hands it out before anybody set it.
struct termios CookedLine() {
    struct termios tio;
    memset(&tio, 0, sizeof(tio));
    tio.c_iflag = ICRNL | IXON;
    tio.c_oflag = OPOST | ONLCR;
    tio.c_cflag = CS8 | CREAD | HUPCL;
    tio.c_lflag = ICANON | ECHO | ISIG;
    cfsetispeed(&tio, B38400);
    cfsetospeed(&tio, B38400);
    return tio;
}

void SetReadTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS t = {interval, multiplier, constant, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
}

class CommLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        h = OpenLine(pty.slavePath());
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }

    // ReadFile on the line while the terminal side plays its part on a thread of its own.
    BOOL ReadWhile(BYTE* buf, DWORD size, DWORD* n, const std::function<void()>& terminal) {
        std::thread side(terminal);
        const BOOL ok = ReadFile(h, buf, size, n, NULL);
        side.join();
        return ok;
    }

    // The line's state as it reads back, with its rate and frame replaced.
    DCB State(DWORD baud, BYTE size, BYTE parity, BYTE stop) {
        DCB dcb;
        memset(&dcb, 0, sizeof(dcb));
        EXPECT_TRUE(GetCommState(h, &dcb));
        dcb.BaudRate = baud;
        dcb.ByteSize = size;
        dcb.Parity = parity;
        dcb.StopBits = stop;
        return dcb;
    }

    PtyPair pty;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// ---- Opening ---------------------------------------------------------------------------

TEST(CommOpen, MissingDeviceIsFileNotFound) {
    SetLastError(0);
    HANDLE h = OpenCommDevice("/dev/no-such-serial-line", GENERIC_READ | GENERIC_WRITE, 0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());

    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenLine("/dev/no-such-serial-line"));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST(CommOpen, SecondOpenInTheSameProcessIsRefusedUntilTheFirstCloses) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    HANDLE first = OpenLine(pty.slavePath());
    ASSERT_NE(INVALID_HANDLE_VALUE, first);

    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenLine(pty.slavePath()));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = OpenLine(pty.slavePath());
    EXPECT_NE(INVALID_HANDLE_VALUE, again);
    CloseHandle(again);
}

TEST(CommOpen, OpenHeldByAnotherProcessIsRefusedAndFreedWhenItDies) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE held = OpenLine(pty.slavePath());
        char c = held != INVALID_HANDLE_VALUE ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(2);
        pause();  // holds the port until killed
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    ASSERT_EQ('y', c);

    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenLine(pty.slavePath()));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());

    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    HANDLE h = OpenLine(pty.slavePath());
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
}

// A pseudo-terminal, as virtual serial bridges give them, opened by a user who is not
// root: a process that ended without closing its port must not lock the next one out.
TEST(CommOpen, PseudoTerminalLeftOpenByAnEndedProcessOpensAgainForAnotherUser) {
    const passwd* pNobody = getpwnam("nobody");
    if (getuid() != 0 || pNobody == nullptr)
        GTEST_SKIP() << "needs root to run the opens as the user nobody";
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(0, chown(pty.slavePath().c_str(), pNobody->pw_uid, (gid_t)-1));

    // Each run in a child of its own as nobody; the first exits with the port open.
    auto runAsNobody = [&](bool bClose) {
        pid_t child = fork();
        if (child == 0) {
            if (setgid(pNobody->pw_gid) != 0 || setuid(pNobody->pw_uid) != 0)
                _exit(3);
            HANDLE h = OpenLine(pty.slavePath());
            if (h == INVALID_HANDLE_VALUE)
                _exit(GetLastError() == ERROR_ACCESS_DENIED ? 1 : 2);
            if (bClose)
                CloseHandle(h);
            _exit(0);
        }
        int status = -1;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(0, runAsNobody(false));
    EXPECT_EQ(0, runAsNobody(true)) << "1: access denied, as a pty left exclusive gives";
}

TEST(CommOpen, ANonTerminalIsNoComPort) {
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, OpenCommDevice("/dev/null", GENERIC_READ | GENERIC_WRITE, 0));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(CommLineTest, LineIsRawWithClocalAndEveryByteValuePassesUnchanged) {
    struct termios tio;
    ASSERT_TRUE(pty.LineSettings(&tio));
    EXPECT_EQ(0u, tio.c_lflag & (ECHO | ICANON | ISIG | IEXTEN));
    EXPECT_EQ(0u, tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_NE(0u, tio.c_cflag & CLOCAL);

    std::vector<unsigned char> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = (unsigned char)i;
    SetReadTimeouts(h, 0, 0, 5000);

    ASSERT_TRUE(pty.Send(all));
    std::vector<unsigned char> got(256);
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, got.data(), 256, &n, NULL));
    EXPECT_EQ(256u, n);
    EXPECT_EQ(all, got);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, all.data(), 256, &written, NULL));
    EXPECT_EQ(256u, written);
    EXPECT_EQ(all, pty.Receive(256));
}

// ---- Line settings ---------------------------------------------------------------------

TEST(CommDcbMapping, EveryParityCodeHasItsOwnLineFlagsAndReadsBack) {
    const struct {
        BYTE parity;
        tcflag_t flags;
    } cases[] = {
        {NOPARITY, 0},
        {ODDPARITY, PARENB | PARODD},
        {EVENPARITY, PARENB},
        {MARKPARITY, PARENB | PARODD | CMSPAR},
        {SPACEPARITY, PARENB | CMSPAR},
    };
    for (const auto& c : cases) {
        DCB dcb = BaseDcb();
        dcb.Parity = c.parity;
        struct termios tio = CookedLine();
        ASSERT_TRUE(win32::DcbToTermios(dcb, &tio));
        EXPECT_EQ(c.flags, tio.c_cflag & (PARENB | PARODD | CMSPAR)) << (int)c.parity;
        DCB back;
        win32::TermiosToDcb(tio, dcb, &back);
        EXPECT_EQ(c.parity, back.Parity);
    }
}

TEST(CommDcbMapping, ByteSizesStopBitsRateAndFlowControl) {
    const struct {
        BYTE size;
        tcflag_t flag;
    } sizes[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};
    for (const auto& c : sizes) {
        DCB dcb = BaseDcb();
        dcb.ByteSize = c.size;
        struct termios tio = CookedLine();
        ASSERT_TRUE(win32::DcbToTermios(dcb, &tio));
        EXPECT_EQ(c.flag, tio.c_cflag & CSIZE);
        DCB back;
        win32::TermiosToDcb(tio, dcb, &back);
        EXPECT_EQ(c.size, back.ByteSize);
    }

    DCB dcb = BaseDcb();
    dcb.BaudRate = CBR_115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fInX = 1;
    dcb.fOutX = 0;
    dcb.fOutxCtsFlow = 1;
    struct termios tio = CookedLine();
    tio.c_iflag |= IXON;
    ASSERT_TRUE(win32::DcbToTermios(dcb, &tio));
    EXPECT_EQ((speed_t)B115200, cfgetospeed(&tio));
    EXPECT_EQ((speed_t)B115200, cfgetispeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
    EXPECT_NE(0u, tio.c_iflag & IXOFF);  // fInX: we send XOFF when full
    EXPECT_EQ(0u, tio.c_iflag & IXON);   // fOutX: we would obey XOFF
    EXPECT_NE(0u, tio.c_cflag & CRTSCTS);
    EXPECT_EQ(0x11, tio.c_cc[VSTART]);
    EXPECT_EQ(0x13, tio.c_cc[VSTOP]);

    DCB kept = BaseDcb();
    kept.XonLim = 77;
    DCB back;
    win32::TermiosToDcb(tio, kept, &back);
    EXPECT_EQ((DWORD)CBR_115200, back.BaudRate);
    EXPECT_EQ(TWOSTOPBITS, back.StopBits);
    EXPECT_EQ(1u, back.fInX);
    EXPECT_EQ(0u, back.fOutX);
    EXPECT_EQ(1u, back.fOutxCtsFlow);
    EXPECT_EQ((DWORD)RTS_CONTROL_HANDSHAKE, back.fRtsControl);
    EXPECT_EQ(77, back.XonLim);
}

TEST(CommDcbMapping, OutOfRangeDcbsLeaveTheTermiosAlone) {
    const struct {
        DWORD baud;
        BYTE size, parity, stop;
    } invalid[] = {{CBR_14400, 8, 0, 0}, {CBR_256000, 8, 0, 0}, {0, 8, 0, 0},   {9600, 4, 0, 0},
                   {9600, 9, 0, 0},      {9600, 8, 5, 0},       {9600, 8, 0, 3}};
    for (const auto& v : invalid) {
        DCB dcb = BaseDcb();
        dcb.BaudRate = v.baud;
        dcb.ByteSize = v.size;
        dcb.Parity = v.parity;
        dcb.StopBits = v.stop;
        struct termios tio = CookedLine();
        EXPECT_FALSE(win32::DcbToTermios(dcb, &tio)) << v.baud << " " << (int)v.size;
        struct termios untouched = CookedLine();
        EXPECT_EQ(0, memcmp(&tio, &untouched, sizeof(tio)));
    }
    DCB dcb = BaseDcb();
    dcb.fOutX = 1;
    dcb.XoffChar = dcb.XonChar;
    struct termios tio = CookedLine();
    EXPECT_FALSE(win32::DcbToTermios(dcb, &tio));
}

TEST_F(CommLineTest, CommStateReachesTheLineAndReadsBack) {
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(8, dcb.ByteSize);
    EXPECT_EQ(NOPARITY, dcb.Parity);
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fInX = 1;
    dcb.fOutX = 0;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();

    struct termios tio;
    ASSERT_TRUE(pty.LineSettings(&tio));
    EXPECT_EQ((speed_t)B19200, cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
    EXPECT_NE(0u, tio.c_iflag & IXOFF);
    EXPECT_EQ(0u, tio.c_iflag & IXON);

    // A pseudo-terminal forces eight bits without parity; what was set reads back.
    DCB back;
    memset(&back, 0, sizeof(back));
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ((DWORD)CBR_19200, back.BaudRate);
    EXPECT_EQ(7, back.ByteSize);
    EXPECT_EQ(EVENPARITY, back.Parity);
    EXPECT_EQ(TWOSTOPBITS, back.StopBits);
    EXPECT_EQ(1u, back.fInX);
    EXPECT_EQ(1u, back.fBinary);
}

TEST_F(CommLineTest, OneAndAHalfStopBitsIsCstopbAndReadsBackAsAskedFor) {
    // One and a half, then back to one on the same line.
    const struct {
        BYTE stop;
        tcflag_t cstopb;
    } cases[] = {{ONE5STOPBITS, CSTOPB}, {ONESTOPBIT, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE((int)c.stop);
        DCB dcb = State(CBR_9600, 5, NOPARITY, c.stop);
        ASSERT_TRUE(SetCommState(h, &dcb));
        struct termios tio;
        ASSERT_TRUE(pty.LineSettings(&tio));
        EXPECT_EQ(c.cstopb, tio.c_cflag & CSTOPB);
        DCB back;
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(c.stop, back.StopBits);
    }
}

TEST_F(CommLineTest, OutOfRangeSettingsAreRefusedAndLeaveTheLineAlone) {
    DCB good = State(CBR_9600, 8, NOPARITY, ONESTOPBIT);
    ASSERT_TRUE(SetCommState(h, &good));

    // A rate termios has no constant for (with another size), and a parity code past the last.
    const DCB bad[] = {State(CBR_14400, 7, NOPARITY, ONESTOPBIT), State(CBR_9600, 8, 5, ONESTOPBIT)};
    for (DCB dcb : bad) {
        SetLastError(0);
        EXPECT_FALSE(SetCommState(h, &dcb)) << dcb.BaudRate;
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    }

    DCB back;
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ((DWORD)CBR_9600, back.BaudRate);
    EXPECT_EQ(8, back.ByteSize);
}

TEST_F(CommLineTest, FieldsTheLineDoesNotCarryAreKeptAsSet) {
    DCB dcb = State(CBR_115200, 8, NOPARITY, ONESTOPBIT);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 123;
    dcb.XoffLim = 45;
    dcb.EofChar = 0x1A;
    dcb.EvtChar = 0x7E;
    ASSERT_TRUE(SetCommState(h, &dcb));
    DCB back;
    memset(&back, 0xCC, sizeof(back));
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ((DWORD)sizeof(DCB), back.DCBlength);
    EXPECT_EQ((DWORD)CBR_115200, back.BaudRate);
    EXPECT_EQ((DWORD)DTR_CONTROL_DISABLE, back.fDtrControl);
    EXPECT_EQ(1u, back.fAbortOnError);
    EXPECT_EQ(123, back.XonLim);
    EXPECT_EQ(45, back.XoffLim);
    EXPECT_EQ(0x1A, back.EofChar);
    EXPECT_EQ(0x7E, back.EvtChar);
}

TEST_F(CommLineTest, MissingRecordsAreRefused) {
    const std::function<BOOL()> calls[] = {
        [&] { return GetCommState(h, NULL); }, [&] { return SetCommState(h, NULL); },
        [&] { return GetCommTimeouts(h, NULL); }, [&] { return SetCommTimeouts(h, NULL); }};
    for (size_t i = 0; i < 4; ++i) {
        SetLastError(0);
        EXPECT_FALSE(calls[i]()) << i;
        EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError()) << i;
    }
}

TEST_F(CommLineTest, CommMaskTakesEventBitsOnly) {
    EXPECT_TRUE(SetCommMask(h, EV_RXCHAR));
    SetLastError(0);
    EXPECT_FALSE(SetCommMask(h, 0x80000000));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST_F(CommLineTest, TimeoutsRoundTripAndTheImpossibleCombinationIsRefused) {
    COMMTIMEOUTS t = {1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    COMMTIMEOUTS back = {0, 0, 0, 0, 0};
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(0, memcmp(&t, &back, sizeof(t)));

    COMMTIMEOUTS impossible = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts(h, &impossible));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(0, memcmp(&t, &back, sizeof(t)));
}

TEST(CommHandles, CommFunctionsRefuseOtherHandles) {
    COMMTIMEOUTS t = {0, 0, 10, 0, 10};
    DCB dcb;
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts((HANDLE)(ULONG_PTR)0x7FFC, &t));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(GetCommTimeouts(INVALID_HANDLE_VALUE, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    ASSERT_NE((HANDLE)NULL, event);
    SetLastError(0);
    EXPECT_FALSE(SetCommTimeouts(event, &t));
    EXPECT_EQ((DWORD)ERROR_INVALID_FUNCTION, GetLastError());
    EXPECT_FALSE(PurgeComm(event, PURGE_RXCLEAR));
    CloseHandle(event);
}

// ---- Reads and writes under COMMTIMEOUTS -------------------------------------------------

TEST_F(CommLineTest, ReadReturnsTheMomentItsCountIsComplete) {
    // A total time-out far beyond the test's own limit: only completion can end the call.
    SetReadTimeouts(h, 0, 0, 3600000);
    ASSERT_TRUE(pty.Send(Bytes({1, 2, 3, 4, 5, 6, 7})));
    BYTE buf[5] = {0};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, 5, &n, NULL));
    EXPECT_EQ(5u, n);
    EXPECT_EQ(5, buf[4]);
    // The rest stays queued for the next read.
    ASSERT_TRUE(ReadFile(h, buf, 2, &n, NULL));
    EXPECT_EQ(2u, n);
    EXPECT_EQ(7, buf[1]);
}

TEST_F(CommLineTest, ReadCollectsBytesThatArriveInPieces) {
    SetReadTimeouts(h, 0, 0, 3600000);
    BYTE buf[7] = {0};
    DWORD n = 0;
    ASSERT_TRUE(ReadWhile(buf, 7, &n, [this] {
        pty.Send(Bytes({0x10, 0x11, 0x12}));
        usleep(30000);
        pty.Send(Bytes({0x13, 0x14, 0x15, 0x16}));
    }));
    EXPECT_EQ(7u, n);
    EXPECT_EQ(0x16, buf[6]);
}

TEST_F(CommLineTest, TotalTimeoutIsSuccessWithFewerBytes) {
    SetReadTimeouts(h, 0, 0, 50);
    BYTE buf[10];
    DWORD n = 99;
    ASSERT_TRUE(ReadFile(h, buf, 10, &n, NULL));
    EXPECT_EQ(0u, n);

    ASSERT_TRUE(pty.Send(Bytes({9, 8, 7})));
    n = 99;
    ASSERT_TRUE(ReadFile(h, buf, 10, &n, NULL));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(7, buf[2]);
}

TEST_F(CommLineTest, IntervalLimitEndsAReadOnlyAfterTheFirstByte) {
    // No total time-out: without bytes the read would wait forever, so the terminal
    // answers late; once bytes flow, a 40 ms gap ends the read.
    SetReadTimeouts(h, 40, 0, 0);
    BYTE buf[10];
    DWORD n = 0;
    ASSERT_TRUE(ReadWhile(buf, 10, &n, [this] {
        usleep(100000);
        pty.Send(Bytes({0xA1, 0xA2}));
    }));
    EXPECT_EQ(2u, n);
}

TEST_F(CommLineTest, MaxIntervalWithoutTotalsReturnsWhatIsThere) {
    SetReadTimeouts(h, MAXDWORD, 0, 0);
    BYTE buf[8];
    DWORD n = 99;
    ASSERT_TRUE(ReadFile(h, buf, 8, &n, NULL));
    EXPECT_EQ(0u, n);
}

TEST_F(CommLineTest, ReturnOnFirstBytesMode) {
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 3600000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    BYTE buf[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadWhile(buf, 8, &n, [this] {
        usleep(50000);
        pty.Send(Bytes({0x42}));
    }));
    EXPECT_EQ(1u, n);
    EXPECT_EQ(0x42, buf[0]);
}

TEST_F(CommLineTest, WriteCutShortByItsTimeoutSucceedsWithTheCountSent) {
    // The terminal reads nothing, so the line's buffers fill up.
    COMMTIMEOUTS t = {0, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    std::vector<BYTE> big(1 << 20, 0x55);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, big.data(), (DWORD)big.size(), &written, NULL));
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, (DWORD)big.size());
}

TEST_F(CommLineTest, ALineWhoseOtherSideWentAwayFailsAtOnce) {
    SetReadTimeouts(h, 0, 0, 0);  // would otherwise wait forever
    ASSERT_TRUE(pty.Send(Bytes({1, 2})));
    BYTE buf[10];
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(ReadWhile(buf, 10, &n, [this] {
        usleep(50000);
        pty.CloseMaster();
    }));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    EXPECT_EQ(2u, n);  // what came before the hang-up is delivered

    DWORD written = 0;
    EXPECT_FALSE(WriteFile(h, buf, 2, &written, NULL));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
}

TEST_F(CommLineTest, CloseHandleWakesABlockedRead) {
    SetReadTimeouts(h, 0, 0, 0);
    std::atomic<BOOL> result{TRUE};
    std::atomic<DWORD> error{0};
    std::thread reader([&] {
        BYTE buf[4];
        DWORD n = 0;
        result = ReadFile(h, buf, 4, &n, NULL);
        error = GetLastError();
    });
    usleep(50000);
    ASSERT_TRUE(CloseHandle(h));
    h = INVALID_HANDLE_VALUE;
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, error.load());
}

TEST_F(CommLineTest, OverlappedRequestsCompleteWithinTheCall) {
    SetReadTimeouts(h, 0, 0, 5000);
    ASSERT_TRUE(pty.Send(Bytes({4, 5, 6})));
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BYTE buf[3];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, 3, &n, &ov));
    DWORD transferred = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &transferred, FALSE));
    EXPECT_EQ(3u, transferred);
    EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(ov.hEvent, 0));
    CloseHandle(ov.hEvent);
}

// ---- Queues ------------------------------------------------------------------------------

TEST_F(CommLineTest, ClearCommErrorCountsTheInputQueueWithoutTakingIt) {
    ASSERT_TRUE(pty.Send(Bytes({1, 2, 3, 4, 5})));
    COMSTAT stat;
    DWORD errors = 99;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(5u, stat.cbInQue);
    EXPECT_EQ(0u, errors);
    ASSERT_TRUE(ClearCommError(h, NULL, &stat));
    EXPECT_EQ(5u, stat.cbInQue);

    SetReadTimeouts(h, 0, 0, 1000);
    BYTE buf[5];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, 5, &n, NULL));
    EXPECT_EQ(5u, n);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(0u, stat.cbInQue);
}

TEST_F(CommLineTest, PurgeDiscardsReceivedInput) {
    ASSERT_TRUE(pty.Send(Bytes({1, 2, 3})));
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(h, NULL, &stat));
    ASSERT_EQ(3u, stat.cbInQue);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_RXABORT));
    ASSERT_TRUE(ClearCommError(h, NULL, &stat));
    EXPECT_EQ(0u, stat.cbInQue);

    ASSERT_TRUE(pty.Send(Bytes({7})));
    SetReadTimeouts(h, 0, 0, 1000);
    BYTE buf[1];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, 1, &n, NULL));
    EXPECT_EQ(7, buf[0]);

    SetLastError(0);
    EXPECT_FALSE(PurgeComm(h, 0x100));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

}  // namespace
