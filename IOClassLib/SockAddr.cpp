#include "SockAddr.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

static_assert(sizeof(CSockAddr) == 16, "CSockAddr is handed to bind and connect as 16 bytes");

// Longest host name text handled, terminator included.
static const int kHostNameSize = 260;

BOOL CSockAddr::CreateFrom(LPCTSTR pszHost, LPCTSTR pszService, short nFamily) {
    ClearAddress();
    sin_addr.s_addr = (ULONG)htonl(GetIPFromHost(pszHost));
    sin_port = htons(GetPortFromService(pszService));
    sin_family = nFamily;
    return !IsNull();
}

WORD CSockAddr::GetPortFromService(LPCTSTR pszService) {
    if (pszService == NULL)
        return 0;
    // Only the first character decides: "80abc" is port 80.
    if (isdigit((unsigned char)pszService[0]))
        return (WORD)atoi(pszService);
    servent* pEntry = getservbyname(pszService, NULL);
    if (pEntry == NULL)
        return 0;
    return ntohs((u_short)pEntry->s_port);
}

DWORD CSockAddr::GetIPFromHost(LPCTSTR pszHost) {
    char szHost[kHostNameSize];
    memset(szHost, 0, sizeof(szHost));
    LPCTSTR pszText = pszHost;
    if (pszText == NULL) {
        GetLocalHostName(szHost, sizeof(szHost));
        pszText = szHost;
    }
    // Dotted text is taken as it is; only text that is not an address is looked up, and
    // "255.255.255.255" is the broadcast address, never a name.
    DWORD dwAddress = (DWORD)inet_addr(pszText);
    if (dwAddress == INADDR_NONE && strcmp(pszText, "255.255.255.255") != 0) {
        hostent* pEntry = gethostbyname(pszText);
        if (pEntry != NULL && pEntry->h_addr_list != NULL && pEntry->h_addr_list[0] != NULL) {
            ULONG ulFirst;
            memcpy(&ulFirst, pEntry->h_addr_list[0], sizeof(ulFirst));
            dwAddress = ulFirst;
        }
    }
    return (DWORD)ntohl(dwAddress);
}

BOOL CSockAddr::GetLocalHostName(LPSTR pszBuffer, UINT nSize) {
    if (pszBuffer == NULL || nSize == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    char szName[kHostNameSize];
    memset(szName, 0, sizeof(szName));
    if (gethostname(szName, (int)sizeof(szName)) == SOCKET_ERROR)
        return FALSE;
    hostent* pEntry = gethostbyname(szName);
    if (pEntry != NULL && pEntry->h_name != NULL) {
        strncpy(szName, pEntry->h_name, sizeof(szName) - 1);
        szName[sizeof(szName) - 1] = '\0';
    }
    const size_t nLength = strlen(szName);
    if (nLength + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(pszBuffer, szName, nLength + 1);
    return TRUE;
}
