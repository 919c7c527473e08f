#include <afxcoll.h>

#include <stdlib.h>

namespace {

const CString kNoString;

}  // namespace

void CStringArray::SetSize(INT_PTR nNewSize, INT_PTR /*nGrowBy*/) {
    m_items.resize(nNewSize > 0 ? static_cast<size_t>(nNewSize) : 0);
}

const CString& CStringArray::GetAt(INT_PTR nIndex) const {
    if (nIndex < 0 || nIndex >= GetSize())
        return kNoString;
    return m_items[static_cast<size_t>(nIndex)];
}

void CStringArray::SetAt(INT_PTR nIndex, LPCTSTR newElement) {
    if (nIndex >= 0 && nIndex < GetSize())
        m_items[static_cast<size_t>(nIndex)] = newElement;
}

void CStringArray::SetAt(INT_PTR nIndex, const CString& newElement) {
    if (nIndex >= 0 && nIndex < GetSize())
        m_items[static_cast<size_t>(nIndex)] = newElement;
}

CString& CStringArray::ElementAt(INT_PTR nIndex) {
    if (nIndex < 0 || nIndex >= GetSize())
        abort();
    return m_items[static_cast<size_t>(nIndex)];
}

void CStringArray::SetAtGrow(INT_PTR nIndex, LPCTSTR newElement) { SetAtGrow(nIndex, CString(newElement)); }

void CStringArray::SetAtGrow(INT_PTR nIndex, const CString& newElement) {
    if (nIndex < 0)
        return;
    if (nIndex >= GetSize())
        SetSize(nIndex + 1);
    m_items[static_cast<size_t>(nIndex)] = newElement;
}

INT_PTR CStringArray::Add(LPCTSTR newElement) {
    m_items.emplace_back(newElement);
    return GetUpperBound();
}

INT_PTR CStringArray::Add(const CString& newElement) {
    m_items.push_back(newElement);
    return GetUpperBound();
}

INT_PTR CStringArray::Append(const CStringArray& src) {
    INT_PTR nOldSize = GetSize();
    if (&src == this) {
        std::vector<CString> copy(src.m_items);
        m_items.insert(m_items.end(), copy.begin(), copy.end());
    } else {
        m_items.insert(m_items.end(), src.m_items.begin(), src.m_items.end());
    }
    return nOldSize;
}

void CStringArray::Copy(const CStringArray& src) {
    if (&src != this)
        m_items = src.m_items;
}

void CStringArray::InsertAt(INT_PTR nIndex, LPCTSTR newElement, INT_PTR nCount) {
    InsertAt(nIndex, CString(newElement), nCount);
}

void CStringArray::InsertAt(INT_PTR nIndex, const CString& newElement, INT_PTR nCount) {
    if (nIndex < 0 || nCount <= 0)
        return;
    CString value(newElement);  // newElement may be an element of this array
    if (nIndex >= GetSize())
        SetSize(nIndex);
    m_items.insert(m_items.begin() + nIndex, static_cast<size_t>(nCount), value);
}

void CStringArray::InsertAt(INT_PTR nStartIndex, const CStringArray* pNewArray) {
    if (pNewArray == NULL || nStartIndex < 0 || pNewArray->IsEmpty())
        return;
    std::vector<CString> copy(pNewArray->m_items);
    if (nStartIndex >= GetSize())
        SetSize(nStartIndex);
    m_items.insert(m_items.begin() + nStartIndex, copy.begin(), copy.end());
}

void CStringArray::RemoveAt(INT_PTR nIndex, INT_PTR nCount) {
    if (nIndex < 0 || nCount <= 0 || nIndex >= GetSize())
        return;
    if (nCount > GetSize() - nIndex)
        nCount = GetSize() - nIndex;
    m_items.erase(m_items.begin() + nIndex, m_items.begin() + nIndex + nCount);
}
