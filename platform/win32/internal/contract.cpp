#include "internal/contract.h"

#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace win32 {

void ContractBroken(const char* pszFormat, ...) {
    char szText[512] = "platform contract broken: ";
    const size_t cbPrefix = strlen(szText);
    va_list args;
    va_start(args, pszFormat);
    vsnprintf(szText + cbPrefix, sizeof(szText) - cbPrefix, pszFormat, args);
    va_end(args);
    if (kContractChecksStop) {
        fprintf(stderr, "%s\n", szText);
        abort();
    }
    OutputDebugStringA(szText);
}

}  // namespace win32
