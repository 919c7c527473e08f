// A virtual HID device as data: its identity and report layout, and the report descriptor
// that layout makes. termsim's virtual HID terminal and the tests' fake HID devices both
// describe their devices this way, so the two cannot drift apart. C++, header only; the
// message protocol that carries the descriptor is virtual_device_protocol.h.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "virtual_device_protocol.h"

namespace vdev {

struct HidDeviceShape {
    std::uint16_t vendorId = 0x1209;
    std::uint16_t productId = 0x0001;
    std::uint16_t version = 0x0100;
    // As Windows counts them: the ID byte, or the 0 a caller puts before an unnumbered
    // report, included.
    unsigned inputLength = 65;
    unsigned outputLength = 65;
    bool numbered = true;
    std::uint8_t inputId = 1;
    std::uint8_t outputId = 2;
    // The interrupt IN endpoint's polling interval (bInterval) in milliseconds: the host
    // fetches at most one input report per interval, however many the device has ready.
    unsigned inputIntervalMs = 1;
    std::string manufacturer = "termsim";
    std::string product = "Virtual terminal";
    std::string serialNumber = "TS0001";
};

// A vendor-defined report descriptor with one input and one output report of the shape's
// lengths (8-bit fields), with report ID items when its reports are numbered.
inline std::vector<std::uint8_t> buildReportDescriptor(const HidDeviceShape& shape) {
    std::vector<std::uint8_t> d = {0x06, 0x00, 0xFF,  // usage page (vendor defined 0xFF00)
                                   0x09, 0x01,        // usage 1
                                   0xA1, 0x01};       // collection (application)
    auto report = [&](std::uint8_t id, unsigned length, std::uint8_t usage, std::uint8_t mainItem) {
        if (shape.numbered)
            d.insert(d.end(), {0x85, id});  // report ID
        // The ID byte (or the caller's 0) is not a field: a two-byte report count of the rest.
        const unsigned count = length - 1;
        d.insert(d.end(), {0x09, usage, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x96,
                           static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8),
                           mainItem, 0x02});  // data, variable, absolute
    };
    report(shape.inputId, shape.inputLength, 0x02, 0x81);
    report(shape.outputId, shape.outputLength, 0x03, 0x91);
    d.push_back(0xC0);  // end collection
    return d;
}

inline vdev_hid_identity identityOf(const HidDeviceShape& shape) {
    vdev_hid_identity identity;
    std::memset(&identity, 0, sizeof(identity));
    identity.vendor_id = shape.vendorId;
    identity.product_id = shape.productId;
    identity.version_number = shape.version;
    auto copy = [](char* field, const std::string& text) {
        std::memcpy(field, text.data(), std::min<std::size_t>(text.size(), VDEV_HID_STRING_BYTES));
    };
    copy(identity.manufacturer, shape.manufacturer);
    copy(identity.product, shape.product);
    copy(identity.serial_number, shape.serialNumber);
    return identity;
}

}  // namespace vdev
