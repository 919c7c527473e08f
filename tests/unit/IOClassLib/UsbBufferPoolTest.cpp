// The streaming workers' buffer pool and the counting pattern their test pair moves.
#include <UsbBufferPool.h>
#include <UsbDriverStatus.h>
#include <UsbTransfer.h>
#include <UsbWorkerPatternReader.h>
#include <UsbWorkerPatternWriter.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(UsbBufferPool, HandsOutEachTransferOnceAndTakesThemBack) {
    CUsbBufferPool pool;
    EXPECT_EQ(nullptr, pool.Get());
    ASSERT_TRUE(pool.Allocate(4, 64));
    EXPECT_EQ(4, pool.GetFreeCount());
    EXPECT_EQ(64u, pool.GetBufferSize());

    std::set<CUsbTransfer*> taken;
    while (CUsbTransfer* p = pool.Get()) {
        EXPECT_TRUE(p->m_bOwnsData);
        EXPECT_EQ(64u, p->m_dwDataSize);
        EXPECT_NE(nullptr, p->m_Overlapped.hEvent);
        taken.insert(p);
    }
    EXPECT_EQ(4u, taken.size());
    EXPECT_EQ(0, pool.GetFreeCount());
    for (CUsbTransfer* p : taken)
        pool.Put(p);
    EXPECT_EQ(4, pool.GetFreeCount());

    // Filling it again replaces what it held.
    ASSERT_TRUE(pool.Allocate(2, 8));
    EXPECT_EQ(2, pool.GetFreeCount());
    pool.Free();
    EXPECT_EQ(0, pool.GetFreeCount());
    EXPECT_EQ(nullptr, pool.Get());
}

TEST(UsbBufferPool, ThreadsSharingThePoolNeverGetTheSameTransfer) {
    CUsbBufferPool pool;
    ASSERT_TRUE(pool.Allocate(8, 16));
    std::vector<std::thread> threads;
    std::atomic<int> clashes(0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&pool, &clashes] {
            for (int i = 0; i < 2000; ++i) {
                CUsbTransfer* p = pool.Get();
                if (p == nullptr)
                    continue;
                // A second holder would find the mark of the first.
                if (p->m_dwReserved != 0)
                    ++clashes;
                p->m_dwReserved = 1;
                p->m_dwReserved = 0;
                pool.Put(p);
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(0, clashes.load());
    EXPECT_EQ(8, pool.GetFreeCount());
}

TEST(UsbCountingPattern, WriterAndReaderAgreeAndTheReaderCatchesDamage) {
    for (DWORD dwLength : {2u, 3u, 64u, 300u, 4096u}) {
        SCOPED_TRACE(dwLength);
        std::vector<BYTE> data(dwLength);
        CUsbWorkerPatternWriter::FillPattern(data.data(), dwLength);
        EXPECT_EQ(dwLength & 0xFF, data[0]);
        EXPECT_EQ(dwLength >> 8, data[1]);
        EXPECT_TRUE(CUsbWorkerPatternReader::CheckPattern(data.data(), dwLength));
        // A short transfer, a changed byte and a wrong length are all caught.
        EXPECT_FALSE(CUsbWorkerPatternReader::CheckPattern(data.data(), dwLength - 1));
        if (dwLength > 2) {
            data[dwLength - 1] ^= 0x01;
            EXPECT_FALSE(CUsbWorkerPatternReader::CheckPattern(data.data(), dwLength));
        }
    }
    const BYTE wrapped[] = {0x04, 0x01, 0x00};
    EXPECT_FALSE(CUsbWorkerPatternReader::CheckPattern(wrapped, 3));
}

TEST(UsbDriverStatus, EveryCodeHasOneText) {
    int nCount = 0;
    const UsbDriverStatusEntry* pTable = UsbDriverStatusTable(&nCount);
    ASSERT_EQ(65, nCount);
    std::set<DWORD> codes;
    for (int i = 0; i < nCount; ++i) {
        EXPECT_TRUE(codes.insert(pTable[i].dwStatus).second) << std::hex << pTable[i].dwStatus;
        EXPECT_NE(0u, strlen(pTable[i].pszText));
        EXPECT_EQ(pTable[i].pszText, UsbDriverStatusText(pTable[i].dwStatus));
    }
    EXPECT_STREQ("Request timeout interval has expired.", UsbDriverStatusText(USBIO_ERR_TIMEOUT));
    EXPECT_STREQ("API Version does not match.", UsbDriverStatusText(USBIO_ERR_VERSION_MISMATCH));
    EXPECT_EQ(nullptr, UsbDriverStatusText(ERROR_OPERATION_ABORTED));
}

}  // namespace
