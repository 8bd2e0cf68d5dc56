/* spawn.c - runs one command N times in a row, one process per run, and times the whole
 * series, so that a benchmark of one-process-per-job clients pays the cost of a process
 * start and nothing of a shell loop's.
 *
 * usage: spawn [-n RUNS] [-t SECONDS] [-o RESULT_FILE] -- COMMAND [ARG...]
 *   -t  a run still going after SECONDS is killed and counted as failed (default 120)
 * Writes "runs=N failed=N seconds=S first_failure_status=N" to RESULT_FILE (default:
 * standard output).  Exit status 0 when every run exited 0, 1 otherwise, 2 usage. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static volatile pid_t running;

static void on_alarm(int sig)
{
    (void)sig;
    if (running > 0)
        kill(running, SIGKILL);
}

int main(int argc, char **argv)
{
    long runs = 1, limit = 120;
    const char *out = NULL;
    int opt;

    while ((opt = getopt(argc, argv, "+n:t:o:")) != -1) {
        switch (opt) {
        case 'n':
            runs = atol(optarg);
            break;
        case 't':
            limit = atol(optarg);
            break;
        case 'o':
            out = optarg;
            break;
        default:
            goto usage;
        }
    }
    if (optind < argc && strcmp(argv[optind], "--") == 0)
        optind++;
    if (optind >= argc || runs < 1 || limit < 1)
        goto usage;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);

    struct timespec t0, t1;
    long failed = 0;
    int first_status = 0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (long i = 0; i < runs; i++) {
        pid_t pid;
        int err = posix_spawnp(&pid, argv[optind], NULL, NULL, argv + optind, environ);
        if (err != 0) {
            fprintf(stderr, "spawn: %s: %s\n", argv[optind], strerror(err));
            return 1;
        }
        running = pid;
        alarm((unsigned)limit);
        int status;
        while (waitpid(pid, &status, 0) < 0) {
            if (errno != EINTR) {
                status = -1;
                break;
            }
        }
        alarm(0);
        running = 0;
        if (status != 0) {
            int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            if (failed++ == 0)
                first_status = code;
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double s = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
    FILE *f = out ? fopen(out, "w") : stdout;
    if (f == NULL) {
        perror(out);
        return 1;
    }
    fprintf(f, "runs=%ld failed=%ld seconds=%.6f first_failure_status=%d\n", runs, failed, s, first_status);
    if (f != stdout)
        fclose(f);
    return failed ? 1 : 0;
usage:
    fprintf(stderr, "usage: spawn [-n RUNS] [-t SECONDS] [-o RESULT_FILE] -- COMMAND [ARG...]\n");
    return 2;
}
