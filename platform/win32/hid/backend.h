// The HID device family: what a backend provides. The USBIO family states its backends in
// the same form (usbio/backend.h): an abstract backend class, one file per backend kind (a
// real one over the system's interface, a virtual one for termsim's devices) and the table
// of backends in backends.cpp, real devices first. The HidD_* functions and setupapi see
// only this interface, through hid/hid_family.h.
//
// A HidBackend
//  - enumerate(): appends the devices present now, each with its identity (vendor, product,
//    version, the three strings) and its report descriptor, read without opening the device
//    where the system allows (sysfs), so that enumeration needs no access rights to the
//    nodes;
//  - open(device): a connection to one device, or NULL with errno set (ENOENT: gone;
//    EACCES: no access);
//  - startMonitor(loop, sink): reports arrivals and removals of its devices to the sink
//    from then on, watching its own descriptor on the family's poll loop. Called at every
//    registration for notifications: a backend starts its monitor once, or again when the
//    one it had has lost its source (a virtual device server that went away or was
//    replaced).
//
// A HidConnection is a non-blocking descriptor carrying whole reports in hidraw form (a
// numbered report starts with its ID; an unnumbered one is the data alone), with
// receiveReport / sendReport on it. A write is done when the device has taken the report:
// a hidraw write returns then; a virtual device says so later, and until it does (a real
// device NAKs a report it is not ready for) the family sends no further report. The family turns reports into the Windows form (lengths
// of HidP_GetCaps, a 0 in front of unnumbered reports) and completes the requests on its
// poll thread. A connection whose descriptor reports POLLHUP or POLLERR, or whose transfer
// fails as a lost device does (hid/status.h), has lost its device: the family then fails
// every pending request (internal/request_engine.h, rule 5).
//
// Failures are errno values at this edge; hid/status.h turns them into the errors the HID
// class driver gives, in one table.
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace win32 {

class PollLoop;
class HidBackend;

struct HidDeviceRecord {
    // Unique among the backend's devices and stable while the device is present (the
    // hidraw node's name, the virtual device's id). Part of the interface path.
    std::string instance;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
    std::wstring manufacturer;
    std::wstring product;
    std::wstring serialNumber;
    std::vector<uint8_t> reportDescriptor;
    // What the backend needs to open the device again: a device node, a device index.
    std::string location;
    // Filled by the family: "\\?\hid#vid_vvvv&pid_pppp#<backend>_<instance>#{hid guid}",
    // and the backend that listed the device.
    std::string interfacePath;
    HidBackend* backend = nullptr;
};

class HidConnection {
public:
    virtual ~HidConnection() = default;
    // Non-blocking, close-on-exec; owned by the connection.
    virtual int descriptor() const = 0;
    // One report into pReport: its length; 0 for a message that was no report (consumed);
    // -1 with errno set (EAGAIN: nothing to read now).
    virtual ssize_t receiveReport(uint8_t* pReport, size_t cbReport) = 0;
    // One whole report: its length once the device has taken it, or -1 with errno set
    // (EAGAIN: try again on POLLOUT; EINPROGRESS: sent, and outputTaken() tells, after a
    // later receiveReport, when the device has taken it).
    virtual ssize_t sendReport(const uint8_t* pReport, size_t cbReport) = 0;
    // After EINPROGRESS: whether the device has taken that report by now.
    virtual bool outputTaken() const { return true; }
    // The report in progress is no longer waited for (its write was cancelled); what the
    // device says about it later is passed over.
    virtual void abandonOutput() {}
};

class HidDeviceSink {
public:
    virtual ~HidDeviceSink() = default;
    // A device present when the monitor started: no arrival, but its removal is reported.
    virtual void devicePresent(const HidBackend& backend, const HidDeviceRecord& device) = 0;
    virtual void deviceArrived(const HidBackend& backend, const HidDeviceRecord& device) = 0;
    virtual void deviceRemoved(const HidBackend& backend, const std::string& instance) = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    virtual const char* name() const = 0;  // "hidraw", "virtual"
    virtual void enumerate(std::vector<HidDeviceRecord>& devices) = 0;
    virtual std::unique_ptr<HidConnection> open(const HidDeviceRecord& device) = 0;
    virtual void startMonitor(PollLoop& loop, HidDeviceSink& sink) = 0;
};

// The backends in the order their devices are listed (backends.cpp).
const std::vector<HidBackend*>& HidBackends();

// The backends themselves (hidraw_backend.cpp, virtual_backend.cpp).
HidBackend& HidrawBackendInstance();
HidBackend& VirtualHidBackendInstance();

}  // namespace win32
