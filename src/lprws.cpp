// lprws.cpp - the request exports with their entry steps, the protocol workers,
// LPR_FreeQueue, LPR_GetLastErrorText and LPR_CancelBlockingCall.
#include "lprws.h"

#include <string.h>

#include "init.h"
#include "msgtext.h"
#include "wsockio.h"
#include "wsockstb.h"

namespace vx {

// Until the protocol exchanges exist, a worker fails honestly: "not supported".
static WORD NotYetSupported(LPR_COMMONARG *lpcommonarg)
{
    RecordError(lpcommonarg, LPR_ERR_UNKNOWN_COMMAND, LPR_ERR_UNKNOWN_COMMAND);
    return LPR_R_NOT_SUPPORTED;
}

WORD do_LPR_Print(LPR_PRINTARG *, LPR_COMMONARG *lpcommonarg)
{
    return NotYetSupported(lpcommonarg);
}

WORD do_LPR_Delete(LPR_DELETEARG *, LPR_COMMONARG *lpcommonarg)
{
    return NotYetSupported(lpcommonarg);
}

WORD do_LPR_GetQueue(LPR_QUEUEARG *, LPR_COMMONARG *lpcommonarg)
{
    return NotYetSupported(lpcommonarg);
}

// Entry steps shared by the three requests: the trace switch is the caller's from the
// first line on, and each request starts and cleans up the socket layer once.
// Returns false, with errorcode 4943 and the last-error text untouched, when the socket
// layer cannot be loaded or started.
static bool BeginRequest(LPR_COMMONARG *lpcommonarg)
{
    if (LoadWinsock() != 0 || WinsockStartup() != 0) {
        SetErrorCode(lpcommonarg, LPR_ERR_NETWORK);
        return false;
    }
    return true;
}

static void EndRequest()
{
    if (hwinsock != 0 && winsock.WSACleanup != nullptr)
        winsock.WSACleanup();
}

} // namespace vx

using namespace vx;

extern "C" {

LPR_EXPORT WORD LPRAPI LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg)
{
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_Print() entered now=%lu... lprws", GetTickCount());
    if (!BeginRequest(lpcommonarg))
        return LPR_R_UNEXP_NET_ERR;
    WORD ret = do_LPR_Print(lpprintarg, lpcommonarg);
    EndRequest();
    LPRTrace("VEXLOLPR LPR_Print() exited... ret=%d lpcommonarg->errorcode=%d now=%lu lprws", ret,
             lpcommonarg->errorcode, GetTickCount());
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_DeleteJob(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg)
{
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_Delete() entered... lprws");
    if (!BeginRequest(lpcommonarg))
        return LPR_R_NOT_SUPPORTED;
    WORD ret = do_LPR_Delete(lpdeletearg, lpcommonarg);
    EndRequest();
    LPRTrace("VEXLOLPR LPR_Delete() exited... ret=%d lprws", ret);
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg)
{
    traceflags = lpcommonarg->debugflags;
    LPRTrace("VEXLOLPR LPR_GetQueue() entered... lprws");
    if (!BeginRequest(lpcommonarg))
        return LPR_R_NOT_SUPPORTED;
    WORD ret = do_LPR_GetQueue(lpqueuearg, lpcommonarg);
    EndRequest();
    LPRTrace("VEXLOLPR LPR_GetQueue() exited... ret=%d lprws", ret);
    return ret;
}

LPR_EXPORT WORD LPRAPI LPR_FreeQueue(char **lplpqueue)
{
    if (lplpqueue == nullptr || *lplpqueue == nullptr)
        return 0;
    // The listing is a fixed block: its handle is found again from its address.
    GlobalUnlock(GlobalHandle(*lplpqueue));
    GlobalFree(GlobalHandle(*lplpqueue));
    *lplpqueue = nullptr;
    return 0;
}

LPR_EXPORT int LPRAPI LPR_GetLastErrorText(char *buf, int size)
{
    const char *text = LastErrorText();
    int length = static_cast<int>(strlen(text));
    if (buf != nullptr && size > 0) {
        int n = length < size - 1 ? length : size - 1;
        memcpy(buf, text, static_cast<size_t>(n));
        buf[n] = '\0';
    }
    return length;
}

LPR_EXPORT int LPRAPI LPR_CancelBlockingCall(void)
{
    if (!WaitDialogAlive())
        return 1;
    return 0;
}

} // extern "C"
