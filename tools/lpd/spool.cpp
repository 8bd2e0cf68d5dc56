// spool.cpp - queue directories, job listing and removal, and the private directory in
// which a connection's files wait until the job is complete.
#include "lpd/spool.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace lpd {

namespace {

constexpr std::size_t kMaxFilesPerConnection = 1000;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool fail(std::string &why, const std::string &what)
{
    why = what + ": " + std::strerror(errno);
    return false;
}

std::vector<std::string> entries(int dir)
{
    std::vector<std::string> names;
    // A fresh descriptor: readdir on a duplicate would share and move the original's offset.
    int fd = openat(dir, ".", kDirFlags);
    DIR *stream = fd < 0 ? nullptr : fdopendir(fd);
    if (!stream) {
        if (fd >= 0)
            close(fd);
        return names;
    }
    while (const dirent *entry = readdir(stream)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    closedir(stream);
    return names;
}

bool read_control(int dir, const std::string &name, std::string &text, struct stat &st)
{
    int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<std::uint64_t>(st.st_size) <= kMaxControlBytes;
    text.resize(ok ? static_cast<std::size_t>(st.st_size) : 0);
    std::size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = read(fd, &text[done], text.size() - done);
        ok = n > 0 || (n < 0 && errno == EINTR);
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    close(fd);
    return ok;
}

std::uint64_t file_size(int dir, const std::string &name)
{
    struct stat st;
    if (fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool earlier(const timespec &a, const timespec &b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_nsec < b.tv_nsec;
}

} // namespace

Spool::~Spool()
{
    for (const auto &queue : queues_)
        close(queue.second);
    if (root_ >= 0)
        close(root_);
}

bool Spool::open(const std::string &dir, const std::vector<std::string> &queues, std::string &why)
{
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return fail(why, "cannot create " + dir);
    // The spool itself may be reached through a link the user chose; nothing below it is.
    root_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ < 0)
        return fail(why, "cannot open " + dir);
    for (const std::string &queue : queues) {
        if (queues_.count(queue))
            continue;
        if (mkdirat(root_, queue.c_str(), 0755) != 0 && errno != EEXIST)
            return fail(why, "cannot create " + dir + "/" + queue);
        int fd = openat(root_, queue.c_str(), kDirFlags);
        if (fd < 0)
            return fail(why, "cannot open " + dir + "/" + queue + " as a directory");
        queues_.emplace(queue, fd);
    }
    return true;
}

int Spool::queue_dir(std::string_view queue) const
{
    auto found = queues_.find(queue);
    return found == queues_.end() ? -1 : found->second;
}

std::vector<Job> Spool::jobs(int queue) const
{
    std::vector<std::pair<timespec, Job>> found;
    for (const std::string &name : entries(queue)) {
        std::string text, why;
        struct stat st;
        if (!valid_file_name(name, FileKind::control) || !read_control(queue, name, text, st))
            continue;
        std::optional<ControlInfo> info = parse_control(text, why);
        if (!info)
            continue;
        Job job = make_job(name, *info);
        for (DataFile &file : job.files)
            file.size = file_size(queue, file.name);
        // Queue order is the order in which control files were written; jobs written
        // within one clock tick fall back to name order.
        found.emplace_back(st.st_mtim, std::move(job));
    }
    std::sort(found.begin(), found.end(), [](const auto &a, const auto &b) {
        if (earlier(a.first, b.first) || earlier(b.first, a.first))
            return earlier(a.first, b.first);
        return a.second.control < b.second.control;
    });
    std::vector<Job> jobs;
    for (auto &entry : found)
        jobs.push_back(std::move(entry.second));
    return jobs;
}

bool Spool::number_in_use(int queue, int number) const
{
    for (const std::string &name : entries(queue)) {
        bool spool_name = valid_file_name(name, FileKind::control) || valid_file_name(name, FileKind::data);
        if (spool_name && job_number(name) == number)
            return true;
    }
    return false;
}

std::vector<std::string> Spool::remove(int queue, const Job &job) const
{
    std::vector<std::string> removed;
    for (const DataFile &file : job.files) {
        if (unlinkat(queue, file.name.c_str(), 0) == 0)
            removed.push_back(file.name);
    }
    if (unlinkat(queue, job.control.c_str(), 0) == 0)
        removed.push_back(job.control);
    return removed;
}

Incoming::Incoming(const Spool &spool, int queue) : spool_(spool), queue_(queue) {}

Incoming::~Incoming() { discard(); }

bool Incoming::make_dir()
{
    static unsigned long sequence = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Queue names never start with '.', so this cannot meet a queue.
        std::string name = ".incoming-" + std::to_string(getpid()) + "-" + std::to_string(++sequence);
        if (mkdirat(spool_.root(), name.c_str(), 0700) == 0) {
            dir_ = openat(spool_.root(), name.c_str(), kDirFlags);
            if (dir_ < 0) {
                unlinkat(spool_.root(), name.c_str(), AT_REMOVEDIR);
                return false;
            }
            dir_name_ = name;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

std::string Incoming::check_new(const std::string &name, FileKind kind) const
{
    int number = job_number(name);
    std::string job = "job number " + name.substr(3, 3);
    if (created_.size() >= kMaxFilesPerConnection)
        return "too many files in one connection";
    if (std::find(created_.begin(), created_.end(), name) != created_.end())
        return name + " was already sent in this connection";
    if (kind == FileKind::control) {
        for (const auto &control : controls_) {
            if (job_number(control.first) == number)
                return job + " is already used in this connection";
        }
    }
    // Refused rather than replaced: a second job with a number already queued would
    // silently destroy the first one.
    if (spool_.number_in_use(queue_, number))
        return job + " is already in the queue";
    return {};
}

int Incoming::create_data(const std::string &name)
{
    if (dir_ < 0 && !make_dir())
        return -1;
    int fd = openat(dir_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0)
        created_.push_back(name);
    return fd;
}

void Incoming::keep_data(const std::string &name) { data_.push_back(name); }

bool Incoming::store_control(const std::string &name, std::string_view text, const ControlInfo &info)
{
    int fd = create_data(name);
    if (fd < 0)
        return false;
    bool written = write_all(fd, text);
    if (close(fd) != 0 || !written)
        return false;
    controls_.emplace_back(name, info);
    return true;
}

void Incoming::discard()
{
    if (dir_ < 0)
        return;
    for (const std::string &name : created_)
        unlinkat(dir_, name.c_str(), 0);
    close(dir_);
    unlinkat(spool_.root(), dir_name_.c_str(), AT_REMOVEDIR);
    dir_ = -1;
    created_.clear();
    data_.clear();
    controls_.clear();
}

// Links rather than renames: a link never replaces an existing entry, and the private
// copies go with the directory afterwards.
bool Incoming::publish(const std::string &control, const ControlInfo &info)
{
    std::vector<std::string> linked;
    auto link = [&](const std::string &name) {
        if (linkat(dir_, name.c_str(), queue_, name.c_str(), 0) != 0)
            return false;
        linked.push_back(name);
        return true;
    };
    // Data files first, so that a control file in the queue always finds its data.
    bool ok = std::all_of(info.data_files.begin(), info.data_files.end(), link) && link(control);
    if (!ok) {
        int error = errno;
        for (const std::string &name : linked)
            unlinkat(queue_, name.c_str(), 0);
        errno = error;
    }
    return ok;
}

Incoming::Outcome Incoming::commit()
{
    Outcome outcome;
    std::vector<std::string> used;
    auto arrived = [&](const std::string &name) {
        return std::find(data_.begin(), data_.end(), name) != data_.end();
    };
    for (const auto &[control, info] : controls_) {
        auto missing = std::find_if_not(info.data_files.begin(), info.data_files.end(), arrived);
        if (missing != info.data_files.end()) {
            outcome.dropped.push_back(control + ": " + *missing + " never arrived");
        } else if (!publish(control, info)) {
            outcome.dropped.push_back(control + ": cannot move into the queue: " + std::strerror(errno));
        } else {
            outcome.queued.push_back(control);
            used.insert(used.end(), info.data_files.begin(), info.data_files.end());
        }
    }
    for (const std::string &name : data_) {
        if (std::find(used.begin(), used.end(), name) == used.end())
            outcome.dropped.push_back(name + ": not part of a complete job");
    }
    discard();
    return outcome;
}

} // namespace lpd
