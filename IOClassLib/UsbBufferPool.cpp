#include "UsbBufferPool.h"

#include <new>

#include "UsbTransfer.h"

CUsbBufferPool::CUsbBufferPool() : m_pHead(NULL), m_lFreeCount(0), m_dwCount(0), m_dwBufferSize(0) {
    InitializeCriticalSection(&m_csPool);
}

CUsbBufferPool::~CUsbBufferPool() {
    Free();
    DeleteCriticalSection(&m_csPool);
}

BOOL CUsbBufferPool::Allocate(DWORD nCount, DWORD dwSize) {
    Free();
    for (DWORD i = 0; i < nCount; ++i) {
        CUsbTransfer* pTransfer = new (std::nothrow) CUsbTransfer(dwSize);
        if (pTransfer == NULL || !pTransfer->IsValid()) {
            delete pTransfer;
            Free();
            return FALSE;
        }
        Put(pTransfer);
    }
    EnterCriticalSection(&m_csPool);
    m_dwCount = nCount;
    m_dwBufferSize = dwSize;
    LeaveCriticalSection(&m_csPool);
    return TRUE;
}

void CUsbBufferPool::Free() {
    EnterCriticalSection(&m_csPool);
    CUsbTransfer* pTransfer = m_pHead;
    m_pHead = NULL;
    InterlockedExchange(&m_lFreeCount, 0);
    m_dwCount = 0;
    m_dwBufferSize = 0;
    LeaveCriticalSection(&m_csPool);
    while (pTransfer != NULL) {
        CUsbTransfer* pNext = pTransfer->m_pNext;
        delete pTransfer;
        pTransfer = pNext;
    }
}

CUsbTransfer* CUsbBufferPool::Get() {
    EnterCriticalSection(&m_csPool);
    CUsbTransfer* pTransfer = m_pHead;
    if (pTransfer != NULL) {
        m_pHead = pTransfer->m_pNext;
        pTransfer->m_pNext = NULL;
        InterlockedDecrement(&m_lFreeCount);
    }
    LeaveCriticalSection(&m_csPool);
    return pTransfer;
}

void CUsbBufferPool::Put(CUsbTransfer* pTransfer) {
    if (pTransfer == NULL)
        return;
    EnterCriticalSection(&m_csPool);
    pTransfer->m_pNext = m_pHead;
    m_pHead = pTransfer;
    InterlockedIncrement(&m_lFreeCount);
    LeaveCriticalSection(&m_csPool);
}
