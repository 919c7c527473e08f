// A USBIO device handle bound to one endpoint, with synchronous reads and writes that give
// up after a time-out. Each pipe is a handle of its own to the device.
#pragma once

#include "UsbDriverDevice.h"

class CUsbDriverPipe : public CUsbDriverDevice {
public:
    CUsbDriverPipe();
    ~CUsbDriverPipe() override;

    // Opens the handle first when it is not open yet; a handle stays bound until closed.
    DWORD Bind(int nDeviceNumber, BYTE bEndpointAddress, HDEVINFO hList, const GUID* pInterfaceGuid);

    // *pdwSize: bytes wanted on entry, bytes moved on return, also after a failure. A
    // transfer still running at the time-out is cancelled and waited for before the call
    // returns USBIO_ERR_TIMEOUT, so the driver is done with pBuffer by then.
    DWORD ReadSync(void* pBuffer, DWORD* pdwSize, DWORD dwTimeout);
    DWORD WriteSync(const void* pBuffer, DWORD* pdwSize, DWORD dwTimeout);
    // Clears a halt (stall) of the bound endpoint, so that its next transfer can go through.
    DWORD ResetPipe();

private:
    DWORD TransferSync(BOOL bRead, void* pBuffer, DWORD* pdwSize, DWORD dwTimeout);
};
