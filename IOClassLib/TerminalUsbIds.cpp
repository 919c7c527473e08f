#include "TerminalUsbIds.h"

#include <ctype.h>
#include <string.h>

namespace {

const TerminalUsbId kBuiltInIds[TERMINAL_USB_ID_MAX] = {
    {0x1209, 0x0001}, {0x1209, 0x0002}, {0x1209, 0x0003}, {0x1209, 0x0004},
    {0x1209, 0x0005}, {0x1209, 0x0006}, {0x1209, 0x0007}, {0x1209, 0x0008},
};

struct IdList {
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    int nCount;
};

IdList& CurrentIds() {
    static IdList list = [] {
        IdList l;
        memcpy(l.ids, kBuiltInIds, sizeof(kBuiltInIds));
        l.nCount = TERMINAL_USB_ID_MAX;
        return l;
    }();
    return list;
}

// Exactly four hex digits: a shorter or longer field is a typing error, not an ID.
bool ParseHexWord(const char* p, WORD* pwValue) {
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        const char c = p[i];
        if (!isxdigit((unsigned char)c))
            return false;
        value = value * 16 + (unsigned)(isdigit((unsigned char)c) ? c - '0' : (tolower(c) - 'a' + 10));
    }
    *pwValue = (WORD)value;
    return true;
}

}  // namespace

int GetTerminalUsbIds(TerminalUsbId* pIds, int nMax) {
    const IdList& list = CurrentIds();
    for (int i = 0; i < list.nCount && i < nMax; ++i)
        pIds[i] = list.ids[i];
    return list.nCount;
}

void SetTerminalUsbIds(const TerminalUsbId* pIds, int nCount) {
    IdList& list = CurrentIds();
    if (pIds == NULL || nCount <= 0) {
        memcpy(list.ids, kBuiltInIds, sizeof(kBuiltInIds));
        list.nCount = TERMINAL_USB_ID_MAX;
        return;
    }
    list.nCount = nCount < TERMINAL_USB_ID_MAX ? nCount : TERMINAL_USB_ID_MAX;
    memcpy(list.ids, pIds, sizeof(TerminalUsbId) * list.nCount);
}

BOOL IsTerminalUsbId(WORD wVendorId, WORD wProductId) {
    const IdList& list = CurrentIds();
    for (int i = 0; i < list.nCount; ++i)
        if (list.ids[i].wVendorId == wVendorId && list.ids[i].wProductId == wProductId)
            return TRUE;
    return FALSE;
}

BOOL ParseTerminalUsbIds(LPCSTR pszText, TerminalUsbId* pIds, int* pnCount, CString& csError) {
    *pnCount = 0;
    const char* p = pszText != NULL ? pszText : "";
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        TerminalUsbId id;
        if (!ParseHexWord(p, &id.wVendorId) || p[4] != ':' || !ParseHexWord(p + 5, &id.wProductId)) {
            csError.Format("expected VVVV:PPPP (four hex digits each) at \"%s\"", p);
            return FALSE;
        }
        if (*pnCount == TERMINAL_USB_ID_MAX) {
            csError.Format("more than %d pairs", TERMINAL_USB_ID_MAX);
            return FALSE;
        }
        pIds[(*pnCount)++] = id;
        p += 9;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0')
            return TRUE;
        if (*p != ',') {
            csError.Format("expected a comma or the end at \"%s\"", p);
            return FALSE;
        }
        ++p;
    }
}
