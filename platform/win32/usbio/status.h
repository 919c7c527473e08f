// Backend outcomes to the driver's status codes, in one table (status.cpp).
//
// The driver reports a failed request with one of its USBIO_ERR_* codes, or with a plain
// Win32 error where Windows itself would give one (ERROR_ACCESS_DENIED, and
// ERROR_OPERATION_ABORTED for a cancelled transfer, as CancelIo makes every driver's
// requests end). Most outcomes mean the same whatever the request; the few that mean
// something else for one request are overrides in the same table.
#pragma once

#include "usbio/backend.h"

namespace win32 {
namespace usbio {

enum class UsbOperation {
    Open,
    GetDescriptor,
    SetConfiguration,  // SET_CONFIGURATION, claiming and alternate settings
    Bind,
    Transfer,  // ReadFile and WriteFile on a pipe
    ResetPipe,
};

// 0 for Success.
DWORD StatusFromResult(UsbResult result, UsbOperation operation);

}  // namespace usbio
}  // namespace win32
