// wsockstb.h - the socket layer bound at run time: Winsock 1.1 function table, start-up,
// clean-up and host lookup.
#ifndef VEXLOLPR_WSOCKSTB_H
#define VEXLOLPR_WSOCKSTB_H

#include "platform/platform.h"

namespace vx {

// The entry points the library uses, in the order they are resolved.  The first two
// are taken on their own while loading; a provider that lacks any of them is refused.
#define WINSOCK_STARTUP_ENTRIES(X)                                                       \
    X(int, WSAStartup, (WORD, WSADATA *))                                                \
    X(int, WSACleanup, (void))
#define WINSOCK_SOCKET_ENTRIES(X)                                                        \
    X(SOCKET, socket, (int, int, int))                                                   \
    X(int, bind, (SOCKET, const sockaddr *, int))                                        \
    X(int, connect, (SOCKET, const sockaddr *, int))                                     \
    X(int, send, (SOCKET, const char *, int, int))                                       \
    X(int, shutdown, (SOCKET, int))                                                      \
    X(int, recv, (SOCKET, char *, int, int))                                             \
    X(int, closesocket, (SOCKET))                                                        \
    X(int, WSAGetLastError, (void))                                                      \
    X(void, WSASetLastError, (int))                                                      \
    X(int, WSACancelBlockingCall, (void))                                                \
    X(hostent *, gethostbyname, (const char *))                                          \
    X(hostent *, gethostbyaddr, (const char *, int, int))                                \
    X(ulong32, inet_addr, (const char *))                                                \
    X(ulong32, htonl, (ulong32))                                                         \
    X(ulong32, ntohl, (ulong32))                                                         \
    X(uint16_t, htons, (uint16_t))                                                       \
    X(int, WSAAsyncSelect, (SOCKET, HWND, UINT, long))                                   \
    X(int, setsockopt, (SOCKET, int, int, const char *, int))

// Taken when the provider has them, not required: a provider without them loads.
// SendFileRange is no Winsock call: the POSIX provider's kernel file-to-socket transfer,
// `len` octets of the file from `offset`, as send reports them (0: the file ended).
#define WINSOCK_OPTIONAL_ENTRIES(X)                                                      \
    X(int, getsockname, (SOCKET, sockaddr *, int *))                                     \
    X(int, SendFileRange, (SOCKET, LFILE, int64_t, int))
// The IPv6 look-up, from WS2_32.DLL where the system has it; without it (or either
// entry) IPv6 hosts do not resolve and nothing else changes.  The sockets of both
// families go through the entries above.
#define WINSOCK2_OPTIONAL_ENTRIES(X)                                                     \
    X(int, getaddrinfo, (const char *, const char *, const addrinfo *, addrinfo **))    \
    X(void, freeaddrinfo, (addrinfo *))

struct WinsockTable {
#define X(ret, name, args) ret(WSAAPI *name) args;
    WINSOCK_STARTUP_ENTRIES(X)
    WINSOCK_SOCKET_ENTRIES(X)
    WINSOCK_OPTIONAL_ENTRIES(X)
    WINSOCK2_OPTIONAL_ENTRIES(X)
#undef X
};

extern const char WINSOCK_MODULE[];  // "WSOCK32.DLL"
extern const char WINSOCK2_MODULE[]; // "WS2_32.DLL"
constexpr WORD WINSOCK_VERSION_1_1 = 0x0101;

extern HMODULE hwinsock;    // 0: not loaded; the table is valid exactly while it is set
extern HMODULE hwinsock2;   // WS2_32.DLL while its entries are in the table, else 0
extern WinsockTable winsock; // entry points of the loaded module

// 0: loaded (now or before); 1: cannot be loaded.
int LoadWinsock();
// Starts the socket layer for one request.  0: started; 1: there is no binding, or the
// start failed (nothing to clean up then).
int WinsockStartup();
// Cleans up and releases the module; always 1.
int UnloadWinsock();
// IPv4 address of a host name or dotted address in network order; 0 when nothing
// resolves.  `name2` is tried when `name` finds nothing.
uint32_t GetHostAddress(const char *name, const char *name2 = nullptr);
// First IPv6 address of a host name (only of an IPv6 literal when `literal`), port 0;
// false when nothing resolves or there is no IPv6 look-up.
bool GetHostAddress6(const char *name, bool literal, sockaddr_in6 *address);

} // namespace vx

#endif
