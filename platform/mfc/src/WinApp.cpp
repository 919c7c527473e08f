#include <afxwin.h>

#include <vector>

namespace {

CWinApp* g_pApp = NULL;
HINSTANCE g_hInstance = NULL;

}  // namespace

CWinApp::CWinApp(LPCTSTR lpszAppName)
    : m_pszAppName(NULL),
      m_pszExeName(NULL),
      m_hInstance(NULL),
      m_hPrevInstance(NULL),
      m_lpCmdLine(NULL),
      m_nCmdShow(0),
      m_strAppName(lpszAppName) {
    if (lpszAppName != NULL)
        m_pszAppName = m_strAppName;
    g_pApp = this;
}

CWinApp::~CWinApp() {
    if (g_pApp == this)
        g_pApp = NULL;
}

void CWinApp::SetCurrentHandles() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(m_hInstance, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            path[0] = '\0';
            break;
        }
        if (n < path.size())
            break;
        path.resize(path.size() * 2);  // truncated: try again with more room
    }
    CString strPath(path.data());
    int nStart = strPath.GetLength();
    while (nStart > 0 && strPath[nStart - 1] != '\\' && strPath[nStart - 1] != '/' &&
           strPath[nStart - 1] != ':')
        --nStart;
    m_strExeName = strPath.Mid(nStart);
    int nDot = m_strExeName.ReverseFind('.');
    if (nDot > 0)
        m_strExeName = m_strExeName.Left(nDot);
    m_pszExeName = m_strExeName;
    if (m_pszAppName == NULL) {
        m_strAppName = m_strExeName;
        m_pszAppName = m_strAppName;
    }
}

CWinApp* AFXAPI AfxGetApp() { return g_pApp; }

HINSTANCE AFXAPI AfxGetInstanceHandle() { return g_hInstance; }

LPCTSTR AFXAPI AfxGetAppName() { return g_pApp != NULL ? g_pApp->m_pszAppName : NULL; }

BOOL AFXAPI AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPTSTR lpCmdLine, int nCmdShow) {
    g_hInstance = hInstance;
    if (CWinApp* pApp = AfxGetApp()) {
        pApp->m_hInstance = hInstance;
        pApp->m_hPrevInstance = hPrevInstance;
        pApp->m_lpCmdLine = lpCmdLine;
        pApp->m_nCmdShow = nCmdShow;
        pApp->SetCurrentHandles();
    }
    return TRUE;
}
