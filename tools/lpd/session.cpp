// session.cpp - the daemon commands and the receive-job subcommands of the loopback LPD
// server.  A refused request ends its connection; only a client that closes between
// subcommands gets its complete jobs queued.
#include "lpd/session.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace lpd {

namespace {

class Session {
public:
    Session(int fd, const Spool &spool, const Runtime &rt, unsigned long id)
        : wire_(fd, rt), spool_(spool), rt_(rt), id_(id)
    {
    }
    void run();

private:
    void print_waiting(std::string_view operands);
    void receive_job(std::string_view operands);
    void send_queue_state(char command, std::string_view operands);
    void remove_jobs(std::string_view operands);
    bool receive_subcommands(Incoming &job);
    bool receive_file(Incoming &job, FileKind kind, std::string_view operands);
    bool receive_octets(Incoming &job, FileKind kind, const std::string &name, std::uint64_t count);
    void reject(char command, const std::string &why);
    bool refuse(const std::string &why);
    void log(const char *format, ...) __attribute__((format(printf, 2, 3)));

    Wire wire_;
    const Spool &spool_;
    const Runtime &rt_;
    unsigned long id_;
};

void Session::log(const char *format, ...)
{
    if (!rt_.verbose)
        return;
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "vexlolpd: #%lu %s\n", id_, printable(text).c_str());
}

// The command octet is read on its own, so that an unknown one is refused at once
// instead of after a line that may never come.
void Session::run()
{
    char command = 0;
    Io io = wire_.read_byte(command);
    if (io != Io::ok) {
        log("no command: %s", describe(io));
        return;
    }
    if (command < kPrintWaiting || command > kRemoveJobs)
        return reject(command,
                      "unknown command octet " + std::to_string(static_cast<unsigned char>(command)));
    std::string operands;
    io = wire_.read_line(operands, kMaxLine - 1);
    if (io != Io::ok)
        return reject(command, std::string("command line: ") + describe(io));
    switch (command) {
    case kPrintWaiting: return print_waiting(operands);
    case kReceiveJob: return receive_job(operands);
    case kRemoveJobs: return remove_jobs(operands);
    default: return send_queue_state(command, operands);
    }
}

// One answer per kind of command: the refusal octet where the client waits for an
// acknowledgement (or for an unknown command), a text line where it reads text.
void Session::reject(char command, const std::string &why)
{
    log("rejected: %s", why.c_str());
    if (command == kSendShort || command == kSendLong || command == kRemoveJobs)
        wire_.send("vexlolpd: " + printable(why) + "\n");
    else if (command != kPrintWaiting)
        wire_.send(std::string_view(&kRefuse, 1));
}

bool Session::refuse(const std::string &why)
{
    reject(kReceiveJob, why);
    return false;
}

// 01 queue LF: nothing is ever printed here, so there is nothing to start.
void Session::print_waiting(std::string_view operands)
{
    log("print waiting jobs: %s", std::string(operands).c_str());
}

// 02 queue LF, acknowledged, then subcommands until the client closes.
void Session::receive_job(std::string_view operands)
{
    std::vector<std::string_view> args = split_operands(operands);
    if (args.size() != 1)
        return reject(kReceiveJob, "receive job: expected one printer name, got \"" + std::string(operands) + "\"");
    int queue = spool_.queue_dir(args[0]);
    if (queue < 0)
        return reject(kReceiveJob, "receive job: unknown printer " + std::string(args[0]));
    log("receive job for %s", std::string(args[0]).c_str());
    if (!wire_.send(std::string_view(&kAck, 1)))
        return;
    Incoming job(spool_, queue);
    if (!receive_subcommands(job))
        return; // the Incoming destructor throws the files away
    Incoming::Outcome outcome = job.commit();
    for (const std::string &name : outcome.queued)
        log("queued %s", name.c_str());
    for (const std::string &what : outcome.dropped)
        log("discarded %s", what.c_str());
}

// Only a close by the client between two subcommands ends a job normally; a refusal,
// a time-out or a stop leaves the files to be discarded.
bool Session::receive_subcommands(Incoming &job)
{
    for (;;) {
        char sub = 0;
        Io io = wire_.read_byte(sub);
        if (io == Io::eof)
            return true;
        if (io != Io::ok) {
            log("job abandoned: %s", describe(io));
            return false;
        }
        if (sub < kAbortJob || sub > kReceiveData)
            return refuse("unknown subcommand octet " + std::to_string(static_cast<unsigned char>(sub)));
        std::string operands;
        io = wire_.read_line(operands, kMaxLine - 1);
        if (io != Io::ok)
            return refuse(std::string("subcommand line: ") + describe(io));
        if (sub == kAbortJob) {
            // 01 LF: no answer.  Operands have no meaning; the job goes either way.
            if (!split_operands(operands).empty()) {
                log("abort with operands: closing");
                return false;
            }
            log("abort job");
            job.discard();
        } else if (!receive_file(job, sub == kReceiveControl ? FileKind::control : FileKind::data,
                                 operands)) {
            return false;
        }
    }
}

// 02|03 count SP name LF, acknowledged; then exactly count octets and one zero octet,
// acknowledged again.
bool Session::receive_file(Incoming &job, FileKind kind, std::string_view operands)
{
    const std::string what = kind == FileKind::control ? "control file" : "data file";
    std::vector<std::string_view> args = split_operands(operands);
    if (args.size() != 2)
        return refuse(what + ": expected a count and a name, got \"" + std::string(operands) + "\"");
    std::string name(args[1]);
    std::optional<std::uint64_t> count =
        parse_count(args[0], kind == FileKind::control ? kMaxControlBytes : kMaxDataBytes);
    if (!count)
        return refuse(what + ": bad or too large count " + std::string(args[0]));
    if (!valid_file_name(name, kind))
        return refuse(what + ": bad name " + name);
    std::string conflict = job.check_new(name, kind);
    if (!conflict.empty())
        return refuse(what + ": " + conflict);
    if (!wire_.send(std::string_view(&kAck, 1)))
        return false;
    if (!receive_octets(job, kind, name, *count))
        return false;
    log("%s %s, %llu bytes", what.c_str(), name.c_str(), static_cast<unsigned long long>(*count));
    return wire_.send(std::string_view(&kAck, 1));
}

namespace {

bool all_zero(const char *data, std::size_t size)
{
    return size > 0 && data[0] == 0 && std::memcmp(data, data + 1, size - 1) == 0;
}

// Writes a piece of a data file at `offset`.  A piece of zero octets only is left as a
// hole: the file reads the same, and a huge mostly empty job does not fill the disk.
// Either way the file grows as the octets come, for whoever watches it.
bool store_piece(int fd, const char *data, std::size_t size, std::uint64_t offset)
{
    if (all_zero(data, size))
        return ftruncate(fd, static_cast<off_t>(offset + size)) == 0;
    for (std::size_t done = 0; done < size;) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

// A data file streams straight to disk.  When writing fails the octets are still read,
// so that the refusal arrives where the client expects an answer.
bool Session::receive_octets(Incoming &job, FileKind kind, const std::string &name, std::uint64_t count)
{
    std::string text;
    int fd = kind == FileKind::data ? job.create_data(name) : -1;
    bool stored = kind == FileKind::control || fd >= 0;
    std::uint64_t offset = 0;
    Io io = wire_.read_exact(count, [&](const char *data, std::size_t size) {
        if (kind == FileKind::control) {
            text.append(data, size);
            return;
        }
        stored = stored && store_piece(fd, data, size, offset);
        offset += size;
    });
    if (fd >= 0 && close(fd) != 0)
        stored = false;
    char end = 0;
    if (io == Io::ok)
        io = wire_.read_byte(end);
    if (io != Io::ok) {
        log("%s %s: %s", kind == FileKind::control ? "control file" : "data file", name.c_str(),
            describe(io));
        return false;
    }
    if (end != '\0')
        return refuse(name + " was not followed by a zero octet");
    if (kind == FileKind::data) {
        if (!stored)
            return refuse(name + ": cannot write into the spool");
        job.keep_data(name);
        return true;
    }
    std::string why;
    std::optional<ControlInfo> info = parse_control(text, why);
    if (!info)
        return refuse(name + ": " + why);
    if (!job.store_control(name, text, *info))
        return refuse(name + ": cannot write into the spool");
    return true;
}

// 03|04 queue [SP list] LF: the listing as text, then the connection ends.
void Session::send_queue_state(char command, std::string_view operands)
{
    std::vector<std::string_view> args = split_operands(operands);
    if (args.empty())
        return reject(command, "queue state: no printer named");
    int queue = spool_.queue_dir(args[0]);
    if (queue < 0)
        return reject(command, "unknown printer " + std::string(args[0]));
    std::vector<std::string_view> wanted(args.begin() + 1, args.end());
    std::vector<Job> jobs = spool_.jobs(queue);
    log("%s queue state of %s: %zu jobs", command == kSendShort ? "short" : "long",
        std::string(args[0]).c_str(), jobs.size());
    wire_.send(command == kSendShort ? format_short(jobs, wanted) : format_long(jobs, wanted));
}

// 05 queue SP agent [SP list] LF.  A job goes when the list names it (by number or
// owner) and the agent is its owner or root; every other case gets a line saying why.
void Session::remove_jobs(std::string_view operands)
{
    std::vector<std::string_view> args = split_operands(operands);
    if (args.size() < 2)
        return reject(kRemoveJobs, "remove jobs: expected a printer and an agent");
    int queue = spool_.queue_dir(args[0]);
    if (queue < 0)
        return reject(kRemoveJobs, "unknown printer " + std::string(args[0]));
    std::string agent(args[1]);
    std::vector<std::string_view> wanted(args.begin() + 2, args.end());
    std::vector<bool> matched(wanted.size(), false);
    std::string answer;
    for (const Job &job : spool_.jobs(queue)) {
        bool named = false;
        for (std::size_t i = 0; i < wanted.size(); ++i) {
            if (job_matches(job, wanted[i]))
                named = matched[i] = true;
        }
        if (!named)
            continue;
        if (agent != job.owner && agent != "root") {
            answer += "vexlolpd: job " + std::to_string(job.number) + " belongs to " + printable(job.owner) +
                      ", not removed\n";
            continue;
        }
        for (const std::string &name : spool_.remove(queue, job))
            answer += name + " dequeued\n";
    }
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        if (!matched[i])
            answer += "vexlolpd: " + printable(wanted[i]) + ": no such job\n";
    }
    log("remove jobs from %s by %s: %s", std::string(args[0]).c_str(), agent.c_str(), answer.c_str());
    wire_.send(answer);
}

} // namespace

void serve_connection(int fd, const Spool &spool, const Runtime &rt, unsigned long id)
{
    Session(fd, spool, rt, id).run();
}

} // namespace lpd
