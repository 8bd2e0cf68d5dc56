// The POSIX platform's formatter, global memory, files, local time and state record.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "support/harness.h"

namespace {

std::string Format(int size, const char *format, ...)
{
    std::string buf(static_cast<size_t>(size > 0 ? size : 1), '#');
    va_list args;
    va_start(args, format);
    int n = vx::wvnsprintfA(&buf[0], size, format, args);
    va_end(args);
    EXPECT_EQ(static_cast<size_t>(n), strlen(buf.c_str()));
    return buf.c_str();
}

TEST(Formatter, FollowsTheWindowsConventions)
{
    EXPECT_EQ(Format(64, "%lu/%ld/%u/%d", 4000000000u, -7, 3u, -2), "4000000000/-7/3/-2");
    EXPECT_EQ(Format(64, "%#x %#X %x %08X", 0x3b10u, 0x101u, 255u, 0xabcu), "0x3b10 0X101 ff 00000ABC");
    EXPECT_EQ(Format(64, "[%5d][%-5d][%05d]", 42, 42, -42), "[   42][42   ][-0042]");
    EXPECT_EQ(Format(64, "[%s][%.2s][%4s][%-4s]", "abc", "abc", "ab", "ab"), "[abc][ab][  ab][ab  ]");
    EXPECT_EQ(Format(64, "%s", static_cast<const char *>(nullptr)), "(null)");
    EXPECT_EQ(Format(64, "%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(Format(64, "%lld/%llu", -5000000000LL, 18446744073709551615ULL), "-5000000000/18446744073709551615");
    EXPECT_EQ(Format(64, "100%% %q", 1), "100% %q") << "no conversion: shown as written";
    EXPECT_EQ(Format(64, "\x02%s\n", "lp"), "\x02lp\n");
    EXPECT_EQ(Format(64, "trailing %"), "trailing %");
}

TEST(Formatter, CutsAtTheBufferSize)
{
    std::string big(1000, 'z');
    EXPECT_EQ(Format(256, "Can't resolve host name %s", big.c_str()).size(), 255u);
    EXPECT_EQ(Format(6, "%d", 1234567), "12345");
    EXPECT_EQ(Format(6, "abcdefgh"), "abcde");
    EXPECT_EQ(Format(1, "%s", "anything"), "");
    char untouched = 'u';
    EXPECT_EQ(vx::wnsprintfA(&untouched, 0, "%s", "x"), 0);
    EXPECT_EQ(untouched, 'u');
    // A padded string longer than the item scratch is still cut, never overrun.
    EXPECT_EQ(Format(2000, "%600s", "x").size(), 511u);
}

TEST(GlobalMemory, FixedBlocksAreZeroedStableAndFoundByAddress)
{
    int before = vx::posix::GlobalBlocksInUse();
    vx::HGLOBAL block = vx::GlobalAlloc(vx::GMEM_ZEROINIT, 1000);
    ASSERT_NE(block, nullptr);
    char *p = static_cast<char *>(vx::GlobalLock(block));
    ASSERT_EQ(p, block);
    for (int i = 0; i < 1000; i++)
        ASSERT_EQ(p[i], 0);
    memset(p, 'q', 1000);
    EXPECT_EQ(vx::GlobalHandle(p), block);
    EXPECT_EQ(vx::GlobalHandle(p + 1), nullptr) << "only a block's own address finds it";
    EXPECT_EQ(vx::GlobalReAlloc(block, 10, vx::GMEM_ZEROINIT), block) << "shrinking keeps the block in place";
    EXPECT_EQ(p[9], 'q');
    EXPECT_EQ(vx::GlobalReAlloc(block, 500, vx::GMEM_ZEROINIT), block);
    EXPECT_EQ(p[9], 'q');
    EXPECT_EQ(p[10], 0) << "grown bytes are zeroed";
    EXPECT_EQ(vx::GlobalReAlloc(block, 5000, vx::GMEM_ZEROINIT), nullptr) << "a fixed block cannot move";
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), before + 1);
    EXPECT_EQ(vx::GlobalFree(block), nullptr);
    EXPECT_EQ(vx::posix::GlobalBlocksInUse(), before);
    int stack = 0;
    EXPECT_EQ(vx::GlobalFree(&stack), &stack) << "a foreign address is refused";
}

TEST(GlobalMemory, PlannedFailures)
{
    vx::posix::FailGlobalAllocAt(2);
    vx::HGLOBAL first = vx::GlobalAlloc(vx::GMEM_ZEROINIT, 16);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(vx::GlobalAlloc(vx::GMEM_ZEROINIT, 16), nullptr);
    vx::HGLOBAL third = vx::GlobalAlloc(vx::GMEM_ZEROINIT, 16);
    EXPECT_NE(third, nullptr);
    vx::GlobalFree(first);
    vx::GlobalFree(third);
    EXPECT_EQ(vx::GlobalAlloc(0, SIZE_MAX - 8), nullptr);
}

class FileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vexlolpr-file-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { (void)system(("rm -rf " + dir_).c_str()); }
    std::string Write(const std::string &name, const std::string &content)
    {
        std::string path = dir_ + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        close(fd);
        return path;
    }
    std::string dir_;
};

TEST_F(FileTest, SizeRewindAndSequentialReads)
{
    std::string path = Write("job.txt", "hello, printer\n");
    vx::LFILE f = vx::FileOpenRead(path.c_str());
    ASSERT_NE(f, vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileSeek(f, 0, vx::LSEEK_END), 15);
    EXPECT_EQ(vx::FileSeek(f, 0, vx::LSEEK_BEGIN), 0);
    char buf[8];
    EXPECT_EQ(vx::FileRead(f, buf, 8), 8);
    EXPECT_EQ(vx::FileRead(f, buf, 8), 7);
    EXPECT_EQ(vx::FileRead(f, buf, 8), 0);
    EXPECT_EQ(vx::FileClose(f), 0);
}

TEST_F(FileTest, MissingFilesAndDirectoriesDoNotOpen)
{
    EXPECT_EQ(vx::FileOpenRead((dir_ + "/absent").c_str()), vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileOpenRead(dir_.c_str()), vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileOpenRead(""), vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileOpenRead(nullptr), vx::LFILE_ERROR);
    std::string empty = Write("empty", "");
    vx::LFILE f = vx::FileOpenRead(empty.c_str());
    ASSERT_NE(f, vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileSeek(f, 0, vx::LSEEK_END), 0);
    vx::FileClose(f);
}

TEST_F(FileTest, SizesBeyondFourGigabytes)
{
    std::string path = dir_ + "/sparse";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    const int64_t size = 5LL * 1024 * 1024 * 1024 + 3;
    ASSERT_EQ(ftruncate(fd, size), 0);
    close(fd);
    vx::LFILE f = vx::FileOpenRead(path.c_str());
    ASSERT_NE(f, vx::LFILE_ERROR);
    EXPECT_EQ(vx::FileSeek(f, 0, vx::LSEEK_END), size);
    EXPECT_EQ(vx::FileSeek(f, -3, vx::LSEEK_END), size - 3);
    char buf[8];
    EXPECT_EQ(vx::FileRead(f, buf, 8), 3);
    vx::FileClose(f);
}

// ---- the user's state record ---------------------------------------------------------------

const char RECORD[] = "vexlolpr-jobnumber";

class StateTest : public FileTest {
protected:
    void TearDown() override
    {
        vx::posix::SetStateDirectory(nullptr);
        FileTest::TearDown();
    }
    static std::string Private(const std::string &path)
    {
        EXPECT_EQ(mkdir(path.c_str(), 0700), 0);
        return path;
    }
    static std::string Read(vx::LSTATE state, int size = 64)
    {
        std::string buf(static_cast<size_t>(size), '#');
        int n = vx::StateRead(state, &buf[0], size);
        EXPECT_EQ(static_cast<size_t>(n), strlen(buf.c_str()));
        return buf.c_str();
    }
};

TEST_F(StateTest, ReadWriteAndAnExclusiveLock)
{
    std::string dir = Private(dir_ + "/own");
    vx::posix::SetStateDirectory(dir.c_str());
    vx::LSTATE state = vx::StateOpen(vx::StateRecord::JOBNUMBER, 0);
    ASSERT_NE(state, vx::LSTATE_ERROR);
    EXPECT_EQ(Read(state), "") << "created empty";
    EXPECT_EQ(vx::StateWrite(state, "500 505 1765180000\n", 19), 0);
    EXPECT_EQ(vx::StateWrite(state, "1 2 3\n", 6), 0);
    EXPECT_EQ(Read(state), "1 2 3\n") << "a write replaces the whole record";
    EXPECT_EQ(Read(state, 4), "1 2") << "cut to the buffer";
    EXPECT_EQ(vx::StateOpen(vx::StateRecord::JOBNUMBER, 50), vx::LSTATE_ERROR) << "while it is held, another open gives up";
    vx::LSTATE port = vx::StateOpen(vx::StateRecord::LOCALPORT, 0);
    EXPECT_NE(port, vx::LSTATE_ERROR) << "the port's record is another, with a lock of its own";
    EXPECT_EQ(Read(port), "");
    vx::StateClose(port);
    vx::StateClose(state);
    state = vx::StateOpen(vx::StateRecord::JOBNUMBER, 0);
    ASSERT_NE(state, vx::LSTATE_ERROR) << "the close let go of it";
    EXPECT_EQ(Read(state), "1 2 3\n");
    vx::StateClose(state);
    struct stat st;
    ASSERT_EQ(stat((dir + "/" + RECORD).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u);
}

// Whatever another user could have put there or could reach, the record is not used,
// and no file that a link points to is touched.
TEST_F(StateTest, PlacesOthersCouldReachAreRefused)
{
    std::string victim = Write("victim", "keep me\n");
    bool root = geteuid() == 0;
    struct Case {
        const char *name;
        bool rootonly; // giving a file to another user takes root
        std::function<std::string(const std::string &)> make; // the directory, made from its path
    };
    const Case cases[] = {
        {"missing", false, [](const std::string &path) { return path; }},
        {"open to the group", false,
         [](const std::string &path) {
             std::string d = Private(path);
             chmod(d.c_str(), 0750);
             return d;
         }},
        {"writable by all", false,
         [](const std::string &path) {
             std::string d = Private(path);
             chmod(d.c_str(), 01777);
             return d;
         }},
        {"a link to a private directory", false,
         [](const std::string &path) {
             std::string d = Private(path + "-real");
             EXPECT_EQ(symlink(d.c_str(), path.c_str()), 0);
             return path;
         }},
        {"another user's directory", true,
         [](const std::string &path) {
             std::string d = Private(path);
             EXPECT_EQ(chown(d.c_str(), 65534, 65534), 0);
             return d;
         }},
        {"the record a symbolic link", false,
         [&victim](const std::string &path) {
             std::string d = Private(path);
             EXPECT_EQ(symlink(victim.c_str(), (d + "/" + RECORD).c_str()), 0);
             return d;
         }},
        {"the record a hard link", false,
         [&victim](const std::string &path) {
             std::string d = Private(path);
             EXPECT_EQ(link(victim.c_str(), (d + "/" + RECORD).c_str()), 0);
             return d;
         }},
        {"the record a FIFO", false,
         [](const std::string &path) {
             std::string d = Private(path);
             EXPECT_EQ(mkfifo((d + "/" + RECORD).c_str(), 0600), 0);
             return d;
         }},
        {"the record a directory", false,
         [](const std::string &path) {
             std::string d = Private(path);
             EXPECT_EQ(mkdir((d + "/" + RECORD).c_str(), 0700), 0);
             return d;
         }},
        {"the record another user's", true,
         [](const std::string &path) {
             std::string d = Private(path);
             std::string record = d + "/" + RECORD;
             close(open(record.c_str(), O_WRONLY | O_CREAT, 0600));
             EXPECT_EQ(chown(record.c_str(), 65534, 65534), 0);
             return d;
         }},
    };
    int n = 0;
    for (const Case &c : cases) {
        if (c.rootonly && !root)
            continue;
        std::string dir = c.make(dir_ + "/case" + std::to_string(n++));
        vx::posix::SetStateDirectory(dir.c_str());
        vx::LSTATE state = vx::StateOpen(vx::StateRecord::JOBNUMBER, 0);
        EXPECT_EQ(state, vx::LSTATE_ERROR) << c.name;
        if (state != vx::LSTATE_ERROR) {
            vx::StateWrite(state, "1 1 1\n", 6);
            vx::StateClose(state);
        }
    }
    std::ifstream in(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me\n");
}

// One record per user, whatever the environment: $XDG_RUNTIME_DIR (set in a login
// session, not for cron) does not move it; a test's own directory does, when private.
TEST_F(StateTest, OnePlacePerUserWhateverTheEnvironment)
{
    vx::posix::SetStateDirectory(nullptr);
    std::string runtime = Private(dir_ + "/runtime");
    std::string tmp = "/tmp/vexlolpr-" + std::to_string(geteuid());
    struct Case {
        const char *variable;
        std::string value;
        std::string where; // empty: no record at all
    } cases[] = {
        {"XDG_RUNTIME_DIR", runtime, tmp},
        {"VEXLOLPR_STATE_DIR", runtime, runtime},
        {"VEXLOLPR_STATE_DIR", "relative", ""},
        {"VEXLOLPR_STATE_DIR", dir_ + "/absent", ""},
    };
    for (const Case &c : cases) {
        unlink((runtime + "/" + RECORD).c_str()); // the user's own record in /tmp stays
        const char *saved = getenv(c.variable);
        std::string restore = saved != nullptr ? saved : "";
        setenv(c.variable, c.value.c_str(), 1);
        vx::LSTATE state = vx::StateOpen(vx::StateRecord::JOBNUMBER, 1000);
        if (saved != nullptr)
            setenv(c.variable, restore.c_str(), 1);
        else
            unsetenv(c.variable);
        EXPECT_EQ(state != vx::LSTATE_ERROR, !c.where.empty()) << c.variable << "=" << c.value;
        if (state == vx::LSTATE_ERROR)
            continue;
        vx::StateClose(state);
        struct stat st;
        EXPECT_EQ(lstat((runtime + "/" + RECORD).c_str(), &st) == 0, c.where == runtime) << c.variable;
        EXPECT_EQ(lstat((c.where + "/" + RECORD).c_str(), &st), 0) << c.variable << "=" << c.value;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        ASSERT_EQ(lstat(c.where.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 077, 0u);
        EXPECT_EQ(st.st_uid, geteuid());
    }
}

TEST(LocalTime, TheClockAndItsCalendarTime)
{
    struct tm local = {};
    int64_t seconds = 0;
    time_t before = time(nullptr);
    ASSERT_TRUE(vx::LocalTimeNow(&local, &seconds));
    time_t after = time(nullptr);
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    time_t at = static_cast<time_t>(seconds);
    struct tm expected;
    localtime_r(&at, &expected);
    EXPECT_EQ(local.tm_min, expected.tm_min);
    EXPECT_EQ(local.tm_sec, expected.tm_sec);
    EXPECT_EQ(local.tm_hour, expected.tm_hour);
    vx::posix::FailLocalTime(true);
    local.tm_sec = 77;
    EXPECT_FALSE(vx::LocalTimeNow(&local, &seconds));
    vx::posix::FailLocalTime(false);
    EXPECT_EQ(local.tm_sec, 77) << "untouched on failure";
}

} // namespace
