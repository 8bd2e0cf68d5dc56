/* lprcases.c - behaviour cases of VEXLOLPR.DLL, run under Wine by run_wine.sh, each
 * against a fake LPD (fake_lpd.py) that checks the bytes on the wire.
 *
 * The DLL is loaded with LoadLibraryA and every export is called by ordinal, as a
 * program that binds at run time does.  One case per run, so that each starts from the
 * DLL's load state (the first reserved local port, no trace switch, no error text):
 *   lprcases.exe print HOST FILE       job, data file first, trace off: no trace lines
 *   lprcases.exe printcf HOST FILE     job, control file first
 *   lprcases.exe trace HOST FILE       job with debugflags 0x10: the trace lines
 *   lprcases.exe queue HOST            queue listing, LPR_FreeQueue
 *   lprcases.exe remove HOST           removal of job 42 as "user"
 *   lprcases.exe timeout HOST          silent server, replytimeout 1500
 *   lprcases.exe cancel HOST           silent server, cancel from the program's own timer
 *   lprcases.exe threads HOST FILE     silent server held by a thread; this thread's request
 *                                      fails as busy after its lprtimeout
 *   lprcases.exe gui HOST FILE         status dialog shown, a slow server; Cancel is
 *                                      clicked from outside (run_gui.sh)
 *   lprcases.exe nowinsock             WSOCK32.DLL cannot be loaded (run with wsock32=d)
 * The queue is "lp" throughout.  Trace lines are caught in-process: OutputDebugStringA
 * raises the debug-string exception, which a vectored handler sees first.  That is a
 * raised exception, not a hardware fault: the 32-bit build may run under qemu-i386,
 * which reports faults with the wrong code (an access violation as an illegal
 * instruction) and does not survive guard pages, so no case may rely on either.
 * Exit status 0 when every expectation held. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vexlolpr.h>

#ifndef DBG_PRINTEXCEPTION_C
#define DBG_PRINTEXCEPTION_C 0x40010006L
#endif

typedef WORD(LPRAPI *PrintFn)(LPR_PRINTARG *, LPR_COMMONARG *);
typedef WORD(LPRAPI *DeleteFn)(LPR_DELETEARG *, LPR_COMMONARG *);
typedef WORD(LPRAPI *QueueFn)(LPR_QUEUEARG *, LPR_COMMONARG *);
typedef WORD(LPRAPI *FreeFn)(char **);
typedef int(LPRAPI *TextFn)(char *, int);
typedef int(LPRAPI *CancelFn)(void);
typedef int(LPRAPI *CancelRequestFn)(LPR_COMMONARG *);
typedef WORD(LPRAPI *PrintJobFn)(LPR_PRINTARG *, LPR_COMMONARG *, LPR_JOBINFO *);
typedef int(LPRAPI *FindJobFn)(const char *, DWORD, const char *, const char *, LPR_JOBENTRY *);

static PrintFn lpr_print;
static DeleteFn lpr_delete;
static QueueFn lpr_queue;
static FreeFn lpr_free;
static TextFn lpr_lasttext;
static CancelFn lpr_cancel;
static CancelRequestFn lpr_cancelrequest;
static PrintJobFn lpr_printjob;
static FindJobFn lpr_findjob;

static int failures;

static void expect(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    fflush(stdout);
    if (!ok)
        failures++;
}

/* ---- debug output ------------------------------------------------------------------ */

static CRITICAL_SECTION tracelock;
static char tracebuf[1 << 20];
static size_t tracelen;
static int tracecut;

static LONG CALLBACK CatchDebugString(EXCEPTION_POINTERS *info)
{
    const EXCEPTION_RECORD *rec = info->ExceptionRecord;
    if ((DWORD)rec->ExceptionCode != (DWORD)DBG_PRINTEXCEPTION_C || rec->NumberParameters < 2)
        return EXCEPTION_CONTINUE_SEARCH;
    /* Parameters: the length with the terminator, the text. */
    const char *text = (const char *)rec->ExceptionInformation[1];
    size_t n = text != NULL ? strnlen(text, (size_t)rec->ExceptionInformation[0]) : 0;
    EnterCriticalSection(&tracelock);
    if (tracelen + n >= sizeof tracebuf) {
        tracecut = 1;
    } else {
        memcpy(tracebuf + tracelen, text, n);
        tracelen += n;
        tracebuf[tracelen] = '\0';
    }
    LeaveCriticalSection(&tracelock);
    return EXCEPTION_CONTINUE_EXECUTION;
}

static void ClearTrace(void)
{
    EnterCriticalSection(&tracelock);
    tracelen = 0;
    tracecut = 0;
    tracebuf[0] = '\0';
    LeaveCriticalSection(&tracelock);
}

/* A thread's start or end may be traced at any moment, in between the request's lines. */
static int IsThreadLine(const char *p) { return strncmp(p, "LPR: Thread ", 12) == 0; }

/* The n-th line (from 0) of the captured output, lines ended by CR LF, not counting
   the thread notifications; NULL past the end. */
static const char *TraceLine(int n, char *out, size_t size)
{
    const char *p = tracebuf;
    for (;;) {
        const char *end = strstr(p, "\r\n");
        if (end == NULL)
            return NULL;
        if (IsThreadLine(p)) {
            p = end + 2;
            continue;
        }
        if (n-- == 0) {
            size_t len = (size_t)(end - p) < size - 1 ? (size_t)(end - p) : size - 1;
            memcpy(out, p, len);
            out[len] = '\0';
            return out;
        }
        p = end + 2;
    }
}

static int TraceLineCount(void)
{
    int n = 0;
    const char *p = tracebuf;
    const char *end;
    while ((end = strstr(p, "\r\n")) != NULL) {
        if (!IsThreadLine(p))
            n++;
        p = end + 2;
    }
    return n;
}

/* "prefix<one or more digits>suffix", exactly. */
static int MatchesNumber(const char *s, const char *prefix, const char *suffix)
{
    size_t plen = strlen(prefix);
    if (strncmp(s, prefix, plen) != 0)
        return 0;
    s += plen;
    if (*s < '0' || *s > '9')
        return 0;
    while (*s >= '0' && *s <= '9')
        s++;
    return strcmp(s, suffix) == 0;
}

static int HasTraceLine(const char *prefix, const char *infix)
{
    char line[512];
    int i;
    for (i = 0; TraceLine(i, line, sizeof line) != NULL; i++)
        if (strncmp(line, prefix, strlen(prefix)) == 0 && (infix == NULL || strstr(line, infix) != NULL))
            return 1;
    return 0;
}

/* ---- requests ------------------------------------------------------------------------ */

static void Common(LPR_COMMONARG *common, const char *user, DWORD replytimeout, WORD debugflags)
{
    memset(common, 0, sizeof *common);
    common->username = user;
    common->clienthost = "winclient";
    common->replytimeout = replytimeout;
    common->lprtimeout = 5;
    common->debugflags = debugflags;
    common->errorcode = 0;
}

static void Job(LPR_PRINTARG *job, const char *host, const char *file, BOOL controlfirst)
{
    memset(job, 0, sizeof *job);
    job->filename = file;
    job->host = host;
    job->printer = "lp";
    job->copies = 1;
    job->format = 'f';
    job->jobname = "winjob";
    job->controlfirst = controlfirst;
}

static void Report(const char *what, WORD ret, const LPR_COMMONARG *common)
{
    char text[256];
    lpr_lasttext(text, (int)sizeof text);
    printf("%s: result %u, errorcode %d, text \"%s\"\n", what, (unsigned)ret, (int)common->errorcode, text);
}

static int LastTextIs(const char *want)
{
    char text[256];
    return lpr_lasttext(text, (int)sizeof text) == (int)strlen(want) && strcmp(text, want) == 0;
}

/* A job that the fake LPD takes; the server checks what arrived. */
static void CasePrint(const char *host, const char *file, BOOL controlfirst, WORD debugflags)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    WORD ret;
    LPR_JOBINFO info;
    Common(&common, "tester", 10000, debugflags);
    Job(&job, host, file, controlfirst);
    ClearTrace();
    /* The control-first job goes through the job handle's export. */
    memset(&info, 0x5a, sizeof info);
    info.size = sizeof info;
    ret = controlfirst ? lpr_printjob(&job, &common, &info) : lpr_print(&job, &common);
    Report(controlfirst ? "print, control file first" : "print, data file first", ret, &common);
    expect(ret == LPR_OK && common.errorcode == 0, "the job went through");
    if (controlfirst) {
        char name[16];
        snprintf(name, sizeof name, "cfA%03u", (unsigned)info.jobnumber);
        printf("job handle: state %d, job %u, %s, %s, %lu bytes\n", (int)info.state, (unsigned)info.jobnumber,
               info.controlfile, info.datafile, (unsigned long)info.bytessent);
        expect(info.state == LPR_JOB_QUEUED && info.jobnumber >= 1 && info.jobnumber <= 999 &&
                   strncmp(info.controlfile, name, 6) == 0 && info.datafile[0] == 'd' &&
                   strcmp(info.controlfile + 1, info.datafile + 1) == 0 && info.bytessent > 0,
               "the job handle names the queued job, its number and its files");
    }
    expect(LastTextIs(""), "a job that went through leaves no error text");
    expect(lpr_cancel() == 1, "no request in progress afterwards");
    if (debugflags == 0)
        expect(strstr(tracebuf, "VEXLOLPR") == NULL && strstr(tracebuf, "LPR:") == NULL,
               "trace off: no trace lines");
}

/* A listing read through the export, by the calling convention of the platform. */
static void CaseFind(void)
{
    static const char listing[] = "Rank   Owner      Job  Files       Total Size \0"
                                  "active tester     350  job.bin     20 bytes \0"
                                  "1st    other      351  job.bin     20 bytes \0";
    LPR_JOBENTRY entry;
    memset(&entry, 0, sizeof entry);
    entry.size = sizeof entry;
    expect(lpr_findjob(listing, 351, "other", NULL, &entry) == LPR_FIND_LISTED && entry.position == 2 &&
               strcmp(entry.rank, "1st") == 0,
           "LPR_FindJob finds a job by number and owner");
    expect(lpr_findjob(listing, 7, "tester", "C:\\data\\job.bin", &entry) == LPR_FIND_LISTED &&
               entry.jobnumber == 350 && lpr_findjob(listing, 7, "tester", "job.txt", &entry) == LPR_FIND_NOT_LISTED,
           "LPR_FindJob finds a renumbered job by the last part of its path");
}

static void CaseTrace(const char *host, const char *file)
{
    char line[512];
    int count;
    CasePrint(host, file, FALSE, LPR_DEBUG_TRACE);
    count = TraceLineCount();
    printf("trace: %d line(s) captured\n", count);
    expect(!tracecut, "the trace fits the capture buffer");
    expect(TraceLine(0, line, sizeof line) != NULL &&
               MatchesNumber(line, "VEXLOLPR LPR_Print() entered now=", "... lprws"),
           "first trace line: VEXLOLPR LPR_Print() entered now=<digits>... lprws");
    if (count > 0)
        printf("trace: first line \"%s\"\n", line);
    expect(tracelen >= 2 && strcmp(tracebuf + tracelen - 2, "\r\n") == 0, "every trace line ends in CR LF");
    expect(HasTraceLine("VEXLOLPR getandbind() exited...sd=", " localport="), "the bound socket is traced");
    expect(HasTraceLine("VEXLOLPR wsock_do_control_file() DONE sending control file", NULL),
           "the control file is traced");
    expect(count > 0 && TraceLine(count - 1, line, sizeof line) != NULL &&
               MatchesNumber(line, "VEXLOLPR LPR_Print() exited... ret=0 lpcommonarg->errorcode=0 now=", " lprws"),
           "last trace line: LPR_Print() exited... ret=0 ... now=<digits> lprws");
    if (count > 0)
        printf("trace: last line \"%s\"\n", line);
}

static void CaseQueue(const char *host)
{
    /* What fake_lpd.py sends, line by line; each comes back with one space added. */
    static const char *const lines[] = {
        "lp is ready and printing",
        "Rank   Owner      Job  Files                 Total Size",
        "active tester     42   job.bin               100000 bytes",
        "1st    user       43   notes.txt             512 bytes",
    };
    LPR_COMMONARG common;
    LPR_QUEUEARG queue;
    char *listing = NULL;
    WORD ret;
    Common(&common, "tester", 10000, 0);
    queue.host = host;
    queue.printer = "lp";
    queue.lplpqueue = &listing;
    ret = lpr_queue(&queue, &common);
    Report("queue", ret, &common);
    expect(ret == LPR_OK && common.errorcode == 0 && listing != NULL, "the listing arrived");
    if (listing != NULL) {
        const char *p = listing;
        size_t i;
        int same = 1;
        for (i = 0; i < sizeof lines / sizeof lines[0]; i++) {
            char want[128];
            snprintf(want, sizeof want, "%s ", lines[i]);
            printf("queue line %u: \"%s\"\n", (unsigned)i, p);
            if (strcmp(p, want) != 0) {
                same = 0;
                break;
            }
            p += strlen(p) + 1;
        }
        expect(same, "each line as sent, NUL-terminated, ending in one space");
        expect(same && *p == '\0', "an empty string ends the listing");
        expect(lpr_free(&listing) == 0 && listing == NULL, "LPR_FreeQueue gives it back and clears the variable");
        expect(lpr_free(&listing) == 0, "LPR_FreeQueue leaves a NULL listing alone");
    }
}

static void CaseRemove(const char *host)
{
    LPR_COMMONARG common;
    LPR_DELETEARG removal;
    WORD ret;
    Common(&common, "user", 10000, 0);
    removal.host = host;
    removal.printer = "lp";
    removal.jobnumber = 42;
    ret = lpr_delete(&removal, &common);
    Report("remove", ret, &common);
    expect(ret == LPR_OK && common.errorcode == 0, "the removal went through");
}

static void CaseTimeout(const char *host, const char *file)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    WORD ret;
    DWORD start, elapsed;
    Common(&common, "tester", 1500, 0);
    Job(&job, host, file, FALSE);
    start = GetTickCount();
    ret = lpr_print(&job, &common);
    elapsed = GetTickCount() - start;
    Report("silent server", ret, &common);
    printf("silent server: the request took %lu ms\n", (unsigned long)elapsed);
    expect(ret == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_NETWORK, "result 59, errorcode 4943");
    expect(LastTextIs("Couldn't verify 'Initial' command"), "text: Couldn't verify 'Initial' command");
    expect(elapsed >= 1400 && elapsed < 10000, "it gave up after the reply time-out, not before");
}

/* ---- requests of two threads at once ---------------------------------------------------- */

struct Side {
    LPR_PRINTARG job;
    LPR_COMMONARG common;
    WORD ret;
    DWORD elapsed;
    DWORD endtick;
    DWORD thread;
    BOOL withnested; /* a timer of the thread's own window starts a request inside this one */
};
static WORD nestedret = 0xFFFF;
static LPR_COMMONARG nestedcommon;
static DWORD nestedelapsed;
static const char *nestedfile;

static LRESULT CALLBACK NestedWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_TIMER) {
        LPR_PRINTARG job;
        DWORD start = GetTickCount();
        KillTimer(hwnd, 1);
        Common(&nestedcommon, "tester", 4000, 0);
        nestedcommon.lprtimeout = 1;
        Job(&job, "127.0.0.1:9", nestedfile, FALSE); /* never reached: nothing may connect there */
        nestedret = lpr_print(&job, &nestedcommon);
        nestedelapsed = GetTickCount() - start;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static DWORD WINAPI SideRequest(LPVOID param)
{
    struct Side *side = (struct Side *)param;
    HWND window = NULL;
    DWORD start;
    side->thread = GetCurrentThreadId();
    if (side->withnested) {
        WNDCLASSA cls;
        memset(&cls, 0, sizeof cls);
        cls.lpfnWndProc = NestedWindowProc;
        cls.hInstance = GetModuleHandleA(NULL);
        cls.lpszClassName = "lprcasesnested";
        RegisterClassA(&cls);
        window = CreateWindowExA(0, cls.lpszClassName, "nested", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, NULL, NULL,
                                 cls.hInstance, NULL);
        SetTimer(window, 1, 300, NULL);
    }
    start = GetTickCount();
    side->ret = lpr_print(&side->job, &side->common);
    side->endtick = GetTickCount();
    side->elapsed = side->endtick - start;
    if (window != NULL)
        DestroyWindow(window);
    return 0;
}

/* The status dialog that a thread owns, if any. */
static BOOL CALLBACK FindDialog(HWND hwnd, LPARAM found)
{
    char cls[16];
    if (GetClassNameA(hwnd, cls, sizeof cls) > 0 && strcmp(cls, "#32770") == 0) {
        *(HWND *)found = hwnd;
        return FALSE;
    }
    return TRUE;
}

static HWND DialogOf(DWORD thread)
{
    HWND found = NULL;
    if (thread != 0)
        EnumThreadWindows(thread, FindDialog, (LPARAM)&found);
    return found;
}

/* A listening socket on loopback that accepts and never answers. */
static SOCKET SilentServer(char *host, size_t size)
{
    WSADATA data;
    struct sockaddr_in sin;
    int len = sizeof sin;
    SOCKET s;
    WSAStartup(MAKEWORD(1, 1), &data);
    s = socket(AF_INET, SOCK_STREAM, 0);
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || bind(s, (struct sockaddr *)&sin, sizeof sin) != 0 || listen(s, 4) != 0 ||
        getsockname(s, (struct sockaddr *)&sin, &len) != 0)
        return INVALID_SOCKET;
    snprintf(host, size, "127.0.0.1:%u", (unsigned)ntohs(sin.sin_port));
    return s;
}

/* Two threads print at once, each under a dialog of its own: A to the fake LPD, which
   holds its last acknowledgement back, B to a server of this program that never answers.
   B is cancelled through its request block; A's job arrives whole.  A request started
   from A's message loop (a timer of A's window) fails as busy after its lprtimeout,
   without a connection. */
static void CaseThreads(const char *host, const char *file)
{
    static struct Side a, b;
    char silenthost[64];
    HANDLE threads[2];
    HWND dialoga = NULL, dialogb = NULL;
    DWORD cancelat;
    int i;
    SOCKET silent = SilentServer(silenthost, sizeof silenthost);
    expect(silent != INVALID_SOCKET, "a silent server of this program listens");
    if (silent == INVALID_SOCKET)
        return;
    nestedfile = file;
    Common(&a.common, "tester", 10000, 0);
    Job(&a.job, host, file, FALSE);
    a.withnested = TRUE;
    Common(&b.common, "tester", 10000, 0);
    Job(&b.job, silenthost, file, FALSE);
    threads[0] = CreateThread(NULL, 0, SideRequest, &a, 0, NULL);
    threads[1] = CreateThread(NULL, 0, SideRequest, &b, 0, NULL);
    expect(threads[0] != NULL && threads[1] != NULL, "both threads start");
    if (threads[0] == NULL || threads[1] == NULL)
        return;
    for (i = 0; i < 500 && (dialoga == NULL || dialogb == NULL); i++) {
        Sleep(10);
        dialoga = DialogOf(a.thread);
        dialogb = DialogOf(b.thread);
    }
    expect(dialoga != NULL && dialogb != NULL && dialoga != dialogb,
           "each request has a status dialog of its own, on its own thread");
    cancelat = GetTickCount();
    expect(lpr_cancelrequest(&b.common) == 0, "LPR_CancelRequest posts a cancel to B's request");
    expect(WaitForMultipleObjects(2, threads, TRUE, 20000) == WAIT_OBJECT_0, "both requests end");
    CloseHandle(threads[0]);
    CloseHandle(threads[1]);
    closesocket(silent);
    Report("A, the fake LPD", a.ret, &a.common);
    Report("B, cancelled", b.ret, &b.common);
    printf("A took %lu ms; B ended %lu ms after its cancel; the nested request waited %lu ms\n",
           (unsigned long)a.elapsed, (unsigned long)(b.endtick - cancelat), (unsigned long)nestedelapsed);
    expect(a.ret == LPR_OK && a.common.errorcode == 0, "A's job went through");
    expect(b.ret == LPR_R_UNEXP_NET_ERR && b.common.errorcode == LPR_ERR_CANCELLED, "B: result 59, errorcode 4601");
    expect(b.endtick - cancelat < 3000, "B ended by its cancel, within its one-second read slice");
    expect(nestedret == LPR_R_UNEXP_NET_ERR && nestedcommon.errorcode == LPR_ERR_NETWORK,
           "the request started inside A: result 59, errorcode 4943");
    expect(nestedelapsed >= 900 && nestedelapsed < 3000, "it waited its lprtimeout for A's dialog, no more");
    expect(lpr_cancelrequest(&b.common) == 1, "no request runs with B's block any more");
}

/* ---- cancel from the program's own window ------------------------------------------------ */

#define CANCEL_TIMER 77
static int timerfired;
static int cancelresult = -1;
static DWORD cancelat;

static LRESULT CALLBACK AppWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_TIMER && wparam == CANCEL_TIMER) {
        KillTimer(hwnd, CANCEL_TIMER);
        timerfired++;
        cancelat = GetTickCount();
        cancelresult = lpr_cancel();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static void CaseCancel(const char *host, const char *file)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    WNDCLASSA cls;
    HWND hwnd;
    WORD ret;
    DWORD start, elapsed;
    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = AppWindowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "lprcasesapp";
    expect(RegisterClassA(&cls) != 0, "the program's window class is registered");
    hwnd = CreateWindowExA(0, cls.lpszClassName, "lprcases", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL,
                           cls.hInstance, NULL);
    expect(hwnd != NULL, "the program's window is created");
    if (hwnd == NULL)
        return;
    /* Only the request's wait loop dispatches messages from here on. */
    expect(SetTimer(hwnd, CANCEL_TIMER, 600, NULL) != 0, "the program's timer is set");
    Common(&common, "tester", 20000, 0);
    Job(&job, host, file, FALSE);
    start = GetTickCount();
    ret = lpr_print(&job, &common);
    elapsed = GetTickCount() - start;
    Report("cancel", ret, &common);
    printf("cancel: the request took %lu ms, the timer fired %d time(s) after %lu ms\n", (unsigned long)elapsed,
           timerfired, (unsigned long)(cancelat - start));
    expect(timerfired == 1, "the program's WM_TIMER was dispatched by the request's wait loop");
    expect(cancelresult == 0, "LPR_CancelBlockingCall from the window procedure posted a cancel");
    expect(ret == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_CANCELLED, "result 59, errorcode 4601");
    expect(elapsed < 10000, "the request ended well before its reply time-out");
    expect(lpr_cancel() == 1, "no request in progress afterwards");
    KillTimer(hwnd, CANCEL_TIMER);
    DestroyWindow(hwnd);
}

/* ---- the status dialog on a desktop, cancelled by a click --------------------------------- */

#define WATCH_TIMER 78
#define SAFETY_TIMER 79
#define SAFETY_MS 30000
static HWND seendialog;
static int seenvisible;
static char seentext[256];
static char seentotal[32];
static long long seenprogress = -1;
static RECT seencancel;
static int toldcancel;
static int safetyfired;

/* Every tick: what the status dialog shows, as long as it is there.  The last values
   seen before the click are the ones reported. */
static struct Side other;   /* a second thread's job, under a dialog of its own */
static HWND otherdialog;
static int othervisible;

/* The second thread's dialog is moved beside this one, so that a screenshot shows both. */
static void WatchOtherDialog(void)
{
    HWND dialog = DialogOf(other.thread);
    if (dialog == NULL || otherdialog != NULL || !IsWindowVisible(dialog))
        return;
    otherdialog = dialog;
    othervisible = 1;
    SetWindowPos(dialog, NULL, 20, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    printf("gui: the second thread's dialog is on the screen as well\n");
    fflush(stdout);
}

static void WatchDialog(void)
{
    HWND dialog = DialogOf(GetCurrentThreadId());
    char counter[32];
    if (other.thread != 0)
        WatchOtherDialog();
    if (dialog == NULL)
        return;
    if (seendialog == NULL) {
        seendialog = dialog;
        printf("gui: the status dialog exists after the request began\n");
        fflush(stdout);
    }
    if (!IsWindowVisible(dialog))
        return;
    seenvisible = 1;
    GetDlgItemTextA(dialog, 2801, seentext, (int)sizeof seentext);
    GetDlgItemTextA(dialog, 2807, seentotal, (int)sizeof seentotal);
    if (GetDlgItemTextA(dialog, 2805, counter, (int)sizeof counter) > 0)
        seenprogress = atoll(counter);
    GetWindowRect(GetDlgItem(dialog, 2615), &seencancel);
    if (!toldcancel && seencancel.right > seencancel.left) {
        /* Where to click, on screen: a window manager's frame moves the dialog. */
        toldcancel = 1;
        printf("gui: Cancel button now at screen %ld,%ld-%ld,%ld\n", (long)seencancel.left,
               (long)seencancel.top, (long)seencancel.right, (long)seencancel.bottom);
        fflush(stdout);
    }
}

static LRESULT CALLBACK GuiWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam)
{
    if (msg == WM_TIMER && wparam == WATCH_TIMER) {
        WatchDialog();
        return 0;
    }
    if (msg == WM_TIMER && wparam == SAFETY_TIMER) {
        /* Nobody clicked: end the request rather than send the whole file slowly. */
        KillTimer(hwnd, SAFETY_TIMER);
        safetyfired = 1;
        printf("gui: no click within %d ms; cancelling from the program\n", SAFETY_MS);
        fflush(stdout);
        lpr_cancel();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wparam, lparam);
}

static void CaseGui(const char *host, const char *file, const char *otherhost)
{
    HANDLE otherthread = NULL;
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    WNDCLASSA cls;
    HWND hwnd;
    WORD ret;
    DWORD start, elapsed;
    char want[256], size[32];
    HANDLE h;
    LARGE_INTEGER filesize;

    h = CreateFileA(file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    expect(h != INVALID_HANDLE_VALUE && GetFileSizeEx(h, &filesize), "the file's size is known");
    if (h == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(h);
    snprintf(size, sizeof size, "%lld", (long long)filesize.QuadPart);

    memset(&cls, 0, sizeof cls);
    cls.lpfnWndProc = GuiWindowProc;
    cls.hInstance = GetModuleHandleA(NULL);
    cls.lpszClassName = "lprcasesgui";
    expect(RegisterClassA(&cls) != 0, "the program's window class is registered");
    /* Never shown: it only receives the timers, which the request's wait loop dispatches. */
    hwnd = CreateWindowExA(0, cls.lpszClassName, "lprcases", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL,
                           cls.hInstance, NULL);
    expect(hwnd != NULL, "the program's window is created");
    if (hwnd == NULL)
        return;
    expect(SetTimer(hwnd, WATCH_TIMER, 100, NULL) != 0 && SetTimer(hwnd, SAFETY_TIMER, SAFETY_MS, NULL) != 0,
           "the program's timers are set");

    if (otherhost != NULL) {
        Common(&other.common, "tester", 40000, 0);
        other.common.showdialog = TRUE;
        Job(&other.job, otherhost, file, FALSE);
        otherthread = CreateThread(NULL, 0, SideRequest, &other, 0, NULL);
        expect(otherthread != NULL, "the second thread starts");
    }
    Common(&common, "tester", 10000, 0);
    common.showdialog = TRUE;
    Job(&job, host, file, FALSE);
    start = GetTickCount();
    ret = lpr_print(&job, &common);
    elapsed = GetTickCount() - start;
    KillTimer(hwnd, WATCH_TIMER);
    KillTimer(hwnd, SAFETY_TIMER);
    Report("gui", ret, &common);
    printf("gui: the request took %lu ms\n", (unsigned long)elapsed);
    printf("gui: dialog text \"%s\"\n", seentext);
    printf("gui: last counter seen %lld out of \"%s\" bytes\n", seenprogress, seentotal);
    printf("gui: Cancel button at screen %ld,%ld-%ld,%ld\n", (long)seencancel.left, (long)seencancel.top,
           (long)seencancel.right, (long)seencancel.bottom);

    snprintf(want, sizeof want, "Sending print job to\nhost: %s\nprinter: lp", host);
    expect(seendialog != NULL && seenvisible, "the status dialog was shown while the request ran");
    expect(strcmp(seentext, want) == 0, "its text names the host and the printer");
    expect(strcmp(seentotal, size) == 0, "its total is the file's size");
    expect(seenprogress > 0 && seenprogress < (long long)filesize.QuadPart,
           "its counter had moved, and the file was not all sent, before the cancel");
    expect(!safetyfired, "the request was cancelled from its dialog, not by the program");
    expect(ret == LPR_R_GEN_FAILURE && common.errorcode == LPR_ERR_CANCELLED, "result 31, errorcode 4601");
    expect(LastTextIs("Couldn't send data file"), "text: Couldn't send data file");
    expect(seendialog != NULL && !IsWindow(seendialog), "the dialog is gone afterwards");
    if (otherthread != NULL) {
        expect(WaitForSingleObject(otherthread, 40000) == WAIT_OBJECT_0, "the second thread's request ends");
        CloseHandle(otherthread);
        Report("gui, second thread", other.ret, &other.common);
        expect(othervisible, "the second thread's dialog was on the screen beside the first");
        expect(other.ret == LPR_OK && other.common.errorcode == 0,
               "the click cancelled the first thread's job only: the second one went through");
    }
    expect(lpr_cancel() == 1, "no request in progress afterwards");
    DestroyWindow(hwnd);
}

/* ---- no socket layer --------------------------------------------------------------------- */

static void CaseNoWinsock(const char *file)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    LPR_QUEUEARG queue;
    LPR_DELETEARG removal;
    char *listing = NULL;
    WORD ret;
    expect(GetModuleHandleA("WSOCK32.DLL") == NULL && LoadLibraryA("WSOCK32.DLL") == NULL,
           "WSOCK32.DLL cannot be loaded in this run");

    Common(&common, "tester", 5000, LPR_DEBUG_TRACE);
    Job(&job, "127.0.0.1:9", file, FALSE);
    ClearTrace();
    ret = lpr_print(&job, &common);
    Report("print without Winsock", ret, &common);
    expect(ret == LPR_R_UNEXP_NET_ERR && common.errorcode == LPR_ERR_NETWORK, "LPR_Print: result 59, errorcode 4943");
    expect(HasTraceLine("VEXLOLPR ERROR:Can't find file WSOCK32.DLL.", NULL),
           "the trace tells that WSOCK32.DLL was not found");
    expect(!HasTraceLine("VEXLOLPR LPR_Print() exited", NULL), "no exit line on an entry failure");

    Common(&common, "tester", 5000, 0);
    queue.host = "127.0.0.1:9";
    queue.printer = "lp";
    queue.lplpqueue = &listing;
    ret = lpr_queue(&queue, &common);
    Report("queue without Winsock", ret, &common);
    expect(ret == LPR_R_NOT_SUPPORTED && common.errorcode == LPR_ERR_NETWORK, "LPR_GetQueue: result 50, errorcode 4943");
    expect(listing == NULL && lpr_free(&listing) == 0, "no listing to give back");

    Common(&common, "tester", 5000, 0);
    common.errorcode = 777; /* an earlier failure of the caller's stays the first one */
    removal.host = "127.0.0.1:9";
    removal.printer = "lp";
    removal.jobnumber = 42;
    ret = lpr_delete(&removal, &common);
    Report("remove without Winsock", ret, &common);
    expect(ret == LPR_R_NOT_SUPPORTED && common.errorcode == 777, "LPR_DeleteJob: result 50, errorcode kept");
    expect(LastTextIs(""), "the error text is left as it was");
}

int main(int argc, char **argv)
{
    HMODULE dll;
    const char *name = argc > 1 ? argv[1] : "";
    const char *host = argc > 2 ? argv[2] : "";
    const char *file = argc > 3 ? argv[3] : "";

    InitializeCriticalSection(&tracelock);
    if (AddVectoredExceptionHandler(1, CatchDebugString) == NULL) {
        printf("FAILED: no vectored exception handler\n");
        return 1;
    }
    /* Messages boxes of the loader would hang a run without a desktop. */
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    dll = LoadLibraryA("VEXLOLPR.DLL");
    expect(dll != NULL, "VEXLOLPR.DLL loads with LoadLibraryA");
    if (dll == NULL)
        return 1;
    lpr_print = (PrintFn)GetProcAddress(dll, MAKEINTRESOURCEA(501));
    lpr_delete = (DeleteFn)GetProcAddress(dll, MAKEINTRESOURCEA(502));
    lpr_queue = (QueueFn)GetProcAddress(dll, MAKEINTRESOURCEA(503));
    lpr_free = (FreeFn)GetProcAddress(dll, MAKEINTRESOURCEA(504));
    lpr_lasttext = (TextFn)GetProcAddress(dll, MAKEINTRESOURCEA(505));
    lpr_cancel = (CancelFn)GetProcAddress(dll, MAKEINTRESOURCEA(506));
    lpr_cancelrequest = (CancelRequestFn)GetProcAddress(dll, MAKEINTRESOURCEA(511));
    lpr_printjob = (PrintJobFn)GetProcAddress(dll, MAKEINTRESOURCEA(512));
    lpr_findjob = (FindJobFn)GetProcAddress(dll, MAKEINTRESOURCEA(513));
    expect(lpr_print && lpr_delete && lpr_queue && lpr_free && lpr_lasttext && lpr_cancel && lpr_cancelrequest &&
               lpr_printjob && lpr_findjob,
           "ordinals 501-506 and 511-513 resolve");
    if (!(lpr_print && lpr_delete && lpr_queue && lpr_free && lpr_lasttext && lpr_cancel && lpr_cancelrequest &&
          lpr_printjob && lpr_findjob))
        return 1;
    expect(tracelen == 0, "no debug output at load: the trace starts switched off");

    if (strcmp(name, "print") == 0 && argc == 4)
        CasePrint(host, file, FALSE, 0);
    else if (strcmp(name, "printcf") == 0 && argc == 4) {
        CasePrint(host, file, TRUE, 0);
        CaseFind();
    }
    else if (strcmp(name, "trace") == 0 && argc == 4)
        CaseTrace(host, file);
    else if (strcmp(name, "queue") == 0 && argc == 3)
        CaseQueue(host);
    else if (strcmp(name, "remove") == 0 && argc == 3)
        CaseRemove(host);
    else if (strcmp(name, "timeout") == 0 && argc == 4)
        CaseTimeout(host, file);
    else if (strcmp(name, "cancel") == 0 && argc == 4)
        CaseCancel(host, file);
    else if (strcmp(name, "threads") == 0 && argc == 4)
        CaseThreads(host, file);
    else if (strcmp(name, "gui") == 0 && (argc == 4 || argc == 5))
        CaseGui(host, file, argc == 5 ? argv[4] : NULL);
    else if (strcmp(name, "nowinsock") == 0 && argc == 3)
        CaseNoWinsock(argv[2]);
    else {
        printf("usage: lprcases.exe print|printcf|trace|timeout|cancel|threads|gui HOST FILE [HOST2] | "
               "queue|remove HOST | nowinsock FILE\n");
        return 2;
    }
    FreeLibrary(dll);
    printf("%s: %d failure(s)\n", name, failures);
    return failures == 0 ? 0 : 1;
}
