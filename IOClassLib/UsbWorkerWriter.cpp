#include "UsbWorkerWriter.h"

#include "UsbTransfer.h"

CUsbWorkerWriter::CUsbWorkerWriter() {}

CUsbWorkerWriter::~CUsbWorkerWriter() { ShutdownThread(); }

void CUsbWorkerWriter::OnBufferWritten(CUsbTransfer*) {}

void CUsbWorkerWriter::ThreadRoutine() {
    CTransferQueue pending;
    DWORD dwErrors = 0;
    BOOL bLastTaken = FALSE;
    while (!IsTerminationRequested()) {
        CUsbTransfer* pTransfer;
        while (!bLastTaken && (pTransfer = m_BufferPool.Get()) != NULL) {
            pTransfer->Reset(0);
            ProcessBuffer(pTransfer, &bLastTaken);
            if (pTransfer->m_dwNumberOfBytesToTransfer == 0 && bLastTaken) {
                m_BufferPool.Put(pTransfer);
                break;
            }
            SubmitTransfer(pTransfer, FALSE);
            pending.PushBack(pTransfer);
        }
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
        OnBufferWritten(pOldest);
        m_BufferPool.Put(pOldest);
        if (dwErrors > m_dwMaxErrorCount)
            break;
    }
    DrainTransfers(pending.Detach());
}
