/* lpdsink.c - an LPD server for benchmarks: it accepts every job, acknowledges every
 * subcommand and file, counts what it received and discards it.  It keeps nothing, so a
 * client measured against it is the only party that does real work.
 *
 * usage: lpdsink [-a ADDRESS] [-p PORT] [-r READY_FILE]
 *   Listens on ADDRESS:PORT (default 127.0.0.1:515), creates READY_FILE once it accepts,
 *   and on SIGTERM or SIGINT, once its connections have been quiet for 100 ms (at most
 *   2 s), writes one line of counts to standard output and exits 0:
 *     jobs=N files=N bytes=N connections=N incomplete=N errors=N
 *   jobs: receive-job connections that delivered at least one control and one data file
 *   and then closed; bytes: the sum of the data files' counts.
 *
 * One thread and epoll serve every connection.  File contents are dropped by the kernel
 * (recv with MSG_TRUNC), never copied to this process.  The server's one-octet replies go
 * out at once (TCP_NODELAY); its ACKs are left to the kernel as any server's are, so a
 * client that leaves its last segment waiting for one pays for it here as it would with
 * a real LPD. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define LINE_MAX_LEN 4096    /* a command or subcommand line longer than this is refused */
#define DISCARD_CHUNK (1 << 22) /* bytes dropped per recv while a file streams in */

enum state {
    ST_COMMAND,  /* reading the first line of the connection */
    ST_SUBCMD,   /* inside a receive-job: reading a subcommand line */
    ST_FILE,     /* dropping the contents of a file */
    ST_TRAILER,  /* waiting for the zero octet after a file */
    ST_TO_EOF    /* a file of unknown length: drop everything until the peer closes */
};

struct conn {
    int fd;
    enum state state;
    unsigned long long remaining; /* ST_FILE: bytes of the file still to drop */
    unsigned long long filebytes; /* count of the file being received */
    int is_data;                  /* the file being received is a data file */
    int control_files, data_files;
    int receive_job;
    size_t used;
    char line[LINE_MAX_LEN];
};

static volatile sig_atomic_t stop_requested;
static unsigned long long n_jobs, n_files, n_bytes, n_conns, n_incomplete, n_errors;

static void on_signal(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static void reply(struct conn *c, const void *text, size_t length)
{
    /* The replies are a few octets on a socket whose send buffer is empty between them:
       a short send would mean the peer is gone, which the next recv reports. */
    if (send(c->fd, text, length, MSG_NOSIGNAL) < 0 && errno != EPIPE && errno != ECONNRESET)
        n_errors++;
}

static void close_conn(int ep, struct conn *c, int failed)
{
    if (c->receive_job) {
        if (!failed && c->control_files > 0 && c->data_files > 0)
            n_jobs++;
        else
            n_incomplete++;
    }
    if (failed)
        n_errors++;
    epoll_ctl(ep, EPOLL_CTL_DEL, c->fd, NULL);
    close(c->fd);
    free(c);
}

/* A subcommand line: 0x01 abort, 0x02 control file, 0x03 data file. */
static int subcommand(struct conn *c, const char *line, size_t length)
{
    char *end;
    unsigned long long count;

    if (length == 0)
        return -1;
    switch (line[0]) {
    case 1: /* abort job: forget what came so far, no reply */
        c->control_files = c->data_files = 0;
        return 0;
    case 2:
    case 3:
        errno = 0;
        count = strtoull(line + 1, &end, 10);
        if (errno != 0 || end == line + 1 || *end != ' ')
            return -1;
        c->is_data = line[0] == 3;
        c->filebytes = count;
        c->remaining = count;
        c->state = count == 0 ? ST_TO_EOF : ST_FILE;
        reply(c, "", 1);
        return 0;
    default:
        return -1;
    }
}

/* The first line of a connection.  Returns 1 to keep the connection, 0 to close it
   normally, -1 on a protocol error. */
static int command(struct conn *c, const char *line, size_t length)
{
    if (length == 0)
        return -1;
    switch (line[0]) {
    case 1: /* print waiting jobs: nothing is waiting */
        return 0;
    case 2: /* receive job */
        c->receive_job = 1;
        c->state = ST_SUBCMD;
        reply(c, "", 1);
        return 1;
    case 3:
    case 4: /* queue state, short or long */
        reply(c, "no entries\n", 11);
        return 0;
    case 5: /* remove jobs: there are none */
        return 0;
    default:
        return -1;
    }
}

/* Consumes the buffered octets.  Returns 1 to keep the connection, 0 to close it, -1 on
   a protocol error. */
static int consume(struct conn *c)
{
    size_t start = 0;

    while (start < c->used) {
        if (c->state == ST_FILE) {
            size_t take = c->used - start;
            if (take > c->remaining)
                take = (size_t)c->remaining;
            c->remaining -= take;
            start += take;
            if (c->remaining == 0)
                c->state = ST_TRAILER;
            continue;
        }
        if (c->state == ST_TO_EOF) {
            start = c->used;
            continue;
        }
        if (c->state == ST_TRAILER) {
            if (c->line[start] != 0)
                return -1;
            start++;
            if (c->is_data) {
                c->data_files++;
                n_bytes += c->filebytes;
            } else {
                c->control_files++;
            }
            n_files++;
            c->state = ST_SUBCMD;
            reply(c, "", 1);
            continue;
        }
        char *nl = memchr(c->line + start, '\n', c->used - start);
        if (nl == NULL)
            break;
        size_t length = (size_t)(nl - (c->line + start));
        int rc;
        if (c->state == ST_COMMAND) {
            rc = command(c, c->line + start, length);
            if (rc <= 0)
                return rc;
        } else if (subcommand(c, c->line + start, length) < 0) {
            return -1;
        }
        start += length + 1;
    }
    memmove(c->line, c->line + start, c->used - start);
    c->used -= start;
    if (c->used == sizeof c->line)
        return -1; /* a line that does not end */
    return 1;
}

/* Reads what the socket has.  Returns 1 to keep the connection, 0 when it ended, -1 on
   a failure. */
static int on_readable(struct conn *c)
{
    for (;;) {
        ssize_t n;
        if (c->state == ST_FILE || c->state == ST_TO_EOF) {
            size_t want = DISCARD_CHUNK;
            if (c->state == ST_FILE && c->remaining < want)
                want = (size_t)c->remaining;
            n = recv(c->fd, NULL, want, MSG_TRUNC | MSG_DONTWAIT);
            if (n > 0) {
                if (c->state == ST_FILE) {
                    c->remaining -= (unsigned long long)n;
                    if (c->remaining == 0)
                        c->state = ST_TRAILER;
                }
                continue;
            }
        } else {
            n = recv(c->fd, c->line + c->used, sizeof c->line - c->used, MSG_DONTWAIT);
            if (n > 0) {
                c->used += (size_t)n;
                int rc = consume(c);
                if (rc <= 0)
                    return rc;
                continue;
            }
        }
        if (n == 0) {
            /* The end of the connection ends a receive-job normally only between
               subcommands, or after a file of unknown length. */
            if (c->state == ST_TO_EOF) {
                if (c->is_data)
                    c->data_files++;
                else
                    c->control_files++;
                n_files++;
                return 0;
            }
            return (c->state == ST_SUBCMD && c->used == 0) || c->state == ST_COMMAND ? 0 : -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 1;
        if (errno == EINTR)
            continue;
        return -1;
    }
}

int main(int argc, char **argv)
{
    const char *address = "127.0.0.1";
    const char *ready = NULL;
    int port = 515;
    int opt;

    while ((opt = getopt(argc, argv, "a:p:r:")) != -1) {
        switch (opt) {
        case 'a':
            address = optarg;
            break;
        case 'p':
            port = atoi(optarg);
            break;
        case 'r':
            ready = optarg;
            break;
        default:
            fprintf(stderr, "usage: lpdsink [-a ADDRESS] [-p PORT] [-r READY_FILE]\n");
            return 2;
        }
    }
    if (port < 1 || port > 65535) {
        fprintf(stderr, "lpdsink: bad port\n");
        return 2;
    }

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal; /* no SA_RESTART: epoll_wait returns to see the flag */
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    signal(SIGPIPE, SIG_IGN);

    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons((unsigned short)port);
    if (lfd < 0 || inet_pton(AF_INET, address, &sin.sin_addr) != 1) {
        fprintf(stderr, "lpdsink: bad address %s\n", address);
        return 1;
    }
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(lfd, (struct sockaddr *)&sin, sizeof sin) < 0 || listen(lfd, 1024) < 0) {
        fprintf(stderr, "lpdsink: cannot listen on %s:%d: %s\n", address, port, strerror(errno));
        return 1;
    }
    int ep = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.ptr = NULL; /* the listening socket */
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev) < 0) {
        fprintf(stderr, "lpdsink: epoll: %s\n", strerror(errno));
        return 1;
    }
    if (ready != NULL) {
        int fd = open(ready, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            fprintf(stderr, "lpdsink: cannot create %s: %s\n", ready, strerror(errno));
            return 1;
        }
        close(fd);
    }

    /* After the stop signal the loop goes on until nothing has happened for 100 ms (at
       most 2 s): a client that has just exited may have left its end of the connection
       unread, and its job counts only once that end is seen. */
    struct epoll_event events[64];
    struct timespec drain_end = {0, 0};
    for (;;) {
        int timeout = -1;
        if (stop_requested) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (drain_end.tv_sec == 0) {
                drain_end = now;
                drain_end.tv_sec += 2;
            } else if (now.tv_sec > drain_end.tv_sec ||
                       (now.tv_sec == drain_end.tv_sec && now.tv_nsec >= drain_end.tv_nsec)) {
                break;
            }
            timeout = 100;
        }
        int n = epoll_wait(ep, events, 64, timeout);
        if (n == 0 && stop_requested)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "lpdsink: epoll_wait: %s\n", strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; i++) {
            struct conn *c = events[i].data.ptr;
            if (c == NULL) {
                int fd;
                while ((fd = accept4(lfd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
                    c = calloc(1, sizeof *c);
                    if (c == NULL) {
                        close(fd);
                        n_errors++;
                        continue;
                    }
                    c->fd = fd;
                    c->state = ST_COMMAND;
                    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    ev.events = EPOLLIN | EPOLLRDHUP;
                    ev.data.ptr = c;
                    if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
                        close(fd);
                        free(c);
                        n_errors++;
                        continue;
                    }
                    n_conns++;
                }
                continue;
            }
            int rc = on_readable(c);
            if (rc <= 0)
                close_conn(ep, c, rc < 0);
        }
    }
    printf("jobs=%llu files=%llu bytes=%llu connections=%llu incomplete=%llu errors=%llu\n", n_jobs, n_files,
           n_bytes, n_conns, n_incomplete, n_errors);
    return 0;
}
