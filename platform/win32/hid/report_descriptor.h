// The report descriptor parser behind HidP_GetCaps: a bounds-checked walk over the
// descriptor's items that sums the bits of every report, per report type and report ID.
//
// Report lengths follow Windows: a length counts the report ID byte, and a device without
// report IDs is given a length one byte longer than its report (the 0 "ID" that ReadFile
// puts in front and WriteFile expects). A report type the device does not have has length
// 0.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <bitset>

namespace win32 {

struct HidReportLayout {
    uint16_t usagePage = 0;  // of the first top-level collection
    uint16_t usage = 0;
    bool bNumbered = false;  // the descriptor declares report IDs
    // Byte lengths as HidP_GetCaps reports them, report ID byte included.
    uint16_t inputLength = 0;
    uint16_t outputLength = 0;
    uint16_t featureLength = 0;
    uint16_t collections = 0;  // every Collection item, nested ones too
    // Main items with data (not constant) per report type: single-bit fields count as
    // buttons, wider ones as values; data indices count every usage slot.
    uint16_t buttonCaps[3] = {};
    uint16_t valueCaps[3] = {};
    uint16_t dataIndices[3] = {};
    // The report IDs each type has (0 alone for a device without report IDs).
    std::bitset<256> reportIds[3];
};

enum class HidReportType { Input = 0, Output = 1, Feature = 2 };

// False for a descriptor that cannot describe a device: truncated items, a report ID of 0,
// main items both before and after the first report ID, unbalanced collections or
// push/pop, a report longer than 65535 bytes, or no top-level collection.
bool ParseReportDescriptor(const uint8_t* pDescriptor, size_t cbDescriptor, HidReportLayout* pLayout);

}  // namespace win32
