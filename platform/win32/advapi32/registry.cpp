// The read side of the registry over the .reg text store (internal/reg_store.h).
//
// The store is read afresh at every RegOpenKeyExA, so an edit takes effect at the next
// open; an open key keeps the values it found when it was opened (Windows would show later
// changes through the same handle). A missing or malformed store fails every open, with
// ERROR_FILE_NOT_FOUND or ERROR_BADDB.
#include "internal/handle.h"
#include "internal/reg_store.h"

#include <string.h>

#include <vector>

namespace win32 {

namespace {

// The names of a key's subkeys, in the store's order (by name, without regard to case).
std::vector<std::string> SubkeyNames(const RegKeyNode& key) {
    std::vector<std::string> names;
    names.reserve(key.subkeys.size());
    for (const auto& entry : key.subkeys)
        names.push_back(entry.second->name);
    return names;
}

class RegKeyObject : public KernelObject {
public:
    RegKeyObject(std::string path, const RegKeyNode& key)
        : m_path(std::move(path)), m_values(key.values), m_subkeys(SubkeyNames(key)) {}
    const std::string& Path() const { return m_path; }
    const RegValues& Values() const { return m_values; }
    const std::vector<std::string>& Subkeys() const { return m_subkeys; }

private:
    const std::string m_path;
    const RegValues m_values;
    const std::vector<std::string> m_subkeys;
};

const char* PredefinedRoot(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT)
        return "HKEY_CLASSES_ROOT";
    if (hKey == HKEY_CURRENT_USER)
        return "HKEY_CURRENT_USER";
    if (hKey == HKEY_LOCAL_MACHINE)
        return "HKEY_LOCAL_MACHINE";
    if (hKey == HKEY_USERS)
        return "HKEY_USERS";
    if (hKey == HKEY_CURRENT_CONFIG)
        return "HKEY_CURRENT_CONFIG";
    if (hKey == HKEY_PERFORMANCE_DATA)
        return "HKEY_PERFORMANCE_DATA";
    return nullptr;
}

// The full path of an open or predefined key; false for an invalid handle.
bool PathOfKey(HKEY hKey, std::string* pPath, std::shared_ptr<RegKeyObject>* pKey) {
    if (const char* pszRoot = PredefinedRoot(hKey)) {
        *pPath = pszRoot;
        return true;
    }
    std::shared_ptr<RegKeyObject> key =
        std::dynamic_pointer_cast<RegKeyObject>(LookupHandle(reinterpret_cast<HANDLE>(hKey)));
    if (!key)
        return false;
    *pPath = key->Path();
    if (pKey)
        *pKey = key;
    return true;
}

}  // namespace

}  // namespace win32

using namespace win32;

extern "C" LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, PHKEY phkResult) {
    if (!phkResult)
        return ERROR_INVALID_PARAMETER;
    *phkResult = NULL;
    std::string path;
    if (!PathOfKey(hKey, &path, nullptr))
        return ERROR_INVALID_HANDLE;
    if (lpSubKey && *lpSubKey) {
        std::string subKey(lpSubKey);
        // One trailing backslash is ignored, as Windows ignores it; a leading one or an
        // empty part in between is not a key name.
        if (subKey.back() == '\\')
            subKey.pop_back();
        if (subKey.empty() || subKey[0] == '\\' || subKey.find("\\\\") != std::string::npos)
            return ERROR_BAD_PATHNAME;
        path += "\\" + subKey;
    }
    std::shared_ptr<const RegStore> store;
    const DWORD dwLoaded = LoadRegStore(&store);
    if (dwLoaded != ERROR_SUCCESS)
        return (LSTATUS)dwLoaded;
    const RegKeyNode* pKey = store->FindKey(path);
    // A predefined root exists even when the store names nothing below it.
    static const RegKeyNode kEmptyKey;
    if (!pKey && PredefinedRoot(hKey) && !(lpSubKey && *lpSubKey))
        pKey = &kEmptyKey;
    if (!pKey)
        return ERROR_FILE_NOT_FOUND;
    HANDLE h = InsertHandle(std::make_shared<RegKeyObject>(path, *pKey));
    if (!h)
        return ERROR_NO_SYSTEM_RESOURCES;
    *phkResult = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                           LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved || (lpData && !lpcbData))
        return ERROR_INVALID_PARAMETER;
    std::string path;
    std::shared_ptr<RegKeyObject> key;
    if (!PathOfKey(hKey, &path, &key))
        return ERROR_INVALID_HANDLE;
    const RegValues* pValues = key ? &key->Values() : nullptr;
    std::shared_ptr<const RegStore> store;
    if (!key) {
        // A predefined root is read straight from the store.
        const DWORD dwLoaded = LoadRegStore(&store);
        if (dwLoaded != ERROR_SUCCESS)
            return (LSTATUS)dwLoaded;
        pValues = store->FindValues(path);
        if (!pValues)
            return ERROR_FILE_NOT_FOUND;
    }
    auto found = pValues->find(RegFoldCase(lpValueName ? lpValueName : ""));
    if (found == pValues->end())
        return ERROR_FILE_NOT_FOUND;
    const RegValue& value = found->second;
    if (lpType)
        *lpType = value.dwType;
    const DWORD cbValue = (DWORD)value.data.size();
    if (!lpcbData)
        return ERROR_SUCCESS;
    if (lpData && *lpcbData < cbValue) {
        *lpcbData = cbValue;
        return ERROR_MORE_DATA;
    }
    if (lpData && cbValue > 0)
        memcpy(lpData, value.data.data(), cbValue);
    *lpcbData = cbValue;
    return ERROR_SUCCESS;
}

// An open key lists the subkeys it had when it was opened, as it keeps its values.
extern "C" LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                        LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                        PFILETIME lpftLastWriteTime) {
    if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass))
        return ERROR_INVALID_PARAMETER;
    std::string path;
    std::shared_ptr<RegKeyObject> key;
    if (!PathOfKey(hKey, &path, &key))
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> rootSubkeys;
    if (!key) {
        std::shared_ptr<const RegStore> store;
        const DWORD dwLoaded = LoadRegStore(&store);
        if (dwLoaded != ERROR_SUCCESS)
            return (LSTATUS)dwLoaded;
        if (const RegKeyNode* pRoot = store->FindKey(path))
            rootSubkeys = SubkeyNames(*pRoot);
    }
    const std::vector<std::string>& names = key ? key->Subkeys() : rootSubkeys;
    if (dwIndex >= names.size())
        return ERROR_NO_MORE_ITEMS;
    const std::string& name = names[dwIndex];
    if (*lpcchName <= name.size())
        return ERROR_MORE_DATA;
    memcpy(lpName, name.c_str(), name.size() + 1);
    *lpcchName = (DWORD)name.size();
    // The store keeps neither classes nor write times.
    if (lpClass) {
        if (*lpcchClass == 0)
            return ERROR_MORE_DATA;
        lpClass[0] = '\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime)
        memset(lpftLastWriteTime, 0, sizeof(*lpftLastWriteTime));
    return ERROR_SUCCESS;
}

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (PredefinedRoot(hKey))
        return ERROR_SUCCESS;
    HANDLE h = reinterpret_cast<HANDLE>(hKey);
    if (!std::dynamic_pointer_cast<RegKeyObject>(LookupHandle(h)))
        return ERROR_INVALID_HANDLE;
    RemoveHandle(h);
    return ERROR_SUCCESS;
}
