// The loopback TCP peer used by the socket and TCP/IP port tests of this program; built
// here because the host's socket headers cannot share a source file with <winsock2.h>.
#define TCP_TEST_PEER_IMPLEMENTATION
#include "TcpTestPeer.h"
