// Reads the counting test pattern of CUsbWorkerPatternWriter and checks every buffer: the
// length at its start must be the count received, and the bytes after it must count up
// from 0.
#pragma once

#include <atomic>

#include "UsbWorkerReader.h"

class CUsbWorkerPatternReader : public CUsbWorkerReader {
public:
    CUsbWorkerPatternReader();
    ~CUsbWorkerPatternReader() override;

    void ProcessData(CUsbTransfer* pTransfer) override;

    // TRUE when the dwLength bytes at pData are one buffer of the pattern.
    static BOOL CheckPattern(const BYTE* pData, DWORD dwLength);

    DWORD GetGoodBuffers() const { return m_dwGoodBuffers; }
    DWORD GetBadBuffers() const { return m_dwBadBuffers; }
    DWORD GetBytesRead() const { return m_dwBytesRead; }
    DWORD GetFailedReads() const { return m_dwFailedReads; }

private:
    std::atomic<DWORD> m_dwGoodBuffers;
    std::atomic<DWORD> m_dwBadBuffers;
    std::atomic<DWORD> m_dwBytesRead;
    std::atomic<DWORD> m_dwFailedReads;
};
