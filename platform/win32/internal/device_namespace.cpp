#include "internal/device_namespace.h"

#include <mutex>
#include <vector>

namespace win32 {

namespace {

struct Namespace {
    DeviceClaimFunction claim;
    DeviceOpenFunction open;
};

std::mutex& NamespaceMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::vector<Namespace>& Namespaces() {
    static std::vector<Namespace>* namespaces = new std::vector<Namespace>;
    return *namespaces;
}

}  // namespace

void RegisterDeviceNamespace(DeviceClaimFunction claim, DeviceOpenFunction open) {
    if (!claim || !open)
        return;
    std::lock_guard<std::mutex> lock(NamespaceMutex());
    for (const Namespace& entry : Namespaces())
        if (entry.claim == claim && entry.open == open)
            return;
    Namespaces().push_back({claim, open});
}

HANDLE OpenRegisteredDevice(const DeviceOpenRequest& request) {
    DeviceOpenFunction open = nullptr;
    {
        std::lock_guard<std::mutex> lock(NamespaceMutex());
        for (const Namespace& entry : Namespaces()) {
            if (entry.claim(request.pszPath)) {
                open = entry.open;
                break;
            }
        }
    }
    if (!open) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return open(request);
}

}  // namespace win32
