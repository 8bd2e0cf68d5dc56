// localstate.cpp - the local time, and the user's state record: a small text file in a
// directory that only the user can reach, taken under an exclusive lock.  Owns the
// seams of tests: a directory in place of the user's, a clock that fails.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "posix.h"

namespace vx {

static std::string statedir; // empty: the user's own places
static bool failtime;

bool LocalTimeNow(struct tm *local, int64_t *seconds)
{
    bool fail = failtime || posix::Injected(posix::Fallible::LocalTime);
    time_t now = fail ? static_cast<time_t>(-1) : time(nullptr);
    struct tm parts;
    if (now == static_cast<time_t>(-1) || localtime_r(&now, &parts) == nullptr)
        return false;
    *local = parts;
    *seconds = static_cast<int64_t>(now);
    return true;
}

namespace {

const char *RecordName(StateRecord which)
{
    return which == StateRecord::LOCALPORT ? "vexlolpr-localport" : "vexlolpr-jobnumber";
}

// The directory as a descriptor when it is a real directory of the user that nobody
// else may enter or write: otherwise another user could swap the record for a link to
// one of our files, or read and steer the numbers.  -1 when it is not.
int OpenPrivateDirectory(const char *path, uid_t user)
{
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != user || (st.st_mode & 077) != 0) {
        close(fd);
        errno = EPERM; // there, and refused
        return -1;
    }
    return fd;
}

int OpenStateDirectory(uid_t user)
{
    if (!statedir.empty())
        return OpenPrivateDirectory(statedir.c_str(), user);
    // One place per user whatever the environment says ($XDG_RUNTIME_DIR is set in a
    // login session and not for cron or a service, $TMPDIR differs from shell to shell):
    // every process of the user must find the same record.  A test may name a directory
    // of its own, which must be as private.
    const char *chosen = getenv("VEXLOLPR_STATE_DIR");
    if (chosen != nullptr && chosen[0] != '\0')
        return chosen[0] == '/' ? OpenPrivateDirectory(chosen, user) : -1;
    char path[64];
    snprintf(path, sizeof path, "/tmp/vexlolpr-%lu", static_cast<unsigned long>(user));
    // Made on first need only: every job opens it, most find it there.
    int fd = OpenPrivateDirectory(path, user);
    if (fd >= 0 || errno != ENOENT)
        return fd;
    if (mkdir(path, 0700) != 0 && errno != EEXIST)
        return -1;
    return OpenPrivateDirectory(path, user); // a directory someone else made first is refused
}

uint64_t MonotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

// A holder that does not let go (a stopped process) must not hold up a print job: the
// wait is bounded, and the caller goes on without the record.
bool LockWithin(int fd, DWORD waitms)
{
    uint64_t deadline = MonotonicMs() + waitms;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || MonotonicMs() >= deadline)
            return false;
        timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

} // namespace

LSTATE StateOpen(StateRecord which, DWORD waitms)
{
    if (posix::Injected(posix::Fallible::StateOpen))
        return LSTATE_ERROR;
    uid_t user = geteuid();
    int dir = OpenStateDirectory(user);
    if (dir < 0)
        return LSTATE_ERROR;
    // O_NONBLOCK: a FIFO put in its place must not hold the open.
    int fd;
    do
        fd = openat(dir, RecordName(which), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    while (fd < 0 && errno == EINTR);
    close(dir);
    if (fd < 0)
        return LSTATE_ERROR;
    // A second name for the file would let a write land elsewhere.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != user || st.st_nlink != 1 ||
        !LockWithin(fd, waitms)) {
        close(fd);
        return LSTATE_ERROR;
    }
    return fd;
}

int StateRead(LSTATE state, char *buf, int size)
{
    if (size <= 0)
        return -1;
    if (posix::Injected(posix::Fallible::StateRead)) {
        buf[0] = '\0';
        return -1;
    }
    int fd = static_cast<int>(state);
    int length = 0;
    while (length < size - 1) {
        ssize_t want = size - 1 - length;
        ssize_t n = pread(fd, buf + length, static_cast<size_t>(want), length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            buf[0] = '\0';
            return -1;
        }
        length += static_cast<int>(n);
        if (n < want)
            break; // a short read of a regular file is its end: no call to find it
    }
    buf[length] = '\0';
    return length;
}

int StateWrite(LSTATE state, const char *text, int length)
{
    if (posix::Injected(posix::Fallible::StateWrite))
        return -1;
    int fd = static_cast<int>(state);
    int done = 0;
    while (done < length) {
        ssize_t n = pwrite(fd, text + done, static_cast<size_t>(length - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += static_cast<int>(n);
    }
    return ftruncate(fd, length) == 0 ? 0 : -1;
}

// Closing the descriptor releases the lock.
void StateClose(LSTATE state) { close(static_cast<int>(state)); }

namespace posix {

void SetStateDirectory(const char *dir) { statedir = dir != nullptr ? dir : ""; }

void FailLocalTime(bool fail) { failtime = fail; }

} // namespace posix
} // namespace vx
