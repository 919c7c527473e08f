// The real USBIO backend over libusb (libusb_backend.cpp).
#pragma once

#include "usbio/backend.h"

namespace win32 {
namespace usbio {

UsbBackend& LibusbBackendInstance();

// libusb's outcomes at the edge of the backend: a libusb_error (or a count, which is
// success) and a libusb_transfer_status.
UsbResult ResultFromLibusbError(int nError);
UsbResult ResultFromTransferStatus(int nStatus);

}  // namespace usbio
}  // namespace win32
