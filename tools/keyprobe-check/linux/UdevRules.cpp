#include <afx.h>
#include <windows.h>

#include <stdio.h>

#include "Connection.h"
#include "HostDevices.h"
#include "TerminalUsbIds.h"

namespace keyprobecheck {

int WriteUdevRules(const char* pszIni, std::ostream& out, std::ostream& err) {
    ConnectionSettings settings;
    if (pszIni != NULL)
        ReadConnectionSettings(pszIni, settings);
    CString csError;
    if (!ApplyConnectionSettings(settings, csError)) {
        err << (LPCTSTR)csError << std::endl;
        return 1;
    }
    out << "# The terminal's USB device nodes for the group plugdev: its hidraw nodes (ConnectType\n"
           "# \"USB Device\") and its USB device nodes (\"USBIO Device\"). Made by keyprobe-check\n"
           "# --udev-rules from the USB IDs that keyprobe itself uses; do not edit.\n";
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    const int nCount = GetTerminalUsbIds(ids, TERMINAL_USB_ID_MAX);
    for (int i = 0; i < nCount && i < TERMINAL_USB_ID_MAX; ++i) {
        char szIds[64];
        snprintf(szIds, sizeof(szIds), "{idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"", ids[i].wVendorId,
                 ids[i].wProductId);
        out << "SUBSYSTEM==\"hidraw\", ATTRS" << szIds << ", MODE=\"0660\", GROUP=\"plugdev\"\n";
        snprintf(szIds, sizeof(szIds), "{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\"", ids[i].wVendorId,
                 ids[i].wProductId);
        out << "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR" << szIds
            << ", MODE=\"0660\", GROUP=\"plugdev\"\n";
    }
    return 0;
}

}  // namespace keyprobecheck
