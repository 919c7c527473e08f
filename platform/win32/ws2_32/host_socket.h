// What the Winsock functions need from the host's BSD sockets and resolver. Only
// host_socket.cpp includes the host's socket headers, whose names (socket, fd_set,
// sockaddr_in, hostent, ...) clash with Winsock's; this header uses plain types so that
// it can sit beside <winsock2.h>.
//
// Every function that can fail returns -1 (or false) and stores the Winsock error code
// in *pWsaError, translated from errno or h_errno by the one table in host_socket.cpp.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

namespace ws2_32 {

// An IPv4 endpoint with both fields in network byte order, as in sockaddr_in.
struct HostEndpoint {
    uint32_t addrNet = 0;
    uint16_t portNet = 0;
};

struct HostEntry {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<uint32_t> addressesNet;
};

struct ServiceEntry {
    std::string name;
    std::vector<std::string> aliases;
    uint16_t portNet = 0;
    std::string protocol;
};

// One descriptor of a wait: which conditions are asked for and which came true.
struct HostPollItem {
    int fd = -1;
    bool wantRead = false;
    bool wantWrite = false;
    bool wantExcept = false;
    bool readable = false;
    bool writable = false;
    bool exceptional = false;
};

int WsaErrorFromErrno(int nErrno);

// Descriptors are created close-on-exec and blocking.
int HostSocket(int nFamily, int nType, int nProtocol, int* pWsaError);
int HostBind(int fd, const HostEndpoint& local, int* pWsaError);
// A connect that blocks its caller for at most llTimeoutMs (then WSAETIMEDOUT, the socket
// left for the caller to close); a signal does not abandon it half-way.
int HostConnect(int fd, const HostEndpoint& remote, long long llTimeoutMs, int* pWsaError);
// Bytes that a receive would return now without waiting.
int HostBytesWaiting(int fd, int* pWsaError);
// llTimeoutMs < 0 waits without limit. Returns the number of items with a condition.
int HostPoll(std::vector<HostPollItem>& items, long long llTimeoutMs, int* pWsaError);
// Flags are Winsock's MSG_* values. A send never raises SIGPIPE.
int HostSend(int fd, const char* pData, int nLength, int nFlags, const HostEndpoint* pTo, int* pWsaError);
int HostReceive(int fd, char* pBuffer, int nLength, int nFlags, HostEndpoint* pFrom, int* pWsaError);
int HostShutdown(int fd, int nHow, int* pWsaError);
int HostClose(int fd, int* pWsaError);

bool HostGetName(std::string& name, int* pWsaError);
bool HostLookupName(const char* pszName, HostEntry& entry, int* pWsaError);
bool HostLookupService(const char* pszName, const char* pszProtocol, ServiceEntry& entry, int* pWsaError);
// Dotted text in any of the forms a.b.c.d, a.b.c, a.b, a (each part decimal, octal or hex).
bool HostParseDotted(const char* pszText, uint32_t* pAddrNet);

}  // namespace ws2_32
