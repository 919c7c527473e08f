// The process's identity: its id, its one module and its command line.
#include <windows.h>

#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

// Any non-NULL value serves as the executable's module handle; Windows's usual image base.
HMODULE const kExecutableModule = reinterpret_cast<HMODULE>(0x400000);

std::string ExecutablePath() {
    char path[PATH_MAX];
    const ssize_t cbPath = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (cbPath <= 0)
        return std::string();
    return std::string(path, (size_t)cbPath);
}

// Quotes one argument so that the C runtime's command-line parser gives it back unchanged:
// backslashes are literal except before a quote, where they are doubled.
void AppendQuotedArgument(std::string& line, const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    size_t nBackslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++nBackslashes;
            continue;
        }
        if (c == '"')
            line.append(nBackslashes * 2 + 1, '\\');
        else
            line.append(nBackslashes, '\\');
        nBackslashes = 0;
        line += c;
    }
    line.append(nBackslashes * 2, '\\');
    line += '"';
}

std::string BuildCommandLine() {
    std::vector<char> contents;
    const int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[4096];
        ssize_t cbRead;
        while ((cbRead = read(fd, buffer, sizeof(buffer))) > 0)
            contents.insert(contents.end(), buffer, buffer + cbRead);
        close(fd);
    }
    std::string line;
    size_t nStart = 0;
    while (nStart < contents.size()) {
        size_t nEnd = nStart;
        while (nEnd < contents.size() && contents[nEnd] != '\0')
            ++nEnd;
        if (!line.empty())
            line += ' ';
        AppendQuotedArgument(line, std::string(&contents[nStart], nEnd - nStart));
        nStart = nEnd + 1;
    }
    return line;
}

}  // namespace

extern "C" DWORD WINAPI GetCurrentProcessId(void) { return (DWORD)getpid(); }

// Only the executable is a module here: NULL or its own file name (with or without the
// directory) finds it; any other name is not loaded.
extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    if (!lpModuleName)
        return kExecutableModule;
    const std::string path = ExecutablePath();
    const size_t nSlash = path.rfind('/');
    const std::string name = nSlash == std::string::npos ? path : path.substr(nSlash + 1);
    if (!path.empty() && (path == lpModuleName || strcasecmp(name.c_str(), lpModuleName) == 0))
        return kExecutableModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return NULL;
}

// Truncates to nSize - 1 characters with ERROR_INSUFFICIENT_BUFFER and returns nSize, as
// Windows does.
extern "C" DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    if (hModule && hModule != kExecutableModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::string path = ExecutablePath();
    if (path.empty()) {
        SetLastError(ERROR_GEN_FAILURE);
        return 0;
    }
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= nSize) {
        memcpy(lpFilename, path.data(), nSize - 1);
        lpFilename[nSize - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)path.size();
}

// The arguments of the process joined and quoted as a Windows command line; built once and
// kept, as Windows keeps one buffer for the process.
extern "C" LPSTR WINAPI GetCommandLineA(void) {
    static std::once_flag once;
    static std::string* line = nullptr;
    std::call_once(once, [] { line = new std::string(BuildCommandLine()); });
    return &(*line)[0];
}
