// HID device functions of the hid library (HidD_*), with the SDK's names and layouts.
// The SDK's header declares NTSTATUS and pulls in hidpi.h; so does this one.
#pragma once

#include <windows.h>

#ifndef NTAPI
#define NTAPI
#endif
typedef LONG NTSTATUS;

#include "hidpi.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
} HIDD_ATTRIBUTES, *PHIDD_ATTRIBUTES;

void NTAPI HidD_GetHidGuid(LPGUID HidGuid);
BOOLEAN NTAPI HidD_GetAttributes(HANDLE HidDeviceObject, PHIDD_ATTRIBUTES Attributes);
// The strings come as UTF-16 in Windows; here as WCHAR, which is this build's wide
// character. BufferLength is in bytes.
BOOLEAN NTAPI HidD_GetManufacturerString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN NTAPI HidD_GetProductString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE HidDeviceObject, PVOID Buffer, ULONG BufferLength);
BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE HidDeviceObject, PHIDP_PREPARSED_DATA* PreparsedData);
BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA PreparsedData);
BOOLEAN NTAPI HidD_SetNumInputBuffers(HANDLE HidDeviceObject, ULONG NumberBuffers);

#ifdef __cplusplus
}
#endif
