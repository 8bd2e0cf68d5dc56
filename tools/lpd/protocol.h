// protocol.h - the pure half of the loopback LPD server: names, counts, control files
// and queue listings as this server speaks them.  No I/O, so the tests use it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lpd {

// Command and subcommand octets, and the two one-octet answers.
constexpr char kPrintWaiting = '\x01';
constexpr char kReceiveJob = '\x02';
constexpr char kSendShort = '\x03';
constexpr char kSendLong = '\x04';
constexpr char kRemoveJobs = '\x05';
constexpr char kAbortJob = '\x01';
constexpr char kReceiveControl = '\x02';
constexpr char kReceiveData = '\x03';
constexpr char kAck = '\x00';
constexpr char kRefuse = '\x01';

constexpr std::size_t kMaxLine = 4096;                          // command line, LF excluded
constexpr std::uint64_t kMaxControlBytes = 1u << 20;            // 1 MiB
constexpr std::uint64_t kMaxDataBytes = std::uint64_t{8} << 30; // 8 GiB
constexpr std::size_t kMaxNameLength = 255;                     // one directory entry

enum class FileKind { control, data };

// The operands of a command line, split at runs of spaces and tabs.
std::vector<std::string_view> split_operands(std::string_view text);

// A name usable as one directory entry: 1..255 visible ASCII characters, no '/' or
// '\\', not starting with '.'.
bool valid_queue_name(std::string_view name);

// Control: "cfA" + three digits + host.  Data: "df" + one letter + three digits + host.
// Host: visible ASCII without '/' or '\\', not starting with '.'.  At most 255 in all.
bool valid_file_name(std::string_view name, FileKind kind);

// The three-digit job number of a name that passed valid_file_name.
int job_number(std::string_view file_name);

// A plain decimal count not above `limit`; nothing for signs, blanks, other characters
// or larger values.
std::optional<std::uint64_t> parse_count(std::string_view text, std::uint64_t limit);

// What the server needs from a control file.
struct ControlInfo {
    std::string host;                    // H line
    std::string owner;                   // P line
    std::vector<std::string> data_files; // named by print or U lines, first mention first
    std::vector<std::string> titles;     // N lines, in order
};

// Nothing, with the reason in `why`, unless the text is LF-terminated lines with an H
// and a P line, at least one data file named, and every named data file a valid name.
std::optional<ControlInfo> parse_control(std::string_view text, std::string &why);

struct DataFile {
    std::string name;
    std::string title; // the matching N line, or the name when there is none
    std::uint64_t size = 0;
};

struct Job {
    std::string control; // control file name
    int number = 0;
    std::string owner;
    std::string host;
    std::vector<DataFile> files;
};

// A job from its control file; data file sizes are left at 0 for the caller.
Job make_job(const std::string &control_name, const ControlInfo &info);

// An operand of a listing or removal: all digits names a job number, anything else an owner.
bool job_matches(const Job &job, std::string_view operand);

// 1st, 2nd, 3rd, 4th, ..., 11th, 12th, 13th, 21st, ...
std::string ordinal(std::size_t rank);

// Control characters replaced by '?', for listings and log lines.
std::string printable(std::string_view text);

// Listings of a whole queue (ranks count every job), restricted to the jobs that match
// one of `wanted` when it is not empty; "no entries\n" when nothing is left.
std::string format_short(const std::vector<Job> &queue, const std::vector<std::string_view> &wanted);
std::string format_long(const std::vector<Job> &queue, const std::vector<std::string_view> &wanted);

} // namespace lpd
