// The tick count's wrap, local time, debugger output, the process's identity, and the
// handle and overlapped contract that device backends build on.
#include <gtest/gtest.h>

#include <windows.h>

#include "internal/device_namespace.h"
#include "internal/errno_map.h"
#include "internal/handle.h"
#include "internal/tick_count.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <thread>

#include "TempFiles.h"

namespace {

TEST(KernelTickCount, WrapsAtThirtyTwoBitsAndDifferencesSurviveTheWrap) {
    EXPECT_EQ(win32::TickCountFromMilliseconds(0), 0u);
    EXPECT_EQ(win32::TickCountFromMilliseconds(0xFFFFFFFFull), 0xFFFFFFFFu);
    EXPECT_EQ(win32::TickCountFromMilliseconds(0x100000000ull), 0u);
    EXPECT_EQ(win32::TickCountFromMilliseconds(0x100000005ull), 5u);
    // 49.7 days after boot the count starts again; an interval across the wrap still
    // measures right in unsigned arithmetic, as the debug log's milliseconds field uses it.
    const DWORD start = win32::TickCountFromMilliseconds(0xFFFFFFF0ull);
    const DWORD later = win32::TickCountFromMilliseconds(0xFFFFFFF0ull + 123456);
    EXPECT_LT(later, start);
    EXPECT_EQ(later - start, 123456u);
    EXPECT_EQ((later - start) % 100000, 23456u);
}

TEST(KernelTickCount, NeverRunsBackwards) {
    DWORD previous = GetTickCount();
    for (int i = 0; i < 1000; ++i) {
        const DWORD now = GetTickCount();
        EXPECT_LT(now - previous, 0x80000000u);  // forwards, wrap included
        previous = now;
    }
}

TEST(KernelLocalTime, AgreesWithTheCLibrary) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    const time_t now = time(NULL);
    struct tm local;
    localtime_r(&now, &local);
    EXPECT_EQ(st.wYear, local.tm_year + 1900);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LT(st.wDayOfWeek, 7);
    EXPECT_LT(st.wMilliseconds, 1000);
    EXPECT_LT(st.wHour, 24);
}

TEST(KernelDebugOutput, GoesWhereTheSettingSaysOneLinePerCall) {
    char templ[] = "/tmp/kerneldebugoutput.XXXXXX";
    const int fd = mkstemp(templ);
    ASSERT_GE(fd, 0);
    close(fd);
    unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
    OutputDebugStringA("discarded");
    setenv("IOCLASSLIB_DEBUG_OUTPUT", templ, 1);
    SetLastError(1234);
    OutputDebugStringA("CVLIProtocol::nSendPacket entered.");
    OutputDebugStringA("ends in newline\n");
    OutputDebugStringA(NULL);
    EXPECT_EQ(GetLastError(), 1234u);  // debugger output leaves the last error alone
    setenv("IOCLASSLIB_DEBUG_OUTPUT", "", 1);
    OutputDebugStringA("discarded too");
    unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
    EXPECT_EQ(testsupport::readTextFile(templ), "CVLIProtocol::nSendPacket entered.\nends in newline\n");
    unlink(templ);

    setenv("IOCLASSLIB_DEBUG_OUTPUT", "stderr", 1);
    testing::internal::CaptureStderr();
    OutputDebugStringA("to stderr");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr\n");
    unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
}

// An errno the table does not know is said once on the debugger output, and still fails
// as the generic error; a known one says nothing.
TEST(KernelDebugOutput, AnUnmappedErrnoIsReportedOnce) {
    char templ[] = "/tmp/kernelerrno.XXXXXX";
    const int fd = mkstemp(templ);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("IOCLASSLIB_DEBUG_OUTPUT", templ, 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(win32::Win32ErrorFromErrno(EKEYREVOKED), (DWORD)ERROR_GEN_FAILURE);
        EXPECT_EQ(win32::Win32ErrorFromErrno(EACCES), (DWORD)ERROR_ACCESS_DENIED);
    }
    unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
    const std::string text = testsupport::readTextFile(templ);
    unlink(templ);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("errno " + std::to_string(EKEYREVOKED) + " (EKEYREVOKED)"), std::string::npos)
        << text;
}

TEST(KernelProcess, KnowsItsIdModuleAndCommandLine) {
    EXPECT_EQ(GetCurrentProcessId(), (DWORD)getpid());
    EXPECT_NE(GetCurrentThreadId(), 0u);
    HMODULE self = GetModuleHandleA(NULL);
    EXPECT_NE(self, nullptr);
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(self, path, sizeof(path));
    ASSERT_GT(n, 0u);
    char expected[MAX_PATH] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof(expected) - 1), 0);
    EXPECT_STREQ(path, expected);
    EXPECT_EQ(GetModuleFileNameA(self, path, 4), 4u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(path, std::string(expected, 3).c_str());
    EXPECT_EQ(GetModuleHandleA("no-such-module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
    // The command line starts with the program as it was started (argv[0]).
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string argv0;
    std::getline(cmdline, argv0, '\0');
    const std::string line = GetCommandLineA();
    EXPECT_EQ(line.compare(0, argv0.size(), argv0), 0) << line;
    EXPECT_EQ(GetCommandLineA(), GetCommandLineA());  // one buffer for the process
}

// A device that completes its reads later, from another thread, as a HID or USBIO backend
// does: the overlapped contract end to end.
class LateDevice : public win32::KernelObject {
public:
    BOOL Read(LPVOID buffer, DWORD count, LPDWORD read, LPOVERLAPPED overlapped) override {
        if (!overlapped) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        pending_ = overlapped;
        buffer_ = static_cast<char*>(buffer);
        count_ = count;
        (void)read;
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    BOOL CancelIo() override {
        if (pending_)
            win32::CompleteOverlapped(pending_, ERROR_OPERATION_ABORTED, 0);
        pending_ = nullptr;
        return TRUE;
    }
    void Complete(const char* data) {
        const DWORD n = (DWORD)strlen(data) < count_ ? (DWORD)strlen(data) : count_;
        memcpy(buffer_, data, n);
        LPOVERLAPPED done = pending_;
        pending_ = nullptr;
        win32::CompleteOverlapped(done, ERROR_SUCCESS, n);
    }

private:
    LPOVERLAPPED pending_ = nullptr;
    char* buffer_ = nullptr;
    DWORD count_ = 0;
};

TEST(KernelOverlapped, APendingRequestCompletesThroughItsEvent) {
    auto device = std::make_shared<LateDevice>();
    HANDLE h = win32::InsertHandle(device);
    ASSERT_NE(h, nullptr);
    HANDLE event = CreateEventA(NULL, TRUE, TRUE, NULL);  // set: the read must reset it
    OVERLAPPED ov = {};
    ov.hEvent = event;
    char buffer[16] = {};
    EXPECT_FALSE(ReadFile(h, buffer, sizeof(buffer), NULL, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    DWORD n = 99;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);

    std::thread completer([&] { device->Complete("report"); });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    completer.join();
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(buffer, n), "report");

    // Cancelled: the request ends with ERROR_OPERATION_ABORTED; a wait without an event
    // returns on the completion itself.
    ov = {};
    EXPECT_FALSE(ReadFile(h, buffer, sizeof(buffer), NULL, &ov));
    std::thread canceller([&] { CancelIo(h); });
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    canceller.join();
    CloseHandle(event);
    CloseHandle(h);
}

bool ClaimsTestDevices(const char* path) { return strncmp(path, "\\\\.\\KernelTestDevice", 20) == 0; }

int g_opens = 0;
win32::DeviceOpenRequest g_lastRequest;

HANDLE OpenTestDevice(const win32::DeviceOpenRequest& request) {
    ++g_opens;
    g_lastRequest = request;
    if (strcmp(request.pszPath, "\\\\.\\KernelTestDevice9") == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return win32::InsertHandle(std::make_shared<LateDevice>());
}

TEST(KernelDeviceNamespace, DevicePathsGoToTheBackendThatClaimsThem) {
    win32::RegisterDeviceNamespace(ClaimsTestDevices, OpenTestDevice);
    win32::RegisterDeviceNamespace(ClaimsTestDevices, OpenTestDevice);  // kept once
    g_opens = 0;
    HANDLE h =
        CreateFileA("\\\\.\\KernelTestDevice0", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_opens, 1);
    EXPECT_EQ(g_lastRequest.dwDesiredAccess, (DWORD)(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(g_lastRequest.dwFlagsAndAttributes, (DWORD)FILE_FLAG_OVERLAPPED);
    CloseHandle(h);
    EXPECT_EQ(CreateFileA("\\\\.\\KernelTestDevice9", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileA("\\\\?\\hid#unclaimed", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(g_opens, 2);
}

TEST(KernelHandles, HandlesAreSmallMultiplesOfFourAndOnlyTheirObjectsAnswer) {
    HANDLE event = CreateEventA(NULL, FALSE, FALSE, NULL);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ((uintptr_t)event % 4, 0u);
    char c;
    DWORD n;
    EXPECT_FALSE(ReadFile(event, &c, 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseSemaphore(event, 1, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForSingleObject(NULL, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(NULL));
    CloseHandle(event);
}

}  // namespace

// Debugger output and a file handle aimed at a FIFO: with no reader, a reader that never
// reads, and one that has gone away. The writer loses text but never waits, and a vanished
// reader fails the write instead of ending the process with SIGPIPE.
TEST(KernelFifoWriters, NeverWaitForAReaderNorDieWithoutOne) {
    char folder[] = "/tmp/kernelfifo.XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/out";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string text(300, 'x');
    enum Reader { None, Stalled, Gone };
    for (Reader reader : {None, Stalled, Gone}) {
        const int fdReader = reader == None ? -1 : open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        HANDLE h = CreateFileA(fifo.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_EQ(h == INVALID_HANDLE_VALUE, reader == None) << reader;
        if (reader == Gone)
            close(fdReader);
        setenv("IOCLASSLIB_DEBUG_OUTPUT", fifo.c_str(), 1);
        int nFailedWrites = 0;
        for (int i = 0; i < 1000; ++i) {  // far more than a pipe holds
            OutputDebugStringA(text.c_str());
            DWORD dwWritten = 0;
            if (h != INVALID_HANDLE_VALUE && !WriteFile(h, text.data(), (DWORD)text.size(), &dwWritten, NULL))
                ++nFailedWrites;
        }
        unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
        if (reader != None) {
            EXPECT_GT(nFailedWrites, 0) << reader;
        }
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (reader == Stalled)
            close(fdReader);
    }
    unlink(fifo.c_str());
    rmdir(folder);
}
