// The device interface classes setupapi can list, in one table keyed by the interface
// class GUID (setupapi/interface_classes.cpp). A device family adds itself as one row: its
// interface class, the setup class of its devices, and a function listing the interface
// paths of the devices present, which CreateFileA must then be able to open.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace win32 {

struct DeviceInterfaceClass {
    const GUID* pInterfaceGuid;
    const GUID* pSetupClassGuid;  // SP_DEVINFO_DATA.ClassGuid of its devices
    void (*listPresent)(std::vector<std::string>* pPaths);
};

const DeviceInterfaceClass* DeviceInterfaceClasses(size_t* pnCount);

// A device node number for a device path (or an instance ID), the same for the life of
// the process; 1 is the root of the device tree.
const DWORD kRootDevInst = 1;
DWORD DevInstOf(const std::string& path);
// The number given out for a path, if any.
bool FindDevInst(const std::string& path, DWORD* pdwDevInst);
// Whether a device node number was ever given out.
bool IsKnownDevInst(DWORD dwDevInst);

}  // namespace win32
