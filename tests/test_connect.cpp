// Connection setup and teardown: the reserved-port sweep and its fallbacks, connect
// under the dialog (busy dialog, refused dialog, address-in-use retry), graceful and
// abortive close.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

#include "support/io.h"
#include "support/rawsock.h"

using namespace vxtest;
using Clock = std::chrono::steady_clock;

namespace {

class ConnectTest : public IoTest {};

// ---- the reserved-port sweep, through a bind that the test decides -------------------

std::set<int> takenports;
bool denyreserved;
int (WSAAPI *realbind)(vx::SOCKET, const vx::sockaddr *, int);

int WSAAPI ScriptedBind(vx::SOCKET s, const vx::sockaddr *name, int len)
{
    int port = vx::winsock.htons(reinterpret_cast<const vx::sockaddr_in *>(name)->sin_port);
    if (port != 0 && port < 1024 && denyreserved) {
        vx::winsock.WSASetLastError(vx::WSAEACCES);
        return vx::SOCKET_ERROR;
    }
    if (takenports.count(port) != 0) {
        vx::winsock.WSASetLastError(vx::WSAEADDRINUSE);
        return vx::SOCKET_ERROR;
    }
    return realbind(s, name, len);
}

class PortSweepTest : public ConnectTest {
protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        // A record of the user's ports of this test's own: other processes' searches
        // must not move the starting point under it.
        char tmpl[] = "/tmp/vexlolpr-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        vx::posix::SetStateDirectory(dir_.c_str());
        takenports.clear();
        denyreserved = false;
        realbind = vx::winsock.bind;
        vx::UnloadWinsock();
        provider_.replace("bind", reinterpret_cast<void (*)()>(ScriptedBind)).install();
        ASSERT_EQ(vx::LoadWinsock(), 0);
        vx::WinsockStartup();
    }
    // Binds and closes one socket; returns its local port (0 on failure).
    int BindOne()
    {
        vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
        if (sd == vx::INVALID_SOCKET)
            return 0;
        int port = BoundPort(static_cast<int>(sd));
        vx::winsock.closesocket(sd);
        return port;
    }
    std::string RecordPath() const { return dir_ + "/vexlolpr-localport"; }
    void TearDown() override
    {
        vx::posix::SetStateDirectory(nullptr);
        unlink(RecordPath().c_str());
        rmdir(dir_.c_str());
        ConnectTest::TearDown();
    }
    ProviderOverride provider_;
    std::string dir_;
};

TEST_F(PortSweepTest, SuccessiveBindsWalkTheRangeAndStartOverAbove800)
{
    vx::posix::SetStateDirectory((dir_ + "/absent").c_str()); // the process's own rule alone
    EXPECT_EQ(BindOne(), 601);
    EXPECT_EQ(BindOne(), 602);
    vx::localport = 800;
    EXPECT_EQ(BindOne(), 801);
    EXPECT_EQ(BindOne(), 601) << "after 801 the search starts again";
    vx::localport = 799;
    takenports = {800, 801};
    EXPECT_EQ(BindOne(), 802);
    EXPECT_EQ(BindOne(), 601);
}

// The user's record of the port taken last, as other processes leave it: a port that is
// not this process's own moves the start; the process's own rule holds otherwise.
TEST_F(PortSweepTest, TheSearchGoesOnFromThePortOtherProcessesTookLast)
{
    struct Case {
        const char *record; // nullptr: none
        int own;            // localport before the search
        std::set<int> taken;
        int port;           // bound; 0: one the system chose, without the privilege
        const char *after;  // the record afterwards
    } cases[] = {
        {nullptr, 600, {}, 601, "601\n"},
        {"700\n", 650, {701, 702}, 703, "703\n"},
        {"850\n", 650, {}, 851, "851\n"},  // another's port above 800: no fresh start
        {"1000\n", 650, {}, 601, "601\n"}, // the top: on from 601
        {"700\n", 700, {}, 701, "701\n"},  // its own: the process's rule
        {"801\n", 801, {}, 601, "601\n"},  // its own above 800: again from 601
        {"700\n", 650, {}, 0, "700\n"},    // no reserved port: nothing written
        {"700", 650, {}, 651, "651\n"},    // anything else is no record
        {"1001\n", 650, {}, 651, "651\n"},
        {"7x\n", 650, {}, 651, "651\n"},
    };
    for (const Case &c : cases) {
        unlink(RecordPath().c_str());
        if (c.record != nullptr)
            std::ofstream(RecordPath()) << c.record;
        vx::localport = static_cast<WORD>(c.own);
        takenports = c.taken;
        denyreserved = c.port == 0;
        std::string label = std::string("record ") + (c.record != nullptr ? c.record : "(none)") + ", own " +
                            std::to_string(c.own);
        int port = BindOne();
        EXPECT_TRUE(c.port != 0 ? port == c.port && vx::localport == c.port : port > 1023) << label << port;
        std::ifstream in(RecordPath());
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.after) << label;
    }
}

TEST_F(PortSweepTest, TakenPortsAreSkippedWithinTwoSweeps)
{
    vx::localport = 990;
    for (int p = 991; p <= 1000; p++)
        takenports.insert(p);
    takenports.insert(601);
    EXPECT_EQ(BindOne(), 602) << "the second sweep starts at 601";
    EXPECT_EQ(vx::localport, 602);
}

TEST_F(PortSweepTest, EveryReservedPortTakenFallsBackToASystemPort)
{
    for (int p = 601; p <= 1000; p++)
        takenports.insert(p);
    vx::localport = 700;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    int port = BindOne();
    EXPECT_GT(port, 1000);
    EXPECT_EQ(vx::localport, 600);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_getandbind() 2.2: no reserved local port, system chose localport=" +
                                 std::to_string(port) + " wsockio"));
    EXPECT_TRUE(capture.contains("VEXLOLPR getandbind() exited...sd="));
}

TEST_F(PortSweepTest, WithoutPrivilegeTheSystemChoosesAtOnce)
{
    denyreserved = true;
    vx::localport = 650;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    int port = BindOne();
    EXPECT_GT(port, 1023);
    EXPECT_EQ(vx::localport, 600);
    EXPECT_TRUE(capture.contains("system chose localport=" + std::to_string(port)));
    EXPECT_EQ(std::count_if(capture.outputs().begin(), capture.outputs().end(),
                            [](const std::string &s) { return s.find("2: bind()") != std::string::npos; }),
              1);
}

int WSAAPI NoBindAtAll(vx::SOCKET, const vx::sockaddr *, int)
{
    vx::winsock.WSASetLastError(vx::WSAEADDRNOTAVAIL);
    return vx::SOCKET_ERROR;
}

TEST_F(PortSweepTest, NoPortAtAllClosesTheSocket)
{
    vx::UnloadWinsock();
    ProviderOverride none;
    none.replace("bind", reinterpret_cast<void (*)()>(NoBindAtAll)).install();
    ASSERT_EQ(vx::LoadWinsock(), 0);
    vx::WinsockStartup();
    int before = OpenDescriptors();
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_getandbind(vx::SOCK_STREAM), vx::INVALID_SOCKET);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(vx::localport, 600);
    EXPECT_TRUE(capture.contains("VEXLOLPR ERROR getandbind(): exited...->on bind() no free local port wsockio"));
    vx::winsock.WSACleanup();
}

// ---- connect --------------------------------------------------------------------------

TEST_F(ConnectTest, ConnectsUnderItsOwnDialog)
{
    Peer peer({Peer::Hold(3000)});
    common_.errorcode = 1234; // the connection step starts the request's code afresh
    common_.showdialog = 1;
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    EXPECT_EQ(common_.errorcode, 0);
    EXPECT_TRUE(vx::IsWindow(vx::ThisRequest().hwndwait));
    EXPECT_TRUE(vx::posix::WindowVisible(vx::ThisRequest().hwndwait));
    EXPECT_EQ(vx::ThisRequest().waitinfo.mysocket, sd);
    EXPECT_EQ(vx::ThisRequest().lperrorcode, &common_.errorcode);
    EXPECT_EQ(Status(), "Connected!");
    EXPECT_EQ(vx::ThisRequest().waitinfo.timeout, common_.replytimeout) << "the retry pause is undone";
}

TEST_F(ConnectTest, ARefusedConnectionFailsAtConnectOrAtTheFirstTransfer)
{
    uint16_t port;
    CloseFd(ListenLoopback(&port)); // a port that nobody listens on
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    vx::sockaddr_in to = Loopback(port);
    vx::SOCKET connected = vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_);
    if (connected == vx::INVALID_SOCKET) {
        // Refused before the connect could go on in the background.
        EXPECT_EQ(vx::winsock.WSAGetLastError(), vx::WSAECONNREFUSED);
        EXPECT_EQ(Status(), "Connecting...failed!");
        vx::wsock_abort(sd);
        return;
    }
    // The connect notification counted as success; the refusal shows at the first read.
    EXPECT_EQ(Status(), "Connected!");
    char buf[8];
    EXPECT_EQ(vx::wsock_read(connected, buf, sizeof buf, 0, &common_), -1);
    EXPECT_EQ(vx::winsock.WSAGetLastError(), vx::WSAECONNREFUSED);
    EXPECT_EQ(Status(), "Reading...failed!");
    vx::wsock_abort(connected);
}

// A request started inside one that holds the thread's dialog waits for it lprtimeout
// seconds, no longer, whether or not messages
// come meanwhile (one held by a dialog without a timer would otherwise hold the caller
// for ever: a message from another thread after 3 s bounds the test itself).
TEST_F(ConnectTest, BusyDialogIsWaitedForLprTimeoutAtMost)
{
    struct Case {
        DWORD lprtimeout;
        long atleast, below;
    };
    for (const Case &c : {Case{0, 0, 200}, Case{1, 900, 2500}}) {
        SCOPED_TRACE(c.lprtimeout);
        vx::ThisRequest().hwndwait = vx::HWND_CLAIMED; // the thread's running request holds the display
        common_.lprtimeout = c.lprtimeout;
        common_.errorcode = 55;
        vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
        vx::sockaddr_in to = Loopback(9);
        HWND window = vx::posix::CreateTestWindow([](HWND, UINT, WPARAM, LPARAM) -> vx::LRESULT { return 0; });
        std::thread late([window] {
            std::this_thread::sleep_for(std::chrono::seconds(3));
            vx::PostMessageA(window, vx::WM_USER, 0, 0);
        });
        DebugCapture capture;
        common_.debugflags = LPR_DEBUG_TRACE;
        auto start = Clock::now();
        {
            vx::RequestScope nested(&common_); // started from inside the request that holds it
            EXPECT_EQ(vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_), vx::INVALID_SOCKET);
        }
        EXPECT_GE(Since(start), c.atleast);
        EXPECT_LT(Since(start), c.below);
        EXPECT_EQ(common_.errorcode, 55) << "not even cleared";
        EXPECT_TRUE(capture.contains("VEXLOLPR ERROR wsock_connect() exited1...LPR_TIMEOUT SOCKET_ERROR=-1 wsockio"));
        late.join();
        vx::DestroyWindow(window);
        vx::ThisRequest().hwndwait = nullptr;
        vx::winsock.closesocket(sd);
    }
}

TEST_F(ConnectTest, RefusedDialogFailsAndFreesTheWaitState)
{
    vx::posix::RefuseDialogs(true);
    common_.errorcode = 9;
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    vx::sockaddr_in to = Loopback(9);
    vx::winsock.WSASetLastError(vx::WSAECONNREFUSED); // left over from an earlier call
    EXPECT_EQ(vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_), vx::INVALID_SOCKET);
    EXPECT_EQ(vx::winsock.WSAGetLastError(), vx::WSAENOBUFS) << "the caller must not report a refusal";
    EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr);
    EXPECT_EQ(common_.errorcode, 0);
    vx::winsock.closesocket(sd);
}

} // namespace

namespace {

// ---- address in use -------------------------------------------------------------------

int inuse; // connects still to refuse with WSAEADDRINUSE
int sockets; // sockets still to make before socket() fails with WSAEMFILE (-1: no limit)
int (WSAAPI *realconnect)(vx::SOCKET, const vx::sockaddr *, int);
vx::SOCKET (WSAAPI *realsocket)(int, int, int);

int WSAAPI BusyConnect(vx::SOCKET s, const vx::sockaddr *name, int len)
{
    if (inuse > 0) {
        inuse--;
        vx::winsock.WSASetLastError(vx::WSAEADDRINUSE);
        return vx::SOCKET_ERROR;
    }
    return realconnect(s, name, len);
}

vx::SOCKET WSAAPI LimitedSocket(int af, int type, int protocol)
{
    if (sockets == 0) {
        vx::winsock.WSASetLastError(vx::WSAEMFILE);
        return vx::INVALID_SOCKET;
    }
    if (sockets > 0)
        sockets--;
    return realsocket(af, type, protocol);
}

class AddressInUseTest : public ConnectTest {
protected:
    void SetUp() override
    {
        ConnectTest::SetUp();
        realconnect = vx::winsock.connect;
        realsocket = vx::winsock.socket;
        sockets = -1;
        vx::UnloadWinsock();
        provider_.replace("connect", reinterpret_cast<void (*)()>(BusyConnect))
            .replace("socket", reinterpret_cast<void (*)()>(LimitedSocket))
            .install();
        ASSERT_EQ(vx::LoadWinsock(), 0);
        vx::WinsockStartup();
    }
    ProviderOverride provider_;
};

TEST_F(AddressInUseTest, RetriesOnTheNextPortAfterAPause)
{
    Peer peer({Peer::Read(3), Peer::Send("ok")});
    inuse = 1;
    vx::posix::PendingMessages();
    int before = OpenDescriptors();
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    vx::sockaddr_in to = Loopback(peer.port());
    auto start = Clock::now();
    vx::SOCKET connected = vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_);
    long elapsed = Since(start);
    ASSERT_NE(connected, vx::INVALID_SOCKET);
    EXPECT_GE(elapsed, 900) << "a pause of about a second before the retry";
    EXPECT_LT(elapsed, 4000);
    EXPECT_NE(connected, sd);
    EXPECT_EQ(vx::ThisRequest().waitinfo.mysocket, connected) << "the dialog follows the new descriptor";
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_connect() couldn't connect oldsd=" + std::to_string(sd) +
                                 " try newsd=" + std::to_string(connected) + " wsock"));
    // The new descriptor carries the exchange and ends the dialog.
    EXPECT_EQ(vx::wsock_write(connected, "abc", 3, 0, &common_), 3);
    char buf[4] = {};
    EXPECT_EQ(vx::wsock_read(connected, buf, 2, 0, &common_), 2);
    EXPECT_STREQ(buf, "ok");
    vx::wsock_release(connected);
    EXPECT_FALSE(vx::IsWindow(vx::ThisRequest().hwndwait));
    peer.join();
    EXPECT_EQ(peer.received(), "abc");
    EXPECT_EQ(OpenDescriptors(), before + 1) << "only the peer's accepted connection remains";
}

// However the retries end, the wait state names the caller's descriptor again, whose
// abort ends the dialog and leaves nothing open and no pointer to the request.
TEST_F(AddressInUseTest, AFailedRetryLeavesNothingOpenAfterTheCallersAbort)
{
    struct Case {
        const char *what;
        int inuse;   // refused connects
        int sockets; // sockets to be had: the caller's and the replacements
        int error;   // the socket error the caller then finds
        int32_t code;
    };
    const Case cases[] = {
        {"the deadline passes", 1000, -1, vx::WSAEADDRINUSE, 0},
        {"no second replacement", 2, 2, vx::WSAEMFILE, LPR_ERR_NO_DESCRIPTOR},
        {"no first replacement", 1, 1, vx::WSAEMFILE, LPR_ERR_NO_DESCRIPTOR},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Peer peer({Peer::Hold(5000)});
        inuse = c.inuse;
        sockets = c.sockets;
        common_.replytimeout = 1500;
        common_.errorcode = 0;
        vx::posix::PendingMessages();
        int before = OpenDescriptors();
        vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
        vx::sockaddr_in to = Loopback(peer.port());
        EXPECT_EQ(vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_), vx::INVALID_SOCKET);
        EXPECT_EQ(vx::winsock.WSAGetLastError(), c.error);
        EXPECT_EQ(common_.errorcode, c.code);
        EXPECT_EQ(Status(), "Connecting...failed!");
        EXPECT_EQ(vx::ThisRequest().waitinfo.mysocket, sd) << "the caller's abort must still end the dialog";
        vx::wsock_abort(sd);
        EXPECT_FALSE(vx::IsWindow(vx::ThisRequest().hwndwait));
        EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr) << "later requests would find the dialog busy";
        EXPECT_EQ(vx::ThisRequest().lperrorcode, nullptr);
        EXPECT_EQ(LPR_CancelBlockingCall(), 1);
        EXPECT_EQ(OpenDescriptors(), before);
    }
}

// ---- close ----------------------------------------------------------------------------

TEST_F(ConnectTest, ReleaseClosesGracefullyAndTakesTheDialogDown)
{
    Peer peer({Peer::ReadToClose()});
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    HWND dialog = vx::ThisRequest().hwndwait;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    EXPECT_EQ(vx::wsock_write(sd, "bye", 3, 0, &common_), 3);
    EXPECT_EQ(vx::wsock_release(sd), 0);
    EXPECT_FALSE(vx::IsWindow(dialog));
    EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr);
    EXPECT_EQ(vx::ThisRequest().waitinfo.mysocket, 0u);
    EXPECT_EQ(vx::ThisRequest().waitinfo.ret, vx::RET_ERR);
    EXPECT_EQ(vx::ThisRequest().lperrorcode, nullptr);
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_release() 2: setsockopt(SO_LINGER=5) wsockio"));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_release() exited... closesocket() ret=0 wsockio"));
    peer.join();
    EXPECT_EQ(peer.received(), "bye") << "every byte arrives before the close";
    EXPECT_TRUE(peer.finished());
}

// An abort resets the connection: what is still queued to send is dropped, and the
// server sees a reset, never the clean end of a complete transfer.
TEST_F(ConnectTest, AbortResetsAndDropsWhatIsStillQueued)
{
    uint16_t port = 0;
    int listener = ListenLoopback(&port);
    ASSERT_GE(listener, 0);
    SetReceiveBuffer(listener, 4096); // the peer reads nothing yet: the sender's queue fills
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    vx::sockaddr_in to = Loopback(port);
    vx::SOCKET connected = vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common_);
    ASSERT_NE(connected, vx::INVALID_SOCKET);
    int fd = AcceptOne(listener);
    ASSERT_GE(fd, 0);
    std::string chunk(65536, 'x');
    long queued = 0;
    for (int i = 0; i < 256; i++) { // until the system takes no more, 16 MiB at most
        int n = vx::winsock.send(connected, chunk.data(), static_cast<int>(chunk.size()), 0);
        if (n <= 0)
            break;
        queued += n;
    }
    ASSERT_GT(queued, 0);
    EXPECT_EQ(vx::wsock_abort(connected), 0);
    long received = 0;
    long n;
    char buf[65536];
    while ((n = ReadSome(fd, buf, sizeof buf)) > 0)
        received += n;
    int error = errno;
    EXPECT_EQ(n, -1) << "a reset, not the end of a transfer (" << received << " of " << queued << " bytes)";
    EXPECT_EQ(error, ECONNRESET);
    EXPECT_LT(received, queued);
    CloseFd(fd);
    CloseFd(listener);
}

TEST_F(ConnectTest, ReleaseOrAbortOfAnotherDescriptorLeavesTheDialog)
{
    Peer peer({Peer::Hold(3000)});
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    vx::SOCKET other = vx::winsock.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    vx::SOCKET third = vx::winsock.socket(vx::AF_INET, vx::SOCK_STREAM, 0);
    EXPECT_EQ(vx::wsock_release(other), 0);
    EXPECT_EQ(vx::wsock_abort(third), 0);
    EXPECT_TRUE(vx::IsWindow(vx::ThisRequest().hwndwait));
    EXPECT_EQ(vx::ThisRequest().waitinfo.mysocket, sd);
    EXPECT_EQ(vx::wsock_abort(sd), 0);
    EXPECT_FALSE(vx::IsWindow(vx::ThisRequest().hwndwait));
    EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr);
}

int WSAAPI FailingShutdown(vx::SOCKET, int)
{
    vx::winsock.WSASetLastError(vx::WSAENOTCONN);
    return vx::SOCKET_ERROR;
}

TEST_F(ConnectTest, ReleaseWithAFailedShutdownSkipsTheLinger)
{
    Peer peer({Peer::Hold(3000)});
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    vx::winsock.shutdown = FailingShutdown;
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    vx::wsock_release(sd);
    EXPECT_FALSE(capture.contains("SO_LINGER"));
    EXPECT_TRUE(capture.contains("VEXLOLPR wsock_release() 3: closesocket() wsockio"));
    EXPECT_EQ(vx::ThisRequest().hwndwait.load(), nullptr);
}

TEST_F(ConnectTest, ALateCancelWritesIntoNoFinishedRequest)
{
    Peer peer({Peer::Hold(3000)});
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    vx::wsock_release(sd);
    WNWaitDlg(nullptr, vx::WM_COMMAND, vx::IDC_CANCEL, 0);
    EXPECT_EQ(common_.errorcode, 0);
}

} // namespace

namespace {

// ---- real reserved ports ----------------------------------------------------------------

TEST_F(ConnectTest, EveryReservedPortHeldStillConnects)
{
    if (getuid() != 0)
        GTEST_SKIP() << "holding reserved ports needs root";
    std::vector<int> held;
    for (int port = 601; port <= 1000; port++) {
        int fd = BindPort(static_cast<uint16_t>(port));
        if (fd >= 0)
            held.push_back(fd);
    }
    Peer peer({Peer::Read(2), Peer::Send(std::string("\0", 1))});
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    vx::SOCKET sd = Connect(peer, &common_);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    EXPECT_EQ(vx::wsock_write(sd, "hi", 2, 0, &common_), 2);
    char ack = 1;
    EXPECT_EQ(vx::wsock_read(sd, &ack, 1, 0, &common_), 1);
    EXPECT_EQ(ack, 0);
    vx::wsock_release(sd);
    peer.join();
    EXPECT_GT(peer.client_port(), 1000);
    EXPECT_TRUE(capture.contains("system chose localport=" + std::to_string(peer.client_port())));
    for (int fd : held)
        CloseFd(fd);
}

TEST(Unprivileged, ConnectsFromAPortTheSystemChooses)
{
    if (getuid() == 0)
        GTEST_SKIP() << "runs as an unprivileged user (see the as_nobody test)";
    vxtest::ResetLibrary();
    vx::WinsockStartup();
    Peer peer({Peer::Read(3)});
    LPR_COMMONARG common = CommonArg(LPR_DEBUG_TRACE);
    DebugCapture capture;
    vx::traceflags = LPR_DEBUG_TRACE;
    vx::SOCKET sd = vx::wsock_getandbind(vx::SOCK_STREAM);
    ASSERT_NE(sd, vx::INVALID_SOCKET);
    vx::sockaddr_in to = {};
    to.sin_family = vx::AF_INET;
    to.sin_port = vx::winsock.htons(peer.port());
    to.sin_addr.s_addr = vx::winsock.inet_addr("127.0.0.1");
    vx::SOCKET connected = vx::wsock_connect(sd, vx::SOCK_STREAM, &to, &common);
    ASSERT_NE(connected, vx::INVALID_SOCKET);
    EXPECT_EQ(vx::wsock_write(connected, "abc", 3, 0, &common), 3);
    vx::wsock_release(connected);
    peer.join();
    EXPECT_EQ(peer.received(), "abc");
    EXPECT_TRUE(capture.contains("system chose localport=" + std::to_string(peer.client_port())));
    vx::winsock.WSACleanup();
}

} // namespace
