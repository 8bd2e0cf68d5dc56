// wsock32.cpp - the socket providers of the POSIX platform: "WSOCK32.DLL", the twenty
// Winsock 1.1 entry points over BSD sockets, with Winsock's results (SOCKET_ERROR, error
// numbers through WSAGetLastError, a start count that every socket call checks), and of
// "WS2_32.DLL" the IPv6 look-up (getaddrinfo, freeaddrinfo).  Sockets of both families
// go through the same entry points, as on Windows.
#include <atomic>
#include <new>
#include <stdio.h>
#include <string.h>

#include "eventsource.h"
#include "posix.h"
#include "sockshim.h"

namespace vx {
namespace posix {

namespace {

constexpr int MSG_PEEK_ = 0x2; // Winsock's recv flag
constexpr int MAX_HOST_ADDRESSES = 16;

std::atomic<int> startcount;
thread_local int lasterror;

// Winsock keeps one host entry per thread, valid until the thread's next lookup.
struct HostEntry {
    hostent entry;
    char name[256];
    char *aliases[1];
    char *addrlist[MAX_HOST_ADDRESSES + 1];
    uint32_t addresses[MAX_HOST_ADDRESSES];
};
thread_local HostEntry hostbuf;

int Failed(int wsaerror)
{
    lasterror = wsaerror;
    return SOCKET_ERROR;
}

// Maps a shim result onto Winsock's: the value, or SOCKET_ERROR with the error kept.
long Result(long rc) { return rc >= 0 ? rc : Failed(static_cast<int>(-rc)); }

bool Started() { return startcount.load() > 0; }

// Winsock sockets are descriptors here; one that cannot be is no socket.
bool ValidSocket(SOCKET s) { return s < static_cast<SOCKET>(INT32_MAX); }

int WSAAPI ws_WSAStartup(WORD version, WSADATA *data)
{
    // Version 1.1 is the only one on offer; a caller asking for less cannot have it.
    if ((version & 0xff) < 1 || version == 0x0001)
        return WSAVERNOTSUPPORTED;
    if (data == nullptr)
        return WSAEFAULT;
    memset(data, 0, sizeof *data);
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    strcpy(data->szDescription, "vexlolpr BSD sockets provider");
    strcpy(data->szSystemStatus, "Running");
    startcount++;
    return 0;
}

int WSAAPI ws_WSACleanup()
{
    int count = startcount.load();
    while (count > 0 && !startcount.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? 0 : Failed(WSANOTINITIALISED);
}

SOCKET WSAAPI ws_socket(int af, int type, int protocol)
{
    if (!Started())
        return Failed(WSANOTINITIALISED), INVALID_SOCKET;
    if (af != AF_INET && af != AF_INET6)
        return Failed(WSAEAFNOSUPPORT), INVALID_SOCKET;
    if (type != SOCK_STREAM || (protocol != 0 && protocol != IPPROTO_TCP))
        return Failed(WSAESOCKTNOSUPPORT), INVALID_SOCKET;
    int fd = shim::StreamSocket(af == AF_INET6);
    return fd >= 0 ? static_cast<SOCKET>(fd) : (Failed(-fd), INVALID_SOCKET);
}

// The Winsock record of an endpoint into *name, if *namelen has room: its length, or
// SOCKET_ERROR (WSAEFAULT).
int ToSockaddr(const shim::Endpoint &e, sockaddr *name, int *namelen)
{
    sockaddr_in sin = {};
    sockaddr_in6 sin6 = {};
    const void *record = &sin;
    int size = sizeof sin;
    if (e.v6) {
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = e.port;
        memcpy(sin6.sin6_addr, e.octets, sizeof sin6.sin6_addr);
        sin6.sin6_scope_id = e.scope;
        record = &sin6;
        size = sizeof sin6;
    } else {
        sin.sin_family = AF_INET;
        sin.sin_port = e.port;
        memcpy(&sin.sin_addr.s_addr, e.octets, sizeof sin.sin_addr.s_addr);
    }
    if (*namelen < size)
        return Failed(WSAEFAULT);
    memcpy(name, record, static_cast<size_t>(size));
    *namelen = size;
    return size;
}

// Checks the common arguments of the calls that take a socket and an address, and
// reads the address, of either family.
int CheckAddress(SOCKET s, const sockaddr *name, int namelen, shim::Endpoint *e)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    if (name == nullptr || namelen < static_cast<int>(sizeof(sockaddr_in)))
        return Failed(WSAEFAULT);
    *e = {};
    if (name->sa_family == AF_INET6) {
        if (namelen < static_cast<int>(sizeof(sockaddr_in6)))
            return Failed(WSAEFAULT);
        sockaddr_in6 sin6;
        memcpy(&sin6, name, sizeof sin6);
        e->v6 = true;
        memcpy(e->octets, sin6.sin6_addr, sizeof sin6.sin6_addr);
        e->scope = sin6.sin6_scope_id;
        e->port = sin6.sin6_port;
        return 0;
    }
    if (name->sa_family != AF_INET)
        return Failed(WSAEAFNOSUPPORT);
    sockaddr_in sin;
    memcpy(&sin, name, sizeof sin);
    memcpy(e->octets, &sin.sin_addr.s_addr, sizeof sin.sin_addr.s_addr);
    e->port = sin.sin_port;
    return 0;
}

int WSAAPI ws_bind(SOCKET s, const sockaddr *name, int namelen)
{
    shim::Endpoint local;
    if (CheckAddress(s, name, namelen, &local) != 0)
        return SOCKET_ERROR;
    return static_cast<int>(Result(shim::Bind(static_cast<int>(s), local)));
}

int WSAAPI ws_connect(SOCKET s, const sockaddr *name, int namelen)
{
    shim::Endpoint peer;
    if (CheckAddress(s, name, namelen, &peer) != 0)
        return SOCKET_ERROR;
    int fd = static_cast<int>(s);
    int rc = shim::Connect(fd, peer);
    // A connect under way ends in FD_CONNECT; so does one that succeeded at once, as
    // Winsock still posts FD_CONNECT and FD_WRITE for it.
    if (rc == 0 || rc == -WSAEWOULDBLOCK)
        NoteConnectPending(fd);
    return static_cast<int>(Result(rc));
}

// Checks the common arguments of send and recv.
int CheckTransfer(SOCKET s, const void *buf, int len, int flags, int allowed)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    if (len < 0 || (buf == nullptr && len > 0))
        return Failed(WSAEFAULT);
    if ((flags & ~allowed) != 0)
        return Failed(WSAEOPNOTSUPP);
    return 0;
}

// The error of a failed connect that its notification took from the socket, reported
// by the next transfer in place of the system's result; else the transfer's result.
template <class Transfer> long HeldOr(SOCKET s, Transfer transfer)
{
    int held = TakeHeldError(static_cast<int>(s));
    return held != 0 ? -held : transfer();
}

int WSAAPI ws_send(SOCKET s, const char *buf, int len, int flags)
{
    if (CheckTransfer(s, buf, len, flags, 0) != 0)
        return SOCKET_ERROR;
    long rc = HeldOr(s, [&] { return shim::Send(static_cast<int>(s), buf, static_cast<size_t>(len)); });
    if (rc == -WSAEWOULDBLOCK)
        NoteSendBlocked(static_cast<int>(s)); // FD_WRITE once there is room again
    return static_cast<int>(Result(rc));
}

int WSAAPI ws_SendFileRange(SOCKET s, LFILE file, int64_t offset, int len)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    if (len < 0 || offset < 0 || file == LFILE_ERROR)
        return Failed(WSAEFAULT);
    long rc = HeldOr(s, [&] {
        return shim::SendFile(static_cast<int>(s), static_cast<int>(file), offset, static_cast<size_t>(len));
    });
    if (rc == -WSAEWOULDBLOCK)
        NoteSendBlocked(static_cast<int>(s)); // FD_WRITE once there is room again
    return static_cast<int>(Result(rc));
}

int WSAAPI ws_recv(SOCKET s, char *buf, int len, int flags)
{
    if (CheckTransfer(s, buf, len, flags, MSG_PEEK_) != 0)
        return SOCKET_ERROR;
    bool peek = (flags & MSG_PEEK_) != 0;
    long rc = HeldOr(s, [&] { return shim::Recv(static_cast<int>(s), buf, static_cast<size_t>(len), peek); });
    NoteRecv(static_cast<int>(s)); // any recv, even a failed one, re-enables FD_READ
    return static_cast<int>(Result(rc));
}

int WSAAPI ws_shutdown(SOCKET s, int how)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    if (how < 0 || how > 2)
        return Failed(WSAEINVAL);
    return static_cast<int>(Result(shim::Shutdown(static_cast<int>(s), how)));
}

int WSAAPI ws_closesocket(SOCKET s)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    NoteClosed(static_cast<int>(s)); // before the number can be handed out again
    return static_cast<int>(Result(shim::Close(static_cast<int>(s))));
}

int WSAAPI ws_WSAGetLastError() { return lasterror; }

void WSAAPI ws_WSASetLastError(int error) { lasterror = error; }

// Nothing here blocks inside the provider, so there is never a call to cancel.
int WSAAPI ws_WSACancelBlockingCall() { return Failed(Started() ? WSAEINVAL : WSANOTINITIALISED); }

hostent *FillHostEntry(const char *name, const uint32_t *addresses, int count)
{
    HostEntry &h = hostbuf;
    memset(&h, 0, sizeof h);
    size_t n = strnlen(name, sizeof h.name - 1);
    memcpy(h.name, name, n);
    for (int i = 0; i < count; i++) {
        h.addresses[i] = addresses[i];
        h.addrlist[i] = reinterpret_cast<char *>(&h.addresses[i]);
    }
    h.entry.h_name = h.name;
    h.entry.h_aliases = h.aliases;
    h.entry.h_addrtype = AF_INET;
    h.entry.h_length = 4;
    h.entry.h_addr_list = h.addrlist;
    return &h.entry;
}

hostent *WSAAPI ws_gethostbyname(const char *name)
{
    if (!Started())
        return Failed(WSANOTINITIALISED), nullptr;
    if (name == nullptr)
        return Failed(WSAEFAULT), nullptr;
    uint32_t addresses[MAX_HOST_ADDRESSES];
    char canon[256];
    int count = shim::ResolveIPv4(name, addresses, MAX_HOST_ADDRESSES, canon, sizeof canon);
    if (count <= 0)
        return Failed(-count), nullptr;
    return FillHostEntry(canon, addresses, count);
}

hostent *WSAAPI ws_gethostbyaddr(const char *addr, int len, int type)
{
    if (!Started())
        return Failed(WSANOTINITIALISED), nullptr;
    if (addr == nullptr || len < 4)
        return Failed(WSAEFAULT), nullptr;
    if (type != AF_INET)
        return Failed(WSAEAFNOSUPPORT), nullptr;
    uint32_t address;
    memcpy(&address, addr, sizeof address);
    char name[256];
    int rc = shim::ReverseIPv4(address, name, sizeof name);
    if (rc < 0)
        return Failed(-rc), nullptr;
    return FillHostEntry(name, &address, 1);
}

ulong32 WSAAPI ws_inet_addr(const char *text)
{
    return text != nullptr ? shim::InetAddr(text) : INADDR_NONE;
}

// The host's order, not a fixed swap: on a big-endian host these change nothing.
ulong32 WSAAPI ws_htonl(ulong32 value) { return shim::HostToNet32(value); }
ulong32 WSAAPI ws_ntohl(ulong32 value) { return shim::NetToHost32(value); }
uint16_t WSAAPI ws_htons(uint16_t value) { return shim::HostToNet16(value); }

int WSAAPI ws_WSAAsyncSelect(SOCKET s, HWND hwnd, UINT message, long events)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    int rc = AsyncSelect(static_cast<int>(s), hwnd, message, events);
    return rc < 0 ? Failed(-rc) : 0;
}

int WSAAPI ws_setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    int fd = static_cast<int>(s);
    if (level == SOL_SOCKET && optname == SO_LINGER) {
        if (optval == nullptr || optlen < static_cast<int>(sizeof(linger)))
            return Failed(WSAEFAULT);
        linger value;
        memcpy(&value, optval, sizeof value);
        return static_cast<int>(Result(shim::SetLinger(fd, value.l_onoff != 0, value.l_linger)));
    }
    if (optval == nullptr || optlen < static_cast<int>(sizeof(int)))
        return Failed(WSAEFAULT);
    int value;
    memcpy(&value, optval, sizeof value);
    if (level == SOL_SOCKET && (optname == SO_SNDTIMEO || optname == SO_RCVTIMEO))
        return static_cast<int>(Result(shim::SetTimeout(fd, optname == SO_SNDTIMEO, static_cast<unsigned>(value))));
    if (level == SOL_SOCKET && optname == SO_REUSEADDR)
        return static_cast<int>(Result(shim::SetIntOption(fd, shim::OPT_REUSEADDR, value)));
    if (level == SOL_SOCKET && optname == SO_SNDBUF)
        return static_cast<int>(Result(shim::SetIntOption(fd, shim::OPT_SNDBUF, value)));
    if (level == SOL_SOCKET && optname == SO_RCVBUF)
        return static_cast<int>(Result(shim::SetIntOption(fd, shim::OPT_RCVBUF, value)));
    if (level == IPPROTO_TCP && optname == TCP_NODELAY)
        return static_cast<int>(Result(shim::SetIntOption(fd, shim::OPT_NODELAY, value)));
    return Failed(WSAENOPROTOOPT);
}

int WSAAPI ws_getsockname(SOCKET s, sockaddr *name, int *namelen)
{
    if (!Started())
        return Failed(WSANOTINITIALISED);
    if (!ValidSocket(s))
        return Failed(WSAENOTSOCK);
    if (name == nullptr || namelen == nullptr)
        return Failed(WSAEFAULT);
    shim::Endpoint local;
    int rc = shim::LocalAddress(static_cast<int>(s), &local);
    if (rc < 0)
        return Failed(-rc);
    return ToSockaddr(local, name, namelen) < 0 ? SOCKET_ERROR : 0;
}

// ---- WS2_32.DLL: the IPv6 look-up ------------------------------------------------------

// One entry of a getaddrinfo list with its address, freed by freeaddrinfo.
struct AddrEntry {
    addrinfo info;
    sockaddr_in6 address;
    char canon[256];
};

void WSAAPI ws_freeaddrinfo(addrinfo *list)
{
    while (list != nullptr) {
        addrinfo *next = list->ai_next;
        delete reinterpret_cast<AddrEntry *>(list); // info is the entry's first member
        list = next;
    }
}

// Numeric services only and one family, IPv6 (or IPv4 through the 1.1 look-up): what
// the library asks of it.  The result is a Winsock error number, 0 on success.
int WSAAPI ws_getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **result)
{
    if (result == nullptr)
        return Failed(WSAEINVAL), WSAEINVAL;
    *result = nullptr;
    if (!Started())
        return Failed(WSANOTINITIALISED), WSANOTINITIALISED;
    int family = hints != nullptr ? hints->ai_family : 0;
    bool numeric = hints != nullptr && (hints->ai_flags & AI_NUMERICHOST) != 0;
    if (node == nullptr || (service != nullptr && *service != '\0'))
        return Failed(WSAEINVAL), WSAEINVAL; // nothing here asks for a service
    if (family != AF_INET6)
        return Failed(WSAEAFNOSUPPORT), WSAEAFNOSUPPORT;
    shim::Endpoint found[MAX_HOST_ADDRESSES];
    char canon[256];
    int count = shim::ResolveIPv6(node, numeric, found, MAX_HOST_ADDRESSES, canon, sizeof canon);
    if (count <= 0)
        return Failed(-count), -count;
    addrinfo **tail = result;
    for (int i = 0; i < count; i++) {
        AddrEntry *entry = new (std::nothrow) AddrEntry();
        if (entry == nullptr) {
            ws_freeaddrinfo(*result);
            *result = nullptr;
            return Failed(WSAENOBUFS), WSAENOBUFS;
        }
        int len = sizeof entry->address;
        ToSockaddr(found[i], reinterpret_cast<sockaddr *>(&entry->address), &len);
        entry->info.ai_family = AF_INET6;
        entry->info.ai_socktype = SOCK_STREAM;
        entry->info.ai_protocol = IPPROTO_TCP;
        entry->info.ai_addrlen = sizeof entry->address;
        entry->info.ai_addr = reinterpret_cast<sockaddr *>(&entry->address);
        if (i == 0) {
            snprintf(entry->canon, sizeof entry->canon, "%s", canon);
            entry->info.ai_canonname = entry->canon;
        }
        *tail = &entry->info;
        tail = &entry->info.ai_next;
    }
    return 0;
}

// Taken through void(*)() like any exported procedure; the table stays constant data,
// ready before the library's load notification runs.
#define Proc(fn) reinterpret_cast<void (*)()>(fn)

const ModuleExport winsock_exports[] = {
    {"WSAStartup", Proc(ws_WSAStartup)},
    {"WSACleanup", Proc(ws_WSACleanup)},
    {"socket", Proc(ws_socket)},
    {"bind", Proc(ws_bind)},
    {"connect", Proc(ws_connect)},
    {"send", Proc(ws_send)},
    {"shutdown", Proc(ws_shutdown)},
    {"recv", Proc(ws_recv)},
    {"closesocket", Proc(ws_closesocket)},
    {"WSAGetLastError", Proc(ws_WSAGetLastError)},
    {"WSASetLastError", Proc(ws_WSASetLastError)},
    {"WSACancelBlockingCall", Proc(ws_WSACancelBlockingCall)},
    {"gethostbyname", Proc(ws_gethostbyname)},
    {"gethostbyaddr", Proc(ws_gethostbyaddr)},
    {"inet_addr", Proc(ws_inet_addr)},
    {"htonl", Proc(ws_htonl)},
    {"ntohl", Proc(ws_ntohl)},
    {"htons", Proc(ws_htons)},
    {"WSAAsyncSelect", Proc(ws_WSAAsyncSelect)},
    {"setsockopt", Proc(ws_setsockopt)},
    {"getsockname", Proc(ws_getsockname)},
    {"SendFileRange", Proc(ws_SendFileRange)},
};

const ModuleExport winsock2_exports[] = {
    {"getaddrinfo", Proc(ws_getaddrinfo)},
    {"freeaddrinfo", Proc(ws_freeaddrinfo)},
};
#undef Proc

} // namespace

extern const ModuleDef winsock_provider = {"WSOCK32.DLL", winsock_exports,
                                           sizeof winsock_exports / sizeof winsock_exports[0]};
extern const ModuleDef winsock2_provider = {"WS2_32.DLL", winsock2_exports,
                                            sizeof winsock2_exports / sizeof winsock2_exports[0]};

int WinsockStartCount() { return startcount.load(); }

} // namespace posix
} // namespace vx
