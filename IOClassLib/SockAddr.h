// The IPv4 socket address record of the TCP/IP transport and the look-ups that fill it:
// a host given as dotted text, as a name or not at all (this machine), and a port given
// as a number or as a service name.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string.h>

// Exactly a sockaddr_in: family in host byte order, port and address in network byte
// order, eight zero bytes.
class CSockAddr : public sockaddr_in {
public:
    CSockAddr() { ClearAddress(); }

    // Fills the record; TRUE unless both the address and the port come out 0. A host that
    // cannot be resolved gives 255.255.255.255 and does not make it fail. pszHost NULL
    // means this machine.
    BOOL CreateFrom(LPCTSTR pszHost, LPCTSTR pszService, short nFamily);
    BOOL IsNull() const { return sin_addr.s_addr == 0 && sin_port == 0; }
    void ClearAddress() { memset(static_cast<sockaddr_in*>(this), 0, sizeof(sockaddr_in)); }

    // Host byte order.
    DWORD GetAddress() const { return (DWORD)ntohl(sin_addr.s_addr); }
    void SetAddress(DWORD dwAddress) { sin_addr.s_addr = (ULONG)htonl(dwAddress); }
    WORD GetPort() const { return ntohs(sin_port); }

    operator sockaddr*() { return reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(this)); }
    operator const sockaddr*() const {
        return reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(this));
    }
    static int Size() { return (int)sizeof(sockaddr_in); }

    // Port in host byte order: leading digits as a number cut to 16 bits, otherwise the
    // services database entry of that name for any protocol, otherwise 0.
    static WORD GetPortFromService(LPCTSTR pszService);
    // IPv4 address in host byte order; 255.255.255.255 when the name does not resolve.
    static DWORD GetIPFromHost(LPCTSTR pszHost);
    // This machine's official host name. FALSE with ERROR_INVALID_PARAMETER or
    // ERROR_INSUFFICIENT_BUFFER, or with the Winsock error of a failed gethostname.
    static BOOL GetLocalHostName(LPSTR pszBuffer, UINT nSize);
};
