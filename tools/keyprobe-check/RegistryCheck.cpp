#include <afx.h>
#include <windows.h>

#include <string.h>
#include <strings.h>

#include <functional>

#include "Checks.h"
#include "HostDevices.h"

namespace keyprobecheck {

namespace {

const char kRoot[] = "HKEY_LOCAL_MACHINE\\";
const DWORD kMaxKeyNameChars = 255;

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

void AddSwitchIfAny(HKEY hKey, const std::string& path, RegistryCheck& check) {
    if (::RegQueryValueExA(hKey, "UseDebugFile", NULL, NULL, NULL, NULL) != ERROR_FILE_NOT_FOUND)
        check.switches.push_back(SwitchOf(hKey, path));
}

// A key as people copy it from the Registry Editor, with or without its root.
std::string WithoutRoot(std::string key) {
    for (const char* pszRoot : {"Computer\\", "HKEY_LOCAL_MACHINE\\", "HKLM\\"})
        if (strncasecmp(key.c_str(), pszRoot, strlen(pszRoot)) == 0)
            key.erase(0, strlen(pszRoot));
    while (!key.empty() && key.back() == '\\')
        key.pop_back();
    return key;
}

}  // namespace

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

void CheckRegistry(const char* pszKey, RegistryCheck& check) {
    // Opening the root reads the store as every open does, with the library's limits.
    HKEY hRoot = NULL;
    const LONG lOpened = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, NULL, 0, KEY_READ, &hRoot);
    DescribeRegistry(lOpened, check);
    if (lOpened != ERROR_SUCCESS)
        return;
    if (pszKey == NULL && !ListsEveryDebugLogSwitch()) {
        check.keyProblem = "no key named: keyprobe-check --debug-key KEY lists the debug-log switches of KEY "
                           "and of the keys below it";
    } else if (pszKey == NULL) {
        WalkKeys(hRoot, "",
                 [&check](HKEY hKey, const std::string& path) { AddSwitchIfAny(hKey, path, check); });
    } else {
        check.key = WithoutRoot(pszKey);
        HKEY hKey = NULL;
        const LONG lKey = ::RegOpenKeyExA(hRoot, check.key.c_str(), 0, KEY_READ, &hKey);
        if (lKey == ERROR_SUCCESS) {
            AddSwitchIfAny(hKey, check.key, check);
            WalkKeys(hKey, check.key, [&check](HKEY hSubkey, const std::string& path) {
                AddSwitchIfAny(hSubkey, path, check);
            });
            ::RegCloseKey(hKey);
        } else if (lKey == ERROR_FILE_NOT_FOUND) {
            check.keyProblem = kRoot + check.key + " does not exist, so no debug log below it is on";
        } else {
            check.keyProblem = kRoot + check.key + " cannot be read: " + SystemMessage((DWORD)lKey);
        }
    }
    ::RegCloseKey(hRoot);
}

}  // namespace keyprobecheck
