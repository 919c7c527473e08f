// Device-change notifications: RegisterDeviceNotificationA for a device interface class
// or for an open device handle, and the WM_DEVICECHANGE messages that follow when a
// family reports an arrival or a removal (internal/device_change.h).
//
// The messages are sent, not posted, as Windows sends them: the DEV_BROADCAST record is
// the sender's and stays valid while the handler runs. One thread of this file does the
// sending, so the families' poll threads never wait for a window's thread; it waits for
// each window a bounded time, so one whose thread has stopped taking messages does not
// hold up the others (that window gets the message when its thread takes messages again).
#include <windows.h>

#include <dbt.h>
#include <stddef.h>
#include <string.h>
#include <strings.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal/device_change.h"
#include "internal/handle.h"
#include "user32/send_message.h"

namespace win32 {

namespace {

const DWORD kWindowWaitMs = 1000;

struct Registration {
    HWND hwnd;
    DWORD type;  // DBT_DEVTYP_DEVICEINTERFACE or DBT_DEVTYP_HANDLE
    GUID classGuid;
    bool bAllClasses;
    HANDLE handle;
    std::string handlePath;  // the handle's device interface, empty for other handles
};

struct Change {
    DWORD event;
    GUID interfaceClass;
    std::string path;
};

struct Notifications {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<uintptr_t, Registration> registrations;
    uintptr_t nextId = 0x40004;
    std::deque<Change> pending;
    bool bSenderStarted = false;
};

Notifications& Global() {
    static Notifications* notifications = new Notifications;
    return *notifications;
}

void SendChange(const Change& change) {
    std::vector<std::pair<uintptr_t, Registration>> targets;
    {
        Notifications& n = Global();
        std::lock_guard<std::mutex> lock(n.mutex);
        for (const auto& entry : n.registrations) {
            const Registration& r = entry.second;
            if (r.type == DBT_DEVTYP_HANDLE) {
                // A handle hears only of its own device going.
                if (change.event == DBT_DEVICEREMOVECOMPLETE && !r.handlePath.empty() &&
                    strcasecmp(r.handlePath.c_str(), change.path.c_str()) == 0)
                    targets.push_back(entry);
            } else if (r.bAllClasses || r.classGuid == change.interfaceClass) {
                targets.push_back(entry);
            }
        }
    }
    for (const auto& target : targets) {
        const Registration& r = target.second;
        // On the heap: a window that keeps the message past the wait keeps its record too.
        std::shared_ptr<std::vector<uint8_t>> record;
        if (r.type == DBT_DEVTYP_HANDLE) {
            record = std::make_shared<std::vector<uint8_t>>(sizeof(DEV_BROADCAST_HANDLE), 0);
            auto* broadcast = reinterpret_cast<DEV_BROADCAST_HANDLE*>(record->data());
            broadcast->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
            broadcast->dbch_devicetype = DBT_DEVTYP_HANDLE;
            broadcast->dbch_handle = r.handle;
            broadcast->dbch_hdevnotify = reinterpret_cast<HDEVNOTIFY>(target.first);
            broadcast->dbch_nameoffset = -1;
        } else {
            const size_t cb = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + change.path.size() + 1;
            record = std::make_shared<std::vector<uint8_t>>(
                std::max(cb, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)), 0);
            auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(record->data());
            broadcast->dbcc_size = (DWORD)cb;
            broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            broadcast->dbcc_classguid = change.interfaceClass;
            memcpy(broadcast->dbcc_name, change.path.c_str(), change.path.size() + 1);
        }
        LRESULT result = 0;
        SendMessageWithin(r.hwnd, WM_DEVICECHANGE, change.event, reinterpret_cast<LPARAM>(record->data()),
                          kWindowWaitMs, record, &result);
    }
}

void RunSender() {
    Notifications& n = Global();
    std::unique_lock<std::mutex> lock(n.mutex);
    for (;;) {
        n.changed.wait(lock, [&] { return !n.pending.empty(); });
        Change change = std::move(n.pending.front());
        n.pending.pop_front();
        lock.unlock();
        SendChange(change);
        lock.lock();
    }
}

// The families' arrival and removal monitors, in one table.
void (*const kMonitorStarters[])() = {StartHidDeviceMonitor};

}  // namespace

void ReportDeviceInterfaceChange(DWORD dwEvent, const GUID& interfaceClass,
                                 const std::string& interfacePath) {
    Notifications& n = Global();
    {
        std::lock_guard<std::mutex> lock(n.mutex);
        n.pending.push_back(Change{dwEvent, interfaceClass, interfacePath});
        if (!n.bSenderStarted) {
            n.bSenderStarted = true;
            std::thread(RunSender).detach();  // serves for the life of the process
        }
    }
    n.changed.notify_all();
}

void StartDeviceMonitors() {
    for (auto start : kMonitorStarters)
        start();
}

}  // namespace win32

using namespace win32;

extern "C" HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter,
                                                         DWORD Flags) {
    // Only windows receive notifications here; there are no services.
    if (Flags & DEVICE_NOTIFY_SERVICE_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HWND hwnd = static_cast<HWND>(hRecipient);
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return NULL;
    }
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
    if (!header) {
        SetLastError(ERROR_INVALID_DATA);
        return NULL;
    }
    Registration registration = {};
    registration.hwnd = hwnd;
    registration.type = header->dbch_devicetype;
    if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
        header->dbch_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) {
        const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(NotificationFilter);
        registration.classGuid = filter->dbcc_classguid;
        registration.bAllClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
    } else if (header->dbch_devicetype == DBT_DEVTYP_HANDLE &&
               header->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid)) {
        const auto* filter = static_cast<const DEV_BROADCAST_HANDLE*>(NotificationFilter);
        std::shared_ptr<KernelObject> object = LookupHandle(filter->dbch_handle);
        if (!object)
            return NULL;  // ERROR_INVALID_HANDLE
        registration.handle = filter->dbch_handle;
        registration.handlePath = object->DeviceInterfacePath();
    } else {
        SetLastError(ERROR_INVALID_DATA);
        return NULL;
    }
    StartDeviceMonitors();
    Notifications& n = Global();
    std::lock_guard<std::mutex> lock(n.mutex);
    const uintptr_t id = n.nextId;
    n.nextId += 4;
    n.registrations[id] = registration;
    return reinterpret_cast<HDEVNOTIFY>(id);
}

extern "C" BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle) {
    Notifications& n = Global();
    std::lock_guard<std::mutex> lock(n.mutex);
    if (n.registrations.erase(reinterpret_cast<uintptr_t>(Handle)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
