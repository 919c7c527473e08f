#include "hid/report_descriptor.h"

#include <string.h>

namespace win32 {

namespace {

const int kMaxPushDepth = 16;
const int kMaxCollectionDepth = 64;
// The ID byte must still fit a 16-bit length.
const uint32_t kMaxReportBits = 65534u * 8u;

// Item types and tags of the short item prefix (HID 1.11, 6.2.2).
enum : uint8_t { kTypeMain = 0, kTypeGlobal = 1, kTypeLocal = 2 };
enum : uint8_t {
    kMainInput = 0x8,
    kMainOutput = 0x9,
    kMainCollection = 0xA,
    kMainFeature = 0xB,
    kMainEndCollection = 0xC,
};
enum : uint8_t {
    kGlobalUsagePage = 0x0,
    kGlobalReportSize = 0x7,
    kGlobalReportId = 0x8,
    kGlobalReportCount = 0x9,
    kGlobalPush = 0xA,
    kGlobalPop = 0xB,
};
enum : uint8_t { kLocalUsage = 0x0 };
const uint8_t kLongItemPrefix = 0xFE;
const uint32_t kMainConstantBit = 0x01;

struct Globals {
    uint32_t usagePage = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
    uint32_t reportId = 0;
};

}  // namespace

bool ParseReportDescriptor(const uint8_t* p, size_t cb, HidReportLayout* pLayout) {
    HidReportLayout layout;
    // Bits per report type and report ID (index 0: the unnumbered report).
    static_assert(sizeof(uint32_t) * 3 * 256 < 4096, "kept on the stack");
    uint32_t bits[3][256];
    memset(bits, 0, sizeof(bits));

    Globals globals;
    Globals stack[kMaxPushDepth];
    int pushDepth = 0;
    int collectionDepth = 0;
    uint32_t firstUsage = 0;
    bool bUsageSeen = false;
    bool bTopCollectionSeen = false;
    bool bUnnumberedMainSeen = false;

    size_t i = 0;
    while (i < cb) {
        const uint8_t prefix = p[i];
        if (prefix == kLongItemPrefix) {
            // Long items carry no data the lengths depend on: skip them, within bounds.
            if (cb - i < 3)
                return false;
            const size_t cbData = p[i + 1];
            if (cb - i - 3 < cbData)
                return false;
            i += 3 + cbData;
            continue;
        }
        const size_t cbData = (prefix & 3) == 3 ? 4 : (prefix & 3);
        if (cb - i - 1 < cbData)
            return false;
        uint32_t value = 0;
        for (size_t k = 0; k < cbData; ++k)
            value |= (uint32_t)p[i + 1 + k] << (8 * k);
        const uint8_t type = (prefix >> 2) & 3;
        const uint8_t tag = prefix >> 4;
        i += 1 + cbData;

        if (type == kTypeGlobal) {
            switch (tag) {
            case kGlobalUsagePage: globals.usagePage = value; break;
            case kGlobalReportSize: globals.reportSize = value; break;
            case kGlobalReportCount: globals.reportCount = value; break;
            case kGlobalReportId:
                if (value == 0 || value > 255 || bUnnumberedMainSeen)
                    return false;
                globals.reportId = value;
                layout.bNumbered = true;
                break;
            case kGlobalPush:
                if (pushDepth == kMaxPushDepth)
                    return false;
                stack[pushDepth++] = globals;
                break;
            case kGlobalPop:
                if (pushDepth == 0)
                    return false;
                globals = stack[--pushDepth];
                break;
            default: break;
            }
        } else if (type == kTypeLocal) {
            if (tag == kLocalUsage && !bUsageSeen) {
                firstUsage = value;
                bUsageSeen = true;
            }
        } else if (type == kTypeMain) {
            switch (tag) {
            case kMainCollection:
                if (++collectionDepth > kMaxCollectionDepth)
                    return false;
                ++layout.collections;
                if (collectionDepth == 1 && !bTopCollectionSeen) {
                    bTopCollectionSeen = true;
                    // A 32-bit usage carries its own page in the high half.
                    layout.usagePage = (uint16_t)(firstUsage > 0xFFFF ? firstUsage >> 16 : globals.usagePage);
                    layout.usage = (uint16_t)firstUsage;
                }
                break;
            case kMainEndCollection:
                if (collectionDepth == 0)
                    return false;
                --collectionDepth;
                break;
            case kMainInput:
            case kMainOutput:
            case kMainFeature: {
                const int nType = tag == kMainInput ? 0 : tag == kMainOutput ? 1 : 2;
                if (globals.reportId == 0)
                    bUnnumberedMainSeen = true;
                const uint64_t fieldBits = (uint64_t)globals.reportSize * globals.reportCount;
                uint32_t& total = bits[nType][globals.reportId];
                if (fieldBits > kMaxReportBits || total + fieldBits > kMaxReportBits)
                    return false;
                total += (uint32_t)fieldBits;
                if (!(value & kMainConstantBit) && fieldBits > 0) {
                    if (globals.reportSize == 1)
                        ++layout.buttonCaps[nType];
                    else
                        ++layout.valueCaps[nType];
                    layout.dataIndices[nType] =
                        (uint16_t)(layout.dataIndices[nType] +
                                   (globals.reportCount > 0xFFFF ? 0xFFFF : globals.reportCount));
                }
                break;
            }
            default: break;
            }
            // Local items last until the next main item.
            bUsageSeen = false;
            firstUsage = 0;
        }
    }
    if (collectionDepth != 0 || pushDepth != 0 || !bTopCollectionSeen)
        return false;

    uint16_t* lengths[3] = {&layout.inputLength, &layout.outputLength, &layout.featureLength};
    for (int nType = 0; nType < 3; ++nType) {
        uint32_t maxBits = 0;
        bool bAny = false;
        for (int id = 0; id < 256; ++id) {
            if (bits[nType][id] > 0) {
                bAny = true;
                layout.reportIds[nType].set(id);
                if (bits[nType][id] > maxBits)
                    maxBits = bits[nType][id];
            }
        }
        // The longest report of the type, plus the ID byte (or the 0 in its place).
        *lengths[nType] = bAny ? (uint16_t)((maxBits + 7) / 8 + 1) : 0;
    }
    *pLayout = layout;
    return true;
}

}  // namespace win32
