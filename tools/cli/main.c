/* main.c - the vexlolpr command: prints files on, lists and removes jobs of, and checks
 * a queue of a remote LPD server, through the library's public interface only.  The
 * command line is read in options.c; what the system does is in posix.c or win32.c. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

#define DEFAULT_REPLY_TIMEOUT 30000u /* ms for each network wait */
#define DEFAULT_WAIT_BUSY 10u        /* s for an earlier request's status display to go */

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

/* One line on standard error: "PROGNAME: [NAME: ]TEXT (error CODE[; REASON])".  A
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
        sys_file_reason(path, reason, sizeof reason);
    fprintf(stderr, "%s: ", progname);
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
    common->showdialog = sys_show_dialog(s);
    common->replytimeout = (DWORD)s->replytimeout;
    common->lprtimeout = (DWORD)s->waitbusy;
    /* A command has no windows to keep alive: chunks go back to back unless asked. */
    common->debugflags = (WORD)((s->trace ? LPR_DEBUG_TRACE : 0) | (s->yield ? 0 : LPR_OPT_NOYIELD) |
                                (s->longlist ? LPR_OPT_LONGLIST : 0));
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
        fprintf(stderr, "%s: interrupted: %d of %d %s not sent\n", progname, s->count - done, s->count, what);
    return cancelled || done < s->count ? EXIT_CANCELLED : first;
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
        WORD ret;
        int status = from_stdin ? sys_keep_stdin(s) : EXIT_OK;
        if (status != EXIT_OK) {
            note(&first, status);
            if (status == EXIT_CANCELLED) {
                cancelled = 1;
                i++;
                break;
            }
            continue;
        }
        if (!sys_begin_request(s, 0)) {
            if (from_stdin)
                sys_drop_stdin();
            break;
        }
        fill_common(s, &common);
        job.filename = file;
        ret = LPR_Print(&job, &common);
        sys_end_request();
        if (from_stdin)
            sys_drop_stdin();
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
    if (!sys_begin_request(s, 1))
        return EXIT_CANCELLED;
    fill_common(s, &common);
    ret = LPR_Print(&job, &common);
    sys_end_request();
    if (ret != LPR_OK) {
        report_failure(NULL, NULL, ret, &common);
        return status_of(ret, &common);
    }
    if (!s->quiet) {
        printf("%s@%s accepts jobs\n", s->queue, s->host);
        if (fflush(stdout) != 0) {
            fprintf(stderr, "%s: standard output: %s\n", progname, strerror(errno));
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
        fprintf(stderr, "%s: standard output: %s\n", progname, strerror(errno));
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
    if (!sys_begin_request(s, 0))
        return EXIT_CANCELLED;
    fill_common(s, &common);
    ret = LPR_GetQueue(&queue, &common);
    sys_end_request();
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
        if (!sys_begin_request(s, 0))
            break;
        fill_common(s, &common);
        removal.jobnumber = (WORD)number(s->operands[i], 1, 65535);
        ret = LPR_DeleteJob(&removal, &common);
        sys_end_request();
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
    status = sys_arguments(&argc, &argv);
    if (status < 0)
        status = parse_command_line(argc, argv, &s);
    if (status >= 0) {
        free_settings(&s);
        return status;
    }
    if (s.user == NULL)
        s.user = sys_user_name();
    if (s.clienthost == NULL)
        s.clienthost = sys_host_name();

    sys_start(&s);
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
    free_settings(&s);
    return status;
}
