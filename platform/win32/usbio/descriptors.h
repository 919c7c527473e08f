// USB configuration descriptors (USB 2.0, chapter 9), read as the driver needs them: the
// interfaces with their alternate settings and the endpoints of each.
#pragma once

#include <windows.h>

#include <stddef.h>

#include <vector>

namespace win32 {
namespace usbio {

struct EndpointDescription {
    BYTE address = 0;
    BYTE attributes = 0;  // bits 0-1: transfer type
    WORD maxPacketSize = 0;
    BYTE interval = 0;
};

struct InterfaceDescription {
    BYTE number = 0;
    BYTE alternate = 0;
    BYTE interfaceClass = 0;
    BYTE subClass = 0;
    BYTE protocol = 0;
    std::vector<EndpointDescription> endpoints;
};

struct ConfigurationDescription {
    BYTE value = 0;  // bConfigurationValue
    std::vector<InterfaceDescription> interfaces;

    const InterfaceDescription* find(BYTE number, BYTE alternate) const;
    // How many alternate settings the interface has.
    size_t alternates(BYTE number) const;
};

// The total length a configuration descriptor announces in its first 9 bytes, or 0 when
// those bytes are not a configuration descriptor's header.
WORD ConfigurationTotalLength(const BYTE* pData, size_t cbData);

// Walks the descriptors one by one, each within both its own bLength and the bytes given;
// descriptors of other types (class-specific, interface associations) are skipped. False
// when the bytes do not start with a configuration descriptor or a descriptor runs past
// the end.
bool ParseConfiguration(const BYTE* pData, size_t cbData, ConfigurationDescription& configuration);

}  // namespace usbio
}  // namespace win32
