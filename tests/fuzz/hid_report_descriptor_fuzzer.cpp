// libFuzzer target for the HID report descriptor parser behind HidP_GetCaps. Seeds in
// corpus/hid_report_descriptor/. Besides memory safety it checks what every accepted
// descriptor must give: lengths that count the report ID byte, so never exactly 1.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "hid/report_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly `size` bytes, so a read past the end is caught.
    std::vector<uint8_t> descriptor(data, data + size);
    win32::HidReportLayout layout;
    if (win32::ParseReportDescriptor(descriptor.data(), descriptor.size(), &layout)) {
        if (layout.inputLength == 1 || layout.outputLength == 1 || layout.featureLength == 1)
            abort();
    }
    return 0;
}
