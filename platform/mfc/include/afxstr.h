// CString: the framework's byte string. One character per byte; a string built from a
// pointer and a length, or through GetBufferSetLength, may hold zero bytes, and every
// operation below (length, compare, find, copy, concatenation) counts them. The buffer
// always carries a terminating zero after the last character, so operator LPCTSTR can be
// handed to C functions, which then see the text up to the first zero byte.
#pragma once

#include <windows.h>
#include <stdarg.h>
#include <stddef.h>
#include <type_traits>

#if defined(__GNUC__) && !defined(_WIN32)
#define AFX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define AFX_PRINTF_FORMAT(fmt, args)
#endif

class CString {
public:
    CString() noexcept : m_pchData(nullptr), m_nDataLength(0), m_nAllocLength(0) {}
    CString(const CString& other);
    CString(CString&& other) noexcept;
    CString(LPCSTR psz);               // NULL gives an empty string
    CString(LPCSTR pch, int nLength);  // exactly nLength bytes, zeros included
    CString(const unsigned char* psz);
    CString(char ch, int nRepeat = 1);
    ~CString();

    // Size and access.
    int GetLength() const { return m_nDataLength; }
    BOOL IsEmpty() const { return m_nDataLength == 0; }
    void Empty();
    // Out-of-range positions read as 0 and are not written, instead of touching
    // memory outside the string.
    char GetAt(int nIndex) const;
    void SetAt(int nIndex, char ch);
    char operator[](int nIndex) const { return GetAt(nIndex); }
    template <typename I,
              typename = std::enable_if_t<std::is_integral<I>::value && !std::is_same<I, int>::value>>
    char operator[](I nIndex) const {
        if constexpr (std::is_signed<I>::value) {
            if (nIndex < 0)
                return '\0';
        }
        return static_cast<unsigned long long>(nIndex) > 0x7FFFFFFFull ? '\0'
                                                                       : GetAt(static_cast<int>(nIndex));
    }
    operator LPCTSTR() const { return m_pchData ? m_pchData : ""; }
    LPCTSTR GetString() const { return m_pchData ? m_pchData : ""; }

    // Assignment and concatenation.
    CString& operator=(const CString& other);
    CString& operator=(CString&& other) noexcept;
    CString& operator=(LPCSTR psz);
    CString& operator=(const unsigned char* psz);
    CString& operator=(char ch);
    CString& operator+=(const CString& other);
    CString& operator+=(LPCSTR psz);
    CString& operator+=(char ch);
    void Append(LPCSTR pch, int nLength);

    // Comparison is byte by byte over the whole length, as unsigned bytes; a string that
    // is a prefix of another sorts first. A C string argument ends at its first zero.
    int Compare(LPCTSTR psz) const;
    int Compare(const CString& other) const;
    int CompareNoCase(LPCTSTR psz) const;  // ASCII letters only fold
    int CompareNoCase(const CString& other) const;
    int Collate(LPCTSTR psz) const { return Compare(psz); }
    int CollateNoCase(LPCTSTR psz) const { return CompareNoCase(psz); }

    // Extraction. Counts and positions out of range are clipped to the string.
    CString Mid(int nFirst) const;
    CString Mid(int nFirst, int nCount) const;
    CString Left(int nCount) const;
    CString Right(int nCount) const;
    CString SpanIncluding(LPCTSTR pszCharSet) const;
    CString SpanExcluding(LPCTSTR pszCharSet) const;

    // In-place changes. Case changes touch ASCII letters only, whatever the locale.
    CString& MakeUpper();
    CString& MakeLower();
    CString& MakeReverse();
    int Replace(char chOld, char chNew);
    int Replace(LPCTSTR pszOld, LPCTSTR pszNew);
    int Remove(char ch);
    int Insert(int nIndex, char ch);
    int Insert(int nIndex, LPCTSTR psz);
    int Delete(int nIndex, int nCount = 1);

    // White space is blank, tab, CR, LF, vertical tab and form feed.
    CString& Trim();
    CString& Trim(char chTarget);
    CString& Trim(LPCTSTR pszTargets);
    CString& TrimLeft();
    CString& TrimLeft(char chTarget);
    CString& TrimLeft(LPCTSTR pszTargets);
    CString& TrimRight();
    CString& TrimRight(char chTarget);
    CString& TrimRight(LPCTSTR pszTargets);

    // Searching. Results are zero-based positions, -1 when not found or when the start
    // lies outside the string. Zero bytes inside the string are searched like any other.
    int Find(char ch) const { return Find(ch, 0); }
    int Find(char ch, int nStart) const;
    int Find(LPCTSTR pszSub) const { return Find(pszSub, 0); }
    int Find(LPCTSTR pszSub, int nStart) const;
    int ReverseFind(char ch) const;
    int FindOneOf(LPCTSTR pszCharSet) const;

    // printf formatting; the result may be of any length.
    void Format(LPCTSTR pszFormat, ...) AFX_PRINTF_FORMAT(2, 3);
    void FormatV(LPCTSTR pszFormat, va_list args);
    void AppendFormat(LPCTSTR pszFormat, ...) AFX_PRINTF_FORMAT(2, 3);
    void AppendFormatV(LPCTSTR pszFormat, va_list args);

    // Direct buffer access. Between GetBuffer and ReleaseBuffer the caller may write up to
    // the requested number of characters; ReleaseBuffer(-1) then takes the text up to its
    // first zero byte, ReleaseBuffer(n) exactly n characters.
    LPTSTR GetBuffer(int nMinBufLength);
    LPTSTR GetBuffer() { return GetBuffer(0); }
    void ReleaseBuffer(int nNewLength = -1);
    LPTSTR GetBufferSetLength(int nNewLength);
    LPTSTR LockBuffer() { return GetBuffer(0); }
    void UnlockBuffer() {}
    void FreeExtra();
    int GetAllocLength() const { return m_nAllocLength; }
    void Preallocate(int nLength) { GetBuffer(nLength); }

private:
    void Reserve(int nMinAlloc);
    void AssignBytes(const char* pch, int nLength);
    void Splice(int nIndex, int nRemove, const char* pch, int nInsert);
    bool IsSpanned(int nPos, const char* pszSet, int nSetLength) const;
    CString& TrimLeftSet(const char* pszSet, int nSetLength);
    CString& TrimRightSet(const char* pszSet, int nSetLength);

    char* m_pchData;  // nullptr while nothing has been allocated
    int m_nDataLength;
    int m_nAllocLength;  // characters that fit, not counting the terminating zero
};

CString operator+(const CString& a, const CString& b);
CString operator+(const CString& a, LPCTSTR b);
CString operator+(LPCTSTR a, const CString& b);
CString operator+(const CString& a, char b);
CString operator+(char a, const CString& b);

inline bool operator==(const CString& a, const CString& b) { return a.Compare(b) == 0; }
inline bool operator==(const CString& a, LPCTSTR b) { return a.Compare(b) == 0; }
inline bool operator==(LPCTSTR a, const CString& b) { return b.Compare(a) == 0; }
inline bool operator!=(const CString& a, const CString& b) { return a.Compare(b) != 0; }
inline bool operator!=(const CString& a, LPCTSTR b) { return a.Compare(b) != 0; }
inline bool operator!=(LPCTSTR a, const CString& b) { return b.Compare(a) != 0; }
inline bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }
inline bool operator<(const CString& a, LPCTSTR b) { return a.Compare(b) < 0; }
inline bool operator<(LPCTSTR a, const CString& b) { return b.Compare(a) > 0; }
inline bool operator>(const CString& a, const CString& b) { return a.Compare(b) > 0; }
inline bool operator>(const CString& a, LPCTSTR b) { return a.Compare(b) > 0; }
inline bool operator>(LPCTSTR a, const CString& b) { return b.Compare(a) < 0; }
inline bool operator<=(const CString& a, const CString& b) { return a.Compare(b) <= 0; }
inline bool operator<=(const CString& a, LPCTSTR b) { return a.Compare(b) <= 0; }
inline bool operator<=(LPCTSTR a, const CString& b) { return b.Compare(a) >= 0; }
inline bool operator>=(const CString& a, const CString& b) { return a.Compare(b) >= 0; }
inline bool operator>=(const CString& a, LPCTSTR b) { return a.Compare(b) >= 0; }
inline bool operator>=(LPCTSTR a, const CString& b) { return b.Compare(a) <= 0; }
