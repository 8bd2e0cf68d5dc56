// wsockstb.cpp - binds the socket layer at run time and looks host names up.
// Owns hwinsock and the function table, which requests of every thread share: loaded
// once (or again by a request after a load that failed), under a lock; once loaded it
// stays as it is until the process detaches.
#include "wsockstb.h"

#include <string.h>

#include "init.h"

namespace vx {

const char WINSOCK_MODULE[] = "WSOCK32.DLL";
const char WINSOCK2_MODULE[] = "WS2_32.DLL";

HMODULE hwinsock;
HMODULE hwinsock2;
WinsockTable winsock;
static SpinLock loadlock; // held while the table is filled or emptied

template <class Fn> static bool Resolve(const char *name, Fn &slot, HMODULE module = hwinsock)
{
    FARPROC proc = GetProcAddress(module, name);
    // Through void(*)(): the one cast between function types that is always allowed.
    slot = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
    return proc != nullptr;
}

static void ReleaseWinsock2()
{
#define X(ret, name, args) winsock.name = nullptr;
    WINSOCK2_OPTIONAL_ENTRIES(X)
#undef X
    if (hwinsock2 != 0)
        FreeLibrary(hwinsock2);
    hwinsock2 = 0;
}

static int ReleaseModule()
{
    ReleaseWinsock2();
    FreeLibrary(hwinsock);
    hwinsock = 0;
    return 1;
}

// The IPv6 look-up, taken whole or not at all.  WSOCK32 has started the socket layer
// that WS2_32 shares, so it needs no start of its own.
static void LoadWinsock2()
{
    UINT oldmode = SetErrorMode(SEM_NOOPENFILEERRORBOX); // an old system has none: no box
    hwinsock2 = LoadLibraryA(WINSOCK2_MODULE);
    SetErrorMode(oldmode);
    if (hwinsock2 == 0 || reinterpret_cast<uintptr_t>(hwinsock2) < 32) {
        hwinsock2 = 0;
        LPRTrace("VEXLOLPR %s not found: IPv4 only wsockstb", WINSOCK2_MODULE);
        return;
    }
    bool all = true;
#define X(ret, name, args) all = Resolve(#name, winsock.name, hwinsock2) && all;
    WINSOCK2_OPTIONAL_ENTRIES(X)
#undef X
    if (!all)
        ReleaseWinsock2();
}

static bool ResolveSocketEntries()
{
#define X(ret, name, args)                                                               \
    if (!Resolve(#name, winsock.name))                                                   \
        return false;
    WINSOCK_SOCKET_ENTRIES(X)
#undef X
#define X(ret, name, args) Resolve(#name, winsock.name);
    WINSOCK_OPTIONAL_ENTRIES(X)
#undef X
    return true;
}

static int LoadWinsockLocked();

int LoadWinsock()
{
    Guard guard(loadlock);
    return LoadWinsockLocked();
}

static int LoadWinsockLocked()
{
    LPRTrace("VEXLOLPR LoadWinsock() entered... hWINSOCK=%lu wsockstb", TraceWord(hwinsock));
    if (hwinsock != 0)
        return 0;

    // No message box for a module that is not there: a missing socket layer is a
    // result, not a question to the user.
    UINT oldmode = SetErrorMode(SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryA(WINSOCK_MODULE);
    SetErrorMode(oldmode);
    if (module == 0 || reinterpret_cast<uintptr_t>(module) < 32) {
        LPRTrace("VEXLOLPR ERROR:Can't find file %s. wsockstb", WINSOCK_MODULE);
        hwinsock = 0;
        return 1;
    }
    hwinsock = module;

    if (!Resolve("WSAStartup", winsock.WSAStartup))
        return ReleaseModule();
    WSADATA wsadata = {};
    if (winsock.WSAStartup(WINSOCK_VERSION_1_1, &wsadata) != 0)
        return ReleaseModule();
    LPRTrace("VEXLOLPR WMaxSizeUDPDg=%u WinsockVer=%#X WinsickHighVer=%#X wsockstb",
             wsadata.iMaxUdpDg, wsadata.wVersion, wsadata.wHighVersion);
    LPRTrace("VEXLOLPR WINSOCK VENDOR INFO:\n\r %s", wsadata.szDescription);

    if (!Resolve("WSACleanup", winsock.WSACleanup))
        return ReleaseModule(); // nothing to balance the start with
    if (!ResolveSocketEntries()) {
        winsock.WSACleanup();
        return ReleaseModule();
    }
    LoadWinsock2();
    LPRTrace("VEXLOLPR WINSOCK.DLL loaded succesfully wsockstb");
    return 0;
}

int WinsockStartup()
{
    LPRTrace("VEXLOLPR WinsockStartup() entered... wsockstb");
    if (winsock.WSAStartup == nullptr)
        return 1;
    WSADATA wsadata = {};
    // Whatever version is granted will do; but a start that failed is no start, and the
    // request's clean-up must not balance it: that would undo the start made at load,
    // and every later request of the process would find the socket layer stopped.
    if (winsock.WSAStartup(WINSOCK_VERSION_1_1, &wsadata) != 0)
        return 1;
    LPRTrace("VEXLOLPR WinsockStartup() exited...OK wsockstb");
    return 0;
}

int UnloadWinsock()
{
    LPRTrace("VEXLOLPR Cleaning Winsock in VEXLOLPR.DLL... wsockstb");
    Guard guard(loadlock);
    if (hwinsock == 0)
        return 1;
    if (winsock.WSACleanup != nullptr)
        winsock.WSACleanup();
    return ReleaseModule();
}

static uint32_t LookUpName(const char *name)
{
    hostent *entry = winsock.gethostbyname(name);
    if (entry == nullptr || entry->h_length < 4 || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr)
        return 0;
    uint32_t address;
    memcpy(&address, entry->h_addr_list[0], sizeof address); // network order as it stands
    return address;
}

bool GetHostAddress6(const char *name, bool literal, sockaddr_in6 *address)
{
    if (LoadWinsock() != 0 || name == nullptr || winsock.getaddrinfo == nullptr)
        return false;
    addrinfo hints = {};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = literal ? AI_NUMERICHOST : 0;
    addrinfo *list = nullptr;
    if (winsock.getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr)
        return false;
    bool found = false;
    for (addrinfo *ai = list; ai != nullptr && !found; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET6 && ai->ai_addr != nullptr && ai->ai_addrlen >= sizeof *address) {
            memcpy(address, ai->ai_addr, sizeof *address);
            address->sin6_port = 0;
            found = true;
        }
    }
    winsock.freeaddrinfo(list);
    return found;
}

uint32_t GetHostAddress(const char *name, const char *name2)
{
    if (LoadWinsock() != 0 || name == nullptr)
        return 0;
    // 0.0.0.0 and 255.255.255.255 are not taken as dotted addresses: they are looked up
    // as names like anything else that inet_addr does not turn into a usable address.
    uint32_t address = winsock.inet_addr(name);
    if (address != INADDR_NONE && address != 0)
        return address;
    address = LookUpName(name);
    if (address == 0 && name2 != nullptr)
        address = LookUpName(name2);
    return address;
}

} // namespace vx
