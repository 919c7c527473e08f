// _splitpath and _makepath of the Microsoft C runtime, and _mbscmp.
//
// Both '\' and '/' separate directories, as in the Windows runtime, so Windows paths and
// Linux paths split alike. Each part is cut to its _MAX_ size, as the runtime's own
// _splitpath cuts it, so buffers of those sizes never overflow.
#include <windows.h>

#include <errno.h>

#include <initializer_list>
#include <limits.h>
#include <mbstring.h>
#include <string.h>

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

void CopyPart(char* pszTarget, size_t cbTarget, const char* pBegin, const char* pEnd) {
    if (!pszTarget)
        return;
    size_t cbPart = (size_t)(pEnd - pBegin);
    if (cbPart > cbTarget - 1)
        cbPart = cbTarget - 1;
    memcpy(pszTarget, pBegin, cbPart);
    pszTarget[cbPart] = '\0';
}

// Appends as much of pszPart as fits below _MAX_PATH.
void Append(char* pszPath, size_t* pcbUsed, const char* pBegin, size_t cbPart) {
    const size_t cbRoom = _MAX_PATH - 1 - *pcbUsed;
    if (cbPart > cbRoom)
        cbPart = cbRoom;
    memcpy(pszPath + *pcbUsed, pBegin, cbPart);
    *pcbUsed += cbPart;
}

}  // namespace

extern "C" void __cdecl _splitpath(const char* _FullPath, char* _Drive, char* _Dir, char* _Filename,
                                   char* _Ext) {
    if (!_FullPath) {
        errno = EINVAL;
        for (char* pszPart : {_Drive, _Dir, _Filename, _Ext})
            if (pszPart)
                *pszPart = '\0';
        return;
    }
    const char* p = _FullPath;
    const size_t cbPath = strlen(p);
    if (cbPath >= 2 && p[1] == ':') {
        CopyPart(_Drive, _MAX_DRIVE, p, p + 2);
        p += 2;
    } else {
        CopyPart(_Drive, _MAX_DRIVE, p, p);
    }
    const char* pEnd = _FullPath + cbPath;
    // The directory runs up to and including the last separator; the extension starts at
    // the last dot after it (so ".profile" is all extension, as in the runtime).
    const char* pNameStart = p;
    const char* pLastDot = nullptr;
    for (const char* q = p; q < pEnd; ++q) {
        if (IsSeparator(*q)) {
            pNameStart = q + 1;
            pLastDot = nullptr;
        } else if (*q == '.') {
            pLastDot = q;
        }
    }
    CopyPart(_Dir, _MAX_DIR, p, pNameStart);
    const char* pExtStart = pLastDot ? pLastDot : pEnd;
    CopyPart(_Filename, _MAX_FNAME, pNameStart, pExtStart);
    CopyPart(_Ext, _MAX_EXT, pExtStart, pEnd);
}

// Joins drive letter and colon, directory (with a separator added when it lacks one),
// file name and extension (with a dot added when it lacks one). Windows adds '\'; here only
// a directory written with '\' alone gets '\', any other the Linux '/'. The result is cut
// to _MAX_PATH - 1 characters rather than run past a _MAX_PATH buffer.
extern "C" void __cdecl _makepath(char* _Path, const char* _Drive, const char* _Dir, const char* _Filename,
                                  const char* _Ext) {
    if (!_Path) {
        errno = EINVAL;
        return;
    }
    char szResult[_MAX_PATH];
    size_t cbUsed = 0;
    if (_Drive && *_Drive) {
        Append(szResult, &cbUsed, _Drive, 1);
        Append(szResult, &cbUsed, ":", 1);
    }
    if (_Dir && *_Dir) {
        const size_t cbDir = strlen(_Dir);
        Append(szResult, &cbUsed, _Dir, cbDir);
        if (!IsSeparator(_Dir[cbDir - 1])) {
            const bool bWindowsStyle = strchr(_Dir, '\\') && !strchr(_Dir, '/');
            Append(szResult, &cbUsed, bWindowsStyle ? "\\" : "/", 1);
        }
    }
    if (_Filename)
        Append(szResult, &cbUsed, _Filename, strlen(_Filename));
    if (_Ext && *_Ext) {
        if (*_Ext != '.')
            Append(szResult, &cbUsed, ".", 1);
        Append(szResult, &cbUsed, _Ext, strlen(_Ext));
    }
    szResult[cbUsed] = '\0';
    // The parts may point into _Path itself, so the result is built aside first.
    memcpy(_Path, szResult, cbUsed + 1);
}

// Byte order equals character order for single-byte code pages and for UTF-8.
extern "C" int __cdecl _mbscmp(const unsigned char* _Str1, const unsigned char* _Str2) {
    if (!_Str1 || !_Str2) {
        errno = EINVAL;
        return _NLSCMPERROR;
    }
    return strcmp((const char*)_Str1, (const char*)_Str2);  // compares as unsigned char
}
