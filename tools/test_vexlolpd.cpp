// test_vexlolpd.cpp - the loopback LPD server, started as a child process on a port the
// system chooses and driven over 127.0.0.1 with plain sockets; plus its listing helpers.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lpd/protocol.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::set<std::string>;

constexpr int kReplySeconds = 10;
const std::string kHost = "workstation";

// ---------------------------------------------------------------------------------
// The server process

// The server as a child process; stopped with SIGTERM and reaped at the latest when
// this object ends.
class Child {
public:
    explicit Child(const std::vector<std::string> &args)
    {
        std::vector<char *> argv{const_cast<char *>(VEXLOLPD_PATH)};
        for (const std::string &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, VEXLOLPD_PATH, nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
    }
    ~Child() { stop(); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool running() const { return pid_ > 0 && !reaped_; }

    // The wait status once the child has ended within `limit`, else -1.
    int wait_exit(std::chrono::milliseconds limit)
    {
        for (auto end = std::chrono::steady_clock::now() + limit; running();) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_)
                reaped_ = true;
            else if (std::chrono::steady_clock::now() >= end)
                return -1;
            else
                std::this_thread::sleep_for(10ms);
        }
        return pid_ > 0 ? status_ : -1;
    }

    // SIGTERM, then SIGKILL if it is still there after 10 s; the wait status.
    int stop()
    {
        if (running()) {
            kill(pid_, SIGTERM);
            if (wait_exit(10s) == -1) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status_, 0);
                reaped_ = true;
            }
        }
        return status_;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = -1;
};

bool exited_with(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

Names entries(const fs::path &dir)
{
    Names names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(dir, error))
        names.insert(entry.path().filename().string());
    return names;
}

std::string file_text(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch directory: ROOT/area/spool for the spool (so ROOT/area shows anything
// written beside it), ROOT/run for the port file.
class Scratch {
public:
    Scratch()
    {
        std::string pattern = (fs::path(testing::TempDir()) / "vexlolpd-XXXXXX").string();
        if (mkdtemp(pattern.data()))
            root_ = pattern;
        fs::create_directories(area());
        fs::create_directories(root_ / "run");
    }
    ~Scratch()
    {
        std::error_code error;
        fs::remove_all(root_, error);
    }
    fs::path area() const { return root_ / "area"; }
    fs::path spool() const { return area() / "spool"; }
    fs::path port_file() const { return root_ / "run" / "port"; }

private:
    fs::path root_;
};

// The port from the port file once the server has written it; 0 if the server ended
// or took longer than 10 s.
unsigned short wait_for_port(Child &child, const fs::path &port_file)
{
    for (int attempt = 0; attempt < 500 && child.wait_exit(0ms) == -1; ++attempt) {
        std::ifstream in(port_file);
        std::string line;
        if (std::getline(in, line) && in.good() && !line.empty())
            return static_cast<unsigned short>(std::stoul(line));
        std::this_thread::sleep_for(20ms);
    }
    return 0;
}

// ---------------------------------------------------------------------------------
// A client connection with bounded waits

class Client {
public:
    explicit Client(unsigned short port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{kReplySeconds, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "cannot connect to port " << port;
            close_now();
        }
    }
    ~Client() { close_now(); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    void send(std::string_view data)
    {
        while (fd_ >= 0 && !data.empty()) {
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "send failed with " << data.size() << " octets left";
                return;
            }
            data.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // The next octet; -1 at the end of the connection, -2 when none came in time.
    int reply()
    {
        unsigned char octet = 0;
        ssize_t n = fd_ < 0 ? 0 : recv(fd_, &octet, 1, 0);
        return n == 1 ? octet : n == 0 ? -1 : -2;
    }

    // Everything up to the end of the connection.
    std::string rest()
    {
        std::string text;
        char buffer[4096];
        for (ssize_t n; fd_ >= 0 && (n = recv(fd_, buffer, sizeof buffer, 0)) != 0;) {
            if (n < 0) {
                ADD_FAILURE() << "no end of connection within " << kReplySeconds << " s";
                break;
            }
            text.append(buffer, static_cast<std::size_t>(n));
        }
        return text;
    }

    void end_sending()
    {
        if (fd_ >= 0)
            shutdown(fd_, SHUT_WR);
    }

    // Whether the server ends the connection in time, whatever it sends before; a reset
    // counts as an end.
    bool ends()
    {
        char buffer[4096];
        ssize_t n = 1;
        while (fd_ >= 0 && n > 0)
            n = recv(fd_, buffer, sizeof buffer, 0);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    void close_now()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------------------------
// Jobs

struct TestJob {
    std::string control_name;
    std::string control;
    std::string data_name;
    std::string data;
};

std::string number3(int number)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03d", number);
    return text;
}

TestJob make_job(int number, const std::string &owner, const std::string &title, std::string data)
{
    TestJob job;
    job.control_name = "cfA" + number3(number) + kHost;
    job.data_name = "dfA" + number3(number) + kHost;
    job.control = "H" + kHost + "\nP" + owner + "\nJ" + title + "\nl" + job.data_name + "\nU" +
                  job.data_name + "\nN" + title + "\n";
    job.data = std::move(data);
    return job;
}

// Octets of every value, line feeds and zeros included, the same on every run.
std::string binary_data(std::size_t size)
{
    std::mt19937 generator(1179);
    std::string data(size, '\0');
    for (char &c : data)
        c = static_cast<char>(generator() & 0xff);
    return data;
}

// Receive-job subcommand lines.
std::string data_line(const std::string &operands) { return "\x03" + operands + "\n"; }
std::string control_line(const std::string &operands) { return "\x02" + operands + "\n"; }

testing::AssertionResult expect_octet(Client &client, int want, const std::string &step)
{
    int got = client.reply();
    if (got == want)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << step << ": answer " << got << ", expected " << want;
}

testing::AssertionResult open_job(Client &client, const std::string &queue = "lp")
{
    client.send("\x02" + queue + "\n");
    return expect_octet(client, 0, "receive job " + queue);
}

// 02 (control) or 03 (data) subcommand with its octets and the closing zero.
testing::AssertionResult send_file(Client &client, char sub, const std::string &name,
                                   const std::string &content)
{
    client.send(std::string(1, sub) + std::to_string(content.size()) + " " + name + "\n");
    testing::AssertionResult accepted = expect_octet(client, 0, "subcommand for " + name);
    if (!accepted)
        return accepted;
    client.send(content);
    client.send(std::string(1, '\0'));
    return expect_octet(client, 0, "octets of " + name);
}

testing::AssertionResult send_job(Client &client, const TestJob &job, bool data_first = true)
{
    if (data_first) {
        auto result = send_file(client, '\x03', job.data_name, job.data);
        return result ? send_file(client, '\x02', job.control_name, job.control) : result;
    }
    auto result = send_file(client, '\x02', job.control_name, job.control);
    return result ? send_file(client, '\x03', job.data_name, job.data) : result;
}

// ---------------------------------------------------------------------------------
// A running server with the queues "lp" and "draft"

class Lpd : public testing::Test {
protected:
    void SetUp() override
    {
        server_ = std::make_unique<Child>(std::vector<std::string>{
            "--spool", scratch_.spool().string(), "--port", "0", "--port-file", scratch_.port_file().string(),
            "--queue", "lp", "--queue", "draft", "--deadline", "60", "--verbose"});
        port_ = wait_for_port(*server_, scratch_.port_file());
        ASSERT_NE(port_, 0) << "the server did not start";
    }

    void TearDown() override
    {
        EXPECT_TRUE(exited_with(server_->stop(), 0)) << "the server did not end cleanly on SIGTERM";
    }

    std::string request(const std::string &line)
    {
        Client client(port_);
        client.send(line);
        return client.rest();
    }
    std::string listing(const std::string &queue, const std::string &operands = "")
    {
        return request("\x03" + queue + (operands.empty() ? "" : " " + operands) + "\n");
    }
    std::string remove(const std::string &queue, const std::string &agent, const std::string &operands)
    {
        return request("\x05" + queue + " " + agent + " " + operands + "\n");
    }

    void land(const TestJob &job)
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, job));
    }

    // The files in a queue once the server has finished every earlier connection: it
    // serves one at a time, so answering a listing proves the others are done.
    Names spooled(const std::string &queue = "lp")
    {
        listing(queue);
        return entries(scratch_.spool() / queue);
    }

    // Nothing besides the queue directories in the spool, nothing besides the spool next to it.
    void expect_no_strays()
    {
        listing("lp");
        EXPECT_EQ(entries(scratch_.spool()), (Names{"draft", "lp"}));
        EXPECT_EQ(entries(scratch_.area()), Names{"spool"});
    }

    Scratch scratch_;
    std::unique_ptr<Child> server_;
    unsigned short port_ = 0;
};

// ---------------------------------------------------------------------------------
// Receiving jobs

struct Delivery {
    bool data_first;
    std::size_t size;
};

void PrintTo(const Delivery &delivery, std::ostream *out)
{
    *out << (delivery.data_first ? "data first, " : "control first, ") << delivery.size << " octets";
}

class JobArrives : public Lpd, public testing::WithParamInterface<Delivery> {};

TEST_P(JobArrives, ByteForByteUnderItsNames)
{
    TestJob job = make_job(42, "alice", "report.txt", binary_data(GetParam().size));
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, job, GetParam().data_first));
    }
    EXPECT_EQ(spooled(), (Names{job.control_name, job.data_name}));
    EXPECT_TRUE(file_text(scratch_.spool() / "lp" / job.data_name) == job.data) << "data file differs";
    EXPECT_EQ(file_text(scratch_.spool() / "lp" / job.control_name), job.control);
    EXPECT_EQ(spooled("draft"), Names{});
    expect_no_strays();
}

INSTANTIATE_TEST_SUITE_P(Orders, JobArrives,
                         testing::Values(Delivery{true, 1234}, Delivery{false, 1234}, Delivery{true, 0},
                                         Delivery{false, 3 << 20}, Delivery{true, 3 << 20}),
                         [](const testing::TestParamInfo<Delivery> &info) {
                             return std::string(info.param.data_first ? "DataFirst" : "ControlFirst") +
                                    std::to_string(info.param.size);
                         });

// Runs of zero octets are stored as holes; the file reads the same, a zero run at the
// end included, and a file of nothing but zeros takes no disk blocks.
TEST_F(Lpd, ZeroRunsAreStoredAsHolesAndReadTheSame)
{
    std::string zeros(4 << 20, '\0');
    std::string mixed = binary_data(70000) + std::string(1 << 20, '\0') + "middle" + std::string(300000, '\0');
    TestJob sparse = make_job(11, "alice", "zeros.bin", zeros);
    TestJob both = make_job(12, "alice", "mixed.bin", mixed);
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, sparse));
        ASSERT_TRUE(send_job(client, both, false));
    }
    // Connections are served in turn: once a listing is answered, both jobs are in.
    EXPECT_EQ(spooled(), (Names{sparse.control_name, sparse.data_name, both.control_name, both.data_name}));
    std::filesystem::path zpath = scratch_.spool() / "lp" / sparse.data_name;
    std::filesystem::path mpath = scratch_.spool() / "lp" / both.data_name;
    EXPECT_TRUE(file_text(zpath) == zeros) << "all-zero file differs";
    EXPECT_TRUE(file_text(mpath) == mixed) << "mixed file differs";
    EXPECT_EQ(std::filesystem::file_size(mpath), mixed.size());
    struct stat st;
    ASSERT_EQ(stat(zpath.c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "4 MiB of zeros took " << st.st_blocks * 512 << " bytes of disk";
}

TEST_F(Lpd, TwoDataFilesAndTwoJobsInOneConnection)
{
    TestJob first = make_job(7, "alice", "a.txt", "first\n");
    first.control += "ldfB007" + kHost + "\nNb.txt\n";
    TestJob second = make_job(8, "bob", "c.txt", "third\n");
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_file(client, '\x03', "dfB007" + kHost, "second\n"));
        ASSERT_TRUE(send_job(client, first));
        ASSERT_TRUE(send_job(client, second, false));
    }
    EXPECT_EQ(spooled(), (Names{first.control_name, first.data_name, "dfB007" + kHost, second.control_name,
                                second.data_name}));
    EXPECT_EQ(file_text(scratch_.spool() / "lp" / ("dfB007" + kHost)), "second\n");
}

TEST_F(Lpd, AbortDiscardsTheJobAndTheConnectionGoesOn)
{
    TestJob dropped = make_job(42, "alice", "draft.txt", "not wanted");
    TestJob kept = make_job(43, "alice", "final.txt", "wanted");
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, dropped));
        client.send("\x01\n");
        ASSERT_TRUE(send_job(client, kept));
    }
    EXPECT_EQ(spooled(), (Names{kept.control_name, kept.data_name}));
    expect_no_strays();
}

TEST_F(Lpd, AbortAloneLeavesNothing)
{
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, make_job(42, "alice", "draft.txt", "not wanted")));
        client.send("\x01\n");
    }
    EXPECT_EQ(spooled(), Names{});
    expect_no_strays();
}

struct Cut {
    const char *name;
    std::function<void(Client &, const TestJob &)> script;
};

void PrintTo(const Cut &cut, std::ostream *out) { *out << cut.name; }

class IncompleteJob : public Lpd, public testing::WithParamInterface<Cut> {};

TEST_P(IncompleteJob, LeavesNothingWhenTheConnectionEnds)
{
    TestJob job = make_job(42, "alice", "report.txt", binary_data(5000));
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        GetParam().script(client, job);
    }
    EXPECT_EQ(spooled(), Names{});
    expect_no_strays();
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, IncompleteJob,
    testing::Values(Cut{"ControlFileOnly",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x02', job.control_name, job.control));
                        }},
                    Cut{"DataFileOnly",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x03', job.data_name, job.data));
                        }},
                    Cut{"SecondDataFileMissing",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x02', job.control_name,
                                                  job.control + "ldfB042" + kHost + "\n"));
                            EXPECT_TRUE(send_file(c, '\x03', job.data_name, job.data));
                        }},
                    Cut{"DataCutShort",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x02', job.control_name, job.control));
                            c.send("\x03" + std::to_string(job.data.size()) + " " + job.data_name + "\n");
                            EXPECT_TRUE(expect_octet(c, 0, "data subcommand"));
                            c.send(job.data.substr(0, job.data.size() / 2));
                        }},
                    Cut{"ZeroOctetMissingAtTheEnd",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x02', job.control_name, job.control));
                            c.send("\x03" + std::to_string(job.data.size()) + " " + job.data_name + "\n");
                            EXPECT_TRUE(expect_octet(c, 0, "data subcommand"));
                            c.send(job.data);
                        }},
                    Cut{"SubcommandLineCutShort",
                        [](Client &c, const TestJob &job) {
                            EXPECT_TRUE(send_file(c, '\x02', job.control_name, job.control));
                            c.send("\x03" + std::to_string(job.data.size()) + " dfA04");
                        }}),
    [](const testing::TestParamInfo<Cut> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------
// Refusals

class RefusedRequest : public Lpd, public testing::WithParamInterface<std::string> {};

TEST_P(RefusedRequest, GetsTheRefusalOctetAndTheEnd)
{
    Client client(port_);
    client.send(GetParam());
    EXPECT_EQ(client.reply(), 1);
    EXPECT_EQ(client.rest(), "");
    client.close_now();
    expect_no_strays();
}

INSTANTIATE_TEST_SUITE_P(Lines, RefusedRequest,
                         testing::Values(std::string("\x02nosuch\n"), std::string("\x02\n"),
                                         std::string("\x02lp draft\n"), std::string("\x02../lp\n"),
                                         std::string("\x07lp\n"), std::string("\x00lp\n", 4),
                                         "\x02" + std::string(5000, 'a')));

class BadSubcommand : public Lpd, public testing::WithParamInterface<std::string> {};

TEST_P(BadSubcommand, IsRefusedAndWritesNothing)
{
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        client.send(GetParam());
        EXPECT_EQ(client.reply(), 1);
        EXPECT_EQ(client.rest(), "");
    }
    EXPECT_EQ(spooled(), Names{});
    expect_no_strays();
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadSubcommand,
    testing::Values(data_line("abc dfA001host"), data_line("-5 dfA001host"), data_line("+5 dfA001host"),
                    data_line(" dfA001host"), data_line("99999999999999999999999 dfA001host"),
                    data_line("8589934593 dfA001host"), // 8 GiB + 1
                    control_line("1048577 cfA001host"), // 1 MiB + 1
                    data_line("10 dfA001../../escape"), data_line("10 dfA001a/b"), data_line("10 dfA001a\\b"),
                    data_line("10 dfA001.hidden"), data_line("10 dfA01host"), data_line("10 dfA001"),
                    data_line("10 cfA001host"), control_line("10 dfA001host"), control_line("10 cfB001host"),
                    data_line("10"), data_line("10 dfA001host extra"), data_line(""), "\x04\n",
                    std::string("\0\n", 2), data_line("10 dfA001" + std::string(250, 'h')),
                    "\x03" + std::string("10 dfA001") + std::string(5000, 'h'))); // no line feed

TEST_F(Lpd, DataFileWithoutTheZeroOctetIsRefused)
{
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        client.send(data_line("5 dfA001host"));
        ASSERT_TRUE(expect_octet(client, 0, "data subcommand"));
        client.send("helloX");
        EXPECT_EQ(client.reply(), 1);
    }
    EXPECT_EQ(spooled(), Names{});
    expect_no_strays();
}

class BadControlFile : public Lpd, public testing::WithParamInterface<std::string> {};

TEST_P(BadControlFile, IsRefusedAfterItsOctets)
{
    std::string name = "cfA001" + kHost;
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_file(client, '\x03', "dfA001" + kHost, "data"));
        client.send("\x02" + std::to_string(GetParam().size()) + " " + name + "\n");
        ASSERT_TRUE(expect_octet(client, 0, "control subcommand"));
        client.send(GetParam() + std::string(1, '\0'));
        EXPECT_EQ(client.reply(), 1);
    }
    EXPECT_EQ(spooled(), Names{});
    expect_no_strays();
}

INSTANTIATE_TEST_SUITE_P(Texts, BadControlFile,
                         testing::Values("Pbob\nldfA001" + kHost + "\n",                   // no H
                                         "H" + kHost + "\nldfA001" + kHost + "\n",         // no P
                                         "H" + kHost + "\nPbob\nJtitle\n",                 // nothing to print
                                         "H" + kHost + "\nPbob\nl../../escape\n",          // a path
                                         "H" + kHost + "\nPbob\nU/etc/passwd\n",           // a path
                                         "H" + kHost + "\n\nPbob\nldfA001" + kHost + "\n", // empty line
                                         "H" + kHost + "\nPbob\nldfA001" + kHost));        // no final LF

TEST_F(Lpd, JobNumberAlreadyQueuedIsRefused)
{
    TestJob first = make_job(42, "alice", "report.txt", "original");
    land(first);
    for (const std::string &line : {data_line("5 dfA042elsewhere"), control_line("5 cfA042elsewhere")}) {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        client.send(line);
        EXPECT_EQ(client.reply(), 1) << line;
    }
    EXPECT_EQ(spooled(), (Names{first.control_name, first.data_name}));
    EXPECT_EQ(file_text(scratch_.spool() / "lp" / first.data_name), "original");
}

TEST_F(Lpd, UnknownQueueGetsATextLine)
{
    EXPECT_EQ(listing("nosuch"), "vexlolpd: unknown printer nosuch\n");
    EXPECT_EQ(request("\x04nosuch\n"), "vexlolpd: unknown printer nosuch\n");
    EXPECT_EQ(remove("nosuch", "alice", "42"), "vexlolpd: unknown printer nosuch\n");
}

TEST_F(Lpd, PrintWaitingJobsAnswersNothing)
{
    EXPECT_EQ(request("\x01lp\n"), "");
    EXPECT_EQ(request("\x01nosuch\n"), "");
}

// Octets near the protocol's own (command octets, digits, blanks, line feeds, name
// pieces) reach deeper than uniform noise.  The client stops sending and the server
// must then end each connection by itself.
TEST_F(Lpd, RandomInputNeverStopsTheServer)
{
    const std::string prefixes[] = {"", "\x02lp\n", "\x02lp\n\x03", "\x02lp\n\x02", "\x03lp ", "\x05lp "};
    const std::string pieces[] = {
        "\x01",    "\x02", "\x03", std::string(1, '\0'), "\n",         " ",   "5", "17", "0", "dfA001h",
        "cfA001h", "/",    ".",    "Palice\n",           "ldfA001h\n", "\xff"};
    std::mt19937 generator(515);
    for (int connection = 0; connection < 300; ++connection) {
        std::string input = prefixes[generator() % std::size(prefixes)];
        for (unsigned n = generator() % 40; n > 0; --n)
            input += pieces[generator() % std::size(pieces)];
        Client client(port_);
        client.send(input);
        client.end_sending();
        ASSERT_TRUE(client.ends()) << "connection " << connection << " was not ended by the server";
    }
    EXPECT_EQ(listing("lp"), "no entries\n");
    expect_no_strays();
}

// ---------------------------------------------------------------------------------
// Listings and removal

const std::string kHeader = "Rank   Owner      Job  Files                                 Total Size\n";

TEST_F(Lpd, ShortListingShowsTheQueueInOrder)
{
    EXPECT_EQ(listing("lp"), "no entries\n");
    land(make_job(42, "alice", "report.txt", std::string(1234, 'x')));
    land(make_job(43, "bob", "notes.txt", "0123456789"));
    std::string alice = "1st    alice      42   report.txt                            1234 bytes\n";
    std::string bob = "2nd    bob        43   notes.txt                             10 bytes\n";
    EXPECT_EQ(listing("lp"), kHeader + alice + bob);
    EXPECT_EQ(listing("lp", "bob"), kHeader + bob);
    EXPECT_EQ(listing("lp", "42"), kHeader + alice);
    EXPECT_EQ(listing("lp", "carol 99"), "no entries\n");
    EXPECT_EQ(listing("draft"), "no entries\n");
}

TEST_F(Lpd, LongListingShowsEachFile)
{
    EXPECT_EQ(request("\x04lp\n"), "no entries\n");
    TestJob job = make_job(42, "alice", "report.txt", std::string(1234, 'x'));
    job.control += "ldfB042" + kHost + "\nNappendix.txt\n";
    {
        Client client(port_);
        ASSERT_TRUE(open_job(client));
        ASSERT_TRUE(send_job(client, job));
        ASSERT_TRUE(send_file(client, '\x03', "dfB042" + kHost, "abc"));
    }
    EXPECT_EQ(request("\x04lp\n"), "alice: 1st                              [job 042workstation]\n"
                                   "        report.txt                      1234 bytes\n"
                                   "        appendix.txt                    3 bytes\n");
}

TEST_F(Lpd, RemovalByNumberTakesOnlyThatJob)
{
    TestJob first = make_job(42, "alice", "report.txt", "one");
    TestJob second = make_job(43, "alice", "notes.txt", "two");
    land(first);
    land(second);
    EXPECT_EQ(remove("lp", "alice", "42"),
              first.data_name + " dequeued\n" + first.control_name + " dequeued\n");
    EXPECT_EQ(listing("lp"),
              kHeader + "1st    alice      43   notes.txt                             3 bytes\n");
    EXPECT_EQ(spooled(), (Names{second.control_name, second.data_name}));
    EXPECT_EQ(remove("lp", "alice", "42"), "vexlolpd: 42: no such job\n");
}

TEST_F(Lpd, RemovalByAnotherAgentIsRefused)
{
    TestJob job = make_job(42, "alice", "report.txt", "one");
    land(job);
    std::string before = listing("lp");
    EXPECT_EQ(remove("lp", "mallory", "42"), "vexlolpd: job 42 belongs to alice, not removed\n");
    EXPECT_EQ(remove("lp", "mallory", "alice"), "vexlolpd: job 42 belongs to alice, not removed\n");
    EXPECT_EQ(listing("lp"), before);
    EXPECT_EQ(spooled(), (Names{job.control_name, job.data_name}));
    EXPECT_EQ(remove("lp", "root", "42"), job.data_name + " dequeued\n" + job.control_name + " dequeued\n");
    EXPECT_EQ(listing("lp"), "no entries\n");
}

TEST_F(Lpd, RemovalByOwnerNameTakesAllTheirJobs)
{
    land(make_job(42, "alice", "a", "1"));
    land(make_job(43, "bob", "b", "2"));
    land(make_job(44, "alice", "c", "3"));
    std::string answer = remove("lp", "alice", "alice");
    EXPECT_NE(answer.find("cfA042" + kHost + " dequeued\n"), std::string::npos) << answer;
    EXPECT_NE(answer.find("cfA044" + kHost + " dequeued\n"), std::string::npos) << answer;
    EXPECT_EQ(answer.find("043"), std::string::npos) << answer;
    EXPECT_EQ(spooled(), (Names{"cfA043" + kHost, "dfA043" + kHost}));
}

// ---------------------------------------------------------------------------------
// Stopping

TEST_F(Lpd, SigtermEndsAJobInProgressAndDiscardsIt)
{
    Client client(port_);
    ASSERT_TRUE(open_job(client));
    client.send(data_line("100 dfA001host"));
    ASSERT_TRUE(expect_octet(client, 0, "data subcommand"));
    client.send("only a part");
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(exited_with(server_->stop(), 0));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the stop waited for the client";
    EXPECT_EQ(entries(scratch_.spool() / "lp"), Names{});
    EXPECT_EQ(entries(scratch_.spool()), (Names{"draft", "lp"}));
}

// Servers with other options, started by the test itself.
class Options : public testing::Test {
protected:
    std::vector<std::string> base()
    {
        return {"--spool",     scratch_.spool().string(),     "--port",     "0",
                "--port-file", scratch_.port_file().string(), "--deadline", "60"};
    }
    Scratch scratch_;
};

TEST_F(Options, SilentClientIsDroppedAfterTheIdleTimeOut)
{
    std::vector<std::string> args = base();
    args.insert(args.end(), {"--idle-timeout", "1"});
    Child server(args);
    unsigned short port = wait_for_port(server, scratch_.port_file());
    ASSERT_NE(port, 0);
    Client silent(port);
    auto start = std::chrono::steady_clock::now();
    Client other(port);
    other.send("\x03lp\n");
    EXPECT_EQ(other.rest(), "no entries\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    EXPECT_EQ(silent.rest(), "");
    EXPECT_TRUE(exited_with(server.stop(), 0));
}

TEST_F(Options, MaxConnectionsEndsTheServer)
{
    std::vector<std::string> args = base();
    args.insert(args.end(), {"--max-connections", "2"});
    Child server(args);
    unsigned short port = wait_for_port(server, scratch_.port_file());
    ASSERT_NE(port, 0);
    for (int i = 0; i < 2; ++i) {
        Client client(port);
        client.send("\x03lp\n");
        EXPECT_EQ(client.rest(), "no entries\n");
    }
    EXPECT_TRUE(exited_with(server.wait_exit(10s), 0));
}

TEST_F(Options, DeadlineEndsTheServer)
{
    std::vector<std::string> args = base();
    args.back() = "1";
    Child server(args);
    ASSERT_NE(wait_for_port(server, scratch_.port_file()), 0);
    EXPECT_TRUE(exited_with(server.wait_exit(10s), 0));
}

class UsageError : public Options, public testing::WithParamInterface<std::vector<std::string>> {};

TEST_P(UsageError, ExitsWithStatus2WithoutListening)
{
    std::vector<std::string> args = base();
    args.insert(args.end(), GetParam().begin(), GetParam().end());
    Child server(args);
    EXPECT_TRUE(exited_with(server.wait_exit(10s), 2));
    EXPECT_FALSE(fs::exists(scratch_.port_file()));
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageError,
    testing::Values(std::vector<std::string>{"--bind", "0.0.0.0"},
                    std::vector<std::string>{"--bind", "192.0.2.1"}, std::vector<std::string>{"--bind", "::"},
                    std::vector<std::string>{"--bind", "localhost"},
                    std::vector<std::string>{"--port", "65536"}, std::vector<std::string>{"--port", "-1"},
                    std::vector<std::string>{"--queue", "../up"},
                    std::vector<std::string>{"--queue", ".hidden"},
                    std::vector<std::string>{"--deadline", "soon"}, std::vector<std::string>{"stray"},
                    std::vector<std::string>{"--no-such-option"}));

TEST_F(Options, SpoolIsRequired)
{
    Child server({"--port", "0", "--port-file", scratch_.port_file().string(), "--deadline", "60"});
    EXPECT_TRUE(exited_with(server.wait_exit(10s), 2));
}

// ---------------------------------------------------------------------------------
// Listing helpers, without a server

TEST(Listing, RanksHaveEnglishSuffixes)
{
    const std::pair<std::size_t, const char *> cases[] = {
        {1, "1st"},     {2, "2nd"},     {3, "3rd"},     {4, "4th"},      {11, "11th"},
        {12, "12th"},   {13, "13th"},   {21, "21st"},   {22, "22nd"},    {23, "23rd"},
        {101, "101st"}, {111, "111th"}, {112, "112th"}, {1000, "1000th"}};
    for (const auto &[rank, text] : cases)
        EXPECT_EQ(lpd::ordinal(rank), text);
}

TEST(Listing, WideValuesAreNotCutAndControlCharactersAreMasked)
{
    std::string why;
    auto info = lpd::parse_control("Hhost\nPa-very-long-user-name\nldfA005host\nN" + std::string(50, 't') +
                                       "\x1b[2J\nldfB005host\n",
                                   why);
    ASSERT_TRUE(info) << why;
    lpd::Job job = lpd::make_job("cfA005host", *info);
    job.files[0].size = 7;
    job.files[1].size = 8;
    EXPECT_EQ(lpd::format_short({job}, {}), kHeader + "1st    a-very-long-user-name 5    " +
                                                std::string(50, 't') + "?[2J, dfB005host 15 bytes\n");
}

} // namespace
