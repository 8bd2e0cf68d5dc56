/* options.c - the command line of the vexlolpr command: its own syntax (vexlolpr
 * COMMAND [options]) and, when called lpr, lpq or lprm, the switches of Windows' lpr and
 * lpq, with the lprm that Windows never had; the help texts and the usage errors. */
#include <errno.h>
#include <getopt.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

const char *progname = "vexlolpr";

static const char *const command_names[] = {"", "print", "queue", "remove", "check"};
static const char *const form_names[] = {"vexlolpr", "lpr", "lpq", "lprm"};

#define MAX_REPLY_TIMEOUT 2147483647L
#define MAX_WAIT_BUSY 86400L /* the library counts the wait in ms in 32 bits */
#define MAX_WAIT_LIMIT 2147483647L
#define DEFAULT_TRIES 3L
#define MAX_TRIES 10L /* the pause before the last is 512 s already */

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
    "      --dialog               on Windows, the library's own status window instead of\n"
    "                             the display on the console (elsewhere no change)\n"
    "  -q, --quiet                no status display, and nothing on standard output\n"
    "                             but a queue's listing\n"
    "      --help                 show this text\n";

static const char help_exit[] =
    "Exit status: 0 success; 1 network, protocol or server failure; 2 usage error;\n"
    "3 a local file cannot be printed; 4 print --wait: the time ran out; 5 the\n"
    "listing cannot tell; 6 remove: a job was not in the queue; 7 remove: a job is\n"
    "still in the queue; 130 interrupted (Ctrl-C).  With several files or job\n"
    "numbers, every one is tried and the status is that of the first failure.\n";

static const char help_server[] =
    "  -S SERVER[:PORT]  the LPD server; an IPv6 address goes in brackets:\n"
    "                    -S [2001:db8::5]:515.  PORT defaults to 515.\n"
    "  -P PRINTER        the queue on that server\n"
    "  Without -S, -P takes the vexlolpr form PRINTER@SERVER, and without -P the\n"
    "  PRINTER environment variable is used (PRINTER=lp@printsrv).\n";

static void help_text(enum Command command)
{
    switch (command) {
    case CMD_PRINT:
        printf("usage: vexlolpr print [options] [FILE...]\n"
               "Sends each FILE as a print job of its own to a queue of an LPD server, and\n"
               "writes a line for each job queued:\n"
               "  QUEUE@HOST: job N queued (FILE, BYTES bytes)\n"
               "Without a FILE, or for '-' among them, standard input is printed: it is\n"
               "kept in a private file in the temporary folder (removed afterwards) and\n"
               "sent under the name (stdin).\n\n"
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
               "Following and sending again:\n"
               "      --wait[=SECONDS]       follow each job in the queue's listing until it\n"
               "                             leaves it (without SECONDS, however long it takes)\n"
               "      --retry[=N]            after a failure on the way or at the server, send\n"
               "                             the file again, N tries in all (default 3, 1..10),\n"
               "                             after 1, 2, 4 ... s; a job that may have reached\n"
               "                             the server is looked for in the listing first\n\n"
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
               "The server does not say whether it did, so the queue's listing is looked at\n"
               "before and after: a job not listed is not asked for, and each job listed is\n"
               "reported removed (QUEUE@HOST: job N removed) or still in the queue.\n\n"
               "Remove options:\n"
               "      --no-check             send the removals alone, without the listings\n\n"
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
               "'vexlolpr COMMAND --help' lists the options of a command.  Called lpr, lpq\n"
               "or lprm, the program takes the switches of Windows' lpr and lpq instead\n"
               "('lpr --help').\n\n%s",
               usage_main, help_destination, help_exit);
        break;
    }
}

static void help_form(enum Form form)
{
    switch (form) {
    case FORM_LPR:
        printf("usage: lpr -S SERVER -P PRINTER [-C CLASS] [-J JOBNAME] [-o l] [-x] [-d] [FILE...]\n"
               "Sends each FILE as a print job of its own (standard input without a FILE\n"
               "or for '-'), with the switches of Windows' lpr.\n\n%s"
               "  -C CLASS          class printed on the banner page\n"
               "  -J JOBNAME        job name (default: the file name as given)\n"
               "  -o l              send the file as it is, control characters included\n"
               "                    (format l; without it, format f: plain text)\n"
               "  -x                accepted and changes nothing: Windows' lpr asks with it\n"
               "                    for the jobs of very old servers, and every job sent here\n"
               "                    is already of that kind\n"
               "  -d                send the data file first (otherwise the control file\n"
               "                    goes first, as Windows' lpr sends it)\n\n"
               "'vexlolpr print --help' has the rest of this program's options.\n\n%s",
               help_server, help_exit);
        break;
    case FORM_LPQ:
        printf("usage: lpq -S SERVER -P PRINTER [-l]\n"
               "Shows the queue's listing, with the switches of Windows' lpq.\n\n%s"
               "  -l                the long listing\n\n%s",
               help_server, help_exit);
        break;
    default:
        printf("usage: lprm -S SERVER -P PRINTER JOBNUMBER...\n"
               "Asks the server to remove each job, in the name of the requesting user, and\n"
               "says nothing of the server's answer ('vexlolpr remove' checks the listing).\n\n%s\n%s",
               help_server, help_exit);
        break;
    }
}

/* "Try ...": where the help for what went wrong is. */
static void try_line(enum Command command)
{
    if (strcmp(progname, "vexlolpr") != 0)
        fprintf(stderr, "\nTry '%s --help'.\n", progname);
    else if (command == CMD_NONE)
        fputs("\nTry 'vexlolpr --help'.\n", stderr);
    else
        fprintf(stderr, "\nTry 'vexlolpr %s --help'.\n", command_names[command]);
}

static int usage_error(enum Command command, const char *format, ...) CLI_PRINTF(2, 3);

static int usage_error(enum Command command, const char *format, ...)
{
    va_list args;
    fprintf(stderr, "%s: ", progname);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    try_line(command);
    return EXIT_USAGE;
}

/* ---- values ------------------------------------------------------------------------------ */

long number(const char *text, long min, long max)
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

int is_stdin(const char *operand)
{
    return strcmp(operand, "-") == 0;
}

static char *copy_of(const char *text, size_t length)
{
    char *copy = malloc(length + 1);
    if (copy != NULL) {
        memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
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

/* Works out queue and host from -P, -H (-S) and PRINTER.  0, or the usage error's
   status. */
static int resolve_destination(struct Settings *s)
{
    const char *spec = s->printer_option;
    const char *origin = "-P";
    const char *hostflag = s->form == FORM_VEXLOLPR ? "-H" : "-S";
    const char *at;
    if (spec == NULL) {
        spec = getenv("PRINTER");
        origin = "PRINTER";
        if (spec == NULL || spec[0] == '\0') {
            if (s->host_option != NULL)
                return usage_error(s->command, "no queue given: add -P QUEUE (or set PRINTER=QUEUE)");
            return usage_error(s->command, "no destination: give -P QUEUE@HOST, or -P QUEUE with %s HOST, "
                                           "or set PRINTER=QUEUE@HOST", hostflag);
        }
    }
    if (spec[0] == '\0')
        return usage_error(s->command, "empty -P: give -P QUEUE@HOST");
    if (s->host_option != NULL && s->host_option[0] == '\0')
        return usage_error(s->command, "empty %s: give %s HOST", hostflag, hostflag);
    at = strchr(spec, '@');
    if (at != NULL) {
        if (s->host_option != NULL && s->printer_option != NULL)
            return usage_error(s->command, "the host is given twice: in -P %s and with %s", spec, hostflag);
        s->queue = copy_of(spec, (size_t)(at - spec));
        s->host = copy_of(s->host_option != NULL ? s->host_option : at + 1,
                          strlen(s->host_option != NULL ? s->host_option : at + 1));
    } else {
        if (s->host_option == NULL)
            return usage_error(s->command, "no server host for queue '%s': give -P %s@HOST or %s HOST%s", spec,
                               spec, hostflag, s->printer_option == NULL ? " (PRINTER names no host)" : "");
        s->queue = copy_of(spec, strlen(spec));
        s->host = copy_of(s->host_option, strlen(s->host_option));
    }
    if (s->queue == NULL || s->host == NULL) {
        fprintf(stderr, "%s: out of memory\n", progname);
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

/* ---- vexlolpr COMMAND [options] ------------------------------------------------------------ */

enum {
    OPT_CLIENT_HOST = 256,
    OPT_FORMAT,
    OPT_CONTROL_FIRST,
    OPT_REPLY_TIMEOUT,
    OPT_WAIT_BUSY,
    OPT_TRACE,
    OPT_YIELD,
    OPT_DIALOG,
    OPT_LONG,
    OPT_WAIT,
    OPT_RETRY,
    OPT_NO_CHECK,
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
    {"dialog", no_argument, NULL, OPT_DIALOG},
    {"quiet", no_argument, NULL, 'q'},
    {"long", no_argument, NULL, OPT_LONG},
    {"wait", optional_argument, NULL, OPT_WAIT},
    {"retry", optional_argument, NULL, OPT_RETRY},
    {"no-check", no_argument, NULL, OPT_NO_CHECK},
    {"help", no_argument, NULL, OPT_HELP},
    {"version", no_argument, NULL, OPT_VERSION},
    {NULL, 0, NULL, 0},
};

/* The old forms know --help and --version besides their switches. */
static const struct option form_options[] = {
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

/* A missing value or an unknown option, as getopt reported it. */
static int option_error(const struct Settings *s, int c, char **argv)
{
    if (c == ':') {
        /* A long option is named as written; getopt sets optopt to its value. */
        if (strncmp(argv[optind - 1], "--", 2) == 0)
            return usage_error(s->command, "option %s needs a value", argv[optind - 1]);
        return usage_error(s->command, "option -%c needs a value", optopt);
    }
    if (optopt != 0)
        return usage_error(s->command, "unknown option -%c", optopt);
    return usage_error(s->command, "unknown option %.*s", (int)strcspn(argv[optind - 1], "="), argv[optind - 1]);
}

/* Options may come before or after the command and the operands; "--" ends the
   options.  -1 to go on, or an exit status. */
static int parse_vexlolpr(int argc, char **argv, struct Settings *s, int *help)
{
    /* Leading '-': operands come back in order as option 1, whatever POSIXLY_CORRECT
       says; ':' reports a missing value apart from an unknown option. */
    static const char short_options[] = "-:P:H:U:#:J:C:hlpq";
    int c;
    int index;

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
        case OPT_WAIT:
            s->follow = 1;
            s->waitlimit = 0;
            if (optarg != NULL && (s->waitlimit = number(optarg, 1, MAX_WAIT_LIMIT)) < 0)
                return usage_error(s->command, "bad time limit '%s' for --wait (seconds, 1..%ld)", optarg,
                                   MAX_WAIT_LIMIT);
            break;
        case OPT_RETRY:
            s->tries = DEFAULT_TRIES;
            if (optarg != NULL && (s->tries = number(optarg, 1, MAX_TRIES)) < 0)
                return usage_error(s->command, "bad number of tries '%s' for --retry (1..%ld)", optarg,
                                   MAX_TRIES);
            break;
        case OPT_NO_CHECK:
            s->nocheck = 1;
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
        case OPT_DIALOG:
            s->dialog = 1;
            break;
        case 'q':
            s->quiet = 1;
            break;
        case OPT_HELP:
            *help = 1;
            break;
        case OPT_VERSION:
            printf("vexlolpr %s\n", VEXLOLPR_VERSION_STRING);
            return EXIT_OK;
        default:
            return option_error(s, c, argv);
        }
        switch (c) {
        case '#': case 'J': case 'C': case 'h': case 'p': case OPT_FORMAT: case OPT_CONTROL_FIRST:
        case OPT_WAIT:
        case OPT_RETRY:
            if (s->print_only[0] == '\0')
                option_text(c, index, s->print_only, sizeof s->print_only);
            break;
        case OPT_NO_CHECK:
            if (s->remove_only[0] == '\0')
                option_text(c, index, s->remove_only, sizeof s->remove_only);
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
    if (*help) {
        help_text(s->command);
        return EXIT_OK;
    }
    if (s->command == CMD_NONE)
        return usage_error(CMD_NONE, "no command given (print, queue, remove or check)");
    if (s->command != CMD_PRINT && s->print_only[0] != '\0')
        return usage_error(s->command, "option %s applies to print only", s->print_only);
    if (s->command != CMD_QUEUE && s->queue_only[0] != '\0')
        return usage_error(s->command, "option %s applies to queue only", s->queue_only);
    if (s->command != CMD_REMOVE && s->remove_only[0] != '\0')
        return usage_error(s->command, "option %s applies to remove only", s->remove_only);
    /* -l is lpr's literal format and lpq's long listing. */
    if (s->ell && s->command == CMD_QUEUE)
        s->longlist = 1;
    else if (s->ell && s->command != CMD_PRINT)
        return usage_error(s->command, "option -l applies to print and queue only");
    return -1;
}

/* ---- lpr, lpq and lprm: Windows' switches ------------------------------------------------ */

/* lpr -S server -P printer [-C class] [-J jobname] [-o l] [-x] [-d] file...
   lpq -S server -P printer [-l]
   lprm -S server -P printer jobnumber...
   -1 to go on, or an exit status. */
static int parse_form(int argc, char **argv, struct Settings *s, int *help)
{
    static const char *const switches[] = {"", "-:S:P:C:J:o:xd", "-:S:P:l", "-:S:P:"};
    int c;

    s->command = s->form == FORM_LPR ? CMD_PRINT : s->form == FORM_LPQ ? CMD_QUEUE : CMD_REMOVE;
    /* Windows' lpr sends the control file first; -d asks for the data file first. */
    s->controlfirst = 1;
    /* lprm has always sent the removal alone and said nothing; scripts rely on that. */
    s->nocheck = s->form == FORM_LPRM;
    for (;;) {
        c = getopt_long(argc, argv, switches[s->form], form_options, NULL);
        if (c == -1)
            break;
        switch (c) {
        case 1:
            s->operands[s->count++] = optarg;
            break;
        case 'S':
            s->host_option = optarg;
            break;
        case 'P':
            s->printer_option = optarg;
            break;
        case 'C':
            s->bannerclass = optarg;
            break;
        case 'J':
            s->jobname = optarg;
            break;
        case 'o':
            /* Windows' lpr knows "-o l" alone: the file goes as it is. */
            if (strcmp(optarg, "l") != 0)
                return usage_error(s->command, "bad -o '%s': only -o l (send the file as it is)", optarg);
            s->format = 'l';
            break;
        case 'x':
            break;
        case 'd':
            s->controlfirst = 0;
            break;
        case 'l':
            s->longlist = 1;
            break;
        case OPT_HELP:
            *help = 1;
            break;
        case OPT_VERSION:
            printf("%s (vexlolpr) %s\n", progname, VEXLOLPR_VERSION_STRING);
            return EXIT_OK;
        default:
            return option_error(s, c, argv);
        }
    }
    for (; optind < argc; optind++)
        s->operands[s->count++] = argv[optind];
    if (*help) {
        help_form(s->form);
        return EXIT_OK;
    }
    return -1;
}

/* The form the program's own name asks for: its last path component, without ".exe",
   in any case (Windows does not tell LPR.EXE from lpr.exe). */
static enum Form form_of(const char *argv0)
{
    const char *base = argv0;
    const char *p;
    size_t length;
    int i;
    for (p = argv0; *p != '\0'; p++)
        if (*p == '/' || *p == '\\')
            base = p + 1;
    length = strlen(base);
    if (length > 4 && (strcmp(base + length - 4, ".exe") == 0 || strcmp(base + length - 4, ".EXE") == 0))
        length -= 4;
    for (i = FORM_LPR; i <= FORM_LPRM; i++) {
        size_t n = strlen(form_names[i]);
        size_t j;
        if (length != n)
            continue;
        for (j = 0; j < n && (base[j] | 0x20) == form_names[i][j]; j++)
            ;
        if (j == n)
            return (enum Form)i;
    }
    return FORM_VEXLOLPR;
}

int parse_command_line(int argc, char **argv, struct Settings *s)
{
    int help = 0;
    int status;
    int index;
    int c;

    s->form = form_of(argc > 0 ? argv[0] : "vexlolpr");
    progname = form_names[s->form];
    s->operands = calloc((size_t)argc + 1, sizeof *s->operands);
    if (s->operands == NULL) {
        fprintf(stderr, "%s: out of memory\n", progname);
        return EXIT_FAILED;
    }
    opterr = 0;
    status = s->form == FORM_VEXLOLPR ? parse_vexlolpr(argc, argv, s, &help) : parse_form(argc, argv, s, &help);
    if (status >= 0)
        return status;
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
