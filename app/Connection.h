// Connection set-up: turns the INI file named on the command line into an open
// terminal link over the port that its "Connection" section describes.
#pragma once

class CDebugFile;
class CTerminalLink;

// The input path copy: at most 255 characters and the terminating zero. The run fills
// it just before ConnectTerminal reads it as the name of the INI file.
extern char g_szInputFile[256];

// The set-up's program-wide objects. The link owns the port and the protocol;
// the set-up owns the link and the log.
extern CTerminalLink* g_pTerminalLink;
extern CDebugFile* g_pDebugFile;

// Result codes of ConnectTerminal.
enum : signed char {
    CONNECT_OK = 0,
    CONNECT_FAILED = -31,
};

signed char ConnectTerminal();
void DisconnectTerminal();
