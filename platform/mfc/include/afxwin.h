// Application start-up of the framework: the one application object and AfxWinInit; and
// CWnd, the window object.
// Pulls in the core, the collections and the synchronisation classes.
#pragma once

#include "afx.h"
#include "afxcoll.h"
#include "afxmt.h"

// The application object of the process. A program declares one at namespace scope;
// AfxWinInit then hands it the instance handle and the command line.
class CWinApp : public CObject {
public:
    explicit CWinApp(LPCTSTR lpszAppName = NULL);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }

    // Without a name given at construction, AfxWinInit names the application after its
    // executable file, without folder and extension.
    LPCTSTR m_pszAppName;
    LPCTSTR m_pszExeName;
    HINSTANCE m_hInstance;
    HINSTANCE m_hPrevInstance;
    LPTSTR m_lpCmdLine;
    int m_nCmdShow;

private:
    friend BOOL AFXAPI AfxWinInit(HINSTANCE, HINSTANCE, LPTSTR, int);
    void SetCurrentHandles();

    CString m_strAppName;
    CString m_strExeName;
};

CWinApp* AFXAPI AfxGetApp();
HINSTANCE AFXAPI AfxGetInstanceHandle();
LPCTSTR AFXAPI AfxGetAppName();
// Always succeeds; it records the handles in the application object when there is one.
BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow);

// A window object. CreateEx creates the window and routes its messages to the virtual
// WindowProc, on the thread that created it; what WindowProc leaves goes to DefWindowProc,
// which is the window class's own procedure. The destructor destroys a window that is
// still there.
class CWnd : public CObject {
    DECLARE_DYNCREATE(CWnd)

public:
    CWnd();
    ~CWnd() override;

    virtual BOOL CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle,
                          int x, int y, int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu,
                          LPVOID lpParam = NULL);
    virtual BOOL DestroyWindow();
    HWND GetSafeHwnd() const { return m_hWnd; }
    // The object whose window hWnd is, or NULL.
    static CWnd* FromHandlePermanent(HWND hWnd);

    HWND m_hWnd;

protected:
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Called once the window is gone (after WM_NCDESTROY).
    virtual void PostNcDestroy() {}

private:
    friend LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    void Detach();

    WNDPROC m_pfnSuper;
};

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
