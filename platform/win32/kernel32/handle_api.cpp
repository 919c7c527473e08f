#include "internal/handle.h"

// Closing drops the table's reference; a thread still inside the object (a blocked
// ReadFile, a wait) keeps it alive until it returns, and OnHandleClosed lets a device wake
// such a thread. Windows also leaves a running thread or a held mutex in place on close.
extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<win32::KernelObject> object = win32::RemoveHandle(hObject);
    if (!object)
        return FALSE;
    object->OnHandleClosed();
    return TRUE;
}
