#include <afx.h>
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <functional>

#include "Checks.h"
#include "HostDevices.h"

namespace keyprobecheck {

namespace {

const char kDefaultStore[] = "/etc/ioclasslib/registry.reg";
const char kRoot[] = "HKEY_LOCAL_MACHINE\\";
const DWORD kMaxKeyNameChars = 255;

std::string SystemMessage(DWORD dwError) {
    char szText[256] = {0};
    if (::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, dwError, 0, szText,
                         sizeof(szText), NULL) == 0)
        return "error " + std::to_string(dwError);
    std::string text = szText;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
    return text;
}

// What the library makes of the store: read, missing, or why it cannot be used.
std::string StoreState(const std::string& path, LONG lLoaded) {
    switch (lLoaded) {
    case ERROR_SUCCESS: return "read";
    case ERROR_FILE_NOT_FOUND: return "missing, so every debug log is off";
    case ERROR_BADDB: {
        const std::string kind = FileKind(path);
        if (!kind.empty())
            return "is " + kind + ", not a file: the library does not read it, so every debug log is off";
        return "malformed (or too large: " + std::to_string(FileSize(path)) +
               " bytes), so no key opens and every debug log is off";
    }
    default: return "cannot be read: " + SystemMessage((DWORD)lLoaded) + ", so every debug log is off";
    }
}

// Every key below hKey, depth first, through the registry functions the library reads the
// store with, so the check sees exactly the keys the library would open.
void WalkKeys(HKEY hKey, const std::string& path,
              const std::function<void(HKEY, const std::string&)>& visit) {
    char szName[kMaxKeyNameChars + 1];
    for (DWORD i = 0;; ++i) {
        DWORD cchName = sizeof(szName);
        if (::RegEnumKeyExA(hKey, i, szName, &cchName, NULL, NULL, NULL, NULL) != ERROR_SUCCESS)
            return;
        HKEY hSubkey = NULL;
        if (::RegOpenKeyExA(hKey, szName, 0, KEY_READ, &hSubkey) != ERROR_SUCCESS)
            continue;
        const std::string subkeyPath = path.empty() ? szName : path + "\\" + szName;
        visit(hSubkey, subkeyPath);
        WalkKeys(hSubkey, subkeyPath, visit);
        ::RegCloseKey(hSubkey);
    }
}

DebugLogSwitch SwitchOf(HKEY hKey, const std::string& path) {
    DebugLogSwitch s;
    s.key = kRoot + path;
    DWORD dwUse = 0, cbData = sizeof(dwUse);
    const LONG lUse = ::RegQueryValueExA(hKey, "UseDebugFile", NULL, NULL, (LPBYTE)&dwUse, &cbData);
    char szFile[MAX_PATH + 1] = {0};
    cbData = MAX_PATH;
    const LONG lFile = ::RegQueryValueExA(hKey, "DebugFile", NULL, NULL, (LPBYTE)szFile, &cbData);
    s.bOn = lUse == ERROR_SUCCESS && dwUse != 0 && lFile == ERROR_SUCCESS;
    if (lFile == ERROR_SUCCESS)
        s.file = szFile;
    if (lUse != ERROR_SUCCESS)
        s.problem = "UseDebugFile cannot be read as a number";
    else if (dwUse != 0 && lFile != ERROR_SUCCESS)
        s.problem = "UseDebugFile is on but there is no DebugFile value to log to";
    return s;
}

}  // namespace

void CheckRegistry(RegistryCheck& check) {
    const char* pszStore = getenv("IOCLASSLIB_REGISTRY");
    check.bFromEnvironment = pszStore != NULL && *pszStore != '\0';
    check.path = check.bFromEnvironment ? pszStore : kDefaultStore;

    const char* pszOutput = getenv("IOCLASSLIB_DEBUG_OUTPUT");
    if (pszOutput == NULL || *pszOutput == '\0')
        check.debugOutput = "discarded";
    else if (strcmp(pszOutput, "stderr") == 0)
        check.debugOutput = "standard error";
    else
        check.debugOutput = std::string("appended to ") + pszOutput;

    // Opening the root reads the store as every open does, with the library's limits.
    HKEY hRoot = NULL;
    const LONG lLoaded = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, NULL, 0, KEY_READ, &hRoot);
    check.state = StoreState(check.path, lLoaded);
    if (lLoaded != ERROR_SUCCESS)
        return;
    WalkKeys(hRoot, "", [&check](HKEY hKey, const std::string& path) {
        if (::RegQueryValueExA(hKey, "UseDebugFile", NULL, NULL, NULL, NULL) != ERROR_FILE_NOT_FOUND)
            check.switches.push_back(SwitchOf(hKey, path));
    });
    ::RegCloseKey(hRoot);
}

}  // namespace keyprobecheck
