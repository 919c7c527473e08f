// The HID device access operations of CCOMHIDUSBPort: C-style functions over the context
// record, which find the terminal among the present HID interfaces, open it for
// overlapped I/O, and close it again.
#include "COMHIDUSBPort.h"
#include "HidReports.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

namespace {

const char kDeviceClosedEventFormat[] = "OPOS.CCOMHIDUSBPort.deviceClosedEvent.%s";
const char kRecvEventFormat[] = "OPOS.CCOMHIDUSBPort.recvEvent.%s";
const char kSendEventFormat[] = "OPOS.CCOMHIDUSBPort.sendEvent.%s";

// Input reports the HID class driver keeps for the handle, the most it allows. It keeps 32
// unless asked and drops the oldest beyond that: a reply of more reports than that, at one
// per millisecond, is lost in part when this thread waits longer than a time slice for the
// processor.
const ULONG kInputBuffers = 512;

// Named objects are shared by every port that forms the same name; the name is compared
// in lower case so that two spellings of one device name meet.
HANDLE CreateNamedEvent(LPCSTR pszFormat, const CString& csDeviceName) {
    CString csName;
    csName.Format(pszFormat, (LPCSTR)csDeviceName);
    csName.MakeLower();
    return CreateEventA(NULL, TRUE, FALSE, csName);
}

BOOL IsOpenHandle(HANDLE h) { return h != NULL && h != INVALID_HANDLE_VALUE; }

void CloseAndClear(HANDLE* ph) {
    if (IsOpenHandle(*ph))
        CloseHandle(*ph);
    *ph = NULL;
}

// The strings for the debug stream, as narrow text: the stream's wide conversion would
// take the C library's wchar_t, which need not be WCHAR.
CString NarrowText(const WCHAR* pwszText, size_t nMax) {
    CString csText;
    for (size_t i = 0; i < nMax && pwszText[i] != 0; ++i)
        csText += (char)(pwszText[i] < 0x80 ? pwszText[i] : '?');
    return csText;
}

BOOL ReportLengthUsable(USHORT wLength) {
    return wLength >= HID_MIN_REPORT_LENGTH && wLength <= HID_MAX_REPORT_LENGTH;
}

}  // namespace

DWORD CCOMHIDUSBPort::ComUsbResult(ComUsbContext* pCtx, DWORD dwResult) {
    pCtx->nLastError = (LONG)dwResult;
    pCtx->dwLastSystemError = dwResult;
    return dwResult;
}

DWORD CCOMHIDUSBPort::ComUsbSystemFailure(ComUsbContext* pCtx) {
    pCtx->dwLastSystemError = GetLastError();
    pCtx->nLastError = -1;
    return COMUSB_SYSTEM_FAILURE;
}

DWORD CCOMHIDUSBPort::ComUsbCheck(ComUsbContext* pCtx) {
    if (pCtx == NULL)
        return COMUSB_INVALID_ARGUMENT;
    if (pCtx->dwMagic != COMUSB_CONTEXT_MAGIC)
        return ComUsbResult(pCtx, COMUSB_NOT_INITIALISED);
    return COMUSB_SUCCESS;
}

void CCOMHIDUSBPort::ComUsbDebugPrint(ComUsbContext* pCtx, LPCSTR pszFormat, ...) {
    if (pCtx == NULL || pCtx->pLogFile == NULL || pszFormat == NULL)
        return;
    fprintf(pCtx->pLogFile, "[%08i] ", (int)((long long)clock() * 1000 / CLOCKS_PER_SEC));
    va_list args;
    va_start(args, pszFormat);
    vfprintf(pCtx->pLogFile, pszFormat, args);
    va_end(args);
}

void CCOMHIDUSBPort::ComUsbPrintSystemError(ComUsbContext* pCtx, DWORD dwCode) {
    LPSTR pszMessage = NULL;
    DWORD dwLength = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL,
        dwCode, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&pszMessage, 0, NULL);
    if (dwLength != 0 && pszMessage != NULL)
        ComUsbDebugPrint(pCtx, "ERROR 0x%08X: %s\n", (unsigned int)dwCode, pszMessage);
    if (pszMessage != NULL)
        LocalFree(pszMessage);
}

DWORD CCOMHIDUSBPort::ComUsbInitialize(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts) {
    return ComUsbInitializeDebug(pCtx, pTimeouts, NULL);
}

DWORD CCOMHIDUSBPort::ComUsbInitializeDebug(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts, FILE* pLogFile) {
    if (pCtx == NULL)
        return COMUSB_INVALID_ARGUMENT;
    if (pTimeouts == NULL)
        return ComUsbResult(pCtx, COMUSB_INVALID_ARGUMENT);
    if (pLogFile != NULL)
        fprintf(pLogFile, "ComUsbInitialize Called with debug output enabled\n");

    memset(pCtx, 0, sizeof(*pCtx));
    pCtx->dwMagic = COMUSB_CONTEXT_MAGIC;
    pCtx->hDevice = INVALID_HANDLE_VALUE;
    // The stream is known from here on, so that the failures below can be printed.
    pCtx->pLogFile = pLogFile;

    pCtx->hDeviceClosedEvent = CreateNamedEvent(kDeviceClosedEventFormat, m_csDeviceName);
    if (pCtx->hDeviceClosedEvent == NULL) {
        ComUsbDebugPrint(pCtx, "[ComUsbInitializeDebug] Error creating device closed event: null pointer\n");
        return ComUsbSystemFailure(pCtx);
    }
    pCtx->hRecvEvent = CreateNamedEvent(kRecvEventFormat, m_csDeviceName);
    if (pCtx->hRecvEvent == NULL) {
        ComUsbDebugPrint(pCtx, "[ComUsbInitializeDebug] Error creating Recv event: null pointer\n");
        return ComUsbSystemFailure(pCtx);
    }
    pCtx->hSendEvent = CreateNamedEvent(kSendEventFormat, m_csDeviceName);
    if (pCtx->hSendEvent == NULL) {
        ComUsbDebugPrint(pCtx, "[ComUsbInitializeDebug] Error creating Send event: null pointer\n");
        return ComUsbSystemFailure(pCtx);
    }

    CopyCommTimeouts(&pCtx->Timeouts, pTimeouts);
    pCtx->msgBlock = NULL;
    pCtx->pLogFile = NULL;
    ComUsbRegisterLogFile(pCtx, pLogFile);
    if (pLogFile != NULL)
        fprintf(pLogFile, "ComUsbInitialize returning successfully\n");
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbRegisterLogFile(ComUsbContext* pCtx, FILE* pLogFile) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    if (pLogFile == NULL)
        return ComUsbResult(pCtx, COMUSB_INVALID_ARGUMENT);
    fprintf(pLogFile, "Registered log file output\n");
    pCtx->pLogFile = pLogFile;
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbAddDeviceId(ComUsbContext* pCtx, WORD wVendorId, WORD wProductId) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    if (pCtx->nDeviceIds >= COMUSB_MAX_DEVICE_IDS)
        return ComUsbResult(pCtx, COMUSB_TOO_MANY_IDS);
    pCtx->wVendorIds[pCtx->nDeviceIds] = wVendorId;
    pCtx->wProductIds[pCtx->nDeviceIds] = wProductId;
    pCtx->nDeviceIds++;
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbConnect(ComUsbContext* pCtx) {
    OutputDebugStringA("CCOMHIDUSBPort::ComUsbConnect entered");
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    if (pCtx->bConnected == 1)
        return ComUsbResult(pCtx, COMUSB_ALREADY_CONNECTED);
    if (pCtx->nDeviceIds == 0)
        return ComUsbResult(pCtx, COMUSB_NO_DEVICE_IDS);

    ResetEvent(pCtx->hDeviceClosedEvent);
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);

    if (m_hDevInfo == NULL) {
        HDEVINFO hDevInfo = SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (hDevInfo == INVALID_HANDLE_VALUE) {
            DWORD dwError = GetLastError();
            m_hDevInfo = NULL;
            ComUsbDebugPrint(pCtx, "[ComUsbConnect] SetupDigetClassDevs failed (%u).\n",
                             (unsigned int)dwError);
            SetLastError(dwError);
            return ComUsbSystemFailure(pCtx);
        }
        m_hDevInfo = hDevInfo;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData;
    memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    SP_DEVINFO_DATA devInfoData;
    memset(&devInfoData, 0, sizeof(devInfoData));
    devInfoData.cbSize = sizeof(SP_DEVINFO_DATA);

    HANDLE hDevice = INVALID_HANDLE_VALUE;
    std::vector<BYTE> detailBuffer;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        if (!SetupDiEnumDeviceInterfaces(m_hDevInfo, NULL, &hidGuid, dwIndex, &interfaceData)) {
            DWORD dwError = GetLastError();
            if (dwIndex == 0) {
                if (dwError == ERROR_NO_MORE_ITEMS)
                    ComUsbDebugPrint(pCtx, "[ComUsbConnect] No USB HID devices found.\n");
                else
                    ComUsbDebugPrint(pCtx,
                                     "[ComUsbConnect] SetupDiEnumDeviceInterfaces returned error (%u).\n",
                                     (unsigned int)dwError);
            }
            OutputDebugStringA("CCOMHIDUSBPort::ComUsbConnect exiting");
            // A list without the terminal would keep every later connect from finding it
            // once it is plugged in: the next connect lists the devices afresh.
            SetupDiDestroyDeviceInfoList(m_hDevInfo);
            m_hDevInfo = NULL;
            SetLastError(dwError);
            return ComUsbSystemFailure(pCtx);
        }

        DWORD dwRequired = 0;
        SetupDiGetDeviceInterfaceDetailA(m_hDevInfo, &interfaceData, NULL, 0, &dwRequired, NULL);
        if (dwRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        detailBuffer.assign(dwRequired, 0);
        SP_DEVICE_INTERFACE_DETAIL_DATA_A* pDetail = (SP_DEVICE_INTERFACE_DETAIL_DATA_A*)detailBuffer.data();
        // The size of the record's fixed part, as this build lays it out.
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(m_hDevInfo, &interfaceData, pDetail, dwRequired, NULL,
                                              &devInfoData))
            continue;
        // Only the bytes the call filled count: a path without its terminator is cut here.
        detailBuffer.back() = 0;
        LPCSTR pszPath = pDetail->DevicePath;

        ComUsbDebugPrint(pCtx, "[ComUsbConnect] Found a USB device... (%s)", pszPath);
        OutputDebugStringA("Trying to open the following devie:");
        OutputDebugStringA(pszPath);

        // A path that does not fit szDevicePath would name another device once cut.
        if (strlen(pszPath) >= sizeof(pCtx->szDevicePath)) {
            ComUsbDebugPrint(pCtx, "[ComUsbConnect] Device path too long, skipped\n");
            continue;
        }

        hDevice = CreateFileA(pszPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        if (hDevice == INVALID_HANDLE_VALUE) {
            OutputDebugStringA("Device open failure.");
            ComUsbDebugPrint(pCtx, "[ComUsbConnect] But could not open\n");
            continue;
        }
        OutputDebugStringA("Device open successful.");

        memset(pCtx->wszManufacturer, 0, sizeof(pCtx->wszManufacturer));
        memset(pCtx->wszProduct, 0, sizeof(pCtx->wszProduct));
        memset(pCtx->wszSerialNumber, 0, sizeof(pCtx->wszSerialNumber));
        HidD_GetManufacturerString(hDevice, pCtx->wszManufacturer, sizeof(pCtx->wszManufacturer));
        HidD_GetProductString(hDevice, pCtx->wszProduct, sizeof(pCtx->wszProduct));
        HidD_GetSerialNumberString(hDevice, pCtx->wszSerialNumber, sizeof(pCtx->wszSerialNumber));
        // The getters do not promise a terminator when the text fills the field.
        pCtx->wszManufacturer[63] = 0;
        pCtx->wszProduct[63] = 0;
        pCtx->wszSerialNumber[63] = 0;
        memset(&pCtx->Attributes, 0, sizeof(pCtx->Attributes));
        pCtx->Attributes.Size = sizeof(HIDD_ATTRIBUTES);
        HidD_GetAttributes(hDevice, &pCtx->Attributes);
        memset(&pCtx->Caps, 0, sizeof(pCtx->Caps));
        PHIDP_PREPARSED_DATA pPreparsed = NULL;
        if (HidD_GetPreparsedData(hDevice, &pPreparsed)) {
            HidP_GetCaps(pPreparsed, &pCtx->Caps);
            HidD_FreePreparsedData(pPreparsed);
        }
        ComUsbDebugPrint(pCtx, "[ComUsbConnect] Opened: '%s/%s'\n",
                         (LPCSTR)NarrowText(pCtx->wszManufacturer, 64),
                         (LPCSTR)NarrowText(pCtx->wszProduct, 64));

        BOOL bAccepted = FALSE;
        for (WORD i = 0; i < pCtx->nDeviceIds && i < COMUSB_MAX_DEVICE_IDS; ++i) {
            if (pCtx->Attributes.VendorID == pCtx->wVendorIds[i] &&
                pCtx->Attributes.ProductID == pCtx->wProductIds[i]) {
                bAccepted = TRUE;
                break;
            }
        }
        // A report length outside the format would make the write loop run without
        // progress or a count byte that cannot hold the payload: such a device is passed
        // over like one with foreign IDs.
        if (bAccepted && !(ReportLengthUsable(pCtx->Caps.InputReportByteLength) &&
                           ReportLengthUsable(pCtx->Caps.OutputReportByteLength))) {
            ComUsbDebugPrint(pCtx, "[ComUsbConnect] Report lengths %u/%u not usable, skipped\n",
                             (unsigned int)pCtx->Caps.InputReportByteLength,
                             (unsigned int)pCtx->Caps.OutputReportByteLength);
            bAccepted = FALSE;
        }
        if (bAccepted)
            break;
        CloseHandle(hDevice);
        hDevice = INVALID_HANDLE_VALUE;
    }

    OutputDebugStringA("Found the device we want.");
    // Refused: the default stays, which serves replies that arrive no faster than they are read.
    if (!HidD_SetNumInputBuffers(hDevice, kInputBuffers))
        ComUsbDebugPrint(pCtx, "[ComUsbConnect] HidD_SetNumInputBuffers failed (%u).\n",
                         (unsigned int)GetLastError());
    memcpy(&m_DevInterfaceData, &interfaceData, sizeof(m_DevInterfaceData));
    memcpy(&m_DevInfoData, &devInfoData, sizeof(m_DevInfoData));
    pCtx->bConnected = 1;
    pCtx->hDevice = hDevice;
    m_wInputPacketSize = pCtx->Caps.InputReportByteLength;
    m_wOutputPacketSize = pCtx->Caps.OutputReportByteLength;
    const SP_DEVICE_INTERFACE_DETAIL_DATA_A* pDetail =
        (const SP_DEVICE_INTERFACE_DETAIL_DATA_A*)detailBuffer.data();
    strcpy(pCtx->szDevicePath, pDetail->DevicePath);
    detailBuffer.clear();

    char szText[64];
    memset(szText, 0, sizeof(szText));
    snprintf(szText, sizeof(szText), "m_USBCtx.hDevice: %d", (int)(INT_PTR)pCtx->hDevice);
    OutputDebugStringA(szText);

    if (!SetCommTimeouts(pCtx->hDevice, &pCtx->Timeouts)) {
        // A HID handle serves no comm functions; the device stays open and connected, and
        // the port goes by bConnected.
        DWORD dwError = GetLastError();
        memset(szText, 0, sizeof(szText));
        snprintf(szText, sizeof(szText), "SetCommTimeouts error with code: %d", (int)dwError);
        OutputDebugStringA(szText);
        ComUsbDebugPrint(pCtx, "[ComUsbConnect] ERROR during Setting Comm Timeouts!\n");
        ComUsbPrintSystemError(pCtx, dwError);
        SetLastError(dwError);
        return ComUsbSystemFailure(pCtx);
    }
    OutputDebugStringA("SetCommTimeouts successful. continue...");

    const USHORT wBlockSize = pCtx->Caps.InputReportByteLength > pCtx->Caps.OutputReportByteLength
                                  ? pCtx->Caps.InputReportByteLength
                                  : pCtx->Caps.OutputReportByteLength;
    BYTE* pBlock = (BYTE*)realloc(pCtx->msgBlock, wBlockSize);
    if (pBlock == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return ComUsbSystemFailure(pCtx);
    }
    pCtx->msgBlock = pBlock;
    ComUsbDebugPrint(pCtx, "[ComUsbConnect] Allocated msgBlock @ 0x%08X of size %i\n",
                     (unsigned int)(UINT_PTR)pCtx->msgBlock, (int)wBlockSize);
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbClose(ComUsbContext* pCtx) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    ComUsbDebugPrint(pCtx, "[ComUsbClose] Called\n");
    if (IsOpenHandle(pCtx->hDevice)) {
        CancelIo(pCtx->hDevice);
        CloseHandle(pCtx->hDevice);
        pCtx->hDevice = NULL;
    }
    CloseAndClear(&pCtx->hSendThread);
    CloseAndClear(&pCtx->hRecvThread);
    CloseAndClear(&pCtx->hDeviceClosedEvent);
    ComUsbDebugPrint(pCtx, "[ComUsbClose] Finished...\n");
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbUninitialize(ComUsbContext* pCtx) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    ComUsbClose(pCtx);
    free(pCtx->msgBlock);
    pCtx->msgBlock = NULL;
    CloseAndClear(&pCtx->hSendEvent);
    CloseAndClear(&pCtx->hRecvEvent);
    CloseAndClear(&pCtx->hDeviceClosedEvent);
    memset(pCtx, 0, sizeof(*pCtx));
    return COMUSB_SUCCESS;
}

DWORD CCOMHIDUSBPort::ComUsbGetTimeouts(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    if (pTimeouts == NULL)
        return ComUsbResult(pCtx, COMUSB_INVALID_ARGUMENT);
    if (!GetCommTimeouts(pCtx->hDevice, pTimeouts)) {
        DWORD dwError = GetLastError();
        ComUsbDebugPrint(pCtx, "[ComUsbGetTimeouts] ERROR during Getting Comm Timeouts!\n");
        ComUsbPrintSystemError(pCtx, dwError);
        SetLastError(dwError);
        return ComUsbSystemFailure(pCtx);
    }
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbSetTimeouts(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    if (pTimeouts == NULL)
        return ComUsbResult(pCtx, COMUSB_INVALID_ARGUMENT);
    CopyCommTimeouts(&pCtx->Timeouts, pTimeouts);
    if (!SetCommTimeouts(pCtx->hDevice, &pCtx->Timeouts)) {
        DWORD dwError = GetLastError();
        ComUsbDebugPrint(pCtx, "[ComUsbSetTimeouts] ERROR during Setting Comm Timeouts!\n");
        ComUsbPrintSystemError(pCtx, dwError);
        SetLastError(dwError);
        return ComUsbSystemFailure(pCtx);
    }
    return ComUsbResult(pCtx, COMUSB_SUCCESS);
}

DWORD CCOMHIDUSBPort::ComUsbCancel(ComUsbContext* pCtx) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    BOOL bCancelled = CancelIo(pCtx->hDevice);
    pCtx->dwLastSystemError = (DWORD)bCancelled;
    pCtx->nLastError = bCancelled ? 0 : -1;
    return bCancelled ? COMUSB_SUCCESS : COMUSB_SYSTEM_FAILURE;
}

DWORD CCOMHIDUSBPort::ComUsbGetLastError(ComUsbContext* pCtx) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    return (DWORD)pCtx->nLastError;
}

DWORD CCOMHIDUSBPort::ComUsbGetLastSystemError(ComUsbContext* pCtx) {
    DWORD dwResult = ComUsbCheck(pCtx);
    if (dwResult != COMUSB_SUCCESS)
        return dwResult;
    return pCtx->dwLastSystemError;
}
