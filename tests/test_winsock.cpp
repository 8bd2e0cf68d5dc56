// The socket layer bound at run time: loading, start-up, host lookup, and the POSIX
// provider's Winsock results.
#include <errno.h>
#include <unistd.h>

#include "platform/posix/sockshim.h"
#include "support/harness.h"
#include "support/rawsock.h"

using namespace vxtest;

namespace {

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override { ResetLibrary(); }
    void TearDown() override { ResetLibrary(); }
};

TEST_F(WinsockTest, LoadTracesVersionVendorAndSuccess)
{
    vx::UnloadWinsock();
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    ASSERT_EQ(vx::LoadWinsock(), 0);
    std::vector<std::string> expected = {
        "VEXLOLPR LoadWinsock() entered... hWINSOCK=0 wsockstb",
        "VEXLOLPR WMaxSizeUDPDg=65467 WinsockVer=0X101 WinsickHighVer=0X101 wsockstb",
        "VEXLOLPR WINSOCK VENDOR INFO:\n\r vexlolpr BSD sockets provider",
        "VEXLOLPR WINSOCK.DLL loaded succesfully wsockstb"};
    EXPECT_EQ(capture.lines(), expected);
    EXPECT_NE(vx::hwinsock, nullptr);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 1);
}

TEST_F(WinsockTest, LoadSuppressesTheMissingFileBoxAndRestoresTheMode)
{
    vx::UnloadWinsock();
    vx::SetErrorMode(0x0001);
    ASSERT_EQ(vx::LoadWinsock(), 0);
    EXPECT_EQ(vx::posix::ErrorModeAtLastLoad(), 0x8000u);
    EXPECT_EQ(vx::posix::CurrentErrorMode(), 0x0001u);
    vx::SetErrorMode(0);
}

TEST_F(WinsockTest, AnotherLoadOnlyTracesItsEntry)
{
    vx::HMODULE loaded = vx::hwinsock;
    int starts = vx::posix::WinsockStartCount();
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    vx::SetErrorMode(0x0004);
    EXPECT_EQ(vx::LoadWinsock(), 0);
    ASSERT_EQ(capture.lines().size(), 1u);
    EXPECT_EQ(capture.lines()[0],
              "VEXLOLPR LoadWinsock() entered... hWINSOCK=" + std::to_string(vx::TraceWord(loaded)) + " wsockstb");
    EXPECT_EQ(vx::hwinsock, loaded);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 1);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts);
    EXPECT_EQ(vx::posix::CurrentErrorMode(), 0x0004u) << "the platform was not touched";
    vx::SetErrorMode(0);
}

TEST_F(WinsockTest, MissingModuleIsReportedByName)
{
    vx::UnloadWinsock();
    ProviderOverride provider;
    provider.uninstall();
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    EXPECT_EQ(vx::LoadWinsock(), 1);
    EXPECT_EQ(vx::hwinsock, nullptr);
    std::vector<std::string> expected = {"VEXLOLPR LoadWinsock() entered... hWINSOCK=0 wsockstb",
                                         "VEXLOLPR ERROR:Can't find file WSOCK32.DLL. wsockstb"};
    EXPECT_EQ(capture.lines(), expected);
}

// A provider missing any one of the twenty entry points is refused and released; the
// start it was given is balanced whenever its clean-up entry exists.
class MissingEntryTest : public WinsockTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(MissingEntryTest, ProviderIsRefusedAndReleased)
{
    std::string entry = GetParam();
    vx::UnloadWinsock();
    int starts = vx::posix::WinsockStartCount();
    ProviderOverride provider;
    provider.without(entry).install();
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    EXPECT_EQ(vx::LoadWinsock(), 1);
    EXPECT_EQ(vx::hwinsock, nullptr);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 0);
    EXPECT_FALSE(capture.contains("loaded succesfully"));
    if (entry == "WSAStartup") {
        EXPECT_EQ(vx::posix::WinsockStartCount(), starts);
        EXPECT_FALSE(capture.contains("WMaxSizeUDPDg"));
    } else if (entry == "WSACleanup") {
        // Nothing to balance the start with: the module goes without its clean-up.
        EXPECT_EQ(vx::posix::WinsockStartCount(), starts + 1);
        EXPECT_TRUE(capture.contains("WMaxSizeUDPDg"));
        vx::posix::WinsockProvider()->exports[1].proc(); // balance it for the next test
    } else {
        EXPECT_EQ(vx::posix::WinsockStartCount(), starts);
        EXPECT_FALSE(capture.contains("Cleaning Winsock")) << "the undo writes no trace of its own";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryEntry, MissingEntryTest,
                         ::testing::Values("WSAStartup", "WSACleanup", "socket", "bind", "connect", "send",
                                           "shutdown", "recv", "closesocket", "WSAGetLastError",
                                           "WSASetLastError", "WSACancelBlockingCall", "gethostbyname",
                                           "gethostbyaddr", "inet_addr", "htonl", "ntohl", "htons",
                                           "WSAAsyncSelect", "setsockopt"));

int WSAAPI RefusingStartup(WORD, vx::WSADATA *) { return vx::WSAVERNOTSUPPORTED; }

TEST_F(WinsockTest, RefusedStartupReleasesTheModule)
{
    vx::UnloadWinsock();
    ProviderOverride provider;
    provider.replace("WSAStartup", reinterpret_cast<void (*)()>(RefusingStartup)).install();
    EXPECT_EQ(vx::LoadWinsock(), 1);
    EXPECT_EQ(vx::hwinsock, nullptr);
    EXPECT_EQ(vx::posix::ModuleLoadCount("WSOCK32.DLL"), 0);
}

TEST_F(WinsockTest, StartupPerRequestTracesAndStarts)
{
    int starts = vx::posix::WinsockStartCount();
    vx::traceflags = LPR_DEBUG_TRACE;
    DebugCapture capture;
    EXPECT_EQ(vx::WinsockStartup(), 0);
    EXPECT_EQ(vx::posix::WinsockStartCount(), starts + 1);
    std::vector<std::string> expected = {"VEXLOLPR WinsockStartup() entered... wsockstb",
                                         "VEXLOLPR WinsockStartup() exited...OK wsockstb"};
    EXPECT_EQ(capture.lines(), expected);
    vx::winsock.WSACleanup();
}

// ---- host lookup ------------------------------------------------------------------------

int lookups;
std::vector<std::string> lookedup;
vx::hostent *(WSAAPI *realgethostbyname)(const char *);

vx::hostent *WSAAPI CountingLookup(const char *name)
{
    lookups++;
    lookedup.push_back(name);
    return realgethostbyname(name);
}

vx::hostent *WSAAPI NothingResolves(const char *name)
{
    lookups++;
    lookedup.push_back(name);
    return nullptr;
}

class HostLookupTest : public WinsockTest {
protected:
    void SetUp() override
    {
        WinsockTest::SetUp();
        lookups = 0;
        lookedup.clear();
        realgethostbyname = vx::winsock.gethostbyname;
    }
    void Use(vx::hostent *(WSAAPI *lookup)(const char *))
    {
        vx::UnloadWinsock();
        provider_.replace("gethostbyname", reinterpret_cast<void (*)()>(lookup)).install();
        ASSERT_EQ(vx::LoadWinsock(), 0);
    }
    ProviderOverride provider_;
};

TEST_F(HostLookupTest, DottedAddressNeedsNoLookup)
{
    Use(CountingLookup);
    EXPECT_EQ(vx::GetHostAddress("127.0.0.1"), Net32(0x7f000001));
    EXPECT_EQ(vx::GetHostAddress("10.1.2.3"), Net32(0x0a010203));
    EXPECT_EQ(lookups, 0);
}

TEST_F(HostLookupTest, AllZeroAndAllOneAddressesGoThroughTheNameLookup)
{
    Use(CountingLookup);
    EXPECT_EQ(vx::GetHostAddress("0.0.0.0"), 0u);
    EXPECT_EQ(vx::GetHostAddress("255.255.255.255"), 0xffffffffu);
    std::vector<std::string> expected = {"0.0.0.0", "255.255.255.255"};
    EXPECT_EQ(lookedup, expected);
}

TEST_F(HostLookupTest, NamesResolveThroughTheSystemResolver)
{
    Use(CountingLookup);
    EXPECT_EQ(vx::GetHostAddress("localhost"), Net32(0x7f000001));
    EXPECT_EQ(lookups, 1);
}

TEST_F(HostLookupTest, UnresolvableNameGivesZeroWithOneLookup)
{
    Use(NothingResolves);
    EXPECT_EQ(vx::GetHostAddress("printsrv"), 0u);
    EXPECT_EQ(lookups, 1);
    EXPECT_EQ(vx::GetHostAddress(nullptr), 0u);
    EXPECT_EQ(lookups, 1);
}

TEST_F(HostLookupTest, SecondNameIsTriedWhenTheFirstFindsNothing)
{
    Use(NothingResolves);
    EXPECT_EQ(vx::GetHostAddress("first", "second"), 0u);
    std::vector<std::string> expected = {"first", "second"};
    EXPECT_EQ(lookedup, expected);
}

TEST_F(HostLookupTest, LookupLoadsTheSocketLayerFirst)
{
    vx::UnloadWinsock();
    EXPECT_EQ(vx::GetHostAddress("127.0.0.1"), Net32(0x7f000001));
    EXPECT_NE(vx::hwinsock, nullptr);
    vx::UnloadWinsock();
    ProviderOverride missing;
    missing.uninstall();
    EXPECT_EQ(vx::GetHostAddress("127.0.0.1"), 0u);
}

// ---- the provider's Winsock semantics ---------------------------------------------------

class ProviderTest : public WinsockTest {
protected:
    vx::WinsockTable &ws = vx::winsock;
    vx::sockaddr_in Loopback(uint16_t port)
    {
        vx::sockaddr_in sin = {};
        sin.sin_family = vx::AF_INET;
        sin.sin_port = ws.htons(port);
        sin.sin_addr.s_addr = ws.inet_addr("127.0.0.1");
        return sin;
    }
    vx::sockaddr *Addr(vx::sockaddr_in &sin) { return reinterpret_cast<vx::sockaddr *>(&sin); }
};

TEST_F(ProviderTest, SocketCallsNeedAStart)
{
    vx::UnloadWinsock();
    ASSERT_EQ(vx::posix::WinsockStartCount(), 0);
    ResetLibrary(); // bound again, started once by the load
    vx::WinsockTable table = ws;
    vx::UnloadWinsock(); // the table's entries still point at the provider
    EXPECT_EQ(table.socket(vx::AF_INET, vx::SOCK_STREAM, 0), vx::INVALID_SOCKET);
    EXPECT_EQ(table.WSAGetLastError(), vx::WSANOTINITIALISED);
    EXPECT_EQ(table.WSACleanup(), vx::SOCKET_ERROR);
    EXPECT_EQ(table.WSAGetLastError(), vx::WSANOTINITIALISED);
    EXPECT_EQ(vx::posix::WinsockStartCount(), 0);
}

TEST_F(ProviderTest, ErrorsArriveAsWinsockNumbers)
{
    // A listening socket of the system, to find a port that is certainly closed.
    vx::SOCKET probe = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    ASSERT_NE(probe, vx::INVALID_SOCKET);
    vx::sockaddr_in any = Loopback(0);
    ASSERT_EQ(ws.bind(probe, Addr(any), sizeof any), 0);
    uint16_t port = BoundPort(static_cast<int>(probe));
    ASSERT_NE(port, 0);

    vx::SOCKET s = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    vx::sockaddr_in same = Loopback(port);
    EXPECT_EQ(ws.bind(s, Addr(same), sizeof same), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEADDRINUSE);
    EXPECT_EQ(ws.connect(s, Addr(same), sizeof same), vx::SOCKET_ERROR); // bound, never listening
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAECONNREFUSED);
    EXPECT_EQ(ws.closesocket(s), 0);

    s = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    EXPECT_EQ(ws.send(s, "x", 1, 0), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAENOTCONN);
    char buf[4];
    EXPECT_EQ(ws.recv(s, buf, sizeof buf, 0x1), vx::SOCKET_ERROR); // out-of-band data
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEOPNOTSUPP);
    EXPECT_EQ(ws.connect(s, Addr(same), 8), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEFAULT);
    int value = 1;
    EXPECT_EQ(ws.setsockopt(s, 0x1234, 1, reinterpret_cast<const char *>(&value), sizeof value), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAENOPROTOOPT);
    vx::linger lng = {1, 5};
    EXPECT_EQ(ws.setsockopt(s, vx::SOL_SOCKET, vx::SO_LINGER, reinterpret_cast<const char *>(&lng), sizeof lng), 0);
    int one = 1;
    EXPECT_EQ(ws.setsockopt(s, vx::SOL_SOCKET, vx::SO_REUSEADDR, reinterpret_cast<const char *>(&one), sizeof one), 0);
    EXPECT_EQ(ws.setsockopt(s, vx::IPPROTO_TCP, vx::TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one), 0);
    EXPECT_EQ(ws.shutdown(s, 7), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEINVAL);
    EXPECT_EQ(ws.closesocket(s), 0);
    EXPECT_EQ(ws.closesocket(s), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAENOTSOCK);
    EXPECT_EQ(ws.socket(vx::AF_INET, 2 /* datagram */, 0), vx::INVALID_SOCKET);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAESOCKTNOSUPPORT);
    ws.closesocket(probe);
}

TEST_F(ProviderTest, ConnectedSocketsCarryBytesBothWays)
{
    vx::SOCKET server = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    vx::sockaddr_in any = Loopback(0);
    ASSERT_EQ(ws.bind(server, Addr(any), sizeof any), 0);
    ASSERT_EQ(ListenOn(static_cast<int>(server)), 0);

    vx::SOCKET client = ws.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    vx::sockaddr_in to = Loopback(BoundPort(static_cast<int>(server)));
    ASSERT_EQ(ws.connect(client, Addr(to), sizeof to), 0);
    int peer = AcceptOne(static_cast<int>(server));
    ASSERT_GE(peer, 0);
    EXPECT_EQ(ws.send(client, "\x02lp\n", 4, 0), 4);
    char buf[16] = {};
    EXPECT_EQ(ReadSome(peer, buf, sizeof buf), 4);
    EXPECT_STREQ(buf, "\x02lp\n");
    EXPECT_EQ(WriteAll(peer, "\0", 1), 1);
    EXPECT_EQ(ws.recv(client, buf, sizeof buf, 0x2 /* peek */), 1);
    EXPECT_EQ(ws.recv(client, buf, sizeof buf, 0), 1);
    EXPECT_EQ(buf[0], '\0');
    CloseFd(peer);
    EXPECT_EQ(ws.recv(client, buf, sizeof buf, 0), 0) << "an orderly close reads as 0 bytes";
    // The peer is gone: a send fails with an error result, never with a signal.  The
    // first send draws the reset, which a later one meets (within 2 s).
    for (int i = 0; i < 200 && ws.send(client, "x", 1, 0) != vx::SOCKET_ERROR; i++)
        usleep(10000);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAECONNRESET);
    ws.closesocket(client);
    ws.closesocket(server);
}

TEST_F(ProviderTest, ByteOrderAndAddressHelpers)
{
    // Network order is the bytes' order in memory, whatever the host's own order.
    uint16_t port = ws.htons(515);
    uint32_t address = ws.htonl(0x01020304);
    unsigned char bytes[6];
    memcpy(bytes, &port, 2);
    memcpy(bytes + 2, &address, 4);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + 6), (std::vector<unsigned char>{2, 3, 1, 2, 3, 4}));
    EXPECT_EQ(ws.htonl(0x01020304), Net32(0x01020304));
    EXPECT_EQ(ws.ntohl(ws.htonl(0xdeadbeef)), 0xdeadbeefu);
    EXPECT_EQ(ws.inet_addr("1.2.3.4"), Net32(0x01020304));
    EXPECT_EQ(ws.inet_addr("not an address"), vx::INADDR_NONE);
    EXPECT_EQ(ws.inet_addr(nullptr), vx::INADDR_NONE);
    vx::hostent *h = ws.gethostbyname("localhost");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_EQ(h->h_addrtype, vx::AF_INET);
    uint32_t first;
    memcpy(&first, h->h_addr_list[0], 4);
    EXPECT_EQ(first, Net32(0x7f000001));
    EXPECT_EQ(ws.WSACancelBlockingCall(), vx::SOCKET_ERROR);
    EXPECT_EQ(ws.WSAGetLastError(), vx::WSAEINVAL);
    ws.WSASetLastError(12345);
    EXPECT_EQ(ws.WSAGetLastError(), 12345);
}

TEST(SockShim, ErrnoTranslation)
{
    using vx::posix::shim::WinsockErrorOf;
    EXPECT_EQ(WinsockErrorOf(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinsockErrorOf(EAGAIN), 10035);
    EXPECT_EQ(WinsockErrorOf(EINPROGRESS), 10035);
    EXPECT_EQ(WinsockErrorOf(EINTR), 10004);
    EXPECT_EQ(WinsockErrorOf(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockErrorOf(ENETRESET), 10052);
    EXPECT_EQ(WinsockErrorOf(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockErrorOf(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockErrorOf(EACCES), 10013);
    EXPECT_EQ(WinsockErrorOf(EPIPE), 10054);
    EXPECT_EQ(WinsockErrorOf(EBADF), 10038);
    EXPECT_EQ(WinsockErrorOf(12345), 10107);
}

} // namespace
