// The (vendor ID, product ID) pairs under which the terminal shows up on USB, shared by the
// HID port and the USBIO port. The built-in pairs (vendor 0x1209, products 0x0001 to 0x0008,
// the range set aside for testing) are placeholders; a client whose terminals carry other IDs
// replaces the list for the process with SetTerminalUsbIds.
#pragma once

#include <afx.h>
#include <windows.h>

#define TERMINAL_USB_ID_MAX 8

struct TerminalUsbId {
    WORD wVendorId;
    WORD wProductId;
};

// Copies the pairs in effect, in their fixed order, into pIds (at most nMax); returns how
// many pairs there are.
int GetTerminalUsbIds(TerminalUsbId* pIds, int nMax);

// Replaces the pairs in effect (at most TERMINAL_USB_ID_MAX are kept); a count of 0 restores
// the built-in table.
void SetTerminalUsbIds(const TerminalUsbId* pIds, int nCount);

BOOL IsTerminalUsbId(WORD wVendorId, WORD wProductId);

// Reads "VVVV:PPPP" pairs in hex, comma-separated, blanks allowed around each pair: one to
// TERMINAL_USB_ID_MAX of them. On failure returns FALSE and says why in csError.
BOOL ParseTerminalUsbIds(LPCSTR pszText, TerminalUsbId* pIds, int* pnCount, CString& csError);
