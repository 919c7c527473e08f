// The USBIO backends, in the order their devices are listed: real devices first, then the
// virtual ones termsim serves.
#include "usbio/backend.h"

#include "internal/real_devices.h"

namespace win32 {
namespace usbio {

const std::vector<UsbBackend*>& UsbBackends() {
    static const std::vector<UsbBackend*> backends = {
        &LibusbBackendInstance(),
        &VirtualUsbBackendInstance(),
    };
    // IOCLASSLIB_REAL_DEVICES=0: the virtual devices only, libusb is not even started.
    static const std::vector<UsbBackend*> virtualBackends = {
        &VirtualUsbBackendInstance(),
    };
    return RealDevicesEnabled() ? backends : virtualBackends;
}

}  // namespace usbio
}  // namespace win32
