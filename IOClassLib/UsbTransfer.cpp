#include "UsbTransfer.h"

#include <string.h>

#include <new>

CUsbTransfer::CUsbTransfer(void* pData, DWORD dwDataSize) {
    Init(dwDataSize);
    m_pData = (BYTE*)pData;
    m_bOwnsData = FALSE;
}

CUsbTransfer::CUsbTransfer(DWORD dwDataSize) {
    Init(dwDataSize);
    m_pData = new (std::nothrow) BYTE[dwDataSize > 0 ? dwDataSize : 1];
    if (m_pData != NULL)
        memset(m_pData, 0, dwDataSize);
    m_bOwnsData = TRUE;
}

void CUsbTransfer::Init(DWORD dwDataSize) {
    m_dwNumberOfBytesToTransfer = 0;
    m_dwBytesTransferred = 0;
    m_dwStatus = 0;
    m_pNext = NULL;
    m_bOperationFinished = FALSE;
    m_dwReserved = 0;
    m_pData = NULL;
    m_dwDataSize = dwDataSize;
    memset(&m_Overlapped, 0, sizeof(m_Overlapped));
    m_Overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    m_bOwnsData = FALSE;
}

CUsbTransfer::~CUsbTransfer() {
    if (m_Overlapped.hEvent != NULL)
        CloseHandle(m_Overlapped.hEvent);
    if (m_bOwnsData)
        delete[] m_pData;
}

BOOL CUsbTransfer::IsValid() const {
    return m_Overlapped.hEvent != NULL && (m_pData != NULL || !m_bOwnsData);
}

void CUsbTransfer::Reset(DWORD dwNumberOfBytesToTransfer) {
    HANDLE hEvent = m_Overlapped.hEvent;
    memset(&m_Overlapped, 0, sizeof(m_Overlapped));
    m_Overlapped.hEvent = hEvent;
    if (hEvent != NULL)
        ResetEvent(hEvent);
    m_dwNumberOfBytesToTransfer = dwNumberOfBytesToTransfer;
    m_dwBytesTransferred = 0;
    m_dwStatus = 0;
    m_bOperationFinished = FALSE;
}
