// file.cpp - local files read by the print job: CreateFileA, SetFilePointerEx and
// ReadFile, so that sizes and positions are 64-bit.
#include "../platform.h"

namespace vx {

static HANDLE HandleOf(LFILE file) { return reinterpret_cast<HANDLE>(file); }

LFILE FileOpenRead(const char *path)
{
    if (path == nullptr)
        return LFILE_ERROR;
    // Others may go on reading and writing the file while it is sent, as they could
    // with the old share-compatible open, and may delete it: a file kept open to be
    // deleted on close (a program's temporary copy) can then be printed, and its bytes
    // stay readable here until the job ends.
    HANDLE h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return LFILE_ERROR;
    // Only disk files are printed: a device or a pipe ("COM1", "\\.\pipe\x") has no
    // size to announce.
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        return LFILE_ERROR;
    }
    return reinterpret_cast<LFILE>(h);
}

int64_t FileSeek(LFILE file, int64_t offset, int origin)
{
    DWORD method = origin == LSEEK_BEGIN ? FILE_BEGIN : origin == LSEEK_CURRENT ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance;
    LARGE_INTEGER position;
    distance.QuadPart = offset;
    if (!::SetFilePointerEx(HandleOf(file), distance, &position, method))
        return -1;
    return position.QuadPart;
}

int32_t FileRead(LFILE file, void *buf, uint32_t bytes)
{
    if (bytes > INT32_MAX)
        bytes = INT32_MAX;
    DWORD n = 0;
    if (!::ReadFile(HandleOf(file), buf, bytes, &n, nullptr))
        return -1;
    return static_cast<int32_t>(n);
}

int FileClose(LFILE file) { return ::CloseHandle(HandleOf(file)) ? 0 : -1; }

} // namespace vx
