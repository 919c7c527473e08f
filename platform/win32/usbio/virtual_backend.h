// The virtual USBIO backend: termsim's devices (virtual_backend.cpp).
#pragma once

#include "usbio/backend.h"

namespace win32 {
namespace usbio {

UsbBackend& VirtualBackendInstance();

}  // namespace usbio
}  // namespace win32
