/* interop_client.c - drives the library's public interface from the command line, for
 * the round trips against real LPD servers: one kind of request per invocation, the
 * outcome on standard error, a queue listing on standard output. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vexlolpr.h>

static const char usage[] =
    "usage: interop_client print HOST QUEUE FILE... [--control-first] [--copies N] [--format C]\n"
    "                            [--nobanner] [--class TEXT] [--job NAME] [--check] [common options]\n"
    "       interop_client queue HOST QUEUE [--long] [common options]\n"
    "       interop_client remove HOST QUEUE JOBNUMBER [common options]\n"
    "common options: --user U  --client-host H  --timeout MS  --trace\n"
    "Several FILEs are sent as jobs of their own, back to back from this one process.\n"
    "Exit status 0 only when every request succeeded.\n";

static int bad_usage(const char *why)
{
    fprintf(stderr, "interop_client: %s\n%s", why, usage);
    return 2;
}

/* A whole decimal number from 0 to max, or -1. */
static long number(const char *text, long max)
{
    char *end;
    long value;
    if (text == NULL || *text < '0' || *text > '9')
        return -1;
    errno = 0;
    value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > max)
        return -1;
    return value;
}

/* One line for every request, so that a failing check in the driver shows what the
   library said: the result value, errorcode and the last-error text. */
static int report(const char *what, WORD ret, const LPR_COMMONARG *common)
{
    char text[512];
    int length = LPR_GetLastErrorText(text, (int)sizeof text);
    if (ret == LPR_OK) {
        fprintf(stderr, "interop_client: %s: result=0 errorcode=%d\n", what, (int)common->errorcode);
        return 0;
    }
    fprintf(stderr, "interop_client: %s: result=%u errorcode=%d text=\"%s\"%s\n", what, (unsigned)ret,
            (int)common->errorcode, text, length >= (int)sizeof text ? " (cut)" : "");
    return 1;
}

/* The listing comes as NUL-terminated strings in which each line end is one space
   before the NUL, closed by an empty string.  It is written back with the line ends
   restored, so the driver can compare it with the server's own bytes. */
static void write_listing(const char *listing)
{
    const char *line = listing;
    while (*line != '\0') {
        size_t n = strlen(line);
        if (line[n - 1] == ' ') {
            fwrite(line, 1, n - 1, stdout);
            fputc('\n', stdout);
        } else {
            /* only the last piece can lack its line end: the server closed without one */
            fwrite(line, 1, n, stdout);
        }
        line += n + 1;
    }
    fflush(stdout);
}

int main(int argc, char **argv)
{
    LPR_COMMONARG common;
    LPR_PRINTARG job;
    const char *operands[64];
    int count = 0;
    int failures = 0;
    int i;

    memset(&common, 0, sizeof common);
    memset(&job, 0, sizeof job);
    common.username = "interop";
    common.clienthost = "interophost";
    common.replytimeout = 10000;
    common.lprtimeout = 5;
    job.copies = 1;
    job.format = 'f';

    for (i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        long n;
        if (strncmp(arg, "--", 2) != 0) {
            if (count == (int)(sizeof operands / sizeof operands[0]))
                return bad_usage("too many operands");
            operands[count++] = arg;
            continue;
        }
        if (strcmp(arg, "--control-first") == 0) {
            job.controlfirst = 1;
        } else if (strcmp(arg, "--nobanner") == 0) {
            job.nobanner = 1;
        } else if (strcmp(arg, "--check") == 0) {
            job.checkonly = 1;
        } else if (strcmp(arg, "--trace") == 0) {
            common.debugflags |= LPR_DEBUG_TRACE;
        } else if (strcmp(arg, "--long") == 0) {
            common.debugflags |= LPR_OPT_LONGLIST;
        } else if (value == NULL) {
            return bad_usage("option without a value, or unknown option");
        } else {
            i++;
            if (strcmp(arg, "--copies") == 0) {
                if ((n = number(value, 65535)) < 0)
                    return bad_usage("--copies needs 0..65535");
                job.copies = (WORD)n;
            } else if (strcmp(arg, "--format") == 0) {
                if (strlen(value) != 1)
                    return bad_usage("--format needs one letter");
                job.format = value[0];
            } else if (strcmp(arg, "--class") == 0) {
                job.bannerclass = value;
            } else if (strcmp(arg, "--job") == 0) {
                job.jobname = value;
            } else if (strcmp(arg, "--user") == 0) {
                common.username = value;
            } else if (strcmp(arg, "--client-host") == 0) {
                common.clienthost = value;
            } else if (strcmp(arg, "--timeout") == 0) {
                if ((n = number(value, 600000)) < 0)
                    return bad_usage("--timeout needs milliseconds");
                common.replytimeout = (DWORD)n;
            } else {
                return bad_usage("unknown option");
            }
        }
    }
    if (count < 1)
        return bad_usage("no request named");

    if (strcmp(operands[0], "print") == 0) {
        if (count < (job.checkonly ? 3 : 4))
            return bad_usage("print needs HOST QUEUE FILE");
        job.host = operands[1];
        job.printer = operands[2];
        if (count == 3) { /* check-only needs no file */
            common.errorcode = 0;
            return report("print (check only)", LPR_Print(&job, &common), &common);
        }
        for (i = 3; i < count; i++) {
            char what[300];
            job.filename = operands[i];
            common.errorcode = 0;
            snprintf(what, sizeof what, "print %s", operands[i]);
            failures += report(what, LPR_Print(&job, &common), &common);
        }
        return failures == 0 ? 0 : 1;
    }
    if (strcmp(operands[0], "queue") == 0) {
        LPR_QUEUEARG queue;
        char *listing = (char *)"not touched";
        WORD ret;
        if (count != 3)
            return bad_usage("queue needs HOST QUEUE");
        queue.host = operands[1];
        queue.printer = operands[2];
        queue.lplpqueue = &listing;
        common.errorcode = 0;
        ret = LPR_GetQueue(&queue, &common);
        if (ret != LPR_OK) {
            if (listing != NULL) {
                fprintf(stderr, "interop_client: queue failed but the listing variable is not NULL\n");
                failures++;
            }
            return (report("queue", ret, &common) + failures) != 0 ? 1 : 0;
        }
        if (listing == NULL) {
            fprintf(stderr, "interop_client: queue succeeded without a listing\n");
            return 1;
        }
        write_listing(listing);
        LPR_FreeQueue(&listing);
        if (listing != NULL) {
            fprintf(stderr, "interop_client: LPR_FreeQueue left the variable set\n");
            failures++;
        }
        return (report("queue", ret, &common) + failures) != 0 ? 1 : 0;
    }
    if (strcmp(operands[0], "remove") == 0) {
        LPR_DELETEARG removal;
        long n;
        if (count != 4)
            return bad_usage("remove needs HOST QUEUE JOBNUMBER");
        if ((n = number(operands[3], 65535)) < 0)
            return bad_usage("JOBNUMBER needs 0..65535");
        removal.host = operands[1];
        removal.printer = operands[2];
        removal.jobnumber = (WORD)n;
        common.errorcode = 0;
        return report("remove", LPR_DeleteJob(&removal, &common), &common);
    }
    return bad_usage("unknown request");
}
