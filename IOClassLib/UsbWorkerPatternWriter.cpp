#include "UsbWorkerPatternWriter.h"

#include "UsbTransfer.h"

CUsbWorkerPatternWriter::CUsbWorkerPatternWriter()
    : m_dwBufferCount(0),
      m_dwBytesPerBuffer(0),
      m_dwBuffersFilled(0),
      m_dwBuffersWritten(0),
      m_dwBytesWritten(0),
      m_dwFailedWrites(0) {}

CUsbWorkerPatternWriter::~CUsbWorkerPatternWriter() { ShutdownThread(); }

void CUsbWorkerPatternWriter::SetStream(DWORD dwBufferCount, DWORD dwBytesPerBuffer) {
    m_dwBufferCount = dwBufferCount;
    m_dwBytesPerBuffer = dwBytesPerBuffer;
    m_dwBuffersFilled = 0;
    m_dwBuffersWritten = 0;
    m_dwBytesWritten = 0;
    m_dwFailedWrites = 0;
}

void CUsbWorkerPatternWriter::FillPattern(BYTE* pData, DWORD dwLength) {
    if (dwLength < 2)
        return;
    pData[0] = (BYTE)(dwLength & 0xFF);
    pData[1] = (BYTE)((dwLength >> 8) & 0xFF);
    for (DWORD i = 2; i < dwLength; ++i)
        pData[i] = (BYTE)((i - 2) & 0xFF);
}

void CUsbWorkerPatternWriter::ProcessBuffer(CUsbTransfer* pTransfer, BOOL* pbLast) {
    DWORD dwLength = m_dwBytesPerBuffer == 0 ? pTransfer->m_dwDataSize : m_dwBytesPerBuffer;
    if (dwLength > pTransfer->m_dwDataSize)
        dwLength = pTransfer->m_dwDataSize;
    // The length field holds 16 bits; a pattern buffer never claims more than it can say.
    if (dwLength > 0xFFFF)
        dwLength = 0xFFFF;
    if (dwLength < 2) {
        pTransfer->m_dwNumberOfBytesToTransfer = 0;
        *pbLast = TRUE;
        return;
    }
    FillPattern(pTransfer->m_pData, dwLength);
    pTransfer->m_dwNumberOfBytesToTransfer = dwLength;
    ++m_dwBuffersFilled;
    if (m_dwBufferCount != 0 && m_dwBuffersFilled >= m_dwBufferCount)
        *pbLast = TRUE;
}

void CUsbWorkerPatternWriter::OnBufferWritten(CUsbTransfer* pTransfer) {
    if (pTransfer->m_dwStatus != 0) {
        ++m_dwFailedWrites;
        return;
    }
    ++m_dwBuffersWritten;
    m_dwBytesWritten += pTransfer->m_dwBytesTransferred;
}
