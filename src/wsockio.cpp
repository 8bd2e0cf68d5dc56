// wsockio.cpp - the status dialog and the wait loop.  Owns the wait state: waitinfo,
// hwndwait, the tick count of the timer-with-count mode and lperrorcode.
#include "wsockio.h"

#include <initializer_list>

#include "init.h"
#include "msgtext.h"
#include "wsockstb.h"

namespace vx {

WAITINFO waitinfo;
std::atomic<HWND> hwndwait;
DWORD count;
int32_t *lperrorcode;
HWND const HWND_CLAIMED = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

// The thread whose request runs (0: none), and how many requests it has under way.
static std::atomic<DWORD> turnowner;
static int turndepth;
constexpr DWORD TURN_POLL = 10; // ms between looks at the turn while messages flow

// A WM_QUIT that a wait loop fetched; it belongs to the application's own loop and is
// posted again once the wait is over.
static bool quitpending;
static int quitcode;

// The socket error of the arming at WM_INITDIALOG; 0 when the dialog took the socket.
static int armerror;

HWND wsock_CreateWaitDialog(HWND parent, SOCKET sd, DWORD timeout, DWORD flags)
{
    LPRTrace("VEXLOLPR wsock_CreateWaitDialog() entered... set timeout=%lu flags=%#x wsockio", timeout, flags);
    if (parent == 0)
        parent = GetActiveWindow();
    waitinfo.timeout = timeout;
    waitinfo.mysocket = sd;
    waitinfo.flags = flags;
    waitinfo.myevent = 0;
    waitinfo.ret = RET_PENDING;
    HWND hwnd = CreateDialogParamA(hinstlpr, MAKEINTRESOURCEA(IDD_WAIT), parent, WNWaitDlg,
                                   reinterpret_cast<LPARAM>(&waitinfo));
    LPRTrace("VEXLOLPR wsock_CreateWaitDialog() exited... hwnd(ret)=%d wsockio", static_cast<int>(TraceWord(hwnd)));
    return hwnd;
}

int wsock_AsynhMessage(WPARAM sock, LPARAM lparam)
{
    long event = static_cast<long>(lparam & 0xFFFF); // the error half is not looked at
    LPRTrace("VEXLOLPR wsock_AsynhMessage(): event=%#x  socket=%d waiting for mysocket=%d on myevent=%#x wsockio",
             static_cast<unsigned>(event), static_cast<int>(sock), static_cast<int>(waitinfo.mysocket),
             static_cast<unsigned>(waitinfo.myevent));
    if (static_cast<SOCKET>(sock) != waitinfo.mysocket)
        return RET_PENDING;
    if (event == FD_READ || event == FD_WRITE || event == FD_CONNECT)
        return (waitinfo.myevent & event) ? RET_EVENT : RET_PENDING;
    return RET_EVENT; // a close ends any wait, whatever it waits for
}

BOOL wsock_AsynchTimeout(HWND, UINT_PTR id)
{
    if (id != IDT_TIMEOUT)
        return TRUE;
    LPRTrace("VEXLOLPR wsock_AsynchTimeout()... IDT_TIMEOUT wsockio");
    if (count == 0)
        waitinfo.ret = RET_TIMEOUT;
    else
        count--;
    return TRUE;
}

BOOL wsock_endasynchw(HWND hwnd)
{
    LPRTrace("VEXLOLPR wsock_endasynchw()... hwnd=%lu wsockio", TraceWord(hwnd));
    winsock.WSAAsyncSelect(waitinfo.mysocket, hwnd, 0, 0);
    if (IsWindow(hwnd))
        KillTimer(hwnd, IDT_TIMEOUT);
    return TRUE;
}

// Picks the timing mode of a wait; returns the give-up time (0 unless that mode).
static DWORD StartWaitTimer(HWND hwnd)
{
    count = 0;
    if (waitinfo.timeout <= SINGLE_TIMER_MAX && SetTimer(hwnd, IDT_TIMEOUT, waitinfo.timeout, nullptr) != 0) {
        LPRTrace("VEXLOLPR wsock_wait():ONLY TIMER IS USED! wsockio");
        return 0;
    }
    if (waitinfo.timeout > SINGLE_TIMER_MAX && SetTimer(hwnd, IDT_TIMEOUT, TIMER_TICK, nullptr) != 0) {
        // (count + 1) ticks of 10 s: the whole multiple of 10 s at or below the timeout.
        count = waitinfo.timeout / TIMER_TICK - 1;
        LPRTrace("VEXLOLPR wsock_wait():TIMER WITH COUNT IS USED ! wsockio");
        return 0;
    }
    LPRTrace("VEXLOLPR wsock_wait():GIVEUPTIME IS USED! wsockio");
    DWORD giveuptime = GetTickCount() + waitinfo.timeout;
    return giveuptime != 0 ? giveuptime : 1; // 0 means "no give-up time"
}

void PumpMessage(HWND dialog, bool trace)
{
    MSG msg;
    BOOL got = GetMessageA(&msg, 0, 0, 0);
    if (got == -1) // nothing fetched: the thread's queue failed; the caller looks again
        return;
    if (!got) {
        quitpending = true;
        quitcode = static_cast<int>(msg.wParam);
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
    if (quitpending) {
        quitpending = false;
        PostQuitMessage(quitcode);
    }
}

int wsock_wait(long events)
{
    waitinfo.ret = RET_PENDING;
    waitinfo.myevent = events;
    LPRTrace("VEXLOLPR wsock_wait() entered... wsockio");
    HWND hwnd = hwndwait;
    if (!IsWindow(hwnd)) {
        waitinfo.myevent = 0;
        LPRTrace("VEXLOLPR ERROR wsock_wait() exited1... NO hwndwait RET_ERR=%d wsockio", RET_ERR);
        waitinfo.ret = RET_ERR;
        return RET_ERR;
    }
    DWORD giveuptime = StartWaitTimer(hwnd);
    LPRTrace("VEXLOLPR wsock_wait() : waitinfo.timeout=%lu msec. x=%u msec. count=%u giveuptime=%u wsockio",
             waitinfo.timeout, TIMER_TICK, count, giveuptime);
    LPRTrace("VEXLOLPR wsock_wait() waiting for WSA_MSG=%d events=%#x wsockio", static_cast<int>(WSA_MSG),
             static_cast<unsigned>(events));
    while (waitinfo.ret == RET_PENDING && IsWindow(hwndwait)) {
        // Without a timer the loop posts the time-out to itself, on every pass until
        // the dialog has taken it.
        if (giveuptime != 0 && static_cast<int32_t>(GetTickCount() - giveuptime) > 0) {
            LPRTrace("VEXLOLPR wsock_wait()... GIVEUP - IDT_TIMEOUT wsockio");
            PostMessageA(hwndwait, WM_TIMER, IDT_TIMEOUT, 0);
        } else if (giveuptime != 0) {
            // Without a timer nothing need arrive before the give-up time: wait for a
            // message only until then, so that the loop comes back to post the time-out.
            // Input already queued counts too: messages fetched one at a time leave the
            // rest "seen", and a wait for new input alone would sleep past them.
            DWORD left = giveuptime - GetTickCount();
            if (MsgWaitForMultipleObjectsEx(0, nullptr, left + 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_TIMEOUT)
                continue;
        }
        PumpMessage(hwndwait, true);
    }
    if (IsWindow(hwndwait))
        KillTimer(hwndwait, IDT_TIMEOUT);
    RepostQuit();
    waitinfo.myevent = 0;
    LPRTrace("VEXLOLPR wsock_wait() exited...OK waitinfo.ret=%d wsockio", waitinfo.ret);
    return waitinfo.ret;
}

void wsock_settext(const char *text)
{
    LPRTrace("VEXLOLPR wsock_settext()... wsockio");
    if (IsWindow(hwndwait))
        SetDlgItemTextA(hwndwait, IDC_CAPTION, text);
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
    SetDlgItemLong(hwndwait, IDC_PROGRESS, n);
}

void wsock_setsize(int64_t n)
{
    LPRTrace("VEXLOLPR wsock_setsize()... wsockio");
    HWND hwnd = hwndwait;
    if (IsWindow(hwnd)) {
        for (int id : {IDC_SIZE, IDC_PROGRESS, IDC_TRANSFERRED, IDC_OUTOF, IDC_BYTES})
            ShowWindow(GetDlgItem(hwnd, id), SW_SHOWNORMAL);
    }
    SetDlgItemLong(hwnd, IDC_SIZE, n);
}

bool WaitDialogAlive() { return IsWindow(hwndwait) != FALSE; }

int CancelWait()
{
    // Posted, not sent: the cancel takes effect when the waiting loop dispatches it,
    // exactly like a click on the button, and may come from any thread.
    HWND hwnd = hwndwait;
    if (!IsWindow(hwnd))
        return 1;
    return PostMessageA(hwnd, WM_COMMAND, IDC_CANCEL, 0) ? 0 : 1;
}

// ---- the wait state -----------------------------------------------------------------------

HWND ClaimWaitState(SOCKET sd, int type, LPR_COMMONARG *lpcommonarg)
{
    hwndwait = HWND_CLAIMED;
    lperrorcode = &lpcommonarg->errorcode;
    lpcommonarg->errorcode = 0;
    armerror = 0;
    HWND hwnd = wsock_CreateWaitDialog(0, sd, lpcommonarg->replytimeout, type == 2 ? 0 : FLAG_STREAM);
    if (hwnd != 0 && armerror != 0) {
        // Without its notifications the socket would stay blocking, out of reach of the
        // time-outs and of Cancel: a dialog that cannot take them cannot serve.
        DestroyWindow(hwnd);
        hwnd = 0;
        winsock.WSASetLastError(armerror);
    }
    if (hwnd == 0) {
        // The caller reports the socket error: it must be this failure's, not one left
        // over from an earlier call (a refused connect would read as "LPD is not
        // running").  A dialog that cannot be made is a resource that ran out.
        if (armerror == 0)
            winsock.WSASetLastError(WSAENOBUFS);
        waitinfo.mysocket = 0;
        lperrorcode = nullptr;
    }
    hwndwait = hwnd;
    return hwnd;
}

bool FollowSocket(SOCKET sd)
{
    if (winsock.WSAAsyncSelect(sd, hwndwait, WSA_MSG, WAIT_EVENTS) != 0)
        return false;
    waitinfo.mysocket = sd;
    return true;
}

void ReturnToSocket(SOCKET sd) { waitinfo.mysocket = sd; }

void PointCancelMark(LPR_COMMONARG *lpcommonarg)
{
    // Outside a request's wait state there is no dialog to cancel, and a pointer kept
    // there would outlive the request block.
    if (hwndwait != 0)
        lperrorcode = &lpcommonarg->errorcode;
}

void StopNotifications()
{
    HWND hwnd = hwndwait;
    if (IsWindow(hwnd))
        wsock_endasynchw(hwnd);
}

void FreeWaitState()
{
    HWND hwnd = hwndwait;
    if (IsWindow(hwnd)) {
        EndDialog(hwnd, -1);
        DestroyWindow(hwnd);
    }
    waitinfo.ret = RET_ERR;
    waitinfo.mysocket = 0;
    hwndwait = 0;
    lperrorcode = nullptr; // a late Cancel must not write into a finished request
}

void AbandonWaitState()
{
    if (hwndwait == 0)
        return;
    if (waitinfo.mysocket != 0)
        wsock_abort(waitinfo.mysocket);
    else
        FreeWaitState();
}

WaitTimeout::WaitTimeout(DWORD ms) : saved_(waitinfo.timeout) { waitinfo.timeout = ms; }

WaitTimeout::~WaitTimeout() { waitinfo.timeout = saved_; }

static void Cancel()
{
    LPRTrace("VEXLOLPR WNWaitDlg() canceled... wsockio");
    // The cancel mark replaces whatever code is there.  Once the operation has given
    // the wait state back there is no request to mark.
    if (lperrorcode != nullptr)
        *lperrorcode = LPR_ERR_CANCELLED;
    waitinfo.ret = RET_PENDING;
}

// ---- one request at a time ------------------------------------------------------------

static bool ClaimTurn(DWORD me)
{
    DWORD free = 0;
    if (!turnowner.compare_exchange_strong(free, me, std::memory_order_acquire))
        return false;
    turndepth = 1;
    return true;
}

// Runs the messages the thread has now.  A WM_QUIT is the application's: it is posted
// again when the waiting ends.
static void DispatchPending(bool *quit, int *quitexit)
{
    MSG msg;
    while (PeekMessageA(&msg, 0, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            *quit = true;
            *quitexit = static_cast<int>(msg.wParam);
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

Turn TakeTurn(DWORD seconds, bool trace)
{
    DWORD me = GetCurrentThreadId();
    if (turnowner.load(std::memory_order_relaxed) == me) {
        turndepth++;
        return Turn::NESTED;
    }
    if (ClaimTurn(me))
        return Turn::FIRST;
    LPRTraceIf(trace, "VEXLOLPR TakeTurn() : WAITING lpr-timeout=%u sec. for the request of another thread wsockio",
               seconds);
    // Compared by elapsed time: immune to the tick count wrapping; any length is good.
    uint64_t span = static_cast<uint64_t>(seconds) * 1000u;
    uint64_t waited = 0;
    DWORD last = GetTickCount();
    bool quit = false;
    int quitexit = 0;
    Turn turn = Turn::BUSY;
    for (;;) {
        DispatchPending(&quit, &quitexit);
        if (ClaimTurn(me)) {
            turn = Turn::FIRST;
            break;
        }
        DWORD now = GetTickCount();
        waited += now - last;
        last = now;
        if (waited >= span)
            break;
        uint64_t left = span - waited;
        MsgWaitForMultipleObjectsEx(0, nullptr, left < TURN_POLL ? static_cast<DWORD>(left) : TURN_POLL, QS_ALLINPUT,
                                    MWMO_INPUTAVAILABLE);
    }
    if (quit)
        PostQuitMessage(quitexit);
    if (turn == Turn::BUSY)
        LPRTraceIf(trace, "VEXLOLPR ERROR TakeTurn() exited... the request of another thread still runs wsockio");
    return turn;
}

void GiveTurn(Turn turn)
{
    if (turn == Turn::BUSY || --turndepth > 0)
        return;
    turnowner.store(0, std::memory_order_release);
}

} // namespace vx

using namespace vx;

extern "C" LPR_EXPORT INT_PTR LPRAPI WNWaitDlg(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    LPRTrace("VEXLOLPR WNWaitDlg() entered... wMsg=%d wsockio", static_cast<int>(msg));
    switch (msg) {
    case WSA_MSG: {
        int ret = wsock_AsynhMessage(wparam, lparam);
        if (ret == RET_PENDING)
            return FALSE;
        waitinfo.ret = ret;
        return TRUE;
    }
    case WM_INITDIALOG:
        // The creation parameter is waitinfo itself; its socket is armed before
        // hwndwait holds the window, and is non-blocking from here on.
        LPRTrace("VEXLOLPR WNWaitDlg() : WM_INITDIALOG set all events for WSA_MSG=%d hwndwait=%lu wsockio",
                 static_cast<int>(WSA_MSG), TraceWord(hwndwait.load()));
        if (winsock.WSAAsyncSelect(reinterpret_cast<WAITINFO *>(lparam)->mysocket, hwnd, WSA_MSG, WAIT_EVENTS) != 0) {
            int error = winsock.WSAGetLastError();
            armerror = error != 0 ? error : WSAENOBUFS;
        }
        return TRUE;
    case WM_COMMAND:
        if (wparam == static_cast<WPARAM>(IDC_CANCEL) || wparam == static_cast<WPARAM>(IDCANCEL)) {
            Cancel();
            return TRUE;
        }
        return FALSE;
    case WM_TIMER:
        wsock_AsynchTimeout(hwnd, wparam);
        return TRUE;
    default:
        return FALSE;
    }
}
