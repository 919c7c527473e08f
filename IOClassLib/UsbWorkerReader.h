// The streaming reader: every free buffer of the pool out as a read, completions taken in
// the order the reads went out and handed to ProcessData, each buffer then read into again.
#pragma once

#include "UsbWorkerThread.h"

class CUsbWorkerReader : public CUsbWorkerThread {
public:
    CUsbWorkerReader();
    ~CUsbWorkerReader() override;

    void ThreadRoutine() override;

    // Prepares a buffer before it goes out: by default zeroed, asking for its whole size.
    virtual void ProcessBuffer(CUsbTransfer* pTransfer);
    // Gets every completed read, failed ones included (their m_dwStatus says so); the
    // buffer goes back to the pool afterwards.
    virtual void ProcessData(CUsbTransfer* pTransfer) = 0;

protected:
    BOOL PrepareTransfer(CUsbTransfer* pTransfer, BOOL* pbLast) override;
    void OnTransferDone(CUsbTransfer* pTransfer) override;
};
