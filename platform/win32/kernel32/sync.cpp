#include "internal/sync_objects.h"

#include <algorithm>
#include <map>
#include <vector>

namespace win32 {

void EventObject::Set() {
    {
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        SetLocked();
    }
    KernelWaitCondition().notify_all();
}

void EventObject::SetLocked() { m_bSignaled = true; }

void EventObject::Reset() {
    std::lock_guard<std::mutex> lock(KernelWaitMutex());
    m_bSignaled = false;
}

bool EventObject::TryAcquireLocked() {
    if (!m_bSignaled)
        return false;
    if (!m_bManualReset)
        m_bSignaled = false;
    return true;
}

BOOL SemaphoreObject::Release(LONG lReleaseCount, LPLONG plPrevious) {
    if (lReleaseCount <= 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(KernelWaitMutex());
        if (lReleaseCount > m_lMaximum - m_lCount) {
            ::SetLastError(ERROR_TOO_MANY_POSTS);
            return FALSE;
        }
        if (plPrevious)
            *plPrevious = m_lCount;
        m_lCount += lReleaseCount;
    }
    KernelWaitCondition().notify_all();
    return TRUE;
}

bool SemaphoreObject::TryAcquireLocked() {
    if (m_lCount <= 0)
        return false;
    --m_lCount;
    return true;
}

std::shared_ptr<KernelObject> FindOrAddNamedObject(const std::string& name,
                                                   const std::shared_ptr<KernelObject>& created,
                                                   bool (*isSameType)(const KernelObject&), bool* pbExisted) {
    static std::mutex* mutex = new std::mutex;
    static auto* names = new std::map<std::string, std::weak_ptr<KernelObject>>;
    std::lock_guard<std::mutex> lock(*mutex);
    // Drop names whose objects are gone, as Windows forgets a name with its last handle.
    for (auto it = names->begin(); it != names->end();)
        it = it->second.expired() ? names->erase(it) : std::next(it);
    auto found = names->find(name);
    std::shared_ptr<KernelObject> existing;
    if (found != names->end())
        existing = found->second.lock();
    if (existing) {
        if (!isSameType(*existing)) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        *pbExisted = true;
        return existing;
    }
    (*names)[name] = created;
    *pbExisted = false;
    return created;
}

}  // namespace win32

using namespace win32;

namespace {

template <class T>
bool IsObjectOf(const KernelObject& object) {
    return dynamic_cast<const T*>(&object) != nullptr;
}

// Publishes a new synchronisation object, or a handle to the existing one of that name.
// Windows sets ERROR_ALREADY_EXISTS on an open of an existing name and 0 on a creation.
HANDLE PublishSyncObject(LPCSTR lpName, std::shared_ptr<KernelObject> created,
                         bool (*isSameType)(const KernelObject&)) {
    bool bExisted = false;
    std::shared_ptr<KernelObject> object = created;
    if (lpName && *lpName) {
        object = FindOrAddNamedObject(lpName, created, isSameType, &bExisted);
        if (!object)
            return NULL;
    }
    HANDLE h = InsertHandle(object);
    if (h)
        ::SetLastError(bExisted ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

}  // namespace

// A name makes the object shared within this process only; nothing in the system shares an
// event or a semaphore with another process.
extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                                      LPCSTR lpName) {
    return PublishSyncObject(lpName,
                             std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE),
                             IsObjectOf<EventObject>);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = LookupHandleAs<EventObject>(hEvent);
    if (!event)
        return FALSE;
    event->Set();
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    std::shared_ptr<EventObject> event = LookupHandleAs<EventObject>(hEvent);
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}

extern "C" HANDLE WINAPI CreateSemaphoreA(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                                          LPCSTR lpName) {
    if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    return PublishSyncObject(lpName, std::make_shared<SemaphoreObject>(lInitialCount, lMaximumCount),
                             IsObjectOf<SemaphoreObject>);
}

extern "C" BOOL WINAPI ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
    std::shared_ptr<SemaphoreObject> semaphore = LookupHandleAs<SemaphoreObject>(hSemaphore);
    if (!semaphore)
        return FALSE;
    return semaphore->Release(lReleaseCount, lpPreviousCount);
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    std::shared_ptr<KernelObject> object = LookupHandle(hHandle);
    if (!object)
        return WAIT_FAILED;
    return object->Wait(dwMilliseconds);
}

// Over events, semaphores and threads. Mutexes wait outside the shared kernel lock and are
// refused here with ERROR_NOT_SUPPORTED when more than one handle is given; nothing in the
// system waits for a mutex together with another object.
extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<KernelObject>> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        std::shared_ptr<KernelObject> object = LookupHandle(lpHandles[i]);
        if (!object)
            return WAIT_FAILED;
        objects.push_back(object);
    }
    if (nCount == 1)
        return objects[0]->Wait(dwMilliseconds);
    for (const auto& object : objects) {
        if (!object->UsesKernelWaitLock()) {
            ::SetLastError(ERROR_NOT_SUPPORTED);
            return WAIT_FAILED;
        }
    }
    if (bWaitAll) {
        // Windows refuses the same object twice in a wait-all.
        for (DWORD i = 0; i < nCount; ++i)
            for (DWORD j = i + 1; j < nCount; ++j)
                if (objects[i] == objects[j]) {
                    ::SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    DWORD dwResult = WAIT_TIMEOUT;
    std::unique_lock<std::mutex> lock(KernelWaitMutex());
    WaitKernelCondition(lock, dwMilliseconds, [&] {
        if (bWaitAll) {
            // All or nothing: take none until every object can be taken.
            for (const auto& object : objects)
                if (!object->IsSignaledLocked())
                    return false;
            for (const auto& object : objects)
                object->TryAcquireLocked();
            dwResult = WAIT_OBJECT_0;
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (objects[i]->TryAcquireLocked()) {
                dwResult = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    });
    return dwResult;
}
