#include "UsbDeviceSurvey.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "COMHIDUSBPort.h"
#include "Connection.h"
#include "HidReports.h"
#include "TerminalUsbIds.h"
#include "UsbDriverDevice.h"

namespace {

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}, GUID_DEVINTERFACE_USB_DEVICE: every USB device,
// whatever driver serves it.
const GUID kUsbDeviceInterfaceGuid = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

const char kAccessFix[] =
    "give this user read and write access to the terminal: install the package's udev rules "
    "(keyprobe-check --udev-rules prints them), join the group plugdev, log in again and replug the terminal";

std::vector<std::string> PathsOf(HDEVINFO hList, const GUID& interfaceGuid) {
    std::vector<std::string> paths;
    SP_DEVICE_INTERFACE_DATA data;
    for (DWORD i = 0;; ++i) {
        memset(&data, 0, sizeof(data));
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(hList, NULL, &interfaceGuid, i, &data))
            return paths;
        DWORD dwRequired = 0;
        SetupDiGetDeviceInterfaceDetailA(hList, &data, NULL, 0, &dwRequired, NULL);
        std::vector<char> buffer(dwRequired + sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) + 1, 0);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        // Kept in place, even empty, so that index i stays device i of the list.
        paths.push_back(SetupDiGetDeviceInterfaceDetailA(hList, &data, pDetail, dwRequired, NULL, NULL)
                            ? pDetail->DevicePath
                            : "");
    }
}

void SetIds(UsbCandidate& c, WORD wVendorId, WORD wProductId) {
    c.nVendorId = wVendorId;
    c.nProductId = wProductId;
    c.bTerminal = IsTerminalUsbId(wVendorId, wProductId) != FALSE;
}

UsbCandidate FromPath(const std::string& path) {
    UsbCandidate c;
    c.path = path;
    WORD wVendorId = 0, wProductId = 0;
    if (UsbIdsFromPath(path, &wVendorId, &wProductId))
        SetIds(c, wVendorId, wProductId);
    return c;
}

HANDLE OpenAsThePortsDo(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

std::vector<UsbCandidate> SurveyHid() {
    std::vector<UsbCandidate> devices;
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    DWORD dwError = ERROR_SUCCESS;
    for (const std::string& path : DeviceInterfacePaths(hidGuid, &dwError)) {
        UsbCandidate c = FromPath(path);
        HANDLE h = OpenAsThePortsDo(path);
        if (h == INVALID_HANDLE_VALUE) {
            c.dwError = GetLastError();
        } else {
            c.bOpened = true;
            HIDD_ATTRIBUTES attributes;
            memset(&attributes, 0, sizeof(attributes));
            attributes.Size = sizeof(attributes);
            if (HidD_GetAttributes(h, &attributes))
                SetIds(c, attributes.VendorID, attributes.ProductID);
            if (c.bTerminal)
                c.csUnusable = HidReportProblem(h);
            CloseHandle(h);
        }
        devices.push_back(c);
    }
    return devices;
}

std::vector<UsbCandidate> SurveyUsbio(const GUID& interfaceGuid) {
    std::vector<UsbCandidate> devices;
    HDEVINFO hList = CUsbDriverDevice::CreateDeviceList(&interfaceGuid);
    const std::vector<std::string> paths =
        hList != NULL ? PathsOf(hList, interfaceGuid) : std::vector<std::string>();
    for (size_t i = 0; i < paths.size(); ++i) {
        UsbCandidate c = FromPath(paths[i]);
        CUsbDriverDevice device;
        const DWORD dwStatus = device.Open((int)i, hList, &interfaceGuid);
        const DWORD dwOpenError = GetLastError();
        BYTE descriptor[USBIO_DEVICE_DESCRIPTOR_SIZE];
        if (dwStatus == 0) {
            c.bOpened = true;
            memset(descriptor, 0, sizeof(descriptor));
            if (device.GetDeviceDescriptor(descriptor) == 0)
                SetIds(c,
                       (WORD)(descriptor[USBIO_DEVICE_DESCRIPTOR_VENDOR_ID_OFFSET] |
                              descriptor[USBIO_DEVICE_DESCRIPTOR_VENDOR_ID_OFFSET + 1] << 8),
                       (WORD)(descriptor[USBIO_DEVICE_DESCRIPTOR_PRODUCT_ID_OFFSET] |
                              descriptor[USBIO_DEVICE_DESCRIPTOR_PRODUCT_ID_OFFSET + 1] << 8));
        } else if (dwStatus == USBIO_ERR_VERSION_MISMATCH) {
            c.csUnusable.Format(
                "its USBIO driver has another interface version than 0x%04X, the one keyprobe works with",
                (unsigned)USBIO_INTERFACE_VERSION);
        } else {
            c.dwError = dwStatus == USBIO_ERR_DEVICE_NOT_FOUND ? dwOpenError : dwStatus;
        }
        device.Close();
        devices.push_back(c);
    }
    CUsbDriverDevice::DestroyDeviceList(hList);

    // A device the driver does not offer is still among all USB devices: one with the
    // terminal's IDs is there, but not for this user or not under the driver.
    bool bTerminalOffered = false;
    for (const UsbCandidate& c : devices)
        bTerminalOffered = bTerminalOffered || c.bTerminal;
    DWORD dwError = ERROR_SUCCESS;
    for (const std::string& path : bTerminalOffered
                                       ? std::vector<std::string>()
                                       : DeviceInterfacePaths(kUsbDeviceInterfaceGuid, &dwError)) {
        UsbCandidate c = FromPath(path);
        if (!c.bTerminal)
            continue;
        c.bOffered = false;
        HANDLE h = OpenAsThePortsDo(path);
        c.dwError = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        devices.push_back(c);
    }
    return devices;
}

CString IdText(int nVendorId, int nProductId) {
    CString cs;
    cs.Format("%04x:%04x", nVendorId & 0xFFFF, nProductId & 0xFFFF);
    return cs;
}

CString IdsLookedFor() {
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    const int nCount = GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX);
    CString cs;
    for (int i = 0; i < nCount && i < TERMINAL_USB_ID_MAX; ++i)
        cs += (i ? ", " : "") + IdText(ids[i].wVendorId, ids[i].wProductId);
    return cs;
}

CString GuidText(const GUID& g) {
    CString cs;
    cs.Format("{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", (unsigned long)g.Data1, g.Data2, g.Data3,
              g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return cs;
}

// Why a device with the terminal's IDs that the port could not take is of no use.
CString WhyNotTaken(const UsbCandidate& c, const GUID& interfaceGuid, CString& csFix) {
    if (!c.csUnusable.IsEmpty())
        return "keyprobe cannot use it: " + c.csUnusable;
    const CString csNotOffered =
        "the USBIO driver does not offer it under the interface " + GuidText(interfaceGuid);
    CString cs;
    switch (c.dwError) {
    case ERROR_ACCESS_DENIED:
        csFix = kAccessFix;
        return c.bOffered ? "this user may not open it (access denied)"
                          : csNotOffered + ": this user may not open it (access denied)";
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY: return "another program has it open";
    case ERROR_SUCCESS:
        if (c.bOffered)
            return "";
        csFix = "install the terminal under the USBIO driver, or name the interface class its installation "
                "registers in the INI key UsbioInterfaceGuid";
        return csNotOffered;
    default: cs.Format("it cannot be opened (error %lu)", (unsigned long)c.dwError); return cs;
    }
}

}  // namespace

std::vector<std::string> DeviceInterfacePaths(const GUID& interfaceGuid, DWORD* pdwError) {
    HDEVINFO hList = SetupDiGetClassDevsA(&interfaceGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hList == INVALID_HANDLE_VALUE) {
        *pdwError = GetLastError();
        return std::vector<std::string>();
    }
    *pdwError = ERROR_SUCCESS;
    std::vector<std::string> paths = PathsOf(hList, interfaceGuid);
    SetupDiDestroyDeviceInfoList(hList);
    return paths;
}

BOOL UsbIdsFromPath(const std::string& path, WORD* pwVendorId, WORD* pwProductId) {
    std::string lower = path;
    for (char& c : lower)
        c = (char)tolower((unsigned char)c);
    const size_t v = lower.find("vid_"), p = lower.find("pid_");
    if (v == std::string::npos || p == std::string::npos)
        return FALSE;
    *pwVendorId = (WORD)strtoul(lower.c_str() + v + 4, NULL, 16);
    *pwProductId = (WORD)strtoul(lower.c_str() + p + 4, NULL, 16);
    return TRUE;
}

CString HidReportProblem(HANDLE hDevice) {
    PHIDP_PREPARSED_DATA pPreparsed = NULL;
    if (!HidD_GetPreparsedData(hDevice, &pPreparsed))
        return "its report descriptor cannot be read";
    HIDP_CAPS caps;
    memset(&caps, 0, sizeof(caps));
    HidP_GetCaps(pPreparsed, &caps);
    const USHORT wIn = caps.InputReportByteLength, wOut = caps.OutputReportByteLength;
    CString csProblem;
    if (wIn < HID_MIN_REPORT_LENGTH || wIn > HID_MAX_REPORT_LENGTH || wOut < HID_MIN_REPORT_LENGTH ||
        wOut > HID_MAX_REPORT_LENGTH) {
        csProblem.Format("its reports are %u bytes in and %u bytes out, and keyprobe's take %d to %d bytes",
                         (unsigned)wIn, (unsigned)wOut, HID_MIN_REPORT_LENGTH, HID_MAX_REPORT_LENGTH);
    } else {
        std::vector<CHAR> report(wOut);
        if (HidP_InitializeReportForID(HidP_Output, HID_OUTPUT_REPORT_ID, pPreparsed, report.data(), wOut) !=
            HIDP_STATUS_SUCCESS) {
            const BOOL bUnnumbered = HidP_InitializeReportForID(HidP_Output, 0, pPreparsed, report.data(),
                                                                wOut) == HIDP_STATUS_SUCCESS;
            csProblem.Format(
                bUnnumbered ? "its reports carry no report IDs, and keyprobe's output reports carry ID %d"
                            : "it has no output report with ID %d, which keyprobe's output reports carry",
                HID_OUTPUT_REPORT_ID);
        }
    }
    HidD_FreePreparsedData(pPreparsed);
    return csProblem;
}

CString OpenPortProblem(CPort* pPort) {
    CCOMHIDUSBPort* pHidPort = dynamic_cast<CCOMHIDUSBPort*>(pPort);
    if (pHidPort == NULL || !pHidPort->IsOpen())
        return "";
    return HidReportProblem(pHidPort->m_USBCtx.hDevice);
}

std::vector<UsbCandidate> SurveyUsbDevices(const ConnectionSettings& settings) {
    if (settings.nPortKind == PORT_KIND_USB_HID)
        return SurveyHid();
    if (settings.nPortKind == PORT_KIND_USBIO)
        return SurveyUsbio(UsbioInterfaceGuidOf(settings));
    return std::vector<UsbCandidate>();
}

CString ExplainMissingTerminal(const ConnectionSettings& settings, const std::vector<UsbCandidate>& devices,
                               CString& csFix) {
    csFix.Empty();
    const bool bHid = settings.nPortKind == PORT_KIND_USB_HID;
    const CString csKind = bHid ? "USB HID device" : "USB device";
    CString cs;
    // The port takes the first usable one; the first one with the terminal's IDs says why not.
    const UsbCandidate* pTerminal = NULL;
    CString csFound;
    for (const UsbCandidate& c : devices) {
        if (c.bTerminal && pTerminal == NULL)
            pTerminal = &c;
        if (c.bTerminal && c.bOpened && c.bOffered && c.csUnusable.IsEmpty())
            return "";
        if (c.bOffered)
            csFound += (csFound.IsEmpty() ? "" : ", ") +
                       (c.nVendorId < 0 ? CString("IDs unknown") : IdText(c.nVendorId, c.nProductId));
    }
    if (pTerminal != NULL) {
        const CString csWhy = WhyNotTaken(*pTerminal, UsbioInterfaceGuidOf(settings), csFix);
        if (csWhy.IsEmpty())
            return "";
        cs.Format("a %s with the terminal's IDs (%s) is attached, but %s", (LPCTSTR)csKind,
                  (LPCTSTR)IdText(pTerminal->nVendorId, pTerminal->nProductId), (LPCTSTR)csWhy);
        return cs;
    }
    CString csWhere =
        bHid ? CString("")
             : " under the USBIO driver (interface " + GuidText(UsbioInterfaceGuidOf(settings)) + ")";
    if (csFound.IsEmpty())
        cs.Format("no %s is attached%s at all (looked for the terminal's IDs %s)", (LPCTSTR)csKind,
                  (LPCTSTR)csWhere, (LPCTSTR)IdsLookedFor());
    else
        cs.Format("no %s with the terminal's IDs is attached%s (looked for %s; found %s)", (LPCTSTR)csKind,
                  (LPCTSTR)csWhere, (LPCTSTR)IdsLookedFor(), (LPCTSTR)csFound);
    if (!csFound.IsEmpty())
        csFix =
            "if the terminal is one of the devices found, name its IDs in the INI file's key UsbDeviceIds";
    return cs;
}
