// The HID device-access context: everything the ComUsb operations know about the one
// terminal they opened. Every port carries one (CPort::m_USBCtx); only the HID port
// fills it.
#pragma once

#include <windows.h>

// mingw-w64's HID headers declare their functions without C linkage of their own.
extern "C" {
#include <hidsdi.h>
}

#include <stdio.h>

// dwMagic of a context that has been initialised; anything else means "not initialised".
#define COMUSB_CONTEXT_MAGIC 0xE1633FF7UL
#define COMUSB_MAX_DEVICE_IDS 10

struct ComUsbContext {
    DWORD dwMagic;
    LONG nLastError;          // result code of the last operation
    DWORD dwLastSystemError;  // GetLastError of the last failed system call
    HANDLE hDevice;           // INVALID_HANDLE_VALUE after initialisation, NULL after close
    HANDLE hDeviceClosedEvent;
    HANDLE hSendEvent;  // OVERLAPPED event of every write
    HANDLE hRecvEvent;  // OVERLAPPED event of every read
    char szDevicePath[256];
    BYTE* msgBlock;  // as long as the larger of the two report lengths
    HANDLE hSendThread;
    HANDLE hRecvThread;
    BOOL bConnected;
    WCHAR wszManufacturer[64];
    WCHAR wszProduct[64];
    WCHAR wszSerialNumber[64];
    FILE* pLogFile;  // NULL: no debug output
    WORD wVendorIds[COMUSB_MAX_DEVICE_IDS];
    WORD wProductIds[COMUSB_MAX_DEVICE_IDS];  // pairwise with wVendorIds
    WORD nDeviceIds;
    HIDD_ATTRIBUTES Attributes;
    HIDP_CAPS Caps;
    COMMTIMEOUTS Timeouts;  // applied to the device at connect
};
