// The streaming writer: every free buffer of the pool filled by ProcessBuffer and out as a
// write, completions taken in order, until the hook marks a buffer as the last one and
// everything has gone.
#pragma once

#include "UsbWorkerThread.h"

class CUsbWorkerWriter : public CUsbWorkerThread {
public:
    CUsbWorkerWriter();
    ~CUsbWorkerWriter() override;

    void ThreadRoutine() override;

    // Fills a buffer and sets its m_dwNumberOfBytesToTransfer; *pbLast = TRUE makes it the
    // stream's last (it still goes out unless it is empty).
    virtual void ProcessBuffer(CUsbTransfer* pTransfer, BOOL* pbLast) = 0;
    // Gets every completed write, failed ones included, before the buffer goes back.
    virtual void OnBufferWritten(CUsbTransfer* pTransfer);

protected:
    BOOL PrepareTransfer(CUsbTransfer* pTransfer, BOOL* pbLast) override;
    void OnTransferDone(CUsbTransfer* pTransfer) override;
};
