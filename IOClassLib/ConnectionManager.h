// The device-change manager of the HID port: a hidden window that registers for the
// system's device-change broadcasts on the HID interface class and on the port's open
// device handle, and turns removal and arrival of the device into the port's state.
// Broadcasts arrive only while the thread that started it dispatches window messages.
#pragma once

#include <afxwin.h>
#include <windows.h>

#include <dbt.h>

class CPort;

class CConnectionManager : public CWnd {
    DECLARE_DYNCREATE(CConnectionManager)

public:
    CConnectionManager();
    ~CConnectionManager() override;

    // Creates the window on the first call and registers both notifications on every call.
    void Start(CPort* pPort, DWORD dwOwnerToken, CString csDevicePath);
    // Unregisters what is registered; the window stays.
    void Stop();

    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    BOOL m_bWindowCreated;
    DWORD m_dwOwnerToken;
    CString m_csDevicePath;
    CPort* m_pPort;
    DEV_BROADCAST_DEVICEINTERFACE_A m_InterfaceFilter;
    DEV_BROADCAST_HANDLE m_HandleFilter;
    HWND m_hWndNotify;

private:
    void LogEvent(const CString& csText);
};
