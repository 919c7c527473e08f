#include "internal/reg_store.h"

#include "internal/errno_map.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <exception>
#include <mutex>

namespace win32 {

namespace {

const char kHeader4[] = "REGEDIT4";
const char kHeader5[] = "Windows Registry Editor Version 5.00";
const char* const kRoots[] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",   "HKEY_LOCAL_MACHINE",
                              "HKEY_USERS",        "HKEY_CURRENT_CONFIG", "HKEY_PERFORMANCE_DATA"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimRight(const std::string& s) {
    size_t n = s.size();
    while (n > 0 && (IsBlank(s[n - 1]) || s[n - 1] == '\r'))
        --n;
    return s.substr(0, n);
}

std::string TrimLeft(const std::string& s) {
    size_t n = 0;
    while (n < s.size() && IsBlank(s[n]))
        ++n;
    return s.substr(n);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8; false on an odd length or a broken surrogate pair.
bool Utf16LeToUtf8(const BYTE* p, size_t cb, std::string* pOut) {
    if (cb % 2 != 0)
        return false;
    std::string out;
    for (size_t i = 0; i < cb; i += 2) {
        uint32_t unit = (uint32_t)p[i] | ((uint32_t)p[i + 1] << 8);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 3 >= cb)
                return false;
            const uint32_t low = (uint32_t)p[i + 2] | ((uint32_t)p[i + 3] << 8);
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            i += 2;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
        AppendUtf8(out, unit);
    }
    *pOut = std::move(out);
    return true;
}

// "...": the quoted text starting at s[*pn] (at the opening quote), with \\ and \"
// unescaped. Leaves *pn after the closing quote.
bool ParseQuoted(const std::string& s, size_t* pn, std::string* pOut) {
    size_t n = *pn;
    if (n >= s.size() || s[n] != '"')
        return false;
    ++n;
    std::string out;
    while (n < s.size()) {
        const char c = s[n++];
        if (c == '"') {
            *pn = n;
            *pOut = std::move(out);
            return true;
        }
        if (c == '\\') {
            if (n >= s.size() || (s[n] != '\\' && s[n] != '"'))
                return false;
            out += s[n++];
        } else {
            out += c;
        }
    }
    return false;  // no closing quote
}

// "aa,bb,cc": one or two hex digits per byte, blanks allowed around the commas.
bool ParseHexList(const std::string& s, std::vector<BYTE>* pData) {
    pData->clear();
    size_t n = 0;
    while (n < s.size() && IsBlank(s[n]))
        ++n;
    if (n == s.size())
        return true;  // no bytes
    for (;;) {
        while (n < s.size() && IsBlank(s[n]))
            ++n;
        int nValue = 0, nDigits = 0;
        while (n < s.size() && HexDigit(s[n]) >= 0 && nDigits < 3) {
            nValue = nValue * 16 + HexDigit(s[n++]);
            ++nDigits;
        }
        if (nDigits == 0 || nDigits > 2)
            return false;
        pData->push_back((BYTE)nValue);
        while (n < s.size() && IsBlank(s[n]))
            ++n;
        if (n == s.size())
            return true;
        if (s[n] != ',')
            return false;
        ++n;
    }
}

bool IsRootName(const std::string& name) {
    for (const char* pszRoot : kRoots)
        if (RegFoldCase(name) == RegFoldCase(pszRoot))
            return true;
    return false;
}

// "HKEY_LOCAL_MACHINE\A\B" as its parts, root first; false when not a key path (an empty
// part, an unknown root) or beyond the registry's limits.
bool SplitKeyPath(const std::string& path, std::vector<std::string>* pParts) {
    pParts->clear();
    size_t nStart = 0;
    for (;;) {
        const size_t nSlash = path.find('\\', nStart);
        const size_t nEnd = nSlash == std::string::npos ? path.size() : nSlash;
        if (nEnd == nStart || nEnd - nStart > RegStore::kMaxKeyNameChars)
            return false;
        if (pParts->size() > RegStore::kMaxKeyDepth)
            return false;
        pParts->push_back(path.substr(nStart, nEnd - nStart));
        if (nSlash == std::string::npos)
            break;
        nStart = nSlash + 1;
    }
    return IsRootName((*pParts)[0]);
}

class Parser {
public:
    Parser(const std::string& text, RegKeyNode* pRoot) : m_text(text), m_pRoot(pRoot) {}

    bool Run() {
        std::string line;
        if (!NextLine(&line))
            return false;
        // A blank line or two ahead of the header does no harm.
        while (TrimRight(line).empty())
            if (!NextLine(&line))
                return false;
        const std::string header = TrimRight(line);
        if (header == kHeader5)
            m_bVersion5 = true;
        else if (header != kHeader4)
            return false;
        while (NextLine(&line)) {
            const std::string trimmed = TrimRight(TrimLeft(line));
            if (trimmed.empty() || trimmed[0] == ';')
                continue;
            if (trimmed[0] == '[') {
                if (!KeyLine(trimmed))
                    return false;
            } else if (trimmed[0] == '"' || trimmed[0] == '@') {
                if (!ValueLine(trimmed))
                    return false;
            } else {
                return false;
            }
        }
        return true;
    }

private:
    bool NextLine(std::string* pLine) {
        if (m_nPos >= m_text.size())
            return false;
        size_t nEnd = m_text.find('\n', m_nPos);
        if (nEnd == std::string::npos)
            nEnd = m_text.size();
        *pLine = m_text.substr(m_nPos, nEnd - m_nPos);
        if (!pLine->empty() && pLine->back() == '\r')
            pLine->pop_back();
        m_nPos = nEnd + 1;
        return true;
    }

    bool KeyLine(const std::string& line) {
        if (line.back() != ']')
            return false;
        std::string path = line.substr(1, line.size() - 2);
        const bool bDelete = !path.empty() && path[0] == '-';
        if (bDelete)
            path.erase(0, 1);
        if (!SplitKeyPath(path, &m_parts))
            return false;
        if (bDelete) {
            RegKeyNode* pParent = m_pRoot;
            for (size_t i = 0; pParent && i + 1 < m_parts.size(); ++i) {
                auto found = pParent->subkeys.find(RegFoldCase(m_parts[i]));
                pParent = found == pParent->subkeys.end() ? nullptr : found->second.get();
            }
            if (pParent)
                pParent->subkeys.erase(RegFoldCase(m_parts.back()));
            m_pCurrent = nullptr;
            m_bInDeletedKey = true;
            return true;
        }
        // The parents exist too, as regedit creates them on import.
        RegKeyNode* pNode = m_pRoot;
        for (const std::string& part : m_parts) {
            std::unique_ptr<RegKeyNode>& pChild = pNode->subkeys[RegFoldCase(part)];
            if (!pChild) {
                pChild.reset(new RegKeyNode);
                pChild->name = part;
            }
            pNode = pChild.get();
        }
        m_pCurrent = &pNode->values;
        m_bInDeletedKey = false;
        return true;
    }

    bool ValueLine(const std::string& line) {
        std::string name;
        size_t n = 0;
        if (line[0] == '@') {
            n = 1;
        } else if (!ParseQuoted(line, &n, &name)) {
            return false;
        }
        while (n < line.size() && IsBlank(line[n]))
            ++n;
        if (n >= line.size() || line[n] != '=')
            return false;
        ++n;
        while (n < line.size() && IsBlank(line[n]))
            ++n;
        std::string data = line.substr(n);
        if (m_bInDeletedKey)
            return SkipContinuations(data);
        if (!m_pCurrent)
            return false;  // a value before any key
        const std::string folded = RegFoldCase(name);
        if (data == "-") {
            m_pCurrent->erase(folded);
            return true;
        }
        RegValue value;
        if (!ParseData(data, &value))
            return false;
        (*m_pCurrent)[folded] = std::move(value);
        return true;
    }

    // Gathers the lines of a hex list: each piece but the last ends in a backslash.
    bool JoinContinuations(std::string* pList) {
        std::string list = TrimRight(*pList);
        std::string line;
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            if (!NextLine(&line))
                return false;  // the file ends inside the value
            list += TrimRight(TrimLeft(line));
        }
        *pList = list;
        return true;
    }

    bool SkipContinuations(std::string data) {
        return data.compare(0, 3, "hex") != 0 || JoinContinuations(&data);
    }

    bool ParseData(std::string data, RegValue* pValue) {
        if (!data.empty() && data[0] == '"') {
            size_t n = 0;
            std::string text;
            if (!ParseQuoted(data, &n, &text))
                return false;
            if (!TrimRight(data.substr(n)).empty())
                return false;
            pValue->dwType = REG_SZ;
            pValue->data.assign(text.begin(), text.end());
            pValue->data.push_back(0);
            return true;
        }
        if (data.compare(0, 6, "dword:") == 0) {
            const std::string digits = TrimRight(data.substr(6));
            if (digits.empty() || digits.size() > 8)
                return false;
            DWORD dwValue = 0;
            for (char c : digits) {
                if (HexDigit(c) < 0)
                    return false;
                dwValue = (dwValue << 4) | (DWORD)HexDigit(c);
            }
            pValue->dwType = REG_DWORD;
            for (int i = 0; i < 4; ++i)
                pValue->data.push_back((BYTE)(dwValue >> (8 * i)));
            return true;
        }
        if (data.compare(0, 3, "hex") == 0) {
            size_t n = 3;
            DWORD dwType = REG_BINARY;
            if (n < data.size() && data[n] == '(') {
                const size_t nClose = data.find(')', n);
                if (nClose == std::string::npos || nClose == n + 1 || nClose - n - 1 > 8)
                    return false;
                dwType = 0;
                for (size_t i = n + 1; i < nClose; ++i) {
                    if (HexDigit(data[i]) < 0)
                        return false;
                    dwType = (dwType << 4) | (DWORD)HexDigit(data[i]);
                }
                n = nClose + 1;
            }
            if (n >= data.size() || data[n] != ':')
                return false;
            std::string list = data.substr(n + 1);
            if (!JoinContinuations(&list) || !ParseHexList(list, &pValue->data))
                return false;
            pValue->dwType = dwType;
            if (m_bVersion5 && (dwType == REG_SZ || dwType == REG_EXPAND_SZ || dwType == REG_MULTI_SZ)) {
                std::string text;
                if (Utf16LeToUtf8(pValue->data.data(), pValue->data.size(), &text))
                    pValue->data.assign(text.begin(), text.end());
            }
            return true;
        }
        return false;
    }

    const std::string& m_text;
    RegKeyNode* m_pRoot;
    std::vector<std::string> m_parts;
    size_t m_nPos = 0;
    bool m_bVersion5 = false;
    RegValues* m_pCurrent = nullptr;
    bool m_bInDeletedKey = false;
};

// The store as 8-bit text: UTF-16LE (with its mark) becomes UTF-8, a UTF-8 mark is dropped.
// False for text that cannot be a store (NUL bytes, broken UTF-16, big-endian UTF-16).
bool DecodeStoreText(const std::string& raw, std::string* pText) {
    if (raw.size() >= 2 && (BYTE)raw[0] == 0xFF && (BYTE)raw[1] == 0xFE)
        return Utf16LeToUtf8((const BYTE*)raw.data() + 2, raw.size() - 2, pText) &&
               pText->find('\0') == std::string::npos;
    if (raw.size() >= 2 && (BYTE)raw[0] == 0xFE && (BYTE)raw[1] == 0xFF)
        return false;
    if (raw.find('\0') != std::string::npos)
        return false;
    if (raw.size() >= 3 && (BYTE)raw[0] == 0xEF && (BYTE)raw[1] == 0xBB && (BYTE)raw[2] == 0xBF)
        *pText = raw.substr(3);
    else
        *pText = raw;
    return true;
}

}  // namespace

std::string RegFoldCase(const std::string& name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return folded;
}

bool RegStore::Parse(const std::string& raw) {
    m_root.subkeys.clear();
    try {
        std::string text;
        if (raw.size() <= kMaxStoreBytes && DecodeStoreText(raw, &text) && Parser(text, &m_root).Run())
            return true;
    } catch (const std::exception&) {
        // Out of memory: the store is as unusable as a malformed one.
    }
    m_root.subkeys.clear();
    return false;
}

const RegValues* RegStore::FindValues(const std::string& path) const {
    const RegKeyNode* pKey = FindKey(path);
    return pKey ? &pKey->values : nullptr;
}

const RegKeyNode* RegStore::FindKey(const std::string& path) const {
    const RegKeyNode* pNode = &m_root;
    size_t nStart = 0;
    for (;;) {
        const size_t nSlash = path.find('\\', nStart);
        const size_t nEnd = nSlash == std::string::npos ? path.size() : nSlash;
        auto found = pNode->subkeys.find(RegFoldCase(path.substr(nStart, nEnd - nStart)));
        if (found == pNode->subkeys.end())
            return nullptr;
        pNode = found->second.get();
        if (nSlash == std::string::npos)
            return pNode;
        nStart = nSlash + 1;
    }
}

namespace {

// The last store parsed, with what identifies the file it came from.
struct CachedStore {
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    struct timespec mtime = {0, 0};
    struct timespec ctime = {0, 0};
    std::shared_ptr<const RegStore> store;
};

std::mutex g_cacheLock;
CachedStore g_cache;

bool SameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool Before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool SameFile(const CachedStore& cache, const std::string& path, const struct stat& info) {
    return cache.store && cache.path == path && cache.dev == info.st_dev && cache.ino == info.st_ino &&
           cache.size == info.st_size && SameTime(cache.mtime, info.st_mtim) &&
           SameTime(cache.ctime, info.st_ctim);
}

DWORD ReadStoreFile(int fd, std::string* pRaw) {
    char buffer[65536];
    for (;;) {
        const ssize_t cbRead = read(fd, buffer, sizeof(buffer));
        if (cbRead < 0 && errno == EINTR)
            continue;
        if (cbRead < 0)
            return Win32ErrorFromErrno(errno);
        if (cbRead == 0)
            return ERROR_SUCCESS;
        pRaw->append(buffer, (size_t)cbRead);
        if (pRaw->size() > RegStore::kMaxStoreBytes)
            return ERROR_BADDB;
    }
}

DWORD LoadFromFile(const std::string& path, std::shared_ptr<const RegStore>* pStore) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND : Win32ErrorFromErrno(errno);
    // Only a regular file: a FIFO or a device named by mistake could block or never end.
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return ERROR_BADDB;
    }
    // A change within the clock tick of the one before leaves the file's times as they
    // were, so a file changed in the current tick is read but not kept for the next call.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    const bool bSettled = Before(info.st_mtim, now) && Before(info.st_ctim, now);
    {
        std::lock_guard<std::mutex> lock(g_cacheLock);
        if (bSettled && SameFile(g_cache, path, info)) {
            close(fd);
            *pStore = g_cache.store;
            return ERROR_SUCCESS;
        }
    }
    std::string raw;
    const DWORD dwRead = ReadStoreFile(fd, &raw);
    close(fd);
    if (dwRead != ERROR_SUCCESS)
        return dwRead;
    std::shared_ptr<RegStore> store = std::make_shared<RegStore>();
    if (!store->Parse(raw))
        return ERROR_BADDB;
    if (bSettled) {
        std::lock_guard<std::mutex> lock(g_cacheLock);
        g_cache.path = path;
        g_cache.dev = info.st_dev;
        g_cache.ino = info.st_ino;
        g_cache.size = info.st_size;
        g_cache.mtime = info.st_mtim;
        g_cache.ctime = info.st_ctim;
        g_cache.store = store;
    }
    *pStore = std::move(store);
    return ERROR_SUCCESS;
}

}  // namespace

DWORD LoadRegStore(std::shared_ptr<const RegStore>* pStore) {
    const char* pszPath = getenv("IOCLASSLIB_REGISTRY");
    if (!pszPath || !*pszPath)
        pszPath = "/etc/ioclasslib/registry.reg";
    try {
        return LoadFromFile(pszPath, pStore);
    } catch (const std::exception&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

}  // namespace win32
