// Why a USB port found no terminal, from what a look at the devices found: each cause in
// its own words, with the IDs looked for and what would help.
#include "TCPIPPort.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Connection.h"
#include "TerminalUsbIds.h"
#include "UsbDeviceSurvey.h"

namespace {

UsbCandidate Device(int nVendorId, int nProductId, bool bOpened, DWORD dwError = ERROR_SUCCESS,
                    const char* pszUnusable = "", bool bOffered = true) {
    UsbCandidate c;
    c.nVendorId = nVendorId;
    c.nProductId = nProductId;
    c.bTerminal = IsTerminalUsbId((WORD)nVendorId, (WORD)nProductId) != FALSE;
    c.bOpened = bOpened;
    c.dwError = dwError;
    c.csUnusable = pszUnusable;
    c.bOffered = bOffered;
    return c;
}

const char kLookedFor[] =
    "1209:0001, 1209:0002, 1209:0003, 1209:0004, 1209:0005, 1209:0006, 1209:0007, 1209:0008";

TEST(UsbDeviceSurvey, NamesWhyThePortFoundNoTerminal) {
    SetTerminalUsbIds(NULL, 0);
    const struct {
        const char* name;
        int nPortKind;
        std::vector<UsbCandidate> devices;
        std::string why;
        const char* fix;  // a part of it; "" for none
    } rows[] = {
        {"foreign HID devices",
         PORT_KIND_USB_HID,
         {Device(0x046d, 0xc077, true), Device(0x0abc, 0x0001, false, 5)},
         std::string("no USB HID device with the terminal's IDs is attached (looked for ") + kLookedFor +
             "; found 046d:c077, 0abc:0001)",
         "name its IDs in the INI file's key UsbDeviceIds"},
        {"a terminal this user may not open",
         PORT_KIND_USB_HID,
         {Device(0x046d, 0xc077, true), Device(0x1209, 0x0003, false, ERROR_ACCESS_DENIED)},
         "a USB HID device with the terminal's IDs (1209:0003) is attached, but this user may not open it "
         "(access denied)",
         "install the package's udev rules (keyprobe-check --udev-rules prints them), join the group "
         "plugdev"},
        {"a terminal another program holds",
         PORT_KIND_USB_HID,
         {Device(0x1209, 0x0001, false, ERROR_SHARING_VIOLATION)},
         "a USB HID device with the terminal's IDs (1209:0001) is attached, but another program has it open",
         ""},
        {"an unusable terminal before a usable one",
         PORT_KIND_USB_HID,
         {Device(0x1209, 0x0001, true, ERROR_SUCCESS, "unusable"), Device(0x1209, 0x0002, true)},
         "",
         ""},
        {"no device under the driver",
         PORT_KIND_USBIO,
         {},
         std::string("no USB device is attached under the USBIO driver (interface "
                     "{1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}) at all (looked for the terminal's IDs ") +
             kLookedFor + ")",
         ""},
        {"a terminal the driver does not offer to this user",
         PORT_KIND_USBIO,
         {Device(0x046d, 0xc077, true), Device(0x1209, 0x0001, false, ERROR_ACCESS_DENIED, "", false)},
         "a USB device with the terminal's IDs (1209:0001) is attached, but the USBIO driver does not offer "
         "it "
         "under the interface {1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}: this user may not open it (access "
         "denied)",
         "join the group plugdev"},
        {"a terminal not under the driver",
         PORT_KIND_USBIO,
         {Device(0x1209, 0x0001, false, ERROR_SUCCESS, "", false)},
         "a USB device with the terminal's IDs (1209:0001) is attached, but the USBIO driver does not offer "
         "it "
         "under the interface {1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}",
         "install the terminal under the USBIO driver, or name the interface class"},
    };
    for (const auto& row : rows) {
        ConnectionSettings settings;
        settings.nPortKind = row.nPortKind;
        CString csFix;
        EXPECT_EQ(row.why, (LPCTSTR)ExplainMissingTerminal(settings, row.devices, csFix)) << row.name;
        if (*row.fix == '\0')
            EXPECT_TRUE(csFix.IsEmpty()) << row.name << ": " << (LPCTSTR)csFix;
        else
            EXPECT_NE(std::string::npos, std::string(csFix).find(row.fix))
                << row.name << ": " << (LPCTSTR)csFix;
    }
}

// The IDs looked for are the ones in effect, UsbDeviceIds included; the interface class is
// the one the settings name.
TEST(UsbDeviceSurvey, SaysWhichIdsAndWhichInterfaceItLookedFor) {
    const TerminalUsbId ids[] = {{0x0abc, 0x0010}};
    SetTerminalUsbIds(ids, 1);
    ConnectionSettings settings;
    settings.nPortKind = PORT_KIND_USBIO;
    settings.bUsbioInterfaceGuidGiven = TRUE;
    settings.csUsbioInterfaceGuid = "a5dcbf10-6530-11d2-901f-00c04fb951ed";
    CString csFix;
    EXPECT_EQ(
        std::string("no USB device with the terminal's IDs is attached under the USBIO driver (interface "
                    "{A5DCBF10-6530-11D2-901F-00C04FB951ED}) (looked for 0abc:0010; found 1209:0001)"),
        (LPCTSTR)ExplainMissingTerminal(settings, {Device(0x1209, 0x0001, true)}, csFix));
    SetTerminalUsbIds(NULL, 0);
}

}  // namespace
