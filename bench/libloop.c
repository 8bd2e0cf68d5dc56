/* libloop.c - jobs printed through the library from one process, one LPR_Print call
 * after another, as an application that submits many jobs would.
 *
 * usage: libloop [-y] [-n JOBS] HOST[:PORT] FILE
 *   -y  keep the library's one-tick yield between chunks (default: LPR_OPT_NOYIELD)
 *   -n  jobs (default 500)
 * Standard output gets "jobs=N failed=N seconds=S jobs_per_s=R"; the first failure's
 * result, errorcode and text go to standard error.  Exit status 0 when every job
 * succeeded, 1 otherwise, 2 usage. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <vexlolpr.h>

int main(int argc, char **argv)
{
    int yield = 0, opt;
    long jobs = 500;

    while ((opt = getopt(argc, argv, "yn:")) != -1) {
        switch (opt) {
        case 'y':
            yield = 1;
            break;
        case 'n':
            jobs = atol(optarg);
            break;
        default:
            goto usage;
        }
    }
    if (argc - optind != 2 || jobs < 1)
        goto usage;

    LPR_PRINTARG job;
    memset(&job, 0, sizeof job);
    job.filename = argv[optind + 1];
    job.host = argv[optind];
    job.printer = "lp";
    job.copies = 1;
    job.format = 'f';
    job.nobanner = 1;

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    long failed = 0;
    for (long i = 0; i < jobs; i++) {
        LPR_COMMONARG common;
        memset(&common, 0, sizeof common);
        common.username = "bench";
        common.clienthost = "bench";
        common.replytimeout = 30000;
        common.lprtimeout = 10;
        common.debugflags = yield ? 0 : LPR_OPT_NOYIELD;
        WORD result = LPR_Print(&job, &common);
        if (result != LPR_OK && failed++ == 0) {
            char text[512];
            if (LPR_GetLastErrorText(text, (int)sizeof text) <= 0)
                text[0] = '\0';
            fprintf(stderr, "libloop: job %ld: result=%u errorcode=%d text=\"%s\"\n", i + 1, (unsigned)result,
                    (int)common.errorcode, text);
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double s = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    printf("jobs=%ld failed=%ld seconds=%.6f jobs_per_s=%.1f\n", jobs, failed, s, (double)jobs / s);
    return failed ? 1 : 0;
usage:
    fprintf(stderr, "usage: libloop [-y] [-n JOBS] HOST[:PORT] FILE\n");
    return 2;
}
