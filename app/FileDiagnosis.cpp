#include "FileDiagnosis.h"

CString DescribeFileFailure(LPCSTR pszPath, DWORD dwError, const CString& csSystemText) {
    const DWORD dwAttributes = ::GetFileAttributesA(pszPath);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return "it is a folder, not a file";
    if (dwError == ERROR_PATH_NOT_FOUND) {
        CString csFolder = pszPath;
        const int nSlash = csFolder.ReverseFind('/'), nBackslash = csFolder.ReverseFind('\\');
        const int nSeparator = nSlash > nBackslash ? nSlash : nBackslash;
        if (nSeparator > 0) {
            csFolder = csFolder.Left(nSeparator);
            const DWORD dwFolder = ::GetFileAttributesA(csFolder);
            if (dwFolder == INVALID_FILE_ATTRIBUTES)
                return "the folder " + csFolder + " does not exist";
            if (!(dwFolder & FILE_ATTRIBUTE_DIRECTORY))
                return csFolder + " is a file, not a folder";
        }
    }
    if (dwError == ERROR_FILE_NOT_FOUND && dwAttributes != INVALID_FILE_ATTRIBUTES)
        return "it is there but cannot be opened: no plain file, but a FIFO that nobody reads or a device "
               "that is not present";
    return csSystemText;
}
