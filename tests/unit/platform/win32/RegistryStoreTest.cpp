// The registry's read side over the .reg text store: the format as regedit writes it, the
// values as RegQueryValueExA hands them out, and stores that are missing, broken or hostile.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TempRegistryStore.h"
#include "internal/reg_store.h"

namespace {

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.ok()); }
    void Store(const std::string& text) { store_.write(text); }

    // Opens HKLM\path; returns the error code, the key in *key.
    LONG OpenKey(const char* path, HKEY* key) {
        return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key);
    }
    // The whole value, or "<error n>".
    std::string Query(HKEY key, const char* name, DWORD* type = nullptr) {
        BYTE data[512];
        DWORD size = sizeof(data);
        const LONG result = RegQueryValueExA(key, name, NULL, type, data, &size);
        if (result != ERROR_SUCCESS)
            return "<error " + std::to_string(result) + ">";
        return std::string((const char*)data, size);
    }
    // Opens the key, reads one value, closes.
    std::string Lookup(const char* keyPath, const char* name, DWORD* type = nullptr) {
        HKEY key;
        const LONG result = OpenKey(keyPath, &key);
        if (result != ERROR_SUCCESS)
            return "<open " + std::to_string(result) + ">";
        std::string value = Query(key, name, type);
        RegCloseKey(key);
        return value;
    }

    testsupport::TempDir dir_{"registrystoretest"};
    testsupport::TempRegistryStore store_{dir_.file("registry.reg"), ""};  // empty until a test stores
    const std::string& path_ = store_.path();
};

const char kDebugStore[] = "REGEDIT4\r\n"
                           "\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Qarvela\\IOClassLib\\SERIAL_PORT]\r\n"
                           "\"UseDebugFile\"=dword:00000001\r\n"
                           "\"DebugFile\"=\"C:\\\\trace\\\\io.txt\"\r\n"
                           "\r\n";

TEST_F(RegistryStore, ReadsDwordAndStringValuesAsTheDebugLogAsksForThem) {
    Store(kDebugStore);
    HKEY key;
    // Key names compare without regard to case.
    ASSERT_EQ(OpenKey("software\\qarvela\\IOClassLib\\serial_port", &key), ERROR_SUCCESS);
    DWORD use = 0, size = sizeof(use), type = 0;
    ASSERT_EQ(RegQueryValueExA(key, "UseDebugFile", NULL, &type, (LPBYTE)&use, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(use, 1u);
    EXPECT_EQ(size, 4u);
    char file[MAX_PATH];
    size = sizeof(file);
    ASSERT_EQ(RegQueryValueExA(key, "debugfile", NULL, &type, (LPBYTE)file, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_STREQ(file, "C:\\trace\\io.txt");
    EXPECT_EQ(size, strlen("C:\\trace\\io.txt") + 1);  // the NUL counts
    EXPECT_EQ(RegQueryValueExA(key, "Missing", NULL, NULL, (LPBYTE)file, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStore, BufferSizesFollowTheApi) {
    Store(kDebugStore);
    HKEY key;
    ASSERT_EQ(OpenKey("SOFTWARE\\Qarvela\\IOClassLib\\SERIAL_PORT", &key), ERROR_SUCCESS);
    // A string longer than the buffer: ERROR_MORE_DATA and the size needed.
    char small[4];
    DWORD size = sizeof(small);
    EXPECT_EQ(RegQueryValueExA(key, "DebugFile", NULL, NULL, (LPBYTE)small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 16u);
    // No buffer: just the size.
    size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "DebugFile", NULL, NULL, NULL, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(RegQueryValueExA(key, "DebugFile", NULL, NULL, (LPBYTE)small, NULL), ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryValueExA(key, "DebugFile", &reserved, NULL, NULL, &size), ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(RegistryStore, KeyPathsJoinAsTheDebugLogFormsThem) {
    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B]\n\"v\"=\"ab\"\n[HKEY_LOCAL_MACHINE\\AB]\n\"v\"=\"joined\"\n");
    EXPECT_EQ(Lookup("A\\B", "v"), std::string("ab\0", 3));
    EXPECT_EQ(Lookup("AB", "v"), std::string("joined\0", 7));
    // A parent named only through its child exists; a trailing backslash is ignored.
    HKEY key;
    EXPECT_EQ(OpenKey("A", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(OpenKey("A\\B\\", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(OpenKey("A\\C", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(OpenKey("\\A", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(OpenKey("A\\\\B", &key), ERROR_BAD_PATHNAME);
    // Relative to an open key.
    HKEY parent;
    ASSERT_EQ(OpenKey("A", &parent), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(parent, "b", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(Query(key, "v"), std::string("ab\0", 3));
    RegCloseKey(key);
    RegCloseKey(parent);
    EXPECT_EQ(RegOpenKeyExA((HKEY)(uintptr_t)0x1000, "A", 0, KEY_READ, &key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryStore, VersionFiveHeaderEscapesDefaultValuesAndHexData) {
    Store("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
          "; a comment\r\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
          "@=\"default\"\r\n"
          "\"Quoted \\\"name\\\"\"=\"say \\\"hi\\\" \\\\ bye\"\r\n"
          "\"Bin\"=hex:01,ff,00,7a\r\n"
          "\"Long\"=hex:00,01,02,03,\\\r\n"
          "  04,05,\\\r\n"
          "  06\r\n"
          "\"Empty\"=hex:\r\n"
          "\"Expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
          "\"Max\"=dword:ffffffff\r\n"
          "\"Short\"=dword:2a\r\n");
    DWORD type = 0;
    EXPECT_EQ(Lookup("SOFTWARE\\Test", NULL, &type), std::string("default\0", 8));
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "", &type), std::string("default\0", 8));
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Quoted \"name\""), std::string("say \"hi\" \\ bye\0", 15));
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Bin", &type), std::string("\x01\xff\x00\x7a", 4));
    EXPECT_EQ(type, (DWORD)REG_BINARY);
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Long"), std::string("\x00\x01\x02\x03\x04\x05\x06", 7));
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Empty"), "");
    // Version 5 keeps strings in hex as UTF-16; the ANSI view gives 8-bit text.
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Expand", &type), std::string("%A%\0", 4));
    EXPECT_EQ(type, (DWORD)REG_EXPAND_SZ);
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Max"), std::string("\xff\xff\xff\xff", 4));
    EXPECT_EQ(Lookup("SOFTWARE\\Test", "Short"), std::string("\x2a\0\0\0", 4));
}

TEST_F(RegistryStore, UnicodeStoresAsRegeditSavesThemAreRead) {
    const std::string text =
        "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\U]\r\n\"v\"=dword:00000010\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    Store(utf16);
    EXPECT_EQ(Lookup("U", "v"), std::string("\x10\0\0\0", 4));
}

TEST_F(RegistryStore, LaterLinesOverrideAndDeleteEarlierOnes) {
    Store("REGEDIT4\n"
          "[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1\n\"b\"=dword:2\n"
          "[HKEY_LOCAL_MACHINE\\K\\Sub]\n\"c\"=dword:3\n"
          "[HKEY_LOCAL_MACHINE\\K]\n\"A\"=dword:9\n\"b\"=-\n"
          "[-HKEY_LOCAL_MACHINE\\K\\Sub]\n\"ignored\"=hex:01,\\\n  02\n");
    EXPECT_EQ(Lookup("K", "a"), std::string("\x09\0\0\0", 4));
    EXPECT_EQ(Lookup("K", "b"), "<error 2>");
    HKEY key;
    EXPECT_EQ(OpenKey("K\\Sub", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryStore, AnEditTakesEffectAtTheNextOpen) {
    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Live]\n\"UseDebugFile\"=dword:00000000\n");
    HKEY before;
    ASSERT_EQ(OpenKey("Live", &before), ERROR_SUCCESS);
    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Live]\n\"UseDebugFile\"=dword:00000001\n");
    EXPECT_EQ(Query(before, "UseDebugFile"), std::string("\0\0\0\0", 4));  // as opened
    RegCloseKey(before);
    EXPECT_EQ(Lookup("Live", "UseDebugFile"), std::string("\x01\0\0\0", 4));
}

TEST_F(RegistryStore, AMissingStoreFailsEveryOpen) {
    unlink(path_.c_str());
    HKEY key = (HKEY)1;
    EXPECT_EQ(OpenKey("SOFTWARE", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    setenv("IOCLASSLIB_REGISTRY", "/nonexistent/dir/registry.reg", 1);
    EXPECT_EQ(OpenKey("SOFTWARE", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "X", 0, KEY_READ, NULL), ERROR_INVALID_PARAMETER);
}

// Each of these is malformed: the open fails, and nothing crashes or hangs.
TEST_F(RegistryStore, MalformedStoresFailTheOpen) {
    const std::string key = "[HKEY_LOCAL_MACHINE\\K]\n";
    const std::string cases[] = {
        "",                  // empty file
        "REGEDIT5\n" + key,  // unknown header
        "Windows Registry Editor Version 4.00\n" + key,
        key + "\"v\"=dword:1\n",                         // no header
        "REGEDIT4\n\"v\"=dword:1\n" + key,               // value before any key
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n",            // unclosed key
        "REGEDIT4\n[HKEY_NOWHERE\\K]\n",                 // unknown root
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\K]\n",         // empty key name part
        "REGEDIT4\n" + key + "\"v\"=dword:123456789\n",  // nine digits
        "REGEDIT4\n" + key + "\"v\"=dword:\n",
        "REGEDIT4\n" + key + "\"v\"=dword:12g4\n",
        "REGEDIT4\n" + key + "\"v\"=\"unterminated\n",
        "REGEDIT4\n" + key + "\"v\"=\"bad \\n escape\"\n",
        "REGEDIT4\n" + key + "\"v\"=\"text\" trailing\n",
        "REGEDIT4\n" + key + "\"v\"=hex:1,2,\n",  // dangling comma
        "REGEDIT4\n" + key + "\"v\"=hex:123\n",
        "REGEDIT4\n" + key + "\"v\"=hex:01,\\\n",  // continued into the end of file
        "REGEDIT4\n" + key + "\"v\"=hex(zz):01\n",
        "REGEDIT4\n" + key + "\"v\"=string\n",
        "REGEDIT4\n" + key + "\"v\"\n",  // no value
        "REGEDIT4\n" + key + "\"unterminated name=dword:1\n",
        "REGEDIT4\n" + key + "garbage line\n",
        std::string("REGEDIT4\n") + key + "\"v\"=\"a\0b\"\n",  // NUL byte
        std::string("\xFE\xFF\0R", 4),                         // big-endian UTF-16
        std::string("\xFF\xFE"
                    "R\0E\0",
                    6) +
            "\x01",  // odd UTF-16 length
    };
    for (const std::string& text : cases) {
        Store(text);
        HKEY opened;
        EXPECT_EQ(OpenKey("K", &opened), ERROR_BADDB) << "store: " << text;
    }
}

TEST_F(RegistryStore, HugeLinesAndHostileStoresNeitherCrashNorHang) {
    // A value of a megabyte on one line is still a value.
    std::string big = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"big\"=\"" + std::string(1 << 20, 'x') + "\"\n";
    Store(big);
    HKEY key;
    ASSERT_EQ(OpenKey("K", &key), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(key, "big", NULL, NULL, NULL, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, (DWORD)(1 << 20) + 1);
    RegCloseKey(key);

    // A store beyond the size limit is refused without being parsed.
    Store("REGEDIT4\n;" + std::string(17 << 20, 'c') + "\n");
    EXPECT_EQ(OpenKey("K", &key), ERROR_BADDB);

    // The deepest key allowed, endless continuation lines, stray carriage returns, no
    // final newline.
    std::string deep = "REGEDIT4\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 512; ++i)
        deep += "\\k";
    deep += "]\n\"v\"=hex:00";
    for (int i = 0; i < 20000; ++i)
        deep += ",\\\n  00";
    deep += "\r\r\n\"w\"=dword:1";
    Store(deep);
    EXPECT_EQ(OpenKey("k\\k\\k", &key), ERROR_SUCCESS);
    RegCloseKey(key);

    // A directory or a FIFO named as the store is refused rather than waited on.
    setenv("IOCLASSLIB_REGISTRY", "/tmp", 1);
    EXPECT_EQ(OpenKey("K", &key), ERROR_BADDB);
    const std::string fifo = path_ + ".fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    setenv("IOCLASSLIB_REGISTRY", fifo.c_str(), 1);
    EXPECT_EQ(OpenKey("K", &key), ERROR_BADDB);
    unlink(fifo.c_str());
}

// Key names and depths at and one past the registry's limits; a store past them is
// malformed, however the key is spelt.
TEST_F(RegistryStore, KeyNamesAndDepthsKeepTheRegistrysLimits) {
    auto keyOf = [](size_t nLevels, size_t nNameChars) {
        std::string path = "HKEY_LOCAL_MACHINE";
        for (size_t i = 0; i < nLevels; ++i)
            path += "\\" + std::string(nNameChars, 'k');
        return path;
    };
    const struct {
        size_t levels, chars;
        LONG result;
    } rows[] = {{1, 255, ERROR_SUCCESS}, {1, 256, ERROR_BADDB},     {512, 1, ERROR_SUCCESS},
                {513, 1, ERROR_BADDB},   {512, 255, ERROR_SUCCESS}, {20000, 1, ERROR_BADDB}};
    for (const auto& row : rows) {
        for (const char* prefix : {"[", "[-"}) {
            Store("REGEDIT4\n" + std::string(prefix) + keyOf(row.levels, row.chars) + "]\n");
            HKEY key;
            const LONG result = OpenKey(std::string(row.chars, 'k').c_str(), &key);
            EXPECT_EQ(result == ERROR_BADDB, row.result == ERROR_BADDB)
                << row.levels << "x" << row.chars << prefix;
            if (result == ERROR_SUCCESS)
                RegCloseKey(key);
        }
    }
}

// Twenty thousand keys, each deleted again: every deletion leaves its siblings alone.
TEST_F(RegistryStore, ManyDeletionsEachRemoveOneSubtree) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; i < 20000; ++i)
        text += "[HKEY_LOCAL_MACHINE\\A\\K" + std::to_string(i) + "\\Sub]\n\"v\"=dword:1\n";
    for (int i = 0; i < 20000; i += 2)
        text += "[-HKEY_LOCAL_MACHINE\\A\\K" + std::to_string(i) + "]\n";
    Store(text);
    EXPECT_EQ(Lookup("A\\K0\\Sub", "v"), "<open 2>");
    EXPECT_EQ(Lookup("A\\K19998", "v"), "<open 2>");
    EXPECT_EQ(Lookup("A\\K19999\\Sub", "v"), std::string("\x01\0\0\0", 4));
}

// The parsed store is handed out again while the file stays as it was, and a rewrite of the
// same size is read anew.
TEST_F(RegistryStore, AnUnchangedStoreIsParsedOnce) {
    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\C]\n\"v\"=dword:00000001\n");
    std::shared_ptr<const win32::RegStore> first, second;
    // A file changed within the current clock tick is not kept; it settles a tick later.
    for (int i = 0; i < 200 && (!first || first != second); ++i) {
        first = second;
        ASSERT_EQ(win32::LoadRegStore(&second), (DWORD)ERROR_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(first, second);
    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\C]\n\"v\"=dword:00000002\n");
    EXPECT_EQ(Lookup("C", "v"), std::string("\x02\0\0\0", 4));
}

TEST_F(RegistryStore, EveryPrefixOfAGoodStoreIsReadOrRefusedCleanly) {
    const std::string good =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n"
        "\"s\"=\"a\\\\b\\\"c\"\r\n\"d\"=dword:0000002a\r\n\"h\"=hex(7):41,00,00,00,\\\r\n  00,00\r\n";
    for (size_t n = 0; n <= good.size(); ++n) {
        Store(good.substr(0, n));
        HKEY key;
        const LONG result = OpenKey("SOFTWARE\\T", &key);
        EXPECT_TRUE(result == ERROR_SUCCESS || result == ERROR_BADDB || result == ERROR_FILE_NOT_FOUND)
            << n << ": " << result;
        if (result == ERROR_SUCCESS)
            RegCloseKey(key);
    }
    Store(good);
    DWORD type = 0;
    EXPECT_EQ(Lookup("SOFTWARE\\T", "h", &type), std::string("A\0\0", 3));
    EXPECT_EQ(type, (DWORD)REG_MULTI_SZ);
    EXPECT_EQ(Lookup("SOFTWARE\\T", "s"), std::string("a\\b\"c\0", 6));
}

}  // namespace

namespace {

// The subkeys RegEnumKeyExA lists, from a predefined root or an open key.
std::vector<std::string> SubkeysOf(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD cch = sizeof(name);
        const LONG result = RegEnumKeyExA(key, i, name, &cch, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            return names;
        if (result != ERROR_SUCCESS)
            return {"<error " + std::to_string(result) + ">"};
        EXPECT_EQ(cch, strlen(name));
        names.push_back(name);
    }
}

// Subkeys come as the store first spells them, once each, without the deleted ones, and an
// open key keeps listing what it had when it was opened.
TEST_F(RegistryStore, EnumeratesSubkeysAsTheStoreSpellsThem) {
    Store("REGEDIT4\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Lane\\SERIAL_PORT]\n"
          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\lane\\HidUsb_Port]\n"
          "[HKEY_LOCAL_MACHINE\\Software\\Gone\\Child]\n"
          "[-HKEY_LOCAL_MACHINE\\Software\\Gone]\n"
          "[HKEY_CURRENT_USER\\Elsewhere]\n");
    EXPECT_EQ(SubkeysOf(HKEY_LOCAL_MACHINE), std::vector<std::string>{"Software"});
    HKEY lane;
    ASSERT_EQ(OpenKey("software\\LANE", &lane), ERROR_SUCCESS);
    EXPECT_EQ(SubkeysOf(lane), (std::vector<std::string>{"HidUsb_Port", "SERIAL_PORT"}));
    HKEY software;
    ASSERT_EQ(OpenKey("SOFTWARE", &software), ERROR_SUCCESS);
    EXPECT_EQ(SubkeysOf(software), std::vector<std::string>{"Lane"});

    Store("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Other]\n");
    EXPECT_EQ(SubkeysOf(lane), (std::vector<std::string>{"HidUsb_Port", "SERIAL_PORT"}));
    EXPECT_EQ(SubkeysOf(software), std::vector<std::string>{"Lane"});

    const struct {
        const char* name;
        DWORD cchBuffer;
        bool bClass;
        DWORD dwIndex;
        LONG result;
    } rows[] = {
        {"name and NUL fit exactly", 5, false, 0, ERROR_SUCCESS},
        {"no room for the NUL", 4, false, 0, ERROR_MORE_DATA},
        {"with an empty class", 5, true, 0, ERROR_SUCCESS},
        {"past the last subkey", 5, false, 1, ERROR_NO_MORE_ITEMS},
    };
    for (const auto& row : rows) {
        char name[16] = "xxxxxxxxxxxxxxx", cls[4] = "x";
        DWORD cch = row.cchBuffer, cchClass = sizeof(cls);
        EXPECT_EQ(RegEnumKeyExA(software, row.dwIndex, name, &cch, NULL, row.bClass ? cls : NULL,
                                row.bClass ? &cchClass : NULL, NULL),
                  row.result)
            << row.name;
        if (row.result == ERROR_SUCCESS) {
            EXPECT_STREQ(name, "Lane") << row.name;
            EXPECT_EQ(cch, 4u) << row.name;
            if (row.bClass)
                EXPECT_EQ(std::string(cls), "") << row.name;
        }
    }
    RegCloseKey(software);
    RegCloseKey(lane);
}

}  // namespace
