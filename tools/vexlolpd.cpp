// vexlolpd.cpp - a small loopback LPD server for trying out and testing LPR clients:
// command line, listening socket, signals and the accept loop.  The protocol lives in
// lpd/session.cpp, the spool directory in lpd/spool.cpp.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lpd/protocol.h"
#include "lpd/session.h"
#include "lpd/spool.h"
#include "lpd/wire.h"

namespace {

constexpr int kUsageError = 2;

struct Options {
    std::string spool;
    std::string bind = "127.0.0.1";
    std::string port_file;
    std::vector<std::string> queues;
    unsigned long port = 515;
    unsigned long max_connections = 0;
    unsigned long deadline = 0;
    unsigned long idle_timeout = 30;
    bool any_address = false;
    bool verbose = false;
};

const char kUsage[] =
    "usage: vexlolpd --spool DIR [options]\n"
    "A small LPD server (RFC 1179) for trying out and testing clients on this machine.\n"
    "\n"
    "  --spool DIR            spool directory, created if missing (jobs land in DIR/QUEUE/)\n"
    "  --port N               TCP port (default 515; 0: the system chooses)\n"
    "  --bind ADDR            numeric address to listen on (default 127.0.0.1)\n"
    "  --any-address          allow a --bind address that is not a loopback address\n"
    "  --queue NAME           a queue to serve; repeatable (default: lp)\n"
    "  --port-file FILE       write the listening port and a newline to FILE\n"
    "  --max-connections N    exit after serving N connections (default 0: no limit)\n"
    "  --deadline SECONDS     exit after SECONDS (default 0: no limit)\n"
    "  --idle-timeout SECONDS give up on a client silent this long (default 30)\n"
    "  --verbose              log each command on standard error\n"
    "  --help                 show this text\n"
    "\n"
    "Connections are served one at a time.  A job enters its queue when the client closes\n"
    "the connection after sending a control file and every data file it names; a job\n"
    "number already in the queue is refused.  The queue listing is in the style of lpq.\n";

void on_stop(int) { lpd::g_stop = 1; }

bool number_option(const char *name, const char *text, unsigned long max, unsigned long &out)
{
    std::optional<std::uint64_t> value = lpd::parse_count(text, max);
    if (!value) {
        std::fprintf(stderr, "vexlolpd: %s needs a whole number from 0 to %lu, not \"%s\"\n", name, max,
                     text);
        return false;
    }
    out = static_cast<unsigned long>(*value);
    return true;
}

// 0: go on; -1: --help was answered; otherwise the exit status.
int parse_options(int argc, char **argv, Options &opt)
{
    enum { kSpool = 1, kPort, kBind, kAny, kQueue, kPortFile, kMaxConn, kDeadline, kIdle, kVerbose, kHelp };
    static const option longs[] = {
        {"spool", required_argument, nullptr, kSpool},
        {"port", required_argument, nullptr, kPort},
        {"bind", required_argument, nullptr, kBind},
        {"any-address", no_argument, nullptr, kAny},
        {"queue", required_argument, nullptr, kQueue},
        {"port-file", required_argument, nullptr, kPortFile},
        {"max-connections", required_argument, nullptr, kMaxConn},
        {"deadline", required_argument, nullptr, kDeadline},
        {"idle-timeout", required_argument, nullptr, kIdle},
        {"verbose", no_argument, nullptr, kVerbose},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    bool ok = true;
    for (int c; ok && (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
        switch (c) {
        case kSpool: opt.spool = optarg; break;
        case kPort: ok = number_option("--port", optarg, 65535, opt.port); break;
        case kBind: opt.bind = optarg; break;
        case kAny: opt.any_address = true; break;
        case kQueue: opt.queues.emplace_back(optarg); break;
        case kPortFile: opt.port_file = optarg; break;
        case kMaxConn:
            ok = number_option("--max-connections", optarg, 1000000000, opt.max_connections);
            break;
        case kDeadline: ok = number_option("--deadline", optarg, 100000000, opt.deadline); break;
        case kIdle: ok = number_option("--idle-timeout", optarg, 86400, opt.idle_timeout); break;
        case kVerbose: opt.verbose = true; break;
        case kHelp: std::fputs(kUsage, stdout); return -1;
        default: ok = false; break;
        }
    }
    if (ok && optind < argc) {
        std::fprintf(stderr, "vexlolpd: unexpected argument \"%s\"\n", argv[optind]);
        ok = false;
    } else if (ok && opt.spool.empty()) {
        std::fprintf(stderr, "vexlolpd: --spool DIR is required\n");
        ok = false;
    } else if (ok && opt.idle_timeout == 0) {
        std::fprintf(stderr, "vexlolpd: --idle-timeout must be at least 1\n");
        ok = false;
    }
    if (opt.queues.empty())
        opt.queues.emplace_back("lp");
    for (const std::string &queue : opt.queues) {
        if (ok && !lpd::valid_queue_name(queue)) {
            std::fprintf(stderr,
                         "vexlolpd: bad queue name \"%s\" (visible ASCII, no '/' or '\\', no leading '.')\n",
                         queue.c_str());
            ok = false;
        }
    }
    if (!ok)
        std::fprintf(stderr, "vexlolpd: try --help\n");
    return ok ? 0 : kUsageError;
}

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
    bool loopback = false;
};

bool parse_address(const std::string &text, unsigned long port, Address &out)
{
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out.storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out.storage);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        out.length = sizeof *v4;
        out.loopback = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        out.length = sizeof *v6;
        const unsigned char *bytes = v6->sin6_addr.s6_addr;
        out.loopback = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) ||
                       (IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && bytes[12] == 127);
        return true;
    }
    return false;
}

// The listening socket, or -1 after a message.
int listen_on(const Address &address, const std::string &text, unsigned long &port)
{
    int fd = socket(address.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int on = 1;
    // SO_REUSEADDR: a restarted server must not wait for the last run's connections to
    // leave TIME_WAIT.
    bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
              bind(fd, reinterpret_cast<const sockaddr *>(&address.storage), address.length) == 0 &&
              listen(fd, 64) == 0;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ok = ok && getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length) == 0;
    if (!ok) {
        std::fprintf(stderr, "vexlolpd: cannot listen on %s port %lu: %s\n", text.c_str(), port,
                     std::strerror(errno));
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in *>(&bound)->sin_port
                                            : reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port);
    return fd;
}

// Written under a temporary name and renamed, so a reader never sees half a number.
bool write_port_file(const std::string &path, unsigned long port)
{
    std::string temporary = path + ".tmp" + std::to_string(getpid());
    FILE *file = std::fopen(temporary.c_str(), "w");
    bool ok = file && std::fprintf(file, "%lu\n", port) > 0;
    ok = (file && std::fclose(file) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::fprintf(stderr, "vexlolpd: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::remove(temporary.c_str());
    }
    return ok;
}

// SIGTERM and SIGINT only set the stop flag; they stay blocked except inside the waits
// (see lpd/wire.h).  A client that goes away must not kill the server with SIGPIPE.
void set_up_signals(lpd::Runtime &rt)
{
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, &rt.wait_mask);
    sigdelset(&rt.wait_mask, SIGTERM);
    sigdelset(&rt.wait_mask, SIGINT);
}

// Connections one at a time: a job's checks and its move into the queue never race
// with another connection's.  0 when stopped by signal, deadline or connection count.
int serve(int listener, const lpd::Spool &spool, const Options &opt, const lpd::Runtime &rt)
{
    unsigned long served = 0;
    while (opt.max_connections == 0 || served < opt.max_connections) {
        lpd::Wait wait = lpd::wait_for(listener, POLLIN, rt.deadline, rt);
        if (wait != lpd::Wait::ready) {
            if (opt.verbose)
                std::fprintf(stderr, "vexlolpd: %s\n",
                             wait == lpd::Wait::timeout ? "deadline reached" : "stopping");
            return wait == lpd::Wait::failed ? 1 : 0;
        }
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            // The client may have gone again, or the readiness was spurious.
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
                errno == EPROTO)
                continue;
            std::fprintf(stderr, "vexlolpd: accept: %s\n", std::strerror(errno));
            return 1;
        }
        lpd::serve_connection(fd, spool, rt, ++served);
    }
    if (opt.verbose)
        std::fprintf(stderr, "vexlolpd: served %lu connections\n", served);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (int status = parse_options(argc, argv, opt))
        return status < 0 ? 0 : status;
    Address address;
    if (!parse_address(opt.bind, opt.port, address)) {
        std::fprintf(stderr, "vexlolpd: --bind needs a numeric IPv4 or IPv6 address, not \"%s\"\n",
                     opt.bind.c_str());
        return kUsageError;
    }
    // The server trusts every peer (any agent may claim to be root), so other hosts
    // only get in when asked for explicitly.
    if (!address.loopback && !opt.any_address) {
        std::fprintf(stderr,
                     "vexlolpd: %s is not a loopback address; add --any-address to serve other hosts\n",
                     opt.bind.c_str());
        return kUsageError;
    }
    lpd::Runtime rt;
    rt.verbose = opt.verbose;
    rt.idle = std::chrono::seconds(opt.idle_timeout);
    if (opt.deadline > 0)
        rt.deadline = lpd::Clock::now() + std::chrono::seconds(opt.deadline);
    set_up_signals(rt);

    lpd::Spool spool;
    std::string why;
    if (!spool.open(opt.spool, opt.queues, why)) {
        std::fprintf(stderr, "vexlolpd: %s\n", why.c_str());
        return 1;
    }
    unsigned long port = opt.port;
    int listener = listen_on(address, opt.bind, port);
    if (listener < 0)
        return 1;
    if (!opt.port_file.empty() && !write_port_file(opt.port_file, port)) {
        close(listener);
        return 1;
    }
    if (opt.verbose)
        std::fprintf(stderr, "vexlolpd: listening on %s port %lu, spool %s\n", opt.bind.c_str(), port,
                     opt.spool.c_str());
    int status = serve(listener, spool, opt, rt);
    close(listener);
    return status;
}
