// The command-line settings of the virtual USBIO device (--transport usbio).
#pragma once

#include <cstdint>
#include <string>

namespace termsim {

struct UsbioOptions {
    std::string socketPath;  // empty: one of our own in the temporary folder
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0001;
    unsigned packetSize = 32;  // wMaxPacketSize of both bulk endpoints
    std::uint16_t driverVersion = 0x0141;
    unsigned packetGapMs = 0;    // pause between two IN packets
    unsigned replugAfterMs = 0;  // 0: an unplugged device stays away
    bool anyGiven = false;       // some --usbio-* option was on the command line
};

// Whether `name` is one of the --usbio-* options.
bool isUsbioOption(const std::string& name);
// Parses one --usbio-* option; false with error set on a bad value.
bool parseUsbioOption(const std::string& name, const std::string& value, UsbioOptions& options,
                      std::string& error);
// The help text's section on the virtual USB device.
const char* usbioHelpText();

}  // namespace termsim
