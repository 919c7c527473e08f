#include <afx.h>
#include <windows.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <fstream>
#include <sstream>

#include "Checks.h"

namespace keyprobecheck {

namespace {

const char kDefaultStore[] = "/etc/ioclasslib/registry.reg";
const char kRoot[] = "HKEY_LOCAL_MACHINE\\";

// Regedit saves version 5 files as UTF-16LE; the key names the scan looks for are ASCII.
std::string AsNarrowText(const std::string& bytes) {
    if (bytes.size() < 2 || (unsigned char)bytes[0] != 0xFF || (unsigned char)bytes[1] != 0xFE)
        return bytes;
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += bytes[i + 1] == 0 ? bytes[i] : '?';
    return text;
}

// Keys below HKEY_LOCAL_MACHINE that mention UseDebugFile, in file order. Only a list of
// places to ask: what they hold is read back through the registry functions the library uses.
std::vector<std::string> KeysWithSwitch(const std::string& text) {
    std::vector<std::string> keys;
    std::istringstream lines(text);
    std::string line, key;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line[0] == '[' && line[1] != '-' && line.back() == ']') {
            key = line.substr(1, line.size() - 2);
            if (strncasecmp(key.c_str(), kRoot, strlen(kRoot)) != 0)
                key.clear();
            else
                key = key.substr(strlen(kRoot));
        } else if (!key.empty() && strncasecmp(line.c_str(), "\"UseDebugFile\"", 14) == 0) {
            bool bKnown = false;
            for (const std::string& k : keys)
                bKnown = bKnown || strcasecmp(k.c_str(), key.c_str()) == 0;
            if (!bKnown)
                keys.push_back(key);
        }
    }
    return keys;
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

    std::ifstream file(check.path, std::ios::binary);
    if (!file) {
        check.state = errno == ENOENT ? "missing, so every debug log is off"
                                      : std::string("cannot be read: ") + strerror(errno);
        return;
    }
    std::ostringstream bytes;
    bytes << file.rdbuf();
    const std::vector<std::string> keys = KeysWithSwitch(AsNarrowText(bytes.str()));

    // The store is parsed whole at every open: any key tells whether it parses at all.
    HKEY hKey = NULL;
    const LONG lProbe =
        ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keys.empty() ? "SOFTWARE" : keys[0].c_str(), 0, KEY_READ, &hKey);
    if (lProbe == ERROR_SUCCESS)
        ::RegCloseKey(hKey);
    if (lProbe == ERROR_BADDB) {
        check.state = "malformed (or too large), so no key opens and every debug log is off";
        return;
    }
    check.state = "read";

    for (const std::string& key : keys) {
        DebugLogSwitch s;
        s.key = kRoot + key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) {
            s.problem = "the key does not open";
            check.switches.push_back(s);
            continue;
        }
        DWORD dwUse = 0, cbData = sizeof(dwUse);
        const LONG lUse = ::RegQueryValueExA(hKey, "UseDebugFile", NULL, NULL, (LPBYTE)&dwUse, &cbData);
        char szFile[MAX_PATH + 1] = {0};
        cbData = MAX_PATH;
        const LONG lFile = ::RegQueryValueExA(hKey, "DebugFile", NULL, NULL, (LPBYTE)szFile, &cbData);
        ::RegCloseKey(hKey);
        s.bOn = lUse == ERROR_SUCCESS && dwUse != 0 && lFile == ERROR_SUCCESS;
        if (lFile == ERROR_SUCCESS)
            s.file = szFile;
        if (lUse != ERROR_SUCCESS)
            s.problem = "UseDebugFile cannot be read as a number";
        else if (dwUse != 0 && lFile != ERROR_SUCCESS)
            s.problem = "UseDebugFile is on but there is no DebugFile value to log to";
        check.switches.push_back(s);
    }
}

}  // namespace keyprobecheck
