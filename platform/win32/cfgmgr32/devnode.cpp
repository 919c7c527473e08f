// Device nodes of the configuration manager: the root of the device tree and the nodes
// setupapi numbered. The device tree here is live (every enumeration asks udev and the
// virtual servers afresh), so re-enumerating a node has nothing left to refresh.
#include <cfgmgr32.h>

#include "setupapi/interface_classes.h"

using namespace win32;

extern "C" CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags) {
    if (!pdnDevInst)
        return CR_INVALID_POINTER;
    *pdnDevInst = 0;
    if (ulFlags & ~0x7u)
        return CR_INVALID_FLAG;
    if (!pDeviceID || !*pDeviceID) {
        *pdnDevInst = kRootDevInst;
        return CR_SUCCESS;
    }
    // Instance IDs of our devices are their interface paths.
    DWORD dwDevInst = 0;
    if (!FindDevInst(pDeviceID, &dwDevInst))
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = dwDevInst;
    return CR_SUCCESS;
}

extern "C" CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags) {
    if (ulFlags & ~0x7u)
        return CR_INVALID_FLAG;
    if (!IsKnownDevInst(dnDevInst))
        return CR_INVALID_DEVNODE;
    return CR_SUCCESS;
}
