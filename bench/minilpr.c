/* minilpr.c - the least a client of this protocol can do for one job, as a yardstick for
 * the benchmark: connect, "\2queue\n", the data file's subcommand, the file in 8192-octet
 * read+send steps, its zero octet, the control file's subcommand, the control file with
 * its zero octet, waiting for the one-octet acknowledgement after each step.  No reserved
 * local port, no name lookup, no status, no retries.
 *
 * usage: minilpr [-d] [-n JOBS] [-p PORT] [-q QUEUE] ADDRESS FILE
 *   -d  TCP_NODELAY on the connection (default: Nagle's algorithm on)
 *   -n  jobs to send one after another from this process (default 1); with more than
 *       one, a line "jobs=N failed=N seconds=S jobs_per_s=R" goes to standard output
 * Exit status: 0 every job was acknowledged, 1 a job failed, 2 usage. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define CHUNK 8192

static int send_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        p += k;
        n -= (size_t)k;
    }
    return 0;
}

static int ack(int fd)
{
    char c;
    ssize_t k;
    do
        k = recv(fd, &c, 1, 0);
    while (k < 0 && errno == EINTR);
    return k == 1 && c == 0 ? 0 : -1;
}

static int one_job(const struct sockaddr_in *to, int nodelay, const char *queue, const char *path, int number)
{
    static char buf[CHUNK];
    char line[512];
    char control[512];
    int rc = -1;
    int file = -1;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    if (nodelay)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, (const struct sockaddr *)to, sizeof *to) < 0)
        goto out;

    int n = snprintf(line, sizeof line, "\2%s\n", queue);
    if (send_all(fd, line, (size_t)n) < 0 || ack(fd) < 0)
        goto out;

    file = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (file < 0 || fstat(file, &st) < 0)
        goto out;
    n = snprintf(line, sizeof line, "\3%lld dfA%03dbench\n", (long long)st.st_size, number);
    if (send_all(fd, line, (size_t)n) < 0 || ack(fd) < 0)
        goto out;
    long long left = st.st_size;
    while (left > 0) {
        ssize_t k = read(file, buf, sizeof buf);
        if (k <= 0)
            goto out;
        if (k > left)
            k = (ssize_t)left;
        if (send_all(fd, buf, (size_t)k) < 0)
            goto out;
        left -= k;
    }
    if (send_all(fd, "", 1) < 0 || ack(fd) < 0)
        goto out;

    int clen = snprintf(control, sizeof control, "Hbench\nPbench\nldfA%03dbench\nUdfA%03dbench\n", number, number);
    n = snprintf(line, sizeof line, "\2%d cfA%03dbench\n", clen, number);
    if (send_all(fd, line, (size_t)n) < 0 || ack(fd) < 0)
        goto out;
    control[clen] = '\0'; /* the zero octet that closes the file goes in the same send */
    if (send_all(fd, control, (size_t)clen + 1) < 0 || ack(fd) < 0)
        goto out;
    rc = 0;
out:
    if (file >= 0)
        close(file);
    close(fd);
    return rc;
}

int main(int argc, char **argv)
{
    int nodelay = 0, port = 515, opt;
    long jobs = 1;
    const char *queue = "lp";

    while ((opt = getopt(argc, argv, "dn:p:q:")) != -1) {
        switch (opt) {
        case 'd':
            nodelay = 1;
            break;
        case 'n':
            jobs = atol(optarg);
            break;
        case 'p':
            port = atoi(optarg);
            break;
        case 'q':
            queue = optarg;
            break;
        default:
            goto usage;
        }
    }
    if (argc - optind != 2 || jobs < 1 || port < 1 || port > 65535)
        goto usage;

    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    if (inet_pton(AF_INET, argv[optind], &to.sin_addr) != 1)
        goto usage;

    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    long failed = 0;
    for (long i = 0; i < jobs; i++) {
        if (one_job(&to, nodelay, queue, argv[optind + 1], (int)((getpid() + i) % 1000)) < 0) {
            if (failed++ == 0)
                fprintf(stderr, "minilpr: job %ld failed: %s\n", i + 1, strerror(errno));
        }
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    if (jobs > 1) {
        double s = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
        printf("jobs=%ld failed=%ld seconds=%.6f jobs_per_s=%.1f\n", jobs, failed, s, (double)jobs / s);
    }
    return failed ? 1 : 0;
usage:
    fprintf(stderr, "usage: minilpr [-d] [-n JOBS] [-p PORT] [-q QUEUE] ADDRESS FILE\n");
    return 2;
}
