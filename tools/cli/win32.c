/* win32.c - the vexlolpr command's dealings with Windows: Ctrl-C and Ctrl-Break (a
 * console control handler, which the system runs on a thread of its own), the status
 * display on the console, the copy of standard input, user and host names, the pauses
 * and the clock, and the command line in the ANSI code page the DLL takes names in.
 * Owns the flags the handler shares with the running request, the pauses and the
 * display thread. */
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

/* ---- messages ------------------------------------------------------------------------ */

/* Written with WriteFile, so that the control handler's thread needs no C runtime
   locks that the main thread may hold. */
static void say(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

/* The system's text for an error code, without its closing period and line end. */
static void system_text(DWORD error, char *out, size_t size)
{
    size_t n;
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, out,
                       (DWORD)size, NULL) == 0)
        snprintf(out, size, "error %lu", (unsigned long)error);
    n = strlen(out);
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r' || out[n - 1] == ' ' || out[n - 1] == '.'))
        out[--n] = '\0';
}

/* ---- the command line -------------------------------------------------------------- */

/* The arguments as the system has them, in UTF-16, turned into the ANSI code page
   without best-fit guesses: a name the code page cannot carry would otherwise reach the
   DLL as another name ('?' or a look-alike letter), and could open another file. */
int sys_arguments(int *argc, char ***argv)
{
    int n = 0;
    int i;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    char **args;
    if (wide == NULL)
        return -1; /* the C runtime's own conversion stands */
    args = calloc((size_t)n + 1, sizeof *args);
    if (args == NULL) {
        LocalFree(wide);
        return -1;
    }
    for (i = 0; i < n; i++) {
        BOOL lossy = FALSE;
        int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, NULL, 0, NULL, &lossy);
        if (size <= 0 || (args[i] = malloc((size_t)size)) == NULL) {
            LocalFree(wide);
            return -1;
        }
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide[i], -1, args[i], size, NULL, &lossy);
        if (lossy) {
            fprintf(stderr, "%s: the argument '%s' has characters that this system's ANSI code page (%u) "
                            "cannot carry, and the library takes names in that code page\n",
                    progname, args[i], GetACP());
            LocalFree(wide);
            return EXIT_USAGE;
        }
    }
    LocalFree(wide);
    *argc = n;
    *argv = args;
    return -1;
}

/* ---- Ctrl-C ------------------------------------------------------------------------------ */

/* The handler sets `interrupted`; the main thread marks the span of each request with
   `in_request` (and `in_check` for a check-only request) and after setting it looks at
   `interrupted` again, so that a request either sees the interrupt before it starts or
   is in progress when the handler looks.  `reading` marks the copy of standard input,
   which a ReadFile on a pipe would not let go of: an interrupt there ends the command. */
static volatile LONG interrupted;
static volatile LONG in_request;
static volatile LONG in_check;
static volatile LONG reading;
/* Held while the handler posts a cancel and while a request is marked finished, so that
   no cancel is under way once the main thread goes on (or exits). */
static CRITICAL_SECTION cancel_lock;
/* Set by the handler at the first interrupt: ends a pause at once (sys_sleep_ms). */
static HANDLE wake;

static int drop_spool_now(void);

static void exit_now(const char *why)
{
    char line[96];
    drop_spool_now();
    snprintf(line, sizeof line, "%s: %s\n", progname, why);
    say(line);
    ExitProcess(EXIT_CANCELLED);
}

static BOOL WINAPI on_control(DWORD event)
{
    int posted = 0;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        /* The console closes, the user logs off: the system ends us after this. */
        drop_spool_now();
        return FALSE;
    }
    if (InterlockedExchange(&interrupted, 1))
        exit_now("interrupted again: exiting at once");
    if (wake != NULL)
        SetEvent(wake);
    /* The check-only mode has no dialog to cancel and queues nothing, so there is
       nothing to wind down: leave at once rather than after its time-out. */
    if ((in_request && in_check) || reading)
        exit_now("interrupted");
    /* A cancel can only be posted while the request has its status dialog; before it
       exists (host lookup) the cancel is tried again every 50 ms, until the request
       ends.  This thread is the system's, made for this event alone. */
    while (!posted && in_request) {
        EnterCriticalSection(&cancel_lock);
        if (in_request)
            posted = LPR_CancelBlockingCall() == 0;
        LeaveCriticalSection(&cancel_lock);
        if (!posted)
            Sleep(50);
    }
    return TRUE;
}

void sys_start(const struct Settings *s)
{
    (void)s;
    InitializeCriticalSection(&cancel_lock);
    wake = CreateEventA(NULL, TRUE, FALSE, NULL);
    SetConsoleCtrlHandler(on_control, TRUE);
}

/* ---- the status display on the console ---------------------------------------------- */

/* Without --dialog the library's dialog stays hidden, and what it shows is drawn on the
   console, as the library draws it on a POSIX terminal: the title, the caption's lines,
   the status and, for a print job, the byte counter with a bar; in place, at most ten
   times a second, left on screen in its final state.  The texts are taken as the
   library sets them: a hook on this thread's sent messages sees each WM_SETTEXT to the
   dialog's controls (the last counter of a job included, which a look at the dialog
   now and then would miss); a thread of its own draws. */
#define REDRAW_MS 100
#define BAR_WIDTH 20
#define TEXT_SIZE 256
#define ID_CAPTION 2801
#define ID_STATUS 1711
#define ID_DONE 2805
#define ID_TOTAL 2807

struct Texts {
    char caption[TEXT_SIZE], status[TEXT_SIZE], done[32], total[32];
};

struct Display {
    HANDLE console;
    HHOOK hook;
    HANDLE thread;
    HANDLE stop;
    CRITICAL_SECTION lock; /* latest, changed, seen */
    struct Texts latest;   /* as the library set them */
    int changed;           /* latest not drawn yet */
    int seen;              /* the dialog has shown something */
    SHORT lines;           /* lines on screen; the cursor is on the line below them */
};
static struct Display display;

static int console_of(HANDLE h)
{
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && h != NULL && GetConsoleMode(h, &mode);
}

static void copy_text(char *to, size_t size, const char *from)
{
    snprintf(to, size, "%s", from != NULL ? from : "");
}

/* The library's status dialog, by its title. */
static int is_status_dialog(HWND hwnd)
{
    char title[64];
    return hwnd != NULL && GetWindowTextA(hwnd, title, sizeof title) > 0 &&
           strcmp(title, "LPR Printing I/O Status") == 0;
}

static LRESULT CALLBACK on_message(int code, WPARAM wparam, LPARAM lparam)
{
    const CWPSTRUCT *m = (const CWPSTRUCT *)lparam;
    if (code == HC_ACTION && m->message == WM_SETTEXT && is_status_dialog(GetParent(m->hwnd))) {
        const char *text = (const char *)m->lParam;
        EnterCriticalSection(&display.lock);
        switch (GetDlgCtrlID(m->hwnd)) {
        case ID_CAPTION: copy_text(display.latest.caption, TEXT_SIZE, text); break;
        case ID_STATUS: copy_text(display.latest.status, TEXT_SIZE, text); break;
        case ID_DONE: copy_text(display.latest.done, 32, text); break;
        case ID_TOTAL: copy_text(display.latest.total, 32, text); break;
        default: break;
        }
        display.changed = display.seen = 1;
        LeaveCriticalSection(&display.lock);
    }
    return CallNextHookEx(NULL, code, wparam, lparam);
}

/* One screen line: control characters would move the cursor, and a line that wraps
   would throw off the count of lines to go back over. */
static void put_line(const char *text, size_t length, SHORT width)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    char line[TEXT_SIZE + 96];
    DWORD written;
    COORD at;
    size_t i;
    if (length > (size_t)width - 1)
        length = (size_t)width - 1;
    if (length > sizeof line - 1)
        length = sizeof line - 1;
    for (i = 0; i < length; i++)
        line[i] = (unsigned char)text[i] < 0x20 || text[i] == 0x7f ? ' ' : text[i];
    WriteConsoleA(display.console, line, (DWORD)length, &written, NULL);
    /* The rest of the old line goes, then on to the next (scrolling at the bottom). */
    if (GetConsoleScreenBufferInfo(display.console, &info)) {
        at = info.dwCursorPosition;
        FillConsoleOutputCharacterA(display.console, ' ', (DWORD)(width - at.X), at, &written);
    }
    WriteConsoleA(display.console, "\n", 1, &written, NULL);
}

/* "Transferred N out of M bytes" and a bar for a positive total. */
static void counter_line(const struct Texts *t, char *out, size_t size)
{
    long long total = strtoll(t->total, NULL, 10);
    long long done = strtoll(t->done, NULL, 10);
    int n = snprintf(out, size, "Transferred %s out of %s bytes", t->done, t->total);
    int filled, i;
    if (total <= 0 || n < 0 || (size_t)n + BAR_WIDTH + 16 > size)
        return;
    done = done < 0 ? 0 : done > total ? total : done;
    filled = (int)(done * BAR_WIDTH / total);
    out[n++] = ' ';
    out[n++] = '[';
    for (i = 0; i < BAR_WIDTH; i++)
        out[n++] = i < filled ? '#' : '-';
    snprintf(out + n, size - (size_t)n, "] %lld%%", done * 100 / total);
}

/* Draws the texts over the block on screen with the console's own calls: back to the
   block's first line, each line written over the old one and cleared to its end, then
   whatever the old block had below cleared. */
static void draw(const struct Texts *t)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    const char *part = t->caption;
    char counter[160];
    SHORT width, lines = 0;
    COORD home;
    DWORD written;
    if (!GetConsoleScreenBufferInfo(display.console, &info))
        return;
    width = info.dwSize.X > 1 ? info.dwSize.X : 80;
    home.X = 0;
    home.Y = (SHORT)(info.dwCursorPosition.Y >= display.lines ? info.dwCursorPosition.Y - display.lines : 0);
    SetConsoleCursorPosition(display.console, home);
    put_line("LPR Printing I/O Status", strlen("LPR Printing I/O Status"), width);
    lines++;
    while (*part != '\0') {
        size_t length = strcspn(part, "\n");
        put_line(part, length > 0 && part[length - 1] == '\r' ? length - 1 : length, width);
        lines++;
        part += length + (part[length] == '\n');
    }
    put_line(t->status, strlen(t->status), width);
    lines++;
    if (strtoll(t->total, NULL, 10) != 0) {
        counter_line(t, counter, sizeof counter);
        put_line(counter, strlen(counter), width);
        lines++;
    }
    if (lines < display.lines && GetConsoleScreenBufferInfo(display.console, &info))
        FillConsoleOutputCharacterA(display.console, ' ', (DWORD)(width * (display.lines - lines)),
                                    info.dwCursorPosition, &written);
    display.lines = lines;
}

/* Draws the latest texts when they changed since the last drawing. */
static void draw_latest(void)
{
    struct Texts t;
    int changed;
    EnterCriticalSection(&display.lock);
    t = display.latest;
    changed = display.changed;
    display.changed = 0;
    LeaveCriticalSection(&display.lock);
    if (changed)
        draw(&t);
}

static DWORD WINAPI run_display(LPVOID unused)
{
    (void)unused;
    while (WaitForSingleObject(display.stop, REDRAW_MS) == WAIT_TIMEOUT)
        draw_latest();
    return 0;
}

static void display_begin(const struct Settings *s)
{
    static const struct Texts dialog_template = {"", "Waiting...", "0", "0"};
    if (s->quiet || sys_show_dialog(s))
        return;
    display.console = GetStdHandle(STD_ERROR_HANDLE);
    if (!console_of(display.console))
        return;
    InitializeCriticalSection(&display.lock);
    display.latest = dialog_template;
    display.changed = display.seen = 0;
    display.lines = 0;
    display.stop = CreateEventA(NULL, TRUE, FALSE, NULL);
    display.hook = SetWindowsHookExA(WH_CALLWNDPROC, on_message, NULL, GetCurrentThreadId());
    if (display.stop != NULL && display.hook != NULL)
        display.thread = CreateThread(NULL, 0, run_display, NULL, 0, NULL);
    if (display.thread == NULL) {
        if (display.hook != NULL)
            UnhookWindowsHookEx(display.hook);
        if (display.stop != NULL)
            CloseHandle(display.stop);
        display.hook = NULL;
        display.stop = NULL;
        DeleteCriticalSection(&display.lock);
    }
}

/* The request is over: its last state stays on screen, the cursor below it. */
static void display_end(void)
{
    if (display.thread == NULL)
        return;
    UnhookWindowsHookEx(display.hook);
    SetEvent(display.stop);
    WaitForSingleObject(display.thread, INFINITE);
    CloseHandle(display.thread);
    CloseHandle(display.stop);
    display.thread = NULL;
    display.stop = NULL;
    display.hook = NULL;
    if (display.seen)
        draw_latest();
    DeleteCriticalSection(&display.lock);
}

/* The library's own status window only with --dialog, and only where windows can be
   seen: a service or a scheduled task has no desktop for it. */
int sys_show_dialog(const struct Settings *s)
{
    USEROBJECTFLAGS flags;
    HWINSTA station;
    if (s->quiet || !s->dialog)
        return 0;
    station = GetProcessWindowStation();
    return station != NULL && GetUserObjectInformationA(station, UOI_FLAGS, &flags, sizeof flags, NULL) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

int sys_begin_request(const struct Settings *s, int checkonly)
{
    InterlockedExchange(&in_check, checkonly);
    InterlockedExchange(&in_request, 1);
    if (interrupted) {
        InterlockedExchange(&in_request, 0);
        return 0;
    }
    display_begin(s);
    return 1;
}

void sys_end_request(void)
{
    EnterCriticalSection(&cancel_lock);
    InterlockedExchange(&in_request, 0);
    LeaveCriticalSection(&cancel_lock);
    display_end();
}

/* ---- names, files -------------------------------------------------------------------- */

const char *sys_user_name(void)
{
    static char name[257]; /* UNLEN + 1 */
    DWORD size = sizeof name;
    const char *env;
    if (GetUserNameA(name, &size) && name[0] != '\0')
        return name;
    env = getenv("USERNAME");
    return env != NULL && env[0] != '\0' ? env : "user";
}

/* The computer's host name up to its first dot, as LPD clients name themselves. */
const char *sys_host_name(void)
{
    static char name[256];
    DWORD size = sizeof name;
    char *dot;
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &size) || name[0] == '\0') {
        size = sizeof name;
        if (!GetComputerNameA(name, &size) || name[0] == '\0')
            return "localhost";
    }
    dot = strchr(name, '.');
    if (dot != NULL)
        *dot = '\0';
    return name[0] != '\0' ? name : "localhost";
}

void sys_file_reason(const char *path, char *out, size_t size)
{
    DWORD attributes = GetFileAttributesA(path);
    LARGE_INTEGER length;
    HANDLE h;
    out[0] = '\0';
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
            system_text(error, out, size);
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        snprintf(out, size, "is a directory");
        return;
    }
    h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        system_text(GetLastError(), out, size);
        return;
    }
    if (GetFileType(h) != FILE_TYPE_DISK)
        snprintf(out, size, "not a regular file");
    else if (GetFileSizeEx(h, &length) && length.QuadPart == 0)
        snprintf(out, size, "the file is empty");
    CloseHandle(h);
}

/* ---- standard input ------------------------------------------------------------------ */

/* LPD wants a file's size before its bytes, so standard input is kept in a file first:
   "(stdin)" in a folder of its own under %TEMP%.  The DLL sends the path it opens as the
   file's name, so the job runs inside that folder and the server sees "(stdin)".  The
   file is opened to be deleted on close and shared for reading alone: nobody else can
   change or delete it while it is kept, the DLL can read it, and it is gone once the
   last handle goes -- when the job ends, and on every way out, even a hard end of the
   process.  The empty folder goes when the job ends. */
static char spool_dir[MAX_PATH + 1];
static char spool_back[MAX_PATH + 1];
static HANDLE volatile spool = INVALID_HANDLE_VALUE;

/* Lets go of the kept input and goes back to the working folder; 0 when the way back
   is lost.  From the control handler too, on its way out: the folder goes unless the
   DLL still has the file open (then it stays, empty, when the process ends). */
static int drop_spool_now(void)
{
    HANDLE h = InterlockedExchangePointer((PVOID volatile *)&spool, INVALID_HANDLE_VALUE);
    int back = 1;
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (spool_back[0] != '\0')
        back = SetCurrentDirectoryA(spool_back) != 0;
    if (spool_dir[0] != '\0' && back)
        RemoveDirectoryA(spool_dir);
    return back;
}

static int spool_failed(const char *step, DWORD error)
{
    char text[256];
    system_text(error, text, sizeof text);
    sys_drop_stdin();
    fprintf(stderr, "%s: %s: %s (%s)\n", progname, STDIN_NAME, step, text);
    return EXIT_LOCAL_FILE;
}

static int make_spool(void)
{
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    unsigned i;
    if (n == 0 || n >= sizeof base - 40)
        return 0;
    for (i = 0; i < 100; i++) {
        snprintf(spool_dir, sizeof spool_dir, "%svexlolpr-stdin.%lu-%lu-%u", base, (unsigned long)GetCurrentProcessId(),
                 (unsigned long)GetTickCount(), i);
        if (CreateDirectoryA(spool_dir, NULL))
            break;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            i = 99;
    }
    if (i == 100) {
        spool_dir[0] = '\0'; /* another's, or none: nothing of ours to remove */
        return 0;
    }
    if (GetCurrentDirectoryA(sizeof spool_back, spool_back) == 0 || !SetCurrentDirectoryA(spool_dir)) {
        DWORD error = GetLastError();
        RemoveDirectoryA(spool_dir);
        spool_dir[0] = '\0';
        spool_back[0] = '\0';
        SetLastError(error);
        return 0;
    }
    spool = CreateFileA(STDIN_NAME, GENERIC_WRITE | DELETE, FILE_SHARE_READ, NULL, CREATE_NEW,
                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    return spool != INVALID_HANDLE_VALUE;
}

static void show_spooled(unsigned long long total, int last)
{
    char line[96];
    snprintf(line, sizeof line, "\r%s: reading standard input: %llu bytes%s", progname, total,
             last ? "\r                                                            \r" : "");
    say(line);
}

int sys_keep_stdin(const struct Settings *s)
{
    static const char keep[] = "cannot keep it in a temporary file";
    static char buf[1 << 20];
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    int show = !s->quiet && console_of(GetStdHandle(STD_ERROR_HANDLE));
    unsigned long long total = 0;
    DWORD shown = 0, error = 0, n;
    if (!make_spool())
        return spool_failed(keep, GetLastError());
    InterlockedExchange(&reading, 1);
    if (interrupted)
        exit_now("interrupted");
    for (;;) {
        DWORD written;
        if (!ReadFile(in, buf, sizeof buf, &n, NULL)) {
            error = GetLastError();
            if (error == ERROR_BROKEN_PIPE) /* the writing end closed: the end */
                error = 0;
            break;
        }
        if (n == 0)
            break;
        if (!WriteFile(spool, buf, n, &written, NULL) || written != n) {
            InterlockedExchange(&reading, 0);
            return spool_failed(keep, GetLastError());
        }
        total += n;
        if (show && GetTickCount() - shown >= 1000) {
            shown = GetTickCount();
            show_spooled(total, 0);
        }
    }
    InterlockedExchange(&reading, 0);
    if (show && total > 0)
        show_spooled(total, 1);
    if (error != 0)
        return spool_failed("cannot read it", error);
    if (total == 0) {
        sys_drop_stdin();
        fprintf(stderr, "%s: %s: standard input is empty: nothing to print\n", progname, STDIN_NAME);
        return EXIT_LOCAL_FILE;
    }
    return EXIT_OK;
}

void sys_drop_stdin(void)
{
    if (!drop_spool_now()) {
        /* The files after this one are named relative to it. */
        fprintf(stderr, "%s: cannot return to the working folder %s\n", progname, spool_back);
        exit(EXIT_LOCAL_FILE);
    }
    spool_back[0] = '\0';
    spool_dir[0] = '\0';
}

/* ---- pauses and the clock ------------------------------------------------------------- */

/* The performance counter: 64 bits, where GetTickCount wraps after 49 days. */
unsigned long long sys_clock_ms(void)
{
    LARGE_INTEGER count, frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&count))
        return (unsigned long long)GetTickCount();
    return (unsigned long long)(count.QuadPart / frequency.QuadPart) * 1000u +
           (unsigned long long)(count.QuadPart % frequency.QuadPart) * 1000u /
               (unsigned long long)frequency.QuadPart;
}

/* Without the event (it could not be made) the pause goes in slices of 50 ms, each
   ending with a look at the flag. */
int sys_sleep_ms(unsigned long ms)
{
    unsigned long long end = sys_clock_ms() + ms;
    for (;;) {
        unsigned long long now = sys_clock_ms();
        DWORD slice;
        if (interrupted)
            return 0;
        if (now >= end)
            return 1;
        slice = end - now > 50 && wake == NULL ? 50
                : end - now > 0x7fffffffu      ? 0x7fffffffu
                                               : (DWORD)(end - now);
        if (wake != NULL)
            WaitForSingleObject(wake, slice);
        else
            Sleep(slice);
    }
}
