// The USBIO driver's device interface (usbio_api.h) over the backends of usbio/backend.h.
//
// What Windows and the driver do, and this layer reproduces:
//  - every handle to a device shares the device's configuration: one handle configures,
//    others bind pipes, and closing the configuring handle leaves bound pipes working; the
//    claimed interfaces go back (with any kernel driver that was bound to them) when the
//    last handle to the device closes;
//  - a handle becomes a pipe with USBIO_IOCTL_BIND_PIPE; ReadFile and WriteFile on it are
//    transfers on that endpoint, overlapped (ERROR_IO_PENDING, then the OVERLAPPED's event)
//    or synchronous;
//  - CancelIo, the abort request and CloseHandle end the handle's pending transfers and
//    return only once each has completed (ERROR_OPERATION_ABORTED, with the bytes that
//    moved), so nothing touches the caller's buffer or OVERLAPPED afterwards: the request
//    engine's rules (internal/request_engine.h), the transfer lent to the backend meanwhile;
//  - an unplugged device fails its transfers and every later request with the driver's
//    USBIO_ERR_DEVICE_NOT_PRESENT, which is what USBIO callers test for, not with
//    ERROR_DEVICE_NOT_CONNECTED;
//  - the driver checks every request's buffer sizes before it looks at the device, and
//    reports failures with its own status codes through GetLastError (usbio/status.h).
#include "usbio/usbio.h"

#include "internal/device_namespace.h"
#include "internal/handle.h"
#include "internal/request_engine.h"
#include "usbio/backend.h"
#include "usbio/descriptors.h"
#include "usbio/status.h"

#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace win32 {
namespace usbio {

namespace {

const DWORD kPipeTypeMask = 0x03;

std::string Lower(std::string text) {
    for (char& c : text)
        c = (char)tolower((unsigned char)c);
    return text;
}

// The driver's state of one device, shared by every handle to it.
class DeviceState {
public:
    explicit DeviceState(std::shared_ptr<UsbDevice> device) : m_device(std::move(device)) {
        m_device->setLostHandler([this] { loseDevice(); });
    }
    ~DeviceState() { releaseClaims(); }

    UsbDevice& device() { return *m_device; }

    void addHandle(QueuedDevice* handle) {
        std::lock_guard<std::mutex> lock(m_handlesMutex);
        m_handles.push_back(handle);
    }
    void removeHandle(QueuedDevice* handle) {
        std::lock_guard<std::mutex> lock(m_handlesMutex);
        m_handles.erase(std::find(m_handles.begin(), m_handles.end(), handle));
    }

    // The device has gone: every handle to it fails what is pending and every later request
    // through the engine's one path (rule 5), and the next open of its path starts afresh.
    // Called with no queue lock held.
    void loseDevice() {
        m_lost = true;
        std::lock_guard<std::mutex> lock(m_handlesMutex);
        for (QueuedDevice* handle : m_handles)
            handle->Disconnect();
    }
    // A handle that learns of the loss under its own queue's lock marks it here and
    // disconnects itself; the others learn from their own next request or transfer.
    void markLost() { m_lost = true; }
    bool lost() const { return m_lost; }

    DWORD driverInfo(USBIO_DRIVER_INFO& info) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return StatusFromResult(m_device->driverInfo(info), UsbOperation::Open);
    }

    DWORD getDescriptor(const USBIO_DESCRIPTOR_REQUEST& request, BYTE* pOut, DWORD cbOut, DWORD& got) {
        std::lock_guard<std::mutex> lock(m_mutex);
        got = 0;
        const UsbResult result =
            m_device->getDescriptor((BYTE)request.Recipient, request.DescriptorType, request.DescriptorIndex,
                                    request.LanguageId, pOut, cbOut, got);
        return StatusFromResult(result, UsbOperation::GetDescriptor);
    }

    DWORD setConfiguration(const USBIO_SET_CONFIGURATION& request) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (request.NbOfInterfaces == 0 || request.NbOfInterfaces > USBIO_MAX_INTERFACES)
            return USBIO_ERR_INVALID_PARAM;
        ConfigurationDescription configuration;
        DWORD status = readConfiguration((BYTE)request.ConfigurationIndex, configuration);
        if (status != ERROR_SUCCESS)
            return status;
        for (WORD i = 0; i < request.NbOfInterfaces; ++i) {
            const USBIO_INTERFACE_SETTING& setting = request.InterfaceList[i];
            if (setting.InterfaceIndex > 0xFF || setting.AlternateSettingIndex > 0xFF ||
                !configuration.find((BYTE)setting.InterfaceIndex, (BYTE)setting.AlternateSettingIndex))
                return USBIO_ERR_INTERFACE_NOT_FOUND;
            for (WORD j = 0; j < i; ++j)
                if (request.InterfaceList[j].InterfaceIndex == setting.InterfaceIndex)
                    return USBIO_ERR_INVALID_PARAM;
        }
        // Configuring again as it stands changes nothing; pipes bound meanwhile stay usable.
        if (m_configured && sameRequest(request))
            return ERROR_SUCCESS;
        if (m_boundPipes > 0)
            return USBIO_ERR_OPEN_PIPES;
        releaseClaims();
        m_configured = false;
        memset(&m_info, 0, sizeof(m_info));

        UsbResult result = m_device->setConfiguration(configuration.value);
        for (WORD i = 0; i < request.NbOfInterfaces && result == UsbResult::Success; ++i) {
            const BYTE number = (BYTE)request.InterfaceList[i].InterfaceIndex;
            const BYTE alternate = (BYTE)request.InterfaceList[i].AlternateSettingIndex;
            result = m_device->claimInterface(number);
            if (result != UsbResult::Success)
                break;
            m_claimed.push_back(number);
            // A device with one setting may stall SET_INTERFACE; there is nothing to choose.
            if (alternate != 0 || configuration.alternates(number) > 1)
                result = m_device->setAlternateSetting(number, alternate);
        }
        if (result != UsbResult::Success) {
            releaseClaims();
            return StatusFromResult(result, UsbOperation::SetConfiguration);
        }
        describe(request, configuration);
        m_request = request;
        m_configured = true;
        return ERROR_SUCCESS;
    }

    DWORD configurationInfo(USBIO_CONFIGURATION_INFO& info) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_configured)
            return USBIO_ERR_NOT_CONFIGURED;
        info = m_info;
        return ERROR_SUCCESS;
    }

    // Finds the pipe for a bind and counts it; `type` is its transfer type.
    DWORD bindPipe(BYTE endpoint, DWORD& type) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_configured)
            return USBIO_ERR_NOT_CONFIGURED;
        if ((endpoint & 0x7F) == 0)
            return USBIO_ERR_INVALID_TYPE;  // the control pipe takes requests, not transfers
        for (DWORD i = 0; i < m_info.NbOfPipes; ++i) {
            const USBIO_PIPE_CONFIGURATION_INFO& pipe = m_info.PipeInfo[i];
            if (pipe.EndpointAddress != endpoint)
                continue;
            if (pipe.PipeType != USBIO_PIPE_TYPE_BULK && pipe.PipeType != USBIO_PIPE_TYPE_INTERRUPT)
                return USBIO_ERR_INVALID_TYPE;
            type = pipe.PipeType;
            ++m_boundPipes;
            return ERROR_SUCCESS;
        }
        return USBIO_ERR_PIPE_NOT_FOUND;
    }

    DWORD resetPipe(BYTE endpoint) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return StatusFromResult(m_device->clearHalt(endpoint), UsbOperation::ResetPipe);
    }

    void unbindPipe() {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_boundPipes;
    }

private:
    DWORD readConfiguration(BYTE index, ConfigurationDescription& configuration) {
        BYTE header[9];
        DWORD got = 0;
        UsbResult result =
            m_device->getDescriptor(USBIO_RECIPIENT_DEVICE, USBIO_DESCRIPTOR_TYPE_CONFIGURATION, index, 0,
                                    header, sizeof(header), got);
        if (result != UsbResult::Success)
            return StatusFromResult(result, UsbOperation::SetConfiguration);
        const WORD total = ConfigurationTotalLength(header, got);
        if (total < sizeof(header))
            return USBIO_ERR_SET_CONFIG_FAILED;
        std::vector<BYTE> whole(total);
        result = m_device->getDescriptor(USBIO_RECIPIENT_DEVICE, USBIO_DESCRIPTOR_TYPE_CONFIGURATION, index,
                                         0, whole.data(), total, got);
        if (result != UsbResult::Success)
            return StatusFromResult(result, UsbOperation::SetConfiguration);
        if (!ParseConfiguration(whole.data(), got, configuration))
            return USBIO_ERR_SET_CONFIG_FAILED;
        return ERROR_SUCCESS;
    }

    bool sameRequest(const USBIO_SET_CONFIGURATION& request) const {
        if (request.ConfigurationIndex != m_request.ConfigurationIndex ||
            request.NbOfInterfaces != m_request.NbOfInterfaces)
            return false;
        return memcmp(request.InterfaceList, m_request.InterfaceList,
                      request.NbOfInterfaces * sizeof(USBIO_INTERFACE_SETTING)) == 0;
    }

    void describe(const USBIO_SET_CONFIGURATION& request, const ConfigurationDescription& configuration) {
        memset(&m_info, 0, sizeof(m_info));
        m_info.NbOfInterfaces = request.NbOfInterfaces;
        for (WORD i = 0; i < request.NbOfInterfaces; ++i) {
            const USBIO_INTERFACE_SETTING& setting = request.InterfaceList[i];
            const InterfaceDescription* description =
                configuration.find((BYTE)setting.InterfaceIndex, (BYTE)setting.AlternateSettingIndex);
            USBIO_INTERFACE_CONFIGURATION_INFO& entry = m_info.InterfaceInfo[i];
            entry.InterfaceNumber = description->number;
            entry.AlternateSetting = description->alternate;
            entry.Class = description->interfaceClass;
            entry.SubClass = description->subClass;
            entry.Protocol = description->protocol;
            entry.NumberOfPipes = (BYTE)description->endpoints.size();
            for (const EndpointDescription& endpoint : description->endpoints) {
                if (m_info.NbOfPipes == USBIO_MAX_PIPES)
                    break;
                USBIO_PIPE_CONFIGURATION_INFO& pipe = m_info.PipeInfo[m_info.NbOfPipes++];
                pipe.PipeType = endpoint.attributes & kPipeTypeMask;
                pipe.MaximumTransferSize = setting.MaximumTransferSize;
                pipe.MaximumPacketSize = endpoint.maxPacketSize & 0x7FF;
                pipe.EndpointAddress = endpoint.address;
                pipe.Interval = endpoint.interval;
                pipe.InterfaceNumber = description->number;
                pipe.AlternateSetting = description->alternate;
            }
        }
    }

    void releaseClaims() {
        for (BYTE number : m_claimed)
            m_device->releaseInterface(number);
        m_claimed.clear();
    }

    // Declared before the device, so that they outlive it: the backend's thread may be inside
    // loseDevice() while the device object goes.
    std::mutex m_handlesMutex;
    std::vector<QueuedDevice*> m_handles;
    std::atomic<bool> m_lost{false};
    const std::shared_ptr<UsbDevice> m_device;
    std::mutex m_mutex;  // the driver takes one request per device at a time
    bool m_configured = false;
    USBIO_SET_CONFIGURATION m_request{};
    USBIO_CONFIGURATION_INFO m_info{};
    std::vector<BYTE> m_claimed;
    int m_boundPipes = 0;
};

// Devices open in this process, by lower-case path.
std::mutex g_devicesMutex;
std::map<std::string, std::weak_ptr<DeviceState>> g_devices;

// One ReadFile or WriteFile on a pipe while the backend has it: the caller's buffer, lent
// as a transfer.
class PipeTransfer : public UsbTransfer, public LentRequest {
public:
    // The handle that owns the queue, and with it the device state, outlives the transfer:
    // it waits for every transfer to complete before it goes. Holding no reference here
    // keeps the device's last release off the backend's event thread.
    PipeTransfer(DeviceState& state, RequestQueue& queue, BYTE bEndpoint, DWORD dwType)
        : LentRequest(queue), m_state(state) {
        endpoint = bEndpoint;
        type = dwType;
    }

    void complete(UsbResult result, DWORD dwTransferred) override {
        // Inside submit() the queue's lock is held; the request's own failure says enough.
        if (result == UsbResult::NoDevice && !InsideBackendCall())
            m_state.loseDevice();
        Complete(StatusFromResult(result, UsbOperation::Transfer), dwTransferred);
    }

protected:
    DWORD Submit(IoRequest& request) override {
        buffer = request.kind == IoKind::Read ? (BYTE*)request.pBuffer : (BYTE*)request.pSource;
        length = request.dwCount;
        return StatusFromResult(m_state.device().submit(this), UsbOperation::Transfer);
    }
    void Cancel() override { m_state.device().cancel(this); }

private:
    DeviceState& m_state;
};

class UsbioHandle : public QueuedDevice {
public:
    UsbioHandle(std::shared_ptr<DeviceState> state, bool bOverlapped)
        : QueuedDevice("usbio", bOverlapped, USBIO_ERR_DEVICE_NOT_PRESENT), m_state(std::move(state)) {
        m_state->addHandle(this);
    }

    ~UsbioHandle() override {
        m_state->removeHandle(this);
        if (m_bound)
            m_state->unbindPipe();
    }

    // The driver answers every request at once, so requests need no queue; the abort
    // request waits for the pipe's transfers, which it could not do under the queue's lock.
    // Every request on a handle of a device that has gone fails as its transfers do.
    BOOL IoControl(DWORD dwCode, LPVOID pIn, DWORD cbIn, LPVOID pOut, DWORD cbOut, LPDWORD pcbReturned,
                   LPOVERLAPPED pOverlapped) override {
        if (!pIn)
            cbIn = 0;
        if (!pOut)
            cbOut = 0;
        DWORD returned = 0;
        DWORD status = USBIO_ERR_DEVICE_NOT_PRESENT;
        if (!IsDisconnected())
            status = control(dwCode, pIn, cbIn, (BYTE*)pOut, cbOut, returned);
        if (status == USBIO_ERR_DEVICE_NOT_PRESENT)
            m_state->loseDevice();
        TraceImmediateRequest("usbio", "control", dwCode, status);
        if (pcbReturned)
            *pcbReturned = returned;
        if (pOverlapped)
            CompleteOverlapped(pOverlapped, status, returned);
        if (status != ERROR_SUCCESS) {
            ::SetLastError(status);
            return FALSE;
        }
        return TRUE;
    }

protected:
    void StartLocked(IoRequest& request) override {
        BYTE endpoint = 0;
        DWORD type = USBIO_PIPE_TYPE_BULK;
        if (!pipe(endpoint, type)) {
            Queue().CompleteLocked(&request, USBIO_ERR_NOT_BOUND, 0);
            return;
        }
        if (((endpoint & 0x80) != 0) != (request.kind == IoKind::Read)) {
            Queue().CompleteLocked(&request, USBIO_ERR_INVALID_DIRECTION, 0);
            return;
        }
        // The backend completes it from its event thread, which waits for this lock.
        const DWORD status = FreeTransferLocked(endpoint, type).LendLocked(request);
        if (status == USBIO_ERR_DEVICE_NOT_PRESENT) {
            m_state->markLost();
            Queue().DisconnectLocked();  // this request with the rest
        } else if (status != ERROR_SUCCESS) {
            Queue().CompleteLocked(&request, status, 0);
        }
    }

    bool AbortLocked(IoRequest& request) override {
        if (!request.bLent)
            return true;
        static_cast<LentRequest*>(request.pBackendData)->CancelLocked();
        return false;
    }

private:
    DWORD control(DWORD dwCode, LPVOID pIn, DWORD cbIn, BYTE* pOut, DWORD cbOut, DWORD& returned) {
        switch (dwCode) {
        case USBIO_IOCTL_GET_DRIVER_INFO: {
            if (cbOut < sizeof(USBIO_DRIVER_INFO))
                return USBIO_ERR_INVALID_OUTBUFFER;
            USBIO_DRIVER_INFO info;
            const DWORD status = m_state->driverInfo(info);
            if (status == ERROR_SUCCESS) {
                memcpy(pOut, &info, sizeof(info));
                returned = sizeof(info);
            }
            return status;
        }
        case USBIO_IOCTL_GET_DESCRIPTOR: {
            if (cbIn < sizeof(USBIO_DESCRIPTOR_REQUEST))
                return USBIO_ERR_INVALID_INBUFFER;
            if (cbOut == 0)
                return USBIO_ERR_INVALID_OUTBUFFER;
            USBIO_DESCRIPTOR_REQUEST request;
            memcpy(&request, pIn, sizeof(request));
            if (request.Recipient > USBIO_RECIPIENT_OTHER)
                return USBIO_ERR_INVALID_RECIPIENT;
            return m_state->getDescriptor(request, pOut, cbOut, returned);
        }
        case USBIO_IOCTL_SET_CONFIGURATION: {
            if (cbIn < sizeof(USBIO_SET_CONFIGURATION))
                return USBIO_ERR_INVALID_INBUFFER;
            USBIO_SET_CONFIGURATION request;
            memcpy(&request, pIn, sizeof(request));
            return m_state->setConfiguration(request);
        }
        case USBIO_IOCTL_GET_CONFIGURATION_INFO: {
            if (cbOut < sizeof(USBIO_CONFIGURATION_INFO))
                return USBIO_ERR_INVALID_OUTBUFFER;
            USBIO_CONFIGURATION_INFO info;
            const DWORD status = m_state->configurationInfo(info);
            if (status == ERROR_SUCCESS) {
                memcpy(pOut, &info, sizeof(info));
                returned = sizeof(info);
            }
            return status;
        }
        case USBIO_IOCTL_BIND_PIPE: {
            if (cbIn < sizeof(USBIO_BIND_PIPE))
                return USBIO_ERR_INVALID_INBUFFER;
            const BYTE endpoint = *(const BYTE*)pIn;
            std::lock_guard<std::mutex> lock(m_bindMutex);
            if (m_bound)  // binding again to the same endpoint is a no-op, so a reopen works
                return endpoint == m_endpoint ? ERROR_SUCCESS : USBIO_ERR_ALREADY_BOUND;
            DWORD type = USBIO_PIPE_TYPE_BULK;
            const DWORD status = m_state->bindPipe(endpoint, type);
            if (status == ERROR_SUCCESS) {
                m_endpoint = endpoint;
                m_pipeType = type;
                m_bound = true;
            }
            return status;
        }
        case USBIO_IOCTL_ABORT_PIPE: {
            BYTE endpoint = 0;
            DWORD type = 0;
            if (!pipe(endpoint, type))
                return USBIO_ERR_NOT_BOUND;
            AbortAll();
            return ERROR_SUCCESS;
        }
        case USBIO_IOCTL_RESET_PIPE: {
            BYTE endpoint = 0;
            DWORD type = 0;
            if (!pipe(endpoint, type))
                return USBIO_ERR_NOT_BOUND;
            return m_state->resetPipe(endpoint);
        }
        default: return USBIO_ERR_INVALID_IOCTL;
        }
    }

    bool pipe(BYTE& endpoint, DWORD& type) {
        std::lock_guard<std::mutex> lock(m_bindMutex);
        endpoint = m_endpoint;
        type = m_pipeType;
        return m_bound;
    }

    // The pipe's endpoint never changes once bound, so a free transfer fits any request.
    PipeTransfer& FreeTransferLocked(BYTE endpoint, DWORD type) {
        for (const std::unique_ptr<PipeTransfer>& transfer : m_transfers)
            if (transfer->IsFreeLocked())
                return *transfer;
        m_transfers.emplace_back(new PipeTransfer(*m_state, Queue(), endpoint, type));
        return *m_transfers.back();
    }

    const std::shared_ptr<DeviceState> m_state;
    std::vector<std::unique_ptr<PipeTransfer>> m_transfers;  // under the queue lock
    std::mutex m_bindMutex;
    bool m_bound = false;
    BYTE m_endpoint = 0;
    DWORD m_pipeType = USBIO_PIPE_TYPE_BULK;
};

UsbBackend* BackendFor(const std::string& path) {
    for (UsbBackend* backend : UsbBackends())
        if (backend->claims(path))
            return backend;
    return nullptr;
}

// "\\.\USBIO_Device<n>": the nth device of the enumeration.
bool LegacyDeviceNumber(const char* pszPath, unsigned& number) {
    static const char prefix[] = "\\\\.\\USBIO_Device";
    if (strncasecmp(pszPath, prefix, sizeof(prefix) - 1) != 0)
        return false;
    const char* digits = pszPath + sizeof(prefix) - 1;
    if (!*digits || strlen(digits) > 4 || strspn(digits, "0123456789") != strlen(digits))
        return false;
    number = (unsigned)atoi(digits);
    return true;
}

bool ClaimPath(const char* pszPath) {
    unsigned number = 0;
    return LegacyDeviceNumber(pszPath, number) || BackendFor(pszPath) != nullptr;
}

std::shared_ptr<DeviceState> OpenDeviceState(const std::string& path, DWORD& status) {
    const std::string key = Lower(path);
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    auto found = g_devices.find(key);
    if (found != g_devices.end()) {
        std::shared_ptr<DeviceState> state = found->second.lock();
        if (state && !state->lost())
            return state;
        g_devices.erase(found);  // unplugged since; a device plugged in again starts afresh
    }
    UsbBackend* backend = BackendFor(path);
    if (!backend) {
        status = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    UsbResult result = UsbResult::NotFound;
    std::shared_ptr<UsbDevice> device = backend->open(path, result);
    if (!device) {
        status = result == UsbResult::NotFound || result == UsbResult::NoDevice
                     ? ERROR_FILE_NOT_FOUND
                     : StatusFromResult(result, UsbOperation::Open);
        return nullptr;
    }
    std::shared_ptr<DeviceState> state = std::make_shared<DeviceState>(std::move(device));
    g_devices[key] = state;
    return state;
}

HANDLE OpenPath(const DeviceOpenRequest& request) {
    std::string path = request.pszPath;
    unsigned number = 0;
    if (LegacyDeviceNumber(request.pszPath, number)) {
        std::vector<std::string> paths;
        EnumerateInterfacePaths(paths);
        if (number >= paths.size()) {
            ::SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        path = paths[number];
    }
    DWORD status = ERROR_FILE_NOT_FOUND;
    std::shared_ptr<DeviceState> state = OpenDeviceState(path, status);
    if (!state) {
        ::SetLastError(status);
        return INVALID_HANDLE_VALUE;
    }
    const bool bOverlapped = (request.dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    HANDLE h = InsertHandle(std::make_shared<UsbioHandle>(std::move(state), bOverlapped));
    if (!h)
        return INVALID_HANDLE_VALUE;
    ::SetLastError(ERROR_SUCCESS);
    return h;
}

struct NamespaceRegistrar {
    NamespaceRegistrar() { RegisterUsbioNamespace(); }
} g_registrar;

}  // namespace

void RegisterUsbioNamespace() { RegisterDeviceNamespace(ClaimPath, OpenPath); }

namespace {

// The paths of every backend's list, real devices first.
void CollectPaths(void (UsbBackend::*list)(std::vector<UsbDeviceEntry>&), std::vector<std::string>& paths) {
    RegisterUsbioNamespace();
    std::vector<UsbDeviceEntry> devices;
    for (UsbBackend* backend : UsbBackends())
        (backend->*list)(devices);
    for (const UsbDeviceEntry& device : devices)
        paths.push_back(device.path);
}

}  // namespace

void EnumerateInterfacePaths(std::vector<std::string>& paths) { CollectPaths(&UsbBackend::enumerate, paths); }

void EnumeratePresentDevicePaths(std::vector<std::string>& paths) {
    CollectPaths(&UsbBackend::enumeratePresent, paths);
}

std::string MakeInterfacePath(const char* pszBus, WORD wVendor, WORD wProduct, const std::string& instance) {
    const GUID& g = USBIO_DEVICE_INTERFACE_GUID;
    char text[160];
    snprintf(text, sizeof(text),
             "\\\\?\\%s#vid_%04x&pid_%04x#%s#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", pszBus,
             (unsigned)wVendor, (unsigned)wProduct, instance.c_str(), (unsigned)g.Data1, (unsigned)g.Data2,
             (unsigned)g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return Lower(text);
}

}  // namespace usbio
}  // namespace win32
