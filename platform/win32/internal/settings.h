// The IOCLASSLIB_* settings of the Linux build are read at each use. A value the layer
// cannot use is not ignored in silence: it is reported once per process on standard error,
// with what the layer does instead, and the default applies.
#pragma once

#include <string>

namespace win32 {

// "NAME=VALUE: why; what is done instead", once for each name and value.
void ReportUnusableSetting(const char* pszName, const std::string& value, const std::string& why);

// The value of a setting that names a Unix socket of termsim's virtual devices could not
// be connected to (errno nErrno): reports what the path is instead, in words.
void ReportUnusableSocketSetting(const char* pszName, const char* pszPath, int nErrno);

}  // namespace win32
