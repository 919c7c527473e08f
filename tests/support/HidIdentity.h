// Test helper: what a client learns of an open HID device before its first report, read
// through the HidD_ and HidP_ calls it makes, as one line to compare:
//
//   EXPECT_EQ("1209:0001 v0102, usage page ff00, reports 65/65, Test Maker, Terminal, SN42",
//             testsupport::HidIdentity(h));
//
// Characters past ASCII show as \uXXXX. A call that fails ends the line with its name.
#pragma once

#include <windows.h>

#include <hidsdi.h>
#include <stdio.h>

#include <string>

namespace testsupport {

inline std::string HidText(const WCHAR* psz) {
    std::string text;
    for (; *psz; ++psz) {
        char szEscape[16];
        snprintf(szEscape, sizeof(szEscape), "\\u%04x", (unsigned)*psz);
        text += *psz < 0x80 ? std::string(1, (char)*psz) : std::string(szEscape);
    }
    return text;
}

// The serial number is read into a buffer of nSerialChars, to see a string cut to it.
inline std::string HidIdentity(HANDLE h, ULONG nSerialChars = 64) {
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof(attributes);
    if (!HidD_GetAttributes(h, &attributes))
        return "HidD_GetAttributes failed";
    PHIDP_PREPARSED_DATA preparsed = NULL;
    if (!HidD_GetPreparsedData(h, &preparsed))
        return "HidD_GetPreparsedData failed";
    HIDP_CAPS caps = {};
    const NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    if (!HidD_FreePreparsedData(preparsed))
        return "HidD_FreePreparsedData failed";
    if (status != HIDP_STATUS_SUCCESS)
        return "HidP_GetCaps failed";
    char szLine[128];
    snprintf(szLine, sizeof(szLine), "%04x:%04x v%04x, usage page %04x, reports %u/%u", attributes.VendorID,
             attributes.ProductID, attributes.VersionNumber, caps.UsagePage, caps.InputReportByteLength,
             caps.OutputReportByteLength);
    std::string line = szLine;
    WCHAR szText[64];
    if (!HidD_GetManufacturerString(h, szText, sizeof(szText)))
        return line + ", HidD_GetManufacturerString failed";
    line += ", " + HidText(szText);
    if (!HidD_GetProductString(h, szText, sizeof(szText)))
        return line + ", HidD_GetProductString failed";
    line += ", " + HidText(szText);
    if (!HidD_GetSerialNumberString(h, szText, nSerialChars * sizeof(WCHAR)))
        return line + ", HidD_GetSerialNumberString failed";
    return line + ", " + HidText(szText);
}

}  // namespace testsupport
