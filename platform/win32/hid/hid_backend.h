// What a HID backend provides, stated once for every backend of the family, as libusbi.h
// states it for libusb's. The backends are listed in one table (HidBackends, below), real
// devices first; the HidD_* functions and setupapi see only this interface.
//
// A backend provides:
//  - enumerate: the devices present now, each with its identity (vendor, product, version,
//    the three strings) and its report descriptor, read without opening the device where
//    the system allows (sysfs), so that enumeration needs no access rights to the nodes;
//  - open: a connection to one device, which is a non-blocking descriptor carrying whole
//    reports in hidraw form (a numbered report starts with its ID; an unnumbered one is
//    the data alone), with ReceiveReport / SendReport on it. The family turns reports into
//    the Windows form (lengths of HidP_GetCaps, a 0 in front of unnumbered reports);
//  - startMonitor: reports arrivals and removals of its devices to the sink from then on,
//    watching its own descriptor on the family's poll loop. Called at every registration
//    for notifications: a backend starts its monitor once, or again when the one it had
//    has lost its source (a virtual device server that went away or was replaced).
//
// Failures are errno values at this edge; the family maps them once (internal/errno_map.h).
// A connection whose descriptor reports POLLHUP or POLLERR, or whose transfer fails with
// ENODEV, has lost its device: the family then fails every pending request
// (internal/request_engine.h, rule 5).
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace win32 {

class PollLoop;

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
    const struct HidBackend* backend = nullptr;
};

class HidConnection {
public:
    virtual ~HidConnection() = default;
    // Non-blocking, close-on-exec; owned by the connection.
    virtual int Descriptor() const = 0;
    // One report into pReport: its length; 0 for a message that was no report (consumed);
    // -1 with errno set (EAGAIN: nothing to read now).
    virtual ssize_t ReceiveReport(uint8_t* pReport, size_t cbReport) = 0;
    // One whole report: its length, or -1 with errno set (EAGAIN: try again on POLLOUT).
    virtual ssize_t SendReport(const uint8_t* pReport, size_t cbReport) = 0;
};

class HidDeviceSink {
public:
    virtual ~HidDeviceSink() = default;
    // A device present when the monitor started: no arrival, but its removal is reported.
    virtual void HidDevicePresent(const struct HidBackend& backend, const HidDeviceRecord& device) = 0;
    virtual void HidDeviceArrived(const struct HidBackend& backend, const HidDeviceRecord& device) = 0;
    virtual void HidDeviceRemoved(const struct HidBackend& backend, const std::string& instance) = 0;
};

struct HidBackend {
    const char* name;  // "hidraw", "virtual"
    void (*enumerate)(std::vector<HidDeviceRecord>* pDevices);
    // A connection, or empty with errno set (ENOENT: gone; EACCES: no access).
    std::unique_ptr<HidConnection> (*open)(const HidDeviceRecord& device);
    void (*startMonitor)(PollLoop& loop, HidDeviceSink& sink);
};

// The backends, in enumeration order; *pnCount receives their number.
const HidBackend* const* HidBackends(size_t* pnCount);

// The backends themselves (hid/hidraw_backend.cpp, hid/virtual_hid_backend.cpp).
extern const HidBackend kHidrawBackend;
extern const HidBackend kVirtualHidBackend;

}  // namespace win32
