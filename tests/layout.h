// layout.h - the records' offsets and sizes on 32-bit and 64-bit targets.  Included by
// the suites and compiled on its own for other targets by the layout check.
#include <stddef.h>

#include "vexlolpr.h"

#define LAYOUT(rec, field, off32, off64)                                                 \
    static_assert(offsetof(rec, field) == (sizeof(void *) == 4 ? (off32) : (off64)),    \
                  #rec "." #field " offset")
#define SIZE(rec, size32, size64)                                                        \
    static_assert(sizeof(rec) == (sizeof(void *) == 4 ? (size32) : (size64)), #rec " size")

static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(BOOL) == 4, "Windows widths");
static_assert(sizeof(WPARAM) == sizeof(void *) && sizeof(LPARAM) == sizeof(void *) &&
                  sizeof(INT_PTR) == sizeof(void *),
              "pointer-sized message words");

LAYOUT(LPR_COMMONARG, username, 0, 0);
LAYOUT(LPR_COMMONARG, clienthost, 4, 8);
LAYOUT(LPR_COMMONARG, showdialog, 8, 16);
LAYOUT(LPR_COMMONARG, replytimeout, 12, 20);
LAYOUT(LPR_COMMONARG, lprtimeout, 16, 24);
LAYOUT(LPR_COMMONARG, debugflags, 20, 28);
LAYOUT(LPR_COMMONARG, errorcode, 24, 32);
SIZE(LPR_COMMONARG, 28, 40);

LAYOUT(LPR_PRINTARG, filename, 0, 0);
LAYOUT(LPR_PRINTARG, host, 4, 8);
LAYOUT(LPR_PRINTARG, printer, 8, 16);
LAYOUT(LPR_PRINTARG, copies, 12, 24);
LAYOUT(LPR_PRINTARG, format, 14, 26);
LAYOUT(LPR_PRINTARG, jobname, 16, 32);
LAYOUT(LPR_PRINTARG, bannerclass, 20, 40);
LAYOUT(LPR_PRINTARG, nobanner, 24, 48);
LAYOUT(LPR_PRINTARG, controlfirst, 28, 52);
LAYOUT(LPR_PRINTARG, checkonly, 32, 56);
SIZE(LPR_PRINTARG, 36, 64);

LAYOUT(LPR_DELETEARG, host, 0, 0);
LAYOUT(LPR_DELETEARG, printer, 4, 8);
LAYOUT(LPR_DELETEARG, jobnumber, 8, 16);
SIZE(LPR_DELETEARG, 12, 24);

LAYOUT(LPR_QUEUEARG, host, 0, 0);
LAYOUT(LPR_QUEUEARG, printer, 4, 8);
LAYOUT(LPR_QUEUEARG, lplpqueue, 8, 16);
SIZE(LPR_QUEUEARG, 12, 24);

LAYOUT(LPR_JOBINFO, size, 0, 0);
LAYOUT(LPR_JOBINFO, state, 4, 4);
LAYOUT(LPR_JOBINFO, bytessent, 8, 8);
LAYOUT(LPR_JOBINFO, jobnumber, 16, 16);
LAYOUT(LPR_JOBINFO, controlfile, 24, 24);
LAYOUT(LPR_JOBINFO, datafile, 288, 288);
SIZE(LPR_JOBINFO, 552, 552);

LAYOUT(LPR_JOBENTRY, size, 0, 0);
LAYOUT(LPR_JOBENTRY, jobnumber, 4, 4);
LAYOUT(LPR_JOBENTRY, position, 8, 8);
LAYOUT(LPR_JOBENTRY, rank, 12, 12);
SIZE(LPR_JOBENTRY, 36, 36);
