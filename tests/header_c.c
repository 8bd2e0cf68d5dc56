/* The public header as a C program sees it: it compiles as C, and the records a C
 * caller lays out are the ones the library reads. */
#include "vexlolpr.h"

#include <stddef.h>

#if defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
_Static_assert(sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(BOOL) == 4, "Windows widths");
_Static_assert(sizeof(WPARAM) == sizeof(void *) && sizeof(LPARAM) == sizeof(void *), "pointer-sized");
#endif

size_t header_c_layout(int which)
{
    switch (which) {
    case 0: return sizeof(LPR_COMMONARG);
    case 1: return sizeof(LPR_PRINTARG);
    case 2: return sizeof(LPR_DELETEARG);
    case 3: return sizeof(LPR_QUEUEARG);
    case 4: return offsetof(LPR_COMMONARG, errorcode);
    case 5: return offsetof(LPR_PRINTARG, checkonly);
    case 6: return offsetof(LPR_PRINTARG, format);
    default: return 0;
    }
}

/* A request as a C caller writes it. */
int header_c_call(void)
{
    char text[64];
    LPR_COMMONARG common = {0};
    char *listing = NULL;
    if (LPR_Init(0) != 1)
        return 1;
    common.replytimeout = 1000;
    if (common.errorcode != 0 || common.replytimeout != 1000)
        return 3;
    (void)LPR_FreeQueue(&listing);
    return LPR_GetLastErrorText(text, (int)sizeof text) >= 0 && WEP(0) == 1 ? 0 : 2;
}
