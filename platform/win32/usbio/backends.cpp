// The USBIO backends, in the order their devices are listed: real devices first, then the
// virtual ones termsim serves.
#include "usbio/backend.h"
#include "usbio/libusb_backend.h"
#include "usbio/virtual_backend.h"

namespace win32 {
namespace usbio {

const std::vector<UsbBackend*>& UsbBackends() {
    static const std::vector<UsbBackend*> backends = {
        &LibusbBackendInstance(),
        &VirtualBackendInstance(),
    };
    return backends;
}

}  // namespace usbio
}  // namespace win32
