#include "internal/handle.h"

#include <deque>
#include <vector>

namespace win32 {

namespace {

// Windows hands out multiples of 4 starting at 4; NULL and the pseudo-handles (-1, -2)
// never name a table entry.
const uintptr_t kHandleStep = 4;
const size_t kMaxHandles = 1u << 20;

struct HandleTable {
    std::mutex mutex;
    std::vector<std::shared_ptr<KernelObject>> slots;
    // Freed slots are reused oldest first, so a handle closed by mistake twice is less
    // likely to hit a fresh object at once.
    std::deque<size_t> freeSlots;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every static destructor
    return *table;
}

bool SlotOf(HANDLE h, size_t* pnSlot) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(h);
    if (value == 0 || value % kHandleStep != 0)
        return false;
    *pnSlot = value / kHandleStep - 1;
    return true;
}

}  // namespace

KernelObject::~KernelObject() = default;

BOOL KernelObject::Read(LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::Write(LPCVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::IoControl(DWORD, LPVOID, DWORD, LPVOID, DWORD, LPDWORD, LPOVERLAPPED) {
    ::SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}
BOOL KernelObject::CancelIo() {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::Flush() {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::Seek(LONGLONG, DWORD, LONGLONG*) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::GetSize(LONGLONG*) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
BOOL KernelObject::SetEnd() {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}
void KernelObject::OnHandleClosed() {}
std::string KernelObject::DeviceInterfacePath() const { return std::string(); }

DWORD KernelObject::Wait(DWORD dwMilliseconds) {
    if (!UsesKernelWaitLock()) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> lock(KernelWaitMutex());
    return WaitKernelCondition(lock, dwMilliseconds, [this] { return TryAcquireLocked(); }) ? WAIT_OBJECT_0
                                                                                            : WAIT_TIMEOUT;
}
bool KernelObject::UsesKernelWaitLock() const { return false; }
bool KernelObject::TryAcquireLocked() { return false; }
bool KernelObject::IsSignaledLocked() const { return false; }

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
    if (!object) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    size_t slot;
    if (table.freeSlots.size() > 16 || (table.slots.size() >= kMaxHandles && !table.freeSlots.empty())) {
        slot = table.freeSlots.front();
        table.freeSlots.pop_front();
        table.slots[slot] = std::move(object);
    } else if (table.slots.size() < kMaxHandles) {
        slot = table.slots.size();
        table.slots.push_back(std::move(object));
    } else {
        ::SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return NULL;
    }
    return reinterpret_cast<HANDLE>((slot + 1) * kHandleStep);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    size_t slot;
    if (SlotOf(h, &slot)) {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (slot < table.slots.size() && table.slots[slot])
            return table.slots[slot];
    }
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::shared_ptr<KernelObject> RemoveHandle(HANDLE h) {
    size_t slot;
    if (SlotOf(h, &slot)) {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> lock(table.mutex);
        if (slot < table.slots.size() && table.slots[slot]) {
            std::shared_ptr<KernelObject> object = std::move(table.slots[slot]);
            table.slots[slot].reset();
            table.freeSlots.push_back(slot);
            return object;
        }
    }
    ::SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

std::mutex& KernelWaitMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::condition_variable& KernelWaitCondition() {
    static std::condition_variable* condition = new std::condition_variable;
    return *condition;
}

}  // namespace win32
