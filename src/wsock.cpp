// wsock.cpp - connections and stream transfers under the status dialog: the reserved
// local port, connect, graceful and abortive close, blocking read and write.
// Owns localport: the port search is the process's, one request at a time, and it goes on
// from the port the user's other processes took last.
#include "init.h"
#include "msgtext.h"
#include "wsockio.h"
#include "wsockstb.h"

namespace vx {

WORD localport = 600;
static SpinLock portlock; // guards localport for the length of a search

constexpr WORD PORT_FIRST = 601;
constexpr WORD PORT_LAST = 1000;
constexpr WORD PORT_RESTART = 800; // above it, the next search starts again at 601
constexpr DWORD RETRY_PAUSE = 1000;
// How long a search waits for another process of the user to finish its own.
constexpr DWORD PORT_RECORD_WAIT = 200;
constexpr DWORD READ_SLICE = 1000;
constexpr DWORD YIELD_TICK = 1;

namespace {

// A span of milliseconds from now, compared by elapsed time so that it is immune to
// the tick count wrapping and good for any 32-bit length.
struct Deadline {
    DWORD start;
    DWORD span;
    explicit Deadline(DWORD ms) : start(GetTickCount()), span(ms) {}
    bool reached() const { return GetTickCount() - start >= span; }
    DWORD left() const
    {
        DWORD passed = GetTickCount() - start;
        return passed < span ? span - passed : 0;
    }
};

int LastError() { return winsock.WSAGetLastError(); }

// Without a live dialog the call finds no control and changes nothing; a check of its
// own first would cost a second look-up, twice for every chunk of a file.
void SetStatus(const char *text) { SetDlgItemTextA(ThisRequest().hwndwait, IDC_STATUS, text); }

// One sweep over the reserved ports from localport + 1 up to 1000.  Stops at the first
// port that binds, or when the system refuses reserved ports to this process.
enum class Sweep { BOUND, EXHAUSTED, DENIED };
Sweep SweepPorts(SOCKET sd, SocketAddress *local)
{
    while (localport < PORT_LAST) {
        localport++;
        local->set_port(winsock.htons(localport));
        if (winsock.bind(sd, &local->any, local->length()) == 0)
            return Sweep::BOUND;
        // Without the privilege every reserved port is refused alike.
        if (LastError() == WSAEACCES)
            return Sweep::DENIED;
    }
    return Sweep::EXHAUSTED;
}

// The user's record of the reserved port taken last, one line "PORT\n"; 0 when there is
// none or it says something else.
WORD ParsePortRecord(const char *text)
{
    int port = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 4; text++, digits++)
        port = port * 10 + (*text - '0');
    if (digits == 0 || text[0] != '\n' || text[1] != '\0' || port < PORT_FIRST || port > PORT_LAST)
        return 0;
    return static_cast<WORD>(port);
}

// Where this search starts.  Each process of a burst would otherwise begin at 601 and,
// with the ports of the jobs before it held in TIME_WAIT, try them all before one binds.
// So when another process took a port since this one's last search (the record names
// a port that is not localport), the search goes on after that port, over the whole
// range; otherwise the process's own rule holds: above 800 it starts again at 601.
void ChooseStart(LSTATE record)
{
    char text[16];
    WORD shared = 0;
    if (record != LSTATE_ERROR && StateRead(record, text, sizeof text) > 0)
        shared = ParsePortRecord(text);
    if (shared != 0 && shared != localport)
        localport = shared;
    else if (localport > PORT_RESTART)
        localport = PORT_FIRST - 1;
}

// At most two sweeps: the first from the starting point, then 601..1000.  localport is
// left at the bound port, or at 600 when none bound.
Sweep SearchPorts(SOCKET sd, SocketAddress *local)
{
    Sweep sweep = SweepPorts(sd, local);
    if (sweep == Sweep::EXHAUSTED) {
        localport = PORT_FIRST - 1;
        sweep = SweepPorts(sd, local);
    }
    if (sweep != Sweep::BOUND)
        localport = PORT_FIRST - 1;
    return sweep;
}

// One search of the process's, under the user's record while it can be had, so that no
// two processes try the same ports at once either.  Without the record the search is the
// process's alone.
Sweep BindReservedPort(SOCKET sd, SocketAddress *local)
{
    Guard guard(portlock);
    LSTATE record = StateOpen(StateRecord::LOCALPORT, PORT_RECORD_WAIT);
    ChooseStart(record);
    Sweep sweep = SearchPorts(sd, local);
    if (record != LSTATE_ERROR) {
        if (sweep == Sweep::BOUND) {
            char text[16];
            StateWrite(record, text, wnsprintfA(text, sizeof text, "%d\n", static_cast<int>(localport)));
        }
        StateClose(record);
    }
    return sweep;
}

// No reserved port to be had: the system chooses one.  No LPD tried checks the
// client's source port, and a burst of jobs can hold every reserved port in TIME_WAIT.
bool BindAnyPort(SOCKET sd, SocketAddress *local)
{
    local->set_port(0);
    if (winsock.bind(sd, &local->any, local->length()) != 0)
        return false;
    int port = 0;
    if (winsock.getsockname != nullptr) {
        SocketAddress bound(local->family());
        int len = sizeof bound;
        if (winsock.getsockname(sd, &bound.any, &len) == 0)
            port = winsock.htons(bound.port()); // htons and ntohs are one conversion
    }
    LPRTrace("VEXLOLPR wsock_getandbind() 2.2: no reserved local port, system chose localport=%d wsockio", port);
    local->set_port(winsock.htons(static_cast<uint16_t>(port)));
    return true;
}

} // namespace

SocketAddress::SocketAddress(int family) : in6()
{
    any.sa_family = static_cast<uint16_t>(family == AF_INET6 ? AF_INET6 : AF_INET);
}

void SocketAddress::set_port(uint16_t port)
{
    if (family() == AF_INET6)
        in6.sin6_port = port;
    else
        in4.sin_port = port;
}

SOCKET wsock_getandbind(int type, int family)
{
    LPRTrace("VEXLOLPR getandbind() 1: socket() wsockio");
    SOCKET sd = winsock.socket(family, type, 0);
    if (sd == INVALID_SOCKET) {
        LPRTrace("VEXLOLPR ERROR wsock_getandbind(): exited...->ERROR can't open socket WSAGetLastError()=%d wsockio",
                 LastError());
        return INVALID_SOCKET;
    }
    LPRTrace("VEXLOLPR wsock_getandbind() 2: bind() wsockio");
    SocketAddress local(family); // any address of the family
    Sweep sweep = BindReservedPort(sd, &local);
    if (sweep != Sweep::BOUND && !BindAnyPort(sd, &local)) {
        LPRTrace("VEXLOLPR getandbind() 2.1: closesocket()");
        winsock.closesocket(sd);
        LPRTrace("VEXLOLPR ERROR getandbind(): exited...->on bind() no free local port wsockio");
        return INVALID_SOCKET;
    }
    LPRTrace("VEXLOLPR getandbind() exited...sd=%d localport=%d wsockio", static_cast<int>(sd),
             static_cast<int>(winsock.htons(local.port())));
    return sd;
}

// Waits, with messages flowing, for an earlier operation's dialog to go away.
// The status display of this thread is busy only while a request that this one runs
// inside holds its dialog: the outer request cannot go on until this one ends, so the
// wait can only run out.  Requests of other threads have dialogs of their own.
static Request *OuterHolder()
{
    for (Request *r = ThisRequest().outer; r != nullptr; r = r->outer)
        if (r->hwndwait != 0)
            return r;
    return nullptr;
}

static bool WaitForFreeDialog(LPR_COMMONARG *lpcommonarg)
{
    Request *outer = OuterHolder();
    if (outer == nullptr)
        return true;
    LPRTrace("VEXLOLPR wsock_connect() : WAITING lpr-timeout=%u sec. for handle to become available.............. "
             "wsockio",
             lpcommonarg->lprtimeout);
    Deadline deadline(lpcommonarg->lprtimeout * 1000u);
    while (outer->hwndwait != 0 && !deadline.reached()) {
        // A message is fetched only once there is one: a dialog left without a timer
        // would otherwise hold the caller past its time-out, for ever.
        if (MsgWaitForMultipleObjectsEx(0, nullptr, deadline.left(), QS_ALLINPUT, MWMO_INPUTAVAILABLE) != WAIT_TIMEOUT)
            PumpMessage(outer->hwndwait, false);
    }
    RepostQuit();
    if (outer->hwndwait != 0) {
        LPRTrace("VEXLOLPR ERROR wsock_connect() exited1...LPR_TIMEOUT SOCKET_ERROR=%d wsockio", SOCKET_ERROR);
        return false;
    }
    LPRTrace("VEXLOLPR wsock_connect() : OK - HANDLE AVAILABLE... GetTickCount()=%d wsockio",
             static_cast<int>(GetTickCount()));
    return true;
}

// After an address-in-use failure: a fresh descriptor on the next reserved port, which
// takes over the dialog's notifications.  A failed replacement is closed at once; the
// caller's own descriptor stays open until the outcome is known, so that no descriptor
// is closed twice when the caller aborts it.  The wait state names the caller's
// descriptor whenever it names no live replacement.
static SOCKET ReplaceDescriptor(SOCKET sd, SOCKET callers, int family, LPR_COMMONARG *lpcommonarg)
{
    if (sd != callers) {
        ReturnToSocket(callers);
        winsock.closesocket(sd);
    }
    wsock_wait(0); // a pause of one timer period with messages flowing
    SOCKET newsd = wsock_getandbind(SOCK_STREAM, family);
    if (newsd != INVALID_SOCKET) {
        LPRTrace("VEXLOLPR wsock_connect() couldn't connect oldsd=%d try newsd=%d wsock", static_cast<int>(sd),
                 static_cast<int>(newsd));
        if (FollowSocket(newsd))
            return newsd;
        // A descriptor the dialog cannot watch would block beyond every time-out.
        int error = LastError();
        winsock.closesocket(newsd);
        winsock.WSASetLastError(error);
    }
    LPRTrace("VEXLOLPR ERROR wsock_connect() Can't get network descriptor wsockio");
    SetErrorText(LPR_ERR_NO_DESCRIPTOR);
    SetErrorCode(lpcommonarg, LPR_ERR_NO_DESCRIPTOR);
    return INVALID_SOCKET;
}

// The connect failed: a replacement still open is closed, and the wait state is bound to
// the caller's descriptor again, so that the caller's abort takes the dialog down.  The
// socket error of the failure is kept for the caller.
static SOCKET ConnectFailed(SOCKET sd, SOCKET callers)
{
    ReturnToSocket(callers);
    if (sd != callers && sd != INVALID_SOCKET) {
        int error = LastError();
        winsock.closesocket(sd);
        winsock.WSASetLastError(error);
    }
    return INVALID_SOCKET;
}

// Starts the connect, on a fresh descriptor again while the local address is in use.
// The descriptor whose connect is done (*pending false) or under way; INVALID_SOCKET
// when it cannot be started.
static SOCKET StartConnect(SOCKET callers, const SocketAddress *address, LPR_COMMONARG *lpcommonarg, bool *pending)
{
    Deadline deadline(lpcommonarg->replytimeout);
    WaitTimeout pause(RETRY_PAUSE); // the waits in here are the pauses between retries
    LPRTrace("VEXLOLPR wsock_connect() 1: connect() on sd=%d wsock", static_cast<int>(callers));
    SOCKET sd = callers;
    for (;;) {
        int rc = winsock.connect(sd, &address->any, address->length());
        if (rc == 0 || LastError() == WSAEWOULDBLOCK) {
            *pending = rc != 0;
            return sd;
        }
        if (lpcommonarg->errorcode != 0) {
            LPRTrace("VEXLOLPR ERROR wsock_connect() : CANCELED wsockio");
            break;
        }
        if (deadline.reached() || LastError() != WSAEADDRINUSE)
            break;
        sd = ReplaceDescriptor(sd, callers, address->family(), lpcommonarg);
        if (sd == INVALID_SOCKET)
            break;
    }
    SetStatus("Connecting...failed!");
    LPRTrace("VEXLOLPR ERROR wsock_connect(): exited3...network error WSAGetLastError()=%d wsockio", LastError());
    return ConnectFailed(sd, callers);
}

SOCKET wsock_connect(SOCKET sd, int type, const sockaddr_in *address, LPR_COMMONARG *lpcommonarg)
{
    SocketAddress server(*address);
    return wsock_connect(sd, type, &server, lpcommonarg);
}

SOCKET wsock_connect(SOCKET sd, int type, const SocketAddress *address, LPR_COMMONARG *lpcommonarg)
{
    LPRTrace("VEXLOLPR wsock_connect() entered... lpr-timeout=%u reply-timeout=%lu wsockio", lpcommonarg->lprtimeout,
             lpcommonarg->replytimeout);
    if (!WaitForFreeDialog(lpcommonarg))
        return INVALID_SOCKET;
    HWND hwnd = ClaimWaitState(sd, type, lpcommonarg);
    if (hwnd == 0) {
        LPRTrace("VEXLOLPR ERROR wsock_connect() exited2... can't create wait dialog SOCKET_ERROR=%d wsockio",
                 SOCKET_ERROR);
        return INVALID_SOCKET;
    }
    if (lpcommonarg->showdialog)
        ShowWindow(hwnd, SW_SHOW);
    SetStatus("Connecting...");

    bool pending = false;
    SOCKET connected = StartConnect(sd, address, lpcommonarg, &pending);
    if (connected == INVALID_SOCKET)
        return INVALID_SOCKET;
    // Any connect notification counts as success: a refused connection shows up as a
    // failure of the first send or receive.
    if (pending && wsock_wait(FD_CONNECT) < 0) {
        SetStatus("Could not connect!");
        LPRTrace("VEXLOLPR ERROR wsock_connect() exited4... not connected, no error SOCKET_ERROR=%d wsockio",
                 SOCKET_ERROR);
        return ConnectFailed(connected, sd);
    }
    if (connected != sd)
        winsock.closesocket(sd);
    wsock_nodelay(connected, true);
    SetStatus("Connected!");
    LPRTrace("VEXLOLPR wsock_connect() exited...OK sd=%d wsockio", static_cast<int>(connected));
    return connected;
}

// Both closes stop the dialog's notifications before the descriptor goes, and end the
// wait state after it.
int wsock_release(SOCKET sd)
{
    int ret;
    Request &r = ThisRequest();
    if (sd != r.waitinfo.mysocket) {
        LPRTrace("VEXLOLPR wsock_release() : closesocket() - WNetWait is used by another aplication... wsockio");
        ret = winsock.closesocket(sd);
    } else if (!IsWindow(r.hwndwait)) {
        LPRTrace("VEXLOLPR wsock_release() 1.1: closesocket() - no hwndwait wsockio");
        ret = winsock.closesocket(sd);
        FreeWaitState();
    } else {
        LPRTrace("VEXLOLPR wsock_release() 1: shutdown() wsockio");
        if (winsock.shutdown(sd, 1) == 0) {
            LPRTrace("VEXLOLPR wsock_release() 2: setsockopt(SO_LINGER=5) wsockio");
            linger lng = {1, 5};
            winsock.setsockopt(sd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lng), sizeof lng);
        }
        LPRTrace("VEXLOLPR wsock_release() 3: closesocket() wsockio");
        StopNotifications();
        ret = winsock.closesocket(sd);
        FreeWaitState();
    }
    LPRTrace("VEXLOLPR wsock_release() exited... closesocket() ret=%d wsockio", ret);
    return ret;
}

int wsock_abort(SOCKET sd)
{
    LPRTrace("VEXLOLPR wsock_abort()  : closesocket() sd=%u wsockio", static_cast<unsigned>(sd));
    bool mine = sd == ThisRequest().waitinfo.mysocket;
    if (mine)
        StopNotifications();
    // A hard close: the connection is reset and what the system still holds to send is
    // dropped.  A plain close would go on sending it after the request has failed -- the
    // rest of a data file and its zero octet on a slow or lossy link -- and the server
    // would queue a job the caller was told had not been printed.
    linger hard = {1, 0};
    winsock.setsockopt(sd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
    int ret = winsock.closesocket(sd);
    if (mine)
        FreeWaitState();
    return ret;
}

int wsock_read(SOCKET sd, char *buf, int len, int flags, LPR_COMMONARG *lpcommonarg)
{
    LPRTrace("VEXLOLPR wsock_read() entered... wsockio");
    SetStatus("Reading...");
    PointCancelMark(lpcommonarg);
    Deadline deadline(lpcommonarg->replytimeout);
    int result = 0;
    bool cancelled = false;
    {
        // Waits of a second at most, so that the deadline and a cancel are seen in time.
        WaitTimeout slice(READ_SLICE);
        while (!deadline.reached()) {
            LPRTrace("VEXLOLPR wsock_read() :recv() wsockio");
            result = winsock.recv(sd, buf, len, flags);
            if (result >= 0 || LastError() != WSAEWOULDBLOCK)
                break;
            LPRTrace("VEXLOLPR wsock_read() :wsock_wait() wsockio");
            wsock_wait((ThisRequest().waitinfo.flags & FLAG_STREAM) ? (FD_READ | FD_CLOSE) : FD_READ);
            cancelled = lpcommonarg->errorcode != 0;
            if (cancelled)
                break;
        }
    }
    if (cancelled) {
        SetStatus("Receiving...cancelled!");
        LPRTrace("VEXLOLPR ERROR wsock_read() : CANCELED wsockio");
        SetErrorCode(lpcommonarg, LPR_ERR_CANCELLED);
        return -1;
    }
    LPRTrace("VEXLOLPR wsock_read() : recieved=%d bytes wsockio", result);
    if (result == -1)
        SetStatus(deadline.reached() ? "Reading...timed out!" : "Reading...failed!");
    else
        SetStatus("Reading...done!");
    LPRTrace("VEXLOLPR wsock_read() exited... byte read ret=%d wsockio", result);
    return result;
}

// Every exchange of the protocol is a short write answered by the server, and a short
// write held back by Nagle's algorithm waits for the server's delayed acknowledgement:
// some 40 ms for each zero octet that ends a file.  So small writes go out at once, and
// only the chunks of a large file are left to coalesce into full segments (see
// SendContent).  The option changes when bytes leave, never which bytes; a refusal is
// harmless, the transfer is only slower.
void wsock_nodelay(SOCKET sd, bool on)
{
    int value = on ? 1 : 0;
    winsock.setsockopt(sd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&value), sizeof value);
}

// Between back-to-back writes that never had to wait, the message loop runs for one
// timer tick, so that the application's windows stay responsive during a long send.
static void YieldIfBackToBack(Request &r)
{
    if (r.yieldcount == 1) {
        WaitTimeout tick(YIELD_TICK);
        LPRTrace("VEXLOLPR wsock_write() Yielding to others... wsockio");
        wsock_wait(0);
        r.yieldcount = 0;
    }
    r.yieldcount++;
}

static int WriteTimedOut(LPR_COMMONARG *lpcommonarg)
{
    SetStatus("Sending...timed out!");
    LPRTrace("VEXLOLPR ERROR wsock_write() exited... REPLY-TIMEOUT wsockio");
    SetErrorCode(lpcommonarg, LPR_ERR_TIMEOUT);
    return -1;
}

static int WriteCancelled(LPR_COMMONARG *lpcommonarg, const char *trace)
{
    SetStatus("Sending...cancelled!");
    LPRTrace(trace);
    SetErrorCode(lpcommonarg, LPR_ERR_CANCELLED);
    return -1;
}

namespace {

// Where a write's octets come from: memory, or a file from an offset, which the kernel
// moves to the socket without a copy through the library.
struct WriteSource {
    const char *buf;
    LFILE file; // LFILE_ERROR: the octets are at buf
    int64_t offset;
    bool FromFile() const { return file != LFILE_ERROR; }
    int Send(SOCKET sd, int done, int remaining, int flags) const
    {
        return FromFile() ? winsock.SendFileRange(sd, file, offset + done, remaining)
                          : winsock.send(sd, buf + done, remaining, flags);
    }
};

int WriteFrom(SOCKET sd, const WriteSource &source, int len, int flags, LPR_COMMONARG *lpcommonarg)
{
    LPRTrace("VEXLOLPR wsock_write() entered... wsockio");
    SetStatus("Sending...");
    PointCancelMark(lpcommonarg);
    Deadline deadline(lpcommonarg->replytimeout);
    if (deadline.reached())
        return WriteTimedOut(lpcommonarg);
    Request &r = ThisRequest();
    int remaining = len;
    for (;;) {
        LPRTrace("VEXLOLPR wsock_write() :send() wsockio");
        int n = source.Send(sd, len - remaining, remaining, flags);
        if (lpcommonarg->errorcode != 0) {
            r.yieldcount = 0;
            return WriteCancelled(lpcommonarg, "VEXLOLPR ERROR1 wsock_write() : CANCELED wsockio");
        }
        if (n == remaining) {
            if (lpcommonarg->debugflags & LPR_OPT_NOYIELD)
                r.yieldcount = 0;
            else
                YieldIfBackToBack(r);
            LPRTrace("VEXLOLPR wsock_write() exiteded...OK sent %d bytes (%d last time) wsockio", len, n);
            SetStatus("Sending...done!");
            return len;
        }
        if (n == 0 && source.FromFile()) {
            LPRTrace("VEXLOLPR ERROR wsock_write() : the file ended early wsockio");
            SetStatus("Sending...failed!");
            return WRITE_FILE_ENDED;
        }
        if (n >= 0) {
            remaining -= n;
            LPRTrace("VEXLOLPR wsock_write() sending... last time sent=%d bytes wsockio", n);
        } else if (LastError() != WSAEWOULDBLOCK) {
            LPRTrace("VEXLOLPR ERROR wsock_write() : WSAGetLastError()=%d wsockio", LastError());
            SetStatus("Sending...failed!");
            SetErrorCode(lpcommonarg, LPR_ERR_NETWORK);
            return -1;
        } else {
            LPRTrace("VEXLOLPR wsock_write() : Waiting for write to complete...wsockio");
            if (wsock_wait(FD_WRITE) == RET_PENDING) // the dialog went away meanwhile
                return WriteCancelled(lpcommonarg, "VEXLOLPR ERROR2 wsock_write() : CANCELED wsockio");
            if (r.yieldcount > 0)
                r.yieldcount--;
        }
        if (deadline.reached())
            return WriteTimedOut(lpcommonarg);
    }
}

} // namespace

int wsock_write(SOCKET sd, const char *buf, int len, int flags, LPR_COMMONARG *lpcommonarg)
{
    return WriteFrom(sd, WriteSource{buf, LFILE_ERROR, 0}, len, flags, lpcommonarg);
}

bool wsock_canwritefile() { return winsock.SendFileRange != nullptr; }

int wsock_writefile(SOCKET sd, LFILE file, int64_t offset, int len, LPR_COMMONARG *lpcommonarg)
{
    return WriteFrom(sd, WriteSource{nullptr, file, offset}, len, 0, lpcommonarg);
}

} // namespace vx
