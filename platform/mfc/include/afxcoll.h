// Collections of the framework: the string array and the maps keyed by string, with the
// framework's interface (Lookup leaves its value argument alone when the key is missing;
// iteration by POSITION with GetStartPosition/GetNextAssoc).
#pragma once

#include "afx.h"

#include <vector>

class CStringArray : public CObject {
public:
    CStringArray() = default;
    ~CStringArray() override = default;

    INT_PTR GetSize() const { return static_cast<INT_PTR>(m_items.size()); }
    INT_PTR GetCount() const { return GetSize(); }
    BOOL IsEmpty() const { return m_items.empty(); }
    INT_PTR GetUpperBound() const { return GetSize() - 1; }
    // nGrowBy is accepted for compatibility; the storage grows geometrically anyway.
    void SetSize(INT_PTR nNewSize, INT_PTR nGrowBy = -1);
    void FreeExtra() { m_items.shrink_to_fit(); }
    void RemoveAll() { m_items.clear(); }

    // A position outside the array reads as an empty string and is not written.
    const CString& GetAt(INT_PTR nIndex) const;
    void SetAt(INT_PTR nIndex, LPCTSTR newElement);
    void SetAt(INT_PTR nIndex, const CString& newElement);
    // Positions outside the array are a programming error: they stop the program
    // instead of touching memory outside the array.
    CString& ElementAt(INT_PTR nIndex);
    const CString* GetData() const { return m_items.empty() ? NULL : m_items.data(); }
    CString* GetData() { return m_items.empty() ? NULL : m_items.data(); }

    void SetAtGrow(INT_PTR nIndex, LPCTSTR newElement);
    void SetAtGrow(INT_PTR nIndex, const CString& newElement);
    INT_PTR Add(LPCTSTR newElement);
    INT_PTR Add(const CString& newElement);
    INT_PTR Append(const CStringArray& src);
    void Copy(const CStringArray& src);

    const CString& operator[](INT_PTR nIndex) const { return GetAt(nIndex); }
    CString& operator[](INT_PTR nIndex) { return ElementAt(nIndex); }

    // Inserting past the end grows the array with empty strings first.
    void InsertAt(INT_PTR nIndex, LPCTSTR newElement, INT_PTR nCount = 1);
    void InsertAt(INT_PTR nIndex, const CString& newElement, INT_PTR nCount = 1);
    void InsertAt(INT_PTR nStartIndex, const CStringArray* pNewArray);
    // Removes what lies inside the array of the given range.
    void RemoveAt(INT_PTR nIndex, INT_PTR nCount = 1);

private:
    std::vector<CString> m_items;
};

namespace afx_detail {

// A hash table of string keys with chained buckets, iterated bucket by bucket as the
// framework's maps are. The block size is kept for the interface; nodes are allocated
// one by one.
template <class VALUE>
class StringKeyMap : public CObject {
public:
    explicit StringKeyMap(INT_PTR nBlockSize);
    ~StringKeyMap() override;

    INT_PTR GetCount() const { return m_nCount; }
    INT_PTR GetSize() const { return m_nCount; }
    BOOL IsEmpty() const { return m_nCount == 0; }

    BOOL Lookup(LPCTSTR key, VALUE& rValue) const;
    // Adds the key with an empty value when it is missing.
    VALUE& operator[](LPCTSTR key);
    void SetAt(LPCTSTR key, const VALUE& newValue) { (*this)[key] = newValue; }
    BOOL RemoveKey(LPCTSTR key);
    void RemoveAll();

    // Removing the key just returned by GetNextAssoc keeps the iteration valid.
    POSITION GetStartPosition() const { return m_nCount == 0 ? NULL : BEFORE_START_POSITION; }
    void GetNextAssoc(POSITION& rNextPosition, CString& rKey, VALUE& rValue) const;

    UINT GetHashTableSize() const { return m_nHashTableSize; }
    // Entries already present are spread over the new table.
    void InitHashTable(UINT hashSize, BOOL bAllocNow = TRUE);
    UINT HashKey(LPCTSTR key) const;

private:
    struct Assoc {
        Assoc* pNext;
        UINT nHashValue;
        CString key;
        VALUE value;
    };

    Assoc* Find(LPCTSTR key, UINT nHashValue) const;
    void AllocTable(UINT hashSize);

    Assoc** m_pHashTable;
    UINT m_nHashTableSize;
    INT_PTR m_nCount;
    INT_PTR m_nBlockSize;
};

extern template class StringKeyMap<CString>;
extern template class StringKeyMap<CObject*>;
extern template class StringKeyMap<void*>;

}  // namespace afx_detail

class CMapStringToString : public afx_detail::StringKeyMap<CString> {
public:
    explicit CMapStringToString(INT_PTR nBlockSize = 10) : StringKeyMap<CString>(nBlockSize) {}
};

// Holds the object pointers without owning them: removing an entry never deletes its object.
class CMapStringToOb : public afx_detail::StringKeyMap<CObject*> {
public:
    explicit CMapStringToOb(INT_PTR nBlockSize = 10) : StringKeyMap<CObject*>(nBlockSize) {}
};

class CMapStringToPtr : public afx_detail::StringKeyMap<void*> {
public:
    explicit CMapStringToPtr(INT_PTR nBlockSize = 10) : StringKeyMap<void*>(nBlockSize) {}
};
