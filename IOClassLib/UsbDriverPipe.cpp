#include "UsbDriverPipe.h"

#include <string.h>

#include "UsbTransfer.h"

CUsbDriverPipe::CUsbDriverPipe() {}

CUsbDriverPipe::~CUsbDriverPipe() {}

DWORD CUsbDriverPipe::Bind(int nDeviceNumber, BYTE bEndpointAddress, HDEVINFO hList,
                           const GUID* pInterfaceGuid) {
    if (!IsOpen()) {
        const DWORD dwStatus = Open(nDeviceNumber, hList, pInterfaceGuid);
        if (dwStatus != 0)
            return dwStatus;
    }
    USBIO_BIND_PIPE request;
    memset(&request, 0, sizeof(request));
    request.EndpointAddress = bEndpointAddress;
    return IoctlSync(USBIO_IOCTL_BIND_PIPE, &request, sizeof(request), NULL, 0, NULL);
}

DWORD CUsbDriverPipe::ReadSync(void* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    return TransferSync(TRUE, pBuffer, pdwSize, dwTimeout);
}

DWORD CUsbDriverPipe::WriteSync(const void* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    return TransferSync(FALSE, (void*)pBuffer, pdwSize, dwTimeout);
}

DWORD CUsbDriverPipe::ResetPipe() { return IoctlSync(USBIO_IOCTL_RESET_PIPE, NULL, 0, NULL, 0, NULL); }

DWORD CUsbDriverPipe::TransferSync(BOOL bRead, void* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    if (m_hDevice == NULL) {
        *pdwSize = 0;
        SetLastError(USBIO_ERR_DEVICE_NOT_OPENED);
        return USBIO_ERR_DEVICE_NOT_OPENED;
    }
    CUsbTransfer transfer(pBuffer, *pdwSize);
    if (!transfer.IsValid()) {
        *pdwSize = 0;
        return USBIO_ERR_NO_MEMORY;
    }
    transfer.m_dwNumberOfBytesToTransfer = *pdwSize;

    DWORD dwTransferred = 0;
    const BOOL bDone = bRead ? ReadFile(m_hDevice, transfer.m_pData, transfer.m_dwNumberOfBytesToTransfer,
                                        &dwTransferred, &transfer.m_Overlapped)
                             : WriteFile(m_hDevice, transfer.m_pData, transfer.m_dwNumberOfBytesToTransfer,
                                         &dwTransferred, &transfer.m_Overlapped);
    transfer.m_dwStatus = bDone ? 0 : GetLastError();

    if (transfer.m_dwStatus == ERROR_IO_PENDING) {
        if (WaitForSingleObject(transfer.m_Overlapped.hEvent, dwTimeout) == WAIT_TIMEOUT) {
            transfer.m_dwStatus = USBIO_ERR_TIMEOUT;
        } else {
            transfer.m_dwStatus =
                GetOverlappedResult(m_hDevice, &transfer.m_Overlapped, &dwTransferred, FALSE)
                    ? 0
                    : GetLastError();
        }
        // A wait that failed leaves the request running too. Until the cancelled request has
        // completed, the driver may still write into the caller's buffer and the transfer's
        // OVERLAPPED: wait for it without a limit.
        if (transfer.m_dwStatus == USBIO_ERR_TIMEOUT || transfer.m_dwStatus == ERROR_IO_INCOMPLETE) {
            ::CancelIo(m_hDevice);
            GetOverlappedResult(m_hDevice, &transfer.m_Overlapped, &dwTransferred, TRUE);
        }
    }
    transfer.m_dwBytesTransferred = dwTransferred;
    transfer.m_bOperationFinished = TRUE;

    *pdwSize = transfer.m_dwBytesTransferred;
    // A time-out leaves the cancel's error behind; callers that ask GetLastError get the
    // transfer's own status.
    if (transfer.m_dwStatus != 0)
        SetLastError(transfer.m_dwStatus);
    return transfer.m_dwStatus;
}
