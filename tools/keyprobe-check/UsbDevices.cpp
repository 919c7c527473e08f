#include <afx.h>
#include <windows.h>

#include "Checks.h"

#if __has_include(<setupapi.h>) && __has_include(<hidsdi.h>)
#define KEYPROBE_CHECK_HID 1
#include <hidsdi.h>
#include <setupapi.h>
#endif
#if defined(KEYPROBE_CHECK_HID) && __has_include(<usbio_api.h>)
#define KEYPROBE_CHECK_USBIO 1
#include <usbio_api.h>
#endif

#include <stdio.h>
#include <stdlib.h>

#include "HostDevices.h"
#include "TerminalUsbIds.h"
#include "UsbDeviceSurvey.h"

namespace keyprobecheck {

#ifdef KEYPROBE_CHECK_HID
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

// Opens the interface as the port does (read/write, overlapped) and closes it again; no
// report or transfer goes out.
Device Examine(const std::string& kind, const std::string& interfacePath) {
    Device d;
    d.kind = kind;
    IdsFromPath(interfacePath, d);
    const std::string node = NodeForInterfacePath(interfacePath);
    d.path = node.empty() ? interfacePath : node;
    if (!node.empty())
        d.aliases.push_back(interfacePath);
    else
        d.description = "virtual";

    HANDLE h =
        CreateFileA(interfacePath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        d.access.bCanOpen = true;
        if (kind == "hid" && d.bTerminal)
            d.unusable = (LPCTSTR)HidReportProblem(h);
        if (kind == "hid") {
            wchar_t wszProduct[128] = {0};
            if (HidD_GetProductString(h, wszProduct, sizeof(wszProduct) - sizeof(wchar_t)))
                d.description =
                    d.description.empty() ? Narrow(wszProduct) : Narrow(wszProduct) + ", " + d.description;
        }
        CloseHandle(h);
        return d;
    }
    const DWORD dwError = GetLastError();
    if (!node.empty()) {
        d.access = CheckAccess(node, kind);
        if (!d.access.bCanOpen)
            return d;
        d.access.bCanOpen = false;
    }
    char szReason[96];
    snprintf(szReason, sizeof(szReason),
             dwError == ERROR_ACCESS_DENIED || dwError == ERROR_SHARING_VIOLATION
                 ? "busy: another program has it open (error %lu)"
                 : "the library cannot open it (error %lu)",
             (unsigned long)dwError);
    d.access.reason = szReason;
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
#endif

void ListUsbDevices(std::vector<Device>& devices, std::vector<Listing>& unlisted) {
#ifdef KEYPROBE_CHECK_HID
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    ListFamily("hid", hidGuid, devices, unlisted);
#else
    (void)devices;
    unlisted.push_back({"hid", "this build has no HID device enumeration yet"});
#endif
#ifdef KEYPROBE_CHECK_USBIO
    ListFamily("usb", USBIO_DEVICE_INTERFACE_GUID, devices, unlisted);
    AddUnlistedUsbTerminals(devices);
#else
    unlisted.push_back({"usb", "this build has no USBIO device enumeration yet"});
#endif
}

}  // namespace keyprobecheck
