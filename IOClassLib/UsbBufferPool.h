// A pool of equally sized transfers that the streaming workers take from and give back,
// so that a stream runs without allocating. Safe to use from several threads.
#pragma once

#include <windows.h>

class CUsbTransfer;

class CUsbBufferPool {
public:
    CUsbBufferPool();
    ~CUsbBufferPool();

    // Fills the pool with nCount transfers of dwSize bytes each, after freeing what it held.
    // All or nothing: on failure the pool is left empty and the result is FALSE.
    BOOL Allocate(DWORD nCount, DWORD dwSize);
    // Deletes every transfer in the pool; transfers taken out and not given back are the
    // taker's to return first.
    void Free();

    // A free transfer, or NULL when none is left.
    CUsbTransfer* Get();
    void Put(CUsbTransfer* pTransfer);

    LONG GetFreeCount() const { return m_lFreeCount; }
    // Transfers the pool was filled with, free or not.
    DWORD GetCount() const { return m_dwCount; }
    DWORD GetBufferSize() const { return m_dwBufferSize; }

private:
    CUsbBufferPool(const CUsbBufferPool&) = delete;
    CUsbBufferPool& operator=(const CUsbBufferPool&) = delete;

    CRITICAL_SECTION m_csPool;
    CUsbTransfer* m_pHead;
    volatile LONG m_lFreeCount;
    DWORD m_dwCount;
    DWORD m_dwBufferSize;
};
