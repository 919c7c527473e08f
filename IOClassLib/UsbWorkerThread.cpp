#include "UsbWorkerThread.h"

#include <process.h>

#include "UsbTransfer.h"

CUsbWorkerThread::CUsbWorkerThread()
    : m_dwMaxErrorCount(USB_WORKER_DEFAULT_MAX_ERRORS),
      m_hThread(NULL),
      m_hTerminateEvent(CreateEventA(NULL, TRUE, FALSE, NULL)),
      m_bTerminate(false),
      m_bThreadEnded(false) {}

CUsbWorkerThread::~CUsbWorkerThread() {
    ShutdownThread();
    if (m_hTerminateEvent != NULL)
        CloseHandle(m_hTerminateEvent);
}

BOOL CUsbWorkerThread::StartThread(DWORD dwMaxErrorCount) {
    if (m_hThread != NULL) {
        if (!m_bThreadEnded)
            return FALSE;
        CloseThread();
    }
    if (m_hTerminateEvent == NULL)
        return FALSE;
    m_dwMaxErrorCount = dwMaxErrorCount;
    m_bTerminate = false;
    m_bThreadEnded = false;
    ResetEvent(m_hTerminateEvent);
    unsigned nThreadId = 0;
    m_hThread = (HANDLE)_beginthreadex(NULL, 0, ThreadEntry, this, 0, &nThreadId);
    return m_hThread != NULL;
}

unsigned __stdcall CUsbWorkerThread::ThreadEntry(void* pParam) {
    CUsbWorkerThread* pThis = (CUsbWorkerThread*)pParam;
    pThis->ThreadRoutine();
    pThis->OnThreadExit();
    pThis->m_bThreadEnded = true;
    return 0;
}

void CUsbWorkerThread::RequestTermination() {
    m_bTerminate = true;
    if (m_hTerminateEvent != NULL)
        SetEvent(m_hTerminateEvent);
}

void CUsbWorkerThread::ShutdownThread() {
    if (m_hThread == NULL)
        return;
    RequestTermination();
    CloseThread();
}

// The handle is closed by whoever waited for the thread, never by the thread itself, so
// that a wait cannot land on a handle already closed or reused.
void CUsbWorkerThread::CloseThread() {
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = NULL;
}

BOOL CUsbWorkerThread::WaitForThread(DWORD dwTimeout) {
    if (m_hThread == NULL)
        return TRUE;
    return WaitForSingleObject(m_hThread, dwTimeout) == WAIT_OBJECT_0;
}

void CUsbWorkerThread::OnThreadExit() {}

DWORD CUsbWorkerThread::AbortPipe() { return IoctlSync(USBIO_IOCTL_ABORT_PIPE, NULL, 0, NULL, 0, NULL); }

void CUsbWorkerThread::SubmitTransfer(CUsbTransfer* pTransfer, BOOL bRead) {
    DWORD dwTransferred = 0;
    const BOOL bDone = bRead
                           ? ReadFile(m_hDevice, pTransfer->m_pData, pTransfer->m_dwNumberOfBytesToTransfer,
                                      &dwTransferred, &pTransfer->m_Overlapped)
                           : WriteFile(m_hDevice, pTransfer->m_pData, pTransfer->m_dwNumberOfBytesToTransfer,
                                       &dwTransferred, &pTransfer->m_Overlapped);
    const DWORD dwStatus = bDone ? 0 : GetLastError();
    // A request that completed at once still completes through GetOverlappedResult; only one
    // the driver refused is finished here.
    if (dwStatus != 0 && dwStatus != ERROR_IO_PENDING) {
        pTransfer->m_dwStatus = dwStatus;
        pTransfer->m_dwBytesTransferred = 0;
        pTransfer->m_bOperationFinished = TRUE;
    }
}

void CUsbWorkerThread::CompleteTransfer(CUsbTransfer* pTransfer, BOOL bWait) {
    DWORD dwTransferred = 0;
    pTransfer->m_dwStatus =
        GetOverlappedResult(m_hDevice, &pTransfer->m_Overlapped, &dwTransferred, bWait) ? 0 : GetLastError();
    pTransfer->m_dwBytesTransferred = dwTransferred;
    pTransfer->m_bOperationFinished = TRUE;
}

BOOL CUsbWorkerThread::WaitForTransfer(CUsbTransfer* pTransfer) {
    if (pTransfer->m_bOperationFinished)
        return TRUE;
    const HANDLE handles[2] = {pTransfer->m_Overlapped.hEvent, m_hTerminateEvent};
    const DWORD dwWait = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    if (dwWait != WAIT_OBJECT_0)
        return FALSE;
    CompleteTransfer(pTransfer, FALSE);
    return TRUE;
}

void CUsbWorkerThread::RunTransferLoop(BOOL bRead) {
    CTransferQueue pending;
    DWORD dwErrors = 0;
    BOOL bLast = FALSE;
    while (!IsTerminationRequested()) {
        CUsbTransfer* pTransfer;
        while (!bLast && (pTransfer = m_BufferPool.Get()) != NULL) {
            if (!PrepareTransfer(pTransfer, &bLast)) {
                m_BufferPool.Put(pTransfer);
                bLast = TRUE;
                break;
            }
            SubmitTransfer(pTransfer, bRead);
            pending.PushBack(pTransfer);
        }
        // Nothing in flight: an empty pool, or the last buffer of the stream has gone.
        CUsbTransfer* pOldest = pending.PopFront();
        if (pOldest == NULL)
            break;
        if (!WaitForTransfer(pOldest)) {
            pOldest->m_pNext = pending.Detach();
            DrainTransfers(pOldest);
            return;
        }
        if (pOldest->m_dwStatus == 0)
            dwErrors = 0;
        else if (pOldest->m_dwStatus != USBIO_ERR_POWER_DOWN)
            ++dwErrors;
        OnTransferDone(pOldest);
        m_BufferPool.Put(pOldest);
        if (dwErrors > m_dwMaxErrorCount)
            break;
    }
    DrainTransfers(pending.Detach());
}

void CUsbWorkerThread::DrainTransfers(CUsbTransfer* pHead) {
    // Issued on this thread, so this thread's cancel reaches them.
    if (pHead != NULL)
        ::CancelIo(m_hDevice);
    while (pHead != NULL) {
        CUsbTransfer* pNext = pHead->m_pNext;
        if (!pHead->m_bOperationFinished)
            CompleteTransfer(pHead, TRUE);
        m_BufferPool.Put(pHead);
        pHead = pNext;
    }
}

void CUsbWorkerThread::CTransferQueue::PushBack(CUsbTransfer* pTransfer) {
    pTransfer->m_pNext = NULL;
    if (m_pTail != NULL)
        m_pTail->m_pNext = pTransfer;
    else
        m_pHead = pTransfer;
    m_pTail = pTransfer;
}

CUsbTransfer* CUsbWorkerThread::CTransferQueue::PopFront() {
    CUsbTransfer* pTransfer = m_pHead;
    if (pTransfer != NULL) {
        m_pHead = pTransfer->m_pNext;
        if (m_pHead == NULL)
            m_pTail = NULL;
        pTransfer->m_pNext = NULL;
    }
    return pTransfer;
}

CUsbTransfer* CUsbWorkerThread::CTransferQueue::Detach() {
    CUsbTransfer* pHead = m_pHead;
    m_pHead = m_pTail = NULL;
    return pHead;
}
