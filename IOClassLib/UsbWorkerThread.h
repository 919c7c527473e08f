// A pipe that streams on a thread of its own: a pool of transfers kept in flight, the
// oldest waited for first, so that the endpoint always has requests queued. The reader and
// writer variants choose the direction and what a buffer carries; a client derives from one
// of them and supplies the data hooks. The pipe must be bound and the pool filled before the
// thread starts.
#pragma once

#include <atomic>

#include "UsbBufferPool.h"
#include "UsbDriverPipe.h"

class CUsbTransfer;

#define USB_WORKER_DEFAULT_MAX_ERRORS 3

class CUsbWorkerThread : public CUsbDriverPipe {
public:
    CUsbWorkerThread();
    // A derived class stops the thread in its own destructor, before its hooks are gone.
    ~CUsbWorkerThread() override;

    // Starts the loop; it ends by itself once more than dwMaxErrorCount transfers in a row
    // have failed. FALSE when a thread is already running or cannot be created.
    virtual BOOL StartThread(DWORD dwMaxErrorCount = USB_WORKER_DEFAULT_MAX_ERRORS);
    // Asks the loop to stop and waits until the thread has ended; the transfers still out
    // are cancelled and back in the pool by then.
    virtual void ShutdownThread();
    // Asks the loop to stop and returns at once.
    virtual void RequestTermination();
    virtual void ThreadRoutine() = 0;
    // Runs on the worker thread after the loop.
    virtual void OnThreadExit();
    // Aborts every transfer pending on the pipe, whichever thread issued it.
    virtual DWORD AbortPipe();

    // Waits up to dwTimeout for the loop to end by itself; TRUE when it has (or none ran).
    BOOL WaitForThread(DWORD dwTimeout);
    BOOL IsThreadRunning() const { return m_hThread != NULL && !m_bThreadEnded; }

    // Fills the pool with nCount transfers of dwSize bytes: the number of requests that
    // will be in flight and the size of each.
    BOOL AllocateBuffers(DWORD nCount, DWORD dwSize) { return m_BufferPool.Allocate(nCount, dwSize); }
    CUsbBufferPool& GetBufferPool() { return m_BufferPool; }

protected:
    // First-in first-out list of the transfers in flight, linked through their m_pNext.
    class CTransferQueue {
    public:
        CTransferQueue() : m_pHead(NULL), m_pTail(NULL) {}
        void PushBack(CUsbTransfer* pTransfer);
        CUsbTransfer* PopFront();
        // Hands the whole list over (for DrainTransfers) and leaves the queue empty.
        CUsbTransfer* Detach();
        BOOL IsEmpty() const { return m_pHead == NULL; }

    private:
        CUsbTransfer* m_pHead;
        CUsbTransfer* m_pTail;
    };

    BOOL IsTerminationRequested() const { return m_bTerminate; }
    // The streaming loop of both directions: every free buffer of the pool out as a transfer,
    // completions taken oldest first, until termination is asked for, more than
    // m_dwMaxErrorCount transfers in a row have failed or nothing is left in flight.
    void RunTransferLoop(BOOL bRead);
    // Readies a buffer taken from the pool. *pbLast = TRUE takes no buffer after this one;
    // FALSE gives this one back unsent and takes no more.
    virtual BOOL PrepareTransfer(CUsbTransfer* pTransfer, BOOL* pbLast) = 0;
    // Gets every completed transfer, failed ones included, before its buffer goes back.
    virtual void OnTransferDone(CUsbTransfer* pTransfer) = 0;
    // Issues the transfer; one that fails at once is marked finished with its status.
    void SubmitTransfer(CUsbTransfer* pTransfer, BOOL bRead);
    // Waits without a time-out until the transfer has completed and fills in its count and
    // status. FALSE when termination was requested first (the transfer is still out).
    BOOL WaitForTransfer(CUsbTransfer* pTransfer);
    // Cancels what is still out, waits for each transfer in the list and gives it back to
    // the pool.
    void DrainTransfers(CUsbTransfer* pHead);

    CUsbBufferPool m_BufferPool;
    DWORD m_dwMaxErrorCount;

private:
    static unsigned __stdcall ThreadEntry(void* pParam);
    void CloseThread();
    void CompleteTransfer(CUsbTransfer* pTransfer, BOOL bWait);

    HANDLE m_hThread;
    HANDLE m_hTerminateEvent;
    std::atomic<bool> m_bTerminate;
    std::atomic<bool> m_bThreadEnded;
};
