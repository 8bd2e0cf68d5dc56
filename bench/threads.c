/* threads.c - requests of several threads of one process at once, through the library.
 * Each workload starts the servers it needs on 127.0.0.1 (or uses one named with -H),
 * runs its client threads and prints one line of key=value figures on standard output;
 * bench/threads.sh runs every workload in network namespaces of its own.
 *
 * usage: threads WORKLOAD -f FILE [options]
 *   slow    THREADS threads print JOBS jobs each to an in-process server that answers
 *           every acknowledgement after DELAY ms (a printer across a slow hop):
 *           threads=N jobs=N ok=N failed=N seconds=S jobs_per_s=R
 *   stuck   THREADS threads print JOBS jobs each to HOST (default: an in-process server
 *           that answers at once); with -S one more thread, started first, prints to an
 *           in-process printer that accepts and never answers, with reply time-out
 *           STUCK_MS, and the others start only once it waits there:
 *           ... mean_ms=R max_ms=R [stuck_result=N stuck_errorcode=N stuck_seconds=S
 *           stuck_outlived=0|1]
 *   loop    THREADS threads print JOBS jobs each to HOST (the sink): jobs/s
 *   memory  ROUNDS times THREADS requests wait at once on a server (another process) that
 *           holds its first answer; resident memory and open descriptors of this process
 *           before, while all wait, and after each round
 * options:
 *   -f FILE   the job (required)      -t THREADS (default 1)    -n JOBS per thread (1)
 *   -H HOST   HOST[:PORT] of stuck's healthy server or loop's server
 *   -d DELAY  slow: ms before each acknowledgement (default 50)
 *   -S        stuck: with the stuck printer     -s STUCK_MS: its reply time-out (8000)
 *   -r MS     reply time-out of every other request (default 10000)
 *   -L SECS   lprtimeout of every request (default 3)
 *   -R ROUNDS memory: rounds (default 2)
 *   -T SECS   the whole run's limit: past it the program says so and exits 3 (default 120)
 * Every request runs without the status display and without the yield between chunks.
 * Exit status: 0 every request that should succeed did (the stuck printer's must fail),
 * 1 otherwise, 2 usage, 3 over the time limit. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vexlolpr.h>

#define MAX_THREADS 256
#define MAX_CONNS 1024       /* live connections one server tracks for its stop */
#define SERVER_RECV_LIMIT 20 /* seconds a server waits for a client's next octets */
#define SERVER_HOLD_LIMIT 60 /* seconds a held or silent connection waits at most */

static double now_s(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void deadline_in(struct timespec *ts, int seconds)
{
    clock_gettime(CLOCK_REALTIME, ts);
    ts->tv_sec += seconds;
}

static void sleep_ms(long ms)
{
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

static void on_alarm(int sig)
{
    static const char text[] = "threads: the run exceeded its time limit\n";
    (void)sig;
    if (write(2, text, sizeof text - 1) < 0) {
    }
    _exit(3);
}

/* ---- the servers -------------------------------------------------------------------
 * One thread accepts; each connection gets a thread of its own, so that a server that
 * sleeps before every acknowledgement serves any number of clients at once, as printers
 * behind a slow hop would. */

enum behaviour {
    ANSWER, /* acknowledges every step (after the delay) */
    HOLD,   /* holds the first acknowledgement until released, then answers */
    SILENT  /* reads the command and never answers */
};

struct server {
    int lfd;
    int port;
    enum behaviour behaviour;
    long delay_ms;
    int notify_fd; /* HOLD: one octet written for each connection that starts to wait */
    pthread_t acceptor;
    pthread_mutex_t lock;
    pthread_cond_t changed;
    int stopping;
    unsigned generation; /* HOLD: a release lets go of every connection held before it */
    int active;          /* connection threads alive */
    int waiting;         /* connections held or silent after their command */
    int fds[MAX_CONNS];  /* live connections, -1 where free */
    long connections, jobs, errors;
};

struct conn {
    struct server *s;
    int fd;
    size_t start, end;
    char buf[8192];
};

/* More octets into the buffer: >0 read, 0 end of the connection, -1 failure or time-out. */
static int fill(struct conn *c)
{
    if (c->start == c->end)
        c->start = c->end = 0;
    if (c->end == sizeof c->buf) {
        memmove(c->buf, c->buf + c->start, c->end - c->start);
        c->end -= c->start;
        c->start = 0;
        if (c->end == sizeof c->buf)
            return -1; /* a line longer than the buffer */
    }
    for (;;) {
        ssize_t n = recv(c->fd, c->buf + c->end, sizeof c->buf - c->end, 0);
        if (n > 0) {
            c->end += (size_t)n;
            return 1;
        }
        if (n == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

/* One line without its LF into line (NUL-terminated): its length, -2 at the end of the
   connection before any octet of it, -1 on a failure. */
static int read_line(struct conn *c, char *line, size_t size)
{
    for (;;) {
        char *nl = memchr(c->buf + c->start, '\n', c->end - c->start);
        if (nl != NULL) {
            size_t length = (size_t)(nl - (c->buf + c->start));
            if (length >= size)
                return -1;
            memcpy(line, c->buf + c->start, length);
            line[length] = '\0';
            c->start += length + 1;
            return (int)length;
        }
        int rc = fill(c);
        if (rc == 0)
            return c->start == c->end ? -2 : -1;
        if (rc < 0)
            return -1;
    }
}

/* Drops count octets of a file and takes its closing zero octet. */
static int take_file(struct conn *c, unsigned long long count)
{
    for (;;) {
        size_t have = c->end - c->start;
        if ((unsigned long long)have > count) {
            c->start += (size_t)count;
            return c->buf[c->start++] == 0 ? 0 : -1;
        }
        count -= have;
        c->start = c->end;
        if (fill(c) <= 0)
            return -1;
    }
}

static int ack(struct conn *c)
{
    if (c->s->delay_ms > 0)
        sleep_ms(c->s->delay_ms);
    return send(c->fd, "", 1, MSG_NOSIGNAL) == 1 ? 0 : -1;
}

/* HOLD and SILENT: waits after the command, bounded, until released or stopped. */
static void wait_after_command(struct conn *c)
{
    struct server *s = c->s;
    struct timespec limit;
    deadline_in(&limit, SERVER_HOLD_LIMIT);
    pthread_mutex_lock(&s->lock);
    unsigned generation = s->generation;
    s->waiting++;
    pthread_cond_broadcast(&s->changed);
    if (s->notify_fd >= 0 && write(s->notify_fd, "h", 1) != 1)
        s->errors++;
    while (!s->stopping && (s->behaviour == SILENT || s->generation == generation))
        if (pthread_cond_timedwait(&s->changed, &s->lock, &limit) == ETIMEDOUT)
            break;
    s->waiting--;
    pthread_mutex_unlock(&s->lock);
}

/* RFC 1179: one command per connection; a receive-job takes subcommands until the
   client closes.  Returns 0, or -1 when the client broke the protocol or vanished. */
static int serve(struct conn *c)
{
    char line[4096];
    int n = read_line(c, line, sizeof line);
    if (n < 1)
        return n == -2 ? 0 : -1;
    if (line[0] == 3 || line[0] == 4) /* queue state: nothing is queued */
        return send(c->fd, "no entries\n", 11, MSG_NOSIGNAL) == 11 ? 0 : -1;
    if (line[0] != 2)
        return 0;
    if (c->s->behaviour != ANSWER) {
        wait_after_command(c);
        if (c->s->behaviour == SILENT)
            return 0;
    }
    if (ack(c) < 0)
        return -1;
    int control = 0, data = 0;
    for (;;) {
        n = read_line(c, line, sizeof line);
        if (n == -2)
            break;
        if (n < 1)
            return -1;
        if (line[0] == 1) { /* abort: forget the files so far, no reply */
            control = data = 0;
            continue;
        }
        if (line[0] != 2 && line[0] != 3)
            return -1;
        char *end;
        unsigned long long count = strtoull(line + 1, &end, 10);
        if (end == line + 1 || *end != ' ' || count == 0)
            return -1;
        if (ack(c) < 0 || take_file(c, count) < 0 || ack(c) < 0)
            return -1;
        if (line[0] == 2)
            control++;
        else
            data++;
    }
    if (control > 0 && data > 0) {
        pthread_mutex_lock(&c->s->lock);
        c->s->jobs++;
        pthread_mutex_unlock(&c->s->lock);
    }
    return 0;
}

static void *connection_thread(void *arg)
{
    struct conn *c = arg;
    struct server *s = c->s;
    int rc = serve(c);
    pthread_mutex_lock(&s->lock);
    for (int i = 0; i < MAX_CONNS; i++)
        if (s->fds[i] == c->fd)
            s->fds[i] = -1;
    if (rc < 0 && !s->stopping)
        s->errors++;
    close(c->fd);
    s->active--;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    free(c);
    return NULL;
}

static void *acceptor_thread(void *arg)
{
    struct server *s = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, 128 * 1024);
    for (;;) {
        pthread_mutex_lock(&s->lock);
        int stopping = s->stopping;
        pthread_mutex_unlock(&s->lock);
        if (stopping)
            break;
        struct pollfd p = {s->lfd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        int fd = accept4(s->lfd, NULL, NULL, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int one = 1;
        struct timeval tv = {SERVER_RECV_LIMIT, 0};
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        struct conn *c = calloc(1, sizeof *c);
        pthread_mutex_lock(&s->lock);
        int slot = -1;
        for (int i = 0; i < MAX_CONNS && slot < 0; i++)
            if (s->fds[i] < 0)
                slot = i;
        pthread_t tid;
        if (c == NULL || slot < 0) {
            s->errors++;
            pthread_mutex_unlock(&s->lock);
            free(c);
            close(fd);
            continue;
        }
        c->s = s;
        c->fd = fd;
        s->fds[slot] = fd;
        s->active++;
        s->connections++;
        if (pthread_create(&tid, &attr, connection_thread, c) != 0) {
            s->fds[slot] = -1;
            s->active--;
            s->errors++;
            close(fd);
            free(c);
        }
        pthread_mutex_unlock(&s->lock);
    }
    pthread_attr_destroy(&attr);
    return NULL;
}

static int server_start(struct server *s, enum behaviour behaviour, long delay_ms, int notify_fd)
{
    memset(s, 0, sizeof *s);
    s->behaviour = behaviour;
    s->delay_ms = delay_ms;
    s->notify_fd = notify_fd;
    for (int i = 0; i < MAX_CONNS; i++)
        s->fds[i] = -1;
    pthread_mutex_init(&s->lock, NULL);
    pthread_cond_init(&s->changed, NULL);
    s->lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    if (s->lfd < 0 || bind(s->lfd, (struct sockaddr *)&sin, sizeof sin) < 0 || listen(s->lfd, 1024) < 0 ||
        getsockname(s->lfd, (struct sockaddr *)&sin, &len) < 0) {
        fprintf(stderr, "threads: cannot listen on 127.0.0.1: %s\n", strerror(errno));
        return -1;
    }
    s->port = ntohs(sin.sin_port);
    if (pthread_create(&s->acceptor, NULL, acceptor_thread, s) != 0) {
        fprintf(stderr, "threads: cannot start the server's thread\n");
        return -1;
    }
    return 0;
}

/* Waits, at most seconds, until count connections wait after their command. */
static int server_wait_for(struct server *s, int count, int seconds)
{
    struct timespec limit;
    deadline_in(&limit, seconds);
    pthread_mutex_lock(&s->lock);
    while (s->waiting < count)
        if (pthread_cond_timedwait(&s->changed, &s->lock, &limit) == ETIMEDOUT)
            break;
    int ok = s->waiting >= count;
    pthread_mutex_unlock(&s->lock);
    return ok ? 0 : -1;
}

static void server_release(struct server *s)
{
    pthread_mutex_lock(&s->lock);
    s->generation++;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
}

/* Stops accepting, ends the connections still open and waits (bounded) for their
   threads. */
static void server_stop(struct server *s)
{
    pthread_mutex_lock(&s->lock);
    s->stopping = 1;
    pthread_cond_broadcast(&s->changed);
    pthread_mutex_unlock(&s->lock);
    pthread_join(s->acceptor, NULL);
    close(s->lfd);
    struct timespec limit;
    deadline_in(&limit, 5);
    pthread_mutex_lock(&s->lock);
    for (int i = 0; i < MAX_CONNS; i++)
        if (s->fds[i] >= 0)
            shutdown(s->fds[i], SHUT_RDWR);
    while (s->active > 0)
        if (pthread_cond_timedwait(&s->changed, &s->lock, &limit) == ETIMEDOUT)
            break;
    if (s->active > 0)
        fprintf(stderr, "threads: %d server connections still open at the stop\n", s->active);
    pthread_mutex_unlock(&s->lock);
}

/* ---- the clients ------------------------------------------------------------------ */

struct settings {
    const char *file;
    DWORD replytimeout;
    DWORD lprtimeout;
};

struct worker {
    pthread_t tid;
    const struct settings *set;
    pthread_barrier_t *start;
    char host[64];
    int jobs;
    DWORD replytimeout;
    int ok, failed;
    double sum_ms, max_ms;
    double began, ended; /* monotonic seconds */
    WORD first_result;
    int first_errorcode;
    char first_text[256];
};

static void *client_thread(void *arg)
{
    struct worker *w = arg;
    if (w->start != NULL)
        pthread_barrier_wait(w->start);
    w->began = now_s();
    for (int i = 0; i < w->jobs; i++) {
        LPR_PRINTARG job;
        memset(&job, 0, sizeof job);
        job.filename = w->set->file;
        job.host = w->host;
        job.printer = "lp";
        job.copies = 1;
        job.format = 'f';
        job.nobanner = 1;
        LPR_COMMONARG common;
        memset(&common, 0, sizeof common);
        common.username = "bench";
        common.clienthost = "bench";
        common.replytimeout = w->replytimeout;
        common.lprtimeout = w->set->lprtimeout;
        common.debugflags = LPR_OPT_NOYIELD;
        double t0 = now_s();
        WORD result = LPR_Print(&job, &common);
        double ms = (now_s() - t0) * 1000.0;
        if (result == LPR_OK && common.errorcode == 0) {
            w->ok++;
            w->sum_ms += ms;
            if (ms > w->max_ms)
                w->max_ms = ms;
        } else if (w->failed++ == 0) {
            w->first_result = result;
            w->first_errorcode = (int)common.errorcode;
            if (LPR_GetLastErrorText(w->first_text, (int)sizeof w->first_text) <= 0)
                w->first_text[0] = '\0';
        }
    }
    w->ended = now_s();
    return NULL;
}

static struct worker workers[MAX_THREADS + 1];

static void worker_init(struct worker *w, const struct settings *set, int port, const char *host, int jobs)
{
    memset(w, 0, sizeof *w);
    w->set = set;
    w->jobs = jobs;
    w->replytimeout = set->replytimeout;
    if (host != NULL)
        snprintf(w->host, sizeof w->host, "%s", host);
    else
        snprintf(w->host, sizeof w->host, "127.0.0.1:%d", port);
}

/* Starts count workers from first; with a barrier, they begin together once the
   caller has passed it too. */
static int start_workers(struct worker *first, int count, pthread_barrier_t *start)
{
    for (int i = 0; i < count; i++) {
        first[i].start = start;
        if (pthread_create(&first[i].tid, NULL, client_thread, &first[i]) != 0) {
            fprintf(stderr, "threads: cannot start client thread %d\n", i + 1);
            return -1;
        }
    }
    return 0;
}

static void report_failure(const struct worker *w, const char *what)
{
    if (w->failed)
        fprintf(stderr, "threads: %s: %d of %d jobs failed, first result=%u errorcode=%d text=\"%s\"\n", what,
                w->failed, w->jobs, (unsigned)w->first_result, w->first_errorcode, w->first_text);
}

struct totals {
    int ok, failed;
    double sum_ms, max_ms;
    double began, ended;
};

static struct totals sum_workers(const struct worker *first, int count, const char *what)
{
    struct totals t = {0, 0, 0.0, 0.0, 0.0, 0.0};
    for (int i = 0; i < count; i++) {
        const struct worker *w = &first[i];
        report_failure(w, what);
        t.ok += w->ok;
        t.failed += w->failed;
        t.sum_ms += w->sum_ms;
        if (w->max_ms > t.max_ms)
            t.max_ms = w->max_ms;
        if (i == 0 || w->began < t.began)
            t.began = w->began;
        if (w->ended > t.ended)
            t.ended = w->ended;
    }
    return t;
}

/* Runs count workers together from one barrier and joins them; the seconds from the
   barrier to the last one's end. */
static double run_together(struct worker *first, int count)
{
    pthread_barrier_t start;
    pthread_barrier_init(&start, NULL, (unsigned)count + 1);
    if (start_workers(first, count, &start) < 0)
        exit(1);
    pthread_barrier_wait(&start);
    double t0 = now_s();
    for (int i = 0; i < count; i++)
        pthread_join(first[i].tid, NULL);
    double seconds = now_s() - t0;
    pthread_barrier_destroy(&start);
    return seconds;
}

/* ---- the workloads ---------------------------------------------------------------- */

static int workload_throughput(const struct settings *set, int threads, int jobs, long delay_ms,
                               const char *host)
{
    struct server s;
    int port = 0;
    if (host == NULL) {
        if (server_start(&s, ANSWER, delay_ms, -1) < 0)
            return 1;
        port = s.port;
    }
    for (int i = 0; i < threads; i++)
        worker_init(&workers[i], set, port, host, jobs);
    double seconds = run_together(workers, threads);
    struct totals t = sum_workers(workers, threads, "client");
    printf("threads=%d jobs=%d ok=%d failed=%d seconds=%.6f jobs_per_s=%.2f mean_ms=%.3f max_ms=%.3f",
           threads, threads * jobs, t.ok, t.failed, seconds, (double)(threads * jobs) / seconds,
           t.ok ? t.sum_ms / t.ok : 0.0, t.max_ms);
    if (host == NULL) {
        server_stop(&s);
        printf(" server_jobs=%ld server_errors=%ld", s.jobs, s.errors);
    }
    printf("\n");
    return t.failed ? 1 : 0;
}

static int workload_stuck(const struct settings *set, int threads, int jobs, const char *host, int with_stuck,
                          DWORD stuck_ms)
{
    struct server healthy, stuck;
    int port = 0;
    if (host == NULL) {
        if (server_start(&healthy, ANSWER, 0, -1) < 0)
            return 1;
        port = healthy.port;
    }
    struct worker *a = &workers[threads];
    if (with_stuck) {
        if (server_start(&stuck, SILENT, 0, -1) < 0)
            return 1;
        worker_init(a, set, stuck.port, NULL, 1);
        a->replytimeout = stuck_ms;
        if (start_workers(a, 1, NULL) < 0)
            return 1;
        /* The others start only once the stuck request waits for its first answer. */
        if (server_wait_for(&stuck, 1, 10) < 0) {
            fprintf(stderr, "threads: the request to the stuck printer never reached it\n");
            return 1;
        }
    }
    for (int i = 0; i < threads; i++)
        worker_init(&workers[i], set, port, host, jobs);
    double seconds = run_together(workers, threads);
    struct totals t = sum_workers(workers, threads, "healthy");
    printf("threads=%d jobs=%d ok=%d failed=%d seconds=%.6f mean_ms=%.3f max_ms=%.3f", threads,
           threads * jobs, t.ok, t.failed, seconds, t.ok ? t.sum_ms / t.ok : 0.0, t.max_ms);
    int rc = t.failed ? 1 : 0;
    if (with_stuck) {
        /* Whether the stuck request was still waiting when the last healthy job ended:
           otherwise the healthy jobs did not run beside it. */
        pthread_join(a->tid, NULL);
        int outlived = a->ended > t.ended;
        printf(" stuck_result=%u stuck_errorcode=%d stuck_seconds=%.3f stuck_outlived=%d",
               (unsigned)a->first_result, a->first_errorcode, a->ended - a->began, outlived);
        fprintf(stderr, "threads: the request to the silent printer: result=%u errorcode=%d text=\"%s\"\n",
                (unsigned)a->first_result, a->first_errorcode, a->first_text);
        if (a->ok) {
            fprintf(stderr, "threads: the print to the printer that never answers succeeded\n");
            rc = 1;
        }
        server_stop(&stuck);
    }
    if (host == NULL) {
        server_stop(&healthy);
        printf(" server_jobs=%ld server_errors=%ld", healthy.jobs, healthy.errors);
    }
    printf("\n");
    return rc;
}

static long vmrss_kb(void)
{
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    if (f == NULL)
        return -1;
    while (fgets(line, sizeof line, f) != NULL)
        if (sscanf(line, "VmRSS: %ld kB", &kb) == 1)
            break;
    fclose(f);
    return kb;
}

static int open_fds(void)
{
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    if (d == NULL)
        return -1;
    struct dirent *e;
    while ((e = readdir(d)) != NULL)
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n - 1; /* the directory's own descriptor */
}

/* The holding server in a process of its own, so that its descriptors and memory are
   not counted with the clients'.  Commands on control: 'r' releases every connection
   held so far, end of file stops it.  One octet on notify per held connection. */
static void holding_server(int control, int notify, int portpipe)
{
    struct server s;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    alarm(300);
    if (server_start(&s, HOLD, 0, notify) < 0)
        _exit(1);
    if (write(portpipe, &s.port, sizeof s.port) != (ssize_t)sizeof s.port)
        _exit(1);
    close(portpipe);
    char command;
    while (read(control, &command, 1) == 1)
        if (command == 'r')
            server_release(&s);
    server_stop(&s);
    _exit(s.errors ? 1 : 0);
}

/* Reads count octets from fd within seconds: 0, or -1. */
static int read_octets(int fd, int count, int seconds)
{
    double end = now_s() + seconds;
    char buf[256];
    while (count > 0) {
        int left = (int)((end - now_s()) * 1000);
        if (left <= 0)
            return -1;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        ssize_t n = read(fd, buf, count < (int)sizeof buf ? (size_t)count : sizeof buf);
        if (n <= 0)
            return -1;
        count -= (int)n;
    }
    return 0;
}

static int workload_memory(const struct settings *set, int threads, int rounds)
{
    int control[2], notify[2], portpipe[2];
    if (pipe2(control, O_CLOEXEC) < 0 || pipe2(notify, O_CLOEXEC) < 0 || pipe2(portpipe, O_CLOEXEC) < 0) {
        perror("threads: pipe");
        return 1;
    }
    pid_t child = fork();
    if (child < 0) {
        perror("threads: fork");
        return 1;
    }
    if (child == 0) {
        close(control[1]);
        close(notify[0]);
        close(portpipe[0]);
        holding_server(control[0], notify[1], portpipe[1]);
    }
    close(control[0]);
    close(notify[1]);
    close(portpipe[1]);
    int port = 0;
    if (read(portpipe[0], &port, sizeof port) != (ssize_t)sizeof port) {
        fprintf(stderr, "threads: the holding server did not start\n");
        return 1;
    }
    close(portpipe[0]);

    long rss_before = vmrss_kb();
    int fds_before = open_fds();
    printf("threads=%d rounds=%d rss_before_kb=%ld fds_before=%d", threads, rounds, rss_before, fds_before);
    int rc = 0, ok = 0, failed = 0;
    for (int r = 1; r <= rounds; r++) {
        for (int i = 0; i < threads; i++)
            worker_init(&workers[i], set, port, NULL, 1);
        if (start_workers(workers, threads, NULL) < 0)
            return 1;
        /* Sampled once every request waits for the server's first answer. */
        int held = read_octets(notify[0], threads, 30) == 0;
        long rss_flight = vmrss_kb();
        int fds_flight = open_fds();
        if (write(control[1], "r", 1) != 1)
            rc = 1;
        for (int i = 0; i < threads; i++)
            pthread_join(workers[i].tid, NULL);
        struct totals t = sum_workers(workers, threads, "memory");
        ok += t.ok;
        failed += t.failed;
        if (!held) {
            fprintf(stderr, "threads: round %d: not every request reached the holding server\n", r);
            rc = 1;
        }
        printf(" held%d=%d rss_flight%d_kb=%ld fds_flight%d=%d rss_after%d_kb=%ld fds_after%d=%d", r, held, r,
               rss_flight, r, fds_flight, r, vmrss_kb(), r, open_fds());
    }
    close(control[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (status != 0) {
        fprintf(stderr, "threads: the holding server ended with status %d\n", status);
        rc = 1;
    }
    close(notify[0]);
    printf(" ok=%d failed=%d\n", ok, failed);
    return rc || failed ? 1 : 0;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: threads slow|stuck|loop|memory -f FILE [-t THREADS] [-n JOBS] [-H HOST[:PORT]]\n"
            "               [-d DELAY_MS] [-S] [-s STUCK_MS] [-r REPLY_MS] [-L LPRTIMEOUT] [-R ROUNDS]\n"
            "               [-T SECONDS]\n");
    exit(2);
}

int main(int argc, char **argv)
{
    struct settings set = {NULL, 10000, 3};
    int threads = 1, jobs = 1, rounds = 2, with_stuck = 0, opt;
    long delay_ms = 50, limit = 120;
    DWORD stuck_ms = 8000;
    const char *host = NULL;

    if (argc < 2)
        usage();
    const char *workload = argv[1];
    optind = 2;
    while ((opt = getopt(argc, argv, "f:t:n:H:d:Ss:r:L:R:T:")) != -1) {
        switch (opt) {
        case 'f':
            set.file = optarg;
            break;
        case 't':
            threads = atoi(optarg);
            break;
        case 'n':
            jobs = atoi(optarg);
            break;
        case 'H':
            host = optarg;
            break;
        case 'd':
            delay_ms = atol(optarg);
            break;
        case 'S':
            with_stuck = 1;
            break;
        case 's':
            stuck_ms = (DWORD)atol(optarg);
            break;
        case 'r':
            set.replytimeout = (DWORD)atol(optarg);
            break;
        case 'L':
            set.lprtimeout = (DWORD)atol(optarg);
            break;
        case 'R':
            rounds = atoi(optarg);
            break;
        case 'T':
            limit = atol(optarg);
            break;
        default:
            usage();
        }
    }
    if (optind != argc || set.file == NULL || threads < 1 || threads > MAX_THREADS || jobs < 1 ||
        rounds < 1 || delay_ms < 0 || limit < 1 || set.replytimeout < 1 || stuck_ms < 1 ||
        strlen(host ? host : "") > 60)
        usage();

    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    alarm((unsigned)limit);

    int rc;
    if (strcmp(workload, "slow") == 0 && host == NULL)
        rc = workload_throughput(&set, threads, jobs, delay_ms, NULL);
    else if (strcmp(workload, "loop") == 0 && host != NULL)
        rc = workload_throughput(&set, threads, jobs, 0, host);
    else if (strcmp(workload, "stuck") == 0)
        rc = workload_stuck(&set, threads, jobs, host, with_stuck, stuck_ms);
    else if (strcmp(workload, "memory") == 0 && host == NULL)
        rc = workload_memory(&set, threads, rounds);
    else
        usage();
    fflush(stdout);
    return rc;
}
