// logprobe BASEKEY INIFILE
//
// Sets up the terminal connection the way the key check does, except that its debug log
// reads its switch from the registry below BASEKEY, then sends one master/session key
// test and reads the reply. The Wine suite runs it to see the registry-switched log work
// over the real Windows API: keyprobe itself builds its log switched off.
//
// Exit code: 0 when the port opened, 1 when it did not, 2 for a wrong argument count.
#include <stdio.h>

#include "Connection.h"
#include "DebugFile.h"
#include "Protocol.h"
#include "TerminalCommands.h"
#include "TerminalLink.h"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        fprintf(stderr, "usage: logprobe BASEKEY INIFILE\n");
        return 2;
    }
    g_pDebugFile = new CDebugFile(argv[1]);
    ConnectionSettings settings;
    ReadConnectionSettings(argv[2], settings);
    g_pTerminalLink = new CTerminalLink(CreateTerminalPort(settings, g_pDebugFile), PROTOCOL_VLI);

    int nExitCode = 1;
    if (g_pTerminalLink->OpenPort() && g_pTerminalLink->IsOpen()) {
        SendKeyTestRequest(1, 0, "0123456789", "Testing...", "00000000");
        nExitCode = 0;
    }
    // Destroying the log writes out the lines it still holds.
    DisconnectTerminal();
    return nExitCode;
}
