#include <afx.h>
#include <windows.h>

#include <setupapi.h>
#include <usbio_api.h>
// mingw-w64's HID headers declare their functions without C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

#include <stdio.h>

#include "Checks.h"
#include "HostDevices.h"
#include "TerminalUsbIds.h"
#include "UsbDeviceSurvey.h"

namespace keyprobecheck {

namespace {

void IdsFromPath(const std::string& path, Device& d) {
    WORD wVendorId = 0, wProductId = 0;
    if (!UsbIdsFromPath(path, &wVendorId, &wProductId))
        return;
    d.nVendorId = wVendorId;
    d.nProductId = wProductId;
    d.bTerminal = IsTerminalUsbId(wVendorId, wProductId) != FALSE;
}

std::string Narrow(const wchar_t* pwsz) {
    std::string s;
    for (; *pwsz; ++pwsz)
        s += *pwsz < 128 ? (char)*pwsz : '?';
    return s;
}

HANDLE OpenInterface(const std::string& interfacePath, DWORD dwDesiredAccess) {
    return CreateFileA(interfacePath.c_str(), dwDesiredAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
}

// What any program may ask of a HID device, even one whose reports it may not read: its
// product string and report lengths.
void DescribeHid(HANDLE h, Device& d) {
    wchar_t wszProduct[128] = {0};
    if (HidD_GetProductString(h, wszProduct, sizeof(wszProduct) - sizeof(wchar_t)))
        d.description =
            d.description.empty() ? Narrow(wszProduct) : Narrow(wszProduct) + ", " + d.description;
    PHIDP_PREPARSED_DATA pPreparsed = NULL;
    if (!HidD_GetPreparsedData(h, &pPreparsed))
        return;
    HIDP_CAPS caps;
    if (HidP_GetCaps(pPreparsed, &caps) == HIDP_STATUS_SUCCESS) {
        d.nInputReportLength = caps.InputReportByteLength;
        d.nOutputReportLength = caps.OutputReportByteLength;
    }
    HidD_FreePreparsedData(pPreparsed);
}

// Opens the interface as the port does (read/write, overlapped) and closes it again; no
// report or transfer goes out.
Device Examine(const std::string& kind, const std::string& interfacePath) {
    Device d;
    d.kind = kind;
    IdsFromPath(interfacePath, d);
    PlaceInterface(interfacePath, d);

    HANDLE h = OpenInterface(interfacePath, GENERIC_READ | GENERIC_WRITE);
    if (h != INVALID_HANDLE_VALUE) {
        d.access.bCanOpen = true;
        if (kind == "hid" && d.bTerminal)
            d.unusable = (LPCTSTR)HidReportProblem(h);
        if (kind == "hid")
            DescribeHid(h, d);
        CloseHandle(h);
        return d;
    }
    d.access = WhyInterfaceNotOpened(interfacePath, kind, GetLastError());
    // Windows hands out a HID device that another program holds, or that it keeps for
    // itself (keyboards, mice), for queries alone.
    if (kind == "hid" && (h = OpenInterface(interfacePath, 0)) != INVALID_HANDLE_VALUE) {
        DescribeHid(h, d);
        CloseHandle(h);
    }
    return d;
}

void ListFamily(const char* pszKind, const GUID& guid, std::vector<Device>& devices,
                std::vector<Listing>& unlisted) {
    DWORD dwError = ERROR_SUCCESS;
    const std::vector<std::string> paths = DeviceInterfacePaths(guid, &dwError);
    if (dwError != ERROR_SUCCESS) {
        char sz[64];
        snprintf(sz, sizeof(sz), "the device list cannot be made (error %lu)", (unsigned long)dwError);
        unlisted.push_back({pszKind, sz});
    }
    for (const std::string& path : paths)
        devices.push_back(Examine(pszKind, path));
}

}  // namespace

void ListUsbDevices(std::vector<Device>& devices, std::vector<Listing>& unlisted) {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    ListFamily("hid", hidGuid, devices, unlisted);
    ListFamily("usb", USBIO_DEVICE_INTERFACE_GUID, devices, unlisted);
    AddUnlistedUsbTerminals(devices);
}

}  // namespace keyprobecheck
