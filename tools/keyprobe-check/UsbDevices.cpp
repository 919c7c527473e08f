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

namespace keyprobecheck {

#ifdef KEYPROBE_CHECK_HID
namespace {

// Interface paths carry the IDs as "vid_vvvv&pid_pppp", on Windows as here.
void IdsFromPath(const std::string& path, Device& d) {
    std::string lower = path;
    for (char& c : lower)
        c = (char)tolower((unsigned char)c);
    const size_t v = lower.find("vid_"), p = lower.find("pid_");
    if (v == std::string::npos || p == std::string::npos)
        return;
    d.nVendorId = (int)strtol(lower.c_str() + v + 4, NULL, 16);
    d.nProductId = (int)strtol(lower.c_str() + p + 4, NULL, 16);
    d.bTerminal = IsTerminalUsbId((WORD)d.nVendorId, (WORD)d.nProductId) != FALSE;
}

std::string Narrow(const wchar_t* pwsz) {
    std::string s;
    for (; *pwsz; ++pwsz)
        s += *pwsz < 128 ? (char)*pwsz : '?';
    return s;
}

// Every interface of the class, through the same SetupDi calls the ports make.
std::vector<std::string> InterfacePaths(const GUID& guid, DWORD* pdwError) {
    std::vector<std::string> paths;
    HDEVINFO hList = SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hList == INVALID_HANDLE_VALUE) {
        *pdwError = GetLastError();
        return paths;
    }
    *pdwError = ERROR_SUCCESS;
    SP_DEVICE_INTERFACE_DATA data;
    for (DWORD i = 0;; ++i) {
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(hList, NULL, &guid, i, &data))
            break;
        DWORD dwRequired = 0;
        SetupDiGetDeviceInterfaceDetailA(hList, &data, NULL, 0, &dwRequired, NULL);
        if (dwRequired < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        std::vector<char> buffer(dwRequired + 1, 0);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)buffer.data();
        pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(hList, &data, pDetail, dwRequired, NULL, NULL))
            paths.push_back(pDetail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(hList);
    return paths;
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
    const std::vector<std::string> paths = InterfacePaths(guid, &dwError);
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
