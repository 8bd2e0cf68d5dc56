// lprws.h - the request exports and the protocol workers.
#ifndef VEXLOLPR_LPRWS_H
#define VEXLOLPR_LPRWS_H

#include "platform/platform.h"

namespace vx {

// The workers run behind the request exports, after the socket layer was loaded and
// started for the request; each returns the request's result value.
WORD do_LPR_Print(LPR_PRINTARG *lpprintarg, LPR_COMMONARG *lpcommonarg);
WORD do_LPR_Delete(LPR_DELETEARG *lpdeletearg, LPR_COMMONARG *lpcommonarg);
WORD do_LPR_GetQueue(LPR_QUEUEARG *lpqueuearg, LPR_COMMONARG *lpcommonarg);

} // namespace vx

#endif
