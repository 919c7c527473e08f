// The libusb backend's edge: every libusb outcome becomes a driver status through one
// table, with the overrides that make a time-out 0xE000100C and an unplugged device
// 0xE000100A whatever the request; and configuration descriptors as the driver reads them.
#include "usbio/descriptors.h"
#include "usbio/libusb_backend.h"
#include "usbio/status.h"

#include <libusb.h>

#include <gtest/gtest.h>

using namespace win32::usbio;

TEST(UsbioStatus, EveryLibusbErrorMapsToADriverStatus) {
    struct Case {
        int error;
        UsbOperation operation;
        DWORD status;
    } cases[] = {
        {LIBUSB_SUCCESS, UsbOperation::Transfer, 0},
        {7, UsbOperation::GetDescriptor, 0},  // a byte count is success
        {LIBUSB_ERROR_IO, UsbOperation::Transfer, USBIO_ERR_DEV_NOT_RESPONDING},
        {LIBUSB_ERROR_IO, UsbOperation::SetConfiguration, USBIO_ERR_SET_CONFIG_FAILED},
        {LIBUSB_ERROR_IO, UsbOperation::ResetPipe, USBIO_ERR_FAILED},
        {LIBUSB_ERROR_INVALID_PARAM, UsbOperation::Transfer, USBIO_ERR_INVALID_PARAM},
        {LIBUSB_ERROR_ACCESS, UsbOperation::Open, ERROR_ACCESS_DENIED},
        {LIBUSB_ERROR_NO_DEVICE, UsbOperation::Open, USBIO_ERR_DEVICE_NOT_PRESENT},
        {LIBUSB_ERROR_NO_DEVICE, UsbOperation::SetConfiguration, USBIO_ERR_DEVICE_NOT_PRESENT},
        {LIBUSB_ERROR_NO_DEVICE, UsbOperation::Transfer, USBIO_ERR_DEVICE_NOT_PRESENT},
        {LIBUSB_ERROR_NOT_FOUND, UsbOperation::Bind, USBIO_ERR_PIPE_NOT_FOUND},
        {LIBUSB_ERROR_NOT_FOUND, UsbOperation::SetConfiguration, USBIO_ERR_INTERFACE_NOT_FOUND},
        {LIBUSB_ERROR_NOT_FOUND, UsbOperation::Open, USBIO_ERR_DEVICE_NOT_FOUND},
        {LIBUSB_ERROR_BUSY, UsbOperation::SetConfiguration, USBIO_ERR_ALREADY_CONFIGURED},
        {LIBUSB_ERROR_BUSY, UsbOperation::Open, ERROR_SHARING_VIOLATION},
        {LIBUSB_ERROR_BUSY, UsbOperation::Transfer, USBIO_ERR_ERROR_BUSY},
        {LIBUSB_ERROR_TIMEOUT, UsbOperation::Transfer, USBIO_ERR_TIMEOUT},
        {LIBUSB_ERROR_TIMEOUT, UsbOperation::GetDescriptor, USBIO_ERR_TIMEOUT},
        {LIBUSB_ERROR_OVERFLOW, UsbOperation::Transfer, USBIO_ERR_DATA_OVERRUN},
        {LIBUSB_ERROR_PIPE, UsbOperation::Transfer, USBIO_ERR_STALL_PID},
        {LIBUSB_ERROR_PIPE, UsbOperation::SetConfiguration, USBIO_ERR_SET_CONFIG_FAILED},
        {LIBUSB_ERROR_INTERRUPTED, UsbOperation::Transfer, USBIO_ERR_CANCELED},
        {LIBUSB_ERROR_NO_MEM, UsbOperation::Transfer, USBIO_ERR_OUT_OF_MEMORY},
        {LIBUSB_ERROR_NOT_SUPPORTED, UsbOperation::Transfer, USBIO_ERR_INVALID_TYPE},
        {LIBUSB_ERROR_NOT_SUPPORTED, UsbOperation::SetConfiguration, USBIO_ERR_CONTROL_NOT_SUPPORTED},
        {LIBUSB_ERROR_OTHER, UsbOperation::Transfer, USBIO_ERR_FAILED},
        {-50, UsbOperation::Transfer, USBIO_ERR_FAILED},  // a code newer than this table
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.status, StatusFromResult(ResultFromLibusbError(c.error), c.operation))
            << libusb_error_name(c.error) << " for operation " << (int)c.operation;
}

TEST(UsbioStatus, EveryTransferOutcomeMapsToADriverStatus) {
    struct Case {
        int status;
        DWORD expected;
    } cases[] = {
        {LIBUSB_TRANSFER_COMPLETED, 0},
        {LIBUSB_TRANSFER_ERROR, USBIO_ERR_DEV_NOT_RESPONDING},
        {LIBUSB_TRANSFER_TIMED_OUT, USBIO_ERR_TIMEOUT},
        // What CancelIo makes of any driver's requests.
        {LIBUSB_TRANSFER_CANCELLED, ERROR_OPERATION_ABORTED},
        {LIBUSB_TRANSFER_STALL, USBIO_ERR_STALL_PID},
        {LIBUSB_TRANSFER_NO_DEVICE, USBIO_ERR_DEVICE_NOT_PRESENT},
        {LIBUSB_TRANSFER_OVERFLOW, USBIO_ERR_DATA_OVERRUN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, StatusFromResult(ResultFromTransferStatus(c.status), UsbOperation::Transfer))
            << c.status;
}

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
