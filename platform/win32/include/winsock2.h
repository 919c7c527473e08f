// Windows Sockets 2: the subset the I/O class library calls, with the SDK's names, types,
// constants, structure layouts (as on 32-bit Windows) and signatures. Implemented over the
// host's BSD sockets in ws2_32/.
//
// SOCKET is an opaque unsigned handle, as on Windows, not a host descriptor, and fd_set is
// Winsock's count-and-array set of such handles; ws2_32 maps both to host descriptors.
#pragma once

// The C library already reaches its own fd_set, FD_* macros, struct timeval, the u_* types
// and select() through <stdlib.h> and friends. Pull those in first, so that the Winsock
// names below replace them the same way whatever the include order of the code above.
#include <sys/types.h>
#include <sys/select.h>
#include <sys/time.h>

#include "windows.h"

// Same types as the C library's own typedefs of these names, so the two may coexist.
typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
typedef unsigned long u_long;

typedef UINT_PTR SOCKET;
#define INVALID_SOCKET (SOCKET)(~0)
#define SOCKET_ERROR (-1)

// Version information filled by WSAStartup (32-bit layout).
#define WSADESCRIPTION_LEN 256
#define WSASYS_STATUS_LEN 128
typedef struct WSAData {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
} WSADATA, *LPWSADATA;

// Address families, socket types, protocols.
#define AF_UNSPEC 0
#define AF_INET 2
#define PF_UNSPEC AF_UNSPEC
#define PF_INET AF_INET

#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3
#define SOCK_RDM 4
#define SOCK_SEQPACKET 5

#define IPPROTO_IP 0
#define IPPROTO_ICMP 1
#define IPPROTO_IGMP 2
#define IPPROTO_GGP 3
#define IPPROTO_TCP 6
#define IPPROTO_PUP 12
#define IPPROTO_UDP 17
#define IPPROTO_IDP 22
#define IPPROTO_ND 77
#define IPPROTO_RAW 255

#define INADDR_ANY (u_long)0x00000000
#define INADDR_LOOPBACK 0x7f000001
#define INADDR_BROADCAST (u_long)0xffffffff
#define INADDR_NONE 0xffffffff

// ioctlsocket commands: FIONREAD is _IOR('f', 127, u_long) with Windows' 32-bit u_long.
#define FIONREAD 0x4004667FL

#define MSG_OOB 0x1
#define MSG_PEEK 0x2
#define MSG_DONTROUTE 0x4

#define SD_RECEIVE 0x00
#define SD_SEND 0x01
#define SD_BOTH 0x02

// Addresses. in_addr's S_addr is 32 bits, so sockaddr_in is 16 bytes as on Windows.
typedef struct in_addr {
    union {
        struct {
            UCHAR s_b1, s_b2, s_b3, s_b4;
        } S_un_b;
        struct {
            USHORT s_w1, s_w2;
        } S_un_w;
        ULONG S_addr;
    } S_un;
} IN_ADDR, *PIN_ADDR, *LPIN_ADDR;
#define s_addr S_un.S_addr

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};
typedef struct sockaddr SOCKADDR, *PSOCKADDR, *LPSOCKADDR;

struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    struct in_addr sin_addr;
    char sin_zero[8];
};
typedef struct sockaddr_in SOCKADDR_IN, *PSOCKADDR_IN, *LPSOCKADDR_IN;

// Host and service database entries (32-bit field order).
struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
#define h_addr h_addr_list[0]
typedef struct hostent HOSTENT, *PHOSTENT, *LPHOSTENT;

struct servent {
    char* s_name;
    char** s_aliases;
    short s_port;
    char* s_proto;
};
typedef struct servent SERVENT, *PSERVENT, *LPSERVENT;

// select() sets: a count and an array of handles, not a bitmask.
#undef FD_SETSIZE
#undef FD_SET
#undef FD_CLR
#undef FD_ISSET
#undef FD_ZERO
#define FD_SETSIZE 64
#define fd_set ws2_32_fd_set
typedef struct fd_set {
    u_int fd_count;
    SOCKET fd_array[FD_SETSIZE];
} fd_set;

int __WSAFDIsSet(SOCKET s, fd_set* set);

#define FD_CLR(fd, set)                                                                    \
    do {                                                                                   \
        u_int __i;                                                                         \
        for (__i = 0; __i < ((fd_set*)(set))->fd_count; __i++) {                           \
            if (((fd_set*)(set))->fd_array[__i] == (SOCKET)(fd)) {                         \
                while (__i < ((fd_set*)(set))->fd_count - 1) {                             \
                    ((fd_set*)(set))->fd_array[__i] = ((fd_set*)(set))->fd_array[__i + 1]; \
                    __i++;                                                                 \
                }                                                                          \
                ((fd_set*)(set))->fd_count--;                                              \
                break;                                                                     \
            }                                                                              \
        }                                                                                  \
    } while (0)
#define FD_SET(fd, set)                                          \
    do {                                                         \
        u_int __i;                                               \
        for (__i = 0; __i < ((fd_set*)(set))->fd_count; __i++) { \
            if (((fd_set*)(set))->fd_array[__i] == (SOCKET)(fd)) \
                break;                                           \
        }                                                        \
        if (__i == ((fd_set*)(set))->fd_count) {                 \
            if (((fd_set*)(set))->fd_count < FD_SETSIZE) {       \
                ((fd_set*)(set))->fd_array[__i] = (SOCKET)(fd);  \
                ((fd_set*)(set))->fd_count++;                    \
            }                                                    \
        }                                                        \
    } while (0)
#define FD_ZERO(set) (((fd_set*)(set))->fd_count = 0)
#define FD_ISSET(fd, set) __WSAFDIsSet((SOCKET)(fd), (fd_set*)(set))

// struct timeval is the C library's (tv_sec, tv_usec), which Winsock's matches by name.
typedef struct timeval TIMEVAL, *PTIMEVAL, *LPTIMEVAL;

// Error codes, as WSAGetLastError reports them.
#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAENOTEMPTY 10066
#define WSAEPROCLIM 10067
#define WSAEUSERS 10068
#define WSAEDQUOT 10069
#define WSAESTALE 10070
#define WSAEREMOTE 10071
#define WSASYSNOTREADY 10091
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAEDISCON 10101
#define WSASYSCALLFAILURE 10107
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// The functions have C++ linkage here: with C linkage, socket, bind, connect, select and
// the rest would take the place of the C library's functions of the same names for the
// whole program, the library's own callers included.

// Start-up and errors.
int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
int WSACleanup(void);
int WSAGetLastError(void);
void WSASetLastError(int iError);

// Sockets.
SOCKET socket(int af, int type, int protocol);
int bind(SOCKET s, const struct sockaddr* name, int namelen);
int connect(SOCKET s, const struct sockaddr* name, int namelen);
int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, const struct timeval* timeout);
int ioctlsocket(SOCKET s, long cmd, u_long* argp);
int sendto(SOCKET s, const char* buf, int len, int flags, const struct sockaddr* to, int tolen);
int recvfrom(SOCKET s, char* buf, int len, int flags, struct sockaddr* from, int* fromlen);
int shutdown(SOCKET s, int how);
int closesocket(SOCKET s);

// Names and addresses.
struct hostent* gethostbyname(const char* name);
struct servent* getservbyname(const char* name, const char* proto);
int gethostname(char* name, int namelen);
unsigned long inet_addr(const char* cp);

// Byte order.
u_long htonl(u_long hostlong);
u_short htons(u_short hostshort);
u_long ntohl(u_long netlong);
u_short ntohs(u_short netshort);
