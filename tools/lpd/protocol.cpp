// protocol.cpp - names, counts, control files and listings of the loopback LPD server.
#include "lpd/protocol.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace lpd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Visible ASCII only (bytes above 0x7f are negative chars here and fail the first test),
// and neither system's path separator: every name ends up as a directory entry.
bool is_name_char(char c) { return c > ' ' && c < '\x7f' && c != '/' && c != '\\'; }

bool all_digits(std::string_view text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

bool valid_entry_name(std::string_view name)
{
    return !name.empty() && name.size() <= kMaxNameLength && name[0] != '.' &&
           std::all_of(name.begin(), name.end(), is_name_char);
}

// Control-file commands that print a data file, one per output format.
bool is_print_command(char c) { return std::string_view("cdfgklnoprtv").find(c) != std::string_view::npos; }

std::string padded(std::string text, std::size_t width)
{
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text + ' ';
}

std::uint64_t total_size(const Job &job)
{
    std::uint64_t total = 0;
    for (const DataFile &file : job.files)
        total += file.size;
    return total;
}

std::string file_titles(const Job &job)
{
    std::string titles;
    for (const DataFile &file : job.files)
        titles += (titles.empty() ? "" : ", ") + printable(file.title);
    return titles;
}

bool selected(const Job &job, const std::vector<std::string_view> &wanted)
{
    return wanted.empty() ||
           std::any_of(wanted.begin(), wanted.end(), [&](std::string_view w) { return job_matches(job, w); });
}

} // namespace

std::vector<std::string_view> split_operands(std::string_view text)
{
    std::vector<std::string_view> operands;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_blank(text[i]))
            ++i;
        std::size_t start = i;
        while (i < text.size() && !is_blank(text[i]))
            ++i;
        if (i > start)
            operands.push_back(text.substr(start, i - start));
    }
    return operands;
}

bool valid_queue_name(std::string_view name) { return valid_entry_name(name); }

bool valid_file_name(std::string_view name, FileKind kind)
{
    if (name.size() < 7 || name.size() > kMaxNameLength)
        return false;
    // Data files of one job are told apart by the third letter (dfA, dfB, ...); the
    // control file is always the A one.
    bool prefix = kind == FileKind::control ? name.substr(0, 3) == "cfA"
                                            : name.substr(0, 2) == "df" && is_letter(name[2]);
    return prefix && all_digits(name.substr(3, 3)) && valid_entry_name(name.substr(6));
}

int job_number(std::string_view file_name)
{
    return (file_name[3] - '0') * 100 + (file_name[4] - '0') * 10 + (file_name[5] - '0');
}

// A count of 0 is an empty file.  Some clients use 0 for "until the connection ends";
// such a sender's octets do not fit where the zero octet belongs, and it meets a
// refusal rather than a silently emptied file.
std::optional<std::uint64_t> parse_count(std::string_view text, std::uint64_t limit)
{
    if (!all_digits(text))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (value > (std::numeric_limits<std::uint64_t>::max() - 9) / 10)
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit)
            return std::nullopt;
    }
    return value;
}

std::optional<ControlInfo> parse_control(std::string_view text, std::string &why)
{
    if (text.empty() || text.back() != '\n') {
        why = "control file does not end with a line feed";
        return std::nullopt;
    }
    ControlInfo info;
    for (std::size_t number = 1; !text.empty(); ++number) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        if (line.empty()) {
            why = "control file line " + std::to_string(number) + " is empty";
            return std::nullopt;
        }
        std::string operand(line.substr(1));
        char command = line[0];
        if (command == 'H') {
            info.host = operand;
        } else if (command == 'P') {
            info.owner = operand;
        } else if (command == 'N') {
            info.titles.push_back(operand);
        } else if (is_print_command(command) || command == 'U') {
            // The name decides which received file completes the job, so a name that
            // could never arrive (or points elsewhere) is refused up front.
            if (!valid_file_name(operand, FileKind::data)) {
                why = "control file line " + std::to_string(number) + " names no valid data file";
                return std::nullopt;
            }
            auto &files = info.data_files;
            if (std::find(files.begin(), files.end(), operand) == files.end())
                files.push_back(operand);
        }
    }
    if (info.host.empty())
        why = "control file has no H line";
    else if (info.owner.empty())
        why = "control file has no P line";
    else if (info.data_files.empty())
        why = "control file names no data file";
    else
        return info;
    return std::nullopt;
}

Job make_job(const std::string &control_name, const ControlInfo &info)
{
    Job job;
    job.control = control_name;
    job.number = job_number(control_name);
    job.owner = info.owner;
    job.host = info.host;
    // Clients write one N line per file printed, so the i-th title belongs to the i-th
    // data file whichever side of the print line they put it.
    for (std::size_t i = 0; i < info.data_files.size(); ++i) {
        const std::string &name = info.data_files[i];
        job.files.push_back({name, i < info.titles.size() ? info.titles[i] : name, 0});
    }
    return job;
}

bool job_matches(const Job &job, std::string_view operand)
{
    if (!all_digits(operand))
        return operand == job.owner;
    return operand.size() <= 9 && std::stoi(std::string(operand)) == job.number;
}

std::string ordinal(std::size_t rank)
{
    const char *suffix = "th";
    if (rank % 100 < 11 || rank % 100 > 13) {
        switch (rank % 10) {
        case 1: suffix = "st"; break;
        case 2: suffix = "nd"; break;
        case 3: suffix = "rd"; break;
        default: break;
        }
    }
    return std::to_string(rank) + suffix;
}

std::string printable(std::string_view text)
{
    std::string out(text);
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f')
            c = '?';
    }
    return out;
}

// Columns after BSD lpq; a value wider than its column pushes the rest right rather
// than being cut.
std::string format_short(const std::vector<Job> &queue, const std::vector<std::string_view> &wanted)
{
    std::string out;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const Job &job = queue[i];
        if (!selected(job, wanted))
            continue;
        if (out.empty())
            out = padded("Rank", 6) + padded("Owner", 10) + padded("Job", 4) + padded("Files", 37) +
                  "Total Size\n";
        out += padded(ordinal(i + 1), 6) + padded(printable(job.owner), 10) +
               padded(std::to_string(job.number), 4) + padded(file_titles(job), 37) +
               std::to_string(total_size(job)) + " bytes\n";
    }
    return out.empty() ? "no entries\n" : out;
}

std::string format_long(const std::vector<Job> &queue, const std::vector<std::string_view> &wanted)
{
    std::string out;
    for (std::size_t i = 0; i < queue.size(); ++i) {
        const Job &job = queue[i];
        if (!selected(job, wanted))
            continue;
        char number[8];
        std::snprintf(number, sizeof number, "%03d", job.number);
        out += (out.empty() ? "" : "\n") + padded(printable(job.owner) + ": " + ordinal(i + 1), 39) +
               "[job " + number + printable(job.host) + "]\n";
        for (const DataFile &file : job.files)
            out += "        " + padded(printable(file.title), 31) + std::to_string(file.size) + " bytes\n";
    }
    return out.empty() ? "no entries\n" : out;
}

} // namespace lpd
