// The port base: owner token, protocol type, cached time-outs, trace texts, hex dump and
// the machine-wide device lock (within one process and across processes).
#include <Port.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>

#include "../platform/win32/CommTestPty.h"
#include "DebugOutputCapture.h"

namespace {

// The smallest port that can be built: the pure slots do nothing.
class BarePort : public CPort {
public:
    BarePort() : CPort(nullptr) {}
    void FlushReceiveBuffer() override {}
    BOOL OpenPort() override { return TRUE; }
    BOOL ClosePort() override { return TRUE; }
    void CloseConnection() override {}
    BOOL IsOpen() override { return FALSE; }
    BOOL Write(const BYTE*, DWORD, DWORD*) override { return FALSE; }
    BOOL Read(BYTE*, DWORD, DWORD*) override { return FALSE; }
    DWORD GetMaxBufferSize() override { return 0; }
    void BeginTransaction(LPCSTR) override {}
    void EndTransaction(LPCSTR) override {}
};

COMMTIMEOUTS Timeouts(DWORD a, DWORD b, DWORD c, DWORD d, DWORD e) {
    COMMTIMEOUTS t = {a, b, c, d, e};
    return t;
}

bool SameTimeouts(const COMMTIMEOUTS& x, const COMMTIMEOUTS& y) { return memcmp(&x, &y, sizeof(x)) == 0; }

// ---- Small contracts -----------------------------------------------------------------------

TEST(PortBase, ProtocolTypeKeepsRawAndStxEtxAndTakesVliForAnythingElse) {
    BarePort port;
    port.SetProtocolType(0);
    EXPECT_EQ(0, port.GetProtocolType());
    port.SetProtocolType(2);
    EXPECT_EQ(2, port.GetProtocolType());
    port.SetProtocolType(5);
    EXPECT_EQ(1, port.GetProtocolType());
    port.SetProtocolType(-1);
    EXPECT_EQ(1, port.GetProtocolType());
}

TEST(PortBase, OwnerTokenIsReleasedOnlyByItsOwner) {
    BarePort port;
    port.ReleaseOwner(0);
    EXPECT_FALSE(port.HasOwner());
    EXPECT_EQ(0u, port.GetOwner());

    port.SetOwner(7);
    port.SetOwner(9);  // a second owner replaces the first
    port.ReleaseOwner(7);
    EXPECT_TRUE(port.HasOwner());
    EXPECT_EQ(9u, port.GetOwner());
    port.ReleaseOwner(9);
    EXPECT_FALSE(port.HasOwner());
}

TEST(PortBase, FlagSettersStoreTrueForAnyNonZeroValue) {
    BarePort port;
    EXPECT_TRUE(port.IsDevicePresent());
    port.SetDisconnected(42);
    port.SetRescanRequested(-1);
    port.SetDevicePresent(0);
    EXPECT_EQ(TRUE, port.IsDisconnected());
    EXPECT_EQ(TRUE, port.IsRescanRequested());
    EXPECT_EQ(FALSE, port.IsDevicePresent());
}

TEST(PortBase, CommTimeoutsUtilitiesCompareEveryField) {
    COMMTIMEOUTS a = Timeouts(1, 2, 3, 4, 5);
    COMMTIMEOUTS b;
    CPort::CopyCommTimeouts(&b, &a);
    EXPECT_TRUE(CPort::EqualCommTimeouts(&a, &b));
    for (int field = 0; field < 5; ++field) {
        COMMTIMEOUTS c = a;
        reinterpret_cast<DWORD*>(&c)[field] += 1;
        EXPECT_FALSE(CPort::EqualCommTimeouts(&a, &c)) << field;
    }
    CPort::ZeroCommTimeouts(&b);
    EXPECT_TRUE(SameTimeouts(Timeouts(0, 0, 0, 0, 0), b));
}

// ---- Cached time-outs ----------------------------------------------------------------------

TEST(PortCommTimeouts, SameValuesReachTheDeviceOnceAndAnEmptyCacheMakesThemReachItAgain) {
    commtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    HANDLE h =
        CreateFileA(pty.slavePath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BarePort port;
    COMMTIMEOUTS wanted = Timeouts(0, 0, 700, 0, 700);
    ASSERT_TRUE(port.OPOSSetCommTimeouts(h, &wanted));

    // Change the device behind the cache's back: a second application of the same values
    // must not touch it.
    COMMTIMEOUTS other = Timeouts(9, 9, 9, 9, 9);
    ASSERT_TRUE(SetCommTimeouts(h, &other));
    ASSERT_TRUE(port.OPOSSetCommTimeouts(h, &wanted));
    COMMTIMEOUTS now;
    ASSERT_TRUE(GetCommTimeouts(h, &now));
    EXPECT_TRUE(SameTimeouts(other, now));

    // What OpenPort does to the cache for a new handle.
    CPort::ZeroCommTimeouts(&port.m_CommTimeouts);
    ASSERT_TRUE(port.OPOSSetCommTimeouts(h, &wanted));
    ASSERT_TRUE(GetCommTimeouts(h, &now));
    EXPECT_TRUE(SameTimeouts(wanted, now));
    CloseHandle(h);
}

TEST(PortCommTimeouts, FailureKeepsTheCacheAndTellsTheDebugger) {
    DebugOutputCapture debugger;
    BarePort port;
    COMMTIMEOUTS applied = Timeouts(0, 0, 100, 0, 100);
    CPort::CopyCommTimeouts(&port.m_CommTimeouts, &applied);
    COMMTIMEOUTS wanted = Timeouts(0, 0, 200, 0, 200);
    SetLastError(0);
    EXPECT_FALSE(port.OPOSSetCommTimeouts((HANDLE)(ULONG_PTR)0x7FF0, &wanted));
    EXPECT_TRUE(SameTimeouts(applied, port.m_CommTimeouts));
    EXPECT_EQ("CPort::OPOSSetCommTimeouts entered.\n"
              "SetCommTimeouts error with code: 6\n"
              "CPort::OPOSSetCommTimeouts exiting.\n",
              debugger.Text());
}

TEST(PortCommTimeouts, AllZeroValuesOnAFreshCacheNeverReachTheSystem) {
    BarePort port;
    COMMTIMEOUTS zero = Timeouts(0, 0, 0, 0, 0);
    // Not even an invalid handle is noticed: nothing is called.
    EXPECT_TRUE(port.OPOSSetCommTimeouts((HANDLE)(ULONG_PTR)0x7FF0, &zero));
}

// ---- Texts ---------------------------------------------------------------------------------

TEST(PortTexts, SemaphoreTraceWithAndWithoutTime) {
    BarePort port;
    BOOL bWithTime = FALSE;
    CString plain = port.FormatSemaphoreTrace("nSendPacket", "VLIProtocol.cpp", 42, &bWithTime);
    char expected[256];
    snprintf(expected, sizeof(expected),
             "Semaphore Handle [%X]. Function [nSendPacket]. File [VLIProtocol.cpp]. Line #[42]",
             (unsigned int)(UINT_PTR)port.m_TraceSemaphore.m_hObject);
    EXPECT_STREQ(expected, (LPCSTR)plain);

    bWithTime = TRUE;
    CString timed = port.FormatSemaphoreTrace("nReceivePacket", "RawProtocol.cpp", 7, &bWithTime);
    EXPECT_TRUE(
        std::regex_match(std::string((LPCSTR)timed),
                         std::regex("Semaphore Handle \\[[0-9A-F]+\\]\\. Time \\[\\d{4}-\\d\\d-\\d\\d "
                                    "\\d\\d:\\d\\d:\\d\\d\\]\\. Function \\[nReceivePacket\\]\\. "
                                    "File \\[RawProtocol\\.cpp\\]\\. Line #\\[7\\]")))
        << (LPCSTR)timed;
}

TEST(PortTexts, SemaphoreTraceOfOverlongNamesStaysInItsBuffer) {
    BarePort port;
    BOOL bWithTime = FALSE;
    std::string longName(5000, 'f');
    CString text = port.FormatSemaphoreTrace(longName.c_str(), "x.cpp", 1, &bWithTime);
    EXPECT_EQ(PORT_SEMAPHORE_TRACE_SIZE - 1, text.GetLength());
}

TEST(PortTexts, HexDumpOfNoBytesIsEmpty) {
    CString out("kept");
    BYTE none[1] = {0};
    CPort::FormatHexDump(none, 0, out);
    EXPECT_STREQ("kept", (LPCSTR)out);
}

TEST(PortTexts, HexDumpOfOneFullLine) {
    BYTE data[16];
    for (int i = 0; i < 16; ++i)
        data[i] = (BYTE)(0x41 + i);  // "ABCDEFGHIJKLMNOP"
    data[3] = 0x00;
    data[15] = 0xFF;
    CString out;
    CPort::FormatHexDump(data, 16, out);
    EXPECT_STREQ("\r\n41 42 43 00 45 46 47 48 49 4A 4B 4C 4D 4E 4F FF         ABC.EFGHIJKLMNO.", (LPCSTR)out);
}

TEST(PortTexts, HexDumpPadsAShortLastLineSoItsTextLinesUp) {
    BYTE data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = (BYTE)('a' + i);
    CString out;
    CPort::FormatHexDump(data, 20, out);
    std::string expected = "\r\n61 62 63 64 65 66 67 68 69 6A 6B 6C 6D 6E 6F 70         abcdefghijklmnop"
                           "\r\n71 72 73 74 " +
                           std::string(8 + 36, ' ') + "qrst";
    EXPECT_EQ(expected, std::string((LPCSTR)out, out.GetLength()));
}

TEST(PortTexts, SwitchedOffTracePointsWriteNothing) {
    if (IOCLASSLIB_PORT_TRACE)
        GTEST_SKIP() << "built with the port trace switched on";
    BarePort port;
    BYTE data[3] = {1, 2, 3};
    testing::internal::CaptureStdout();
    port.TraceWrite(data, 3);
    port.TraceRead(data, 3);
    port.LockDevice("test", 0);
    port.UnLockDevice("test");
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
}

// ---- Device lock ---------------------------------------------------------------------------

TEST(PortDeviceLock, LockAndUnlockCountAndFlagWithinOneThread) {
    BarePort port;
    ASSERT_NE(nullptr, port.m_pDeviceMutex);
    EXPECT_TRUE(port.LockDevice("caller", INFINITE));
    EXPECT_TRUE(port.GetSemPortLock());
    EXPECT_EQ(1, port.GetLockCount());
    // Recursive, as a mutex is for its owning thread.
    EXPECT_TRUE(port.LockDevice("caller", 10, 0));
    EXPECT_EQ(2, port.GetLockCount());
    EXPECT_TRUE(port.UnLockDevice("caller"));
    EXPECT_TRUE(port.UnLockDevice("caller", 6));
    EXPECT_FALSE(port.GetSemPortLock());
    EXPECT_EQ(0, port.GetLockCount());

    // Unlocking without a lock still counts down; the platform refuses the release.
    EXPECT_TRUE(port.UnLockDevice("caller"));
    EXPECT_EQ(-1, port.GetLockCount());
}

TEST(PortDeviceLock, WithoutAMutexTheOperationsRunAndLockNothing) {
    BarePort port;
    delete port.m_pDeviceMutex;
    port.m_pDeviceMutex = NULL;
    EXPECT_TRUE(port.LockDevice("caller", 0));
    EXPECT_FALSE(port.GetSemPortLock());
    EXPECT_EQ(0, port.GetLockCount());
    EXPECT_TRUE(port.UnLockDevice("caller"));
    EXPECT_EQ(-1, port.GetLockCount());
}

TEST(PortDeviceLock, TwoPortsOfOneProcessShareTheLock) {
    BarePort first;
    BarePort second;
    ASSERT_TRUE(first.LockDevice("first", INFINITE));
    ASSERT_TRUE(first.GetSemPortLock());
    // Ownership is per thread, so the other port must try from another thread.
    BOOL bSecondGot = TRUE;
    std::thread other([&] {
        second.LockDevice("second", 0);
        bSecondGot = second.GetSemPortLock();
    });
    other.join();
    EXPECT_FALSE(bSecondGot);
    EXPECT_EQ(0, second.GetLockCount());
    first.UnLockDevice("first");
}

// A process that takes the device lock through its own port, says so on a pipe, and
// holds it until it is killed.
pid_t StartLockHolder() {
    int ready[2];
    if (pipe(ready) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        BarePort port;
        port.LockDevice("holder", INFINITE);
        char c = port.GetSemPortLock() ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1)
            _exit(2);
        for (;;)
            pause();
    }
    close(ready[1]);
    char c = 0;
    bool held = child > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    if (!held && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, NULL, 0);
        return -1;
    }
    return child;
}

TEST(PortDeviceLock, ZeroTimeoutWhileAnotherProcessHoldsItRunsButLocksNothing) {
    pid_t holder = StartLockHolder();
    ASSERT_GT(holder, 0);
    BarePort port;
    EXPECT_TRUE(port.LockDevice("waiter", 0));
    EXPECT_FALSE(port.GetSemPortLock());
    EXPECT_EQ(0, port.GetLockCount());
    kill(holder, SIGKILL);
    waitpid(holder, NULL, 0);
}

TEST(PortDeviceLock, AnOwnerThatDiesHoldingTheLockGivesItUp) {
    pid_t holder = StartLockHolder();
    ASSERT_GT(holder, 0);
    kill(holder, SIGKILL);
    waitpid(holder, NULL, 0);
    BarePort port;
    EXPECT_TRUE(port.LockDevice("heir", 5000));
    EXPECT_TRUE(port.GetSemPortLock());
    EXPECT_EQ(1, port.GetLockCount());
    port.UnLockDevice("heir");
}

TEST(PortProcessEvent, LockIsHeldUntilUnlocked) {
    BarePort port;
    ASSERT_TRUE(port.PortProcessEventLock());
    BOOL bOtherGot = TRUE;
    std::thread other([&] { bOtherGot = port.m_ProcessEventSemaphore.Lock(0); });
    other.join();
    EXPECT_FALSE(bOtherGot);
    ASSERT_TRUE(port.PortProcessEventUnlock());
    ASSERT_TRUE(port.PortProcessEventLock());
    port.PortProcessEventUnlock();
}

}  // namespace
