// wsockio.cpp - the status dialog and the wait loop.  Owns the requests' wait state:
// each request's record (Request) lives on its thread, and nothing of a wait is the
// process's.
#include "wsockio.h"

#include <initializer_list>
#include <type_traits>

#include "init.h"
#include "msgtext.h"
#include "wsockstb.h"

namespace vx {

HWND const HWND_CLAIMED = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

// The dialog's creation parameter is the address of the request's wait record, which
// is the address of the request itself.
static_assert(std::is_standard_layout<Request>::value, "a request is found from its wait record");

// ---- the request of the calling thread ------------------------------------------------

Request &ThisRequest()
{
    // Only a thread whose state could not be made ends up here without one; its steps
    // then share this record, which no request of the process ever holds (the exports
    // refuse to run without a state).
    static Request lastresort;
    ThreadState *state = ThisThread();
    return state != nullptr ? *state->current : lastresort;
}

RequestScope::RequestScope(LPR_COMMONARG *lpcommonarg) : request_(), state_(ThisThread())
{
    request_.common = lpcommonarg;
    request_.debugflags = lpcommonarg->debugflags;
    if (state_ == nullptr)
        return;
    Guard guard(threadlock);
    request_.outer = state_->current;
    state_->current = &request_;
}

RequestScope::~RequestScope()
{
    if (state_ == nullptr)
        return;
    Guard guard(threadlock);
    state_->current = request_.outer;
}

// Sets a request's dialog under the thread lock: a cancel from another thread either
// posts to the dialog before it goes or does not see it, and one that came while the
// dialog was being made is posted as soon as it is there.
static bool PostCancel(const Request &r);
static void SetDialog(Request &r, HWND hwnd)
{
    Guard guard(threadlock);
    r.hwndwait = hwnd;
    if (r.cancelpending && PostCancel(r))
        r.cancelpending = false;
}

HWND wsock_CreateWaitDialog(HWND parent, SOCKET sd, DWORD timeout, DWORD flags)
{
    LPRTrace("VEXLOLPR wsock_CreateWaitDialog() entered... set timeout=%lu flags=%#x wsockio", timeout, flags);
    Request &r = ThisRequest();
    if (parent == 0)
        parent = GetActiveWindow();
    r.waitinfo.timeout = timeout;
    r.waitinfo.mysocket = sd;
    r.waitinfo.flags = flags;
    r.waitinfo.myevent = 0;
    r.waitinfo.ret = RET_PENDING;
    HWND hwnd = CreateDialogParamA(hinstlpr, MAKEINTRESOURCEA(IDD_WAIT), parent, WNWaitDlg,
                                   reinterpret_cast<LPARAM>(&r.waitinfo));
    LPRTrace("VEXLOLPR wsock_CreateWaitDialog() exited... hwnd(ret)=%d wsockio", static_cast<int>(TraceWord(hwnd)));
    return hwnd;
}

// The request whose dialog this is: its record was handed over at WM_INITDIALOG and
// kept in the dialog's own word.
static Request *RequestOfDialog(HWND hwnd)
{
    return reinterpret_cast<Request *>(GetWindowLongPtrA(hwnd, DWLP_USER));
}

static int MatchNotification(const Request &r, WPARAM sock, LPARAM lparam)
{
    long event = static_cast<long>(lparam & 0xFFFF); // the error half is not looked at
    LPRTrace("VEXLOLPR wsock_AsynhMessage(): event=%#x  socket=%d waiting for mysocket=%d on myevent=%#x wsockio",
             static_cast<unsigned>(event), static_cast<int>(sock), static_cast<int>(r.waitinfo.mysocket),
             static_cast<unsigned>(r.waitinfo.myevent));
    if (static_cast<SOCKET>(sock) != r.waitinfo.mysocket)
        return RET_PENDING;
    if (event == FD_READ || event == FD_WRITE || event == FD_CONNECT)
        return (r.waitinfo.myevent & event) ? RET_EVENT : RET_PENDING;
    return RET_EVENT; // a close ends any wait, whatever it waits for
}

int wsock_AsynhMessage(WPARAM sock, LPARAM lparam) { return MatchNotification(ThisRequest(), sock, lparam); }

static void TimerTick(Request &r, UINT_PTR id)
{
    if (id != IDT_TIMEOUT)
        return;
    LPRTrace("VEXLOLPR wsock_AsynchTimeout()... IDT_TIMEOUT wsockio");
    if (r.count == 0)
        r.waitinfo.ret = RET_TIMEOUT;
    else
        r.count--;
}

BOOL wsock_AsynchTimeout(HWND hwnd, UINT_PTR id)
{
    Request *r = RequestOfDialog(hwnd);
    TimerTick(r != nullptr ? *r : ThisRequest(), id);
    return TRUE;
}

BOOL wsock_endasynchw(HWND hwnd)
{
    LPRTrace("VEXLOLPR wsock_endasynchw()... hwnd=%lu wsockio", TraceWord(hwnd));
    Request *r = RequestOfDialog(hwnd);
    winsock.WSAAsyncSelect((r != nullptr ? *r : ThisRequest()).waitinfo.mysocket, hwnd, 0, 0);
    if (IsWindow(hwnd))
        KillTimer(hwnd, IDT_TIMEOUT);
    return TRUE;
}

// Picks the timing mode of a wait; returns the give-up time (0 unless that mode).
static DWORD StartWaitTimer(Request &r, HWND hwnd)
{
    r.count = 0;
    DWORD timeout = r.waitinfo.timeout;
    if (timeout <= SINGLE_TIMER_MAX && SetTimer(hwnd, IDT_TIMEOUT, timeout, nullptr) != 0) {
        LPRTrace("VEXLOLPR wsock_wait():ONLY TIMER IS USED! wsockio");
        return 0;
    }
    if (timeout > SINGLE_TIMER_MAX && SetTimer(hwnd, IDT_TIMEOUT, TIMER_TICK, nullptr) != 0) {
        // (count + 1) ticks of 10 s: the whole multiple of 10 s at or below the timeout.
        r.count = timeout / TIMER_TICK - 1;
        LPRTrace("VEXLOLPR wsock_wait():TIMER WITH COUNT IS USED ! wsockio");
        return 0;
    }
    LPRTrace("VEXLOLPR wsock_wait():GIVEUPTIME IS USED! wsockio");
    DWORD giveuptime = GetTickCount() + timeout;
    return giveuptime != 0 ? giveuptime : 1; // 0 means "no give-up time"
}

void PumpMessage(HWND dialog, bool trace)
{
    MSG msg;
    BOOL got = GetMessageA(&msg, 0, 0, 0);
    if (got == -1) // nothing fetched: the thread's queue failed; the caller looks again
        return;
    if (!got) {
        Request &r = ThisRequest();
        r.quitpending = true;
        r.quitcode = static_cast<int>(msg.wParam);
        return;
    }
    if (!IsDialogMessageA(dialog, &msg)) {
        if (trace)
            LPRTrace("VEXLOLPR wsock_wait() parsing messages... msg.message=%d msg.hwnd=%lu wsockio",
                 static_cast<int>(msg.message), TraceWord(msg.hwnd));
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void RepostQuit()
{
    Request &r = ThisRequest();
    if (r.quitpending) {
        r.quitpending = false;
        PostQuitMessage(r.quitcode);
    }
}

int wsock_wait(long events)
{
    Request &r = ThisRequest();
    r.waitinfo.ret = RET_PENDING;
    r.waitinfo.myevent = events;
    LPRTrace("VEXLOLPR wsock_wait() entered... wsockio");
    HWND hwnd = r.hwndwait;
    if (!IsWindow(hwnd)) {
        r.waitinfo.myevent = 0;
        LPRTrace("VEXLOLPR ERROR wsock_wait() exited1... NO hwndwait RET_ERR=%d wsockio", RET_ERR);
        r.waitinfo.ret = RET_ERR;
        return RET_ERR;
    }
    DWORD giveuptime = StartWaitTimer(r, hwnd);
    LPRTrace("VEXLOLPR wsock_wait() : waitinfo.timeout=%lu msec. x=%u msec. count=%u giveuptime=%u wsockio",
             r.waitinfo.timeout, TIMER_TICK, r.count, giveuptime);
    LPRTrace("VEXLOLPR wsock_wait() waiting for WSA_MSG=%d events=%#x wsockio", static_cast<int>(WSA_MSG),
             static_cast<unsigned>(events));
    while (r.waitinfo.ret == RET_PENDING && IsWindow(r.hwndwait)) {
        // Without a timer the loop posts the time-out to itself, on every pass until
        // the dialog has taken it.
        if (giveuptime != 0 && static_cast<int32_t>(GetTickCount() - giveuptime) > 0) {
            LPRTrace("VEXLOLPR wsock_wait()... GIVEUP - IDT_TIMEOUT wsockio");
            PostMessageA(r.hwndwait, WM_TIMER, IDT_TIMEOUT, 0);
        } else if (giveuptime != 0) {
            // Without a timer nothing need arrive before the give-up time: wait for a
            // message only until then, so that the loop comes back to post the time-out.
            // Input already queued counts too: messages fetched one at a time leave the
            // rest "seen", and a wait for new input alone would sleep past them.
            DWORD left = giveuptime - GetTickCount();
            if (MsgWaitForMultipleObjectsEx(0, nullptr, left + 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_TIMEOUT)
                continue;
        }
        PumpMessage(r.hwndwait, true);
    }
    if (IsWindow(r.hwndwait))
        KillTimer(r.hwndwait, IDT_TIMEOUT);
    RepostQuit();
    r.waitinfo.myevent = 0;
    LPRTrace("VEXLOLPR wsock_wait() exited...OK waitinfo.ret=%d wsockio", r.waitinfo.ret);
    return r.waitinfo.ret;
}

void wsock_settext(const char *text)
{
    LPRTrace("VEXLOLPR wsock_settext()... wsockio");
    HWND hwnd = ThisRequest().hwndwait;
    if (IsWindow(hwnd))
        SetDlgItemTextA(hwnd, IDC_CAPTION, text);
}

void SetDlgItemLong(HWND hwnd, int id, int64_t n)
{
    LPRTrace("VEXLOLPR SetDlgItemLong()... wsockio");
    // Digits by hand: this runs for every chunk of a file, and a formatter costs more
    // than the send.
    char text[21]; // "-9223372036854775808" and the terminator
    char *p = text + sizeof text - 1;
    *p = '\0';
    uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0)
        *--p = '-';
    SetDlgItemTextA(hwnd, id, p);
}

void wsock_setprogress(int64_t n)
{
    LPRTrace("VEXLOLPR wsock_setprogress()... wsockio");
    SetDlgItemLong(ThisRequest().hwndwait, IDC_PROGRESS, n);
}

void wsock_setsize(int64_t n)
{
    LPRTrace("VEXLOLPR wsock_setsize()... wsockio");
    HWND hwnd = ThisRequest().hwndwait;
    if (IsWindow(hwnd)) {
        for (int id : {IDC_SIZE, IDC_PROGRESS, IDC_TRANSFERRED, IDC_OUTOF, IDC_BYTES})
            ShowWindow(GetDlgItem(hwnd, id), SW_SHOWNORMAL);
    }
    SetDlgItemLong(hwnd, IDC_SIZE, n);
}

bool WaitDialogAlive() { return IsWindow(ThisRequest().hwndwait) != FALSE; }

// ---- cancels ----------------------------------------------------------------------------

// Posted, not sent: the cancel takes effect when the waiting loop dispatches it, exactly
// like a click on the button, and may come from any thread.  The caller holds the
// thread lock, so the dialog cannot go meanwhile.
static bool PostCancel(const Request &r)
{
    HWND hwnd = r.hwndwait;
    return hwnd != 0 && hwnd != HWND_CLAIMED && IsWindow(hwnd) && PostMessageA(hwnd, WM_COMMAND, IDC_CANCEL, 0);
}

// The innermost request of the thread that holds a dialog: the one whose message loop
// runs the caller.
static const Request *HolderOnThread(const ThreadState *state)
{
    for (const Request *r = state->current; r != nullptr; r = r->outer) {
        HWND hwnd = r->hwndwait;
        if (hwnd != 0 && hwnd != HWND_CLAIMED)
            return r;
    }
    return nullptr;
}

int CancelWait()
{
    Guard guard(threadlock);
    const ThreadState *mine = PeekThread();
    const Request *own = mine != nullptr ? HolderOnThread(mine) : nullptr;
    if (own != nullptr)
        return PostCancel(*own) ? 0 : 1;
    int posted = 0;
    for (const ThreadState *state = threads; state != nullptr; state = state->next)
        for (const Request *r = state->current; r != nullptr; r = r->outer)
            posted += PostCancel(*r) ? 1 : 0;
    return posted > 0 ? 0 : 1;
}

int CancelRequestOf(const LPR_COMMONARG *lpcommonarg)
{
    Guard guard(threadlock);
    for (const ThreadState *state = threads; state != nullptr; state = state->next)
        for (Request *r = state->current; r != nullptr; r = r->outer)
            if (r->common == lpcommonarg && r->common != nullptr) {
                // Before its dialog is there, the request takes the cancel with it.
                if (!PostCancel(*r))
                    r->cancelpending = true;
                return 0;
            }
    return 1;
}

// ---- the wait state -----------------------------------------------------------------------

HWND ClaimWaitState(SOCKET sd, int type, LPR_COMMONARG *lpcommonarg)
{
    Request &r = ThisRequest();
    SetDialog(r, HWND_CLAIMED);
    r.lperrorcode = &lpcommonarg->errorcode;
    lpcommonarg->errorcode = 0;
    r.armerror = 0;
    HWND hwnd = wsock_CreateWaitDialog(0, sd, lpcommonarg->replytimeout, type == 2 ? 0 : FLAG_STREAM);
    if (hwnd != 0 && r.armerror != 0) {
        // Without its notifications the socket would stay blocking, out of reach of the
        // time-outs and of Cancel: a dialog that cannot take them cannot serve.
        DestroyWindow(hwnd);
        hwnd = 0;
        winsock.WSASetLastError(r.armerror);
    }
    if (hwnd == 0) {
        // The caller reports the socket error: it must be this failure's, not one left
        // over from an earlier call (a refused connect would read as "LPD is not
        // running").  A dialog that cannot be made is a resource that ran out.
        if (r.armerror == 0)
            winsock.WSASetLastError(WSAENOBUFS);
        r.waitinfo.mysocket = 0;
        r.lperrorcode = nullptr;
    }
    SetDialog(r, hwnd);
    return hwnd;
}

bool FollowSocket(SOCKET sd)
{
    Request &r = ThisRequest();
    if (winsock.WSAAsyncSelect(sd, r.hwndwait, WSA_MSG, WAIT_EVENTS) != 0)
        return false;
    r.waitinfo.mysocket = sd;
    return true;
}

void ReturnToSocket(SOCKET sd) { ThisRequest().waitinfo.mysocket = sd; }

void PointCancelMark(LPR_COMMONARG *lpcommonarg)
{
    // Outside a request's wait state there is no dialog to cancel, and a pointer kept
    // there would outlive the request block.
    Request &r = ThisRequest();
    if (r.hwndwait != 0)
        r.lperrorcode = &lpcommonarg->errorcode;
}

void StopNotifications()
{
    HWND hwnd = ThisRequest().hwndwait;
    if (IsWindow(hwnd))
        wsock_endasynchw(hwnd);
}

void FreeWaitState()
{
    Request &r = ThisRequest();
    HWND hwnd = r.hwndwait;
    // The dialog is out of a cancel's sight before it goes.
    SetDialog(r, 0);
    if (IsWindow(hwnd)) {
        EndDialog(hwnd, -1);
        DestroyWindow(hwnd);
    }
    r.waitinfo.ret = RET_ERR;
    r.waitinfo.mysocket = 0;
    r.lperrorcode = nullptr; // a late Cancel must not write into a finished request
}

void AbandonWaitState()
{
    Request &r = ThisRequest();
    if (r.hwndwait == 0)
        return;
    if (r.waitinfo.mysocket != 0)
        wsock_abort(r.waitinfo.mysocket);
    else
        FreeWaitState();
}

WaitTimeout::WaitTimeout(DWORD ms) : saved_(ThisRequest().waitinfo.timeout) { ThisRequest().waitinfo.timeout = ms; }

WaitTimeout::~WaitTimeout() { ThisRequest().waitinfo.timeout = saved_; }

static void Cancel(Request &r)
{
    LPRTrace("VEXLOLPR WNWaitDlg() canceled... wsockio");
    // The cancel mark replaces whatever code is there.  Once the operation has given
    // the wait state back there is no request to mark.
    if (r.lperrorcode != nullptr)
        *r.lperrorcode = LPR_ERR_CANCELLED;
    r.waitinfo.ret = RET_PENDING;
}

} // namespace vx

using namespace vx;

extern "C" LPR_EXPORT INT_PTR LPRAPI WNWaitDlg(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    LPRTrace("VEXLOLPR WNWaitDlg() entered... wMsg=%d wsockio", static_cast<int>(msg));
    if (msg == WM_INITDIALOG) {
        // The creation parameter is the request's wait record, which opens its record;
        // the dialog keeps it in its own word.  The socket is armed before the request
        // holds the window, and is non-blocking from here on.
        Request *r = reinterpret_cast<Request *>(lparam);
        vx::SetWindowLongPtrA(hwnd, vx::DWLP_USER, lparam);
        LPRTrace("VEXLOLPR WNWaitDlg() : WM_INITDIALOG set all events for WSA_MSG=%d hwndwait=%lu wsockio",
                 static_cast<int>(WSA_MSG), TraceWord(r->hwndwait.load()));
        if (winsock.WSAAsyncSelect(r->waitinfo.mysocket, hwnd, WSA_MSG, WAIT_EVENTS) != 0) {
            int error = winsock.WSAGetLastError();
            r->armerror = error != 0 ? error : WSAENOBUFS;
        }
        return TRUE;
    }
    Request *r = RequestOfDialog(hwnd);
    if (r == nullptr) // not one of the library's dialogs, or not yet initialised
        return FALSE;
    switch (msg) {
    case WSA_MSG: {
        int ret = MatchNotification(*r, wparam, lparam);
        if (ret == RET_PENDING)
            return FALSE;
        r->waitinfo.ret = ret;
        return TRUE;
    }
    case WM_COMMAND:
        if (wparam == static_cast<WPARAM>(IDC_CANCEL) || wparam == static_cast<WPARAM>(IDCANCEL)) {
            Cancel(*r);
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        TimerTick(*r, wparam);
        return TRUE;
    default:
        return FALSE;
    }
}
