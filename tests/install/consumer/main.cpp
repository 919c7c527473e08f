// Touches each layer of the installed library: a class of IOClassLib, the framework's
// strings and locks under it, and the Windows API layer under those.
#include <DebugFile.h>
#include <TerminalUsbIds.h>

#include <stdio.h>

int main() {
    CDebugFile log("");
    log.Log(0, "+consumer", "");

    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    int nCount = 0;
    CString csError;
    if (!ParseTerminalUsbIds("1209:0001, 1209:00ff", ids, &nCount, csError) || nCount != 2) {
        fprintf(stderr, "consumer: %s\n", (LPCTSTR)csError);
        return 1;
    }
    printf("consumer: %04x:%04x %04x:%04x\n", ids[0].wVendorId, ids[0].wProductId, ids[1].wVendorId,
           ids[1].wProductId);
    return 0;
}
