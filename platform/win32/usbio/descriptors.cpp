#include "usbio/descriptors.h"

namespace win32 {
namespace usbio {

namespace {

const BYTE kTypeConfiguration = 0x02;
const BYTE kTypeInterface = 0x04;
const BYTE kTypeEndpoint = 0x05;
const size_t kConfigurationLength = 9;
const size_t kInterfaceLength = 9;
const size_t kEndpointLength = 7;

WORD Word(const BYTE* p) { return (WORD)(p[0] | (p[1] << 8)); }

}  // namespace

const InterfaceDescription* ConfigurationDescription::find(BYTE number, BYTE alternate) const {
    for (const InterfaceDescription& description : interfaces)
        if (description.number == number && description.alternate == alternate)
            return &description;
    return nullptr;
}

size_t ConfigurationDescription::alternates(BYTE number) const {
    size_t count = 0;
    for (const InterfaceDescription& description : interfaces)
        count += description.number == number;
    return count;
}

WORD ConfigurationTotalLength(const BYTE* pData, size_t cbData) {
    if (cbData < kConfigurationLength || pData[0] < kConfigurationLength || pData[1] != kTypeConfiguration)
        return 0;
    return Word(pData + 2);
}

bool ParseConfiguration(const BYTE* pData, size_t cbData, ConfigurationDescription& configuration) {
    configuration = ConfigurationDescription();
    if (ConfigurationTotalLength(pData, cbData) == 0)
        return false;
    configuration.value = pData[5];
    InterfaceDescription* current = nullptr;
    size_t offset = 0;
    while (offset + 2 <= cbData) {
        const BYTE* p = pData + offset;
        const size_t length = p[0];
        if (length < 2 || length > cbData - offset)
            return false;
        if (p[1] == kTypeInterface && length >= kInterfaceLength) {
            InterfaceDescription description;
            description.number = p[2];
            description.alternate = p[3];
            description.interfaceClass = p[5];
            description.subClass = p[6];
            description.protocol = p[7];
            configuration.interfaces.push_back(description);
            current = &configuration.interfaces.back();
        } else if (p[1] == kTypeEndpoint && length >= kEndpointLength && current) {
            EndpointDescription endpoint;
            endpoint.address = p[2];
            endpoint.attributes = p[3];
            endpoint.maxPacketSize = Word(p + 4);
            endpoint.interval = p[6];
            current->endpoints.push_back(endpoint);
        }
        offset += length;
    }
    return offset == cbData;
}

}  // namespace usbio
}  // namespace win32
