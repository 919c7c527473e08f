// GetFileAttributesA: what a path names, and for a missing one which part is missing.
#include <windows.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "TempFiles.h"

namespace {

TEST(FileAttributes, TellFoldersFromFilesAndAMissingFileFromAMissingFolder) {
    testsupport::TempDir dir("file-attributes");
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0700));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("file"), "x"));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("readonly"), "x"));
    ASSERT_EQ(0, chmod(dir.file("readonly").c_str(), 0444));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    const struct {
        std::string path;
        DWORD dwAttributes;
        DWORD dwError;  // when INVALID_FILE_ATTRIBUTES
    } rows[] = {
        {dir.file("folder"), FILE_ATTRIBUTE_DIRECTORY, 0},
        {dir.file("file"), FILE_ATTRIBUTE_NORMAL, 0},
        {dir.file("readonly"), FILE_ATTRIBUTE_READONLY, 0},
        {dir.file("fifo"), FILE_ATTRIBUTE_NORMAL, 0},
        {dir.file("missing"), INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
        {dir.file("missing/file"), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {dir.file("file/below"), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
        {"", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
    };
    for (const auto& row : rows) {
        SetLastError(0);
        EXPECT_EQ(row.dwAttributes, GetFileAttributesA(row.path.c_str())) << row.path;
        if (row.dwAttributes == INVALID_FILE_ATTRIBUTES)
            EXPECT_EQ(row.dwError, GetLastError()) << row.path;
    }
}

}  // namespace
