// The Windows side of the device check. Windows has no device permissions to read
// beforehand: whether a port is free shows only when it is opened. Each COM port is
// therefore opened as keyprobe opens it and closed at once; nothing is sent.
#include <afx.h>
#include <windows.h>

#include <setupapi.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "Checks.h"
#include "Connection.h"
#include "HostDevices.h"
#include "TerminalUsbIds.h"
#include "UsbDeviceSurvey.h"

namespace keyprobecheck {

namespace {

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kDevicePrefix[] = "\\\\.\\";

// A port that another program holds fails with ERROR_ACCESS_DENIED from the serial driver,
// ERROR_SHARING_VIOLATION where the holder's share mode refuses, and, under Wine, with
// ERROR_LOCK_VIOLATION for a device that a Linux program holds exclusively.
bool IsBusy(DWORD dwError) {
    return dwError == ERROR_ACCESS_DENIED || dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_BUSY ||
           dwError == ERROR_LOCK_VIOLATION;
}

std::string ErrorCode(DWORD dwError) { return " (error " + std::to_string(dwError) + ")"; }

std::string Upper(std::string s) {
    for (char& c : s)
        c = (char)toupper((unsigned char)c);
    return s;
}

// COM12 sorts after COM2.
int PortNumber(const std::string& name) {
    return Upper(name).compare(0, 3, "COM") == 0 ? atoi(name.c_str() + 3) : 0;
}

// The device setup class "Ports (COM & LPT)".
const GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

struct SerialPort {
    std::string name;          // COMn
    std::string kernelDevice;  // \Device\Serial0; empty for a port the map does not name
    std::string friendlyName;  // as Device Manager shows it; empty where no device is installed
};

SerialPort* Find(std::vector<SerialPort>& ports, const std::string& name) {
    for (SerialPort& port : ports)
        if (Upper(port.name) == Upper(name))
            return &port;
    return NULL;
}

// The COM ports that Device Manager shows, with the name each one's driver took (PortName)
// and the device's friendly name ("USB Serial Device (COM3)"). Wine installs no device in
// this class: its ports are in the serial map only.
std::vector<SerialPort> InstalledSerialPorts() {
    std::vector<SerialPort> ports;
    HDEVINFO hList = ::SetupDiGetClassDevsA(&kPortsClass, NULL, NULL, DIGCF_PRESENT);
    if (hList == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof(device);
    for (DWORD i = 0; ::SetupDiEnumDeviceInfo(hList, i, &device); ++i) {
        HKEY hKey = ::SetupDiOpenDevRegKey(hList, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (hKey == INVALID_HANDLE_VALUE)
            continue;
        char szName[64] = {0};
        DWORD cbName = sizeof(szName) - 1, dwType = 0;
        const LONG lName = ::RegQueryValueExA(hKey, "PortName", NULL, &dwType, (LPBYTE)szName, &cbName);
        ::RegCloseKey(hKey);
        // The class holds the printer ports too.
        if (lName != ERROR_SUCCESS || dwType != REG_SZ || PortNumber(szName) == 0)
            continue;
        char szFriendly[256] = {0};
        if (!::SetupDiGetDeviceRegistryPropertyA(hList, &device, SPDRP_FRIENDLYNAME, NULL, (PBYTE)szFriendly,
                                                 sizeof(szFriendly) - 1, NULL))
            szFriendly[0] = '\0';
        ports.push_back({szName, "", szFriendly});
    }
    ::SetupDiDestroyDeviceInfoList(hList);
    return ports;
}

// The ports that their drivers enter in the serial map, present ones only, added to ports.
void AddMappedSerialPorts(std::vector<SerialPort>& ports) {
    HKEY hKey = NULL;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0;; ++i) {
        char szDevice[256], szName[64] = {0};
        DWORD cchDevice = sizeof(szDevice), cbName = sizeof(szName) - 1, dwType = 0;
        const LONG lEnum =
            ::RegEnumValueA(hKey, i, szDevice, &cchDevice, NULL, &dwType, (LPBYTE)szName, &cbName);
        if (lEnum == ERROR_NO_MORE_ITEMS)
            break;
        if (lEnum != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        if (SerialPort* pPort = Find(ports, szName))
            pPort->kernelDevice = szDevice;
        else
            ports.push_back({szName, szDevice, ""});
    }
    ::RegCloseKey(hKey);
}

Access OpenAsKeyprobe(const std::string& name) {
    Access access;
    HANDLE h =
        ::CreateFileA((kDevicePrefix + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        access.bCanOpen = true;
        return access;
    }
    const DWORD dwError = ::GetLastError();
    access.reason = IsBusy(dwError) ? "busy: another program has it open" + ErrorCode(dwError)
                                    : SystemMessage(dwError) + ErrorCode(dwError);
    return access;
}

}  // namespace

std::string CurrentUser() {
    char szName[257] = {0};
    DWORD cchName = sizeof(szName);
    return ::GetUserNameA(szName, &cchName) ? szName : "(unknown)";
}

std::vector<std::string> CurrentGroups() { return std::vector<std::string>(); }

std::string SerialDevicePath(const std::string& port) {
    // keyprobe hands Port to CreateFileA as written: COM1 to COM9 name their devices
    // anywhere, \\.\ names any device, and everything else is a file (COM10 among them).
    if (port.compare(0, strlen(kDevicePrefix), kDevicePrefix) == 0)
        return port;
    if (port.size() == 4 && PortNumber(port) >= 1)
        return kDevicePrefix + Upper(port);
    return "";
}

std::vector<Device> ListSerialPorts(const std::vector<std::string>& extraPaths) {
    std::vector<SerialPort> ports = InstalledSerialPorts();
    AddMappedSerialPorts(ports);
    for (const std::string& path : extraPaths) {
        const std::string name = path.compare(0, strlen(kDevicePrefix), kDevicePrefix) == 0
                                     ? path.substr(strlen(kDevicePrefix))
                                     : path;
        if (Find(ports, name) == NULL)
            ports.push_back({name, "", ""});
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPort& a, const SerialPort& b) {
        return PortNumber(a.name) != PortNumber(b.name) ? PortNumber(a.name) < PortNumber(b.name)
                                                        : a.name < b.name;
    });

    std::vector<Device> devices;
    for (const SerialPort& port : ports) {
        Device d;
        d.kind = "serial";
        d.path = port.name;
        d.description = port.friendlyName;
        if (!port.kernelDevice.empty())
            d.aliases.push_back(port.kernelDevice);
        else if (port.friendlyName.empty())
            d.description = std::string("not in HKEY_LOCAL_MACHINE\\") + kSerialComm;
        d.access = OpenAsKeyprobe(port.name);
        devices.push_back(d);
    }
    return devices;
}

void RefineOpenFailure(const ConnectionSettings& settings, DWORD dwError, InputFileCheck& check) {
    // The USB ports' failures are explained from the devices attached, not from one code.
    if (dwError == ERROR_SUCCESS ||
        (settings.nPortKind != PORT_KIND_SERIAL && settings.nPortKind != PORT_KIND_TCPIP))
        return;
    if (settings.nPortKind == PORT_KIND_SERIAL && IsBusy(dwError)) {
        check.openFailure =
            "cannot open " + check.connection + ": busy: another program has it open" + ErrorCode(dwError);
        check.fix = "close the program that holds the port, or name another port in Port";
    }
    check.systemMessage = SystemMessage(dwError);
}

void PlaceInterface(const std::string& interfacePath, Device& d) { d.path = interfacePath; }

Access WhyInterfaceNotOpened(const std::string&, const std::string& kind, DWORD dwError) {
    Access access;
    if (!IsBusy(dwError))
        access.reason = SystemMessage(dwError) + ErrorCode(dwError);
    else if (kind == "hid")
        access.reason = "busy: another program has it open, or Windows keeps it for itself as it does "
                        "keyboards and mice" +
                        ErrorCode(dwError);
    else
        access.reason = "busy: another program has it open" + ErrorCode(dwError);
    return access;
}

void AddUnlistedUsbTerminals(std::vector<Device>& devices) {
    // Every USB device has an interface of this class, whatever driver serves it.
    const GUID kUsbDeviceInterface = {
        0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
    DWORD dwError = ERROR_SUCCESS;
    for (const std::string& path : DeviceInterfacePaths(kUsbDeviceInterface, &dwError)) {
        WORD wVendorId = 0, wProductId = 0;
        if (!UsbIdsFromPath(path, &wVendorId, &wProductId) || !IsTerminalUsbId(wVendorId, wProductId))
            continue;
        bool bServed = false;
        for (const Device& d : devices)
            bServed = bServed || (d.kind == "usb" && d.nVendorId == wVendorId && d.nProductId == wProductId);
        if (bServed)
            continue;
        Device d;
        d.kind = "usb";
        d.path = path;
        d.nVendorId = wVendorId;
        d.nProductId = wProductId;
        d.bTerminal = true;
        d.description = "not in the USBIO driver's list";
        // A terminal on USB Device is one of these too: Windows' HID driver serves it.
        d.access.reason = "another driver than USBIO serves it; ConnectType USBIO Device needs the terminal "
                          "installed under the USBIO driver";
        devices.push_back(d);
    }
}

}  // namespace keyprobecheck
