// The read side of the registry over the .reg text store (internal/reg_store.h).
//
// The store is read afresh at every RegOpenKeyExA, so an edit takes effect at the next
// open; an open key keeps the values it found when it was opened (Windows would show later
// changes through the same handle). A missing or malformed store fails every open, with
// ERROR_FILE_NOT_FOUND or ERROR_BADDB.
#include "internal/handle.h"
#include "internal/reg_store.h"

namespace win32 {

namespace {

class RegKeyObject : public KernelObject {
public:
    RegKeyObject(std::string path, RegValues values) : m_path(std::move(path)), m_values(std::move(values)) {}
    const std::string& Path() const { return m_path; }
    const RegValues& Values() const { return m_values; }

private:
    const std::string m_path;
    const RegValues m_values;
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
    const RegValues* pValues = store->FindValues(path);
    // A predefined root exists even when the store names nothing below it.
    if (!pValues && PredefinedRoot(hKey) && !(lpSubKey && *lpSubKey)) {
        static const RegValues kNoValues;
        pValues = &kNoValues;
    }
    if (!pValues)
        return ERROR_FILE_NOT_FOUND;
    HANDLE h = InsertHandle(std::make_shared<RegKeyObject>(path, *pValues));
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

extern "C" LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (PredefinedRoot(hKey))
        return ERROR_SUCCESS;
    HANDLE h = reinterpret_cast<HANDLE>(hKey);
    if (!std::dynamic_pointer_cast<RegKeyObject>(LookupHandle(h)))
        return ERROR_INVALID_HANDLE;
    RemoveHandle(h);
    return ERROR_SUCCESS;
}
