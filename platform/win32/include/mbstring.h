// The Microsoft C runtime's multibyte string comparison.
#pragma once

#ifndef _NLSCMPERROR
#define _NLSCMPERROR 2147483647
#endif

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl _mbscmp(const unsigned char* _Str1, const unsigned char* _Str2);

#ifdef __cplusplus
}
#endif
