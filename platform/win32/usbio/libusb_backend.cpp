// The real USBIO backend: USB devices through libusb (usbfs underneath).
//
// One libusb context for the process; its event thread starts with the first device opened
// and completes every transfer. Paths carry the bus and port chain ("1-1.4"), which stay
// the same while the device stays in its socket.
#include "usbio/backend.h"

#include <libusb.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace win32 {
namespace usbio {

namespace {

const char kBusName[] = "usb";
const unsigned kControlTimeoutMs = 5000;
const BYTE kHubClass = 0x09;

// libusb's outcomes at the edge of the backend: a libusb_error (or a count, which is
// success) and a libusb_transfer_status.
UsbResult ResultFromLibusbError(int nError) {
    switch (nError) {
    case LIBUSB_SUCCESS: return UsbResult::Success;
    case LIBUSB_ERROR_IO: return UsbResult::Io;
    case LIBUSB_ERROR_INVALID_PARAM: return UsbResult::InvalidParam;
    case LIBUSB_ERROR_ACCESS: return UsbResult::Access;
    case LIBUSB_ERROR_NO_DEVICE: return UsbResult::NoDevice;
    case LIBUSB_ERROR_NOT_FOUND: return UsbResult::NotFound;
    case LIBUSB_ERROR_BUSY: return UsbResult::Busy;
    case LIBUSB_ERROR_TIMEOUT: return UsbResult::Timeout;
    case LIBUSB_ERROR_OVERFLOW: return UsbResult::Overflow;
    case LIBUSB_ERROR_PIPE: return UsbResult::Stall;
    case LIBUSB_ERROR_INTERRUPTED: return UsbResult::Interrupted;
    case LIBUSB_ERROR_NO_MEM: return UsbResult::NoMem;
    case LIBUSB_ERROR_NOT_SUPPORTED: return UsbResult::NotSupported;
    default: return nError > 0 ? UsbResult::Success : UsbResult::Other;
    }
}

UsbResult ResultFromTransferStatus(int nStatus) {
    switch (nStatus) {
    case LIBUSB_TRANSFER_COMPLETED: return UsbResult::Success;
    case LIBUSB_TRANSFER_ERROR: return UsbResult::Io;
    case LIBUSB_TRANSFER_TIMED_OUT: return UsbResult::Timeout;
    case LIBUSB_TRANSFER_CANCELLED: return UsbResult::Cancelled;
    case LIBUSB_TRANSFER_STALL: return UsbResult::Stall;
    case LIBUSB_TRANSFER_NO_DEVICE: return UsbResult::NoDevice;
    case LIBUSB_TRANSFER_OVERFLOW: return UsbResult::Overflow;
    default: return UsbResult::Other;
    }
}

// Serialises cancel() against the completion that frees a libusb transfer.
std::mutex g_transferMutex;

class LibusbContext {
public:
    static LibusbContext& instance() {
        // Never destroyed: the event thread may still sit in libusb when the process ends.
        static LibusbContext* context = new LibusbContext;
        return *context;
    }

    libusb_context* get() { return m_context; }

    void startEvents() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_eventsStarted || !m_context)
            return;
        m_eventsStarted = true;
        std::thread([this] {
            for (;;)
                libusb_handle_events_completed(m_context, nullptr);
        }).detach();
    }

private:
    LibusbContext() {
        if (libusb_init(&m_context) != 0)
            m_context = nullptr;
    }

    libusb_context* m_context = nullptr;
    std::mutex m_mutex;
    bool m_eventsStarted = false;
};

std::string PortChain(libusb_device* device) {
    uint8_t ports[8];
    const int count = libusb_get_port_numbers(device, ports, sizeof(ports));
    char text[64];
    int used = snprintf(text, sizeof(text), "%u", (unsigned)libusb_get_bus_number(device));
    for (int i = 0; i < count && used < (int)sizeof(text); ++i)
        used += snprintf(text + used, sizeof(text) - used, "%c%u", i == 0 ? '-' : '.', (unsigned)ports[i]);
    if (count <= 0)  // a root hub, or no port information: the address keeps it unique
        snprintf(text + used, sizeof(text) - (size_t)used, "-a%u",
                 (unsigned)libusb_get_device_address(device));
    return text;
}

struct Candidate {
    libusb_device* device;
    uint8_t bus;
    std::vector<uint8_t> ports;
    std::string path;
};

// Devices worth listing, in bus order. Each carries a reference; ReleaseCandidates drops them.
std::vector<Candidate> ListCandidates(libusb_context* context) {
    std::vector<Candidate> candidates;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 || descriptor.bDeviceClass == kHubClass)
            continue;
        Candidate candidate;
        candidate.device = libusb_ref_device(list[i]);
        candidate.bus = libusb_get_bus_number(list[i]);
        uint8_t ports[8];
        const int nPorts = libusb_get_port_numbers(list[i], ports, sizeof(ports));
        if (nPorts > 0)
            candidate.ports.assign(ports, ports + nPorts);
        candidate.path =
            MakeInterfacePath(kBusName, descriptor.idVendor, descriptor.idProduct, PortChain(list[i]));
        candidates.push_back(candidate);
    }
    if (list)
        libusb_free_device_list(list, 1);
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });
    return candidates;
}

void ReleaseCandidates(std::vector<Candidate>& candidates) {
    for (Candidate& candidate : candidates)
        libusb_unref_device(candidate.device);
    candidates.clear();
}

class LibusbDevice;

// The devices open in this process. The driver gives a device's interfaces back when its
// last handle closes; a process that ends with the link open (keyprobe does) gets them
// back here, at its exit, so that a kernel driver detached at open is bound again instead
// of staying away until the device is replugged.
class OpenDevices {
public:
    static OpenDevices& instance() {
        static OpenDevices* devices = new OpenDevices;  // still there when exit handlers run
        return *devices;
    }
    void add(LibusbDevice* device) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.push_back(device);
        if (!m_bAtExit)
            m_bAtExit = atexit(GiveBackAtExit) == 0;
    }
    void remove(LibusbDevice* device) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.erase(std::find(m_devices.begin(), m_devices.end(), device));
    }

private:
    static void GiveBackAtExit();

    std::mutex m_mutex;
    std::vector<LibusbDevice*> m_devices;
    bool m_bAtExit = false;
};

class LibusbDevice : public UsbDevice {
public:
    explicit LibusbDevice(libusb_device_handle* handle) : m_handle(handle) {
        OpenDevices::instance().add(this);
    }

    ~LibusbDevice() override {
        OpenDevices::instance().remove(this);
        releaseAll();
        libusb_close(m_handle);
    }

    void releaseAll() {
        for (int number = 0; number < 256; ++number)
            releaseInterface((BYTE)number);
    }

    UsbResult driverInfo(USBIO_DRIVER_INFO& info) override {
        memset(&info, 0, sizeof(info));
        info.InterfaceVersion = USBIO_INTERFACE_VERSION;
        info.DriverVersion = USBIO_INTERFACE_VERSION;
        info.DriverBuild = 1;
        const int speed = libusb_get_device_speed(libusb_get_device(m_handle));
        if (speed == LIBUSB_SPEED_HIGH)
            info.Flags |= USBIO_INFOFLAG_HIGH_SPEED;
        else if (speed > LIBUSB_SPEED_HIGH)
            info.Flags |= USBIO_INFOFLAG_SUPER_SPEED;
        return UsbResult::Success;
    }

    UsbResult getDescriptor(BYTE recipient, BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD size,
                            DWORD& got) override {
        got = 0;
        if (recipient == USBIO_RECIPIENT_DEVICE && type == USBIO_DESCRIPTOR_TYPE_DEVICE && index == 0) {
            // The kernel keeps the device descriptor; asking the device again gains nothing.
            BYTE raw[USBIO_DEVICE_DESCRIPTOR_SIZE];
            const UsbResult result = cachedDeviceDescriptor(raw);
            if (result != UsbResult::Success)
                return result;
            got = std::min<DWORD>(size, sizeof(raw));
            memcpy(buffer, raw, got);
            return UsbResult::Success;
        }
        const uint16_t length = (uint16_t)std::min<DWORD>(size, 0xFFFF);
        const int n = libusb_control_transfer(m_handle, (uint8_t)(LIBUSB_ENDPOINT_IN | recipient),
                                              LIBUSB_REQUEST_GET_DESCRIPTOR, (uint16_t)((type << 8) | index),
                                              language, buffer, length, kControlTimeoutMs);
        if (n < 0)
            return ResultFromLibusbError(n);
        got = (DWORD)n;
        return UsbResult::Success;
    }

    UsbResult setConfiguration(BYTE value) override {
        int active = -1;
        if (libusb_get_configuration(m_handle, &active) == 0 && active == value)
            return UsbResult::Success;  // setting it again would reset endpoints others use
        return ResultFromLibusbError(libusb_set_configuration(m_handle, value));
    }

    UsbResult claimInterface(BYTE number) override {
        std::lock_guard<std::mutex> lock(m_claimMutex);
        if (m_claimed[number])
            return UsbResult::Success;
        if (libusb_kernel_driver_active(m_handle, number) == 1) {
            const int rc = libusb_detach_kernel_driver(m_handle, number);
            if (rc != 0 && rc != LIBUSB_ERROR_NOT_FOUND)
                return ResultFromLibusbError(rc);
            m_detached[number] = rc == 0;
        }
        const int rc = libusb_claim_interface(m_handle, number);
        if (rc != 0) {
            giveBack(number);
            return ResultFromLibusbError(rc);
        }
        m_claimed[number] = true;
        return UsbResult::Success;
    }

    UsbResult releaseInterface(BYTE number) override {
        std::lock_guard<std::mutex> lock(m_claimMutex);
        if (!m_claimed[number])
            return UsbResult::Success;
        m_claimed[number] = false;
        const int rc = libusb_release_interface(m_handle, number);
        giveBack(number);
        return rc == LIBUSB_ERROR_NO_DEVICE ? UsbResult::Success : ResultFromLibusbError(rc);
    }

    UsbResult setAlternateSetting(BYTE number, BYTE alternate) override {
        return ResultFromLibusbError(libusb_set_interface_alt_setting(m_handle, number, alternate));
    }

    UsbResult clearHalt(BYTE endpoint) override {
        return ResultFromLibusbError(libusb_clear_halt(m_handle, endpoint));
    }

    UsbResult submit(UsbTransfer* transfer) override {
        libusb_transfer* lt = libusb_alloc_transfer(0);
        if (!lt)
            return UsbResult::NoMem;
        const bool interrupt = transfer->type == USBIO_PIPE_TYPE_INTERRUPT;
        if (interrupt)
            libusb_fill_interrupt_transfer(lt, m_handle, transfer->endpoint, transfer->buffer,
                                           (int)transfer->length, OnTransferDone, transfer, 0);
        else
            libusb_fill_bulk_transfer(lt, m_handle, transfer->endpoint, transfer->buffer,
                                      (int)transfer->length, OnTransferDone, transfer, 0);
        std::lock_guard<std::mutex> lock(g_transferMutex);
        transfer->backendData = lt;
        const int rc = libusb_submit_transfer(lt);
        if (rc != 0) {
            transfer->backendData = nullptr;
            libusb_free_transfer(lt);
            return ResultFromLibusbError(rc);
        }
        return UsbResult::Success;
    }

    void cancel(UsbTransfer* transfer) override {
        std::lock_guard<std::mutex> lock(g_transferMutex);
        if (transfer->backendData)
            libusb_cancel_transfer(static_cast<libusb_transfer*>(transfer->backendData));
    }

private:
    static void LIBUSB_CALL OnTransferDone(libusb_transfer* lt) {
        UsbTransfer* transfer = static_cast<UsbTransfer*>(lt->user_data);
        const UsbResult result = ResultFromTransferStatus(lt->status);
        const DWORD dwTransferred = lt->actual_length > 0 ? (DWORD)lt->actual_length : 0;
        {
            std::lock_guard<std::mutex> lock(g_transferMutex);
            transfer->backendData = nullptr;
        }
        libusb_free_transfer(lt);
        transfer->complete(result, dwTransferred);
    }

    UsbResult cachedDeviceDescriptor(BYTE* raw) {
        libusb_device_descriptor d;
        const int rc = libusb_get_device_descriptor(libusb_get_device(m_handle), &d);
        if (rc != 0)
            return ResultFromLibusbError(rc);
        const uint16_t words[] = {d.bcdUSB, d.idVendor, d.idProduct, d.bcdDevice};
        raw[0] = d.bLength;
        raw[1] = d.bDescriptorType;
        raw[2] = (BYTE)words[0];
        raw[3] = (BYTE)(words[0] >> 8);
        raw[4] = d.bDeviceClass;
        raw[5] = d.bDeviceSubClass;
        raw[6] = d.bDeviceProtocol;
        raw[7] = d.bMaxPacketSize0;
        for (int i = 1; i < 4; ++i) {
            raw[6 + 2 * i] = (BYTE)words[i];
            raw[7 + 2 * i] = (BYTE)(words[i] >> 8);
        }
        raw[14] = d.iManufacturer;
        raw[15] = d.iProduct;
        raw[16] = d.iSerialNumber;
        raw[17] = d.bNumConfigurations;
        return UsbResult::Success;
    }

    void giveBack(BYTE number) {
        if (m_detached[number]) {
            libusb_attach_kernel_driver(m_handle, number);
            m_detached[number] = false;
        }
    }

    libusb_device_handle* const m_handle;
    std::mutex m_claimMutex;  // the driver's requests, and the exit handler on any thread
    bool m_claimed[256] = {};
    bool m_detached[256] = {};
};

void OpenDevices::GiveBackAtExit() {
    OpenDevices& devices = instance();
    std::lock_guard<std::mutex> lock(devices.m_mutex);
    for (LibusbDevice* device : devices.m_devices)
        device->releaseAll();
}

const char kUsbfsRoot[] = "/dev/bus/usb";

class LibusbBackend : public UsbBackend {
    void List(std::vector<UsbDeviceEntry>& devices, bool bInaccessibleToo) {
        // Without usbfs nodes nothing below could be listed. Starting libusb anyway (its
        // hot-plug thread, a filtered netlink socket, a scan of sysfs) would cost every
        // process on a machine without USB buses, such as a virtual machine serving
        // termsim's devices, milliseconds of CPU for nothing.
        if (!bInaccessibleToo && access(kUsbfsRoot, X_OK) != 0)
            return;
        libusb_context* context = LibusbContext::instance().get();
        if (!context)
            return;
        std::vector<Candidate> candidates = ListCandidates(context);
        for (const Candidate& candidate : candidates) {
            // Asked of the device node rather than by opening it: opening wakes a suspended
            // device, and listing should not. One we may not use is left out, as Windows
            // leaves out a device installed under another driver.
            char node[64];
            snprintf(node, sizeof(node), "%s/%03u/%03u", kUsbfsRoot, (unsigned)candidate.bus,
                     (unsigned)libusb_get_device_address(candidate.device));
            if (!bInaccessibleToo && access(node, R_OK | W_OK) != 0)
                continue;
            devices.push_back(UsbDeviceEntry{candidate.path});
        }
        ReleaseCandidates(candidates);
    }

public:
    const char* name() const override { return "libusb"; }

    void enumerate(std::vector<UsbDeviceEntry>& devices) override { List(devices, false); }
    void enumeratePresent(std::vector<UsbDeviceEntry>& devices) override { List(devices, true); }

    bool claims(const std::string& path) const override {
        static const std::string prefix = std::string("\\\\?\\") + kBusName + "#";
        return path.size() > prefix.size() && strncasecmp(path.c_str(), prefix.c_str(), prefix.size()) == 0;
    }

    std::shared_ptr<UsbDevice> open(const std::string& path, UsbResult& result) override {
        LibusbContext& context = LibusbContext::instance();
        result = UsbResult::NotFound;
        if (!context.get())
            return nullptr;
        std::vector<Candidate> candidates = ListCandidates(context.get());
        std::shared_ptr<UsbDevice> device;
        for (const Candidate& candidate : candidates) {
            if (strcasecmp(candidate.path.c_str(), path.c_str()) != 0)
                continue;
            libusb_device_handle* handle = nullptr;
            const int rc = libusb_open(candidate.device, &handle);
            if (rc != 0) {
                result = ResultFromLibusbError(rc);
                break;
            }
            device = std::make_shared<LibusbDevice>(handle);
            result = UsbResult::Success;
            break;
        }
        ReleaseCandidates(candidates);
        if (device)
            context.startEvents();
        return device;
    }
};

}  // namespace

UsbBackend& LibusbBackendInstance() {
    static LibusbBackend backend;
    return backend;
}

}  // namespace usbio
}  // namespace win32
