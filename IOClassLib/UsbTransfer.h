// One read or write on a USBIO pipe: the request's counts and status, its own completion
// event, and the data it moves, owned or borrowed. The buffer pool links free transfers
// through m_pNext.
#pragma once

#include <windows.h>

class CUsbTransfer {
public:
    // Borrows the caller's memory; the caller keeps it alive while the request is out.
    CUsbTransfer(void* pData, DWORD dwDataSize);
    // Allocates dwDataSize bytes of its own (zeroed); IsValid tells whether that worked.
    explicit CUsbTransfer(DWORD dwDataSize);
    virtual ~CUsbTransfer();

    // The event exists and, for an owning transfer, so does the data.
    BOOL IsValid() const;
    // Makes the transfer ready for one more request: counts and status cleared, event reset.
    void Reset(DWORD dwNumberOfBytesToTransfer);

    DWORD m_dwNumberOfBytesToTransfer;
    DWORD m_dwBytesTransferred;
    DWORD m_dwStatus;
    CUsbTransfer* m_pNext;
    BOOL m_bOperationFinished;
    DWORD m_dwReserved;
    BYTE* m_pData;
    DWORD m_dwDataSize;
    OVERLAPPED m_Overlapped;
    BOOL m_bOwnsData;

private:
    CUsbTransfer(const CUsbTransfer&) = delete;
    CUsbTransfer& operator=(const CUsbTransfer&) = delete;

    void Init(DWORD dwDataSize);
};
