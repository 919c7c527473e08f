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
// Anything else makes the whole store malformed, and so does a key name part longer than
// 255 characters or a key more than 512 levels below its root, the limits of the registry. Names of keys and values compare without
// regard to case, as in the registry. In a version 5 file hex(1), hex(2) and hex(7) hold
// UTF-16LE text, which the ANSI view turns into 8-bit text as RegQueryValueExA does.
#pragma once

#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace win32 {

struct RegValue {
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
};

// Values of one key, by lower-cased name ("" is the default value).
typedef std::map<std::string, RegValue> RegValues;

// One key: its values and its subkeys by lower-cased name. Each name part is held once,
// so the store's memory grows with the file, not with the square of a key's depth.
struct RegKeyNode {
    std::string name;  // as the store first spells it
    RegValues values;
    std::map<std::string, std::unique_ptr<RegKeyNode>> subkeys;
};

class RegStore {
public:
    // Stores larger than this are refused as malformed rather than read into memory.
    static const size_t kMaxStoreBytes = 16u << 20;
    static const size_t kMaxKeyNameChars = 255;
    static const size_t kMaxKeyDepth = 512;

    // Parses the text of a store. False when it is malformed or memory runs out; the store
    // is then empty. Throws nothing.
    bool Parse(const std::string& text);

    // The key of a path "HKEY_LOCAL_MACHINE\A\B" (any case); NULL when it does not exist.
    // A key exists when the file names it or one of its subkeys.
    const RegKeyNode* FindKey(const std::string& path) const;
    const RegValues* FindValues(const std::string& path) const;

private:
    RegKeyNode m_root;  // its subkeys are the predefined roots
};

// Reads the store named by IOCLASSLIB_REGISTRY (default /etc/ioclasslib/registry.reg).
// ERROR_SUCCESS, ERROR_FILE_NOT_FOUND when it is missing, ERROR_BADDB when it is malformed
// or too large, ERROR_NOT_ENOUGH_MEMORY, or the error of reading it. The parsed store is
// kept and handed out again while the file's identity, size and change times stay the
// same, so a large store is not parsed at every call.
DWORD LoadRegStore(std::shared_ptr<const RegStore>* pStore);

// Lower-cases ASCII letters, as key and value names are compared.
std::string RegFoldCase(const std::string& name);

}  // namespace win32
