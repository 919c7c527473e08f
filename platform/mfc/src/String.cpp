#include <afxstr.h>

#include <stdio.h>
#include <string.h>

#include <string>
#include <string_view>
#include <utility>

namespace {

const char kWhiteSpace[] = " \t\r\n\v\f";
const int kWhiteSpaceLength = 6;

int CompareBytes(const char* a, int na, const char* b, int nb) {
    int n = na < nb ? na : nb;
    if (n > 0) {
        int r = memcmp(a, b, static_cast<size_t>(n));
        if (r != 0)
            return r < 0 ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

int CompareBytesNoCase(const char* a, int na, const char* b, int nb) {
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; ++i) {
        unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
        unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return na < nb ? -1 : (na > nb ? 1 : 0);
}

int CStringLength(LPCSTR psz) { return psz ? static_cast<int>(strlen(psz)) : 0; }

bool InSet(char c, const char* pszSet, int nSetLength) {
    return nSetLength > 0 && memchr(pszSet, c, static_cast<size_t>(nSetLength)) != nullptr;
}

}  // namespace

CString::CString(const CString& other) : CString() { AssignBytes(other.m_pchData, other.m_nDataLength); }

CString::CString(CString&& other) noexcept
    : m_pchData(other.m_pchData), m_nDataLength(other.m_nDataLength), m_nAllocLength(other.m_nAllocLength) {
    other.m_pchData = nullptr;
    other.m_nDataLength = 0;
    other.m_nAllocLength = 0;
}

CString::CString(LPCSTR psz) : CString() { AssignBytes(psz, CStringLength(psz)); }

CString::CString(LPCSTR pch, int nLength) : CString() {
    if (pch != nullptr && nLength > 0)
        AssignBytes(pch, nLength);
}

CString::CString(const unsigned char* psz) : CString(reinterpret_cast<LPCSTR>(psz)) {}

CString::CString(char ch, int nRepeat) : CString() {
    if (nRepeat > 0) {
        Reserve(nRepeat);
        memset(m_pchData, static_cast<unsigned char>(ch), static_cast<size_t>(nRepeat));
        m_nDataLength = nRepeat;
        m_pchData[nRepeat] = '\0';
    }
}

CString::~CString() { delete[] m_pchData; }

void CString::Empty() {
    delete[] m_pchData;
    m_pchData = nullptr;
    m_nDataLength = 0;
    m_nAllocLength = 0;
}

char CString::GetAt(int nIndex) const {
    if (nIndex < 0 || nIndex >= m_nDataLength)
        return '\0';
    return m_pchData[nIndex];
}

void CString::SetAt(int nIndex, char ch) {
    if (nIndex < 0 || nIndex >= m_nDataLength)
        return;
    m_pchData[nIndex] = ch;
}

// Grows the buffer to hold at least nMinAlloc characters plus the terminating zero,
// keeping the content. The new tail is zeroed so that ReleaseBuffer(-1) after a
// GetBuffer that was not written finds the old end.
void CString::Reserve(int nMinAlloc) {
    if (nMinAlloc < 0)
        nMinAlloc = 0;
    if (m_pchData != nullptr && nMinAlloc <= m_nAllocLength)
        return;
    char* p = new char[static_cast<size_t>(nMinAlloc) + 1];
    if (m_nDataLength > 0)
        memcpy(p, m_pchData, static_cast<size_t>(m_nDataLength));
    memset(p + m_nDataLength, 0, static_cast<size_t>(nMinAlloc - m_nDataLength) + 1);
    delete[] m_pchData;
    m_pchData = p;
    m_nAllocLength = nMinAlloc;
}

// pch may point into this string's own buffer (s = s.GetString() + 1).
void CString::AssignBytes(const char* pch, int nLength) {
    if (pch == nullptr || nLength <= 0) {
        m_nDataLength = 0;
        if (m_pchData != nullptr)
            m_pchData[0] = '\0';
        return;
    }
    if (m_pchData == nullptr || nLength > m_nAllocLength) {
        char* p = new char[static_cast<size_t>(nLength) + 1];
        memcpy(p, pch, static_cast<size_t>(nLength));
        p[nLength] = '\0';
        delete[] m_pchData;
        m_pchData = p;
        m_nAllocLength = nLength;
    } else {
        memmove(m_pchData, pch, static_cast<size_t>(nLength));
        m_pchData[nLength] = '\0';
    }
    m_nDataLength = nLength;
}

void CString::Append(LPCSTR pch, int nLength) {
    if (pch == nullptr || nLength <= 0)
        return;
    int nNew = m_nDataLength + nLength;
    if (m_pchData == nullptr || nNew > m_nAllocLength) {
        // Appending a piece of itself: remember where it lies before the buffer moves.
        ptrdiff_t offset = -1;
        if (m_pchData != nullptr && pch >= m_pchData && pch <= m_pchData + m_nAllocLength)
            offset = pch - m_pchData;
        int grown = m_nAllocLength + m_nAllocLength / 2;
        Reserve(nNew > grown ? nNew : grown);
        if (offset >= 0)
            pch = m_pchData + offset;
    }
    memmove(m_pchData + m_nDataLength, pch, static_cast<size_t>(nLength));
    m_nDataLength = nNew;
    m_pchData[nNew] = '\0';
}

// Replaces nRemove characters at nIndex by nInsert characters from pch (which may lie
// in this string's buffer). Callers pass an index and counts inside the string.
void CString::Splice(int nIndex, int nRemove, const char* pch, int nInsert) {
    std::string piece(pch != nullptr && nInsert > 0 ? pch : "", pch != nullptr && nInsert > 0 ? nInsert : 0);
    int nNew = m_nDataLength - nRemove + static_cast<int>(piece.size());
    Reserve(nNew);
    int tail = m_nDataLength - nIndex - nRemove;
    if (tail > 0)
        memmove(m_pchData + nIndex + piece.size(), m_pchData + nIndex + nRemove, static_cast<size_t>(tail));
    if (!piece.empty())
        memcpy(m_pchData + nIndex, piece.data(), piece.size());
    m_nDataLength = nNew;
    m_pchData[nNew] = '\0';
}

CString& CString::operator=(const CString& other) {
    if (this != &other)
        AssignBytes(other.m_pchData, other.m_nDataLength);
    return *this;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        delete[] m_pchData;
        m_pchData = other.m_pchData;
        m_nDataLength = other.m_nDataLength;
        m_nAllocLength = other.m_nAllocLength;
        other.m_pchData = nullptr;
        other.m_nDataLength = 0;
        other.m_nAllocLength = 0;
    }
    return *this;
}

CString& CString::operator=(LPCSTR psz) {
    AssignBytes(psz, CStringLength(psz));
    return *this;
}

CString& CString::operator=(const unsigned char* psz) { return *this = reinterpret_cast<LPCSTR>(psz); }

CString& CString::operator=(char ch) {
    AssignBytes(&ch, 1);
    return *this;
}

CString& CString::operator+=(const CString& other) {
    Append(other.m_pchData, other.m_nDataLength);
    return *this;
}

CString& CString::operator+=(LPCSTR psz) {
    Append(psz, CStringLength(psz));
    return *this;
}

CString& CString::operator+=(char ch) {
    Append(&ch, 1);
    return *this;
}

namespace {

// Every concatenation: one allocation for the whole result.
CString Concat(const char* pa, int na, const char* pb, int nb) {
    CString r;
    r.Preallocate(na + nb);
    r.Append(pa, na);
    r.Append(pb, nb);
    return r;
}

}  // namespace

CString operator+(const CString& a, const CString& b) {
    return Concat(a.GetString(), a.GetLength(), b.GetString(), b.GetLength());
}

CString operator+(const CString& a, LPCTSTR b) {
    return Concat(a.GetString(), a.GetLength(), b, CStringLength(b));
}

CString operator+(LPCTSTR a, const CString& b) {
    return Concat(a, CStringLength(a), b.GetString(), b.GetLength());
}

CString operator+(const CString& a, char b) { return Concat(a.GetString(), a.GetLength(), &b, 1); }

CString operator+(char a, const CString& b) { return Concat(&a, 1, b.GetString(), b.GetLength()); }

int CString::Compare(LPCTSTR psz) const {
    return CompareBytes(GetString(), m_nDataLength, psz ? psz : "", CStringLength(psz));
}

int CString::Compare(const CString& other) const {
    return CompareBytes(GetString(), m_nDataLength, other.GetString(), other.m_nDataLength);
}

int CString::CompareNoCase(LPCTSTR psz) const {
    return CompareBytesNoCase(GetString(), m_nDataLength, psz ? psz : "", CStringLength(psz));
}

int CString::CompareNoCase(const CString& other) const {
    return CompareBytesNoCase(GetString(), m_nDataLength, other.GetString(), other.m_nDataLength);
}

CString CString::Mid(int nFirst) const { return Mid(nFirst, m_nDataLength); }

CString CString::Mid(int nFirst, int nCount) const {
    if (nFirst < 0)
        nFirst = 0;
    if (nFirst > m_nDataLength)
        nFirst = m_nDataLength;
    if (nCount < 0)
        nCount = 0;
    if (nCount > m_nDataLength - nFirst)
        nCount = m_nDataLength - nFirst;
    return CString(GetString() + nFirst, nCount);
}

CString CString::Left(int nCount) const { return Mid(0, nCount); }

CString CString::Right(int nCount) const {
    if (nCount < 0)
        nCount = 0;
    if (nCount > m_nDataLength)
        nCount = m_nDataLength;
    return CString(GetString() + m_nDataLength - nCount, nCount);
}

bool CString::IsSpanned(int nPos, const char* pszSet, int nSetLength) const {
    return InSet(m_pchData[nPos], pszSet, nSetLength);
}

CString CString::SpanIncluding(LPCTSTR pszCharSet) const {
    int nSet = CStringLength(pszCharSet);
    int n = 0;
    while (n < m_nDataLength && IsSpanned(n, pszCharSet, nSet))
        ++n;
    return Left(n);
}

CString CString::SpanExcluding(LPCTSTR pszCharSet) const {
    int nSet = CStringLength(pszCharSet);
    int n = 0;
    while (n < m_nDataLength && !IsSpanned(n, pszCharSet, nSet))
        ++n;
    return Left(n);
}

CString& CString::MakeUpper() {
    for (int i = 0; i < m_nDataLength; ++i)
        if (m_pchData[i] >= 'a' && m_pchData[i] <= 'z')
            m_pchData[i] = static_cast<char>(m_pchData[i] - 'a' + 'A');
    return *this;
}

CString& CString::MakeLower() {
    for (int i = 0; i < m_nDataLength; ++i)
        if (m_pchData[i] >= 'A' && m_pchData[i] <= 'Z')
            m_pchData[i] = static_cast<char>(m_pchData[i] - 'A' + 'a');
    return *this;
}

CString& CString::MakeReverse() {
    for (int i = 0, j = m_nDataLength - 1; i < j; ++i, --j)
        std::swap(m_pchData[i], m_pchData[j]);
    return *this;
}

int CString::Replace(char chOld, char chNew) {
    if (chOld == chNew)
        return 0;
    int count = 0;
    for (int i = 0; i < m_nDataLength; ++i) {
        if (m_pchData[i] == chOld) {
            m_pchData[i] = chNew;
            ++count;
        }
    }
    return count;
}

int CString::Replace(LPCTSTR pszOld, LPCTSTR pszNew) {
    int nOld = CStringLength(pszOld);
    if (nOld == 0 || m_nDataLength == 0)
        return 0;
    // Built aside: pszOld or pszNew may point into this string.
    std::string_view text(m_pchData, static_cast<size_t>(m_nDataLength));
    std::string_view from(pszOld, static_cast<size_t>(nOld));
    std::string to(pszNew ? pszNew : "");
    std::string result;
    int count = 0;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(from, pos)) != std::string_view::npos; pos = hit + from.size()) {
        result.append(text.data() + pos, hit - pos);
        result += to;
        ++count;
    }
    if (count == 0)
        return 0;
    result.append(text.data() + pos, text.size() - pos);
    AssignBytes(result.data(), static_cast<int>(result.size()));
    return count;
}

int CString::Remove(char ch) {
    int kept = 0;
    for (int i = 0; i < m_nDataLength; ++i)
        if (m_pchData[i] != ch)
            m_pchData[kept++] = m_pchData[i];
    int removed = m_nDataLength - kept;
    if (removed > 0) {
        m_nDataLength = kept;
        m_pchData[kept] = '\0';
    }
    return removed;
}

int CString::Insert(int nIndex, char ch) {
    if (nIndex < 0)
        nIndex = 0;
    if (nIndex > m_nDataLength)
        nIndex = m_nDataLength;
    Splice(nIndex, 0, &ch, 1);
    return m_nDataLength;
}

int CString::Insert(int nIndex, LPCTSTR psz) {
    if (nIndex < 0)
        nIndex = 0;
    if (nIndex > m_nDataLength)
        nIndex = m_nDataLength;
    int n = CStringLength(psz);
    if (n > 0)
        Splice(nIndex, 0, psz, n);
    return m_nDataLength;
}

int CString::Delete(int nIndex, int nCount) {
    if (nIndex < 0)
        nIndex = 0;
    if (nCount <= 0 || nIndex >= m_nDataLength)
        return m_nDataLength;
    if (nCount > m_nDataLength - nIndex)
        nCount = m_nDataLength - nIndex;
    Splice(nIndex, nCount, nullptr, 0);
    return m_nDataLength;
}

CString& CString::TrimLeftSet(const char* pszSet, int nSetLength) {
    int n = 0;
    while (n < m_nDataLength && IsSpanned(n, pszSet, nSetLength))
        ++n;
    if (n > 0)
        Splice(0, n, nullptr, 0);
    return *this;
}

CString& CString::TrimRightSet(const char* pszSet, int nSetLength) {
    int n = m_nDataLength;
    while (n > 0 && IsSpanned(n - 1, pszSet, nSetLength))
        --n;
    if (n < m_nDataLength) {
        m_nDataLength = n;
        m_pchData[n] = '\0';
    }
    return *this;
}

CString& CString::Trim() { return TrimRight().TrimLeft(); }
CString& CString::Trim(char chTarget) { return TrimRight(chTarget).TrimLeft(chTarget); }
CString& CString::Trim(LPCTSTR pszTargets) { return TrimRight(pszTargets).TrimLeft(pszTargets); }
CString& CString::TrimLeft() { return TrimLeftSet(kWhiteSpace, kWhiteSpaceLength); }
CString& CString::TrimLeft(char chTarget) { return TrimLeftSet(&chTarget, 1); }
CString& CString::TrimLeft(LPCTSTR pszTargets) { return TrimLeftSet(pszTargets, CStringLength(pszTargets)); }
CString& CString::TrimRight() { return TrimRightSet(kWhiteSpace, kWhiteSpaceLength); }
CString& CString::TrimRight(char chTarget) { return TrimRightSet(&chTarget, 1); }
CString& CString::TrimRight(LPCTSTR pszTargets) {
    return TrimRightSet(pszTargets, CStringLength(pszTargets));
}

int CString::Find(char ch, int nStart) const {
    if (nStart < 0 || nStart >= m_nDataLength)
        return -1;
    const void* hit = memchr(m_pchData + nStart, ch, static_cast<size_t>(m_nDataLength - nStart));
    return hit ? static_cast<int>(static_cast<const char*>(hit) - m_pchData) : -1;
}

int CString::Find(LPCTSTR pszSub, int nStart) const {
    if (nStart < 0 || nStart > m_nDataLength)
        return -1;
    std::string_view text(GetString(), static_cast<size_t>(m_nDataLength));
    size_t hit = text.find(pszSub ? pszSub : "", static_cast<size_t>(nStart));
    return hit == std::string_view::npos ? -1 : static_cast<int>(hit);
}

int CString::ReverseFind(char ch) const {
    for (int i = m_nDataLength - 1; i >= 0; --i)
        if (m_pchData[i] == ch)
            return i;
    return -1;
}

int CString::FindOneOf(LPCTSTR pszCharSet) const {
    int nSet = CStringLength(pszCharSet);
    for (int i = 0; i < m_nDataLength; ++i)
        if (IsSpanned(i, pszCharSet, nSet))
            return i;
    return -1;
}

void CString::Format(LPCTSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void CString::FormatV(LPCTSTR pszFormat, va_list args) {
    // Formatted aside: an argument may be this very string.
    CString result;
    result.AppendFormatV(pszFormat, args);
    *this = std::move(result);
}

void CString::AppendFormat(LPCTSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    AppendFormatV(pszFormat, args);
    va_end(args);
}

void CString::AppendFormatV(LPCTSTR pszFormat, va_list args) {
    if (pszFormat == nullptr)
        return;
    char small[512];
    va_list first;
    va_copy(first, args);
    int n = vsnprintf(small, sizeof small, pszFormat, first);
    va_end(first);
    if (n <= 0)
        return;
    if (static_cast<size_t>(n) < sizeof small) {
        Append(small, n);
        return;
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    va_list second;
    va_copy(second, args);
    vsnprintf(&big[0], big.size(), pszFormat, second);
    va_end(second);
    Append(big.data(), n);
}

LPTSTR CString::GetBuffer(int nMinBufLength) {
    Reserve(nMinBufLength > m_nDataLength ? nMinBufLength : m_nDataLength);
    return m_pchData;
}

void CString::ReleaseBuffer(int nNewLength) {
    if (m_pchData == nullptr)
        return;
    if (nNewLength < 0) {
        const void* end = memchr(m_pchData, 0, static_cast<size_t>(m_nAllocLength) + 1);
        nNewLength = end ? static_cast<int>(static_cast<const char*>(end) - m_pchData) : m_nAllocLength;
    }
    if (nNewLength > m_nAllocLength)
        nNewLength = m_nAllocLength;
    m_nDataLength = nNewLength;
    m_pchData[nNewLength] = '\0';
}

LPTSTR CString::GetBufferSetLength(int nNewLength) {
    if (nNewLength < 0)
        nNewLength = 0;
    Reserve(nNewLength);
    m_nDataLength = nNewLength;
    m_pchData[nNewLength] = '\0';
    return m_pchData;
}

void CString::FreeExtra() {
    if (m_pchData == nullptr || m_nAllocLength == m_nDataLength)
        return;
    if (m_nDataLength == 0) {
        Empty();
        return;
    }
    char* p = new char[static_cast<size_t>(m_nDataLength) + 1];
    memcpy(p, m_pchData, static_cast<size_t>(m_nDataLength) + 1);
    delete[] m_pchData;
    m_pchData = p;
    m_nAllocLength = m_nDataLength;
}
