// Files through kernel32: dispositions, share modes within and across processes, positions,
// renames, overlapped completion and the COM name resolution in front of the serial backend.
#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ScopedEnv.h"
#include "TempFiles.h"

namespace {

using testsupport::readTextFile;
using testsupport::TempDir;
using testsupport::writeTextFile;

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

HANDLE Open(const std::string& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileA(path.c_str(), access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
}

// A child process that opens a file, tells the parent, and holds it until told to go.
class HoldingChild {
public:
    HoldingChild(const std::string& path, DWORD access, DWORD share) {
        if (pipe(ready_) != 0 || pipe(release_) != 0)
            abort();
        pid_ = fork();
        if (pid_ == 0) {
            HANDLE h = Open(path, access, share, OPEN_EXISTING);
            const char status = h != INVALID_HANDLE_VALUE ? 'y' : 'n';
            if (write(ready_[1], &status, 1) != 1)
                _exit(2);
            char go;
            if (read(release_[0], &go, 1) != 1)
                _exit(3);
            CloseHandle(h);
            _exit(0);
        }
        char status = 0;
        opened_ = read(ready_[0], &status, 1) == 1 && status == 'y';
    }
    ~HoldingChild() { Release(); }
    bool Opened() const { return opened_; }
    void Release() {
        if (pid_ <= 0)
            return;
        const char go = 'g';
        if (write(release_[1], &go, 1) != 1) {
        }
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
            close(fd);
    }

private:
    pid_t pid_ = -1;
    int ready_[2];
    int release_[2];
    bool opened_ = false;
};

TEST(KernelFileDisposition, CreateNewRefusesAnExistingFileAndCreatesAMissingOne) {
    TempDir dir;
    const std::string path = dir.file("a.txt");
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    CloseHandle(h);
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_EXISTS);
}

TEST(KernelFileDisposition, CreateAlwaysTruncatesAndSaysTheFileExisted) {
    TempDir dir;
    const std::string path = dir.file("log.txt");
    writeTextFile(path, "old contents");
    HANDLE h = Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, NULL), 0u);
    CloseHandle(h);
    EXPECT_EQ(readTextFile(path), "");
}

TEST(KernelFileDisposition, OpenAlwaysKeepsContentsAndOpenExistingNeedsTheFile) {
    TempDir dir;
    const std::string path = dir.file("keep.txt");
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);  // created
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, NULL));
    CloseHandle(h);
    h = Open(path, GENERIC_READ, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, NULL), 3u);
    CloseHandle(h);

    EXPECT_EQ(Open(dir.file("missing"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir.file("nodir/missing"), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(dir.file("x"), GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Open(dir.path(), GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
}

TEST(KernelFileShare, ExclusiveOpenRefusesEveryOtherOpenInThisProcess) {
    TempDir dir;
    const std::string path = dir.file("excl.dat");
    writeTextFile(path, "data");
    HANDLE first = Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // An open for attributes only takes no part in sharing.
    HANDLE query = Open(path, 0, 0, OPEN_EXISTING);
    EXPECT_NE(query, INVALID_HANDLE_VALUE);
    CloseHandle(query);
    CloseHandle(first);
    HANDLE again = Open(path, GENERIC_READ, 0, OPEN_EXISTING);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(KernelFileShare, ModesMustAgreeBothWays) {
    TempDir dir;
    const std::string path = dir.file("shared.dat");
    writeTextFile(path, "data");
    HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // Another reader that shares reading: fine.
    HANDLE reader2 = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(reader2, INVALID_HANDLE_VALUE);
    // A writer: the readers refuse writing.
    EXPECT_EQ(Open(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // A reader that refuses reading: the others already read.
    EXPECT_EQ(Open(path, GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(reader);
    CloseHandle(reader2);

    // Full sharing, as the debug log opens its file: several writers at once.
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE w1 = Open(path, GENERIC_WRITE, all, OPEN_EXISTING);
    HANDLE w2 = Open(path, GENERIC_WRITE, all, OPEN_EXISTING);
    EXPECT_NE(w1, INVALID_HANDLE_VALUE);
    EXPECT_NE(w2, INVALID_HANDLE_VALUE);
    CloseHandle(w1);
    CloseHandle(w2);
}

TEST(KernelFileShare, AnotherProcessHoldingTheFileExclusivelyRefusesUsAndNothingIsTruncated) {
    TempDir dir;
    const std::string path = dir.file("held.dat");
    writeTextFile(path, "precious");
    HoldingChild child(path, GENERIC_READ, 0);
    ASSERT_TRUE(child.Opened());
    EXPECT_EQ(Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    // CFile::modeCreate on a file somebody holds: refused before anything is cut.
    EXPECT_EQ(Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(readTextFile(path), "precious");
    child.Release();
    HANDLE h = Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(readTextFile(path), "");
}

TEST(KernelFileShare, ASharingChildIsNotRefusedWhileWeHoldAWriter) {
    TempDir dir;
    const std::string path = dir.file("log.txt");
    writeTextFile(path, "");
    const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE ours = Open(path, GENERIC_WRITE, all, OPEN_EXISTING);
    ASSERT_NE(ours, INVALID_HANDLE_VALUE);
    HoldingChild sharing(path, GENERIC_WRITE, all);
    EXPECT_TRUE(sharing.Opened());
    sharing.Release();
    HoldingChild exclusive(path, GENERIC_READ, 0);
    EXPECT_FALSE(exclusive.Opened());
    exclusive.Release();
    CloseHandle(ours);
}

TEST(KernelFileIo, ReadWriteAndPositionsFollowTheFilePointer) {
    TempDir dir;
    const std::string path = dir.file("io.bin");
    HANDLE h = Open(path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, NULL));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_CURRENT), 10u);
    EXPECT_EQ(SetFilePointer(h, -4, NULL, FILE_END), 6u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, NULL));
    EXPECT_EQ(std::string(buffer, n), "6789");
    // At the end a synchronous read succeeds with nothing.
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), &n, NULL));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(SetFilePointer(h, 2, NULL, FILE_BEGIN), 2u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, NULL), 2u);

    EXPECT_EQ(SetFilePointer(h, -3, NULL, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, NULL, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(h);
}

TEST(KernelFileIo, SixtyFourBitPositionsTravelThroughTheHighPart) {
    TempDir dir;
    HANDLE h = Open(dir.file("sparse.bin"), GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 4 GB + 0xFFFFFFFF: the low part looks like the failure value, last error says success.
    LONG high = 1;
    SetLastError(1234);
    EXPECT_EQ(SetFilePointer(h, (LONG)0xFFFFFFFF, &high, FILE_BEGIN), 0xFFFFFFFFu);
    EXPECT_EQ(GetLastError(), (DWORD)NO_ERROR);
    EXPECT_EQ(high, 1);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "x", 1, &n, NULL));
    DWORD sizeHigh = 0;
    EXPECT_EQ(GetFileSize(h, &sizeHigh), 0u);
    EXPECT_EQ(sizeHigh, 2u);
    // Without a high part a position beyond 32 bits is refused and the pointer stays.
    EXPECT_EQ(SetFilePointer(h, 0, NULL, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_CURRENT), 0u);
    EXPECT_EQ(high, 2);
    CloseHandle(h);
}

TEST(KernelFileIo, AccessRightsAndBadArgumentsFailWithTheirCodes) {
    TempDir dir;
    const std::string path = dir.file("ro.txt");
    writeTextFile(path, "abc");
    HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(n, 0u);
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, NULL, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(h);
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile((HANDLE)(uintptr_t)0x12345, &c, 1, &n, NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST(KernelFileIo, OverlappedTransfersUseTheOffsetAndSignalTheEvent) {
    TempDir dir;
    HANDLE h = CreateFileA(dir.file("ov.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                           FILE_FLAG_OVERLAPPED, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    ov.Offset = 4;
    ASSERT_TRUE(WriteFile(h, "wxyz", 4, NULL, &ov));
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(GetFileSize(h, NULL), 8u);

    char buffer[8] = {};
    ov = {};
    ov.hEvent = event;
    ov.Offset = 5;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof(buffer), NULL, &ov));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "xyz");
    // Reading at the end is an error for an overlapped request.
    ov = {};
    ov.hEvent = event;
    ov.Offset = 8;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof(buffer), NULL, &ov));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_HANDLE_EOF);
    CloseHandle(event);
    CloseHandle(h);
}

TEST(KernelFileNames, MoveRefusesAnExistingTargetUnlessAskedToReplace) {
    TempDir dir;
    const std::string from = dir.file("io.txt"), to = dir.file("io_20261206173821.txt");
    writeTextFile(from, "log");
    writeTextFile(to, "older");
    EXPECT_FALSE(MoveFileA(from.c_str(), to.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(readTextFile(to), "older");
    ASSERT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(readTextFile(to), "log");
    EXPECT_FALSE(Exists(from));
    EXPECT_FALSE(MoveFileA(from.c_str(), dir.file("other").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileA(to.c_str(), dir.file("nodir/x").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(MoveFileA(dir.file("nodir/x").c_str(), dir.file("other").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(KernelFileNames, AFileHeldWithoutShareDeleteCannotBeRenamedOrDeleted) {
    TempDir dir;
    const std::string path = dir.file("busy.txt");
    writeTextFile(path, "x");
    HoldingChild holder(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_TRUE(holder.Opened());
    EXPECT_FALSE(MoveFileA(path.c_str(), dir.file("moved.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    holder.Release();

    HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(MoveFileA(path.c_str(), dir.file("moved.txt").c_str()));
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA(dir.file("moved.txt").c_str()));
    EXPECT_FALSE(DeleteFileA(dir.file("moved.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA(dir.file("nodir/moved.txt").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(KernelFileNames, FullPathResolvesDotsAgainstTheWorkingDirectory) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    char buffer[MAX_PATH];
    LPSTR part = NULL;
    DWORD n = GetFullPathNameA("a/./b/../c.txt", sizeof(buffer), buffer, &part);
    const std::string expected = std::string(strcmp(cwd, "/") == 0 ? "" : cwd) + "/a/c.txt";
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(n, expected.size());
    ASSERT_NE(part, nullptr);
    EXPECT_STREQ(part, "c.txt");
    EXPECT_EQ(GetFullPathNameA("/x/y", 3, buffer, &part), 5u);  // size needed, with NUL
}

// COM names reach the serial backend through the dosdevices folder; pseudo-terminals stand
// in for the ports.
class KernelFileComNames : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(openpty(&master_, &slave_, slaveName_, NULL, NULL), 0);
        ASSERT_EQ(symlink(slaveName_, dir_.file("com7").c_str()), 0);
    }
    void TearDown() override {
        close(slave_);
        close(master_);
    }
    TempDir dir_;
    testsupport::ScopedEnv dosDevices_{"IOCLASSLIB_DOSDEVICES", dir_.path()};
    int master_ = -1, slave_ = -1;
    char slaveName_[256] = {};
};

TEST_F(KernelFileComNames, ComNamesInAnyFormAndCaseOpenTheLinkedDevice) {
    for (const char* name : {"COM7", "com7", "\\\\.\\COM7", "\\\\.\\cOm7"}) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        DCB dcb = {};
        dcb.DCBlength = sizeof(dcb);
        EXPECT_TRUE(GetCommState(h, &dcb)) << name;  // a serial handle, not a file
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, "hi", 2, &n, NULL));
        char buffer[2];
        ASSERT_EQ(read(master_, buffer, 2), 2);
        EXPECT_EQ(std::string(buffer, 2), "hi");
        CloseHandle(h);
    }
    EXPECT_EQ(CreateFileA("COM8", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(KernelFileComNames, ATerminalPathIsASerialPortAndOtherDevicesAreNot) {
    HANDLE h = CreateFileA(slaveName_, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_TRUE(GetCommState(h, &dcb));
    CloseHandle(h);

    h = CreateFileA("/dev/null", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(GetCommState(h, &dcb));
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "gone", 4, &n, NULL));
    EXPECT_EQ(n, 4u);
    CloseHandle(h);
    // COM0 and COM257 are not port names; without a folder they are plain (missing) files.
    unsetenv("IOCLASSLIB_DOSDEVICES");
    EXPECT_EQ(CreateFileA("COM0", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

}  // namespace
