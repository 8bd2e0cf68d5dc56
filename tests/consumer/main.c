/* A program of the library's users: links the installed library and calls it. */
#include <stdio.h>

#include <vexlolpr.h>

int main(void)
{
    char text[256];
    if (LPR_Init(0) != 1) {
        fprintf(stderr, "LPR_Init failed\n");
        return 1;
    }
    if (LPR_CancelBlockingCall() != 1 || LPR_GetLastErrorText(text, (int)sizeof text) != 0) {
        fprintf(stderr, "unexpected state after load\n");
        return 1;
    }
    printf("consumer: LPR_Init answered 1\n");
    return 0;
}
