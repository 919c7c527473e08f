// _splitpath, _makepath and _mbscmp as the C runtime gives them, with Windows and Linux paths.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbstring.h>

#include <string>

namespace {

struct Parts {
    std::string drive, dir, fname, ext;
};

Parts Split(const char* path) {
    char drive[_MAX_DRIVE], dir[_MAX_DIR], fname[_MAX_FNAME], ext[_MAX_EXT];
    _splitpath(path, drive, dir, fname, ext);
    return {drive, dir, fname, ext};
}

std::string Make(const char* drive, const char* dir, const char* fname, const char* ext) {
    char path[_MAX_PATH];
    _makepath(path, drive, dir, fname, ext);
    return path;
}

TEST(CrtSplitPath, SplitsWindowsAndLinuxPaths) {
    const struct {
        const char* path;
        Parts expected;
    } cases[] = {
        {"D:\\trace\\io.txt", {"D:", "\\trace\\", "io", ".txt"}},
        // The last dot starts the extension.
        {"/var/log/ioclasslib/io.log.txt", {"", "/var/log/ioclasslib/", "io.log", ".txt"}},
        {"log", {"", "", "log", ""}},
        {"dir.d/name", {"", "dir.d/", "name", ""}},  // a dot in a folder is no extension
        {"/home/u/.profile", {"", "/home/u/", "", ".profile"}},
        {"C:", {"C:", "", "", ""}},
    };
    for (const auto& c : cases) {
        const Parts p = Split(c.path);
        EXPECT_EQ(p.drive, c.expected.drive) << c.path;
        EXPECT_EQ(p.dir, c.expected.dir) << c.path;
        EXPECT_EQ(p.fname, c.expected.fname) << c.path;
        EXPECT_EQ(p.ext, c.expected.ext) << c.path;
    }
}

TEST(CrtSplitPath, NullPartsAreSkippedAndLongPartsAreCut) {
    char fname[_MAX_FNAME];
    _splitpath("/a/b/file.ext", NULL, NULL, fname, NULL);
    EXPECT_STREQ(fname, "file");
    const std::string longName(1000, 'n');
    const Parts p = Split(("/x/" + longName + ".e").c_str());
    EXPECT_EQ(p.fname, std::string(_MAX_FNAME - 1, 'n'));
    EXPECT_EQ(p.ext, ".e");
}

TEST(CrtMakePath, JoinsPartsAddingMissingSeparatorsAndDots) {
    EXPECT_EQ(Make("D:", "\\trace\\", "io_20261206173821", ".txt"), "D:\\trace\\io_20261206173821.txt");
    EXPECT_EQ(Make("D", "\\trace", "io", "txt"), "D:\\trace\\io.txt");
    EXPECT_EQ(Make("", "/var/log/", "io_20261206173821", ".txt"), "/var/log/io_20261206173821.txt");
    EXPECT_EQ(Make(NULL, "/var/log", "io", NULL), "/var/log/io");
    EXPECT_EQ(Make(NULL, "logs", "log_20261206173821", ""), "logs/log_20261206173821");
    EXPECT_EQ(Make(NULL, NULL, "x", ".y"), "x.y");
}

TEST(CrtMakePath, SplitThenMakeGivesThePathBackAndNeverOverflows) {
    for (const char* path : {"D:\\trace\\io.txt", "/var/log/io.txt", "relative/dir/log", "x.y"}) {
        const Parts p = Split(path);
        EXPECT_EQ(Make(p.drive.c_str(), p.dir.c_str(), p.fname.c_str(), p.ext.c_str()), path);
    }
    char path[_MAX_PATH + 16];
    memset(path, 'z', sizeof(path));
    const std::string dir(200, 'd'), name(200, 'n');
    _makepath(path, NULL, dir.c_str(), name.c_str(), ".txt");
    EXPECT_EQ(strlen(path), (size_t)_MAX_PATH - 1);
    EXPECT_EQ(path[_MAX_PATH], 'z');
}

TEST(CrtMbscmp, ComparesBytesAsUnsignedCharacters) {
    const unsigned char a[] = "CONNECTION", b[] = "CONNECTION", c[] = "CONNECTIOM";
    const unsigned char high[] = "\xE9t\xE9", low[] = "ete";
    EXPECT_EQ(_mbscmp(a, b), 0);
    EXPECT_GT(_mbscmp(a, c), 0);
    EXPECT_LT(_mbscmp(c, a), 0);
    EXPECT_GT(_mbscmp(high, low), 0);
    EXPECT_LT(_mbscmp((const unsigned char*)"ab", (const unsigned char*)"abc"), 0);
    EXPECT_EQ(_mbscmp(NULL, a), _NLSCMPERROR);
}

}  // namespace
