#include <IniFileReader.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "TempFiles.h"

namespace fs = std::filesystem;

namespace {

class IniFileReaderTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_tmp.path().empty()); }
    void TearDown() override { m_reader.Clear(); }

    BOOL LoadText(const std::string& text) {
        const fs::path path = m_dir / "conn.ini";
        testsupport::writeTextFile(path, text);
        return m_reader.Load(CString(path.c_str()));
    }

    // The whole key table of one section, for comparing in one go.
    std::map<std::string, std::string> Section(const char* pszName) {
        std::map<std::string, std::string> keys;
        CMapStringToString* pKeys = m_reader.GetSection(pszName);
        if (pKeys == NULL)
            return {{"<no section>", ""}};
        POSITION pos = pKeys->GetStartPosition();
        while (pos != NULL) {
            CString csKey, csValue;
            pKeys->GetNextAssoc(pos, csKey, csValue);
            keys[(LPCSTR)csKey] = (LPCSTR)csValue;
        }
        return keys;
    }

    testsupport::TempDir m_tmp{"keyprobe-ini"};
    const fs::path m_dir{m_tmp.path()};
    CIniFileReader m_reader;
};

using Keys = std::map<std::string, std::string>;

TEST_F(IniFileReaderTest, LineEndsMakeNoDifference) {
    const Keys expected = {{"ConnectType", "Serial Port"}, {"Port", "COM2"}, {"Baudrate", "9600"}};
    for (const char* pszEnd : {"\r\n", "\n", "\r"}) {
        for (bool bTrailingBreak : {true, false}) {
            std::string e = pszEnd;
            std::string text = "[Connection]" + e + "ConnectType=Serial Port" + e + "Port=COM2" + e +
                               "Baudrate=9600" + (bTrailingBreak ? e : "");
            CIniFileReader reader;
            const fs::path path = m_dir / "ends.ini";
            testsupport::writeTextFile(path, text);
            ASSERT_TRUE(reader.Load(CString(path.c_str())));
            CMapStringToString* pKeys = reader.GetSection("Connection");
            ASSERT_NE(nullptr, pKeys);
            EXPECT_EQ(3, (int)pKeys->GetCount());
            CString csValue;
            EXPECT_TRUE(pKeys->Lookup("Baudrate", csValue));
            EXPECT_STREQ("9600", (LPCSTR)csValue);
            reader.Clear();
        }
    }
    ASSERT_TRUE(LoadText("\r\n\n[Connection]\r\rConnectType=Serial Port\n\r\nPort=COM2\r\n"
                         "Baudrate=9600"));
    EXPECT_EQ(expected, Section("Connection"));
}

TEST_F(IniFileReaderTest, KeysAndValuesAreKeptExactly) {
    ASSERT_TRUE(LoadText("   \n[Connection]\n  \n"
                         "Port = COM2\n"
                         "IPAddress=10.0.0.1=x\n"
                         "# a comment without equals\n"
                         " #Key=1\n"
                         ";Semi=2\n"
                         "[ Spaced Name ]\n"
                         "Key=[Other]\n"
                         "A=b\n"));
    EXPECT_EQ((Keys{{"Port ", " COM2"}, {"IPAddress", "10.0.0.1=x"}, {" #Key", "1"}, {";Semi", "2"}}),
              Section("Connection"));
    EXPECT_EQ(Keys{}, Section(" Spaced Name "));
    EXPECT_EQ((Keys{{"A", "b"}}), Section("Other")) << "Key=[x] is a header named x";
    EXPECT_EQ(nullptr, m_reader.GetSection("connection"));
    EXPECT_EQ(nullptr, m_reader.GetSection("Spaced Name"));

    CMapStringToString* pKeys = m_reader.GetSection("Connection");
    ASSERT_NE(nullptr, pKeys);
    CString csValue = "unchanged";
    EXPECT_FALSE(pKeys->Lookup("Port", csValue));
    EXPECT_STREQ("unchanged", (LPCSTR)csValue);
}

TEST_F(IniFileReaderTest, RepeatedSectionsMergeAndLaterValuesWin) {
    ASSERT_TRUE(LoadText("[Connection]\nPort=COM1\nBaudrate=9600\n"
                         "[Other]\nX=1\n"
                         "[Connection]\nPort=COM3\nParity=2\n"));
    EXPECT_EQ((Keys{{"Port", "COM3"}, {"Baudrate", "9600"}, {"Parity", "2"}}), Section("Connection"));
    EXPECT_EQ((Keys{{"X", "1"}}), Section("Other"));
}

TEST_F(IniFileReaderTest, RejectedFiles) {
    const std::map<std::string, std::string> rejected = {
        {"two bytes", "[a"},
        {"empty", ""},
        {"high byte", "[Connection]\nPort=COM\xe9\n"},
        {"byte order mark", "\xef\xbb\xbf[Connection]\nPort=COM1\n"},
        {"zero byte", std::string("[Connection]\nPort=CO\0M1\n", 23)},
        {"line without equals", "[Connection]\nPort\n"},
        {"key before any section", "Port=COM1\n[Connection]\n"},
        {"empty brackets", "[Connection]\n[]\n"},
        {"tab-only line", "[Connection]\n\t\n"},
        {"blank before comment", "[Connection]\n #comment\n"},
    };
    for (const auto& [name, text] : rejected) {
        EXPECT_FALSE(LoadText(text)) << name;
        m_reader.Clear();
    }
    EXPECT_TRUE(LoadText("[a]")) << "three bytes are enough";
    EXPECT_EQ(Keys{}, Section("a"));
    m_reader.Clear();
    EXPECT_FALSE(m_reader.Load(CString("")));
    EXPECT_FALSE(m_reader.Load(CString((m_dir / "missing.ini").c_str())));
    EXPECT_FALSE(m_reader.Load(CString(m_dir.c_str()))) << "a folder is no INI file";
}

TEST_F(IniFileReaderTest, SectionsBeforeAMalformedLineStay) {
    EXPECT_FALSE(LoadText("[Connection]\nPort=COM4\n[Broken]\nnot a key line\nX=1\n"));
    EXPECT_EQ((Keys{{"Port", "COM4"}}), Section("Connection"));
    EXPECT_EQ(Keys{}, Section("Broken"));
    m_reader.Clear();
    EXPECT_EQ(nullptr, m_reader.GetSection("Connection"));
}

TEST_F(IniFileReaderTest, OnlyTheFirst65536BytesAreRead) {
    std::string text = "[Connection]\n";
    const std::string filler = "Filler=" + std::string(993, 'f') + "\n";
    while (text.size() + filler.size() < 65536 - 10)
        text += filler;
    // The last line starts ten bytes before the limit: "Cut=" and six characters are read.
    text += "Pad=" + std::string(65536 - 10 - text.size() - 5, 'p') + "\n";
    ASSERT_EQ(65526u, text.size());
    text += "Cut=0123456789ABCDEF";
    // Behind the limit: a byte that would reject the file, and a line that would fail it.
    text += "\xff\nno equals here\n";
    ASSERT_GT(text.size(), 65536u);
    ASSERT_TRUE(LoadText(text));
    CMapStringToString* pKeys = m_reader.GetSection("Connection");
    ASSERT_NE(nullptr, pKeys);
    CString csValue;
    ASSERT_TRUE(pKeys->Lookup("Cut", csValue));
    EXPECT_STREQ("012345", (LPCSTR)csValue);
}

TEST_F(IniFileReaderTest, InnerStepsAlone) {
    const BYTE abyText[] = {'a', '\r', '\n', '\r', 'b', '\n', '\n', 'c'};
    CStringArray arrLines;
    CIniFileReader::SplitLines(abyText, sizeof(abyText), arrLines, '\r', '\n');
    ASSERT_EQ(3, (int)arrLines.GetSize());
    EXPECT_STREQ("a", (LPCSTR)arrLines[0]);
    EXPECT_STREQ("b", (LPCSTR)arrLines[1]);
    EXPECT_STREQ("c", (LPCSTR)arrLines[2]);

    EXPECT_TRUE(CIniFileReader::IsPlainText(abyText, 3, 3));
    EXPECT_FALSE(CIniFileReader::IsPlainText(abyText, 2, 3));
    EXPECT_FALSE(CIniFileReader::IsPlainText(NULL, 8, 0));
    const BYTE abyEdges[] = {1, 127, 128};
    EXPECT_TRUE(CIniFileReader::IsPlainText(abyEdges, 2, 1));
    EXPECT_FALSE(CIniFileReader::IsPlainText(abyEdges, 3, 1));

    CStringArray arrNone;
    CIniFileReader reader;
    EXPECT_TRUE(reader.ParseLines(arrNone));
}

}  // namespace
