// longrun.cpp - a long day of one application in one process: many print jobs, listings
// and removals through the library against a server that discards what it gets, with the
// process's resources sampled at regular intervals, then a storm of cancels at random
// moments of jobs sent over a lossy link to a spooling server.  bench/longrun.sh makes
// the namespace, the link and both servers, and runs this.
//
// usage: longrun [options]
//   --jobs N          print jobs of the long run (default 100000)
//   --listings N      queue listings (default 10000)
//   --removals N      removals (default 10000)
//   --every N         requests between two samples (default 1000)
//   --sink HOST       the discarding server (default 127.0.0.1)
//   --storm N         cancel-storm jobs, at most 900 (default 500; 0: none)
//   --storm-host HOST the spooling server of the storm (default 127.0.0.1:5515)
//   --spool DIR       that server's spool directory, checked after the storm
//   --storm-min SIZE  smallest storm job (default 64K); --storm-max SIZE (default 1M)
//   --work DIR        where the files to print are written (default .)
//   --replytimeout MS (default 10000)
//   --seed N          random sizes and cancel moments (default 1179)
//   --time-limit S    the whole run, in seconds (default 1800)
//   --series FILE     every sample as a tab-separated line
//   --trace-storm 1   the library's trace lines of the storm's jobs (standard error)
// Standard output: the series table, the storm's outcomes and one verdict line per check,
// then a line "printed=N bytes=N" for the caller to hold against the sink's own counts.
// Exit status 0 when every check passed, 1 otherwise, 2 usage.
#include <dirent.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <vexlolpr.h>

#include "platform/posix/posix.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LONGRUN_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LONGRUN_SANITIZED 1
#endif
#endif
#ifdef LONGRUN_SANITIZED
// The sanitizers' runtime exports it; GCC does not ship the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#else
#include <malloc.h>
#endif

namespace
{

// ---- options --------------------------------------------------------------------------

struct Options {
    long jobs = 100000, listings = 10000, removals = 10000, every = 1000;
    long storm = 500, storm_min = 64 * 1024, storm_max = 1024 * 1024;
    std::string sink = "127.0.0.1", storm_host = "127.0.0.1:5515", spool, work = ".", series;
    unsigned replytimeout = 10000;
    unsigned long seed = 1179;
    long time_limit = 1800;
    long trace_storm = 0;
};
Options opt;

long Size(const char *text)
{
    char *end;
    long n = strtol(text, &end, 10);
    switch (*end) {
    case 'K':
    case 'k':
        n *= 1024;
        end++;
        break;
    case 'M':
    case 'm':
        n *= 1024 * 1024;
        end++;
        break;
    }
    return *end == '\0' && end != text ? n : -1;
}

bool ParseOptions(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const char *value = argv[++i];
        long n = Size(value);
        if (name == "--jobs")
            opt.jobs = n;
        else if (name == "--listings")
            opt.listings = n;
        else if (name == "--removals")
            opt.removals = n;
        else if (name == "--every")
            opt.every = n;
        else if (name == "--storm")
            opt.storm = n;
        else if (name == "--storm-min")
            opt.storm_min = n;
        else if (name == "--storm-max")
            opt.storm_max = n;
        else if (name == "--replytimeout")
            opt.replytimeout = static_cast<unsigned>(n);
        else if (name == "--seed")
            opt.seed = static_cast<unsigned long>(n);
        else if (name == "--time-limit")
            opt.time_limit = n;
        else if (name == "--trace-storm")
            opt.trace_storm = n;
        else if (name == "--sink")
            opt.sink = value;
        else if (name == "--storm-host")
            opt.storm_host = value;
        else if (name == "--spool")
            opt.spool = value;
        else if (name == "--work")
            opt.work = value;
        else if (name == "--series")
            opt.series = value;
        else
            return false;
    }
    // The library's job numbers follow one another and come round after 1000: a storm
    // longer than that would meet its own earlier jobs in the spool.
    return opt.jobs >= 0 && opt.listings >= 0 && opt.removals >= 0 && opt.every > 0 && opt.storm >= 0 &&
           opt.storm <= 900 && opt.storm_min > 64 && opt.storm_max >= opt.storm_min &&
           opt.replytimeout >= 1000 && opt.replytimeout <= 600000 && opt.time_limit > 0 &&
           (opt.storm == 0 || !opt.spool.empty());
}

// ---- time, the watchdog -----------------------------------------------------------------

long long NowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

long long start_ms;
bool OutOfTime() { return NowMs() - start_ms > opt.time_limit * 1000LL; }

// The request in progress, for the watchdog, which ends the run with what it knows when
// a request hangs: a stuck process would tell nothing.  Without the library's trace (the
// long run, on a link that loses nothing) a request that has not returned within its
// reply time-out and five seconds more is a hang.  On the lossy link each wait of a
// request has the reply time-out to itself, and a job of many chunks may rightly take
// several: there the trace shows each wait begin and end, and a hang is a request that
// has written no trace line for the reply time-out and five seconds (a wait that
// outlived its timer), or that has not returned within REQUEST_CAP_MS at all.
std::atomic<long long> request_start{0}; // 0: none in progress
std::atomic<long long> last_trace{0};
std::atomic<long> request_index{0};
std::atomic<const char *> request_kind{""};
std::atomic<bool> request_traced{false};
std::atomic<bool> stopping{false};
constexpr long long REQUEST_CAP_MS = 120000;

// The trace of the request in progress: its first lines and its latest ones.
std::mutex trace_mutex;
std::vector<std::string> trace_head;
std::deque<std::string> trace_tail;
constexpr size_t TRACE_HEAD = 20, TRACE_TAIL = 40;

void TraceSink(const char *text)
{
    if (strcmp(text, "\r\n") == 0) // each line comes with its own line end call
        return;
    long long now = NowMs();
    last_trace = now;
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%9.3f ", (now - start_ms) / 1000.0);
    {
        std::lock_guard<std::mutex> lock(trace_mutex);
        if (trace_head.size() < TRACE_HEAD) {
            trace_head.push_back(stamp + std::string(text));
        } else {
            trace_tail.push_back(stamp + std::string(text));
            if (trace_tail.size() > TRACE_TAIL)
                trace_tail.pop_front();
        }
    }
    if (opt.trace_storm)
        fprintf(stderr, "%s%s\n", stamp, text);
}

void DiscardTrace(const char *) {}

void Watchdog()
{
    while (!stopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        long long since = request_start, now = NowMs(), silent = now - last_trace;
        if (since == 0)
            continue;
        bool hang = request_traced ? silent > opt.replytimeout + 5000LL || now - since > REQUEST_CAP_MS
                                   : now - since > opt.replytimeout + 5000LL;
        if (!hang)
            continue;
        fprintf(stderr,
                "longrun: HANG: %s request %ld, started at %.3f s, has not returned after %lld ms (reply "
                "time-out %u ms)%s; aborting\n",
                request_kind.load(), request_index.load(), (since - start_ms) / 1000.0, now - since,
                opt.replytimeout,
                request_traced ? (" and has been silent for " + std::to_string(silent) + " ms").c_str() : "");
        {
            std::lock_guard<std::mutex> lock(trace_mutex);
            if (!trace_head.empty())
                fprintf(stderr, "longrun: its trace (seconds since the start of the run):\n");
            for (const std::string &line : trace_head)
                fprintf(stderr, "  %s\n", line.c_str());
            if (!trace_tail.empty())
                fprintf(stderr, "  ...\n");
            for (const std::string &line : trace_tail)
                fprintf(stderr, "  %s\n", line.c_str());
        }
        fflush(stdout);
        abort();
    }
}

struct InRequest {
    InRequest(const char *kind, long index, bool traced = false)
    {
        {
            std::lock_guard<std::mutex> lock(trace_mutex);
            trace_head.clear();
            trace_tail.clear();
        }
        request_kind = kind;
        request_index = index;
        request_traced = traced;
        last_trace = NowMs();
        request_start = NowMs();
    }
    ~InRequest() { request_start = 0; }
};

// ---- samples ----------------------------------------------------------------------------

struct Sample {
    long requests;
    double seconds;
    long rss_kib;
    long long heap;
    int fds, blocks, windows;
    long timers;
};

long RssKib()
{
    FILE *f = fopen("/proc/self/statm", "re");
    long size = 0, resident = 0;
    if (f == nullptr)
        return -1;
    if (fscanf(f, "%ld %ld", &size, &resident) != 2)
        resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The bytes the program holds from the allocator.  Under a sanitizer the allocator is
// the sanitizer's, which keeps freed blocks in quarantine (resident, not in use): its own
// count says what is in use.
long long HeapInUse()
{
#ifdef LONGRUN_SANITIZED
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 m = mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
#endif
}

int OpenDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            n++;
    closedir(dir);
    return n - 1; // the directory's own descriptor
}

// Always called on the thread that makes the requests: the timers are that thread's.
Sample TakeSample(long requests)
{
    Sample s;
    s.requests = requests;
    s.seconds = (NowMs() - start_ms) / 1000.0;
    s.rss_kib = RssKib();
    s.heap = HeapInUse();
    s.fds = OpenDescriptors();
    s.blocks = vx::posix::GlobalBlocksInUse();
    s.windows = vx::posix::LiveWindows();
    s.timers = static_cast<long>(vx::posix::ThreadTimers());
    return s;
}

bool SameResources(const Sample &a, const Sample &b)
{
    return a.fds == b.fds && a.blocks == b.blocks && a.windows == b.windows && a.timers == b.timers;
}

// ---- verdicts ---------------------------------------------------------------------------

int failures;

void Verdict(bool pass, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void Verdict(bool pass, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    printf("- %s — ", pass ? "PASS" : "FAIL");
    vprintf(fmt, ap);
    printf("\n");
    va_end(ap);
    if (!pass)
        failures++;
}

std::string LastText()
{
    char text[512];
    if (LPR_GetLastErrorText(text, static_cast<int>(sizeof text)) <= 0)
        text[0] = '\0';
    return text;
}

LPR_COMMONARG Common()
{
    LPR_COMMONARG c;
    memset(&c, 0, sizeof c);
    c.username = "longrun";
    c.clienthost = "longrun";
    c.replytimeout = opt.replytimeout;
    c.lprtimeout = 10;
    c.debugflags = LPR_OPT_NOYIELD;
    return c;
}

bool WriteFile(const std::string &path, const std::string &bytes)
{
    FILE *f = fopen(path.c_str(), "wbe");
    if (f == nullptr)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

// ---- the long run -------------------------------------------------------------------------

struct Failure {
    long count = 0;
    std::string first; // the first one's request and text
};

struct LongRun {
    std::vector<Sample> samples;
    long printed = 0;
    long long printed_bytes = 0;
    long requests = 0;
    std::map<std::string, Failure> failed; // by kind, result and code
};

void NoteFailure(LongRun &run, const char *kind, long index, WORD ret, int32_t code, const std::string &what)
{
    char key[96];
    snprintf(key, sizeof key, "%s result=%u errorcode=%d", kind, static_cast<unsigned>(ret),
             static_cast<int>(code));
    Failure &f = run.failed[key];
    if (f.count++ == 0)
        f.first = "request " + std::to_string(index) + ": " + what;
}

// Requests of the three kinds, spread evenly: the kind furthest behind its share goes next.
enum Kind { PRINT, LISTING, REMOVAL };
Kind NextKind(const long done[3], const long total[3])
{
    int best = -1;
    double best_share = 2;
    for (int k = 0; k < 3; k++) {
        if (done[k] >= total[k])
            continue;
        double share = static_cast<double>(done[k]) / static_cast<double>(total[k]);
        if (share < best_share) {
            best_share = share;
            best = k;
        }
    }
    return static_cast<Kind>(best);
}

bool RunLong(LongRun &run)
{
    // Three sizes: one chunk and less, a file that ends inside its third chunk, eight
    // whole chunks.
    const long sizes[3] = {1024, 20000, 65536};
    std::string files[3];
    for (int i = 0; i < 3; i++) {
        files[i] = opt.work + "/longrun-" + std::to_string(sizes[i]) + ".dat";
        std::string bytes(static_cast<size_t>(sizes[i]), '\0');
        for (size_t k = 0; k < bytes.size(); k++)
            bytes[k] = static_cast<char>('a' + k % 26);
        if (!WriteFile(files[i], bytes)) {
            fprintf(stderr, "longrun: cannot write %s\n", files[i].c_str());
            return false;
        }
    }
    const long total[3] = {opt.jobs, opt.listings, opt.removals};
    long done[3] = {0, 0, 0};
    const long all = total[0] + total[1] + total[2];
    run.samples.reserve(static_cast<size_t>(all / opt.every + 2));
    run.samples.push_back(TakeSample(0));
    for (long r = 0; r < all; r++) {
        if (OutOfTime()) {
            printf("longrun: the time limit of %ld s ran out after %ld requests\n", opt.time_limit, r);
            return false;
        }
        Kind kind = NextKind(done, total);
        long n = done[kind]++;
        LPR_COMMONARG common = Common();
        WORD ret;
        if (kind == PRINT) {
            LPR_PRINTARG p;
            memset(&p, 0, sizeof p);
            p.filename = files[n % 3].c_str();
            p.host = opt.sink.c_str();
            p.printer = "lp";
            p.copies = 1;
            p.format = 'f';
            p.nobanner = 1;
            p.controlfirst = (n / 3) % 2;
            InRequest in("print", r);
            ret = LPR_Print(&p, &common);
            if (ret == LPR_OK && common.errorcode == 0) {
                run.printed++;
                run.printed_bytes += sizes[n % 3];
            }
        } else if (kind == LISTING) {
            char *listing = nullptr;
            LPR_QUEUEARG q = {opt.sink.c_str(), "lp", &listing};
            if (n % 2)
                common.debugflags |= LPR_OPT_LONGLIST;
            {
                InRequest in("listing", r);
                ret = LPR_GetQueue(&q, &common);
            }
            // The sink's whole answer, "no entries" LF, reshaped: each line end a space and
            // a NUL, and an empty string after the last line.
            if (ret == LPR_OK &&
                (listing == nullptr || strcmp(listing, "no entries ") != 0 || listing[12] != '\0')) {
                NoteFailure(run, "listing", r, ret, common.errorcode, "not the sink's listing");
                ret = 0xffff;
            }
            LPR_FreeQueue(&listing);
        } else {
            LPR_DELETEARG d = {opt.sink.c_str(), "lp", static_cast<WORD>(1 + n % 999)};
            InRequest in("removal", r);
            ret = LPR_DeleteJob(&d, &common);
        }
        static const char *const names[3] = {"print", "listing", "removal"};
        if (ret != 0xffff && (ret != LPR_OK || common.errorcode != 0))
            NoteFailure(run, names[kind], r, ret, common.errorcode, LastText());
        run.requests = r + 1;
        if (run.requests % opt.every == 0)
            run.samples.push_back(TakeSample(run.requests));
    }
    if (run.requests % opt.every != 0)
        run.samples.push_back(TakeSample(run.requests));
    return true;
}

#ifndef LONGRUN_SANITIZED
// How much the resident size may move without counting as growth: allocator caches and
// page-granular bookkeeping come and go by a few pages.
long RssNoise(long base) { return std::max(256L, base / 50); }
#endif
// The heap in use may move by what stdio, the allocator's own bins and the sample table
// (reserved in advance) leave: a few blocks of a few KiB.
long long HeapNoise(long long base) { return std::max(64LL * 1024, base / 50); }

// A steady climb: over the second half of the series the value never fell, and rose at
// a quarter of the steps or more.  A value that rises once and stays is a cache filling.
template <typename Get> bool Climbs(const std::vector<Sample> &s, size_t from, Get get)
{
    if (s.size() - from < 4)
        return false;
    size_t rises = 0;
    for (size_t i = from + 1; i < s.size(); i++) {
        if (get(s[i]) < get(s[i - 1]))
            return false;
        rises += get(s[i]) > get(s[i - 1]);
    }
    return rises * 4 >= s.size() - from - 1 && rises > 0;
}

void PrintSeries(const LongRun &run)
{
    const std::vector<Sample> &s = run.samples;
    size_t first = std::min<size_t>(1, s.size() - 1), warm = std::min<size_t>(5, s.size() - 1);
    Sample max = s[first];
    for (const Sample &x : s) {
        max.rss_kib = std::max(max.rss_kib, x.rss_kib);
        max.heap = std::max(max.heap, x.heap);
        max.fds = std::max(max.fds, x.fds);
        max.blocks = std::max(max.blocks, x.blocks);
        max.windows = std::max(max.windows, x.windows);
        max.timers = std::max(max.timers, x.timers);
    }
    printf("\n## Long run: %ld print jobs, %ld listings, %ld removals in one process\n\n", opt.jobs,
           opt.listings, opt.removals);
    printf("Sampled every %ld requests (%zu samples)%s.\n\n", opt.every, s.size(),
#ifdef LONGRUN_SANITIZED
           "; sanitizer build: heap = the sanitizer allocator's bytes in use, RSS shown, not judged"
#else
           "; heap = malloc's bytes in use (mallinfo2)"
#endif
    );
    printf("| sample | requests | seconds | RSS KiB | heap bytes | descriptors | global blocks | windows | "
           "timers |\n");
    printf("|---|--:|--:|--:|--:|--:|--:|--:|--:|\n");
    auto row = [](const char *name, const Sample &x, bool position) {
        char requests[32] = "", seconds[32] = "";
        if (position) {
            snprintf(requests, sizeof requests, "%ld", x.requests);
            snprintf(seconds, sizeof seconds, "%.1f", x.seconds);
        }
        printf("| %s | %s | %s | %ld | %lld | %d | %d | %d | %ld |\n", name, requests, seconds, x.rss_kib,
               x.heap, x.fds, x.blocks, x.windows, x.timers);
    };
    row("before any request", s[0], true);
    row("first", s[first], true);
    char label[48];
    snprintf(label, sizeof label, "warm-up (sample %zu)", warm);
    row(label, s[warm], true);
    row("last", s.back(), true);
    row("maximum", max, false);
    printf("\n");
}

void JudgeLongRun(const LongRun &run)
{
    const std::vector<Sample> &s = run.samples;
    const long all = opt.jobs + opt.listings + opt.removals;
    Verdict(run.requests == all, "requests made: %ld of %ld", run.requests, all);
    long failed = 0;
    for (const auto &f : run.failed)
        failed += f.second.count;
    Verdict(failed == 0, "every request ended LPR_OK with errorcode 0 (%ld did not)", failed);
    for (const auto &f : run.failed)
        printf("  - %s: %ld, first: %s\n", f.first.c_str(), f.second.count, f.second.first.c_str());

    // The first sample, not the state before any request: the thread's message queue
    // keeps its wake-up descriptor from its first request on.
    const size_t first = std::min<size_t>(1, s.size() - 1);
    const Sample &f = s[first];
    size_t bad = s.size();
    for (size_t i = first; i < s.size() && bad == s.size(); i++)
        if (!SameResources(s[i], f))
            bad = i;
    if (bad == s.size())
        Verdict(true,
                "descriptors, global blocks, windows and timers equal to the first sample at all %zu samples",
                s.size() - first);
    else
        Verdict(
            false,
            "resources moved at sample %zu (after %ld requests): descriptors %d->%d, blocks %d->%d, windows "
            "%d->%d, timers %ld->%ld",
            bad, s[bad].requests, f.fds, s[bad].fds, f.blocks, s[bad].blocks, f.windows, s[bad].windows,
            f.timers, s[bad].timers);

    if (s.size() < 8) {
        printf("- (too few samples for the RSS and heap checks: %zu)\n", s.size());
        return;
    }
    const size_t warm = 5, half = s.size() / 2;
    const Sample &w = s[warm], &last = s.back();
    long long heap_limit = w.heap + HeapNoise(w.heap);
    bool heap_climbs = Climbs(s, half, [](const Sample &x) { return static_cast<long long>(x.heap); });
    Verdict(last.heap <= heap_limit && !heap_climbs,
            "heap in use flat: %lld bytes at sample %zu, %lld at the last (limit %lld)%s", w.heap, warm,
            last.heap, heap_limit, heap_climbs ? "; it climbs steadily over the second half" : "");
#ifdef LONGRUN_SANITIZED
    printf("- (RSS not judged under a sanitizer: %ld KiB at sample %zu, %ld KiB at the last)\n", w.rss_kib,
           warm, last.rss_kib);
#else
    long rss_limit = w.rss_kib + RssNoise(w.rss_kib);
    bool rss_climbs = Climbs(s, half, [](const Sample &x) { return static_cast<long long>(x.rss_kib); });
    Verdict(last.rss_kib <= rss_limit && !rss_climbs,
            "RSS flat: %ld KiB at sample %zu, %ld KiB at the last (limit %ld)%s", w.rss_kib, warm,
            last.rss_kib, rss_limit, rss_climbs ? "; it climbs steadily over the second half" : "");
#endif
}

// ---- the cancel storm ---------------------------------------------------------------------

// The content of storm job i: a first line that names it, then bytes that follow from
// the job's number, so that the spool can be checked without keeping copies.
std::string StormBytes(long i, long size)
{
    char head[64];
    size_t n =
        static_cast<size_t>(snprintf(head, sizeof head, "longrun storm job %06ld of %ld bytes\n", i, size));
    std::string bytes(static_cast<size_t>(size), '\0');
    memcpy(&bytes[0], head, n);
    uint64_t x = opt.seed * 0x9e3779b97f4a7c15ULL + static_cast<uint64_t>(i), z = 0;
    for (size_t k = n; k < bytes.size(); k++) {
        if ((k - n) % 8 == 0) { // splitmix64
            z = (x += 0x9e3779b97f4a7c15ULL);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            z ^= z >> 31;
        }
        bytes[k] = static_cast<char>(z >> (8 * ((k - n) % 8)));
    }
    return bytes;
}

enum Outcome { OK, OK_CANCELLED, CANCELLED, NETWORK, WRONG, OUTCOMES };
const char *const outcome_names[OUTCOMES] = {"LPR_OK", "LPR_OK after a late cancel (4601)",
                                             "cancelled (59 or 31, 4601)", "written network error", "WRONG"};

// The failures a lossy link may cause: time-outs, resets, and each step of the job that
// can meet them.  A refusal by the server, a memory failure or an unwritten code are not
// among them.
bool NetworkCode(int32_t code)
{
    static const int32_t codes[] = {
        LPR_ERR_TIMEOUT,         LPR_ERR_NO_LPD,      LPR_ERR_NETWORK,       LPR_ERR_SEND_INITIAL,
        LPR_ERR_VERIFY_INITIAL,  LPR_ERR_SEND_NOTIFY, LPR_ERR_VERIFY_NOTIFY, LPR_ERR_SEND_CONTROL,
        LPR_ERR_VERIFY_CONTROL,  LPR_ERR_SEND_DATA,   LPR_ERR_VERIFY_DATA,   LPR_ERR_LPD_NOT_RESPONDING,
        LPR_ERR_WRITE_AFTER_DATA};
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

Outcome Classify(WORD ret, int32_t code, const std::string &text)
{
    if (ret == LPR_OK)
        return code == 0 ? OK : code == LPR_ERR_CANCELLED ? OK_CANCELLED : WRONG;
    if ((ret != LPR_R_UNEXP_NET_ERR && ret != LPR_R_GEN_FAILURE) || text.empty())
        return WRONG;
    return code == LPR_ERR_CANCELLED ? CANCELLED : NetworkCode(code) ? NETWORK : WRONG;
}

// The canceller: for each job it waits for the job's moment and presses Cancel from its
// own thread.  The job's thread waits for that before it goes on, so that every cancel
// belongs to one job.
struct Canceller {
    std::mutex m;
    std::condition_variable cv;
    long delay_us = 0; // from the job's start; negative: once the job has returned
    bool fired = true;
    bool ended = false; // the job has returned
    int rc = -1;        // what LPR_CancelBlockingCall returned
    bool after = false; // it was called after the job had returned
    bool quit = false;

    void Run()
    {
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return quit || !fired; });
            if (quit)
                return;
            // A job that ends before its moment gets its cancel at once: it then finds
            // nothing to cancel, and the storm does not wait for moments that are past.
            if (delay_us < 0)
                cv.wait(lock, [&] { return ended; });
            else
                cv.wait_for(lock, std::chrono::microseconds(delay_us), [&] { return ended; });
            // Read under the lock with the cancel: a job marked ended has returned, and
            // the cancel then must find nothing to cancel.
            after = ended;
            rc = LPR_CancelBlockingCall();
            fired = true;
            cv.notify_all();
        }
    }
};

struct StormJob {
    long size;
    long delay_us;
    WORD ret;
    int32_t code;
    int rc;
    long long ms;
    Outcome outcome;
    std::string text;
};

// Jobs between two looks at the spool: they take well under the ten minutes after which
// the clock gives a job number again.
constexpr size_t STORM_BATCH = 50;

struct Storm {
    std::vector<StormJob> jobs;
    long wrong_after_end = 0; // a cancel after the job's end found something to cancel
    long resources_left = 0;  // jobs after which something was left
    std::string resources_first;
    // What the spool held, taken batch by batch.
    std::vector<char> at_server; // by job: whole in the spool
    long whole = 0, broken = 0, orphans = 0, whole_failed = 0;
    std::string first_broken;
    std::vector<std::string> whole_failed_lines;
};

bool ReadFileBytes(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "rbe");
    if (f == nullptr)
        return false;
    out.clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return true;
}

std::vector<std::string> List(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.' || strncmp(e->d_name, ".incoming", 9) == 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Takes what the spool holds into the tally and empties it.  The server serves one
// connection at a time and keeps a job only once its connection ended; its private
// directories go with the connection, so none left means it is idle.  The library's job
// numbers come from the clock and come round after ten minutes, and the server refuses a
// number already queued: a storm longer than that must not meet its own earlier jobs.
void TakeSpool(Storm &storm)
{
    const std::string queue = opt.spool + "/lp";
    long long deadline = NowMs() + 40000;
    while (NowMs() < deadline) {
        bool busy = false;
        for (const std::string &name : List(opt.spool))
            busy |= name.compare(0, 9, ".incoming") == 0;
        if (!busy)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::vector<std::string> names = List(queue);
    for (const std::string &name : names) {
        if (name.compare(0, 2, "cf") == 0) {
            struct stat st;
            if (stat((queue + "/d" + name.substr(1)).c_str(), &st) != 0 && storm.orphans++ == 0 &&
                storm.first_broken.empty())
                storm.first_broken = name + " without its data file";
            continue;
        }
        if (name.compare(0, 2, "df") != 0)
            continue;
        std::string bytes;
        long i = -1, size = -1;
        bool intact = ReadFileBytes(queue + "/" + name, bytes) &&
                      sscanf(bytes.c_str(), "longrun storm job %ld of %ld bytes\n", &i, &size) == 2 &&
                      i >= 0 && static_cast<size_t>(i) < storm.jobs.size() && size == storm.jobs[i].size &&
                      bytes == StormBytes(i, size);
        struct stat st;
        intact = intact && stat((queue + "/c" + name.substr(1)).c_str(), &st) == 0;
        if (!intact) {
            if (storm.broken++ == 0 && storm.first_broken.empty())
                storm.first_broken = name + " is not a whole job";
            continue;
        }
        storm.whole++;
        storm.at_server[i] = 1;
        const StormJob &j = storm.jobs[i];
        if (j.outcome != OK && j.outcome != OK_CANCELLED && storm.whole_failed++ < 5) {
            char line[400];
            snprintf(line, sizeof line,
                     "- job %ld is whole at the server, reported as result %u, errorcode %d, \"%s\"", i,
                     static_cast<unsigned>(j.ret), static_cast<int>(j.code), j.text.c_str());
            storm.whole_failed_lines.push_back(line);
        }
    }
    // Data files first, as the server removes a job.
    for (const char *kind : {"df", "cf"})
        for (const std::string &name : names)
            if (name.compare(0, 2, kind) == 0)
                unlink((queue + "/" + name).c_str());
}

bool RunStorm(Storm &storm, const Sample &baseline)
{
    storm.at_server.assign(static_cast<size_t>(opt.storm), 0);
    Canceller c;
    std::thread thread([&] { c.Run(); });
    vx::posix::SetDebugSink(TraceSink);
    std::mt19937_64 random(opt.seed);
    std::uniform_int_distribution<long> size_of(opt.storm_min, opt.storm_max);
    std::uniform_real_distribution<double> unit(0, 1);
    // The moments follow the jobs' own pace: the median microseconds per byte of the jobs
    // that went through uncancelled (a few jobs that met a retransmission time-out must
    // not stretch every moment).
    double us_per_byte = 1;
    std::vector<double> paces;
    const std::string path = opt.work + "/longrun-storm.dat";
    bool ok = true;
    for (long i = 0; i < opt.storm; i++) {
        if (OutOfTime()) {
            printf("longrun: the time limit of %ld s ran out after %ld storm jobs\n", opt.time_limit, i);
            ok = false;
            break;
        }
        StormJob job;
        job.size = size_of(random);
        // One job in eight is cancelled only after it returned (and shows the pace), one
        // within its first two milliseconds (the connect and the job command), the rest
        // anywhere up to a little past the job's likely end.
        if (i % 8 == 0)
            job.delay_us = -1;
        else if (i % 8 == 1)
            job.delay_us = static_cast<long>(unit(random) * 2000);
        else
            job.delay_us =
                static_cast<long>(unit(random) * std::min(1.25 * us_per_byte * static_cast<double>(job.size),
                                                          opt.replytimeout * 1000.0));
        if (!WriteFile(path, StormBytes(i, job.size))) {
            fprintf(stderr, "longrun: cannot write %s\n", path.c_str());
            ok = false;
            break;
        }
        char jobname[32];
        snprintf(jobname, sizeof jobname, "storm-%06ld", i);
        LPR_PRINTARG p;
        memset(&p, 0, sizeof p);
        p.filename = path.c_str();
        p.host = opt.storm_host.c_str();
        p.printer = "lp";
        p.copies = 1;
        p.format = 'f';
        p.jobname = jobname;
        p.nobanner = 1;
        p.controlfirst = i % 2;
        LPR_COMMONARG common = Common();
        common.debugflags |= LPR_DEBUG_TRACE;
        char note[96];
        snprintf(note, sizeof note, "longrun: storm job %ld of %ld bytes, cancel at %ld us", i, job.size,
                 job.delay_us);
        {
            std::lock_guard<std::mutex> lock(c.m);
            c.delay_us = job.delay_us;
            c.ended = false;
            c.fired = false;
        }
        c.cv.notify_all();
        long long t0 = NowMs();
        {
            InRequest in("storm print", i, true);
            TraceSink(note);
            job.ret = LPR_Print(&p, &common);
        }
        job.ms = NowMs() - t0;
        job.code = common.errorcode;
        job.text = job.ret == LPR_OK ? "" : LastText();
        {
            std::unique_lock<std::mutex> lock(c.m);
            c.ended = true;
            c.cv.notify_all();
            // The canceller's own wait is bounded by its moment, at most the reply time-out.
            if (!c.cv.wait_for(lock, std::chrono::milliseconds(opt.replytimeout + 5000LL),
                               [&] { return c.fired; })) {
                fprintf(stderr, "longrun: HANG: the canceller of storm job %ld did not fire; aborting\n", i);
                abort();
            }
            job.rc = c.rc;
            if (c.after && c.rc != 1)
                storm.wrong_after_end++;
        }
        job.outcome = Classify(job.ret, job.code, job.text);
        // A cancel whose call found nothing to cancel must not have cancelled anything.
        if (job.rc == 1 && job.code == LPR_ERR_CANCELLED)
            job.outcome = WRONG;
        if (job.outcome == OK && job.delay_us < 0) {
            paces.push_back(job.ms * 1000.0 / static_cast<double>(job.size));
            std::vector<double> sorted = paces;
            std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
            us_per_byte = sorted[sorted.size() / 2];
        }
        Sample now = TakeSample(i);
        if (!SameResources(now, baseline) && storm.resources_left++ == 0) {
            char what[160];
            snprintf(what, sizeof what, "job %ld: descriptors %d, blocks %d, windows %d, timers %ld", i,
                     now.fds, now.blocks, now.windows, now.timers);
            storm.resources_first = what;
        }
        storm.jobs.push_back(job);
        if (storm.jobs.size() % STORM_BATCH == 0)
            TakeSpool(storm);
    }
    TakeSpool(storm);
    {
        std::lock_guard<std::mutex> lock(c.m);
        c.quit = true;
    }
    c.cv.notify_all();
    thread.join();
    // The trace switch stays as the last request left it: the library's own lines at exit
    // would otherwise land on standard error.
    vx::posix::SetDebugSink(DiscardTrace);
    return ok;
}

// The outcomes, and the server's view taken batch by batch: every job in its queue must
// have been whole, and every job reported printed must have been there.
void JudgeStorm(const Storm &storm)
{
    long counts[OUTCOMES] = {0, 0, 0, 0, 0};
    std::map<std::string, long> by_code; // result, code and text
    long long max_ms = 0, max_cancelled_ms = 0;
    long posted = 0, unnoticed = 0;
    std::string first_wrong;
    for (size_t i = 0; i < storm.jobs.size(); i++) {
        const StormJob &j = storm.jobs[i];
        counts[j.outcome]++;
        posted += j.rc == 0;
        // Posted while the dialog still stood, after the last wait: nothing dispatched it.
        unnoticed += j.rc == 0 && j.outcome == OK;
        max_ms = std::max(max_ms, j.ms);
        if (j.code == LPR_ERR_CANCELLED)
            max_cancelled_ms = std::max(max_cancelled_ms, j.ms);
        if (j.outcome != OK && j.outcome != OK_CANCELLED) {
            char key[64];
            snprintf(key, sizeof key, "result %u, errorcode %d", static_cast<unsigned>(j.ret),
                     static_cast<int>(j.code));
            by_code[std::string(key) + ", \"" + j.text + "\""]++;
        }
        if (j.outcome == WRONG && first_wrong.empty()) {
            char what[400];
            snprintf(
                what, sizeof what, "job %zu: result %u errorcode %d cancel rc %d after %ld us, text \"%s\"",
                i, static_cast<unsigned>(j.ret), static_cast<int>(j.code), j.rc, j.delay_us, j.text.c_str());
            first_wrong = what;
        }
    }
    printf("\n## Cancel storm: %zu jobs of %ld to %ld bytes to %s, a cancel at a random moment of each\n\n",
           storm.jobs.size(), opt.storm_min, opt.storm_max, opt.storm_host.c_str());
    printf("| outcome | jobs |\n|---|--:|\n");
    for (int k = 0; k < OUTCOMES; k++)
        printf("| %s | %ld |\n", outcome_names[k], counts[k]);
    for (const auto &b : by_code)
        printf("| &nbsp;&nbsp;%s | %ld |\n", b.first.c_str(), b.second);
    std::vector<long long> ok_ms, latency_ms;
    for (const StormJob &j : storm.jobs) {
        if (j.outcome == OK && j.delay_us < 0)
            ok_ms.push_back(j.ms);
        if (j.code == LPR_ERR_CANCELLED && j.delay_us >= 0)
            latency_ms.push_back(std::max(0LL, j.ms - j.delay_us / 1000));
    }
    auto quantile = [](std::vector<long long> v, double q) {
        if (v.empty())
            return -1LL;
        std::sort(v.begin(), v.end());
        return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
    };
    printf("\nCancels posted to a request in progress: %ld (%ld of them after its last wait: LPR_OK, "
           "errorcode 0).  "
           "Uncancelled jobs: median %lld ms, 90 %% %lld ms.  "
           "From the cancel to the return: median %lld ms, 90 %% %lld ms, longest %lld ms.  Longest request "
           "%lld ms "
           "(longest cancelled one %lld ms).\n\n",
           posted, unnoticed, quantile(ok_ms, 0.5), quantile(ok_ms, 0.9), quantile(latency_ms, 0.5),
           quantile(latency_ms, 0.9), quantile(latency_ms, 1), max_ms, max_cancelled_ms);
    int listed = 0;
    for (size_t i = 0; i < storm.jobs.size() && listed < 10; i++) {
        const StormJob &j = storm.jobs[i];
        if (j.outcome == NETWORK || j.outcome == WRONG || j.ms > opt.replytimeout) {
            printf("- job %zu: result %u, errorcode %d, after %lld ms, cancel %s, \"%s\"\n", i,
                   static_cast<unsigned>(j.ret), static_cast<int>(j.code), j.ms,
                   j.delay_us < 0 ? "after the end" : (std::to_string(j.delay_us) + " us in").c_str(),
                   j.text.c_str());
            listed++;
        }
    }
    if (listed)
        printf("\n");

    Verdict(storm.jobs.size() == static_cast<size_t>(opt.storm), "storm jobs made: %zu of %ld",
            storm.jobs.size(), opt.storm);
    Verdict(counts[WRONG] == 0, "every storm job ended with a written result (%ld did not)%s%s",
            counts[WRONG], first_wrong.empty() ? "" : "; first: ", first_wrong.c_str());
    Verdict(storm.wrong_after_end == 0,
            "a cancel after a job's end found nothing to cancel (%ld found something)",
            storm.wrong_after_end);
    Verdict(storm.resources_left == 0,
            "descriptors, global blocks, windows and timers back to the first sample after every storm job "
            "(%ld jobs left something)%s%s",
            storm.resources_left, storm.resources_left ? "; first: " : "", storm.resources_first.c_str());

    long reported = counts[OK] + counts[OK_CANCELLED], missing = 0;
    std::string first_broken = storm.first_broken;
    for (size_t i = 0; i < storm.jobs.size(); i++)
        if ((storm.jobs[i].outcome == OK || storm.jobs[i].outcome == OK_CANCELLED) && !storm.at_server[i] &&
            missing++ == 0 && first_broken.empty())
            first_broken = "job " + std::to_string(i) + " reported printed is not in the spool";
    for (const std::string &line : storm.whole_failed_lines)
        printf("%s\n", line.c_str());
    printf(
        "Spool: %ld whole jobs (%ld of them reported as failed: their last acknowledgement was cut off), %ld "
        "partial or broken, %ld control files without data.\n\n",
        storm.whole, storm.whole_failed, storm.broken, storm.orphans);
    Verdict(missing == 0 && storm.broken == 0 && storm.orphans == 0,
            "every job reported printed (%ld) is whole at the server, and the server kept no partial job%s%s",
            reported, first_broken.empty() ? "" : "; first: ", first_broken.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (!ParseOptions(argc, argv)) {
        fprintf(stderr,
                "usage: longrun [--jobs N] [--listings N] [--removals N] [--every N] [--sink HOST]\n"
                "               [--storm N (<= 900)] [--storm-host HOST] --spool DIR [--storm-min SIZE]\n"
                "               [--storm-max SIZE] [--work DIR] [--replytimeout MS] [--seed N]\n"
                "               [--time-limit S] [--series FILE] [--trace-storm 1]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    start_ms = NowMs();
    std::thread watchdog(Watchdog);

    LongRun run;
    bool complete = RunLong(run);
    if (run.samples.empty()) {
        stopping = true;
        watchdog.join();
        return 1;
    }
    PrintSeries(run);
    JudgeLongRun(run);
    if (!complete)
        failures++;
    if (!opt.series.empty()) {
        if (FILE *f = fopen(opt.series.c_str(), "we")) {
            fprintf(f, "requests\tseconds\trss_kib\theap\tfds\tblocks\twindows\ttimers\n");
            for (const Sample &x : run.samples)
                fprintf(f, "%ld\t%.3f\t%ld\t%lld\t%d\t%d\t%d\t%ld\n", x.requests, x.seconds, x.rss_kib,
                        x.heap, x.fds, x.blocks, x.windows, x.timers);
            fclose(f);
        }
    }

    if (opt.storm > 0) {
        Storm storm;
        storm.jobs.reserve(static_cast<size_t>(opt.storm));
        if (!RunStorm(storm, run.samples[std::min<size_t>(1, run.samples.size() - 1)]))
            failures++;
        JudgeStorm(storm);
    }

    stopping = true;
    watchdog.join();
    printf("\nprinted=%ld bytes=%lld\nlongrun: %s in %.1f s\n", run.printed, run.printed_bytes,
           failures ? "FAILED" : "passed", (NowMs() - start_ms) / 1000.0);
    return failures ? 1 : 0;
}
