#include "ConnectionManager.h"

#include <string.h>

#include "ComUsb.h"
#include "Port.h"

IMPLEMENT_DYNCREATE(CConnectionManager, CWnd)

namespace {

const char kWindowNameFormat[] = "ConnectionManagerWindow_%s";
const char kEventFormat[] = "CConnectionManager::WindowProc() WM_DEVICECHANGE. event %d = %s";

LPCSTR DeviceEventName(WPARAM wEvent) {
    switch (wEvent) {
    case DBT_DEVNODES_CHANGED: return "DBT_DEVNODES_CHANGED";
    case DBT_QUERYCHANGECONFIG: return "DBT_QUERYCHANGECONFIG";
    case DBT_CONFIGCHANGED: return "DBT_CONFIGCHANGED";
    case DBT_CONFIGCHANGECANCELED: return "DBT_CONFIGCHANGECANCELED";
    case DBT_DEVICEARRIVAL: return "DBT_DEVICEARRIVAL";
    case DBT_DEVICEQUERYREMOVE: return "DBT_DEVICEQUERYREMOVE";
    case DBT_DEVICEQUERYREMOVEFAILED: return "DBT_DEVICEQUERYREMOVEFAILED";
    case DBT_DEVICEREMOVEPENDING: return "DBT_DEVICEREMOVEPENDING";
    case DBT_DEVICEREMOVECOMPLETE: return "DBT_DEVICEREMOVECOMPLETE";
    case DBT_DEVICETYPESPECIFIC: return "DBT_DEVICETYPESPECIFIC";
    case DBT_CUSTOMEVENT: return "DBT_CUSTOMEVENT";
    case DBT_USERDEFINED: return "DBT_USERDEFINED";
    default: return "Unknown(default)";
    }
}

}  // namespace

CConnectionManager::CConnectionManager()
    : m_bWindowCreated(FALSE), m_dwOwnerToken(0), m_pPort(NULL), m_hWndNotify(NULL) {
    memset(&m_InterfaceFilter, 0, sizeof(m_InterfaceFilter));
    memset(&m_HandleFilter, 0, sizeof(m_HandleFilter));
}

CConnectionManager::~CConnectionManager() {}

void CConnectionManager::Start(CPort* pPort, DWORD dwOwnerToken, CString csDevicePath) {
    m_csDevicePath = csDevicePath;
    CString csWindowName;
    csWindowName.Format(kWindowNameFormat, (LPCSTR)csDevicePath);
    csWindowName.MakeLower();
    m_pPort = pPort;
    if (!m_bWindowCreated) {
        CreateEx(0, "STATIC", csWindowName, 0, 0, 0, 2, 2, NULL, NULL, NULL);
        m_bWindowCreated = TRUE;
    }
    m_hWndNotify = GetSafeHwnd();
    if (m_pPort == NULL)
        return;
    HidD_GetHidGuid(&m_pPort->m_HidGuid);

    memset(&m_InterfaceFilter, 0, sizeof(m_InterfaceFilter));
    m_InterfaceFilter.dbcc_size = sizeof(DEV_BROADCAST_DEVICEINTERFACE_A);
    m_InterfaceFilter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    m_InterfaceFilter.dbcc_classguid = m_pPort->m_HidGuid;

    memset(&m_HandleFilter, 0, sizeof(m_HandleFilter));
    m_HandleFilter.dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    m_HandleFilter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    m_HandleFilter.dbch_handle = m_pPort->m_USBCtx.hDevice;
    m_HandleFilter.dbch_eventguid = m_pPort->m_HidGuid;

    m_dwOwnerToken = dwOwnerToken;

    m_pPort->m_hDevNotifyInterface =
        RegisterDeviceNotificationA(m_hWndNotify, &m_InterfaceFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (m_pPort->m_hDevNotifyInterface == NULL)
        LogEvent(
            "CConnectionManager::Start() RegisterDeviceNotification failed on DEV_BROADCAST_DEVICEINTERFACE");
    m_pPort->m_hDevNotifyHandle =
        RegisterDeviceNotificationA(m_hWndNotify, &m_HandleFilter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (m_pPort->m_hDevNotifyHandle == NULL)
        LogEvent("CConnectionManager::Start() RegisterDeviceNotification failed on DEV_BROADCAST_HANDLE");
}

void CConnectionManager::Stop() {
    if (m_pPort == NULL)
        return;
    if (m_pPort->m_hDevNotifyInterface != NULL) {
        UnregisterDeviceNotification(m_pPort->m_hDevNotifyInterface);
        m_pPort->m_hDevNotifyInterface = NULL;
    }
    if (m_pPort->m_hDevNotifyHandle != NULL) {
        UnregisterDeviceNotification(m_pPort->m_hDevNotifyHandle);
        m_pPort->m_hDevNotifyHandle = NULL;
    }
}

void CConnectionManager::LogEvent(const CString& csText) {
    if (m_pPort != NULL && m_pPort->m_pDebugFile != NULL)
        m_pPort->m_pDebugFile->Log(0, csText, m_csDevicePath);
}

LRESULT CConnectionManager::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_dwOwnerToken == 0 || message != WM_DEVICECHANGE)
        return CWnd::WindowProc(message, wParam, lParam);

    CString csEvent;
    CString csDescriptor;
    BOOL bHandled = FALSE;
    if (m_pPort != NULL)
        m_pPort->PortProcessEventLock();

    csEvent.Format(kEventFormat, (int)wParam, DeviceEventName(wParam));
    // Which device a broadcast describes does not matter: the port serves one terminal.
    if (wParam == DBT_DEVICEARRIVAL) {
        if (m_pPort != NULL) {
            if (m_pPort->IsOpen())
                m_pPort->CloseConnection();
            m_pPort->SetDevicePresent(TRUE);
            m_pPort->SetDisconnected(TRUE);
        }
        bHandled = TRUE;
    } else if (wParam == DBT_DEVICEREMOVECOMPLETE) {
        if (m_pPort != NULL && m_pPort->IsDevicePresent()) {
            m_pPort->SetDevicePresent(FALSE);
            bHandled = TRUE;
        }
    }

    const DEV_BROADCAST_HDR* pHeader = (const DEV_BROADCAST_HDR*)lParam;
    if (pHeader != NULL && m_pPort != NULL) {
        if (pHeader->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            const DEV_BROADCAST_DEVICEINTERFACE_A* pInterface =
                (const DEV_BROADCAST_DEVICEINTERFACE_A*)pHeader;
            csDescriptor = memcmp(&pInterface->dbcc_classguid, &m_pPort->m_HidGuid, sizeof(GUID)) == 0
                               ? "DBT_DEVTYP_DEVICEINTERFACE Hid"
                               : "DBT_DEVTYP_DEVICEINTERFACE  unknown";
        } else if (pHeader->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            const DEV_BROADCAST_HANDLE* pHandle = (const DEV_BROADCAST_HANDLE*)pHeader;
            csDescriptor = memcmp(&pHandle->dbch_eventguid, &m_pPort->m_HidGuid, sizeof(GUID)) == 0
                               ? "DEV_BROADCAST_HANDLE HID"
                               : "DEV_BROADCAST_HANDLE unknown";
        }
    }

    if (m_pPort != NULL) {
        LogEvent(csDescriptor.IsEmpty() ? csEvent : csDescriptor + "\t" + csEvent);
        m_pPort->PortProcessEventUnlock();
    }
    if (bHandled)
        return 0;
    return CWnd::WindowProc(message, wParam, lParam);
}
