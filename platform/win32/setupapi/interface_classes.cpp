#include "setupapi/interface_classes.h"

#include <map>
#include <mutex>

#include "hid/hid_family.h"
#include "usbio/usbio.h"
#include "usbio_api.h"

namespace win32 {

namespace {

// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}, the setup class of HID devices.
const GUID kHidClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

// {36FC9E60-C465-11CF-8056-444553540000}, the setup class of USB devices.
const GUID kUsbClassGuid = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};

// {A5DCBF10-6530-11D2-901F-00C04FB951ED}, GUID_DEVINTERFACE_USB_DEVICE: every USB device,
// whatever its driver.
const GUID kUsbDeviceInterfaceGuid = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

void ListUsbioPaths(std::vector<std::string>* pPaths) { usbio::EnumerateInterfacePaths(*pPaths); }

void ListUsbDevicePaths(std::vector<std::string>* pPaths) { usbio::EnumeratePresentDevicePaths(*pPaths); }

void ListHidPaths(std::vector<std::string>* pPaths) {
    for (const HidDeviceRecord& device : EnumerateHidInterfaces())
        pPaths->push_back(device.interfacePath);
}

const DeviceInterfaceClass kClasses[] = {
    {&kHidInterfaceGuid, &kHidClassGuid, ListHidPaths},
    {&USBIO_DEVICE_INTERFACE_GUID, &kUsbClassGuid, ListUsbioPaths},
    {&kUsbDeviceInterfaceGuid, &kUsbClassGuid, ListUsbDevicePaths},
};

struct DevInstTable {
    std::mutex mutex;
    std::map<std::string, DWORD> numbers;
    DWORD next = kRootDevInst + 1;
};

DevInstTable& Table() {
    static DevInstTable* table = new DevInstTable;
    return *table;
}

}  // namespace

const DeviceInterfaceClass* DeviceInterfaceClasses(size_t* pnCount) {
    *pnCount = sizeof(kClasses) / sizeof(kClasses[0]);
    return kClasses;
}

DWORD DevInstOf(const std::string& path) {
    DevInstTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.numbers.find(path);
    if (it != table.numbers.end())
        return it->second;
    const DWORD dwDevInst = table.next++;
    table.numbers[path] = dwDevInst;
    return dwDevInst;
}

bool FindDevInst(const std::string& path, DWORD* pdwDevInst) {
    DevInstTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    auto it = table.numbers.find(path);
    if (it == table.numbers.end())
        return false;
    *pdwDevInst = it->second;
    return true;
}

bool IsKnownDevInst(DWORD dwDevInst) {
    if (dwDevInst == kRootDevInst)
        return true;
    DevInstTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    return dwDevInst > kRootDevInst && dwDevInst < table.next;
}

}  // namespace win32
