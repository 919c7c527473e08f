// Configuration descriptors as the USBIO driver reads them: descriptor by descriptor, and a
// malformed one refused.
#include "usbio/descriptors.h"

#include <gtest/gtest.h>

using namespace win32::usbio;

namespace {

// A configuration with interface 0 (two bulk endpoints), a class-specific descriptor
// between them, and interface 1 in two alternate settings.
std::vector<BYTE> SampleConfiguration() {
    std::vector<BYTE> d = {9, 2,    0,    0, 2,  1,    0, 0x80, 50,  // configuration 1
                           9, 4,    0,    0, 2,  0xFF, 0, 0,    0,   // interface 0
                           7, 5,    0x02, 2, 64, 0,    0,            // bulk OUT, 64
                           5, 0x24, 1,    2, 3,                      // class-specific
                           7, 5,    0x83, 2, 0,  2,    0,            // bulk IN, 512
                           9, 4,    1,    0, 0,  3,    0, 0,    0,   // interface 1, setting 0
                           9, 4,    1,    1, 1,  3,    0, 0,    0,   // interface 1, setting 1
                           7, 5,    0x84, 3, 8,  0,    10};          // interrupt IN
    d[2] = (BYTE)d.size();
    return d;
}

}  // namespace

TEST(UsbioDescriptors, ConfigurationIsReadDescriptorByDescriptor) {
    std::vector<BYTE> d = SampleConfiguration();
    ConfigurationDescription c;
    ASSERT_TRUE(ParseConfiguration(d.data(), d.size(), c));
    EXPECT_EQ(1, c.value);
    ASSERT_EQ(3u, c.interfaces.size());
    const InterfaceDescription* first = c.find(0, 0);
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(2u, first->endpoints.size());
    EXPECT_EQ(0x83, first->endpoints[1].address);
    EXPECT_EQ(512, first->endpoints[1].maxPacketSize);
    EXPECT_EQ(2u, c.alternates(1));
    EXPECT_EQ(1u, c.find(1, 1)->endpoints.size());
    EXPECT_EQ(nullptr, c.find(1, 2));
}

TEST(UsbioDescriptors, MalformedConfigurationsAreRefused) {
    const std::vector<BYTE> good = SampleConfiguration();
    struct Case {
        const char* what;
        std::vector<BYTE> bytes;
    } cases[] = {
        {"empty", {}},
        {"a device descriptor", {18, 1, 0, 2, 0, 0, 0, 64, 9, 18}},
        {"cut inside a descriptor", std::vector<BYTE>(good.begin(), good.end() - 3)},
        {"a zero length", {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 0, 4, 0}},
        {"a length past the end", {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 9, 4, 0}},
        {"one byte left over", {9, 2, 10, 0, 1, 1, 0, 0x80, 50, 7}},
    };
    for (const Case& c : cases) {
        ConfigurationDescription parsed;
        EXPECT_FALSE(ParseConfiguration(c.bytes.data(), c.bytes.size(), parsed)) << c.what;
    }
}
