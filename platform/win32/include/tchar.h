// Generic-text mappings of the Microsoft C runtime, for the single-byte (non-Unicode) build.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define _T(x) x
#define _TEXT(x) x
#define __T(x) x

#ifndef _TCHAR_DEFINED
#define _TCHAR_DEFINED
typedef char _TCHAR;
typedef char _TSCHAR;
typedef unsigned char _TUCHAR;
#endif

#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _tcstol strtol
#define _tcstoul strtoul
#define _ttoi atoi
#define _ttol atol
#define _stprintf sprintf
#define _sntprintf snprintf
#define _vstprintf vsprintf
#define _tprintf printf
#define _ftprintf fprintf
#define _tfopen fopen
#define _tmain main
