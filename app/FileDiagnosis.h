// Why a file could not be opened or created, in words that name the real cause where the
// error code alone points the wrong way: Windows, and our layer with it, calls a folder
// given as a file "access denied", a FIFO that nobody reads "not found" and a missing
// folder a bad path.
#pragma once

#include <afx.h>
#include <windows.h>

// csSystemText is the framework's own text for the error, kept for every other case.
CString DescribeFileFailure(LPCSTR pszPath, DWORD dwError, const CString& csSystemText);
