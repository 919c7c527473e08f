// libFuzzer target for the configuration descriptor reader behind the USBIO driver's
// SET_CONFIGURATION. Seeds in corpus/usbio_configuration/. Besides memory safety it checks
// what every accepted descriptor must give: endpoints only under an interface, and
// interfaces that the look-up finds again.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "usbio/descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so a read past the end is caught.
    std::vector<uint8_t> bytes(data, data + size);
    win32::usbio::ConfigurationDescription configuration;
    if (win32::usbio::ParseConfiguration(bytes.data(), bytes.size(), configuration)) {
        for (const win32::usbio::InterfaceDescription& described : configuration.interfaces) {
            if (!configuration.find(described.number, described.alternate) ||
                configuration.alternates(described.number) == 0)
                abort();
        }
    }
    return 0;
}
