#include "UsbDriverDevice.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The flags a client may care about; the driver's other bits mean nothing to us.
const DWORD kKeptDriverFlags =
    USBIO_INFOFLAG_HIGH_SPEED | USBIO_INFOFLAG_SUPER_SPEED | USBIO_INFOFLAG_VIRTUAL_DEVICE;

}  // namespace

CUsbDriverDevice::CUsbDriverDevice() : m_hDevice(NULL), m_pInterfaceDetail(NULL), m_dwDriverFlags(0) {
    memset(&m_Overlapped, 0, sizeof(m_Overlapped));
    InitializeCriticalSection(&m_csIoctl);
}

CUsbDriverDevice::~CUsbDriverDevice() {
    Close();
    DeleteCriticalSection(&m_csIoctl);
}

HDEVINFO CUsbDriverDevice::CreateDeviceList(const GUID* pInterfaceGuid) {
    HDEVINFO hList = SetupDiGetClassDevsA(pInterfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    return hList == INVALID_HANDLE_VALUE ? NULL : hList;
}

void CUsbDriverDevice::DestroyDeviceList(HDEVINFO hList) {
    if (hList != NULL)
        SetupDiDestroyDeviceInfoList(hList);
}

void CUsbDriverDevice::FreeInterfaceDetail() {
    free(m_pInterfaceDetail);
    m_pInterfaceDetail = NULL;
}

DWORD CUsbDriverDevice::FindInterfacePath(int nDeviceNumber, HDEVINFO hList, const GUID* pInterfaceGuid) {
    if (pInterfaceGuid == NULL)
        return USBIO_ERR_INVALID_FUNCTION_PARAM;
    FreeInterfaceDetail();

    SP_DEVICE_INTERFACE_DATA data;
    memset(&data, 0, sizeof(data));
    data.cbSize = sizeof(data);
    if (!SetupDiEnumDeviceInterfaces(hList, NULL, pInterfaceGuid, (DWORD)nDeviceNumber, &data)) {
        const DWORD dwError = GetLastError();
        return dwError == ERROR_NO_MORE_ITEMS ? USBIO_ERR_NO_SUCH_DEVICE_INSTANCE : dwError;
    }

    // The first call only sizes the detail; its "buffer too small" failure is expected.
    DWORD dwRequired = 0;
    SetupDiGetDeviceInterfaceDetailA(hList, &data, NULL, 0, &dwRequired, NULL);
    if (dwRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        dwRequired = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    m_pInterfaceDetail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)malloc(dwRequired);
    if (m_pInterfaceDetail == NULL)
        return USBIO_ERR_NO_MEMORY;
    memset(m_pInterfaceDetail, 0, dwRequired);
    // The structure's own size, not the allocation's: that is how SetupAPI tells layouts apart.
    m_pInterfaceDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(hList, &data, m_pInterfaceDetail, dwRequired, NULL, NULL))
        return GetLastError();
    return 0;
}

DWORD CUsbDriverDevice::Open(int nDeviceNumber, HDEVINFO hList, const GUID* pInterfaceGuid) {
    if (m_hDevice != NULL)
        return 0;

    char szLegacyName[64];
    LPCSTR pszPath = szLegacyName;
    if (hList == NULL) {
        snprintf(szLegacyName, sizeof(szLegacyName), USBIO_DEVICE_NAME_FORMAT, nDeviceNumber);
    } else {
        const DWORD dwStatus = FindInterfacePath(nDeviceNumber, hList, pInterfaceGuid);
        if (dwStatus != 0)
            return dwStatus;
        pszPath = m_pInterfaceDetail->DevicePath;
    }

    HANDLE hDevice = CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (hDevice == INVALID_HANDLE_VALUE)
        return USBIO_ERR_DEVICE_NOT_FOUND;
    m_hDevice = hDevice;

    m_Overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (m_Overlapped.hEvent == NULL) {
        Close();
        return USBIO_ERR_NO_MEMORY;
    }

    USBIO_DRIVER_INFO info;
    memset(&info, 0, sizeof(info));
    const DWORD dwStatus = GetDriverInfo(&info);
    if (dwStatus != 0) {
        Close();
        return dwStatus;
    }
    if (info.InterfaceVersion != USBIO_INTERFACE_VERSION) {
        Close();
        return USBIO_ERR_VERSION_MISMATCH;
    }
    m_dwDriverFlags = info.Flags & kKeptDriverFlags;
    return 0;
}

void CUsbDriverDevice::Close() {
    if (m_hDevice != NULL) {
        CloseHandle(m_hDevice);
        m_hDevice = NULL;
    }
    if (m_Overlapped.hEvent != NULL) {
        CloseHandle(m_Overlapped.hEvent);
        m_Overlapped.hEvent = NULL;
    }
    FreeInterfaceDetail();
}

DWORD CUsbDriverDevice::IoctlSync(DWORD dwCode, const void* pIn, DWORD dwInSize, void* pOut, DWORD dwOutSize,
                                  DWORD* pdwReturned) {
    if (m_hDevice == NULL) {
        SetLastError(USBIO_ERR_DEVICE_NOT_OPENED);
        return USBIO_ERR_DEVICE_NOT_OPENED;
    }

    EnterCriticalSection(&m_csIoctl);
    DWORD dwReturned = 0;
    DWORD dwStatus = 0;
    // The requests share one OVERLAPPED; the lock keeps a second request off it until the
    // first has completed.
    if (!DeviceIoControl(m_hDevice, dwCode, (LPVOID)pIn, dwInSize, pOut, dwOutSize, &dwReturned,
                         &m_Overlapped)) {
        dwStatus = GetLastError();
        if (dwStatus == ERROR_IO_PENDING)
            dwStatus = GetOverlappedResult(m_hDevice, &m_Overlapped, &dwReturned, TRUE) ? 0 : GetLastError();
    }
    LeaveCriticalSection(&m_csIoctl);

    if (pdwReturned != NULL)
        *pdwReturned = dwReturned;
    // The driver's code, not whatever the last call left, for callers that ask GetLastError.
    if (dwStatus != 0)
        SetLastError(dwStatus);
    return dwStatus;
}

void CUsbDriverDevice::CancelIo() {
    if (m_hDevice != NULL)
        ::CancelIo(m_hDevice);
}

DWORD CUsbDriverDevice::GetDriverInfo(void* pInfo) {
    return IoctlSync(USBIO_IOCTL_GET_DRIVER_INFO, NULL, 0, pInfo, sizeof(USBIO_DRIVER_INFO), NULL);
}

DWORD CUsbDriverDevice::GetDescriptor(void* pBuffer, DWORD* pdwSize, DWORD dwRecipient, BYTE bType,
                                      BYTE bIndex, WORD wLanguageId) {
    USBIO_DESCRIPTOR_REQUEST request;
    memset(&request, 0, sizeof(request));
    request.Recipient = dwRecipient;
    request.DescriptorType = bType;
    request.DescriptorIndex = bIndex;
    request.LanguageId = wLanguageId;
    return IoctlSync(USBIO_IOCTL_GET_DESCRIPTOR, &request, sizeof(request), pBuffer, *pdwSize, pdwSize);
}

DWORD CUsbDriverDevice::GetDeviceDescriptor(void* pDescriptor) {
    DWORD dwSize = USBIO_DEVICE_DESCRIPTOR_SIZE;
    return GetDescriptor(pDescriptor, &dwSize, USBIO_RECIPIENT_DEVICE, USBIO_DESCRIPTOR_TYPE_DEVICE, 0, 0);
}

DWORD CUsbDriverDevice::SetConfiguration(const void* pRequest) {
    return IoctlSync(USBIO_IOCTL_SET_CONFIGURATION, pRequest, sizeof(USBIO_SET_CONFIGURATION), NULL, 0, NULL);
}

DWORD CUsbDriverDevice::GetConfigurationInfo(void* pInfo) {
    memset(pInfo, 0, sizeof(USBIO_CONFIGURATION_INFO));
    return IoctlSync(USBIO_IOCTL_GET_CONFIGURATION_INFO, NULL, 0, pInfo, sizeof(USBIO_CONFIGURATION_INFO),
                     NULL);
}
