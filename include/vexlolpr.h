/*
 * vexlolpr.h - public interface of the vexlolpr LPR/LPD (RFC 1179) client library.
 *
 * The library submits a local file as a print job to a queue on a remote LPD server,
 * fetches a queue's short listing and removes jobs.  Every request blocks the calling
 * thread until it ends while it keeps dispatching the thread's messages; on Windows it
 * shows a status dialog with a Cancel button, on POSIX an optional text status display.
 *
 * Calling order
 *   1. Load the library (on POSIX: link it).  Its start-up binds the socket layer once;
 *      LPR_Init may be called and changes nothing.
 *   2. Fill an LPR_COMMONARG and the record of the operation, set errorcode to 0 and call
 *      LPR_Print, LPR_DeleteJob or LPR_GetQueue.  Threads may make requests at the same
 *      time (see Threads).
 *   3. While a request blocks, LPR_CancelBlockingCall may be called from code that the
 *      request's message loop reaches or from another thread (LPR_CancelRequest for one
 *      request among several); the request then ends with errorcode LPR_ERR_CANCELLED.
 *   4. After a result other than LPR_OK, errorcode (if nonzero) names the first failure of
 *      the request and LPR_GetLastErrorText returns the text of the last failure.
 *   5. After LPR_GetQueue returns LPR_OK, read the listing through your variable and hand
 *      the variable's address to LPR_FreeQueue once.
 *
 * Servers
 *   The host of a request is "name", "name:port", a dotted IPv4 address (with or without
 *   ":port"), or an IPv6 address in brackets, "[2001:db8::5]" or "[fe80::1%eth0]:5515".
 *   A name is reached over IPv4 when it has an IPv4 address, and over IPv6 only when it
 *   has none.  The port is 515 unless given.  On Windows the IPv6 look-up comes from
 *   WS2_32.DLL; where it is missing, IPv6 hosts fail as names that do not resolve.
 *
 * Ownership
 *   - All records and strings belong to the caller; the library keeps none of them
 *     beyond the call.
 *   - The request block must stay valid, at the same address, for the whole call: a
 *     cancel writes LPR_ERR_CANCELLED into its errorcode while the call is in progress.
 *   - The queue listing belongs to the caller from a successful LPR_GetQueue until
 *     LPR_FreeQueue.
 *
 * Threads
 *   Requests on different threads run at the same time, each with its own status
 *   display (on Windows its own dialog, owned by its thread), socket, time-outs and
 *   errorcode; a slow or silent server holds up only the thread that talks to it.  What
 *   the process shares is guarded: the socket layer, the search for a reserved local
 *   port (two requests never take the same one) and the hand-out of job numbers.
 *   A request started on the same thread from inside a running one (a window procedure
 *   reached by its message loop) cannot run while the outer one waits: it waits
 *   lprtimeout seconds for the status display and then returns LPR_R_UNEXP_NET_ERR
 *   with errorcode LPR_ERR_NETWORK, having sent nothing.
 *   LPR_CancelBlockingCall, LPR_CancelRequest and LPR_GetLastErrorText may be called
 *   from any thread at any time.  The last-error text is the calling thread's latest
 *   failure; a thread that has had none gets the latest failure of any thread.
 *   On Windows the library keeps a small record per thread that has made a request; it
 *   goes at thread detach (and at process detach), also when the DLL was loaded with
 *   LoadLibrary.
 *
 * Memory
 *   All three requests treat a shortage alike: when memory that the library allocates
 *   for a request cannot be had (the listing block, the data file's buffer, a command
 *   line or a text), the request returns LPR_R_NOT_ENOUGH_MEMORY with errorcode
 *   LPR_ERR_NO_MEMORY and the last-error text "Insufficient memory"; only a listing
 *   block that cannot be had leaves the text as it was.  Where a service of the system
 *   fails for want of memory (the status display, a timer, a socket, a posted message),
 *   the request goes on or fails as that service's failure has it.  The request gives
 *   back everything it took either way, and no C++ exception ever leaves an export.
 *
 * Server ports (an extension)
 *   The host field of the records may carry a ":port" suffix ("printsrv:5515",
 *   "127.0.0.1:5515"), used instead of the LPD port 515.  A host without a suffix behaves
 *   as always; a suffix that is not a port number 1..65535 is reported like a host name
 *   that does not resolve (LPR_ERR_HOST_NAME, LPR_R_BAD_NET_NAME).
 *
 * Platforms
 *   Windows: VEXLOLPR.DLL, exports by name and ordinal, __stdcall on 32-bit Windows.
 *   POSIX: libvexlolpr.so / libvexlolpr.a.  The library's start-up runs when the shared
 *   library is loaded (for the static library: at program start) and its shutdown at
 *   unload or exit.  POSIX has no thread attach or detach notifications, so the trace
 *   lines of those notifications never appear there.  Trace lines go to standard error.
 */
#ifndef VEXLOLPR_H
#define VEXLOLPR_H

/* Version of the library and of this interface.  A new major version may break
 * callers (the shared library's name on POSIX carries it); a new minor version only
 * adds.  VEXLOLPR_VERSION_NUMBER is 0xMMmmpp, for comparisons in the preprocessor.
 * The build reads these lines: keep their shape. */
#define VEXLOLPR_VERSION_MAJOR 1
#define VEXLOLPR_VERSION_MINOR 2
#define VEXLOLPR_VERSION_PATCH 0
#define VEXLOLPR_VERSION_STRING "1.2.0"
#define VEXLOLPR_VERSION_NUMBER \
    ((VEXLOLPR_VERSION_MAJOR << 16) | (VEXLOLPR_VERSION_MINOR << 8) | VEXLOLPR_VERSION_PATCH)

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#else
/* The few Windows types the interface uses, with the widths of 64-bit Windows. */
typedef unsigned short WORD;           /* 16-bit */
typedef unsigned int DWORD;            /* 32-bit */
typedef int BOOL;                      /* 32-bit */
typedef unsigned int UINT;             /* 32-bit */
typedef uintptr_t WPARAM;              /* pointer-sized */
typedef intptr_t LPARAM;               /* pointer-sized */
typedef intptr_t INT_PTR;              /* pointer-sized */
typedef struct HWND__ *HWND;           /* window (status display) handle */
typedef struct HINSTANCE__ *HINSTANCE; /* module handle */
#endif

/* Calling convention of every export: __stdcall on 32-bit Windows, the default elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define LPRAPI __stdcall
#else
#define LPRAPI
#endif

#if defined(VEXLOLPR_BUILDING) && !defined(_WIN32) && defined(__GNUC__)
#define LPR_EXPORT __attribute__((visibility("default")))
#else
#define LPR_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Request block: common to all requests, owned by the caller. */
typedef struct LPR_COMMONARG {
    const char *username;   /* requesting user: control file P and L lines, agent of a removal */
    const char *clienthost; /* client host: control file H line and the job's file names */
    BOOL showdialog;        /* nonzero: show the status display while the request runs */
    DWORD replytimeout;     /* milliseconds allowed for each network wait */
    DWORD lprtimeout;       /* seconds to wait for an earlier request's status display to go */
    WORD debugflags;        /* option word: LPR_DEBUG_TRACE, LPR_OPT_NOYIELD, LPR_OPT_LONGLIST */
    int32_t errorcode;      /* first failure of the request (LPR_ERR_*); 0 while none */
} LPR_COMMONARG;

/* Print record, for LPR_Print. */
typedef struct LPR_PRINTARG {
    const char *filename;    /* local file to print */
    const char *host;        /* LPD server (see Servers) */
    const char *printer;     /* remote queue name */
    WORD copies;             /* number of print lines in the control file */
    char format;             /* letter of the print lines ('p': titled form) */
    const char *jobname;     /* job name; NULL: the file path */
    const char *bannerclass; /* class line; NULL: none */
    BOOL nobanner;           /* nonzero: neither class nor banner line */
    BOOL controlfirst;       /* nonzero: control file before data file */
    BOOL checkonly;          /* nonzero: only test that the queue accepts a job */
} LPR_PRINTARG;

/* Removal record, for LPR_DeleteJob. */
typedef struct LPR_DELETEARG {
    const char *host;    /* LPD server, not empty */
    const char *printer; /* remote queue, not empty */
    WORD jobnumber;      /* job to remove, not 0 */
} LPR_DELETEARG;

/* Queue record, for LPR_GetQueue. */
typedef struct LPR_QUEUEARG {
    const char *host;    /* LPD server */
    const char *printer; /* remote queue */
    char **lplpqueue;    /* receives the listing; NULL on most failures, but one refused before
                            anything is set up (result 67 or 50) leaves it as it was: set it
                            to NULL before the call */
} LPR_QUEUEARG;

/* Room for a job's file names in LPR_JOBINFO: "cfA", three digits, a client host name
   of up to 255 characters and the NUL. */
#define LPR_JOBFILE_SIZE 264

/* Job handle, for LPR_PrintJob: owned by the caller, filled by the call (since 1.2.0).
   The caller sets size to sizeof(LPR_JOBINFO); the rest is written on every path of a
   call that got past its checks of the records, whatever its result. */
typedef struct LPR_JOBINFO {
    DWORD size;                         /* set by the caller: sizeof(LPR_JOBINFO) */
    int32_t state;                      /* LPR_JOB_NOT_QUEUED, LPR_JOB_UNCLEAR or LPR_JOB_QUEUED */
    uint64_t bytessent;                 /* octets of the data file sent (the file's size when whole) */
    WORD jobnumber;                     /* 1..999; 0: the server never accepted the job command */
    WORD reserved[3];                   /* written as 0 */
    char controlfile[LPR_JOBFILE_SIZE]; /* the control file's name, "cfA" NNN client host */
    char datafile[LPR_JOBFILE_SIZE];    /* the data file's name, "dfA" NNN client host */
} LPR_JOBINFO;

/* What became of a job (LPR_JOBINFO.state). */
#define LPR_JOB_NOT_QUEUED 0 /* the server cannot have it: nothing complete was sent, or it refused */
#define LPR_JOB_UNCLEAR 1    /* everything was sent but the last acknowledgement never came */
#define LPR_JOB_QUEUED 2     /* the server acknowledged the whole job */

/* A job's entry in a queue listing, filled by LPR_FindJob (since 1.2.0).  The caller
   sets size to sizeof(LPR_JOBENTRY). */
typedef struct LPR_JOBENTRY {
    DWORD size;      /* set by the caller: sizeof(LPR_JOBENTRY) */
    DWORD jobnumber; /* the number the server lists the job under */
    DWORD position;  /* 1 for the first job listed, 2 for the next, ... */
    char rank[24];   /* the rank column as listed ("active", "1st", "2", ...), cut to fit */
} LPR_JOBENTRY;

/* Results of LPR_FindJob. */
#define LPR_FIND_NOT_LISTED 0 /* the listing is read and does not hold the job */
#define LPR_FIND_LISTED 1     /* the job is listed: *lpentry says where */
#define LPR_FIND_NOTHING 2    /* the server listed nothing at all: cannot tell */
#define LPR_FIND_UNKNOWN 3    /* a listing of a form the library does not read: cannot tell */

/* Bits of LPR_COMMONARG.debugflags. */
#define LPR_DEBUG_TRACE 0x10 /* write trace lines to the debug output */
/* Extension: send a file's chunks back to back.  Without this bit, a send that did not
   have to wait is followed by one timer tick of the message loop, so that the caller's
   windows stay responsive during a long transfer; that tick caps a transfer at about
   one chunk (8192 bytes) per millisecond.  With the bit, messages are dispatched only
   while a send or receive waits for the network, and a chunk doubles while each goes
   out quickly, up to 256 KiB (it halves again when one takes long, so the status display
   still moves some ten times a second and a cancel stops the transfer within one
   chunk's time).  Nothing else changes. */
#define LPR_OPT_NOYIELD 0x20
/* Extension: LPR_GetQueue asks for the queue's long listing (RFC 1179 command 04)
   instead of the short one (03).  The answer comes back in the same shape and under the
   same size rules; what it holds is the server's own long form.  The other requests
   ignore the bit. */
#define LPR_OPT_LONGLIST 0x40

/* Result values of LPR_Print, LPR_DeleteJob and LPR_GetQueue (system error numbers). */
#define LPR_OK 0
#define LPR_R_NOT_ENOUGH_MEMORY 8 /* memory for the request not available (see Memory) */
#define LPR_R_GEN_FAILURE 31      /* the data file cannot be sent */
#define LPR_R_NOT_SUPPORTED 50    /* socket layer cannot be loaded or started */
#define LPR_R_UNEXP_NET_ERR 59    /* network or protocol failure */
#define LPR_R_BAD_NET_NAME 67     /* host name cannot be resolved; bad removal record */
#define LPR_R_BAD_DEVICE 1200     /* local file cannot be opened or is empty */

/* Message identifiers; the error codes stored in errorcode are among them. */
#define LPR_MSG_SENDING 1016 /* status text of a print job */
#define LPR_MSG_GETTING 1017 /* status text of a queue listing */
#define LPR_ERR_NO_DESCRIPTOR 3000
#define LPR_ERR_CANCELLED 4601
#define LPR_ERR_NO_ERROR 4900
#define LPR_ERR_NO_MEMORY 4903
#define LPR_ERR_TIMEOUT 4913
#define LPR_ERR_HOST_NAME 4914
#define LPR_ERR_NO_LPD 4915
#define LPR_ERR_SERVER 4916
#define LPR_ERR_NETWORK 4943
#define LPR_ERR_UNEXPECTED_EOF 4965
#define LPR_ERR_FILE_NOT_FOUND 4977
#define LPR_ERR_UNKNOWN_COMMAND 4997
#define LPR_ERR_CANT_OPEN_FILE 5000
#define LPR_ERR_CANT_READ_FILE 5001
#define LPR_ERR_FILE_EMPTY 5002
#define LPR_ERR_NO_NET_DESCRIPTOR 5003
#define LPR_ERR_SEND_INITIAL 5004
#define LPR_ERR_VERIFY_INITIAL 5005
#define LPR_ERR_SEND_NOTIFY 5006
#define LPR_ERR_VERIFY_NOTIFY 5007
#define LPR_ERR_SEND_CONTROL 5008
#define LPR_ERR_VERIFY_CONTROL 5009
#define LPR_ERR_SEND_DATA 5010
#define LPR_ERR_VERIFY_DATA 5011
#define LPR_ERR_LPD_REPORTED 5012
#define LPR_ERR_LPD_NOT_RESPONDING 5013
#define LPR_ERR_SPOOL_SPACE 5014
#define LPR_ERR_QUEUE_LIST 5015
#define LPR_ERR_SEND 5016
#define LPR_ERR_UNKNOWN_RESPONSE 5017
#define LPR_ERR_FROM_SERVER 5018
#define LPR_ERR_NO_PRINTER 5019
#define LPR_ERR_FILE_SHORTER 5020
#define LPR_ERR_WRITE_AFTER_DATA 5021
#define LPR_ERR_DATA_NOT_TRANSFERRED 5022
#define LPR_ERR_SPOOLER_SERVER 5023
#define LPR_ERR_SPOOLER_UNKNOWN 5024
#define LPR_ERR_CONTROL_NOT_TRANSFERRED 5025
/* Extensions: a printer, user or client host name that would break the protocol's
   framing is refused before anything is sent; a local file whose size cannot be taken. */
#define LPR_ERR_BAD_NAME 5100
#define LPR_ERR_FILE_SIZE 5101

/* Ordinal 500.  Returns 1; does nothing else (start-up happens at load). */
LPR_EXPORT WORD LPRAPI LPR_Init(DWORD unused);

/* Ordinal 501.  Submits lpprintarg->filename to a remote queue.  Returns LPR_OK or an
   LPR_R_* value; on failure errorcode and the last-error text tell why.  A null
   lpprintarg or lpcommonarg returns LPR_R_BAD_NET_NAME at once and touches nothing. */
LPR_EXPORT WORD LPRAPI LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg);

/* Ordinal 502.  Asks the server to remove one job in the name of lpcommonarg->username.
   A null lpdeletearg or lpcommonarg returns LPR_R_BAD_NET_NAME at once and touches nothing. */
LPR_EXPORT WORD LPRAPI LPR_DeleteJob(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg);

/* Ordinal 503.  Fetches a queue's short listing into *lpqueuearg->lplpqueue: lines
   terminated by NUL, owned by the caller until LPR_FreeQueue.  A null lpqueuearg or
   lpcommonarg returns LPR_R_BAD_NET_NAME at once and touches nothing. */
LPR_EXPORT WORD LPRAPI LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg);

/* Ordinal 504.  Releases a listing of LPR_GetQueue and stores NULL in *lplpqueue; a NULL
   listing is left alone.  Returns 0. */
LPR_EXPORT WORD LPRAPI LPR_FreeQueue(char **lplpqueue);

/* Ordinal 505.  Copies at most size - 1 characters of the last-error text and a NUL into
   buf (nothing when size <= 0); returns the length of the whole text, so a result >= size
   means the copy was cut. */
LPR_EXPORT int LPRAPI LPR_GetLastErrorText(char *buf, int size);

/* Ordinal 506.  Presses Cancel: called from code that a running request's message loop
   reaches (a window procedure, a timer), of that request; called from any other thread,
   of every request in progress.  Returns 0 when a cancel was posted, 1 when no request
   is in progress.  To cancel one request among several, use LPR_CancelRequest.  The
   request notices the cancel at its next wait or write.  One that comes while the last
   acknowledgement of a job is awaited ends the request as a failure although the job
   may be whole at the server (LPR_PrintJob says LPR_JOB_UNCLEAR); one that comes after
   it stops nothing, and the request returns LPR_OK with errorcode LPR_ERR_CANCELLED. */
LPR_EXPORT int LPRAPI LPR_CancelBlockingCall(void);

/* Ordinal 511.  Presses Cancel of the one request that runs with this request block, on
   whichever thread it runs; may be called from any thread.  Returns 0 when a cancel was
   posted (a request that has no status display yet, still looking up its host, takes
   the cancel with it and ends at its first wait), 1 when no request runs with it.  The
   request ends as after LPR_CancelBlockingCall.  Since 1.1.0. */
LPR_EXPORT int LPRAPI LPR_CancelRequest(LPR_COMMONARG *lpcommonarg);

/* Ordinal 512.  LPR_Print that tells what became of the job: fills *lpjobinfo with the
   job's number and file names (once the server accepted the job command), the octets
   of the data file sent and the state (LPR_JOB_*), also when the request fails.  A job
   whose state is LPR_JOB_UNCLEAR may be at the server: look for its number in the
   queue listing (LPR_FindJob) before sending it again.  In check-only mode the state is
   LPR_JOB_NOT_QUEUED and the number 0.  A null lpprintarg, lpcommonarg or lpjobinfo, or
   a size below sizeof(LPR_JOBINFO), returns LPR_R_BAD_NET_NAME at once and touches
   nothing.  A client host name longer than 255 characters leaves the file names
   empty.  Since 1.2.0. */
LPR_EXPORT WORD LPRAPI LPR_PrintJob(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg,
                                    LPR_JOBINFO *lpjobinfo);

/* Ordinal 513.  Looks a job up in a queue listing as LPR_GetQueue returns it (the short
   form of vexlolpd, BSD lpd and cups-lpd, and the long form of LPRng, whose short form
   only counts jobs).  An entry counts when its number is jobnumber and, when owner is
   not NULL, its owner is owner.  When no entry has the number and name is not NULL, the
   last entry (of owner, when given) whose file column holds name (or as much of it as the column
   shows, or its last path component) is taken: a server that numbers jobs itself
   (cups-lpd) lists the job under its own number, which lpentry->jobnumber gives.  A
   finished job that a server still lists (LPRng's rank "done") has left the queue.  A
   listing that hides owners ("(null)", cups-lpd where CUPS keeps job values private)
   cannot tell a job looked for by owner or name: LPR_FIND_UNKNOWN.  Returns an LPR_FIND_* value; fills *lpentry only for LPR_FIND_LISTED.  Returns -1
   for a null listing or lpentry, or a size below sizeof(LPR_JOBENTRY).  Needs no
   network and may be called from any thread.  Since 1.2.0. */
LPR_EXPORT int LPRAPI LPR_FindJob(const char *listing, DWORD jobnumber, const char *owner, const char *name,
                                  LPR_JOBENTRY *lpentry);

/* Ordinal 507.  Returns 1; does nothing else. */
LPR_EXPORT int LPRAPI WEP(int unused);

/* Ordinal 510.  The status dialog's procedure; not meant to be called by applications. */
LPR_EXPORT INT_PTR LPRAPI WNWaitDlg(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

#ifdef __cplusplus
}
#endif

#endif /* VEXLOLPR_H */
