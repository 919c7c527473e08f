// The USBIO device family: what a backend provides, in the form the HID family states its
// own (hid/backend.h): an abstract backend class, one file per backend kind (libusb for real
// devices, a virtual one for termsim's) and the table of backends in backends.cpp.
//
// usbio/driver.cpp plays the USBIO driver (usbio_api.h) for the code above: it keeps the
// state a driver keeps per device (configuration, claimed interfaces, bound pipes) and turns
// DeviceIoControl, ReadFile and WriteFile into calls on a UsbDevice. Where a device comes
// from is a backend's business.
//
// A backend
//  - enumerate(): appends the devices it can open now, in a stable order (bus order for
//    real devices), each with an interface path that is unique across backends, stays the
//    same while the device stays plugged in, and is claimed by this backend alone. A device
//    the process cannot open is left out, as Windows leaves out a device that is not
//    installed under the driver;
//  - open(path): a UsbDevice, or NULL with the result saying why (NotFound, NoDevice,
//    Access ...). The driver opens each device once and shares the object between all
//    handles to it.
//
// A UsbDevice
//  - answers descriptor requests and configures itself synchronously. Configuration values
//    are bConfigurationValue; claimInterface detaches a kernel driver bound to the
//    interface and releaseInterface gives it back;
//  - runs bulk and interrupt transfers asynchronously: submit() returns at once; the
//    transfer's complete() runs exactly once, on the backend's event thread, never inside
//    submit() or cancel(), with the outcome and the bytes moved (a cancelled transfer reports
//    what had moved before the cancel). cancel() asks for an early end and returns without
//    waiting; the transfer then completes with Cancelled, or with its own outcome when it
//    had finished first. After complete() has returned the backend does not touch the
//    transfer or its buffer again. The driver checks this at run time: a second completion,
//    a completion inside submit() or cancel(), or a cancel of a transfer that is not in
//    flight breaks the contract (internal/contract.h);
//  - once unplugged, completes every pending transfer with NoDevice and fails every later
//    call with NoDevice; a backend that notices the loss on its own, with nothing in
//    flight, says so through the lost handler, from its own thread.
//
// Outcomes are UsbResult values, libusb's outcomes; usbio/status.h turns them into the
// driver's status codes.
#pragma once

#include <windows.h>

#include "usbio_api.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace win32 {
namespace usbio {

enum class UsbResult {
    Success,
    Io,            // the bus or the device failed the request (CRC, no handshake ...)
    InvalidParam,  // the request cannot be made as asked
    Access,        // the process may not use the device
    NoDevice,      // the device is gone
    NotFound,      // no such configuration, interface, endpoint or descriptor
    Busy,          // another program holds the interface
    Timeout,
    Overflow,  // the device sent more than was asked for
    Stall,     // the endpoint answered STALL or is halted
    Interrupted,
    NoMem,
    NotSupported,
    Cancelled,
    Other,
};

// One transfer on a bulk or interrupt endpoint. The submitter owns it and keeps it and its
// buffer alive until complete() has run.
class UsbTransfer {
public:
    virtual ~UsbTransfer() = default;
    virtual void complete(UsbResult result, DWORD dwTransferred) = 0;

    BYTE endpoint = 0;                  // bit 7 set: IN
    DWORD type = USBIO_PIPE_TYPE_BULK;  // or USBIO_PIPE_TYPE_INTERRUPT
    BYTE* buffer = nullptr;
    DWORD length = 0;
    void* backendData = nullptr;  // the backend's, while submitted
};

class UsbDevice {
public:
    virtual ~UsbDevice() = default;

    // What the driver reports of itself for this device; InterfaceVersion is the one the
    // driver speaks (USBIO_INTERFACE_VERSION unless a virtual device plays another one).
    virtual UsbResult driverInfo(USBIO_DRIVER_INFO& info) = 0;
    // GET_DESCRIPTOR on the control endpoint; recipient is USBIO_RECIPIENT_*. Up to `size`
    // bytes, `got` says how many came.
    virtual UsbResult getDescriptor(BYTE recipient, BYTE type, BYTE index, WORD language, BYTE* buffer,
                                    DWORD size, DWORD& got) = 0;
    virtual UsbResult setConfiguration(BYTE value) = 0;
    virtual UsbResult claimInterface(BYTE number) = 0;
    virtual UsbResult releaseInterface(BYTE number) = 0;
    virtual UsbResult setAlternateSetting(BYTE number, BYTE alternate) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT) to the endpoint, which also resets its data toggle.
    virtual UsbResult clearHalt(BYTE endpoint) = 0;

    virtual UsbResult submit(UsbTransfer* transfer) = 0;
    virtual void cancel(UsbTransfer* transfer) = 0;

    // Set once by the driver, before any transfer; a backend that never notices a loss on
    // its own ignores it.
    virtual void setLostHandler(std::function<void()> handler) { (void)handler; }
};

struct UsbDeviceEntry {
    std::string path;  // "\\?\usb#vid_1209&pid_0001#..." as SetupAPI lists it
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual const char* name() const = 0;
    virtual void enumerate(std::vector<UsbDeviceEntry>& devices) = 0;
    // Every device present, also those enumerate() leaves out because the process may not
    // open them (Windows' list of all USB devices, whatever their driver).
    virtual void enumeratePresent(std::vector<UsbDeviceEntry>& devices) { enumerate(devices); }
    virtual bool claims(const std::string& path) const = 0;
    virtual std::shared_ptr<UsbDevice> open(const std::string& path, UsbResult& result) = 0;
};

// The backends in the order their devices are listed (backends.cpp).
const std::vector<UsbBackend*>& UsbBackends();

// The backends themselves (libusb_backend.cpp, virtual_backend.cpp).
UsbBackend& LibusbBackendInstance();
UsbBackend& VirtualUsbBackendInstance();

// The interface path of a device, in the form Windows gives device interfaces:
// "\\?\<bus>#vid_vvvv&pid_pppp#<instance>#{interface guid}", lower case.
std::string MakeInterfacePath(const char* pszBus, WORD wVendor, WORD wProduct, const std::string& instance);

}  // namespace usbio
}  // namespace win32
