// lprws.h - the request exports and the protocol workers of RFC 1179: print job with
// its control and data files, queue listing, job removal.
#ifndef VEXLOLPR_LPRWS_H
#define VEXLOLPR_LPRWS_H

#include "platform/platform.h"
#include "wsockio.h"

namespace vx {

constexpr uint16_t LPD_PORT = 515;
constexpr size_t REPLY_SIZE = 200;      // answer to the 'Initial' command
constexpr uint32_t CHUNK_SIZE = 8192;   // data file transfer: octets per write
constexpr uint32_t BULK_CHUNK = 262144; // the largest write of a transfer that does not yield
constexpr uint32_t READ_SIZE = BULK_CHUNK; // octets per read of the file, whole chunks
constexpr size_t LISTING_SIZE = 8192;   // queue listing block
constexpr size_t LISTING_BOUND = 8190;  // the last two bytes hold the closing NULs
constexpr int QUEUE_CHUNK = 512;
constexpr int DRAIN_CHUNK = 511;

// The server's port when the host name carries no ":port" suffix.
extern uint16_t lpdport;

// The workers run behind the request exports, after the socket layer was loaded and
// started for the request; each returns the request's result value.
WORD do_LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg);
WORD do_LPR_Delete(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg);
WORD do_LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg);
WORD lprm(const SocketAddress &server, LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg);

// The steps of a print job after the server accepted it: 0, or a result value.
WORD wsock_do_control_file(SOCKET sd, const char *filename, const char *jobstem, WORD copies, char format,
                           const char *jobname, const char *bannerclass, BOOL nobanner,
                           LPR_COMMONARG *lpcommonarg);
WORD wsock_do_data_file(SOCKET sd, const char *jobstem, LFILE file, LPR_COMMONARG *lpcommonarg);

// ---- job numbers ---------------------------------------------------------------------
// The number a job gets at `now` (seconds since 1970): the clock's, or the one after the
// previous job's while the clock has not moved past the numbers handed out since it
// last gave one, counting the jobs of this process and, through the user's state
// record, those of the user's other processes in the last ten minutes.
int NextJobNumber(int clocknumber, int64_t now);
// The number for a job that starts now, from the local time.
int JobNumberNow();

// ---- queue listings (listing.cpp) -------------------------------------------------------
// LPR_FindJob's work: where a job stands in a listing block of LPR_GetQueue's shape.
int FindJob(const char *listing, DWORD jobnumber, const char *owner, const char *name, LPR_JOBENTRY *entry);

// ---- pure parts, for the suites -------------------------------------------------------
// The job number of a local time: (minute modulo 10) * 100 + second.
int JobNumberFromTime(const struct tm &local);

// The control file of a job: its text length (without the closing NUL) and, when `out`
// is not null, the text itself with a NUL behind it (out must hold length + 1 bytes).
struct ControlFileArgs {
    const char *clienthost;
    const char *username;
    const char *filename;
    const char *jobstem;
    WORD copies;
    char format;
    const char *jobname;
    const char *bannerclass;
    BOOL nobanner;
};
size_t BuildControlFile(const ControlFileArgs &args, char *out);

// Reshapes a queue listing into NUL-terminated lines in a block of LISTING_SIZE bytes.
struct ListingBuilder {
    char *block;
    size_t pos;     // where the next byte goes
    size_t lastend; // behind the last line end
    // Stores received bytes; false when one did not fit (the listing is then cut).
    bool Add(const char *bytes, int n);
    // The closing NULs; returns the bytes used.
    size_t Finish();
    void Cut();
};

} // namespace vx

#endif
