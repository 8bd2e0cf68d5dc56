/* vexlolpr.c - the vexlolpr command: prints files on, lists and removes jobs of, and
 * checks a queue of a remote LPD server, through the library's public interface only.
 * Owns the Ctrl-C watcher thread and the flags it shares with the running request. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/stat.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <time.h>
#include <unistd.h>

#include <vexlolpr.h>

/* Exit statuses; the man page lists the same. */
enum {
    EXIT_OK = 0,
    EXIT_FAILED = 1,     /* network, protocol or server failure */
    EXIT_USAGE = 2,      /* bad command line, or a name the protocol cannot carry */
    EXIT_LOCAL_FILE = 3, /* a file to print cannot be opened, is empty or not a regular file */
    EXIT_CANCELLED = 130 /* interrupted, as shells report a command ended by SIGINT */
};

enum Command { CMD_NONE, CMD_PRINT, CMD_QUEUE, CMD_REMOVE, CMD_CHECK };

static const char *const command_names[] = {"", "print", "queue", "remove", "check"};

#define DEFAULT_REPLY_TIMEOUT 30000u /* ms for each network wait */
#define DEFAULT_WAIT_BUSY 10u        /* s for an earlier request's status display to go */
#define MAX_REPLY_TIMEOUT 2147483647L
#define MAX_WAIT_BUSY 86400L /* the library counts the wait in ms in 32 bits */

/* ---- help texts ---------------------------------------------------------------------- */

static const char usage_main[] =
    "usage: vexlolpr print [options] [FILE...]\n"
    "       vexlolpr queue [-l] [options]\n"
    "       vexlolpr remove [options] JOBNUMBER...\n"
    "       vexlolpr check [options]\n"
    "       vexlolpr --help | --version\n";

static const char help_destination[] =
    "Destination (every command needs one):\n"
    "  -P, --printer QUEUE[@HOST[:PORT]]  the queue, and the LPD server that holds it\n"
    "  -H, --host HOST[:PORT]             the server, when -P names only the queue\n"
    "  Without -P, the PRINTER environment variable is used in the same form\n"
    "  (PRINTER=lp@printsrv).  PORT defaults to 515.  HOST may be an IPv6 address in\n"
    "  brackets: -P lp@[2001:db8::5]:515.\n";

static const char help_common[] =
    "Common options:\n"
    "  -U, --user NAME            requesting user (default: your login name)\n"
    "      --client-host NAME     client host name sent to the server (default: this\n"
    "                             machine's short host name)\n"
    "      --reply-timeout MS     milliseconds allowed for each network wait (default 30000)\n"
    "      --wait-busy SECONDS    how long to wait for an earlier request of this process\n"
    "                             to finish (default 10)\n"
    "      --trace                write the library's trace lines on standard error\n"
    "      --yield                pause one timer tick between the chunks of a file, as a\n"
    "                             program with windows to keep alive would (slower)\n"
    "  -q, --quiet                no status display, no success message\n"
    "      --help                 show this text\n";

static const char help_exit[] =
    "Exit status: 0 success; 1 network, protocol or server failure; 2 usage error;\n"
    "3 a local file cannot be printed; 130 interrupted (Ctrl-C).  With several files or\n"
    "job numbers, every one is tried and the status is that of the first failure.\n";

static void help_text(enum Command command)
{
    switch (command) {
    case CMD_PRINT:
        printf("usage: vexlolpr print [options] [FILE...]\n"
               "Sends each FILE as a print job of its own to a queue of an LPD server.\n"
               "Without a FILE, or for '-' among them, standard input is printed: it is\n"
               "kept in a private file under $TMPDIR (removed afterwards) and sent under\n"
               "the name (stdin).\n\n"
               "%s\n"
               "Job options:\n"
               "  -#, --copies N             number of copies, 1..65535 (default 1)\n"
               "  -J, --job-name NAME        job name (default: the file name as given)\n"
               "  -C, --class TEXT           class printed on the banner page\n"
               "  -h, --no-banner            no banner page (and no class)\n"
               "      --format LETTER        print format, a lower-case letter (default f:\n"
               "                             plain text)\n"
               "  -l                         same as --format l (print control characters)\n"
               "  -p                         same as --format p (titled pages, as pr does)\n"
               "      --control-first        send the control file before the data file\n\n"
               "%s\n"
               "When standard error is a terminal, a status display shows the transfer.\n"
               "Ctrl-C cancels the job in progress; the server discards it.  A second\n"
               "Ctrl-C ends the command at once.\n\n%s",
               help_destination, help_common, help_exit);
        break;
    case CMD_QUEUE:
        printf("usage: vexlolpr queue [options]\n"
               "Shows the queue's listing, as the server sends it: the short one, or with\n"
               "-l the long one (which servers fill in their own ways).\n\n"
               "Queue options:\n"
               "  -l, --long                 the long listing\n\n%s\n%s\n%s",
               help_destination, help_common, help_exit);
        break;
    case CMD_REMOVE:
        printf("usage: vexlolpr remove [options] JOBNUMBER...\n"
               "Asks the server to remove each job, in the name of the requesting user.\n"
               "The server's answer is not shown: 'vexlolpr queue' shows whether a job is gone.\n\n"
               "%s\n%s\n%s",
               help_destination, help_common, help_exit);
        break;
    case CMD_CHECK:
        printf("usage: vexlolpr check [options]\n"
               "Checks that the queue accepts jobs: offers a job and withdraws it at once.\n"
               "Prints \"QUEUE@HOST accepts jobs\" unless --quiet is given.\n\n%s\n%s\n%s",
               help_destination, help_common, help_exit);
        break;
    case CMD_NONE:
        printf("%s\n"
               "A client of the LPR/LPD printing protocol (RFC 1179).\n\n"
               "Commands:\n"
               "  print     send files as print jobs\n"
               "  queue     show the jobs in a queue\n"
               "  remove    remove jobs by number\n"
               "  check     check that a queue accepts jobs\n\n"
               "%s\n"
               "'vexlolpr COMMAND --help' lists the options of a command.\n\n%s",
               usage_main, help_destination, help_exit);
        break;
    }
}

static int usage_error(enum Command command, const char *format, ...) __attribute__((format(printf, 2, 3)));

static int usage_error(enum Command command, const char *format, ...)
{
    va_list args;
    fputs("vexlolpr: ", stderr);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    if (command == CMD_NONE)
        fputs("\nTry 'vexlolpr --help'.\n", stderr);
    else
        fprintf(stderr, "\nTry 'vexlolpr %s --help'.\n", command_names[command]);
    return EXIT_USAGE;
}

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

static void say(const char *text)
{
    ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
    (void)ignored;
}

/* Standard input kept for a job (see spool_stdin); the watcher removes it as well when
   it ends the command.  spool_lock covers the making and the removing. */
static pthread_mutex_t spool_lock = PTHREAD_MUTEX_INITIALIZER;
static char spool_dir[4096];
static char spool_file[4096 + 16];
static int spool_made;

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
    sigset_t set;
    int posted = 0;
    (void)unused;
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
                exit_now("vexlolpr: interrupted again: exiting at once\n");
            /* The check-only mode has no dialog to cancel and queues nothing, so there
               is nothing to wind down: leave at once rather than after its time-out. */
            if (atomic_load(&in_request) && atomic_load(&in_check))
                exit_now("vexlolpr: interrupted\n");
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

/* SIGINT, SIGTERM and SIGHUP go to the watcher thread alone: blocked here before any
   thread exists, so every thread inherits the mask.  A signal ignored by whoever
   started us (SIGINT in a background job of a script, SIGHUP under nohup) stays
   ignored. */
static void start_watcher(void)
{
    static const int watched[] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction old;
    sigset_t set;
    pthread_t thread;
    size_t i;
    sigemptyset(&set);
    for (i = 0; i < sizeof watched / sizeof watched[0]; i++)
        if (sigaction(watched[i], NULL, &old) != 0 || old.sa_handler != SIG_IGN)
            sigaddset(&set, watched[i]);
    pthread_sigmask(SIG_BLOCK, &set, NULL);
    if (pthread_create(&thread, NULL, watch_interrupts, NULL) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, NULL); /* Ctrl-C then simply ends the command */
        return;
    }
    pthread_detach(thread);
}

/* Marks the start of a request; 0 when an interrupt came first and it must not start. */
static int begin_request(int checkonly)
{
    atomic_store(&in_check, checkonly);
    atomic_store(&in_request, 1);
    if (atomic_load(&interrupted)) {
        atomic_store(&in_request, 0);
        return 0;
    }
    return 1;
}

static void end_request(void)
{
    pthread_mutex_lock(&cancel_lock);
    atomic_store(&in_request, 0);
    pthread_mutex_unlock(&cancel_lock);
}

/* "-" among the files, or no file at all: standard input. */
static int is_stdin(const char *operand)
{
    return strcmp(operand, "-") == 0;
}

/* ---- settings --------------------------------------------------------------------------- */

struct Settings {
    enum Command command;
    const char *printer_option; /* -P as given */
    const char *host_option;    /* -H as given */
    char *queue;                /* the destination, resolved */
    char *host;
    const char *user;
    const char *clienthost;
    long copies;
    const char *jobname;
    const char *bannerclass;
    int nobanner;
    char format;
    int controlfirst;
    long replytimeout;
    long waitbusy;
    int trace;
    int yield;
    int quiet;
    int ell;                /* -l: the literal format for print, the long form for queue */
    int longlist;           /* queue: ask for the long listing */
    char print_only[32];    /* the first print-only option given, for the error */
    char queue_only[32];    /* the same for queue-only options */
    char **operands;
    int count;
};

/* A whole decimal number from min to max, or -1. */
static long number(const char *text, long min, long max)
{
    char *end;
    long value;
    if (text == NULL || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return -1;
    return value;
}

/* "host" or "host:port", or an IPv6 address in brackets, "[addr]" or "[addr]:port", with
   a port 1..65535.  A bare IPv6 address would read as a host and a port: it needs the
   brackets, so a name has one colon at most. */
static int valid_host(const char *host)
{
    const char *colon = strchr(host, ':');
    if (host[0] == '[') {
        const char *close = strchr(host, ']');
        if (close == NULL || close == host + 1 || (close[1] != '\0' && close[1] != ':'))
            return 0;
        colon = close[1] == ':' ? close + 1 : NULL;
    } else if (host[0] == '\0' || host[0] == ':') {
        return 0;
    }
    return colon == NULL || number(colon + 1, 1, 65535) > 0;
}

/* Works out queue and host from -P, -H and PRINTER.  0, or the usage error's status. */
static int resolve_destination(struct Settings *s)
{
    const char *spec = s->printer_option;
    const char *origin = "-P";
    const char *at;
    if (spec == NULL) {
        spec = getenv("PRINTER");
        origin = "PRINTER";
        if (spec == NULL || spec[0] == '\0') {
            if (s->host_option != NULL)
                return usage_error(s->command, "no queue given: add -P QUEUE (or set PRINTER=QUEUE)");
            return usage_error(s->command, "no destination: give -P QUEUE@HOST, or -P QUEUE with -H HOST, "
                                           "or set PRINTER=QUEUE@HOST");
        }
    }
    if (spec[0] == '\0')
        return usage_error(s->command, "empty -P: give -P QUEUE@HOST");
    if (s->host_option != NULL && s->host_option[0] == '\0')
        return usage_error(s->command, "empty -H: give -H HOST");
    at = strchr(spec, '@');
    if (at != NULL) {
        if (s->host_option != NULL && s->printer_option != NULL)
            return usage_error(s->command, "the host is given twice: in -P %s and with -H", spec);
        s->queue = strndup(spec, (size_t)(at - spec));
        s->host = strdup(s->host_option != NULL ? s->host_option : at + 1);
    } else {
        if (s->host_option == NULL)
            return usage_error(s->command, "no server host for queue '%s': give -P %s@HOST or -H HOST%s", spec,
                               spec, s->printer_option == NULL ? " (PRINTER names no host)" : "");
        s->queue = strdup(spec);
        s->host = strdup(s->host_option);
    }
    if (s->queue == NULL || s->host == NULL) {
        fputs("vexlolpr: out of memory\n", stderr);
        exit(EXIT_FAILED);
    }
    if (s->queue[0] == '\0')
        return usage_error(s->command, "no queue name in %s '%s'", origin, spec);
    if (s->host[0] == '\0')
        return usage_error(s->command, "no host name after '@' in %s '%s'", origin, spec);
    if (!valid_host(s->host))
        return usage_error(s->command, "bad server '%s': expected HOST, HOST:PORT, [IPV6] or [IPV6]:PORT with a port 1..65535", s->host);
    return 0;
}

/* The login name of the real user; the user id when there is none. */
static const char *login_name(void)
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
static const char *short_host_name(void)
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

enum {
    OPT_CLIENT_HOST = 256,
    OPT_FORMAT,
    OPT_CONTROL_FIRST,
    OPT_REPLY_TIMEOUT,
    OPT_WAIT_BUSY,
    OPT_TRACE,
    OPT_YIELD,
    OPT_LONG,
    OPT_HELP,
    OPT_VERSION
};

static const struct option long_options[] = {
    {"printer", required_argument, NULL, 'P'},
    {"host", required_argument, NULL, 'H'},
    {"user", required_argument, NULL, 'U'},
    {"client-host", required_argument, NULL, OPT_CLIENT_HOST},
    {"copies", required_argument, NULL, '#'},
    {"job-name", required_argument, NULL, 'J'},
    {"class", required_argument, NULL, 'C'},
    {"no-banner", no_argument, NULL, 'h'},
    {"format", required_argument, NULL, OPT_FORMAT},
    {"control-first", no_argument, NULL, OPT_CONTROL_FIRST},
    {"reply-timeout", required_argument, NULL, OPT_REPLY_TIMEOUT},
    {"wait-busy", required_argument, NULL, OPT_WAIT_BUSY},
    {"trace", no_argument, NULL, OPT_TRACE},
    {"yield", no_argument, NULL, OPT_YIELD},
    {"quiet", no_argument, NULL, 'q'},
    {"long", no_argument, NULL, OPT_LONG},
    {"help", no_argument, NULL, OPT_HELP},
    {"version", no_argument, NULL, OPT_VERSION},
    {NULL, 0, NULL, 0},
};

static enum Command command_named(const char *name)
{
    int i;
    for (i = CMD_PRINT; i <= CMD_CHECK; i++)
        if (strcmp(name, command_names[i]) == 0)
            return (enum Command)i;
    return CMD_NONE;
}

/* The option as the user wrote it, for messages. */
static const char *option_text(int c, int index, char *buf, size_t size)
{
    if (index >= 0)
        snprintf(buf, size, "--%s", long_options[index].name);
    else
        snprintf(buf, size, "-%c", c);
    return buf;
}

/* Parses the command line into s.  Options may come before or after the command and
   the operands; "--" ends the options.  Returns -1 to go on, or an exit status. */
static int parse(int argc, char **argv, struct Settings *s)
{
    /* Leading '-': operands come back in order as option 1, whatever POSIXLY_CORRECT
       says; ':' reports a missing value apart from an unknown option. */
    static const char short_options[] = "-:P:H:U:#:J:C:hlpq";
    int help = 0;
    int c;
    int index;

    s->operands = calloc((size_t)argc + 1, sizeof *s->operands);
    if (s->operands == NULL) {
        fputs("vexlolpr: out of memory\n", stderr);
        return EXIT_FAILED;
    }
    opterr = 0;
    for (;;) {
        index = -1;
        c = getopt_long(argc, argv, short_options, long_options, &index);
        if (c == -1)
            break;
        switch (c) {
        case 1:
            if (s->command == CMD_NONE) {
                s->command = command_named(optarg);
                if (s->command == CMD_NONE)
                    return usage_error(CMD_NONE, "unknown command '%s' (print, queue, remove or check)", optarg);
            } else {
                s->operands[s->count++] = optarg;
            }
            break;
        case 'P':
            s->printer_option = optarg;
            break;
        case 'H':
            s->host_option = optarg;
            break;
        case 'U':
            s->user = optarg;
            break;
        case OPT_CLIENT_HOST:
            s->clienthost = optarg;
            break;
        case '#':
            if ((s->copies = number(optarg, 1, 65535)) < 0)
                return usage_error(s->command, "bad number of copies '%s' (1..65535)", optarg);
            break;
        case 'J':
            s->jobname = optarg;
            break;
        case 'C':
            s->bannerclass = optarg;
            break;
        case 'h':
            s->nobanner = 1;
            break;
        case 'l':
            s->ell = 1;
            s->format = 'l';
            break;
        case 'p':
            s->format = 'p';
            break;
        case OPT_LONG:
            s->longlist = 1;
            break;
        case OPT_FORMAT:
            /* Upper-case letters are other control file lines (U unlinks, N names). */
            if (strlen(optarg) != 1 || optarg[0] < 'a' || optarg[0] > 'z')
                return usage_error(s->command, "bad format '%s': one lower-case letter, such as f, l or p",
                                   optarg);
            s->format = optarg[0];
            break;
        case OPT_CONTROL_FIRST:
            s->controlfirst = 1;
            break;
        case OPT_REPLY_TIMEOUT:
            if ((s->replytimeout = number(optarg, 1, MAX_REPLY_TIMEOUT)) < 0)
                return usage_error(s->command, "bad reply time-out '%s' (milliseconds, 1..%ld)", optarg,
                                   MAX_REPLY_TIMEOUT);
            break;
        case OPT_WAIT_BUSY:
            if ((s->waitbusy = number(optarg, 0, MAX_WAIT_BUSY)) < 0)
                return usage_error(s->command, "bad waiting time '%s' (seconds, 0..%ld)", optarg, MAX_WAIT_BUSY);
            break;
        case OPT_TRACE:
            s->trace = 1;
            break;
        case OPT_YIELD:
            s->yield = 1;
            break;
        case 'q':
            s->quiet = 1;
            break;
        case OPT_HELP:
            help = 1;
            break;
        case OPT_VERSION:
            printf("vexlolpr %s\n", VEXLOLPR_VERSION_STRING);
            return EXIT_OK;
        case ':':
            /* A long option is named as written; getopt sets optopt to its value. */
            if (strncmp(argv[optind - 1], "--", 2) == 0)
                return usage_error(s->command, "option %s needs a value", argv[optind - 1]);
            return usage_error(s->command, "option -%c needs a value", optopt);
        default:
            if (optopt != 0)
                return usage_error(s->command, "unknown option -%c", optopt);
            return usage_error(s->command, "unknown option %.*s", (int)strcspn(argv[optind - 1], "="),
                               argv[optind - 1]);
        }
        switch (c) {
        case '#': case 'J': case 'C': case 'h': case 'p': case OPT_FORMAT: case OPT_CONTROL_FIRST:
            if (s->print_only[0] == '\0')
                option_text(c, index, s->print_only, sizeof s->print_only);
            break;
        case OPT_LONG:
            if (s->queue_only[0] == '\0')
                option_text(c, index, s->queue_only, sizeof s->queue_only);
            break;
        default:
            break;
        }
    }
    /* After "--": the command, if not yet named, then operands. */
    for (; optind < argc; optind++) {
        if (s->command == CMD_NONE) {
            s->command = command_named(argv[optind]);
            if (s->command == CMD_NONE)
                return usage_error(CMD_NONE, "unknown command '%s' (print, queue, remove or check)", argv[optind]);
        } else {
            s->operands[s->count++] = argv[optind];
        }
    }
    if (help) {
        help_text(s->command);
        return EXIT_OK;
    }
    if (s->command == CMD_NONE)
        return usage_error(CMD_NONE, "no command given (print, queue, remove or check)");
    if (s->command != CMD_PRINT && s->print_only[0] != '\0')
        return usage_error(s->command, "option %s applies to print only", s->print_only);
    if (s->command != CMD_QUEUE && s->queue_only[0] != '\0')
        return usage_error(s->command, "option %s applies to queue only", s->queue_only);
    /* -l is lpr's literal format and lpq's long listing. */
    if (s->ell && s->command == CMD_QUEUE)
        s->longlist = 1;
    else if (s->ell && s->command != CMD_PRINT)
        return usage_error(s->command, "option -l applies to print and queue only");
    switch (s->command) {
    case CMD_PRINT:
        if (s->count == 0)
            s->operands[s->count++] = "-";
        for (index = 0, c = 0; index < s->count; index++)
            c += is_stdin(s->operands[index]);
        if (c > 1)
            return usage_error(s->command, "standard input ('-') given more than once");
        break;
    case CMD_REMOVE:
        if (s->count == 0)
            return usage_error(s->command, "no job number given");
        for (index = 0; index < s->count; index++)
            if (number(s->operands[index], 1, 65535) < 0)
                return usage_error(s->command, "bad job number '%s' (1..65535)", s->operands[index]);
        break;
    default:
        if (s->count != 0)
            return usage_error(s->command, "unexpected operand '%s'", s->operands[0]);
        break;
    }
    if (s->user != NULL && s->user[0] == '\0')
        return usage_error(s->command, "empty user name");
    if (s->clienthost != NULL && s->clienthost[0] == '\0')
        return usage_error(s->command, "empty client host name");
    return resolve_destination(s) != 0 ? EXIT_USAGE : -1;
}

/* ---- outcomes ------------------------------------------------------------------------ */

static int status_of(WORD ret, const LPR_COMMONARG *common)
{
    if (ret == LPR_OK)
        return EXIT_OK;
    if (common->errorcode == LPR_ERR_CANCELLED)
        return EXIT_CANCELLED;
    if (ret == LPR_R_BAD_DEVICE)
        return EXIT_LOCAL_FILE;
    if (common->errorcode == LPR_ERR_BAD_NAME)
        return EXIT_USAGE;
    return EXIT_FAILED;
}

/* What the system says about a file the library could not print; its own texts name
   neither the file nor the reason.  Empty when there is nothing to add. */
static void file_reason(const char *path, char *out, size_t size)
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

/* One line on standard error: "vexlolpr: [NAME: ]TEXT (error CODE[; REASON])".  A
   server's refusal text is part of TEXT, so control characters are shown as '?'. */
static void report_failure(const char *name, const char *path, WORD ret, const LPR_COMMONARG *common)
{
    char text[512];
    char reason[256] = "";
    char *p;
    LPR_GetLastErrorText(text, (int)sizeof text);
    for (p = text; *p != '\0'; p++)
        if ((unsigned char)*p < 0x20 || *p == 0x7f)
            *p = '?';
    if (ret == LPR_R_BAD_DEVICE && path != NULL)
        file_reason(path, reason, sizeof reason);
    fputs("vexlolpr: ", stderr);
    if (name != NULL)
        fprintf(stderr, "%s: ", name);
    /* After a cancel the text is that of the step it stopped ("Couldn't send data
       file"), which alone would read like a network failure. */
    if (common->errorcode == LPR_ERR_CANCELLED)
        fputs("interrupted: ", stderr);
    if (common->errorcode == 0) /* the text would be an earlier request's */
        fprintf(stderr, "request failed (result %u)\n", (unsigned)ret);
    else
        fprintf(stderr, "%s (error %d%s%s)\n", text[0] != '\0' ? text : "request failed", (int)common->errorcode,
                reason[0] != '\0' ? "; " : "", reason);
    fflush(stderr);
}

static void fill_common(const struct Settings *s, LPR_COMMONARG *common)
{
    memset(common, 0, sizeof *common);
    common->username = s->user;
    common->clienthost = s->clienthost;
    /* The library draws its display only on a terminal anyway; asking for it only then
       keeps a redirected standard error free of anything but error lines. */
    common->showdialog = !s->quiet && isatty(STDERR_FILENO);
    common->replytimeout = (DWORD)s->replytimeout;
    common->lprtimeout = (DWORD)s->waitbusy;
    /* A command has no windows to keep alive: chunks go back to back unless asked. */
    common->debugflags = (WORD)((s->trace ? LPR_DEBUG_TRACE : 0) | (s->yield ? 0 : LPR_OPT_NOYIELD) |
                                (s->longlist ? LPR_OPT_LONGLIST : 0));
#ifdef PR_SET_TIMERSLACK
    /* The pause is one timer tick; the system's default slack of 50 us would stretch
       each by a twentieth. */
    if (s->yield)
        prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
#endif
}

/* Keeps the first failure's status; a later one does not replace it. */
static void note(int *first, int status)
{
    if (*first == EXIT_OK)
        *first = status;
}

/* ---- commands ------------------------------------------------------------------------ */

/* The exit status of a run over several operands; an interrupt ends the command, and
   what is left is not tried. */
static int end_of_batch(const struct Settings *s, int done, int cancelled, int first, const char *what)
{
    if (done < s->count)
        fprintf(stderr, "vexlolpr: interrupted: %d of %d %s not sent\n", s->count - done, s->count, what);
    return cancelled || done < s->count ? EXIT_CANCELLED : first;
}

/* ---- standard input ------------------------------------------------------------------ */

/* LPD wants a file's size before its bytes, so standard input is kept in a file first:
   "(stdin)", mode 0600, in a folder of its own (0700) under $TMPDIR.  The library sends
   the path it opens as the file's name, so the job runs inside that folder and the
   server sees "(stdin)".  The file goes as soon as its job ends, and on every other way
   out (remove_spool). */
#define STDIN_NAME "(stdin)"
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
    snprintf(line, sizeof line, "\rvexlolpr: reading standard input: %llu bytes%s", total, done ? "\r\033[K" : "");
    say(line);
}

/* Makes the folder and the empty file; the descriptor, or -1 (errno). */
static int make_spool(void)
{
    const char *tmp = getenv("TMPDIR");
    int fd = -1;
    if (tmp == NULL || tmp[0] == '\0')
        tmp = "/tmp";
    if ((size_t)snprintf(spool_dir, sizeof spool_dir, "%s/vexlolpr-stdin.XXXXXX", tmp) >= sizeof spool_dir) {
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
    fprintf(stderr, "vexlolpr: %s: %s (%s)\n", STDIN_NAME, step, strerror(error));
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
        fprintf(stderr, "vexlolpr: %s: standard input is empty: nothing to print\n", STDIN_NAME);
        return EXIT_LOCAL_FILE;
    }
    return EXIT_OK;
}

/* The job of the kept input runs inside its folder: enter_spool keeps the way back in
   *here (EXIT_OK) or reports why not and removes the input; leave_spool goes back and
   removes it. */
static int enter_spool(int *here)
{
#ifdef O_PATH
    *here = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
#else
    *here = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#endif
    if (*here >= 0 && chdir(spool_dir) == 0)
        return EXIT_OK;
    fprintf(stderr, "vexlolpr: %s: cannot enter %s (%s)\n", STDIN_NAME, spool_dir, strerror(errno));
    if (*here >= 0)
        close(*here);
    remove_spool();
    return EXIT_LOCAL_FILE;
}

static void leave_spool(int here)
{
    remove_spool();
    if (fchdir(here) != 0) {
        /* The files after this one are named relative to it. */
        fprintf(stderr, "vexlolpr: cannot return to the working directory (%s)\n", strerror(errno));
        exit(EXIT_LOCAL_FILE);
    }
    close(here);
}

static int run_print(const struct Settings *s)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    int first = EXIT_OK;
    int cancelled = 0;
    int i;

    memset(&job, 0, sizeof job);
    job.host = s->host;
    job.printer = s->queue;
    job.copies = (WORD)s->copies;
    job.format = s->format;
    job.jobname = s->jobname;
    job.bannerclass = s->bannerclass;
    job.nobanner = s->nobanner;
    job.controlfirst = s->controlfirst;
    for (i = 0; i < s->count; i++) {
        int from_stdin = is_stdin(s->operands[i]);
        const char *file = from_stdin ? STDIN_NAME : s->operands[i];
        int here = -1;
        WORD ret;
        int status = from_stdin ? spool_stdin(s) : EXIT_OK;
        if (status == EXIT_OK && from_stdin)
            status = enter_spool(&here);
        if (status != EXIT_OK) {
            note(&first, status);
            if (status == EXIT_CANCELLED) {
                cancelled = 1;
                i++;
                break;
            }
            continue;
        }
        if (!begin_request(0)) {
            if (from_stdin)
                leave_spool(here);
            break;
        }
        fill_common(s, &common);
        job.filename = file;
        ret = LPR_Print(&job, &common);
        end_request();
        if (from_stdin)
            leave_spool(here);
        status = status_of(ret, &common);
        if (ret != LPR_OK) {
            /* The library's texts for local files do not name the file. */
            int named = s->count > 1 || ret == LPR_R_BAD_DEVICE;
            report_failure(named ? file : NULL, from_stdin ? NULL : file, ret, &common);
        }
        note(&first, status);
        if (status == EXIT_CANCELLED) {
            cancelled = 1;
            i++;
            break;
        }
    }
    return end_of_batch(s, i, cancelled, first, "files");
}

static int run_check(const struct Settings *s)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    WORD ret;

    memset(&job, 0, sizeof job);
    job.host = s->host;
    job.printer = s->queue;
    job.copies = 1;
    job.format = 'f';
    job.checkonly = 1;
    if (!begin_request(1))
        return EXIT_CANCELLED;
    fill_common(s, &common);
    ret = LPR_Print(&job, &common);
    end_request();
    if (ret != LPR_OK) {
        report_failure(NULL, NULL, ret, &common);
        return status_of(ret, &common);
    }
    if (!s->quiet) {
        printf("%s@%s accepts jobs\n", s->queue, s->host);
        if (fflush(stdout) != 0) {
            fprintf(stderr, "vexlolpr: standard output: %s\n", strerror(errno));
            return EXIT_FAILED;
        }
    }
    return EXIT_OK;
}

/* The listing is a row of NUL-terminated lines, each ending in one space that stands
   for the line end, closed by an empty string. */
static int write_listing(const char *listing)
{
    const char *line = listing;
    while (*line != '\0') {
        size_t n = strlen(line);
        /* Only the last piece can lack its line end: the server closed without one. */
        fwrite(line, 1, line[n - 1] == ' ' ? n - 1 : n, stdout);
        fputc('\n', stdout);
        line += n + 1;
    }
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "vexlolpr: standard output: %s\n", strerror(errno));
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

static int run_queue(const struct Settings *s)
{
    LPR_COMMONARG common;
    LPR_QUEUEARG queue;
    char *listing = NULL;
    WORD ret;
    int status;

    queue.host = s->host;
    queue.printer = s->queue;
    queue.lplpqueue = &listing;
    if (!begin_request(0))
        return EXIT_CANCELLED;
    fill_common(s, &common);
    ret = LPR_GetQueue(&queue, &common);
    end_request();
    if (ret != LPR_OK) {
        report_failure(NULL, NULL, ret, &common);
        LPR_FreeQueue(&listing);
        return status_of(ret, &common);
    }
    status = listing != NULL ? write_listing(listing) : EXIT_OK;
    LPR_FreeQueue(&listing);
    return status;
}

static int run_remove(const struct Settings *s)
{
    LPR_COMMONARG common;
    LPR_DELETEARG removal;
    int first = EXIT_OK;
    int cancelled = 0;
    int i;

    removal.host = s->host;
    removal.printer = s->queue;
    for (i = 0; i < s->count; i++) {
        WORD ret;
        int status;
        if (!begin_request(0))
            break;
        fill_common(s, &common);
        removal.jobnumber = (WORD)number(s->operands[i], 1, 65535);
        ret = LPR_DeleteJob(&removal, &common);
        end_request();
        status = status_of(ret, &common);
        if (ret != LPR_OK)
            report_failure(s->count > 1 ? s->operands[i] : NULL, NULL, ret, &common);
        note(&first, status);
        if (status == EXIT_CANCELLED) {
            cancelled = 1;
            i++;
            break;
        }
    }
    return end_of_batch(s, i, cancelled, first, "removals");
}

static void free_settings(struct Settings *s)
{
    free(s->queue);
    free(s->host);
    free(s->operands);
}

int main(int argc, char **argv)
{
    struct Settings s;
    int status;

    memset(&s, 0, sizeof s);
    s.copies = 1;
    s.format = 'f';
    s.replytimeout = DEFAULT_REPLY_TIMEOUT;
    s.waitbusy = DEFAULT_WAIT_BUSY;
    status = parse(argc, argv, &s);
    if (status >= 0) {
        free_settings(&s);
        return status;
    }
    if (s.user == NULL)
        s.user = login_name();
    if (s.clienthost == NULL)
        s.clienthost = short_host_name();

    /* A file size limit met while keeping standard input is an error to report, not a
       reason to die with the input left behind. */
    signal(SIGXFSZ, SIG_IGN);
    start_watcher();
    switch (s.command) {
    case CMD_PRINT:
        status = run_print(&s);
        break;
    case CMD_QUEUE:
        status = run_queue(&s);
        break;
    case CMD_REMOVE:
        status = run_remove(&s);
        break;
    default:
        status = run_check(&s);
        break;
    }
    remove_spool();
    free_settings(&s);
    return status;
}
