// One open handle to a device served by the USBIO driver: finding it through SetupAPI,
// checking the driver's interface version, and the driver's I/O control requests, each
// completed synchronously over the handle's overlapped I/O.
#pragma once

// setupapi.h needs the Windows types first.
// clang-format off
#include <windows.h>
#include <setupapi.h>
// clang-format on

#include <usbio_api.h>

class CUsbDriverDevice {
public:
    CUsbDriverDevice();
    virtual ~CUsbDriverDevice();

    // The driver's device interfaces present now; NULL when there is no list.
    static HDEVINFO CreateDeviceList(const GUID* pInterfaceGuid);
    static void DestroyDeviceList(HDEVINFO hList);

    // Opens interface nDeviceNumber of hList (or "\\.\USBIO_Device<n>" without a list) and
    // checks the driver's interface version. An object that is already open stays as it is
    // and reports success.
    DWORD Open(int nDeviceNumber, HDEVINFO hList, const GUID* pInterfaceGuid);
    // Safe to call on a closed object and twice.
    void Close();
    BOOL IsOpen() const { return m_hDevice != NULL; }
    HANDLE GetDeviceHandle() const { return m_hDevice; }

    // pInfo: USBIO_DRIVER_INFO (12 bytes).
    DWORD GetDriverInfo(void* pInfo);
    // *pdwSize: the buffer's size on entry, the descriptor's length on return.
    DWORD GetDescriptor(void* pBuffer, DWORD* pdwSize, DWORD dwRecipient, BYTE bType, BYTE bIndex,
                        WORD wLanguageId);
    // pDescriptor: the 18-byte device descriptor.
    DWORD GetDeviceDescriptor(void* pDescriptor);
    // pRequest: USBIO_SET_CONFIGURATION (260 bytes).
    DWORD SetConfiguration(const void* pRequest);
    // pInfo: USBIO_CONFIGURATION_INFO (776 bytes), zeroed first so that every field the
    // driver leaves alone reads 0.
    DWORD GetConfigurationInfo(void* pInfo);

    // The common path of every request. No time-out: the driver answers every request.
    DWORD IoctlSync(DWORD dwCode, const void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                    DWORD* pdwReturned);
    void CancelIo();

    // The speed and virtual-device bits of the driver information seen at open.
    DWORD GetDriverFlags() const { return m_dwDriverFlags; }

protected:
    HANDLE m_hDevice;
    OVERLAPPED m_Overlapped;
    CRITICAL_SECTION m_csIoctl;
    SP_DEVICE_INTERFACE_DETAIL_DATA_A* m_pInterfaceDetail;
    DWORD m_dwDriverFlags;

private:
    CUsbDriverDevice(const CUsbDriverDevice&) = delete;
    CUsbDriverDevice& operator=(const CUsbDriverDevice&) = delete;

    DWORD FindInterfacePath(int nDeviceNumber, HDEVINFO hList, const GUID* pInterfaceGuid);
    void FreeInterfaceDetail();
};
