#include "afxwin.h"

#include <string.h>

#include <map>

namespace {

// A lock over the API's critical section: the Windows build's threads have no std::mutex.
class Lock {
public:
    Lock() { ::InitializeCriticalSection(&m_section); }
    void Enter() { ::EnterCriticalSection(&m_section); }
    void Leave() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

class Hold {
public:
    explicit Hold(Lock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~Hold() { m_lock.Leave(); }

private:
    Lock& m_lock;
};

}  // namespace

// ---- Run-time classes ------------------------------------------------------------------

CRuntimeClass CObject::classCObject = {"CObject", (int)sizeof(CObject), 0xFFFF, NULL, NULL, NULL};

namespace {

struct ClassList {
    Lock lock;
    const CRuntimeClass* pFirst = nullptr;
};

ClassList& Classes() {
    static ClassList* list = new ClassList;  // filled by static initialisers of any order
    return *list;
}

}  // namespace

AFX_CLASSINIT::AFX_CLASSINIT(CRuntimeClass* pNewClass) {
    ClassList& list = Classes();
    Hold hold(list.lock);
    pNewClass->m_pNextClass = list.pFirst;
    list.pFirst = pNewClass;
}

CRuntimeClass* CObject::GetRuntimeClass() const { return RUNTIME_CLASS(CObject); }

BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

CObject* CRuntimeClass::CreateObject() const { return m_pfnCreateObject ? m_pfnCreateObject() : NULL; }

BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
    for (const CRuntimeClass* p = this; p; p = p->m_pBaseClass)
        if (p == pBaseClass)
            return TRUE;
    return FALSE;
}

const CRuntimeClass* CRuntimeClass::FromName(LPCSTR lpszClassName) {
    if (!lpszClassName)
        return NULL;
    ClassList& list = Classes();
    Hold hold(list.lock);
    for (const CRuntimeClass* p = list.pFirst; p; p = p->m_pNextClass)
        if (strcmp(p->m_lpszClassName, lpszClassName) == 0)
            return p;
    return NULL;
}

CObject* CRuntimeClass::CreateObject(LPCSTR lpszClassName) {
    const CRuntimeClass* pClass = FromName(lpszClassName);
    return pClass ? pClass->CreateObject() : NULL;
}

// ---- Windows ---------------------------------------------------------------------------

IMPLEMENT_DYNCREATE(CWnd, CObject)

namespace {

// The window objects by window handle, as MFC's permanent handle map.
struct WindowMap {
    Lock lock;
    std::map<HWND, CWnd*> objects;
};

WindowMap& Windows() {
    static WindowMap* map = new WindowMap;
    return *map;
}

}  // namespace

CWnd::CWnd() : m_hWnd(NULL), m_pfnSuper(NULL) {}

CWnd::~CWnd() {
    if (m_hWnd)
        DestroyWindow();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
    WindowMap& map = Windows();
    Hold hold(map.lock);
    auto it = map.objects.find(hWnd);
    return it == map.objects.end() ? NULL : it->second;
}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle, int x,
                    int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu, LPVOID lpParam) {
    if (m_hWnd)
        return FALSE;  // one window per object
    HWND hWnd = ::CreateWindowExA(dwExStyle, lpszClassName, lpszWindowName, dwStyle, x, y, nWidth, nHeight,
                                  hWndParent, nIDorHMenu, NULL, lpParam);
    if (!hWnd)
        return FALSE;
    {
        WindowMap& map = Windows();
        Hold hold(map.lock);
        map.objects[hWnd] = this;
    }
    m_hWnd = hWnd;
    // Subclass: the class's procedure stays reachable through DefWindowProc.
    m_pfnSuper = (WNDPROC)::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR)AfxWndProc);
    return TRUE;
}

BOOL CWnd::DestroyWindow() {
    if (!m_hWnd)
        return FALSE;
    const BOOL bDestroyed = ::DestroyWindow(m_hWnd);
    // WM_NCDESTROY has detached us, unless the window was no longer ours to route.
    if (bDestroyed && m_hWnd)
        Detach();
    return bDestroyed;
}

void CWnd::Detach() {
    {
        WindowMap& map = Windows();
        Hold hold(map.lock);
        map.objects.erase(m_hWnd);
    }
    m_hWnd = NULL;
    m_pfnSuper = NULL;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (m_pfnSuper)
        return ::CallWindowProcA(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcA(m_hWnd, message, wParam, lParam);
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* pWnd = CWnd::FromHandlePermanent(hWnd);
    if (!pWnd)
        return ::DefWindowProcA(hWnd, message, wParam, lParam);
    const LRESULT result = pWnd->WindowProc(message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        ::SetWindowLongPtrA(hWnd, GWLP_WNDPROC, (LONG_PTR)pWnd->m_pfnSuper);
        pWnd->Detach();
        pWnd->PostNcDestroy();
    }
    return result;
}
