#include "setupapi/interface_classes.h"

#include <map>
#include <mutex>

#include "hid/hid_family.h"

namespace win32 {

namespace {

// {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}, the setup class of HID devices.
const GUID kHidClassGuid = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};

void ListHidPaths(std::vector<std::string>* pPaths) {
    for (const HidDeviceRecord& device : EnumerateHidInterfaces())
        pPaths->push_back(device.interfacePath);
}

const DeviceInterfaceClass kClasses[] = {
    {&kHidInterfaceGuid, &kHidClassGuid, ListHidPaths},
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
