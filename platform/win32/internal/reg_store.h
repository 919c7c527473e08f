// The registry store: keys and values read from a text file in the Windows .reg export
// format. Accepted, as regedit writes it:
//   - a first line "REGEDIT4" or "Windows Registry Editor Version 5.00" (8-bit text,
//     UTF-8 with or without its mark, or UTF-16LE with its mark as regedit saves it);
//   - "[HKEY_LOCAL_MACHINE\A\B]" opens a key (any predefined root), "[-...]" deletes a key
//     and its subkeys;
//   - "name"= or @= (the default value) followed by "text" (\\ and \" escaped),
//     dword:xxxxxxxx, hex:aa,bb,... (REG_BINARY) or hex(n):aa,... (type n), hex lists
//     continued with a trailing backslash on the next line; "name"=- deletes a value;
//   - blank lines and lines starting with ';'.
// Anything else makes the whole store malformed. Names of keys and values compare without
// regard to case, as in the registry. In a version 5 file hex(1), hex(2) and hex(7) hold
// UTF-16LE text, which the ANSI view turns into 8-bit text as RegQueryValueExA does.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace win32 {

struct RegValue {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
};

// Values of one key, by lower-cased name ("" is the default value).
typedef std::map<std::string, RegValue> RegValues;

class RegStore {
public:
    // Stores larger than this are refused as malformed rather than read into memory.
    static const size_t kMaxStoreBytes = 16u << 20;

    // Parses the text of a store. False when it is malformed; the store is then empty.
    bool Parse(const std::string& text);

    // The values of a key path "HKEY_LOCAL_MACHINE\A\B" (any case); NULL when the key does
    // not exist. A key exists when the file names it or one of its subkeys.
    const RegValues* FindValues(const std::string& path) const;

private:
    std::map<std::string, RegValues> m_keys;  // by lower-cased full path
};

// Reads the store named by IOCLASSLIB_REGISTRY (default /etc/ioclasslib/registry.reg).
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when it is missing, ERROR_BADDB when it is malformed
// or too large, or the error of reading it.
DWORD LoadRegStore(RegStore* pStore);

// Lower-cases ASCII letters, as key and value names are compared.
std::string RegFoldCase(const std::string& name);

}  // namespace win32
