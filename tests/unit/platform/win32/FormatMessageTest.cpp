// FormatMessageA's system texts as a log shows them, and its failures.
#include <gtest/gtest.h>

#include <windows.h>
#include <winsock2.h>

#include <string>

namespace {

const DWORD kSystemFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
const DWORD kUserDefault = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT);

struct Case {
    const char* what;
    DWORD dwFlags;
    DWORD dwCode;
    DWORD dwLanguage;
    DWORD nSize;              // of the caller's buffer when not allocated
    const char* pszExpected;  // NULL: the call fails
    DWORD dwExpectedError;
};

const Case kCases[] = {
    {"file not found", kSystemFlags, ERROR_FILE_NOT_FOUND, kUserDefault, 0,
     "The system cannot find the file specified.\r\n", 0},
    {"access denied", kSystemFlags, ERROR_ACCESS_DENIED, kUserDefault, 0, "Access is denied.\r\n", 0},
    {"invalid handle", kSystemFlags, ERROR_INVALID_HANDLE, 0, 0, "The handle is invalid.\r\n", 0},
    {"gen failure", kSystemFlags, ERROR_GEN_FAILURE, kUserDefault, 0,
     "A device attached to the system is not functioning.\r\n", 0},
    {"invalid parameter", kSystemFlags, ERROR_INVALID_PARAMETER, kUserDefault, 0,
     "The parameter is incorrect.\r\n", 0},
    {"semaphore timeout", kSystemFlags, ERROR_SEM_TIMEOUT, kUserDefault, 0,
     "The semaphore timeout period has expired.\r\n", 0},
    {"aborted", kSystemFlags, ERROR_OPERATION_ABORTED, kUserDefault, 0,
     "The I/O operation has been aborted because of either a thread exit or an application request.\r\n", 0},
    {"pending", kSystemFlags, ERROR_IO_PENDING, kUserDefault, 0,
     "Overlapped I/O operation is in progress.\r\n", 0},
    {"not connected", kSystemFlags, ERROR_DEVICE_NOT_CONNECTED, kUserDefault, 0,
     "The device is not connected.\r\n", 0},
    {"connect timed out", kSystemFlags, WSAETIMEDOUT, kUserDefault, 0,
     "A connection attempt failed because the connected party did not properly respond after a period of "
     "time, "
     "or established connection failed because connected host has failed to respond.\r\n",
     0},
    {"connect refused", kSystemFlags, WSAECONNREFUSED, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), 0,
     "No connection could be made because the target machine actively refused it.\r\n", 0},
    {"line break dropped", kSystemFlags | FORMAT_MESSAGE_MAX_WIDTH_MASK, ERROR_ACCESS_DENIED, kUserDefault, 0,
     "Access is denied. ", 0},
    {"caller's buffer", FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, kUserDefault, 20,
     "Access is denied.\r\n", 0},
    {"caller's buffer one short", FORMAT_MESSAGE_FROM_SYSTEM, ERROR_ACCESS_DENIED, kUserDefault, 19, NULL,
     ERROR_INSUFFICIENT_BUFFER},
    {"unknown code", kSystemFlags, 0x12345, kUserDefault, 0, NULL, ERROR_MR_MID_NOT_FOUND},
    {"unknown code, caller's buffer", FORMAT_MESSAGE_FROM_SYSTEM, 0xFFFFFFFF, kUserDefault, 64, NULL,
     ERROR_MR_MID_NOT_FOUND},
    {"language without texts", kSystemFlags, ERROR_ACCESS_DENIED, MAKELANGID(0x07, 0x01), 0, NULL,
     ERROR_RESOURCE_LANG_NOT_FOUND},
    {"no source", FORMAT_MESSAGE_ALLOCATE_BUFFER, ERROR_ACCESS_DENIED, kUserDefault, 0, NULL,
     ERROR_INVALID_PARAMETER},
};

TEST(KernelFormatMessage, SystemTextsAndFailuresAsWindowsGivesThem) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        char szBuffer[64];
        memset(szBuffer, 'x', sizeof(szBuffer));
        LPSTR pszAllocated = (LPSTR)szBuffer;  // must be overwritten, also on failure
        const bool bAllocate = (c.dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
        SetLastError(0xDEAD);
        const DWORD dwLength = FormatMessageA(c.dwFlags, NULL, c.dwCode, c.dwLanguage,
                                              bAllocate ? (LPSTR)&pszAllocated : szBuffer, c.nSize, NULL);
        const char* pszOut = bAllocate ? pszAllocated : szBuffer;
        if (c.pszExpected == NULL) {
            EXPECT_EQ(dwLength, 0u);
            EXPECT_EQ(GetLastError(), c.dwExpectedError);
            if (bAllocate) {
                EXPECT_EQ(pszAllocated, nullptr);
            }
            continue;
        }
        ASSERT_NE(pszOut, nullptr);
        EXPECT_EQ(dwLength, strlen(c.pszExpected));
        EXPECT_EQ(std::string(pszOut), c.pszExpected);
        if (bAllocate) {
            EXPECT_EQ(LocalFree(pszAllocated), nullptr);
        }
    }
}

TEST(KernelFormatMessage, LocalFreeOfNullAndZeroedBlocks) {
    EXPECT_EQ(LocalFree(NULL), nullptr);
    unsigned char* p = (unsigned char*)LocalAlloc(LPTR, 16);
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(p[i], 0) << i;
    EXPECT_EQ(LocalFree(p), nullptr);
    SetLastError(0);
    EXPECT_EQ(LocalAlloc(LMEM_MOVEABLE, 16), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

}  // namespace
