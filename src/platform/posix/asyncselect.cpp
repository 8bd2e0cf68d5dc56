// asyncselect.cpp - WSAAsyncSelect over poll(): which sockets notify which window, and
// the per-socket notification state that gives Winsock 1.1's one-shot semantics (each
// notification is posted once and re-enabled by the call that consumes it, never by the
// readiness merely lasting).  Owns the registration table and its lock.
#include <iterator>
#include <map>
#include <mutex>
#include <new>

#include "eventsource.h"
#include "sockshim.h"

namespace vx {
namespace posix {

namespace {

enum Phase {
    IDLE,       // not connected, no connect under way: nothing to notify
    CONNECTING, // a non-blocking connect is under way: FD_CONNECT when it ends
    CONNECTED,
    FAILED, // the connect failed and was reported: nothing more to notify
};

struct Registration {
    HWND hwnd;
    UINT message;
    long events;
    QueueRef owner;  // the queue of hwnd's thread, which polls this socket
    uint64_t serial; // tells this registration from an earlier one of the same fd
    Phase phase;
    bool readarmed;     // FD_READ may be posted (again): set by a recv
    bool writewanted;   // FD_WRITE is due once the socket is writable
    bool closeposted;   // FD_CLOSE has been posted
    bool closedeferred; // the peer closed, but data is still unread: wait for a recv
    bool stalled;       // readiness that produced nothing: not polled until the next call
};

// A connect error taken from its socket for FD_CONNECT and not yet reported by a
// transfer.  (A type of this file, not a bare int, as the mapped type keeps the map's
// code out of the shared library's exports.)
struct HeldError {
    int wsaerror;
};

std::mutex socketlock; // guards everything below
std::map<int, Registration> registrations;
std::map<int, HeldError> helderrors;
uint64_t lastserial;
bool unposted; // a notification could not be queued in the readiness being handled

// Winsock's WSAMAKESELECTREPLY: the event in the low word, the error in the high word.
LPARAM SelectReply(long event, int error)
{
    return static_cast<LPARAM>((static_cast<uint32_t>(error) << 16) | static_cast<uint32_t>(event));
}

// Posts `event` when the registration asked for it; the caller holds the lock.  false
// when it could not be queued: the notification is then still due, and the state that
// would have followed from it is left as it was, so that the next poll tries again.
bool Notify(int fd, const Registration &r, long event, int error)
{
    if (!(r.events & event))
        return true;
    if (PostMessageA(r.hwnd, r.message, static_cast<WPARAM>(fd), SelectReply(event, error)))
        return true;
    unposted = true;
    return false;
}

unsigned Want(const Registration &r)
{
    if (r.stalled)
        return 0;
    if (r.phase == CONNECTING)
        return shim::IO_WRITABLE; // the end of a connect, whatever its outcome
    if (r.phase != CONNECTED)
        return 0;
    unsigned want = 0;
    if ((r.events & FD_READ) && r.readarmed)
        want |= shim::IO_READABLE;
    if ((r.events & FD_WRITE) && r.writewanted)
        want |= shim::IO_WRITABLE;
    // Asked as the peer's close, not as readability, so unread data does not keep the
    // poll returning.
    if ((r.events & FD_CLOSE) && !r.closeposted && !r.closedeferred)
        want |= shim::IO_PEERCLOSED;
    return want;
}

// The error that ended a connect, once read from the socket (which clears it there).
int ConnectError(int fd)
{
    auto held = helderrors.find(fd);
    if (held != helderrors.end())
        return held->second.wsaerror;
    int error = shim::PendingError(fd);
    if (error != 0) {
        try {
            helderrors[fd] = HeldError{error};
        } catch (const std::bad_alloc &) {
            // Not kept for the next transfer, which then reports the system's own error.
        }
    } else if (!shim::PeerConnected(fd)) {
        error = WSAENOTCONN; // ended without a connection, its error already taken
    }
    return error;
}

// Whether the end of the connect could be told.
bool ConnectEnded(int fd, Registration &r)
{
    int error = ConnectError(fd);
    if (!Notify(fd, r, FD_CONNECT, error))
        return false;
    if (error != 0) {
        r.phase = FAILED;
        return true;
    }
    r.phase = CONNECTED;
    r.readarmed = true;
    // Winsock tells a new connection that it may send.
    r.writewanted = (r.events & FD_WRITE) != 0;
    return true;
}

// Whether the readiness produced a notification or a change of state.
bool ConnectedReady(int fd, Registration &r, unsigned want, unsigned got)
{
    bool progress = false;
    if ((want & shim::IO_READABLE) && (got & shim::IO_READABLE) && Notify(fd, r, FD_READ, 0)) {
        r.readarmed = false;
        progress = true;
    }
    if ((want & shim::IO_WRITABLE) && (got & shim::IO_WRITABLE) && Notify(fd, r, FD_WRITE, 0)) {
        r.writewanted = false;
        progress = true;
    }
    if ((want & shim::IO_PEERCLOSED) && (got & (shim::IO_PEERCLOSED | shim::IO_HANGUP | shim::IO_ERROR))) {
        // An error here is the reset that ended the connection.  It is not read from the
        // socket, which would clear it: the next recv or send still reports it.
        if (!(got & shim::IO_ERROR) && shim::ReadableBytes(fd) > 0) {
            r.closedeferred = true; // Winsock reports a graceful close once all is read
            return true;
        }
        if (Notify(fd, r, FD_CLOSE, (got & shim::IO_ERROR) ? WSAECONNRESET : 0)) {
            r.closeposted = true;
            progress = true;
        }
    }
    return progress;
}

Registration *Find(int fd)
{
    auto it = registrations.find(fd);
    return it != registrations.end() ? &it->second : nullptr;
}

// Applies a call's effect to fd's registration, if any, and lets its owner poll again.
template <class Change> void Note(int fd, Change change)
{
    std::lock_guard<std::mutex> guard(socketlock);
    Registration *r = Find(fd);
    if (r == nullptr)
        return;
    change(*r);
    r->stalled = false;
    // A poll under way asked about the old state; what it reports is not acted upon.
    r->serial = ++lastserial;
    WakeQueue(*r->owner);
}

} // namespace

int AsyncSelect(int fd, HWND hwnd, UINT message, long events)
{
    QueueRef owner = WindowQueue(hwnd);
    if (!owner)
        return -WSAEINVAL;
    // Winsock makes the socket non-blocking whatever the events, even 0.
    int rc = shim::SetNonBlocking(fd, true);
    if (rc < 0)
        return rc;
    std::lock_guard<std::mutex> guard(socketlock);
    Registration *old = Find(fd);
    // A connect under way belongs to the socket, not the registration: it is still
    // reported, to the new window.
    bool connecting = old != nullptr && old->phase == CONNECTING;
    if (events == 0) {
        registrations.erase(fd);
        return 0;
    }
    Registration r;
    r.hwnd = hwnd;
    r.message = message;
    r.events = events;
    r.owner = owner;
    r.serial = ++lastserial;
    r.phase = connecting ? CONNECTING : shim::PeerConnected(fd) ? CONNECTED : IDLE;
    r.readarmed = true;
    // A connected socket is told once that it may send, as Winsock does.
    r.writewanted = r.phase == CONNECTED && (events & FD_WRITE);
    r.closeposted = false;
    r.closedeferred = false;
    r.stalled = false;
    try {
        registrations[fd] = r;
    } catch (const std::bad_alloc &) {
        return -WSAENOBUFS;
    }
    WakeQueue(*owner);
    return 0;
}

void NoteRecv(int fd)
{
    Note(fd, [](Registration &r) {
        r.readarmed = true;
        r.closedeferred = false; // a close held back for unread data is looked at again
    });
}

void NoteSendBlocked(int fd)
{
    Note(fd, [](Registration &r) { r.writewanted = r.phase == CONNECTED; });
}

void NoteConnectPending(int fd)
{
    Note(fd, [fd](Registration &r) {
        helderrors.erase(fd);
        if (r.phase == CONNECTED)
            return;
        r.phase = CONNECTING;
        r.readarmed = true;
        r.writewanted = false;
        r.closeposted = false;
        r.closedeferred = false;
    });
}

void NoteClosed(int fd)
{
    // The descriptor number may be handed out again: nothing of this socket may stick.
    std::lock_guard<std::mutex> guard(socketlock);
    registrations.erase(fd);
    helderrors.erase(fd);
}

int TakeHeldError(int fd)
{
    std::lock_guard<std::mutex> guard(socketlock);
    auto it = helderrors.find(fd);
    if (it == helderrors.end())
        return 0;
    int error = it->second.wsaerror;
    helderrors.erase(it);
    return error;
}

void CollectWatches(const MessageQueue *queue, std::vector<SocketWatch> *watches)
{
    std::lock_guard<std::mutex> guard(socketlock);
    for (const auto &entry : registrations) {
        const Registration &r = entry.second;
        unsigned want = Want(r);
        if (r.owner.get() == queue && want != 0)
            watches->push_back({entry.first, r.serial, want});
    }
}

void SocketReady(const SocketWatch &watch, unsigned got)
{
    std::lock_guard<std::mutex> guard(socketlock);
    Registration *r = Find(watch.fd);
    if (r == nullptr || r->serial != watch.serial)
        return; // replaced or forgotten since the poll began
    unposted = false;
    bool progress;
    if (r->phase == CONNECTING)
        progress = ConnectEnded(watch.fd, *r);
    else
        progress = r->phase == CONNECTED && ConnectedReady(watch.fd, *r, Want(*r) & watch.want, got);
    // Errors and hang-ups are reported unasked; one that leads nowhere must not make
    // every later poll return at once.  A notification that could not be queued is
    // still due: the next poll tries again.
    if (!progress && !unposted)
        r->stalled = true;
}

void ForgetWindowSockets(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(socketlock);
    for (auto it = registrations.begin(); it != registrations.end();)
        it = it->second.hwnd == hwnd ? registrations.erase(it) : std::next(it);
}

} // namespace posix
} // namespace vx
