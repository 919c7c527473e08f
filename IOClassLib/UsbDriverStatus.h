// The USBIO driver's status codes and their message texts. Operations of the library
// return these (or plain Win32 error codes); the table turns one into words for a client
// that wants to show it.
#pragma once

#include <windows.h>

struct UsbDriverStatusEntry {
    DWORD dwStatus;
    LPCSTR pszText;
};

// The text of a driver status, or NULL for a code the driver does not define (a Win32
// error code, say).
LPCSTR UsbDriverStatusText(DWORD dwStatus);

// The whole table in the driver's order, for clients that list it.
const UsbDriverStatusEntry* UsbDriverStatusTable(int* pnCount);
