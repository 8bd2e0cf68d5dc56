// localstate.cpp - the local time, and the user's state record: a small file in the
// user's local application data folder, opened without sharing, which is its lock, and owned by
// the user.
#include <string.h>
#include <time.h>

#include "../platform.h"

#include <aclapi.h>

namespace vx {

bool LocalTimeNow(struct tm *local, int64_t *seconds)
{
    time_t now = time(nullptr);
    struct tm parts;
    if (now == static_cast<time_t>(-1) || localtime_s(&parts, &now) != 0)
        return false;
    *local = parts;
    *seconds = static_cast<int64_t>(now);
    return true;
}

static HANDLE HandleOf(LSTATE state) { return reinterpret_cast<HANDLE>(state); }

// A token's user or owner with its SID (at most 68 bytes) fits in this.
constexpr size_t TOKEN_ROOM = 128;

static bool IsReparsePoint(DWORD attributes)
{
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The record's owner must be this user, or the owner this user's new files get (the
// Administrators group, for an elevated administrator): the temporary folder of a
// service or of a changed TEMP may be open to others, and another user's file of that
// name would then be read and written as this user's.
static bool OwnedByCaller(HANDLE file)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    bool mine = false;
    HANDLE token;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token) ||
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        union {
            TOKEN_USER user;
            TOKEN_OWNER owner;
            BYTE room[TOKEN_ROOM];
        } info;
        DWORD size;
        mine = (::GetTokenInformation(token, TokenUser, &info, sizeof info, &size) &&
                ::EqualSid(owner, info.user.User.Sid)) ||
               (::GetTokenInformation(token, TokenOwner, &info, sizeof info, &size) &&
                ::EqualSid(owner, info.owner.Owner));
        ::CloseHandle(token);
    }
    ::LocalFree(descriptor);
    return mine;
}

// The folder of the record, with a backslash at its end; its length, or 0.  The user's
// local application data folder comes from the profile, not from the environment: a
// process with a TEMP of its own (a scheduled task, a service run as the user, a program
// started with another TEMP) must find the same record.  SHELL32 is loaded only here,
// once; without it the temporary folder serves.
static DWORD RecordFolder(char *path) // path: MAX_PATH + 1 bytes
{
    using GetFolderPath = HRESULT(WINAPI *)(HWND, int, HANDLE, DWORD, LPSTR);
    static const GetFolderPath getfolderpath = [] {
        HMODULE shell = ::LoadLibraryA("SHELL32.DLL");
        return shell != nullptr ? reinterpret_cast<GetFolderPath>(
                                      reinterpret_cast<void (*)()>(::GetProcAddress(shell, "SHGetFolderPathA")))
                                : nullptr;
    }();
    const int LOCAL_APPDATA = 0x001c; // CSIDL_LOCAL_APPDATA
    if (getfolderpath != nullptr && getfolderpath(nullptr, LOCAL_APPDATA, nullptr, 0, path) == S_OK) {
        size_t length = strlen(path);
        if (length > 0 && length < MAX_PATH - 1) {
            if (path[length - 1] != '\\')
                path[length++] = '\\';
            path[length] = '\0';
            return static_cast<DWORD>(length);
        }
    }
    return ::GetTempPathA(MAX_PATH + 1, path);
}

LSTATE StateOpen(StateRecord which, DWORD waitms)
{
    const char *name = which == StateRecord::LOCALPORT ? "vexlolpr-localport" : "vexlolpr-jobnumber";
    size_t namesize = strlen(name) + 1;
    char path[MAX_PATH + 1];
    DWORD dirlength = RecordFolder(path);
    if (dirlength == 0 || dirlength + namesize > sizeof path)
        return LSTATE_ERROR;
    // A junction or link, for the directory or the record, could send the writes to a
    // file that is not ours.
    path[dirlength - 1] = '\0';
    DWORD dirattributes = ::GetFileAttributesA(path);
    path[dirlength - 1] = '\\';
    if (dirattributes == INVALID_FILE_ATTRIBUTES || (dirattributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        IsReparsePoint(dirattributes))
        return LSTATE_ERROR;
    memcpy(path + dirlength, name, namesize);

    // No sharing: an open handle is the lock, and it goes with the process that holds it.
    // One that does not let go (a stopped process) must not hold up a print job, so the
    // wait is bounded and the caller goes on without the record.
    DWORD start = ::GetTickCount();
    HANDLE h;
    for (;;) {
        h = ::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            break;
        DWORD error = ::GetLastError();
        bool held = error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
        if (!held || ::GetTickCount() - start >= waitms)
            return LSTATE_ERROR;
        ::Sleep(5);
    }
    // A second name for the file would let a write land elsewhere.
    BY_HANDLE_FILE_INFORMATION info;
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        info.nNumberOfLinks != 1 || !OwnedByCaller(h)) {
        ::CloseHandle(h);
        return LSTATE_ERROR;
    }
    return reinterpret_cast<LSTATE>(h);
}

int StateRead(LSTATE state, char *buf, int size)
{
    if (size <= 0)
        return -1;
    buf[0] = '\0';
    if (::SetFilePointer(HandleOf(state), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return -1;
    DWORD length = 0;
    while (length < static_cast<DWORD>(size - 1)) {
        DWORD n = 0;
        if (!::ReadFile(HandleOf(state), buf + length, static_cast<DWORD>(size - 1) - length, &n, nullptr))
            return -1;
        if (n == 0)
            break;
        length += n;
    }
    buf[length] = '\0';
    return static_cast<int>(length);
}

int StateWrite(LSTATE state, const char *text, int length)
{
    HANDLE h = HandleOf(state);
    if (length < 0 || ::SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
        return -1;
    DWORD done = 0;
    while (done < static_cast<DWORD>(length)) {
        DWORD n = 0;
        if (!::WriteFile(h, text + done, static_cast<DWORD>(length) - done, &n, nullptr) || n == 0)
            return -1;
        done += n;
    }
    return ::SetEndOfFile(h) ? 0 : -1;
}

void StateClose(LSTATE state) { ::CloseHandle(HandleOf(state)); }

} // namespace vx
