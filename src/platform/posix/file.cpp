// file.cpp - local files read by the print job, with 64-bit sizes.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "posix.h"

namespace vx {

LFILE FileOpenRead(const char *path)
{
    if (path == nullptr || posix::Injected(posix::Fallible::FileOpen))
        return LFILE_ERROR;
    // Opened without blocking: a named pipe without a writer would otherwise hold the
    // caller before any time-out or cancel could reach it.
    int fd;
    do
        fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return LFILE_ERROR;
    // Only regular files are printed: a directory, a pipe or a device has no size to
    // announce.
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(fd);
        return LFILE_ERROR;
    }
    return fd;
}

int64_t FileSeek(LFILE file, int64_t offset, int origin)
{
    if (posix::Injected(posix::Fallible::FileSeek))
        return -1;
    int whence = origin == LSEEK_BEGIN ? SEEK_SET : origin == LSEEK_CURRENT ? SEEK_CUR : SEEK_END;
    off_t pos = lseek(static_cast<int>(file), static_cast<off_t>(offset), whence);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int32_t FileRead(LFILE file, void *buf, uint32_t bytes)
{
    if (posix::Injected(posix::Fallible::FileRead))
        return -1;
    if (bytes > INT32_MAX)
        bytes = INT32_MAX;
    ssize_t n;
    do
        n = read(static_cast<int>(file), buf, bytes);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int32_t>(n);
}

int FileClose(LFILE file) { return close(static_cast<int>(file)) == 0 ? 0 : -1; }

} // namespace vx
