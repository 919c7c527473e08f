// Thread creation of the Microsoft C runtime.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef unsigned(__stdcall* _beginthreadex_proc_type)(void*);

uintptr_t __cdecl _beginthreadex(void* _Security, unsigned _StackSize, _beginthreadex_proc_type _StartAddress,
                                 void* _ArgList, unsigned _InitFlag, unsigned* _ThrdAddr);

#ifdef __cplusplus
}
#endif
