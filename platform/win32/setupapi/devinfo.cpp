// Device information sets: the interfaces present of the classes in the table of
// setupapi/interface_classes.h, and the class installer calls on their devices.
//
// As on Windows, every record a caller hands in must carry its own size in cbSize
// (ERROR_INVALID_USER_BUFFER otherwise): SP_DEVICE_INTERFACE_DETAIL_DATA_A's is 8 in this
// 64-bit layout, 5 in the 32-bit one. A device removal needs an administrator on Windows;
// here no device can be removed from user space, and DIF_REMOVE says so with
// ERROR_ACCESS_DENIED.
#include <setupapi.h>

#include <stddef.h>
#include <string.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "setupapi/interface_classes.h"

using namespace win32;

namespace {

const DWORD kErrorDiDoDefault = 0xE000020E;

struct InterfaceRecord {
    GUID interfaceGuid;
    GUID setupClassGuid;
    std::string path;
    DWORD devInst;
};

struct DeviceInfoSet {
    std::vector<InterfaceRecord> interfaces;
    // Class install parameters per device node, as SetupDiSetClassInstallParamsA left them.
    std::map<DWORD, std::vector<uint8_t>> classInstallParams;
};

std::mutex& SetsMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::set<DeviceInfoSet*>& Sets() {
    static std::set<DeviceInfoSet*>* sets = new std::set<DeviceInfoSet*>;
    return *sets;
}

// A live set, or null with ERROR_INVALID_HANDLE. Callers keep SetsMutex() held.
DeviceInfoSet* SetOf(HDEVINFO hDevInfo) {
    DeviceInfoSet* set = static_cast<DeviceInfoSet*>(hDevInfo);
    if (!hDevInfo || hDevInfo == INVALID_HANDLE_VALUE || !Sets().count(set)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return set;
}

BOOL Fail(DWORD dwError) {
    ::SetLastError(dwError);
    return FALSE;
}

// The set's record for a device node record the caller hands in.
bool DeviceOf(const DeviceInfoSet& set, PSP_DEVINFO_DATA DeviceInfoData) {
    if (!DeviceInfoData || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        ::SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    for (const InterfaceRecord& record : set.interfaces)
        if (record.devInst == DeviceInfoData->DevInst)
            return true;
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

// A live set and, when the caller names a device node, one the set lists; null with the
// error set. Callers keep SetsMutex() held.
DeviceInfoSet* SetWithDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA DeviceInfoData) {
    DeviceInfoSet* set = SetOf(hDevInfo);
    if (set && DeviceInfoData && !DeviceOf(*set, DeviceInfoData))
        return nullptr;
    return set;
}

}  // namespace

extern "C" HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR, HWND, DWORD Flags) {
    // Only device interfaces are listed; a device setup class listing is not needed.
    if (!(Flags & DIGCF_DEVICEINTERFACE) || (!ClassGuid && !(Flags & DIGCF_ALLCLASSES))) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* set = new DeviceInfoSet;
    size_t nClasses = 0;
    const DeviceInterfaceClass* classes = DeviceInterfaceClasses(&nClasses);
    for (size_t i = 0; i < nClasses; ++i) {
        if (!(Flags & DIGCF_ALLCLASSES) && !(*classes[i].pInterfaceGuid == *ClassGuid))
            continue;
        std::vector<std::string> paths;
        classes[i].listPresent(&paths);
        for (const std::string& path : paths)
            set->interfaces.push_back(InterfaceRecord{*classes[i].pInterfaceGuid, *classes[i].pSetupClassGuid,
                                                      path, DevInstOf(path)});
    }
    std::lock_guard<std::mutex> lock(SetsMutex());
    Sets().insert(set);
    ::SetLastError(ERROR_SUCCESS);
    return set;
}

extern "C" BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetOf(DeviceInfoSet);
    if (!set)
        return FALSE;
    Sets().erase(set);
    delete set;
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetOf(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (!InterfaceClassGuid)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    DWORD dwSeen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        const InterfaceRecord& record = set->interfaces[i];
        if (!(record.interfaceGuid == *InterfaceClassGuid))
            continue;
        if (DeviceInfoData && record.devInst != DeviceInfoData->DevInst)
            continue;
        if (dwSeen++ != MemberIndex)
            continue;
        DeviceInterfaceData->InterfaceClassGuid = record.interfaceGuid;
        DeviceInterfaceData->Flags = SPINT_ACTIVE;
        DeviceInterfaceData->Reserved = (ULONG_PTR)(i + 1);  // which record, for the detail call
        return TRUE;
    }
    return Fail(ERROR_NO_MORE_ITEMS);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData, DWORD DeviceInterfaceDetailDataSize,
    PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetOf(DeviceInfoSet);
    if (!set)
        return FALSE;
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    const ULONG_PTR nRecord = DeviceInterfaceData->Reserved;
    if (nRecord == 0 || nRecord > set->interfaces.size())
        return Fail(ERROR_INVALID_PARAMETER);
    const InterfaceRecord& record = set->interfaces[nRecord - 1];
    if (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize != 0)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailData &&
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);

    const DWORD dwRequired =
        (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + record.path.size() + 1);
    if (RequiredSize)
        *RequiredSize = dwRequired;
    if (!DeviceInterfaceDetailData || DeviceInterfaceDetailDataSize < dwRequired)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(DeviceInterfaceDetailData->DevicePath, record.path.c_str(), record.path.size() + 1);
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = record.setupClassGuid;
        DeviceInfoData->DevInst = record.devInst;
        DeviceInfoData->Reserved = nRecord;
    }
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                     DWORD ClassInstallParamsSize) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetWithDevice(DeviceInfoSet, DeviceInfoData);
    if (!set)
        return FALSE;
    const DWORD dwDevInst = DeviceInfoData ? DeviceInfoData->DevInst : 0;
    if (!ClassInstallParams) {
        if (ClassInstallParamsSize != 0)
            return Fail(ERROR_INVALID_PARAMETER);
        set->classInstallParams.erase(dwDevInst);
        return TRUE;
    }
    if (ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER) ||
        ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER))
        return Fail(ERROR_INVALID_USER_BUFFER);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(ClassInstallParams);
    set->classInstallParams[dwDevInst].assign(p, p + ClassInstallParamsSize);
    return TRUE;
}

extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetWithDevice(DeviceInfoSet, DeviceInfoData);
    if (!set)
        return FALSE;
    if (InstallFunction != DIF_REMOVE)
        return Fail(kErrorDiDoDefault);
    const DWORD dwDevInst = DeviceInfoData ? DeviceInfoData->DevInst : 0;
    auto params = set->classInstallParams.find(dwDevInst);
    if (params == set->classInstallParams.end() || params->second.size() < sizeof(SP_REMOVEDEVICE_PARAMS))
        return Fail(ERROR_INVALID_PARAMETER);
    return Fail(ERROR_ACCESS_DENIED);
}

extern "C" BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSP_DEVINSTALL_PARAMS_A DeviceInstallParams) {
    std::lock_guard<std::mutex> lock(SetsMutex());
    ::DeviceInfoSet* set = SetWithDevice(DeviceInfoSet, DeviceInfoData);
    if (!set)
        return FALSE;
    if (!DeviceInstallParams || DeviceInstallParams->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    memset(DeviceInstallParams, 0, sizeof(*DeviceInstallParams));
    DeviceInstallParams->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
    return TRUE;
}
