/* main.c - the vexlolpr command: prints files on, lists and removes jobs of, and checks
 * a queue of a remote LPD server, through the library's public interface only; follows
 * a printed job in the queue's listing, sends a failed one again, and checks in the
 * listing that a removal took.  The command line is read in options.c; what the system
 * does is in posix.c or win32.c. */
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"

#define DEFAULT_REPLY_TIMEOUT 30000u /* ms for each network wait */
#define DEFAULT_WAIT_BUSY 10u        /* s for an earlier request's status display to go */
#define FIRST_POLL_MS 2000u          /* --wait: the first look at the listing, after queuing */
#define POLL_STEP_MS 2000u           /* each pause grows by this much ... */
#define LAST_POLL_MS 10000u          /* ... up to this */

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

/* One line on standard error: "PROGNAME: [QUEUE@HOST: ][NAME: ]TEXT (error CODE[; REASON])".
   A server's refusal text is part of TEXT, so control characters are shown as '?'. */
static void report_failure(const struct Settings *at, const char *name, const char *path, WORD ret,
                           const LPR_COMMONARG *common)
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
    if (at != NULL)
        fprintf(stderr, "%s@%s: ", at->queue, at->host);
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

/* A line about a job on standard error: "PROGNAME: QUEUE@HOST: TEXT". */
static void complain(const struct Settings *s, const char *format, ...) CLI_PRINTF(2, 3);

static void complain(const struct Settings *s, const char *format, ...)
{
    va_list args;
    fprintf(stderr, "%s: %s@%s: ", progname, s->queue, s->host);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    fflush(stderr);
}

/* The job lines on standard output go out as things happen, for a person or a script
   watching.  A write that fails does not stop the work (the jobs are queued all the
   same); it is reported once, at the end, and fails the command. */
static int output_error;

static void tell(const struct Settings *s, const char *format, ...) CLI_PRINTF(2, 3);

static void tell(const struct Settings *s, const char *format, ...)
{
    va_list args;
    printf("%s@%s: ", s->queue, s->host);
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');
    if ((fflush(stdout) != 0 || ferror(stdout)) && output_error == 0)
        output_error = errno != 0 ? errno : EIO;
}

static int output_status(int status)
{
    if (output_error == 0)
        return status;
    fprintf(stderr, "%s: standard output: %s\n", progname, strerror(output_error));
    return status == EXIT_OK ? EXIT_FAILED : status;
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

/* ---- jobs in the listing ------------------------------------------------------------- */

/* Looks jobs up in the queue's listing for print --wait, print --retry and remove.  The
   short listing is asked for first; when the library cannot read its form (LPRng's
   short listing only counts jobs), the long one is fetched instead, and kept to for the
   rest of the run. */
struct Lister {
    struct Settings hidden; /* the settings without the status display: these listings
                               are the command's own business, not the user's request */
    int longform;
    char *listing;
    char *before; /* print --wait: the listing from before the job was sent */
};

static void lister_start(struct Lister *l, const struct Settings *s)
{
    l->hidden = *s;
    l->hidden.quiet = 1;
    l->longform = 0;
    l->listing = NULL;
    l->before = NULL;
}

static void lister_end(struct Lister *l)
{
    LPR_FreeQueue(&l->listing);
    LPR_FreeQueue(&l->before);
}

/* Fetches the listing: EXIT_OK, or the status of a failure reported under `what` (not
   reported when `what` is NULL). */
static int fetch_listing(struct Lister *l, const char *what)
{
    const struct Settings *s = &l->hidden;
    LPR_COMMONARG common;
    LPR_QUEUEARG queue;
    WORD ret;

    LPR_FreeQueue(&l->listing);
    queue.host = s->host;
    queue.printer = s->queue;
    queue.lplpqueue = &l->listing;
    if (!sys_begin_request(s, 0)) {
        if (what != NULL)
            complain(s, "%s: interrupted", what);
        return EXIT_CANCELLED;
    }
    fill_common(s, &common);
    if (l->longform)
        common.debugflags |= LPR_OPT_LONGLIST;
    ret = LPR_GetQueue(&queue, &common);
    sys_end_request();
    if (ret != LPR_OK) {
        if (what != NULL)
            report_failure(s, what, NULL, ret, &common);
        return status_of(ret, &common);
    }
    return EXIT_OK;
}

/* The job in a listing: an LPR_FIND_* value, *entry filled when listed. */
static int find_in(const char *listing, DWORD number, const char *owner, const char *name,
                   LPR_JOBENTRY *entry)
{
    int found;
    memset(entry, 0, sizeof *entry);
    entry->size = sizeof *entry;
    if (listing == NULL)
        return LPR_FIND_NOTHING;
    found = LPR_FindJob(listing, number, owner, name, entry);
    return found < 0 ? LPR_FIND_UNKNOWN : found;
}

/* Looks the job up (see LPR_FindJob for owner and name), in a listing fetched now when
   `fresh`, else in the last one: an LPR_FIND_* value, or -1 after a failure reported
   under `what`, its status in *status. */
static int look(struct Lister *l, int fresh, DWORD number, const char *owner, const char *name,
                LPR_JOBENTRY *entry, const char *what, int *status)
{
    int found;
    *status = fresh ? fetch_listing(l, what) : EXIT_OK;
    if (*status != EXIT_OK)
        return -1;
    found = find_in(l->listing, number, owner, name, entry);
    if (found == LPR_FIND_UNKNOWN && !l->longform) {
        l->longform = 1;
        *status = fetch_listing(l, what);
        if (*status != EXIT_OK)
            return -1;
        found = find_in(l->listing, number, owner, name, entry);
    }
    return found;
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

/* print --wait: follows the queued job in the listing until it leaves it, the time runs
   out or the listing cannot tell.  The first look also takes the job by its name and
   owner, for a server that lists it under a number of its own; that number is followed
   from then on. */
static int follow_job(const struct Settings *s, struct Lister *l, DWORD number, const char *name)
{
    LPR_JOBENTRY entry, before;
    char what[64];
    char rank[sizeof entry.rank] = "";
    unsigned long long deadline = sys_clock_ms() + (unsigned long long)s->waitlimit * 1000u;
    unsigned long pause = FIRST_POLL_MS;
    int first = 1;

    for (;;) {
        unsigned long nap = pause;
        int status, found;
        char *p;
        if (s->waitlimit > 0) {
            unsigned long long now = sys_clock_ms();
            unsigned long long left = now < deadline ? deadline - now : 0;
            if (left < nap)
                nap = (unsigned long)left;
        }
        if (!sys_sleep_ms(nap)) {
            complain(s, "interrupted while following job %u", (unsigned)number);
            return EXIT_CANCELLED;
        }
        snprintf(what, sizeof what, "cannot follow job %u", (unsigned)number);
        found = look(l, 1, number, s->user, first ? name : NULL, &entry, what, &status);
        if (found < 0)
            return status;
        if (found == LPR_FIND_NOTHING || found == LPR_FIND_UNKNOWN) {
            complain(s, "cannot follow job %u: %s", (unsigned)number,
                     found == LPR_FIND_NOTHING ? "the server lists no jobs"
                                               : "the listing's form is not known");
            return EXIT_CANNOT_TELL;
        }
        /* Taken by its name, a job listed already before ours was sent is another of
           the same name: ours is not there. */
        if (first && found == LPR_FIND_LISTED && entry.jobnumber != number && l->before != NULL &&
            find_in(l->before, entry.jobnumber, s->user, NULL, &before) == LPR_FIND_LISTED)
            found = LPR_FIND_NOT_LISTED;
        /* Not there at the first look either: it went through before we looked. */
        if (found == LPR_FIND_NOT_LISTED) {
            if (!s->quiet)
                tell(s, "job %u left the queue", (unsigned)number);
            return EXIT_OK;
        }
        if (first && entry.jobnumber != number) {
            if (!s->quiet)
                tell(s, "job %u is listed as job %u", (unsigned)number, (unsigned)entry.jobnumber);
            number = entry.jobnumber;
        }
        first = 0;
        entry.rank[sizeof entry.rank - 1] = '\0';
        for (p = entry.rank; *p != '\0'; p++) /* the server's text */
            if ((unsigned char)*p < 0x20 || *p == 0x7f)
                *p = '?';
        if (strcmp(rank, entry.rank) != 0) {
            memcpy(rank, entry.rank, sizeof rank);
            if (!s->quiet)
                tell(s, "job %u is %s", (unsigned)number, rank);
        }
        if (s->waitlimit > 0 && sys_clock_ms() >= deadline) {
            complain(s, "job %u still queued after %ld s", (unsigned)number, s->waitlimit);
            return EXIT_WAIT_TIMEOUT;
        }
        pause = pause + POLL_STEP_MS < LAST_POLL_MS ? pause + POLL_STEP_MS : LAST_POLL_MS;
    }
}

/* Sends one file, and again after a failure while --retry allows: the file's exit
   status with the queued job's number in *number, or -1 when an interrupt came before
   anything was sent. */
static int print_file(const struct Settings *s, struct Lister *l, LPR_PRINTARG *job, const char *file,
                      int from_stdin, DWORD *number)
{
    LPR_COMMONARG common;
    LPR_JOBINFO info;
    long attempt;
    int status;

    job->filename = file;
    for (attempt = 1;; attempt++) {
        unsigned long delay;
        WORD ret;
        if (!sys_begin_request(s, 0))
            return attempt == 1 ? -1 : EXIT_CANCELLED;
        fill_common(s, &common);
        memset(&info, 0, sizeof info);
        info.size = sizeof info;
        ret = LPR_PrintJob(job, &common, &info);
        sys_end_request();
        status = status_of(ret, &common);
        if (ret == LPR_OK)
            break;
        /* The library's texts for local files do not name the file. */
        report_failure(NULL, s->count > 1 || ret == LPR_R_BAD_DEVICE ? file : NULL, from_stdin ? NULL : file,
                       ret, &common);
        if (info.state == LPR_JOB_UNCLEAR && info.jobnumber != 0)
            complain(s, "job %u may be queued: the server did not confirm it", (unsigned)info.jobnumber);
        /* A local file, a name or an interrupt would fail again the same way. */
        if (status != EXIT_FAILED || attempt >= s->tries)
            return status;
        if (info.state == LPR_JOB_UNCLEAR) {
            /* Sent again, a job that did reach the server would be printed twice. */
            LPR_JOBENTRY entry;
            char what[64];
            int looked;
            int found;
            snprintf(what, sizeof what, "cannot tell whether job %u is queued", (unsigned)info.jobnumber);
            found = look(l, 1, info.jobnumber, s->user, NULL, &entry, what, &looked);
            if (found == LPR_FIND_LISTED) {
                status = EXIT_OK;
                break;
            }
            if (found < 0)
                return looked == EXIT_CANCELLED ? EXIT_CANCELLED : status;
            if (found != LPR_FIND_NOT_LISTED) {
                complain(s, "%s: not sent again: the listing cannot tell whether job %u is queued", file,
                         (unsigned)info.jobnumber);
                return status;
            }
        }
        delay = 1000ul << (attempt - 1);
        complain(s, "%s: try %ld of %ld in %lu s", file, attempt + 1, s->tries, delay / 1000);
        if (!sys_sleep_ms(delay)) {
            complain(s, "%s: interrupted: not sent again", file);
            return EXIT_CANCELLED;
        }
    }
    /* Windows' lpr says nothing on success, and scripts written for it expect that. */
    if (!s->quiet && s->form != FORM_LPR)
        tell(s, "job %u queued (%s, %llu bytes)", (unsigned)info.jobnumber, file,
             (unsigned long long)info.bytessent);
    *number = info.jobnumber;
    return status;
}

static int run_print(const struct Settings *s)
{
    struct Lister lister;
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
    lister_start(&lister, s);
    for (i = 0; i < s->count; i++) {
        int from_stdin = is_stdin(s->operands[i]);
        const char *file = from_stdin ? STDIN_NAME : s->operands[i];
        DWORD number = 0;
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
        /* What is listed before the job is sent cannot be the job (see follow_job); a
           listing that fails here only leaves that check out. */
        if (s->follow) {
            LPR_JOBENTRY entry;
            int listed;
            look(&lister, 1, 0, NULL, NULL, &entry, NULL, &listed);
            LPR_FreeQueue(&lister.before);
            lister.before = lister.listing;
            lister.listing = NULL;
            status = listed == EXIT_CANCELLED ? -1 : EXIT_OK;
        }
        if (status == EXIT_OK)
            status = print_file(s, &lister, &job, file, from_stdin, &number);
        if (from_stdin)
            sys_drop_stdin();
        if (status < 0)
            break;
        /* The job's name as its control file has it: the listing may show that. */
        if (status == EXIT_OK && s->follow)
            status = follow_job(s, &lister, number, s->jobname != NULL ? s->jobname : file);
        note(&first, status);
        if (status == EXIT_CANCELLED) {
            cancelled = 1;
            i++;
            break;
        }
    }
    lister_end(&lister);
    return output_status(end_of_batch(s, i, cancelled, first, "files"));
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
        report_failure(NULL, NULL, NULL, ret, &common);
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
        report_failure(NULL, NULL, NULL, ret, &common);
        LPR_FreeQueue(&listing);
        return status_of(ret, &common);
    }
    status = listing != NULL ? write_listing(listing) : EXIT_OK;
    LPR_FreeQueue(&listing);
    return status;
}

/* What became of one job number of remove. */
enum Removal {
    RM_UNTRIED,   /* not reached: an interrupt, or the listing failed */
    RM_NOT_THERE, /* not listed before: no removal sent */
    RM_FAILED,    /* the removal request failed (reported) */
    RM_SENT,      /* sent; the listing before had the job */
    RM_UNTOLD     /* sent; the listing before could not tell */
};

/* Sends one removal: EXIT_OK, the status of a failure reported, or -1 when an
   interrupt came first. */
static int send_removal(const struct Settings *s, int i)
{
    LPR_COMMONARG common;
    LPR_DELETEARG removal;
    WORD ret;

    removal.host = s->host;
    removal.printer = s->queue;
    removal.jobnumber = (WORD)number(s->operands[i], 1, 65535);
    if (!sys_begin_request(s, 0))
        return -1;
    fill_common(s, &common);
    ret = LPR_DeleteJob(&removal, &common);
    sys_end_request();
    if (ret != LPR_OK)
        report_failure(NULL, s->count > 1 ? s->operands[i] : NULL, NULL, ret, &common);
    return status_of(ret, &common);
}

/* --no-check, and lprm: the removals alone, as the server takes them. */
static int remove_unchecked(const struct Settings *s)
{
    int first = EXIT_OK;
    int cancelled = 0;
    int i;

    for (i = 0; i < s->count; i++) {
        int status = send_removal(s, i);
        if (status < 0)
            break;
        note(&first, status);
        if (status == EXIT_CANCELLED) {
            cancelled = 1;
            i++;
            break;
        }
    }
    return end_of_batch(s, i, cancelled, first, "removals");
}

/* The server does not say whether it removed a job (nor whether the user may), so the
   listing is asked before and after: a number not listed before is not sent, and one
   still listed after is reported. */
static int run_remove(const struct Settings *s)
{
    static const char what[] = "cannot list the queue";
    struct Lister lister;
    LPR_JOBENTRY entry;
    enum Removal *state;
    int *status;
    int first = EXIT_OK;
    int cancelled = 0;
    int listing = EXIT_OK; /* the status of a listing that failed */
    int listed = 0;        /* removals sent of jobs that were listed */
    int done = 0;
    int i, found;

    if (s->nocheck)
        return remove_unchecked(s);
    state = calloc((size_t)s->count, sizeof *state);
    status = calloc((size_t)s->count, sizeof *status);
    if (state == NULL || status == NULL) {
        free(state);
        free(status);
        fprintf(stderr, "%s: out of memory\n", progname);
        return EXIT_FAILED;
    }
    lister_start(&lister, s);
    /* Before: one listing for all the numbers. */
    for (i = 0; i < s->count && listing == EXIT_OK; i++) {
        found = look(&lister, i == 0, (DWORD)number(s->operands[i], 1, 65535), NULL, NULL, &entry, what,
                     &listing);
        state[i] = found == LPR_FIND_NOT_LISTED ? RM_NOT_THERE
                   : found == LPR_FIND_LISTED   ? RM_SENT
                   : found >= 0                 ? RM_UNTOLD
                                                : RM_UNTRIED;
    }
    if (listing == EXIT_CANCELLED) {
        cancelled = 1;
    } else if (listing != EXIT_OK) {
        /* Nothing is sent without knowing: the failure is reported, and it is the
           command's status. */
        first = listing;
        done = s->count;
    } else {
        for (; done < s->count; done++) {
            int sent;
            if (state[done] == RM_NOT_THERE)
                continue;
            sent = send_removal(s, done);
            if (sent < 0) {
                cancelled = 1;
                break;
            }
            if (sent != EXIT_OK) {
                state[done] = RM_FAILED;
                status[done] = sent;
            }
            listed += state[done] == RM_SENT;
            if (sent == EXIT_CANCELLED) {
                cancelled = 1;
                done++;
                break;
            }
        }
        /* After: one listing again, for the jobs that were listed. */
        if (listed > 0 && !cancelled)
            look(&lister, 1, 0, NULL, NULL, &entry, what, &listing);
    }
    for (i = 0; i < done; i++) {
        unsigned n = (unsigned)number(s->operands[i], 1, 65535);
        switch (state[i]) {
        case RM_NOT_THERE:
            complain(s, "job %u was not in the queue", n);
            status[i] = EXIT_NOT_THERE;
            break;
        case RM_UNTOLD:
            complain(s, "job %u: removal sent; the listing cannot tell whether it was removed", n);
            status[i] = EXIT_CANNOT_TELL;
            break;
        case RM_SENT:
            /* No listing after: an interrupt, or its failure was reported. */
            if (cancelled || listing != EXIT_OK) {
                status[i] = cancelled ? EXIT_CANCELLED : listing;
                break;
            }
            found = find_in(lister.listing, (DWORD)n, NULL, NULL, &entry);
            if (found == LPR_FIND_NOT_LISTED) {
                if (!s->quiet)
                    tell(s, "job %u removed", n);
            } else if (found == LPR_FIND_LISTED) {
                complain(s, "job %u is still in the queue", n);
                status[i] = EXIT_STILL_THERE;
            } else {
                complain(s, "job %u: removal sent; the listing cannot tell whether it was removed", n);
                status[i] = EXIT_CANNOT_TELL;
            }
            break;
        default:
            break;
        }
        note(&first, status[i]);
    }
    lister_end(&lister);
    free(state);
    free(status);
    return output_status(end_of_batch(s, done, cancelled, first, "removals"));
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
    s.tries = 1;
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
