// spool.h - the loopback LPD server's spool directory: one subdirectory per queue with
// finished jobs under their protocol names, and one ".incoming-*" directory per
// receiving connection.  Everything is reached through directory descriptors and no
// symbolic link is followed below the spool, so nothing lands outside it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "lpd/protocol.h"

namespace lpd {

class Spool {
public:
    Spool() = default;
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    // Creates `dir` (not its parents) and one directory per queue where missing.
    // false, with the reason in `why`, when any of that fails.
    bool open(const std::string &dir, const std::vector<std::string> &queues, std::string &why);

    int root() const { return root_; }
    // Directory descriptor of a served queue, -1 for any other name.
    int queue_dir(std::string_view queue) const;
    // The queue's jobs, oldest control file first.  Control files that cannot be read
    // or parsed are left out.
    std::vector<Job> jobs(int queue) const;
    // Whether a control or data file in the queue carries this job number.
    bool number_in_use(int queue, int number) const;
    // Deletes the job's data files, then its control file; the names deleted, in order.
    std::vector<std::string> remove(int queue, const Job &job) const;

private:
    int root_ = -1;
    std::map<std::string, int, std::less<>> queues_;
};

// The files of one receive-job connection.  They wait in a private directory inside
// the spool; commit() moves each complete job into its queue, and whatever is left
// when the object ends is deleted.
class Incoming {
public:
    Incoming(const Spool &spool, int queue);
    ~Incoming();
    Incoming(const Incoming &) = delete;
    Incoming &operator=(const Incoming &) = delete;

    // Why a file of this (valid) name cannot be taken; empty when it can.
    std::string check_new(const std::string &name, FileKind kind) const;
    // Opens a new file for a data file's octets; -1 on failure.  The file counts as
    // received only after keep_data().
    int create_data(const std::string &name);
    void keep_data(const std::string &name);
    // Writes and keeps a control file; false when it cannot be written.
    bool store_control(const std::string &name, std::string_view text, const ControlInfo &info);
    // Deletes everything received so far.
    void discard();

    struct Outcome {
        std::vector<std::string> queued;  // control file names
        std::vector<std::string> dropped; // what was thrown away, and why
    };
    // Moves each control file whose data files all arrived, with them, into the queue,
    // and discards the rest.
    Outcome commit();

private:
    bool make_dir();
    bool publish(const std::string &control, const ControlInfo &info);

    const Spool &spool_;
    int queue_;
    int dir_ = -1;
    std::string dir_name_;
    std::vector<std::string> created_; // every file in dir_, kept or not
    std::vector<std::string> data_;
    std::vector<std::pair<std::string, ControlInfo>> controls_;
};

} // namespace lpd
