#include "hid/hid_family.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include <dbt.h>

#include <algorithm>
#include <map>
#include <mutex>

#include "hid/status.h"
#include "internal/device_change.h"
#include "internal/device_namespace.h"
#include "internal/poll_loop.h"

namespace win32 {

const GUID kHidInterfaceGuid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

namespace {

// The HID class driver keeps this many input reports per handle by default, and takes a
// count in this range from HidD_SetNumInputBuffers.
const size_t kDefaultInputBuffers = 32;
const unsigned long kMinInputBuffers = 2;
const unsigned long kMaxInputBuffers = 512;
const size_t kMaxReport = 4096;
const char kHidPathPrefix[] = "\\\\?\\hid#";

PollLoop& HidPollLoop() {
    static PollLoop* loop = new PollLoop;
    return *loop;
}

std::string InterfacePathOf(const HidBackend& backend, const HidDeviceRecord& device) {
    char szPrefix[64];
    snprintf(szPrefix, sizeof(szPrefix), "\\\\?\\hid#vid_%04x&pid_%04x#", device.vendorId, device.productId);
    std::string path = szPrefix;
    path += backend.name();
    path += '_';
    path += device.instance;
    path += "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    for (char& c : path)
        c = (char)tolower((unsigned char)c);
    return path;
}

bool ClaimHidPath(const char* pszPath) {
    return strncasecmp(pszPath, kHidPathPrefix, sizeof(kHidPathPrefix) - 1) == 0;
}

HANDLE OpenHidPath(const DeviceOpenRequest& request) {
    for (const HidDeviceRecord& device : EnumerateHidInterfaces()) {
        if (strcasecmp(device.interfacePath.c_str(), request.pszPath) != 0)
            continue;
        std::unique_ptr<HidConnection> connection = device.backend->open(device);
        if (!connection) {
            ::SetLastError(HidStatusFromErrno(errno, HidOperation::Open));
            return INVALID_HANDLE_VALUE;
        }
        auto handle = std::make_shared<HidHandle>(device, std::move(connection),
                                                  (request.dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0);
        if (!handle->Start()) {
            ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE h = InsertHandle(handle);
        if (!h) {
            handle->OnHandleClosed();
            return INVALID_HANDLE_VALUE;
        }
        ::SetLastError(ERROR_SUCCESS);
        return h;
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

// Turns the backends' arrivals and removals into interface paths for user32. Removal
// events carry no identity any more (sysfs is gone), so the paths of present devices are
// remembered from enumeration and arrival.
class HidChangeSink : public HidDeviceSink {
public:
    void devicePresent(const HidBackend& backend, const HidDeviceRecord& device) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paths[Key(backend, device.instance)] = InterfacePathOf(backend, device);
    }

    void deviceArrived(const HidBackend& backend, const HidDeviceRecord& device) override {
        const std::string path = InterfacePathOf(backend, device);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_paths[Key(backend, device.instance)] = path;
        }
        ReportDeviceInterfaceChange(DBT_DEVICEARRIVAL, kHidInterfaceGuid, path);
    }

    void deviceRemoved(const HidBackend& backend, const std::string& instance) override {
        std::string path;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_paths.find(Key(backend, instance));
            if (it == m_paths.end())
                return;
            path = it->second;
            m_paths.erase(it);
        }
        ReportDeviceInterfaceChange(DBT_DEVICEREMOVECOMPLETE, kHidInterfaceGuid, path);
    }

private:
    static std::string Key(const HidBackend& backend, const std::string& instance) {
        return std::string(backend.name()) + "/" + instance;
    }
    std::mutex m_mutex;
    std::map<std::string, std::string> m_paths;
};

}  // namespace

std::vector<HidDeviceRecord> EnumerateHidInterfaces() {
    RegisterDeviceNamespace(ClaimHidPath, OpenHidPath);
    std::vector<HidDeviceRecord> all;
    for (HidBackend* backend : HidBackends()) {
        std::vector<HidDeviceRecord> devices;
        backend->enumerate(devices);
        for (HidDeviceRecord& device : devices) {
            device.interfacePath = InterfacePathOf(*backend, device);
            device.backend = backend;
            all.push_back(std::move(device));
        }
    }
    return all;
}

void StartHidDeviceMonitor() {
    static HidChangeSink* sink = new HidChangeSink;
    RegisterDeviceNamespace(ClaimHidPath, OpenHidPath);
    for (HidBackend* backend : HidBackends())
        backend->startMonitor(HidPollLoop(), *sink);
}

std::shared_ptr<HidHandle> LookupHidHandle(HANDLE h) {
    std::shared_ptr<KernelObject> object = LookupHandle(h);
    if (!object)
        return nullptr;
    std::shared_ptr<HidHandle> hid = std::dynamic_pointer_cast<HidHandle>(object);
    if (!hid)
        ::SetLastError(ERROR_INVALID_FUNCTION);
    return hid;
}

HidHandle::HidHandle(const HidDeviceRecord& device, std::unique_ptr<HidConnection> connection,
                     bool bOverlapped)
    : QueuedDevice("hid", bOverlapped),
      m_device(device),
      m_connection(std::move(connection)),
      m_inputCapacity(kDefaultInputBuffers) {
    m_bLayout =
        ParseReportDescriptor(m_device.reportDescriptor.data(), m_device.reportDescriptor.size(), &m_layout);
}

HidHandle::~HidHandle() {
    if (m_pollId)
        HidPollLoop().Unwatch(m_pollId);
}

bool HidHandle::Start() {
    // Under the lock: the poll thread may report a device that has already gone before
    // Watch has returned its id.
    std::lock_guard<std::mutex> lock(Queue().Mutex());
    m_pollId =
        HidPollLoop().Watch(m_connection->descriptor(), POLLIN, [this](short revents) { OnPoll(revents); });
    return m_pollId != 0;
}

void HidHandle::StartLocked(IoRequest& request) {
    switch (request.kind) {
    case IoKind::Read:
        // Windows hands out whole reports only: a buffer that cannot hold one is refused.
        if (m_bLayout && request.dwCount < m_layout.inputLength) {
            Queue().CompleteLocked(&request, ERROR_INVALID_USER_BUFFER, 0);
            return;
        }
        DeliverLocked();
        return;
    case IoKind::Write:
        if (m_bLayout && (m_layout.outputLength == 0 || request.dwCount != m_layout.outputLength)) {
            Queue().CompleteLocked(&request, ERROR_INVALID_USER_BUFFER, 0);
            return;
        }
        // A device without report IDs takes the report without the 0 in its place.
        if (m_bLayout && !m_layout.bNumbered && static_cast<const uint8_t*>(request.pSource)[0] != 0) {
            Queue().CompleteLocked(&request, ERROR_INVALID_PARAMETER, 0);
            return;
        }
        SendLocked();
        return;
    case IoKind::Control: Queue().CompleteLocked(&request, ERROR_INVALID_FUNCTION, 0); return;
    }
}

// Queued reads and writes hold no buffer outside the queue; they can go at once. A report
// the device has not taken is given up, and the next write's report may follow.
bool HidHandle::AbortLocked(IoRequest& request) {
    if (request.kind == IoKind::Write && request.number == m_writeInFlight) {
        m_connection->abandonOutput();
        m_writeInFlight = 0;
    }
    return true;
}

// As the class driver does, a new count starts an empty queue.
bool HidHandle::SetInputBufferCount(unsigned long nCount) {
    if (nCount < kMinInputBuffers || nCount > kMaxInputBuffers)
        return false;
    std::lock_guard<std::mutex> lock(Queue().Mutex());
    if (nCount != m_inputCapacity) {
        m_inputCapacity = nCount;
        m_inputReports.clear();
    }
    return true;
}

void HidHandle::OnHandleClosed() {
    QueuedDevice::OnHandleClosed();
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(Queue().Mutex());
        id = m_pollId;
        m_pollId = 0;
    }
    // Outside the lock: the poll callback may be waiting for it.
    if (id)
        HidPollLoop().Unwatch(id);
}

// One report at a time, as an interrupt OUT pipe carries them: the next goes once the
// device has taken the last.
void HidHandle::SendLocked() {
    while (IoRequest* write = Queue().OldestLocked(IoKind::Write)) {
        if (m_writeInFlight != 0) {
            if (!m_connection->outputTaken())
                break;
            m_writeInFlight = 0;
            Queue().CompleteLocked(write, ERROR_SUCCESS, write->dwCount);
            continue;
        }
        const uint8_t* p = static_cast<const uint8_t*>(write->pSource);
        size_t cb = write->dwCount;
        if (m_bLayout && !m_layout.bNumbered) {
            ++p;
            --cb;
        }
        const ssize_t cbSent = m_connection->sendReport(p, cb);
        if (cbSent < 0) {
            if (errno == EINPROGRESS) {
                m_writeInFlight = write->number;
                break;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (!m_bWantOut) {
                    m_bWantOut = true;
                    WatchLocked();
                }
                return;
            }
            const DWORD dwStatus = HidStatusFromErrno(errno, HidOperation::Transfer);
            if (dwStatus == ERROR_DEVICE_NOT_CONNECTED) {
                LoseDeviceLocked();
                return;
            }
            Queue().CompleteLocked(write, dwStatus, 0);
            continue;
        }
        Queue().CompleteLocked(write, ERROR_SUCCESS, write->dwCount);
    }
    if (m_bWantOut) {
        m_bWantOut = false;
        WatchLocked();
    }
}

void HidHandle::WatchLocked() {
    if (m_pollId)
        HidPollLoop().SetEvents(m_pollId, (short)(POLLIN | (m_bWantOut ? POLLOUT : 0)));
}

void HidHandle::DeliverLocked() {
    while (!m_inputReports.empty()) {
        IoRequest* read = Queue().OldestLocked(IoKind::Read);
        if (!read)
            return;
        const std::vector<uint8_t>& report = m_inputReports.front();
        const DWORD cb = (DWORD)std::min<size_t>(report.size(), read->dwCount);
        memcpy(read->pBuffer, report.data(), cb);
        m_inputReports.pop_front();
        Queue().CompleteLocked(read, ERROR_SUCCESS, cb);
    }
}

void HidHandle::LoseDeviceLocked() {
    m_inputReports.clear();
    m_writeInFlight = 0;
    Queue().DisconnectLocked();
}

// Under the lock: every report waiting, into the buffer and out to pending reads. False
// when the device has gone.
bool HidHandle::ReceiveLocked() {
    uint8_t buffer[kMaxReport + 1];
    for (;;) {
        // Room for the 0 that Windows puts in front of an unnumbered report.
        const bool bPrefix = m_bLayout && !m_layout.bNumbered;
        const ssize_t cb = m_connection->receiveReport(buffer + 1, kMaxReport);
        if (cb < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            return false;
        }
        if (cb == 0)
            continue;
        std::vector<uint8_t> report;
        if (bPrefix) {
            buffer[0] = 0;
            report.assign(buffer, buffer + cb + 1);
        } else {
            report.assign(buffer + 1, buffer + 1 + cb);
        }
        // Every read gives the full input report length, as Windows gives it.
        if (m_bLayout)
            report.resize(m_layout.inputLength, 0);
        if (m_inputReports.size() >= m_inputCapacity)
            m_inputReports.pop_front();
        m_inputReports.push_back(std::move(report));
    }
    DeliverLocked();
    return true;
}

void HidHandle::OnPoll(short revents) {
    std::lock_guard<std::mutex> lock(Queue().Mutex());
    if (revents & POLLIN) {
        const bool bPresent = ReceiveLocked();
        // The device's word that it took the report in flight may have come before it went.
        SendLocked();
        if (!bPresent) {
            LoseDeviceLocked();
            revents |= POLLHUP;
        }
    }
    if (revents & POLLOUT)
        SendLocked();
    if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && m_pollId) {
        LoseDeviceLocked();
        HidPollLoop().Unwatch(m_pollId);  // on the loop thread: no wait
        m_pollId = 0;
    }
}

}  // namespace win32
