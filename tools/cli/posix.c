/* posix.c - the vexlolpr command's dealings with a POSIX system: Ctrl-C and the other
 * signals (a watcher thread and the flags it shares with the running request and the
 * pauses), the copy of standard input, user and host names, the pauses and the clock.
 * The status display is the library's own: it draws on standard error when that is a
 * terminal. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <time.h>
#include <unistd.h>

#include "cli.h"

/* ---- Ctrl-C ------------------------------------------------------------------------------ */

/* The watcher thread sets `interrupted`; the main thread marks the span of each request
   with `in_request` (and `in_check` for a check-only request), and after setting it
   looks at `interrupted` again, so that a request either sees the interrupt before it
   starts or is in progress when the watcher looks. */
static atomic_int interrupted;
static atomic_int in_request;
static atomic_int in_check;
/* Held while the watcher posts a cancel and while a request is marked finished, so that
   no cancel is under way once the main thread goes on (or exits). */
static pthread_mutex_t cancel_lock = PTHREAD_MUTEX_INITIALIZER;
/* The watcher writes a byte here at the first interrupt, which ends a pause at once
   (sys_sleep_ms waits on the other end); -1 when the pipe could not be made. */
static int wake_pipe[2] = {-1, -1};

static void say(const char *text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

/* Standard input kept for a job (see sys_keep_stdin); the watcher removes it as well
   when it ends the command.  spool_lock covers the making and the removing. */
static pthread_mutex_t spool_lock = PTHREAD_MUTEX_INITIALIZER;
static char spool_dir[PATH_MAX + 64];
static char spool_file[sizeof spool_dir + 16];
static int spool_made;
static int spool_back = -1; /* the working folder to go back to */

static void remove_spool(void)
{
    pthread_mutex_lock(&spool_lock);
    if (spool_made) {
        unlink(spool_file);
        rmdir(spool_dir);
        spool_made = 0;
    }
    pthread_mutex_unlock(&spool_lock);
}

static void exit_now(const char *why)
{
    remove_spool();
    say(why);
    _exit(EXIT_CANCELLED);
}

static void *watch_interrupts(void *unused)
{
    char again[64], once[64];
    sigset_t set;
    int posted = 0;
    (void)unused;
    snprintf(again, sizeof again, "%s: interrupted again: exiting at once\n", progname);
    snprintf(once, sizeof once, "%s: interrupted\n", progname);
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    for (;;) {
        int sig;
        /* A cancel can only be posted while the request has its status dialog; before
           it exists (host lookup) the cancel is tried again every 50 ms. */
        if (atomic_load(&interrupted) && !posted && atomic_load(&in_request)) {
            struct timespec pause = {0, 50 * 1000 * 1000};
            sig = sigtimedwait(&set, NULL, &pause);
        } else {
            sig = sigwaitinfo(&set, NULL);
        }
        if (sig == SIGINT) {
            if (atomic_exchange(&interrupted, 1))
                exit_now(again);
            if (wake_pipe[1] >= 0) {
                ssize_t ignored = write(wake_pipe[1], "", 1);
                (void)ignored;
            }
            /* The check-only mode has no dialog to cancel and queues nothing, so there
               is nothing to wind down: leave at once rather than after its time-out. */
            if (atomic_load(&in_request) && atomic_load(&in_check))
                exit_now(once);
        } else if (sig == SIGTERM || sig == SIGHUP) {
            /* Ended as the signal would end us, without the spooled input. */
            sigset_t one;
            remove_spool();
            sigemptyset(&one);
            sigaddset(&one, sig);
            signal(sig, SIG_DFL);
            pthread_sigmask(SIG_UNBLOCK, &one, NULL);
            raise(sig);
            _exit(128 + sig);
        }
        pthread_mutex_lock(&cancel_lock);
        if (atomic_load(&interrupted) && !posted && atomic_load(&in_request))
            posted = LPR_CancelBlockingCall() == 0;
        pthread_mutex_unlock(&cancel_lock);
    }
    return NULL;
}

int sys_arguments(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    return -1;
}

/* SIGINT, SIGTERM and SIGHUP go to the watcher thread alone: blocked here before any
   thread exists, so every thread inherits the mask.  A signal ignored by whoever
   started us (SIGINT in a background job of a script, SIGHUP under nohup) stays
   ignored. */
void sys_start(const struct Settings *s)
{
    static const int watched[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old;
    sigset_t set;
    pthread_t thread;
    size_t i;
#ifdef PR_SET_TIMERSLACK
    /* The pause of --yield is one timer tick; the system's default slack of 50 us would
       stretch each by a twentieth. */
    if (s->yield)
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#else
    (void)s;
#endif
    /* A file size limit met while keeping standard input is an error to report, not a
       reason to die with the input left behind; nor is a reader of the job lines that
       went away (the jobs after them are still sent). */
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    sigemptyset(&set);
    for (i = 0; i < sizeof watched / sizeof watched[0]; i++)
        if (sigaction(watched[i], NULL, &old) != 0 || old.sa_handler != SIG_IGN)
            sigaddset(&set, watched[i]);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
    if (pipe(wake_pipe) != 0)
        wake_pipe[0] = wake_pipe[1] = -1;
    for (i = 0; i < 2; i++)
        if (wake_pipe[i] >= 0)
            fcntl(wake_pipe[i], F_SETFD, FD_CLOEXEC);
    if (pthread_create(&thread, NULL, watch_interrupts, NULL) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, NULL); /* Ctrl-C then simply ends the command */
        return;
    }
    pthread_detach(thread);
}

int sys_begin_request(const struct Settings *s, int checkonly)
{
    (void)s;
    atomic_store(&in_check, checkonly);
    atomic_store(&in_request, 1);
    if (atomic_load(&interrupted)) {
        atomic_store(&in_request, 0);
        return 0;
    }
    return 1;
}

void sys_end_request(void)
{
    pthread_mutex_lock(&cancel_lock);
    atomic_store(&in_request, 0);
    pthread_mutex_unlock(&cancel_lock);
}

/* ---- the status display, names, files ------------------------------------------------ */

/* The library draws its display only on a terminal anyway; asking for it only then
   keeps a redirected standard error free of anything but error lines.  --dialog
   changes nothing here: the terminal is the library's window. */
int sys_show_dialog(const struct Settings *s)
{
    return !s->quiet && isatty(STDERR_FILENO);
}

/* The login name of the real user; the user id when there is none. */
const char *sys_user_name(void)
{
    static char uid[24];
    struct passwd *pw = getpwuid(getuid());
    const char *env;
    if (pw != NULL && pw->pw_name != NULL && pw->pw_name[0] != '\0')
        return pw->pw_name;
    env = getenv("LOGNAME");
    if (env == NULL || env[0] == '\0')
        env = getenv("USER");
    if (env != NULL && env[0] != '\0')
        return env;
    snprintf(uid, sizeof uid, "%lu", (unsigned long)getuid());
    return uid;
}

/* This machine's host name up to its first dot, as LPD clients name themselves. */
const char *sys_host_name(void)
{
    static char name[256];
    char *dot;
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "localhost";
    name[sizeof name - 1] = '\0';
    dot = strchr(name, '.');
    if (dot != NULL)
        *dot = '\0';
    return name[0] != '\0' ? name : "localhost";
}

void sys_file_reason(const char *path, char *out, size_t size)
{
    struct stat st;
    int fd;
    out[0] = '\0';
    if (stat(path, &st) != 0) {
        if (errno != ENOENT)
            snprintf(out, size, "%s", strerror(errno));
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        snprintf(out, size, "is a directory");
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        snprintf(out, size, "not a regular file");
        return;
    }
    fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        snprintf(out, size, "%s", strerror(errno));
        return;
    }
    close(fd);
    if (st.st_size == 0)
        snprintf(out, size, "the file is empty");
}

/* ---- standard input ------------------------------------------------------------------ */

/* LPD wants a file's size before its bytes, so standard input is kept in a file first:
   "(stdin)", mode 0600, in a folder of its own (0700) under $TMPDIR.  The library sends
   the path it opens as the file's name, so the job runs inside that folder and the
   server sees "(stdin)".  The file goes as soon as its job ends, and on every other way
   out (remove_spool). */
#define SPOOL_PIECE 65536

/* Writes len bytes at the file's position; pieces of zeros become holes, so that a
   large input of mostly zeros takes little room. */
static int write_sparse(int fd, const unsigned char *buf, size_t len)
{
    while (len > 0) {
        size_t piece = len < SPOOL_PIECE ? len : SPOOL_PIECE;
        size_t i = 0;
        while (i < piece && buf[i] == 0)
            i++;
        if (i == piece) {
            if (lseek(fd, (off_t)piece, SEEK_CUR) < 0)
                return -1;
        } else {
            size_t done = 0;
            while (done < piece) {
                ssize_t n = write(fd, buf + done, piece - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return -1;
                done += (size_t)n;
            }
        }
        buf += piece;
        len -= piece;
    }
    return 0;
}

/* Reads into buf until it is full or the input ends: the count, 0 at the end, -1 on an
   error (errno) and -2 on an interrupt.  Waits in slices so that Ctrl-C is seen. */
static ssize_t read_input(unsigned char *buf, size_t size)
{
    size_t have = 0;
    while (have < size) {
        struct pollfd in = {STDIN_FILENO, POLLIN, 0};
        ssize_t n;
        if (atomic_load(&interrupted))
            return -2;
        if (poll(&in, 1, 100) == 0)
            continue;
        n = read(STDIN_FILENO, buf + have, size - have);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return -1;
        }
        have += (size_t)n;
    }
    return (ssize_t)have;
}

static void show_spooled(unsigned long long total, int done)
{
    char line[96];
    snprintf(line, sizeof line, "\r%s: reading standard input: %llu bytes%s", progname, total,
             done ? "\r\033[K" : "");
    say(line);
}

/* Makes the folder and the empty file; the descriptor, or -1 (errno).  The folder's
   path is absolute: the job runs inside it, and a relative $TMPDIR would name another
   place from there (the removal would miss it). */
static int make_spool(void)
{
    const char *tmp = getenv("TMPDIR");
    char cwd[PATH_MAX];
    int fd = -1;
    int n;
    if (tmp == NULL || tmp[0] == '\0')
        tmp = "/tmp";
    if (tmp[0] != '/' && getcwd(cwd, sizeof cwd) == NULL)
        return -1;
    n = tmp[0] == '/' ? snprintf(spool_dir, sizeof spool_dir, "%s/vexlolpr-stdin.XXXXXX", tmp)
                      : snprintf(spool_dir, sizeof spool_dir, "%s/%s/vexlolpr-stdin.XXXXXX", cwd, tmp);
    if (n < 0 || (size_t)n >= sizeof spool_dir) {
        errno = ENAMETOOLONG;
        return -1;
    }
    pthread_mutex_lock(&spool_lock);
    if (mkdtemp(spool_dir) != NULL) {
        snprintf(spool_file, sizeof spool_file, "%s/%s", spool_dir, STDIN_NAME);
        spool_made = 1;
        fd = open(spool_file, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    pthread_mutex_unlock(&spool_lock);
    return fd;
}

static int spool_failed(const char *step, int error)
{
    remove_spool();
    fprintf(stderr, "%s: %s: %s (%s)\n", progname, STDIN_NAME, step, strerror(error));
    return EXIT_LOCAL_FILE;
}

/* Keeps standard input for a job.  EXIT_OK with the file in place, or the status of a
   failure that has been reported (nothing is left then). */
static int spool_stdin(const struct Settings *s)
{
    static const char keep[] = "cannot keep it in a temporary file";
    static unsigned char buf[16 * SPOOL_PIECE];
    int show = !s->quiet && isatty(STDERR_FILENO);
    unsigned long long total = 0;
    time_t shown = 0;
    int error = 0;
    int fd = make_spool();
    ssize_t n;
    if (fd < 0)
        return spool_failed(keep, errno);
    while ((n = read_input(buf, sizeof buf)) > 0) {
        if (write_sparse(fd, buf, (size_t)n) != 0) {
            error = errno;
            break;
        }
        total += (unsigned long long)n;
        if (show && time(NULL) != shown) {
            shown = time(NULL);
            show_spooled(total, 0);
        }
    }
    if (n == -1)
        error = errno;
    else if (n == 0 && ftruncate(fd, (off_t)total) != 0) /* a hole at the end */
        error = errno;
    if (close(fd) != 0 && error == 0 && n == 0)
        error = errno;
    if (show && total > 0)
        show_spooled(total, 1);
    if (n == -2) {
        remove_spool();
        return EXIT_CANCELLED;
    }
    if (n == -1)
        return spool_failed("cannot read it", error);
    if (error != 0)
        return spool_failed(keep, error);
    if (total == 0) {
        remove_spool();
        fprintf(stderr, "%s: %s: standard input is empty: nothing to print\n", progname, STDIN_NAME);
        return EXIT_LOCAL_FILE;
    }
    return EXIT_OK;
}

int sys_keep_stdin(const struct Settings *s)
{
    int status = spool_stdin(s);
    if (status != EXIT_OK)
        return status;
#ifdef O_PATH
    spool_back = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    spool_back = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (spool_back >= 0 && chdir(spool_dir) == 0)
        return EXIT_OK;
    fprintf(stderr, "%s: %s: cannot enter %s (%s)\n", progname, STDIN_NAME, spool_dir, strerror(errno));
    if (spool_back >= 0)
        close(spool_back);
    spool_back = -1;
    remove_spool();
    return EXIT_LOCAL_FILE;
}

void sys_drop_stdin(void)
{
    remove_spool();
    if (fchdir(spool_back) != 0) {
        /* The files after this one are named relative to it. */
        fprintf(stderr, "%s: cannot return to the working directory (%s)\n", progname, strerror(errno));
        exit(EXIT_LOCAL_FILE);
    }
    close(spool_back);
    spool_back = -1;
}

/* ---- pauses and the clock ------------------------------------------------------------- */

unsigned long long sys_clock_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (unsigned long long)now.tv_sec * 1000u + (unsigned long long)now.tv_nsec / 1000000u;
}

/* Without the pipe the pause goes in slices of 50 ms, each ending with a look at the
   flag. */
int sys_sleep_ms(unsigned long ms)
{
    unsigned long long end = sys_clock_ms() + ms;
    for (;;) {
        unsigned long long now = sys_clock_ms();
        struct pollfd wake = {wake_pipe[0], POLLIN, 0};
        int slice;
        if (atomic_load(&interrupted))
            return 0;
        if (now >= end)
            return 1;
        slice = end - now > 50 && wake_pipe[0] < 0 ? 50 : end - now > INT_MAX ? INT_MAX : (int)(end - now);
        /* poll without a descriptor (fd -1) is a plain wait. */
        poll(&wake, 1, slice);
    }
}
