#include <DebugFile.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TempRegistryStore.h"

namespace fs = std::filesystem;

namespace {

const char kBaseKey[] = "SOFTWARE\\KeyProbeTests\\";
const unsigned kMaxFileSize = 5120000;

using testsupport::readTextFile;
using testsupport::writeTextFile;

size_t CountLines(const std::string& text) {
    size_t n = 0;
    for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2))
        ++n;
    return n;
}

// A temporary registry store and a temporary folder for the log files.
class DebugFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.path().empty());
        ASSERT_TRUE(m_store.ok());
    }

    struct Key {
        std::string path;          // below HKEY_LOCAL_MACHINE
        std::string useDebugFile;  // the value's data as the store spells it, or empty: none
        std::string debugFile;     // empty: no value
    };

    void WriteRegistry(const std::vector<Key>& keys) {
        std::string text = testsupport::kRegistryHeader;
        for (const Key& key : keys) {
            text += "\r\n[HKEY_LOCAL_MACHINE\\" + key.path + "]\r\n";
            if (!key.useDebugFile.empty())
                text += "\"UseDebugFile\"=" + key.useDebugFile + "\r\n";
            if (!key.debugFile.empty())
                text += "\"DebugFile\"=\"" + testsupport::regEscape(key.debugFile) + "\"\r\n";
        }
        ASSERT_TRUE(m_store.write(text));
    }

    // The usual set-up: device "Dev" below the base key, switched on, logging to io.txt.
    void SwitchOn(const std::string& useDebugFile = "dword:00000001") {
        WriteRegistry({{std::string(kBaseKey) + "Dev", useDebugFile, LogPath().string()}});
    }

    fs::path LogPath() const { return m_dir / "io.txt"; }

    static void LogLines(CDebugFile& log, int nCount, const char* pszText = "+CTest::Step()") {
        for (int i = 0; i < nCount; ++i)
            log.Log(0, pszText, "Dev");
    }

    std::vector<fs::path> RotatedFiles(const std::string& stem) const {
        std::vector<fs::path> found;
        const std::regex pattern(stem + "_[0-9]{14}(\\.txt)?");
        for (const auto& entry : fs::directory_iterator(m_dir))
            if (entry.is_regular_file() && std::regex_match(entry.path().filename().string(), pattern))
                found.push_back(entry.path());
        return found;
    }

    testsupport::TempDir m_tmp{"keyprobe-debugfile"};
    const fs::path m_dir{m_tmp.path()};
    testsupport::TempRegistryStore m_store{m_tmp.file("registry.reg")};
};

TEST_F(DebugFileTest, EmptyBaseKeyNeverReadsTheRegistryNorWrites) {
    // The key that an empty base and the device name would form is switched on.
    WriteRegistry({{"Dev", "dword:00000001", LogPath().string()}});
    {
        CDebugFile log("");
        LogLines(log, 150);
    }
    EXPECT_FALSE(fs::exists(LogPath()));
}

TEST_F(DebugFileTest, SwitchedOffUntilTheRegistrySaysOn) {
    SwitchOn("dword:00000000");
    CDebugFile log(kBaseKey);
    LogLines(log, 5, "dropped");
    EXPECT_FALSE(fs::exists(LogPath()));

    SwitchOn("dword:00000001");
    log.Log(0, "kept", "Dev");
    EXPECT_TRUE(fs::exists(LogPath())) << "the first line found switched on opens the file";
    log.CloseFile();
    const std::string text = readTextFile(LogPath());
    EXPECT_EQ(1u, CountLines(text));
    EXPECT_EQ(std::string::npos, text.find("dropped"));
}

TEST_F(DebugFileTest, MissingOrUnusableSettingsKeepItOff) {
    const std::string file = LogPath().string();
    const std::string key = std::string(kBaseKey) + "Dev";
    // A creatable path that does not fit the 260 characters the value may have.
    const fs::path longDir = m_dir / std::string(200, 'a');
    fs::create_directory(longDir);
    const fs::path longFile = longDir / (std::string(100, 'b') + ".txt");
    const std::vector<std::vector<Key>> stores = {
        {},                                                                  // no key
        {{key, "", file}},                                                   // no UseDebugFile
        {{key, "dword:00000001", ""}},                                       // no DebugFile
        {{key, "hex:01,00,00,00,00", file}},                                 // UseDebugFile too long
        {{key, "dword:00000001", longFile.string()}},                        // DebugFile too long
        {{key, "dword:00000001", (m_dir / "missing" / "io.txt").string()}},  // cannot create
    };
    for (size_t i = 0; i < stores.size(); ++i) {
        WriteRegistry(stores[i]);
        {
            CDebugFile log(kBaseKey);
            LogLines(log, 120);
        }
        EXPECT_FALSE(fs::exists(LogPath())) << "store " << i;
        EXPECT_FALSE(fs::exists(m_dir / "missing")) << "store " << i;
        EXPECT_FALSE(fs::exists(longFile)) << "store " << i;
    }
}

TEST_F(DebugFileTest, ShortSwitchValueCountsByItsOwnBytes) {
    // One byte of 1 is on; the bytes it does not supply count as zero.
    SwitchOn("hex:01");
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 1);
    }
    EXPECT_EQ(1u, CountLines(readTextFile(LogPath())));
    fs::remove(LogPath());
    SwitchOn("hex:00,00");
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 1);
    }
    EXPECT_FALSE(fs::exists(LogPath()));
}

TEST_F(DebugFileTest, DeviceNameIsJoinedToTheBaseKeyWithoutSeparator) {
    const fs::path withSlash = m_dir / "slash.txt";
    const fs::path joined = m_dir / "joined.txt";
    WriteRegistry({{"SOFTWARE\\KeyProbeTests\\Dev", "dword:00000001", withSlash.string()},
                   {"SOFTWARE\\KeyProbeTestsDev", "dword:00000001", joined.string()}});
    {
        CDebugFile a("SOFTWARE\\KeyProbeTests\\");
        CDebugFile b("SOFTWARE\\KeyProbeTests");
        a.Log(0, "to slash", "Dev");
        b.Log(0, "to joined", "Dev");
    }
    EXPECT_NE(std::string::npos, readTextFile(withSlash).find("to slash"));
    EXPECT_NE(std::string::npos, readTextFile(joined).find("to joined"));
}

TEST_F(DebugFileTest, LinesGoOutInBlocksOfAHundred) {
    SwitchOn();
    writeTextFile(LogPath(), "");
    CDebugFile* pLog = new CDebugFile(kBaseKey);
    LogLines(*pLog, 99);
    EXPECT_EQ(0u, fs::file_size(LogPath()));
    LogLines(*pLog, 1);
    EXPECT_EQ(100u, CountLines(readTextFile(LogPath())));
    LogLines(*pLog, 50);
    EXPECT_EQ(100u, CountLines(readTextFile(LogPath())));
    delete pLog;
    EXPECT_EQ(150u, CountLines(readTextFile(LogPath())));
}

TEST_F(DebugFileTest, LineLayout) {
    SwitchOn();
    {
        CDebugFile log(kBaseKey);
        // The first line's device name picks the key; later lines only carry theirs.
        log.Log(42, "-TCPIPPort::Read(). Socket timeout", "Dev");
        log.Log(0, "+TCPIPPort::Read()", "");
        log.Log(0, "Last platform error code from device=0x0, desc=Not available\n", "Dravon");
    }
    const std::string text = readTextFile(LogPath());
    const std::regex layout(
        "[^\t\r\n]+ \\([0-9]{5} ms\\)\tEC0042\tDevice name \\[Dev\\] - "
        "-TCPIPPort::Read\\(\\)\\. Socket timeout\r\n"
        "[^\t\r\n]+ \\([0-9]{5} ms\\)\tEC0000\tDevice name \\[\\] - \\+TCPIPPort::Read\\(\\)\r\n"
        "[^\t\r\n]+ \\([0-9]{5} ms\\)\tEC0000\tDevice name \\[Dravon\\] - "
        "Last platform error code from device=0x0, desc=Not available\n\r\n");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(DebugFileTest, ExistingFileIsAppendedTo) {
    SwitchOn();
    writeTextFile(LogPath(), "earlier run\r\n");
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 3);
    }
    const std::string text = readTextFile(LogPath());
    EXPECT_EQ(0u, text.find("earlier run\r\n"));
    EXPECT_EQ(4u, CountLines(text));
}

TEST_F(DebugFileTest, LinesFromManyThreadsStayWhole) {
    SwitchOn();
    {
        CDebugFile log(kBaseKey);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&log, t] {
                std::string text = "thread " + std::to_string(t);
                for (int i = 0; i < 130; ++i)
                    log.Log(0, text.c_str(), "Dev");
            });
        for (auto& thread : threads)
            thread.join();
    }
    const std::string text = readTextFile(LogPath());
    EXPECT_EQ(520u, CountLines(text));
    const std::regex line("[^\t\r\n]+ \\([0-9]{5} ms\\)\tEC0000\tDevice name \\[Dev\\] - thread [0-3]");
    std::istringstream lines(text);
    for (std::string one; std::getline(lines, one);) {
        ASSERT_FALSE(one.empty());
        ASSERT_EQ('\r', one.back());
        one.pop_back();
        ASSERT_TRUE(std::regex_match(one, line)) << one;
    }
}

// Rotation depends on the file's length after a block; a block's length depends on the
// rendered date, which the test does not control. It measures a block first and retries
// in the rare case that the rendering changed length in between.
class DebugFileRotationTest : public DebugFileTest {
protected:
    size_t MeasureBlock() {
        const fs::path probe = m_dir / "probe.txt";
        WriteRegistry({{std::string(kBaseKey) + "Dev", "dword:00000001", probe.string()}});
        {
            CDebugFile log(kBaseKey);
            LogLines(log, 100);
        }
        const size_t nLength = fs::file_size(probe);
        fs::remove(probe);
        return nLength;
    }

    static std::string Filler(size_t nLength) { return std::string(nLength, 'x'); }

    static bool StampIsBetween(const std::string& stamp, time_t before, time_t after) {
        for (time_t t = before; t <= after; ++t) {
            char sz[32];
            strftime(sz, sizeof(sz), "%Y%m%d%H%M%S", localtime(&t));
            if (stamp == sz)
                return true;
        }
        return false;
    }
};

TEST_F(DebugFileRotationTest, FileOfExactlyTheLimitIsNotRotated) {
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        const size_t nBlock = MeasureBlock();
        ASSERT_LT(nBlock, kMaxFileSize);
        SwitchOn();
        const size_t nStart = kMaxFileSize - nBlock;
        writeTextFile(LogPath(), Filler(nStart));
        {
            CDebugFile log(kBaseKey);
            LogLines(log, 100);
        }
        ASSERT_TRUE(RotatedFiles("io").empty());
        if (fs::file_size(LogPath()) - nStart != nBlock)
            continue;
        EXPECT_EQ(kMaxFileSize, fs::file_size(LogPath()));
        return;
    }
    FAIL() << "block length kept changing";
}

TEST_F(DebugFileRotationTest, FileOneByteOverTheLimitMovesToAStampedName) {
    for (int nAttempt = 0; nAttempt < 3; ++nAttempt) {
        const size_t nBlock = MeasureBlock();
        SwitchOn();
        const size_t nStart = kMaxFileSize + 1 - nBlock;
        writeTextFile(LogPath(), Filler(nStart));
        const time_t before = time(NULL);
        {
            CDebugFile log(kBaseKey);
            LogLines(log, 100);
            ASSERT_TRUE(fs::exists(LogPath())) << "a fresh file follows the rotated one";
            EXPECT_EQ(0u, fs::file_size(LogPath()));
            LogLines(log, 1, "after rotation");
        }
        const time_t after = time(NULL);
        const std::vector<fs::path> rotated = RotatedFiles("io");
        ASSERT_EQ(1u, rotated.size());
        const std::string name = rotated[0].filename().string();
        EXPECT_EQ(".txt", rotated[0].extension().string());
        EXPECT_TRUE(StampIsBetween(name.substr(3, 14), before, after)) << name;

        const std::string fresh = readTextFile(LogPath());
        EXPECT_EQ(1u, CountLines(fresh));
        EXPECT_NE(std::string::npos, fresh.find("after rotation"));
        if (fs::file_size(rotated[0]) - nStart != nBlock) {
            fs::remove(rotated[0]);
            continue;
        }
        EXPECT_EQ(kMaxFileSize + 1, fs::file_size(rotated[0]));
        return;
    }
    FAIL() << "block length kept changing";
}

TEST_F(DebugFileRotationTest, NameWithoutExtensionGetsTheStampOnly) {
    const fs::path path = m_dir / "log";
    WriteRegistry({{std::string(kBaseKey) + "Dev", "dword:00000001", path.string()}});
    writeTextFile(path, Filler(kMaxFileSize));
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 100);
    }
    const std::vector<fs::path> rotated = RotatedFiles("log");
    ASSERT_EQ(1u, rotated.size());
    EXPECT_EQ("", rotated[0].extension().string());
    EXPECT_EQ(0u, fs::file_size(path));
}

TEST_F(DebugFileRotationTest, FailedRenameKeepsLoggingToTheSameFile) {
    SwitchOn();
    // Every name the rotation could choose in the next minute is taken by another file.
    std::vector<fs::path> taken;
    const time_t now = time(NULL);
    for (time_t t = now - 1; t <= now + 60; ++t) {
        char sz[32];
        strftime(sz, sizeof(sz), "%Y%m%d%H%M%S", localtime(&t));
        taken.push_back(m_dir / ("io_" + std::string(sz) + ".txt"));
        writeTextFile(taken.back(), "someone else's");
    }
    writeTextFile(LogPath(), Filler(kMaxFileSize));
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 200);
        LogLines(log, 10);
    }
    for (const fs::path& path : taken)
        EXPECT_EQ("someone else's", readTextFile(path)) << path;
    const std::string text = readTextFile(LogPath());
    EXPECT_EQ(0u, text.find(Filler(kMaxFileSize)));
    EXPECT_EQ(210u, CountLines(text));
}

TEST_F(DebugFileTest, UnwritableFileLosesLinesButNeverBlocks) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "needs /dev/full";
    WriteRegistry({{std::string(kBaseKey) + "Dev", "dword:00000001", "/dev/full"}});
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 250);
    }
    // The same process can log normally afterwards.
    SwitchOn();
    {
        CDebugFile log(kBaseKey);
        LogLines(log, 2);
    }
    EXPECT_EQ(2u, CountLines(readTextFile(LogPath())));
}

// A log file that is a FIFO: with no reader, a reader that never reads, or one that went
// away. Lines are lost; the caller is never held up and the process lives on.
TEST_F(DebugFileTest, FifoAsLogFileNeverBlocks) {
    const std::string fifo = (m_dir / "io.fifo").string();
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    enum Reader { None, Stalled, Gone };
    for (Reader reader : {None, Stalled, Gone}) {
        WriteRegistry({{std::string(kBaseKey) + "Dev", "dword:00000001", fifo}});
        const int fdReader = reader == None ? -1 : open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        CDebugFile log(kBaseKey);
        LogLines(log, 1);
        if (reader == Gone)
            close(fdReader);
        LogLines(log, 2000, std::string(200, 'x').c_str());  // far more than a pipe holds
        log.CloseFile();
        if (reader == Stalled)
            close(fdReader);
    }
    SwitchOn();
    CDebugFile log(kBaseKey);
    LogLines(log, 2);
    log.CloseFile();
    EXPECT_EQ(2u, CountLines(readTextFile(LogPath())));
}

TEST_F(DebugFileTest, UnopenableFileIsRetriedWithTheNextLine) {
    WriteRegistry(
        {{std::string(kBaseKey) + "Dev", "dword:00000001", (m_dir / "missing" / "io.txt").string()}});
    CDebugFile log(kBaseKey);
    LogLines(log, 3, "lost");
    SwitchOn();
    LogLines(log, 2, "kept");
    log.CloseFile();
    const std::string text = readTextFile(LogPath());
    EXPECT_EQ(2u, CountLines(text));
    EXPECT_EQ(std::string::npos, text.find("lost"));
}

}  // namespace
