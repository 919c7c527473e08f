#include "UsbWorkerReader.h"

#include <string.h>

#include "UsbTransfer.h"

CUsbWorkerReader::CUsbWorkerReader() {}

CUsbWorkerReader::~CUsbWorkerReader() { ShutdownThread(); }

void CUsbWorkerReader::ProcessBuffer(CUsbTransfer* pTransfer) {
    memset(pTransfer->m_pData, 0, pTransfer->m_dwDataSize);
    pTransfer->m_dwNumberOfBytesToTransfer = pTransfer->m_dwDataSize;
}

void CUsbWorkerReader::ThreadRoutine() {
    CTransferQueue pending;
    DWORD dwErrors = 0;
    while (!IsTerminationRequested()) {
        CUsbTransfer* pTransfer;
        while ((pTransfer = m_BufferPool.Get()) != NULL) {
            pTransfer->Reset(pTransfer->m_dwDataSize);
            ProcessBuffer(pTransfer);
            SubmitTransfer(pTransfer, TRUE);
            pending.PushBack(pTransfer);
        }
        // An empty pool leaves nothing to read with.
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
        ProcessData(pOldest);
        m_BufferPool.Put(pOldest);
        if (dwErrors > m_dwMaxErrorCount)
            break;
    }
    DrainTransfers(pending.Detach());
}
