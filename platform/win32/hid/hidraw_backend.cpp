// Real HID devices through the kernel's hidraw nodes. Identity, strings and the report
// descriptor come from sysfs through libudev (the hid parent of the hidraw node, and the
// usb_device above it for the strings), as hidapi reads them: that needs no access to the
// node and works under umockdev. The hidraw ioctls serve only when sysfs has no descriptor.
#include <errno.h>
#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <mutex>

#include "hid/backend.h"
#include "internal/poll_loop.h"

namespace win32 {

namespace {

std::wstring FromUtf8(const char* psz) {
    std::wstring text;
    if (!psz)
        return text;
    const size_t cb = strlen(psz);
    for (size_t i = 0; i < cb;) {
        const unsigned char c = (unsigned char)psz[i];
        size_t n = c < 0x80             ? 1
                   : (c & 0xE0) == 0xC0 ? 2
                   : (c & 0xF0) == 0xE0 ? 3
                   : (c & 0xF8) == 0xF0 ? 4
                                        : 0;
        if (n == 0 || i + n > cb) {
            text += (wchar_t)0xFFFD;
            ++i;
            continue;
        }
        uint32_t code = n == 1 ? c : c & (0x7F >> n);
        for (size_t k = 1; k < n; ++k)
            code = (code << 6) | ((unsigned char)psz[i + k] & 0x3F);
        text += (wchar_t)code;
        i += n;
    }
    return text;
}

// A sysfs attribute holding binary data (the report descriptor may contain NUL bytes,
// which udev_device_get_sysattr_value cannot carry).
bool ReadBinaryAttribute(udev_device* device, const char* pszName, std::vector<uint8_t>* pData) {
    const char* pszSyspath = udev_device_get_syspath(device);
    if (!pszSyspath)
        return false;
    const std::string path = std::string(pszSyspath) + "/" + pszName;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    uint8_t buffer[HID_MAX_DESCRIPTOR_SIZE];
    size_t cbTotal = 0;
    for (;;) {
        const ssize_t cb = read(fd, buffer + cbTotal, sizeof(buffer) - cbTotal);
        if (cb < 0 && errno == EINTR)
            continue;
        if (cb <= 0)
            break;
        cbTotal += (size_t)cb;
        if (cbTotal == sizeof(buffer))
            break;
    }
    close(fd);
    pData->assign(buffer, buffer + cbTotal);
    return cbTotal > 0;
}

// The descriptor from the node itself, when sysfs has none (needs access to the node).
bool ReadDescriptorByIoctl(const char* pszNode, std::vector<uint8_t>* pData) {
    const int fd = open(pszNode, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int nSize = 0;
    bool bOk = false;
    hidraw_report_descriptor descriptor;
    if (ioctl(fd, HIDIOCGRDESCSIZE, &nSize) == 0 && nSize > 0 && nSize <= HID_MAX_DESCRIPTOR_SIZE) {
        descriptor.size = (uint32_t)nSize;
        if (ioctl(fd, HIDIOCGRDESC, &descriptor) == 0) {
            pData->assign(descriptor.value, descriptor.value + nSize);
            bOk = true;
        }
    }
    close(fd);
    return bOk;
}

// HID_ID is "bus:vendor:product" in hex, e.g. "0003:00001209:00000001".
bool ParseHidId(const char* pszId, uint16_t* pVendor, uint16_t* pProduct) {
    unsigned bus = 0, vendor = 0, product = 0;
    if (!pszId || sscanf(pszId, "%x:%x:%x", &bus, &vendor, &product) != 3)
        return false;
    *pVendor = (uint16_t)vendor;
    *pProduct = (uint16_t)product;
    return true;
}

bool RecordOf(udev_device* hidraw, HidDeviceRecord* pDevice) {
    const char* pszNode = udev_device_get_devnode(hidraw);
    const char* pszName = udev_device_get_sysname(hidraw);
    if (!pszNode || !pszName)
        return false;
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", NULL);
    if (!hid)
        return false;
    pDevice->instance = pszName;
    pDevice->location = pszNode;
    if (!ParseHidId(udev_device_get_property_value(hid, "HID_ID"), &pDevice->vendorId, &pDevice->productId))
        return false;
    if (!ReadBinaryAttribute(hid, "report_descriptor", &pDevice->reportDescriptor) &&
        !ReadDescriptorByIoctl(pszNode, &pDevice->reportDescriptor))
        return false;
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
    if (usb) {
        pDevice->manufacturer = FromUtf8(udev_device_get_sysattr_value(usb, "manufacturer"));
        pDevice->product = FromUtf8(udev_device_get_sysattr_value(usb, "product"));
        pDevice->serialNumber = FromUtf8(udev_device_get_sysattr_value(usb, "serial"));
        if (const char* pszVersion = udev_device_get_sysattr_value(usb, "bcdDevice"))
            pDevice->versionNumber = (uint16_t)strtoul(pszVersion, nullptr, 16);
    } else {
        // Not on USB (Bluetooth, I2C): the hid device's own name and unique ID.
        pDevice->product = FromUtf8(udev_device_get_property_value(hid, "HID_NAME"));
        pDevice->serialNumber = FromUtf8(udev_device_get_property_value(hid, "HID_UNIQ"));
    }
    return true;
}

void Enumerate(std::vector<HidDeviceRecord>& devices) {
    udev* context = udev_new();
    if (!context)
        return;
    udev_enumerate* enumerate = udev_enumerate_new(context);
    udev_enumerate_add_match_subsystem(enumerate, "hidraw");
    udev_enumerate_scan_devices(enumerate);
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        udev_device* hidraw = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
        if (!hidraw)
            continue;
        HidDeviceRecord device;
        if (RecordOf(hidraw, &device))
            devices.push_back(std::move(device));
        udev_device_unref(hidraw);
    }
    udev_enumerate_unref(enumerate);
    udev_unref(context);
}

class HidrawConnection : public HidConnection {
public:
    explicit HidrawConnection(int fd) : m_fd(fd) {}
    ~HidrawConnection() override { close(m_fd); }
    int descriptor() const override { return m_fd; }

    ssize_t receiveReport(uint8_t* pReport, size_t cbReport) override {
        ssize_t cb;
        do {
            cb = read(m_fd, pReport, cbReport);
        } while (cb < 0 && errno == EINTR);
        return cb;
    }

    ssize_t sendReport(const uint8_t* pReport, size_t cbReport) override {
        ssize_t cb;
        do {
            cb = write(m_fd, pReport, cbReport);
        } while (cb < 0 && errno == EINTR);
        return cb;
    }

private:
    const int m_fd;
};

std::unique_ptr<HidConnection> Open(const HidDeviceRecord& device) {
    const int fd = open(device.location.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<HidConnection>(new HidrawConnection(fd));
}

// udev's add and remove events of hidraw nodes, on the family's poll loop.
class Monitor {
public:
    Monitor(PollLoop& loop, HidDeviceSink& sink) : m_loop(loop), m_sink(sink) {}

    bool Start() {
        m_udev = udev_new();
        if (!m_udev)
            return false;
        m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
        if (!m_monitor)
            return false;
        udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", NULL);
        if (udev_monitor_enable_receiving(m_monitor) < 0)
            return false;
        const int fd = udev_monitor_get_fd(m_monitor);
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        m_pollId = m_loop.Watch(fd, POLLIN, [this](short revents) { OnPoll(revents); });
        return m_pollId != 0;
    }

private:
    void OnPoll(short revents) {
        if (revents & (POLLERR | POLLNVAL | POLLHUP)) {
            m_loop.Unwatch(m_pollId);
            return;
        }
        while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
            const char* pszAction = udev_device_get_action(device);
            const char* pszName = udev_device_get_sysname(device);
            if (pszAction && pszName) {
                if (strcmp(pszAction, "add") == 0) {
                    HidDeviceRecord record;
                    if (RecordOf(device, &record))
                        m_sink.deviceArrived(HidrawBackendInstance(), record);
                } else if (strcmp(pszAction, "remove") == 0) {
                    m_sink.deviceRemoved(HidrawBackendInstance(), pszName);
                }
            }
            udev_device_unref(device);
        }
    }

    PollLoop& m_loop;
    HidDeviceSink& m_sink;
    udev* m_udev = nullptr;
    udev_monitor* m_monitor = nullptr;
    uint64_t m_pollId = 0;
};

void StartMonitor(PollLoop& loop, HidDeviceSink& sink) {
    static std::once_flag once;
    std::call_once(once, [&] {
        // Monitor first, then the inventory: a device that arrives in between is reported
        // rather than missed.
        static Monitor* monitor = new Monitor(loop, sink);  // watches for the life of the process
        if (!monitor->Start()) {
            // Without udev (a container without netlink) arrivals and removals go
            // unreported; transfers on a lost device still fail at once through their own
            // descriptors.
            return;
        }
        std::vector<HidDeviceRecord> devices;
        Enumerate(devices);
        for (const HidDeviceRecord& device : devices)
            sink.devicePresent(HidrawBackendInstance(), device);
    });
}

class HidrawBackend : public HidBackend {
public:
    const char* name() const override { return "hidraw"; }
    void enumerate(std::vector<HidDeviceRecord>& devices) override { Enumerate(devices); }
    std::unique_ptr<HidConnection> open(const HidDeviceRecord& device) override { return Open(device); }
    void startMonitor(PollLoop& loop, HidDeviceSink& sink) override { StartMonitor(loop, sink); }
};

}  // namespace

HidBackend& HidrawBackendInstance() {
    static HidrawBackend backend;
    return backend;
}

}  // namespace win32
