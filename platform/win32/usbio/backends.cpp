// The USBIO backends, in the order their devices are listed: real devices first, then the
// virtual ones termsim serves.
#include "usbio/backend.h"
#include "usbio/libusb_backend.h"
#include "usbio/virtual_backend.h"

#include "internal/real_devices.h"

namespace win32 {
namespace usbio {

const std::vector<UsbBackend*>& UsbBackends() {
    static const std::vector<UsbBackend*> backends = {
        &LibusbBackendInstance(),
        &VirtualBackendInstance(),
    };
    // IOCLASSLIB_REAL_DEVICES=0: the virtual devices only, libusb is not even started.
    static const std::vector<UsbBackend*> virtualBackends = {
        &VirtualBackendInstance(),
    };
    return RealDevicesEnabled() ? backends : virtualBackends;
}

}  // namespace usbio
}  // namespace win32
