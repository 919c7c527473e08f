#include "UsbWorkerWriter.h"

#include "UsbTransfer.h"

CUsbWorkerWriter::CUsbWorkerWriter() {}

CUsbWorkerWriter::~CUsbWorkerWriter() { ShutdownThread(); }

void CUsbWorkerWriter::OnBufferWritten(CUsbTransfer*) {}

void CUsbWorkerWriter::ThreadRoutine() { RunTransferLoop(FALSE); }

BOOL CUsbWorkerWriter::PrepareTransfer(CUsbTransfer* pTransfer, BOOL* pbLast) {
    pTransfer->Reset(0);
    ProcessBuffer(pTransfer, pbLast);
    // An empty last buffer ends the stream without a write of its own.
    return pTransfer->m_dwNumberOfBytesToTransfer != 0 || !*pbLast;
}

void CUsbWorkerWriter::OnTransferDone(CUsbTransfer* pTransfer) { OnBufferWritten(pTransfer); }
