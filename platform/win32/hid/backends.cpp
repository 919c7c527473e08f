// The HID backends, in the order their devices are listed: real devices first, then the
// virtual ones termsim serves.
#include "hid/backend.h"

#include "internal/real_devices.h"

namespace win32 {

const std::vector<HidBackend*>& HidBackends() {
    static const std::vector<HidBackend*> backends = {
        &HidrawBackendInstance(),
        &VirtualHidBackendInstance(),
    };
    // IOCLASSLIB_REAL_DEVICES=0: the virtual devices only, udev is not even asked.
    static const std::vector<HidBackend*> virtualBackends = {
        &VirtualHidBackendInstance(),
    };
    return RealDevicesEnabled() ? backends : virtualBackends;
}

}  // namespace win32
