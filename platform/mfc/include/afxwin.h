// Application start-up of the framework: the one application object and AfxWinInit.
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
