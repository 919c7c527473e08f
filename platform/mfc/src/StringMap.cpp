#include <afxcoll.h>

namespace afx_detail {

namespace {

const UINT kDefaultHashTableSize = 17;

}  // namespace

template <class VALUE>
StringKeyMap<VALUE>::StringKeyMap(INT_PTR nBlockSize)
    : m_pHashTable(NULL),
      m_nHashTableSize(kDefaultHashTableSize),
      m_nCount(0),
      m_nBlockSize(nBlockSize > 0 ? nBlockSize : 10) {}

template <class VALUE>
StringKeyMap<VALUE>::~StringKeyMap() {
    RemoveAll();
}

template <class VALUE>
UINT StringKeyMap<VALUE>::HashKey(LPCTSTR key) const {
    UINT nHash = 0;
    if (key != NULL)
        while (*key)
            nHash = (nHash << 5) + nHash + static_cast<BYTE>(*key++);
    return nHash;
}

template <class VALUE>
void StringKeyMap<VALUE>::AllocTable(UINT hashSize) {
    m_pHashTable = new Assoc*[hashSize]();
    m_nHashTableSize = hashSize;
}

template <class VALUE>
void StringKeyMap<VALUE>::InitHashTable(UINT hashSize, BOOL bAllocNow) {
    if (hashSize == 0)
        hashSize = 1;
    Assoc** pOld = m_pHashTable;
    UINT nOldSize = m_nHashTableSize;
    m_pHashTable = NULL;
    m_nHashTableSize = hashSize;
    if (bAllocNow || m_nCount > 0)
        AllocTable(hashSize);
    if (pOld == NULL)
        return;
    for (UINT b = 0; b < nOldSize; ++b) {
        for (Assoc* p = pOld[b]; p != NULL;) {
            Assoc* pNext = p->pNext;
            UINT nBucket = p->nHashValue % m_nHashTableSize;
            p->pNext = m_pHashTable[nBucket];
            m_pHashTable[nBucket] = p;
            p = pNext;
        }
    }
    delete[] pOld;
}

template <class VALUE>
typename StringKeyMap<VALUE>::Assoc* StringKeyMap<VALUE>::Find(LPCTSTR key, UINT nHashValue) const {
    if (m_pHashTable == NULL)
        return NULL;
    for (Assoc* p = m_pHashTable[nHashValue % m_nHashTableSize]; p != NULL; p = p->pNext)
        if (p->nHashValue == nHashValue && p->key == (key ? key : ""))
            return p;
    return NULL;
}

template <class VALUE>
BOOL StringKeyMap<VALUE>::Lookup(LPCTSTR key, VALUE& rValue) const {
    Assoc* p = Find(key, HashKey(key));
    if (p == NULL)
        return FALSE;
    rValue = p->value;
    return TRUE;
}

template <class VALUE>
VALUE& StringKeyMap<VALUE>::operator[](LPCTSTR key) {
    UINT nHashValue = HashKey(key);
    if (Assoc* p = Find(key, nHashValue))
        return p->value;
    if (m_pHashTable == NULL)
        AllocTable(m_nHashTableSize);
    UINT nBucket = nHashValue % m_nHashTableSize;
    Assoc* p = new Assoc{m_pHashTable[nBucket], nHashValue, CString(key), VALUE()};
    m_pHashTable[nBucket] = p;
    ++m_nCount;
    return p->value;
}

template <class VALUE>
BOOL StringKeyMap<VALUE>::RemoveKey(LPCTSTR key) {
    if (m_pHashTable == NULL)
        return FALSE;
    UINT nHashValue = HashKey(key);
    for (Assoc** pp = &m_pHashTable[nHashValue % m_nHashTableSize]; *pp != NULL; pp = &(*pp)->pNext) {
        Assoc* p = *pp;
        if (p->nHashValue == nHashValue && p->key == (key ? key : "")) {
            *pp = p->pNext;
            delete p;
            --m_nCount;
            return TRUE;
        }
    }
    return FALSE;
}

template <class VALUE>
void StringKeyMap<VALUE>::RemoveAll() {
    if (m_pHashTable != NULL) {
        for (UINT b = 0; b < m_nHashTableSize; ++b) {
            for (Assoc* p = m_pHashTable[b]; p != NULL;) {
                Assoc* pNext = p->pNext;
                delete p;
                p = pNext;
            }
        }
        delete[] m_pHashTable;
        m_pHashTable = NULL;
    }
    m_nCount = 0;
}

template <class VALUE>
void StringKeyMap<VALUE>::GetNextAssoc(POSITION& rNextPosition, CString& rKey, VALUE& rValue) const {
    if (rNextPosition == NULL || m_pHashTable == NULL) {
        rNextPosition = NULL;
        return;
    }
    Assoc* pRet = reinterpret_cast<Assoc*>(rNextPosition);
    if (rNextPosition == BEFORE_START_POSITION) {
        pRet = NULL;
        for (UINT b = 0; b < m_nHashTableSize && pRet == NULL; ++b)
            pRet = m_pHashTable[b];
        if (pRet == NULL) {
            rNextPosition = NULL;
            return;
        }
    }
    // The next position is found before the caller sees this entry, so that the caller
    // may remove it.
    Assoc* pNext = pRet->pNext;
    for (UINT b = pRet->nHashValue % m_nHashTableSize + 1; pNext == NULL && b < m_nHashTableSize; ++b)
        pNext = m_pHashTable[b];
    rNextPosition = reinterpret_cast<POSITION>(pNext);
    rKey = pRet->key;
    rValue = pRet->value;
}

template class StringKeyMap<CString>;
template class StringKeyMap<CObject*>;
template class StringKeyMap<void*>;

}  // namespace afx_detail
