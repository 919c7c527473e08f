// The Microsoft C runtime's path helpers, which Windows code finds in <stdlib.h>.
#pragma once

#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256

#ifdef __cplusplus
extern "C" {
#endif

void __cdecl _splitpath(const char* _FullPath, char* _Drive, char* _Dir, char* _Filename, char* _Ext);
void __cdecl _makepath(char* _Path, const char* _Drive, const char* _Dir, const char* _Filename,
                       const char* _Ext);

#ifdef __cplusplus
}
#endif
