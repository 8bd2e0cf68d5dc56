// The POSIX platform's formatter, global memory and files.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace
