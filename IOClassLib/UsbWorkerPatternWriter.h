// Writes the counting test pattern: each buffer starts with its own length (2 bytes, low
// byte first), and the bytes after it count up from 0, wrapping at 256. The matching
// reader checks the same pattern at the other end.
#pragma once

#include <atomic>

#include "UsbWorkerWriter.h"

class CUsbWorkerPatternWriter : public CUsbWorkerWriter {
public:
    CUsbWorkerPatternWriter();
    ~CUsbWorkerPatternWriter() override;

    // dwBufferCount buffers (0: until stopped) of dwBytesPerBuffer bytes each (0: the pool's
    // buffer size; at least the 2 length bytes, at most the buffer size). Set before starting.
    void SetStream(DWORD dwBufferCount, DWORD dwBytesPerBuffer);

    void ProcessBuffer(CUsbTransfer* pTransfer, BOOL* pbLast) override;
    void OnBufferWritten(CUsbTransfer* pTransfer) override;

    DWORD GetBuffersWritten() const { return m_dwBuffersWritten; }
    DWORD GetBytesWritten() const { return m_dwBytesWritten; }
    DWORD GetFailedWrites() const { return m_dwFailedWrites; }

    // Lays the pattern of dwLength bytes into pData.
    static void FillPattern(BYTE* pData, DWORD dwLength);

private:
    DWORD m_dwBufferCount;
    DWORD m_dwBytesPerBuffer;
    DWORD m_dwBuffersFilled;
    std::atomic<DWORD> m_dwBuffersWritten;
    std::atomic<DWORD> m_dwBytesWritten;
    std::atomic<DWORD> m_dwFailedWrites;
};
