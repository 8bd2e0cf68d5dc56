// wsockio.h - blocking socket I/O around the status dialog: the wait state and the
// dialog procedure, connection setup and teardown, stream read and write.
#ifndef VEXLOLPR_WSOCKIO_H
#define VEXLOLPR_WSOCKIO_H

#include <atomic>

#include "platform/platform.h"

namespace vx {

constexpr UINT WSA_MSG = 15120;       // socket notifications; wParam socket, lParam event | error << 16
constexpr UINT_PTR IDT_TIMEOUT = 2;   // the wait's timer
constexpr UINT IDD_WAIT = 2800;       // status dialog template
constexpr int IDC_CAPTION = 2801;     // what is being done with which host and printer
constexpr int IDC_CANCEL = 2615;      // Cancel button
constexpr int IDC_STATUS = 1711;      // status line
constexpr int IDC_TRANSFERRED = 2804; // "Transferred"
constexpr int IDC_PROGRESS = 2805;    // bytes sent so far
constexpr int IDC_OUTOF = 2806;       // "out of"
constexpr int IDC_SIZE = 2807;        // total bytes
constexpr int IDC_BYTES = 2808;       // "bytes"
constexpr long WAIT_EVENTS = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
constexpr DWORD TIMER_TICK = 10000;   // period of the timer-with-count mode
constexpr DWORD SINGLE_TIMER_MAX = 0xFFFF;
constexpr DWORD FLAG_STREAM = 1;

// Results of a wait.
constexpr int RET_EVENT = 0;
constexpr int RET_ERR = -1;
constexpr int RET_PENDING = -2;
constexpr int RET_TIMEOUT = -3;

struct WAITINFO {
    SOCKET mysocket; // the socket whose notifications the dialog takes; 0 after a teardown
    long myevent;    // events the wait in progress waits for; 0 between waits
    DWORD timeout;   // timer period of the next wait, ms
    DWORD flags;     // FLAG_STREAM: receive waits also end on FD_CLOSE
    int ret;         // result of the current wait
};

extern HWND const HWND_CLAIMED;

// How far a print request's job got, for its caller's job handle: written by the print
// steps as they go, read once the request is over.
struct JobTrack {
    int number;         // the job's number; 0 while the server has not accepted the job
    int filesdone;      // files whose whole content and closing octet went out
    bool refused;       // the server answered a whole file with a refusal
    uint64_t bytessent; // octets of the data file sent
};

// One request: its wait state, its dialog and the request block it reports to.  Made
// by the export on its thread's stack and found through the thread (ThisRequest) by the
// steps below it, and through its own window by the dialog procedure; other threads
// reach it only through the thread list, under its lock, to cancel it.
struct Request {
    WAITINFO waitinfo; // first: the dialog's creation parameter is its address
    // The status dialog: 0: none; HWND_CLAIMED: being created; else the dialog.  Read by
    // a cancel from another thread, so it is atomic and cleared under the thread lock.
    std::atomic<HWND> hwndwait;
    DWORD count;           // 10-second ticks still to pass (timer-with-count mode)
    int32_t *lperrorcode;  // where Cancel writes: the errorcode of the wait state's holder
    LPR_COMMONARG *common; // the request block (null for a thread's own record)
    WORD debugflags;       // this request's trace switch
    int yieldcount;        // 1: the previous write finished without waiting
    int armerror;          // socket error of the arming at WM_INITDIALOG; 0: armed
    bool quitpending;      // a WM_QUIT that a wait loop fetched, posted again after it
    int quitcode;
    bool cancelpending;    // LPR_CancelRequest came before the dialog (thread lock)
    Request *outer;        // the request of the same thread that this one runs inside
    JobTrack job;          // a print request's job so far
};

// The calling thread's innermost request, or its own record outside any request (a
// record of last resort when the thread has no state: memory ran out).
Request &ThisRequest();

// An export's request for the length of its call: pushed onto the thread's chain before
// the first trace line, taken off after the last.  ok() is false when the thread's state
// could not be made: the request then fails as one that found no memory.
class RequestScope {
public:
    explicit RequestScope(LPR_COMMONARG *lpcommonarg);
    ~RequestScope();
    RequestScope(const RequestScope &) = delete;
    RequestScope &operator=(const RequestScope &) = delete;
    bool ok() const { return state_ != nullptr; }
    Request &request() { return request_; }

private:
    Request request_;
    struct ThreadState *state_;
};

// ---- status dialog and wait (the dialog procedure WNWaitDlg is exported) ----------------
HWND wsock_CreateWaitDialog(HWND parent, SOCKET sd, DWORD timeout, DWORD flags);
int wsock_AsynhMessage(WPARAM sock, LPARAM lparam); // RET_EVENT: ends the wait; RET_PENDING: ignore
BOOL wsock_AsynchTimeout(HWND hwnd, UINT_PTR id);
BOOL wsock_endasynchw(HWND hwnd);
// Runs the thread's messages until an awaited notification (or a close) for mysocket
// arrives (RET_EVENT), the timer expires (RET_TIMEOUT), the dialog is gone
// (RET_PENDING), or there is no dialog to begin with (RET_ERR).
int wsock_wait(long events);
void wsock_settext(const char *text);
// The counters are 64-bit: files of more than 2 GiB are counted truly.
void SetDlgItemLong(HWND hwnd, int id, int64_t n);
void wsock_setprogress(int64_t n);
void wsock_setsize(int64_t n);
bool WaitDialogAlive();
// Cancel from code: the calling thread's request when its message loop runs the caller,
// else every request in progress.  0 when a cancel was posted, 1 when there was none.
int CancelWait();
// Cancel of the request that runs with `lpcommonarg`: 0 when posted (or, before the
// request has its dialog, kept for it until it has), 1 when none runs with it.
int CancelRequestOf(const LPR_COMMONARG *lpcommonarg);

// ---- the wait state: every change of it goes through these -------------------------------
// Claims the wait state for a request and creates the hidden status dialog, which takes
// the notifications of sd: hwndwait, mysocket and the cancel mark (lperrorcode, with the
// request's errorcode cleared) are set.  The dialog, or 0 with the wait state free again
// (the dialog could not be made, or could not take the socket's notifications; the
// socket error is then left for the caller).
HWND ClaimWaitState(SOCKET sd, int type, LPR_COMMONARG *lpcommonarg);
// The dialog takes the notifications of a replacement descriptor from now on; false,
// with the binding unchanged, when they cannot be armed for it.
bool FollowSocket(SOCKET sd);
// Binds the wait state back to a descriptor whose notifications are still armed (the
// caller's own, after a replacement failed), so that its release or abort ends the dialog.
void ReturnToSocket(SOCKET sd);
// While the wait state is held, a cancel marks this request's errorcode.
void PointCancelMark(LPR_COMMONARG *lpcommonarg);
// Ending the wait state of mysocket around its close: the notifications stop before the
// descriptor is closed (nothing may name a descriptor after its close: the number may
// already be another's), and the dialog goes and the wait state is free after it.
void StopNotifications();
void FreeWaitState();
// Gives up whatever wait state the calling request still holds: its descriptor is
// aborted and the dialog goes.
void AbandonWaitState();

// waitinfo.timeout for the length of a scope; the period in force before is put back on
// every exit.
class WaitTimeout {
public:
    explicit WaitTimeout(DWORD ms);
    ~WaitTimeout();
    WaitTimeout(const WaitTimeout &) = delete;
    WaitTimeout &operator=(const WaitTimeout &) = delete;

private:
    DWORD saved_;
};
// Fetches one message of the thread and lets the dialog or its window handle it; a
// WM_QUIT is kept for RepostQuit.  `trace`: the wait loop's line for other windows.
void PumpMessage(HWND dialog, bool trace);
void RepostQuit();

// ---- connections --------------------------------------------------------------------
// A socket address of either family, as bind and connect take it.
struct SocketAddress {
    union {
        sockaddr any;
        sockaddr_in in4;
        sockaddr_in6 in6;
    };
    explicit SocketAddress(int family = AF_INET);
    explicit SocketAddress(const sockaddr_in &address) : in4(address) {}
    explicit SocketAddress(const sockaddr_in6 &address) : in6(address) {}
    int family() const { return any.sa_family == AF_INET6 ? AF_INET6 : AF_INET; }
    int length() const { return family() == AF_INET6 ? sizeof in6 : sizeof in4; }
    uint16_t port() const { return family() == AF_INET6 ? in6.sin6_port : in4.sin_port; } // network order
    void set_port(uint16_t port);                                                          // network order
};
// The last reserved local port tried by any request of the process (guarded by the
// port search's own lock in wsock.cpp).
extern WORD localport;
// A stream socket of the family bound to a local port from 601 to 1000 (or, where no
// reserved port can be had, one the system chooses); INVALID_SOCKET on failure.
SOCKET wsock_getandbind(int type, int family = AF_INET);
// Connects under the status dialog, which it creates; the descriptor to use from now
// on (it differs from sd after an address-in-use retry), or INVALID_SOCKET.
SOCKET wsock_connect(SOCKET sd, int type, const SocketAddress *address, LPR_COMMONARG *lpcommonarg);
SOCKET wsock_connect(SOCKET sd, int type, const sockaddr_in *address, LPR_COMMONARG *lpcommonarg);
int wsock_release(SOCKET sd); // graceful close; the dialog goes with mysocket
int wsock_abort(SOCKET sd);   // abortive close; the dialog goes with mysocket

// ---- stream read and write -------------------------------------------------------------
// Bytes of the first receive that delivers any; 0 when the peer closed (or the deadline
// had passed before the first try); -1 on failure, time-out or cancel.
int wsock_read(SOCKET sd, char *buf, int len, int flags, LPR_COMMONARG *lpcommonarg);
// len once every byte is accepted; -1 on failure (4943), time-out (4913) or cancel (4601).
int wsock_write(SOCKET sd, const char *buf, int len, int flags, LPR_COMMONARG *lpcommonarg);
// The same for `len` octets of a file from `offset`, moved by the kernel where the socket
// layer can (wsock_canwritefile()); WRITE_FILE_ENDED when the file ends before them.
constexpr int WRITE_FILE_ENDED = -2;
bool wsock_canwritefile();
int wsock_writefile(SOCKET sd, LFILE file, int64_t offset, int len, LPR_COMMONARG *lpcommonarg);
void wsock_nodelay(SOCKET sd, bool on); // on: short writes leave at once (TCP_NODELAY)

} // namespace vx

#endif
