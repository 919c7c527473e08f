#include "UsbWorkerReader.h"

#include <string.h>

#include "UsbTransfer.h"

CUsbWorkerReader::CUsbWorkerReader() {}

CUsbWorkerReader::~CUsbWorkerReader() { ShutdownThread(); }

void CUsbWorkerReader::ProcessBuffer(CUsbTransfer* pTransfer) {
    memset(pTransfer->m_pData, 0, pTransfer->m_dwDataSize);
    pTransfer->m_dwNumberOfBytesToTransfer = pTransfer->m_dwDataSize;
}

void CUsbWorkerReader::ThreadRoutine() { RunTransferLoop(TRUE); }

BOOL CUsbWorkerReader::PrepareTransfer(CUsbTransfer* pTransfer, BOOL*) {
    pTransfer->Reset(pTransfer->m_dwDataSize);
    ProcessBuffer(pTransfer);
    return TRUE;
}

void CUsbWorkerReader::OnTransferDone(CUsbTransfer* pTransfer) { ProcessData(pTransfer); }
