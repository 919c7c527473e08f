// The interface paths of the HID devices present, in enumeration order, through the same
// SetupAPI calls a client makes.
#pragma once

#include <windows.h>

#include <hidsdi.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> HidInterfacePaths() {
    GUID hidGuid;
    HidD_GetHidGuid(&hidGuid);
    HDEVINFO hDevInfo = SetupDiGetClassDevsA(&hidGuid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    std::vector<std::string> paths;
    if (hDevInfo == INVALID_HANDLE_VALUE)
        return paths;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(hDevInfo, NULL, &hidGuid, i, &data); ++i) {
        DWORD dwRequired = 0;
        SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, NULL, 0, &dwRequired, NULL);
        std::vector<char> buffer(dwRequired);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(hDevInfo, &data, detail, dwRequired, NULL, NULL))
            paths.push_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    return paths;
}

}  // namespace testsupport
