// platform.h - the one interface between the library's logic and the system.
//
// The logic modules are written against the Windows API and Winsock 1.1 as they are;
// this header gives them exactly the primitives they use, in namespace vx.  On Windows
// the names map onto the real API (win32/); elsewhere posix/ implements them, with the
// same results and error numbers.  Logic files include this header and no system one.
#ifndef VEXLOLPR_PLATFORM_H
#define VEXLOLPR_PLATFORM_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "vexlolpr.h"

#ifdef _WIN32
// Built with NO_STRICT (CMakeLists.txt): window and module handles are then plain
// pointers, so that a call such as IsWindow(hwnd) inside namespace vx finds vx::IsWindow
// alone instead of also ::IsWindow through argument-dependent lookup, which would make
// it ambiguous.
#ifdef STRICT
#error "the library is compiled with NO_STRICT (see platform.h)"
#endif
#include <winsock.h>
// mingw's winsock.h takes its WSAAPI back at the end; the function table needs it.
#ifndef WSAAPI
#define WSAAPI WINAPI
#endif
// winsock.h of some SDKs stops short of the send and receive time-outs.
#ifndef SO_SNDTIMEO
#define SO_SNDTIMEO 0x1005
#endif
#ifndef SO_RCVTIMEO
#define SO_RCVTIMEO 0x1006
#endif
// The cursor id of the same name stands in the way of the dialog's control id; the
// library loads no cursors.
#undef IDC_SIZE
// Its definition names DLGPROC, which beside vx::DLGPROC is ambiguous; the same value
// follows below.
#undef DWLP_USER
// On 32-bit Windows these are macros for SetWindowLongA and GetWindowLongA; the
// functions below wrap whichever the machine has.
#undef SetWindowLongPtrA
#undef GetWindowLongPtrA
#endif

namespace vx {

#ifdef _WIN32
using ::FARPROC;
using ::HGLOBAL;
using ::HMODULE;
using ::LPVOID;
using ::SOCKET;
using ::WSADATA;
using ::hostent;
using ::in_addr;
using ::linger;
using ::sockaddr;
using ::sockaddr_in;
using ::LRESULT;
using ::UINT_PTR;
using ::WNDPROC;
// The dialog procedure's full type: without STRICT the Windows one takes no arguments.
typedef INT_PTR(CALLBACK *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
using ulong32 = unsigned long; // u_long: 32 bits on every Windows
// The Windows record under a type of this namespace: ::MSG itself would bring ::GetMessageA
// and its kin into every call through argument-dependent lookup, as equally good
// candidates.  Derived, the record converts to ::MSG where the API wants one.
struct MSG : ::MSG {};
static_assert(sizeof(MSG) == sizeof(::MSG), "vx::MSG is the Windows record");
#else
#define WINAPI
#define WSAAPI
constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;
typedef void *LPVOID;
typedef HINSTANCE HMODULE;
typedef INT_PTR(WINAPI *FARPROC)();
typedef uintptr_t SOCKET;
typedef uint32_t ulong32; // Winsock's u_long: 32 bits on every Windows

// Winsock 1.1 records, laid out as the Windows ones.
struct in_addr {
    uint32_t s_addr;
};
struct sockaddr {
    uint16_t sa_family;
    char sa_data[14];
};
struct sockaddr_in {
    int16_t sin_family;
    uint16_t sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
struct hostent {
    char *h_name;
    char **h_aliases;
    int16_t h_addrtype;
    int16_t h_length;
    char **h_addr_list;
};
struct linger {
    uint16_t l_onoff;
    uint16_t l_linger;
};
constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    unsigned short iMaxSockets; // the order of 64-bit Windows
    unsigned short iMaxUdpDg;
    char *lpVendorInfo;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
};

constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;
constexpr int AF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int IPPROTO_TCP = 6;
constexpr int TCP_NODELAY = 0x0001;
constexpr int SOL_SOCKET = 0xffff;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_SNDTIMEO = 0x1005; // milliseconds, a DWORD
constexpr int SO_RCVTIMEO = 0x1006;
constexpr uint32_t INADDR_ANY = 0;
constexpr uint32_t INADDR_NONE = 0xffffffffu;

// Asynchronous notification events.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// Winsock error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Entry-routine notifications.
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;

constexpr UINT SEM_NOOPENFILEERRORBOX = 0x8000;

// Windows, messages and dialogs.
typedef intptr_t LRESULT;
typedef uintptr_t UINT_PTR;
typedef INT_PTR(WINAPI *DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef LRESULT(WINAPI *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
struct POINT {
    int32_t x;
    int32_t y;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOW = 5;
constexpr int IDOK = 1;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD QS_ALLINPUT = 0x04FF;
constexpr DWORD MWMO_INPUTAVAILABLE = 0x0004;
constexpr UINT PM_REMOVE = 0x0001;
constexpr int IDCANCEL = 2;
typedef intptr_t LONG_PTR;
inline const char *MAKEINTRESOURCEA(UINT id) { return reinterpret_cast<const char *>(static_cast<uintptr_t>(id)); }

// Global memory flags.
constexpr UINT GMEM_FIXED = 0x0000;
constexpr UINT GMEM_MOVEABLE = 0x0002;
constexpr UINT GMEM_ZEROINIT = 0x0040;
typedef void *HGLOBAL;
#endif

// A dialog's word of its own: behind the message result and the dialog procedure.
constexpr int DWLP_USER = 2 * static_cast<int>(sizeof(void *));

// IPv6 and its look-up come from WS2_32.DLL (ws2tcpip.h) on Windows; winsock.h, which the
// library is written against, stops at IPv4.  Laid out as the Windows records on both
// platforms, in this namespace so that no system header's versions stand in the way.
constexpr int AF_INET6 = 23;
struct sockaddr_in6 {
    int16_t sin6_family;
    uint16_t sin6_port;
    uint32_t sin6_flowinfo;
    uint8_t sin6_addr[16];
    uint32_t sin6_scope_id;
};
constexpr int AI_NUMERICHOST = 0x04;
struct addrinfo {
    int ai_flags;
    int ai_family;
    int ai_socktype;
    int ai_protocol;
    size_t ai_addrlen;
    char *ai_canonname;
    sockaddr *ai_addr;
    addrinfo *ai_next;
};

// ---- module and process --------------------------------------------------------------
// Loads a module by name; a null handle when it cannot.  On POSIX modules are the
// providers registered in-process (posix/module.cpp), looked up without regard to case.
HMODULE LoadLibraryA(const char *name);
FARPROC GetProcAddress(HMODULE module, const char *name);
BOOL FreeLibrary(HMODULE module);
UINT SetErrorMode(UINT mode);

// Milliseconds since an arbitrary start, 32 bits, wrapping; compare unsigned.
DWORD GetTickCount();

// A number of the calling thread, never 0, distinct among the process's live threads.
DWORD GetCurrentThreadId();

// Gives up the rest of the time slice (0) or sleeps about `ms` milliseconds.
void Sleep(DWORD ms);

// ---- one word per thread --------------------------------------------------------------
// A pointer of the library's for each thread: null in a thread that never set it.  On
// Windows a TLS slot taken at process attach (TlsAlloc: good in a DLL loaded at run
// time, unlike the loader's TLS); on POSIX a thread-local word.  ThreadSlotOpen: false
// when the slot cannot be had (every Get then gives null and every Set fails).
bool ThreadSlotOpen();
void ThreadSlotClose();
void *GetThreadSlot();
bool SetThreadSlot(void *value);
// The library's, called by the POSIX platform when a thread whose slot is set ends (on
// Windows the entry routine's thread detach does the same).
void ThreadSlotEnded(void *value);

// The debugger's output channel (POSIX: standard error).
void OutputDebugStringA(const char *text);

// ---- windows, timers and the thread's message queue ---------------------------------
// The window that owns a dialog created without a parent (POSIX: none).
HWND GetActiveWindow();
// Creates the modeless dialog `templ` (MAKEINTRESOURCEA(id)) of `module`; WM_INITDIALOG
// with `param` reaches `proc` before this returns.  Null when it cannot be created.
HWND CreateDialogParamA(HINSTANCE module, const char *templ, HWND parent, DLGPROC proc, LPARAM param);
BOOL ShowWindow(HWND hwnd, int cmd);
HWND GetDlgItem(HWND dialog, int id);
BOOL SetDlgItemTextA(HWND dialog, int id, const char *text);
BOOL IsWindow(HWND hwnd);
// A dialog's words: only DWLP_USER, which its procedure keeps for itself.  The previous
// value (Set), the value (Get); 0 for a window that is not a dialog.
LONG_PTR SetWindowLongPtrA(HWND dialog, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND dialog, int index);
BOOL EndDialog(HWND dialog, INT_PTR result);
BOOL DestroyWindow(HWND hwnd);
// A periodic WM_TIMER to `hwnd` every `ms` milliseconds; 0 when refused.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void *timerproc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);
// Blocks until a message for the calling thread is there; FALSE for WM_QUIT.
BOOL GetMessageA(MSG *msg, HWND hwnd, UINT first, UINT last);
// Takes the next message of the calling thread when there is one (PM_REMOVE), else FALSE
// at once.
BOOL PeekMessageA(MSG *msg, HWND hwnd, UINT first, UINT last, UINT remove);
// Waits up to `ms` for input of the thread (count 0, no objects): WAIT_OBJECT_0 when
// there is some, WAIT_TIMEOUT when the time ran out.  As on Windows, only input that
// came since the thread last looked at its queue (GetMessageA, PeekMessageA) counts,
// unless `flags` has MWMO_INPUTAVAILABLE: then any input waiting in the queue does.
DWORD MsgWaitForMultipleObjectsEx(DWORD count, const void *handles, DWORD ms, DWORD wakemask, DWORD flags);
// Handles `msg` when it is meant for `dialog` or one of its controls (TRUE), else FALSE.
BOOL IsDialogMessageA(HWND dialog, MSG *msg);
BOOL TranslateMessage(const MSG *msg);
LRESULT DispatchMessageA(const MSG *msg);
// Queues a message for the thread that owns `hwnd`; safe from any thread.
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
void PostQuitMessage(int exitcode);

// ---- texts ------------------------------------------------------------------------------
// Copies string resource `id` of `module` into buf, cut to size - 1 characters and a
// NUL; returns the number of characters copied, 0 when there is no such string.
int LoadStringA(HINSTANCE module, UINT id, char *buf, int size);

// The printf-style formatter with the conventions of the Windows one ("%lu" and "%ld"
// take 32-bit values, "%s" of a null pointer prints "(null)"), bounded: writes at most
// size - 1 characters and a NUL and returns the number written.  size must be > 0.
int wvnsprintfA(char *buf, int size, const char *format, va_list args);
int wnsprintfA(char *buf, int size, const char *format, ...);

// ---- global memory --------------------------------------------------------------------
// Fixed blocks only: the handle of a block is its address.
HGLOBAL GlobalAlloc(UINT flags, size_t bytes);
void *GlobalLock(HGLOBAL block);
HGLOBAL GlobalHandle(const void *address);
BOOL GlobalUnlock(HGLOBAL block);
// Without GMEM_MOVEABLE a block is never moved: shrinking keeps it where it is, growing
// past its first size fails with a null handle.
HGLOBAL GlobalReAlloc(HGLOBAL block, size_t bytes, UINT flags);
HGLOBAL GlobalFree(HGLOBAL block); // null on success

// ---- files ------------------------------------------------------------------------------
// A local file opened for reading that other processes may read and write meanwhile.
typedef intptr_t LFILE;
constexpr LFILE LFILE_ERROR = -1;
constexpr int LSEEK_BEGIN = 0;
constexpr int LSEEK_CURRENT = 1;
constexpr int LSEEK_END = 2;
LFILE FileOpenRead(const char *path);
int64_t FileSeek(LFILE file, int64_t offset, int origin); // new position, -1 on error
int32_t FileRead(LFILE file, void *buf, uint32_t bytes);  // bytes read, 0 at end, -1 on error
int FileClose(LFILE file);                                // 0, or -1 on error

// ---- local time and the user's state record ---------------------------------------------
// The local calendar time now, and the same moment as seconds since 1970 (UTC).  false
// when the system cannot give it; the outputs are then untouched.
bool LocalTimeNow(struct tm *local, int64_t *seconds);

// A few bytes of text that the processes of the user on this machine share: the job
// numbers handed out last, and the reserved local port taken last, each in a record of
// its own with a lock of its own.  The records live where only the user can reach it (POSIX:
// /tmp/vexlolpr-<uid>, or $VEXLOLPR_STATE_DIR where a test names one, only when the
// directory is the user's own and closed to others; Windows: the user's local application
// data folder, from the profile); a link in its
// place is not followed.
enum class StateRecord { JOBNUMBER, LOCALPORT };
typedef intptr_t LSTATE;
constexpr LSTATE LSTATE_ERROR = -1;
// Opens the record, creating it empty, and takes it under an exclusive lock, waiting at
// most about `waitms` for another holder.  LSTATE_ERROR when it cannot be had; nothing
// is then held.
LSTATE StateOpen(StateRecord which, DWORD waitms);
// Reads the record into buf: at most size - 1 bytes and a NUL.  The length, or -1.
int StateRead(LSTATE state, char *buf, int size);
// Replaces the whole record with `length` bytes of `text`: 0, or -1.
int StateWrite(LSTATE state, const char *text, int length);
// Releases the lock and the record.
void StateClose(LSTATE state);

} // namespace vx

#endif // VEXLOLPR_PLATFORM_H
