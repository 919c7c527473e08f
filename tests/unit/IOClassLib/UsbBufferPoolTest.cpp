// The streaming workers' buffer pool and the counting pattern their test pair moves.
#include <UsbBufferPool.h>
#include <UsbTransfer.h>
#include <UsbWorkerPatternReader.h>
#include <UsbWorkerPatternWriter.h>

#include <gtest/gtest.h>

#include <set>
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

}  // namespace
