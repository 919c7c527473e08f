#include "usbio/status.h"

namespace win32 {
namespace usbio {

namespace {

struct Override {
    UsbResult result;
    UsbOperation operation;
    DWORD status;
};

// What each outcome means for any request.
DWORD GeneralStatus(UsbResult result) {
    switch (result) {
    case UsbResult::Success: return ERROR_SUCCESS;
    case UsbResult::Io: return USBIO_ERR_FAILED;
    case UsbResult::InvalidParam: return USBIO_ERR_INVALID_PARAM;
    case UsbResult::Access: return ERROR_ACCESS_DENIED;
    case UsbResult::NoDevice: return USBIO_ERR_DEVICE_NOT_PRESENT;
    case UsbResult::NotFound: return USBIO_ERR_DEVICE_NOT_FOUND;
    case UsbResult::Busy: return USBIO_ERR_ERROR_BUSY;
    case UsbResult::Timeout: return USBIO_ERR_TIMEOUT;
    case UsbResult::Overflow: return USBIO_ERR_DATA_OVERRUN;
    case UsbResult::Stall: return USBIO_ERR_STALL_PID;
    case UsbResult::Interrupted: return USBIO_ERR_CANCELED;
    case UsbResult::NoMem: return USBIO_ERR_OUT_OF_MEMORY;
    case UsbResult::NotSupported: return USBIO_ERR_CONTROL_NOT_SUPPORTED;
    case UsbResult::Cancelled: return ERROR_OPERATION_ABORTED;
    case UsbResult::Other: break;
    }
    return USBIO_ERR_FAILED;
}

// Where an outcome says something more precise for one request.
const Override kOverrides[] = {
    // A transfer that fails on the bus is the host controller's "no answer" (libusb folds
    // CRC, bit-stuffing and handshake time-outs into one outcome).
    {UsbResult::Io, UsbOperation::Transfer, USBIO_ERR_DEV_NOT_RESPONDING},
    {UsbResult::NotSupported, UsbOperation::Transfer, USBIO_ERR_INVALID_TYPE},
    {UsbResult::NotFound, UsbOperation::Bind, USBIO_ERR_PIPE_NOT_FOUND},
    {UsbResult::NotFound, UsbOperation::Transfer, USBIO_ERR_PIPE_NOT_FOUND},
    {UsbResult::NotFound, UsbOperation::SetConfiguration, USBIO_ERR_INTERFACE_NOT_FOUND},
    {UsbResult::Stall, UsbOperation::SetConfiguration, USBIO_ERR_SET_CONFIG_FAILED},
    {UsbResult::Io, UsbOperation::SetConfiguration, USBIO_ERR_SET_CONFIG_FAILED},
    {UsbResult::Busy, UsbOperation::SetConfiguration, USBIO_ERR_ALREADY_CONFIGURED},
    {UsbResult::Io, UsbOperation::GetDescriptor, USBIO_ERR_DEV_NOT_RESPONDING},
    {UsbResult::NotFound, UsbOperation::GetDescriptor, USBIO_ERR_STALL_PID},
    {UsbResult::Access, UsbOperation::Open, ERROR_ACCESS_DENIED},
    {UsbResult::Busy, UsbOperation::Open, ERROR_SHARING_VIOLATION},
};

}  // namespace

DWORD StatusFromResult(UsbResult result, UsbOperation operation) {
    for (const Override& entry : kOverrides)
        if (entry.result == result && entry.operation == operation)
            return entry.status;
    return GeneralStatus(result);
}

}  // namespace usbio
}  // namespace win32
