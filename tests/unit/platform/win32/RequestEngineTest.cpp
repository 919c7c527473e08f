// The request engine's contract (internal/request_engine.h), one test per rule, on a
// device whose completions the test drives.
#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <regex>
#include <thread>
#include <vector>

#include "DebugOutputCapture.h"
#include "ScopedEnv.h"
#include "internal/contract.h"
#include "internal/request_engine.h"

namespace {

using win32::IoKind;
using win32::IoRequest;

// How the fake device's backend breaks its contract, if it does.
enum class Fault { kNone, kCompleteTwice, kCompleteInsideSubmit, kCancelTwice };

// Reads stay queued until the test feeds data; writes complete at once. In "lending"
// mode a read is handed to the backend (LentRequest, as a USB transfer is): an abort does
// not take it back at once, a helper thread keeps writing into the buffer for a while, as a
// transfer in flight would, and then gives it back.
class FakeDevice : public win32::QueuedDevice {
public:
    explicit FakeDevice(bool bLending = false, Fault fault = Fault::kNone)
        : QueuedDevice("fake", true), m_bLending(bLending), m_fault(fault) {}
    ~FakeDevice() override {
        for (std::thread& t : m_threads)
            t.join();
    }

    // Completes the oldest read with `data`; false when none is queued.
    bool Feed(const std::vector<BYTE>& data) {
        std::lock_guard<std::mutex> lock(Queue().Mutex());
        IoRequest* read = Queue().OldestLocked(IoKind::Read);
        if (!read)
            return false;
        const DWORD cb = (DWORD)std::min<size_t>(data.size(), read->dwCount);
        memcpy(read->pBuffer, data.data(), cb);
        Queue().CompleteLocked(read, ERROR_SUCCESS, cb);
        if (m_fault == Fault::kCompleteTwice)
            Queue().CompleteLocked(read, ERROR_SUCCESS, cb);
        return true;
    }

    // Lending mode: the backend gives the oldest lent read back, as its own thread would.
    void GiveBack(DWORD dwError) {
        m_transfers.front()->Complete(dwError, 0);
        if (m_fault == Fault::kCompleteTwice)
            m_transfers.front()->Complete(dwError, 0);
    }

    // Lending mode: a cancelled read is given back only once the test lets it go.
    void HoldCancelled(bool bHold) {
        {
            std::lock_guard<std::mutex> lock(m_holdMutex);
            m_bHold = bHold;
        }
        m_holdChanged.notify_all();
    }

    std::atomic<int> closedCalls{0};

protected:
    void StartLocked(IoRequest& request) override {
        if (request.kind == IoKind::Write) {
            Queue().CompleteLocked(&request, ERROR_SUCCESS, request.dwCount);
        } else if (m_bLending) {
            m_transfers.emplace_back(new Transfer(*this));
            m_transfers.back()->LendLocked(request);
        }
    }

    bool AbortLocked(IoRequest& request) override {
        if (!request.bLent)
            return true;
        auto* transfer = static_cast<win32::LentRequest*>(request.pBackendData);
        transfer->CancelLocked();
        if (m_fault == Fault::kCancelTwice)
            transfer->CancelLocked();
        return false;
    }

    void OnClosedLocked() override { ++closedCalls; }

private:
    class Transfer : public win32::LentRequest {
    public:
        explicit Transfer(FakeDevice& device) : LentRequest(device.Queue()), m_device(device) {}

    protected:
        DWORD Submit(IoRequest& request) override {
            m_pBuffer = request.pBuffer;
            m_dwCount = request.dwCount;
            if (m_device.m_fault == Fault::kCompleteInsideSubmit)
                Complete(ERROR_SUCCESS, 0);
            return ERROR_SUCCESS;
        }
        void Cancel() override {
            m_device.m_threads.emplace_back([this] {
                for (int i = 0; i < 20; ++i) {
                    std::lock_guard<std::mutex> lock(m_device.Queue().Mutex());
                    memset(m_pBuffer, 0xA5, m_dwCount);
                    std::this_thread::yield();
                }
                {
                    std::unique_lock<std::mutex> lock(m_device.m_holdMutex);
                    m_device.m_holdChanged.wait(lock, [&] { return !m_device.m_bHold; });
                }
                Complete(ERROR_OPERATION_ABORTED, 0);
            });
        }

    private:
        FakeDevice& m_device;
        void* m_pBuffer = nullptr;
        DWORD m_dwCount = 0;
    };

    const bool m_bLending;
    const Fault m_fault;
    std::mutex m_holdMutex;
    std::condition_variable m_holdChanged;
    bool m_bHold = false;
    std::vector<std::thread> m_threads;
    std::vector<std::unique_ptr<Transfer>> m_transfers;
};

struct OpenDevice {
    std::shared_ptr<FakeDevice> device;
    HANDLE h;
};

OpenDevice Open(bool bLending = false, Fault fault = Fault::kNone) {
    OpenDevice open;
    open.device = std::make_shared<FakeDevice>(bLending, fault);
    open.h = win32::InsertHandle(open.device);
    return open;
}

DWORD ResultOf(HANDLE h, OVERLAPPED* pOverlapped, DWORD* pdwBytes) {
    DWORD dwBytes = 0;
    const BOOL bOk = GetOverlappedResult(h, pOverlapped, &dwBytes, FALSE);
    if (pdwBytes)
        *pdwBytes = dwBytes;
    return bOk ? ERROR_SUCCESS : GetLastError();
}

TEST(RequestEngine, CompletionSignalsTheEventObjectTakenAtSubmissionNotWhatItsHandleNamesLater) {
    OpenDevice dev = Open();
    HANDLE hOld = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = hOld;
    BYTE buffer[8] = {};
    ASSERT_FALSE(ReadFile(dev.h, buffer, sizeof(buffer), NULL, &ov));
    ASSERT_EQ(ERROR_IO_PENDING, GetLastError());

    // Close the event and churn the handle table until a new event gets the old value.
    ASSERT_TRUE(CloseHandle(hOld));
    std::vector<HANDLE> churn;
    HANDLE hReused = NULL;
    for (int i = 0; i < 200 && !hReused; ++i) {
        HANDLE h = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (h == hOld)
            hReused = h;
        else
            churn.push_back(h);
        if (churn.size() > 20) {
            for (HANDLE c : churn)
                CloseHandle(c);
            churn.clear();
        }
    }
    ASSERT_NE(hReused, (HANDLE)NULL) << "the handle table never gave the value back";

    ASSERT_TRUE(dev.device->Feed({1, 2, 3}));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(hReused, 0)) << "a late completion signalled a stranger";
    DWORD dwBytes = 0;
    EXPECT_EQ((DWORD)ERROR_SUCCESS, ResultOf(dev.h, &ov, &dwBytes));
    EXPECT_EQ(3u, dwBytes);
    EXPECT_EQ(2, buffer[1]);

    CloseHandle(hReused);
    for (HANDLE c : churn)
        CloseHandle(c);
    CloseHandle(dev.h);
}

TEST(RequestEngine, CancelIoReturnsOnlyWhenTheBufferAndOverlappedAreFreeToGo) {
    for (bool bLending : {false, true}) {
        SCOPED_TRACE(bLending ? "buffer lent to a transfer" : "buffer kept in the queue");
        OpenDevice dev = Open(bLending);
        HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
        // On the heap and freed right after CancelIo: ASan reports any later touch.
        auto* pOverlapped = new OVERLAPPED();
        pOverlapped->hEvent = hEvent;
        auto* pBuffer = new BYTE[64];
        ASSERT_FALSE(ReadFile(dev.h, pBuffer, 64, NULL, pOverlapped));
        ASSERT_EQ(ERROR_IO_PENDING, GetLastError());

        ASSERT_TRUE(CancelIo(dev.h));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));
        EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, ResultOf(dev.h, pOverlapped, NULL));
        delete pOverlapped;
        delete[] pBuffer;

        // The handle goes on working after a cancel.
        OVERLAPPED ov = {};
        ov.hEvent = hEvent;
        BYTE buffer[4];
        ASSERT_FALSE(ReadFile(dev.h, buffer, sizeof(buffer), NULL, &ov));
        if (!bLending) {
            ASSERT_TRUE(dev.device->Feed({9}));
            EXPECT_EQ((DWORD)ERROR_SUCCESS, ResultOf(dev.h, &ov, NULL));
        } else {
            CancelIo(dev.h);
        }
        CloseHandle(hEvent);
        CloseHandle(dev.h);
    }
}

// IOCLASSLIB_ASYNC_CANCELIO=1: CancelIo returns as Windows' does, before the requests it
// cancelled have completed; they complete later on another thread, a lent one once the
// backend gives it back.
TEST(RequestEngine, CancelIoUnderTheWindowsSettingReturnsBeforeTheRequestsComplete) {
    testsupport::ScopedEnv setting("IOCLASSLIB_ASYNC_CANCELIO", "1");
    for (bool bLending : {false, true}) {
        SCOPED_TRACE(bLending ? "buffer lent to a transfer" : "buffer kept in the queue");
        OpenDevice dev = Open(bLending);
        dev.device->HoldCancelled(true);
        OVERLAPPED ov = {};
        BYTE buffer[8];
        ASSERT_FALSE(ReadFile(dev.h, buffer, sizeof(buffer), NULL, &ov));
        ASSERT_TRUE(CancelIo(dev.h));
        if (bLending)
            EXPECT_FALSE(HasOverlappedIoCompleted(&ov)) << "CancelIo waited for the backend";
        dev.device->HoldCancelled(false);
        DWORD dwRead = 0;
        EXPECT_FALSE(GetOverlappedResult(dev.h, &ov, &dwRead, TRUE));
        EXPECT_EQ((DWORD)ERROR_OPERATION_ABORTED, GetLastError());
        CloseHandle(dev.h);
    }
}

TEST(RequestEngine, CloseHandleAbortsEveryPendingRequestOfThatHandle) {
    OpenDevice dev = Open();
    HANDLE hEvents[2] = {CreateEventA(NULL, TRUE, FALSE, NULL), CreateEventA(NULL, TRUE, FALSE, NULL)};
    OVERLAPPED ov[2] = {};
    BYTE buffer[2][8];
    for (int i = 0; i < 2; ++i) {
        ov[i].hEvent = hEvents[i];
        ASSERT_FALSE(ReadFile(dev.h, buffer[i], 8, NULL, &ov[i]));
    }
    ASSERT_TRUE(CloseHandle(dev.h));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvents[i], 0));
        EXPECT_EQ(ERROR_OPERATION_ABORTED, win32::Win32ErrorFromOverlappedStatus(ov[i].Internal));
        CloseHandle(hEvents[i]);
    }
    EXPECT_EQ(1, dev.device->closedCalls.load());
    DWORD dwRead;
    EXPECT_FALSE(ReadFile(dev.h, buffer[0], 8, &dwRead, NULL));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST(RequestEngine, ALostDeviceFailsEverythingPendingAtOnceAndEveryLaterRequest) {
    OpenDevice dev = Open();
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov[3] = {};
    BYTE buffer[3][8];
    for (auto& o : ov) {
        o.hEvent = hEvent;
        ASSERT_FALSE(ReadFile(dev.h, buffer[&o - ov], 8, NULL, &o));
    }
    dev.device->Disconnect();
    for (auto& o : ov)
        EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, ResultOf(dev.h, &o, NULL));

    OVERLAPPED later = {};
    later.hEvent = hEvent;
    EXPECT_FALSE(ReadFile(dev.h, buffer[0], 8, NULL, &later));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    DWORD dwWritten = 7;
    EXPECT_FALSE(WriteFile(dev.h, buffer[0], 8, &dwWritten, NULL));
    EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, GetLastError());
    EXPECT_EQ(0u, dwWritten);
    CloseHandle(hEvent);
    CloseHandle(dev.h);
}

TEST(RequestEngine, RequestsCompleteInOrderFromAnyThreadAndSynchronousCallsWait) {
    OpenDevice dev = Open();
    // Completed before the call returns: TRUE, and the OVERLAPPED and event say so too.
    HANDLE hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = hEvent;
    DWORD dwWritten = 0;
    BYTE out[5] = {1, 2, 3, 4, 5};
    EXPECT_TRUE(WriteFile(dev.h, out, 5, &dwWritten, &ov));
    EXPECT_EQ(5u, dwWritten);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hEvent, 0));

    // Two reads pending, fed from another thread: the older gets the first data.
    OVERLAPPED first = {}, second = {};
    BYTE a[4] = {}, b[4] = {};
    ASSERT_FALSE(ReadFile(dev.h, a, 4, NULL, &first));
    ASSERT_FALSE(ReadFile(dev.h, b, 4, NULL, &second));
    std::thread feeder([&] {
        dev.device->Feed({0x11});
        dev.device->Feed({0x22});
    });
    DWORD dwBytes = 0;
    EXPECT_TRUE(GetOverlappedResult(dev.h, &first, &dwBytes, TRUE));
    EXPECT_TRUE(GetOverlappedResult(dev.h, &second, &dwBytes, TRUE));
    feeder.join();
    EXPECT_EQ(0x11, a[0]);
    EXPECT_EQ(0x22, b[0]);

    // Without an OVERLAPPED the call waits for the data.
    std::thread late([&] {
        while (!dev.device->Feed({7, 8}))
            std::this_thread::yield();
    });
    DWORD dwRead = 0;
    EXPECT_TRUE(ReadFile(dev.h, a, 4, &dwRead, NULL));
    late.join();
    EXPECT_EQ(2u, dwRead);
    CloseHandle(hEvent);
    CloseHandle(dev.h);
}

// Every submit, completion, cancel and lost device reaches the debugger output, each request
// by its number, so that a field problem can be read from one log.
TEST(RequestEngine, TheTraceNamesEachRequestByItsNumberWithItsOutcome) {
    DebugOutputCapture capture;
    OpenDevice dev = Open();
    OVERLAPPED ov[3] = {};
    BYTE buffer[3][8];
    ASSERT_FALSE(ReadFile(dev.h, buffer[0], 8, NULL, &ov[0]));
    ASSERT_TRUE(dev.device->Feed({1, 2, 3}));
    ASSERT_FALSE(ReadFile(dev.h, buffer[1], 8, NULL, &ov[1]));
    ASSERT_TRUE(CancelIo(dev.h));
    ASSERT_FALSE(ReadFile(dev.h, buffer[2], 8, NULL, &ov[2]));
    dev.device->Disconnect();
    CloseHandle(dev.h);

    const std::string text = capture.Text();
    std::vector<std::string> numbers;
    const std::regex submitted("io #([0-9]+) fake read 8 bytes");
    for (std::sregex_iterator it(text.begin(), text.end(), submitted), end; it != end; ++it)
        numbers.push_back((*it)[1]);
    ASSERT_EQ(3u, numbers.size()) << text;
    for (const std::string& line :
         {"io #" + numbers[0] + " complete status 0 bytes 3\n", "io #" + numbers[1] + " cancel\n",
          "io #" + numbers[1] + " complete status 995 bytes 0\n",
          std::string("fake device gone: 1 requests pending, each fails with 1167\n"),
          "io #" + numbers[2] + " complete status 1167 bytes 0\n"})
        EXPECT_NE(std::string::npos, text.find(line)) << line << " in\n" << text;
}

// A backend that completes a request twice, completes it from inside the call that
// submitted it, or cancels it twice is stopped where the checks are on (debug and sanitizer
// builds); a release build ignores the second completion or cancel and carries out the early
// completion once submit has returned.
TEST(RequestEngineContract, ABackendThatBreaksItStopsTheProgramWhereTheChecksAreOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* name;
        bool bLending;
        Fault fault;
        const char* message;
        DWORD dwResult;
    } cases[] = {
        {"a queued request completed twice", false, Fault::kCompleteTwice, "not pending", ERROR_SUCCESS},
        {"a lent request completed twice", true, Fault::kCompleteTwice, "completed twice", ERROR_SUCCESS},
        {"a lent request completed inside submit", true, Fault::kCompleteInsideSubmit,
         "completed inside the backend's submit", ERROR_SUCCESS},
        {"a lent request cancelled twice", true, Fault::kCancelTwice, "not in flight",
         ERROR_OPERATION_ABORTED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto run = [&] {
            OpenDevice dev = Open(c.bLending, c.fault);
            OVERLAPPED ov = {};
            BYTE buffer[8];
            const BOOL bDone = ReadFile(dev.h, buffer, sizeof(buffer), NULL, &ov);
            if (!bDone && GetLastError() == ERROR_IO_PENDING) {
                if (c.fault == Fault::kCancelTwice)
                    CancelIo(dev.h);
                else if (c.bLending)
                    dev.device->GiveBack(ERROR_SUCCESS);
                else
                    dev.device->Feed({1});
            }
            DWORD dwRead = 0;
            EXPECT_EQ(c.dwResult == ERROR_SUCCESS, GetOverlappedResult(dev.h, &ov, &dwRead, TRUE) != FALSE);
            if (c.dwResult != ERROR_SUCCESS)
                EXPECT_EQ(c.dwResult, GetLastError());
            CloseHandle(dev.h);
        };
        if (win32::kContractChecksStop)
            EXPECT_DEATH(run(), c.message);
        else
            run();
    }
}

}  // namespace
