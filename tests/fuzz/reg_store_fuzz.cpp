// The registry store's parser over the input as a whole .reg file. A store that parses
// must answer look-ups; one that does not must be empty.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "internal/reg_store.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    win32::RegStore store;
    const bool bParsed = store.Parse(std::string((const char*)data, size));
    const char* const kKeys[] = {"HKEY_LOCAL_MACHINE", "HKEY_LOCAL_MACHINE\\SOFTWARE",
                                 "HKEY_LOCAL_MACHINE\\SOFTWARE\\Qarvela\\IOClassLib\\COM1"};
    for (const char* pszKey : kKeys) {
        const win32::RegValues* pValues = store.FindValues(pszKey);
        if (!bParsed && pValues != nullptr)
            abort();
        if (pValues != nullptr)
            for (const auto& value : *pValues)
                (void)value.second.data.size();
    }
    return 0;
}
