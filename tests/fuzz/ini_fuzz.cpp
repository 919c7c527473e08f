// The INI reader over a file holding the input: the 65,536-byte cut, odd line ends,
// non-text bytes. A file with a byte outside 1..127 in what is read must be refused.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "IniFileReader.h"

namespace {

std::string ScratchFile() {
    char szPath[] = "/tmp/ini_fuzz_XXXXXX";
    const int fd = mkstemp(szPath);
    if (fd < 0)
        abort();
    close(fd);
    return szPath;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = ScratchFile();
    FILE* pFile = fopen(path.c_str(), "wb");
    if (pFile == nullptr || fwrite(data, 1, size, pFile) != size || fclose(pFile) != 0)
        abort();

    CIniFileReader reader;
    const BOOL bLoaded = reader.Load(path.c_str());
    const size_t nRead = size < CIniFileReader::MAX_FILE_BYTES ? size : CIniFileReader::MAX_FILE_BYTES;
    if (bLoaded && !CIniFileReader::IsPlainText(data, (DWORD)nRead, CIniFileReader::MIN_FILE_BYTES))
        abort();
    if (CMapStringToString* pKeys = reader.GetSection("Connection")) {
        CString csValue;
        pKeys->Lookup("ConnectType", csValue);
        pKeys->Lookup("IPAddress", csValue);
    }
    reader.Clear();
    return 0;
}
