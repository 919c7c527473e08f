#include "UsbWorkerPatternReader.h"

#include "UsbTransfer.h"

CUsbWorkerPatternReader::CUsbWorkerPatternReader()
    : m_dwGoodBuffers(0), m_dwBadBuffers(0), m_dwBytesRead(0), m_dwFailedReads(0) {}

CUsbWorkerPatternReader::~CUsbWorkerPatternReader() { ShutdownThread(); }

BOOL CUsbWorkerPatternReader::CheckPattern(const BYTE* pData, DWORD dwLength) {
    if (dwLength < 2)
        return FALSE;
    if ((DWORD)pData[0] + 256u * (DWORD)pData[1] != dwLength)
        return FALSE;
    for (DWORD i = 2; i < dwLength; ++i) {
        if (pData[i] != (BYTE)((i - 2) & 0xFF))
            return FALSE;
    }
    return TRUE;
}

void CUsbWorkerPatternReader::ProcessData(CUsbTransfer* pTransfer) {
    if (pTransfer->m_dwStatus != 0) {
        ++m_dwFailedReads;
        return;
    }
    // The zero-length packet that ends a transfer of whole packets carries no buffer.
    if (pTransfer->m_dwBytesTransferred == 0)
        return;
    m_dwBytesRead += pTransfer->m_dwBytesTransferred;
    if (CheckPattern(pTransfer->m_pData, pTransfer->m_dwBytesTransferred))
        ++m_dwGoodBuffers;
    else
        ++m_dwBadBuffers;
}
