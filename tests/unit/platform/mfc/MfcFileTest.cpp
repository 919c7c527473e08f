#include <afx.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>

namespace fs = std::filesystem;

namespace {

// A fresh folder per test, removed afterwards.
class MfcFile : public ::testing::Test {
protected:
    void SetUp() override {
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("mfc_file_") + info->name() + "_" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::string PathOf(const char* name) const { return (dir_ / name).string(); }

    static void WriteAll(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    fs::path dir_;
};

}  // namespace

TEST_F(MfcFile, CreateTruncatesAnExistingFile) {
    std::string path = PathOf("result.txt");
    WriteAll(path, "an older and much longer content\r\n");
    {
        CFile file(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive);
        file.Write("Master Key 0: Key Is Present\r\n", 30);
        file.Close();
    }
    EXPECT_EQ("Master Key 0: Key Is Present\r\n", ReadAll(path));
}

TEST_F(MfcFile, ExclusiveOpenKeepsOthersOutUntilClosed) {
    std::string path = PathOf("exclusive.txt");
    CFile owner;
    ASSERT_TRUE(owner.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive));

    CFile other;
    CFileException error;
    EXPECT_FALSE(other.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone, &error));
    EXPECT_EQ(CFileException::sharingViolation, error.m_cause);
    EXPECT_EQ(32, error.m_lOsError);  // ERROR_SHARING_VIOLATION
    EXPECT_EQ(CFile::hFileNull, other.m_hFile);
    EXPECT_FALSE(other.Open(path.c_str(), CFile::modeWrite | CFile::shareDenyNone));

    owner.Close();
    EXPECT_TRUE(other.Open(path.c_str(), CFile::modeRead | CFile::shareDenyNone));
}

TEST_F(MfcFile, MissingFileRaisesFileNotFound) {
    std::string path = PathOf("missing.ini");
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(path.c_str(), CFile::modeRead, &error));
    EXPECT_EQ(CFileException::fileNotFound, error.m_cause);
    EXPECT_EQ(2, error.m_lOsError);  // ERROR_FILE_NOT_FOUND
    EXPECT_EQ(CString(path.c_str()), error.m_strFileName);

    bool caught = false;
    try {
        CFile thrower(path.c_str(), CFile::modeRead);
    } catch (CFileException* e) {
        caught = true;
        EXPECT_EQ(CFileException::fileNotFound, e->m_cause);
        char text[256];
        EXPECT_TRUE(e->GetErrorMessage(text, sizeof text));
        EXPECT_NE(std::string::npos, std::string(text).find("missing.ini"));
        e->Delete();
    }
    EXPECT_TRUE(caught);

    CFileException inFolder;
    EXPECT_FALSE(file.Open(PathOf("no/such/folder/x").c_str(), CFile::modeRead, &inFolder));
    EXPECT_EQ(CFileException::badPath, inFolder.m_cause);
}

TEST_F(MfcFile, SharedWritersOpenExistingOrCreateAndAppend) {
    std::string path = PathOf("debug.log");
    const UINT openExisting = CFile::modeWrite | CFile::shareDenyNone;
    const UINT create = CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone;

    CFile first;
    EXPECT_FALSE(first.Open(path.c_str(), openExisting));  // not there yet
    ASSERT_TRUE(first.Open(path.c_str(), create));
    first.Write("one\r\n", 5);

    CFile second;
    ASSERT_TRUE(second.Open(path.c_str(), openExisting));  // full sharing: both open at once
    EXPECT_EQ(5u, second.SeekToEnd());
    second.Write("two\r\n", 5);
    EXPECT_EQ(10u, second.GetLength());
    EXPECT_EQ(10u, first.GetLength());
    EXPECT_EQ(5u, first.GetPosition());
    second.Close();
    first.Close();
    EXPECT_EQ("one\r\ntwo\r\n", ReadAll(path));

    ASSERT_TRUE(first.Open(path.c_str(), openExisting));  // keeps the content
    first.SeekToEnd();
    first.Write("three", 5);
    first.Close();
    EXPECT_EQ("one\r\ntwo\r\nthree", ReadAll(path));
}

TEST_F(MfcFile, ReadSeekAndBinaryBytesUntouched) {
    std::string path = PathOf("bytes.bin");
    const std::string bytes("\x05\x00\r\n\x1A\xFF\n", 7);
    WriteAll(path, bytes);

    CFile file(path.c_str(), CFile::modeRead);
    EXPECT_EQ(7u, file.GetLength());
    char buffer[16] = {};
    EXPECT_EQ(7u, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(bytes, std::string(buffer, 7));
    EXPECT_EQ(0u, file.Read(buffer, sizeof buffer));  // at the end

    EXPECT_EQ(2u, file.Seek(2, CFile::begin));
    EXPECT_EQ(4u, file.Seek(2, CFile::current));
    EXPECT_EQ(1u, file.Read(buffer, 1));
    EXPECT_EQ('\x1A', buffer[0]);
    EXPECT_EQ(6u, file.Seek(-1, CFile::end));
    file.SeekToBegin();
    EXPECT_EQ(0u, file.GetPosition());
    EXPECT_EQ(0u, file.Read(buffer, 0));

    bool caught = false;
    try {
        file.Seek(-100, CFile::begin);
    } catch (CFileException* e) {
        caught = true;
        EXPECT_EQ(CFileException::badSeek, e->m_cause);
        e->Delete();
    }
    EXPECT_TRUE(caught);
}

TEST_F(MfcFile, FailingReadAndWriteThrow) {
    // The cause and system error of the exception a call throws; -1 for none thrown.
    auto thrown = [](const std::function<void()>& call) {
        std::pair<int, LONG> what(-1, -1);
        try {
            call();
        } catch (CFileException* e) {
            what = {e->m_cause, e->m_lOsError};
            e->Delete();
        }
        return what;
    };
    std::string path = PathOf("ro.txt");
    WriteAll(path, "data");
    CFile reader(path.c_str(), CFile::modeRead | CFile::shareDenyNone);
    EXPECT_EQ(CFileException::accessDenied, thrown([&] { reader.Write("x", 1); }).first);

    CFile full("/dev/full", CFile::modeWrite | CFile::shareDenyNone);
    EXPECT_EQ(CFileException::diskFull, thrown([&] { full.Write("x", 1); }).first);

    CFile closed;
    char c;
    EXPECT_EQ(6, thrown([&] { closed.Read(&c, 1); }).second);  // ERROR_INVALID_HANDLE
}

TEST_F(MfcFile, PathsCloseAbortAndReopen) {
    std::string path = PathOf("named.txt");
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive));
    EXPECT_EQ(CString(fs::absolute(path).string().c_str()), file.GetFilePath());
    EXPECT_EQ(CString("named.txt"), file.GetFileName());

    // Opening again closes the first handle instead of leaking it (and its exclusive share).
    ASSERT_TRUE(file.Open(PathOf("other.txt").c_str(), CFile::modeCreate | CFile::modeWrite));
    CFile probe;
    EXPECT_TRUE(probe.Open(path.c_str(), CFile::modeRead));
    probe.Abort();
    EXPECT_EQ(CFile::hFileNull, probe.m_hFile);
    EXPECT_TRUE(probe.GetFilePath().IsEmpty());

    file.Close();
    EXPECT_EQ(CFile::hFileNull, file.m_hFile);
    EXPECT_TRUE(file.GetFilePath().IsEmpty());
    file.Abort();  // nothing open: harmless

    {
        CFile scoped(path.c_str(), CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive);
    }  // the destructor closes it
    EXPECT_TRUE(probe.Open(path.c_str(), CFile::modeRead));
}

TEST_F(MfcFile, RenameMovesAndReportsFailures) {
    std::string from = PathOf("io.txt");
    std::string to = PathOf("io_20261206173821.txt");
    WriteAll(from, "log");
    CFile::Rename(from.c_str(), to.c_str());
    EXPECT_FALSE(fs::exists(from));
    EXPECT_EQ("log", ReadAll(to));

    bool caught = false;
    try {
        CFile::Rename(from.c_str(), to.c_str());
    } catch (CFileException* e) {
        caught = true;
        EXPECT_EQ(CFileException::fileNotFound, e->m_cause);
        EXPECT_EQ(CString(from.c_str()), e->m_strFileName);
        e->Delete();
    }
    EXPECT_TRUE(caught);

    CFile::Remove(to.c_str());
    EXPECT_FALSE(fs::exists(to));
}

TEST_F(MfcFile, ExceptionMacrosCatchAndFree) {
    std::string path = PathOf("absent");
    int cause = -1;
    bool after = false;
    TRY { CFile file(path.c_str(), CFile::modeRead); }
    CATCH(CFileException, e) { cause = e->m_cause; }
    AND_CATCH_ALL(e) { cause = -2; }
    END_CATCH
    after = true;
    EXPECT_EQ(CFileException::fileNotFound, cause);
    EXPECT_TRUE(after);

    bool rethrown = false;
    try {
        TRY { AfxThrowFileException(CFileException::diskFull); }
        CATCH_ALL(e) { THROW_LAST(); }
        END_CATCH_ALL
    } catch (CException* e) {
        rethrown = true;
        e->Delete();
    }
    EXPECT_TRUE(rethrown);
}

// The causes of real failures are in the tests above; here what lies outside the table.
TEST(MfcFileException, CodesOutsideTheTableAndAMessageCutToItsRoom) {
    EXPECT_EQ(CFileException::none, CFileException::OsErrorToException(0));
    EXPECT_EQ(CFileException::genericException, CFileException::OsErrorToException(123456));

    CFileException unnamed(CFileException::accessDenied);
    char text[8];
    UINT help = 99;
    EXPECT_TRUE(unnamed.GetErrorMessage(text, sizeof text, &help));
    EXPECT_EQ(7u, strlen(text));  // cut to the room given
    EXPECT_EQ(static_cast<UINT>(CFileException::accessDenied), help);
}
