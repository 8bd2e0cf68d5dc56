/* dllclient.c - a Windows application of VEXLOLPR.DLL, built by the checks.
 *
 * Linking it proves that the import library binds every export by name (on 32-bit: the
 * __stdcall names of the header).  Run (under Wine), it checks the binding by ordinal
 * and the start-up state, a failure whose text comes from the DLL's string table, and,
 * given a server and a file, one print job:
 *   dllclient.exe                          binding, start-up, string table
 *   dllclient.exe HOST:PORT QUEUE FILE     the same, then one print job
 * Exit status 0 when every step went as expected. */
#include <stdio.h>
#include <string.h>

#include <vexlolpr.h>

typedef WORD(LPRAPI *InitFn)(DWORD);
typedef WORD(LPRAPI *PrintFn)(LPR_PRINTARG *, LPR_COMMONARG *);
typedef int(LPRAPI *TextFn)(char *, int);
typedef int(LPRAPI *CancelFn)(void);

/* Every export by name, so that the link resolves all twelve through the import library. */
static const struct {
    const char *name;
    WORD ordinal;
    FARPROC proc;
} exports[] = {
    {"LPR_Init", 500, (FARPROC)LPR_Init},
    {"LPR_Print", 501, (FARPROC)LPR_Print},
    {"LPR_DeleteJob", 502, (FARPROC)LPR_DeleteJob},
    {"LPR_GetQueue", 503, (FARPROC)LPR_GetQueue},
    {"LPR_FreeQueue", 504, (FARPROC)LPR_FreeQueue},
    {"LPR_GetLastErrorText", 505, (FARPROC)LPR_GetLastErrorText},
    {"LPR_CancelBlockingCall", 506, (FARPROC)LPR_CancelBlockingCall},
    {"WEP", 507, (FARPROC)WEP},
    {"WNWaitDlg", 510, (FARPROC)WNWaitDlg},
    {"LPR_CancelRequest", 511, (FARPROC)LPR_CancelRequest},
    {"LPR_PrintJob", 512, (FARPROC)LPR_PrintJob},
    {"LPR_FindJob", 513, (FARPROC)LPR_FindJob},
};

static int failures;

static void expect(int ok, const char *what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        failures++;
}

int main(int argc, char **argv)
{
    HMODULE dll = GetModuleHandleA("VEXLOLPR.DLL");
    char text[256];
    char what[160];
    size_t i;
    expect(dll != NULL, "VEXLOLPR.DLL is loaded with the program");
    if (dll == NULL)
        return 1;

    for (i = 0; i < sizeof exports / sizeof exports[0]; i++) {
        FARPROC byordinal = GetProcAddress(dll, MAKEINTRESOURCEA(exports[i].ordinal));
        FARPROC byname = GetProcAddress(dll, exports[i].name);
        snprintf(what, sizeof what, "%s at ordinal %u", exports[i].name, (unsigned)exports[i].ordinal);
        expect(byordinal != NULL && byordinal == byname, what);
    }
    expect(GetProcAddress(dll, MAKEINTRESOURCEA(508)) == NULL && GetProcAddress(dll, MAKEINTRESOURCEA(509)) == NULL,
           "ordinals 508 and 509 are unassigned");

    InitFn init = (InitFn)GetProcAddress(dll, MAKEINTRESOURCEA(500));
    PrintFn print = (PrintFn)GetProcAddress(dll, MAKEINTRESOURCEA(501));
    TextFn lasttext = (TextFn)GetProcAddress(dll, MAKEINTRESOURCEA(505));
    CancelFn cancel = (CancelFn)GetProcAddress(dll, MAKEINTRESOURCEA(506));
    if (init == NULL || print == NULL || lasttext == NULL || cancel == NULL)
        return 1;
    expect(init(0) == 1, "LPR_Init by ordinal answers 1");
    expect(lasttext(text, (int)sizeof text) == 0 && text[0] == '\0', "no last-error text after load");
    expect(cancel() == 1, "no request to cancel after load");

    /* A port suffix of 0 is refused before any lookup: the text is the string table's
       4914 formatted with the host. */
    {
        LPR_COMMONARG common;
        LPR_PRINTARG job;
        WORD ret;
        memset(&common, 0, sizeof common);
        memset(&job, 0, sizeof job);
        common.username = "tester";
        common.clienthost = "winclient";
        common.replytimeout = 5000;
        common.lprtimeout = 5;
        job.filename = argv[0];
        job.host = "127.0.0.1:0";
        job.printer = "lp";
        job.copies = 1;
        job.format = 'f';
        ret = print(&job, &common);
        lasttext(text, (int)sizeof text);
        printf("bad port: result %u, errorcode %d, text \"%s\"\n", (unsigned)ret, (int)common.errorcode, text);
        expect(ret == LPR_R_BAD_NET_NAME && common.errorcode == LPR_ERR_HOST_NAME, "bad port is a host-name failure");
        expect(strcmp(text, "Can't resolve host name 127.0.0.1:0") == 0, "its text comes from the string table");
        /* Through the import binding as well: the same text. */
        expect(LPR_GetLastErrorText(text, 5) == (int)strlen("Can't resolve host name 127.0.0.1:0") &&
                   strcmp(text, "Can'") == 0,
               "LPR_GetLastErrorText by name cuts to the buffer");
    }

    if (argc == 4) {
        LPR_COMMONARG common;
        LPR_PRINTARG job;
        WORD ret;
        memset(&common, 0, sizeof common);
        memset(&job, 0, sizeof job);
        common.username = "tester";
        common.clienthost = "winclient";
        common.replytimeout = 10000;
        common.lprtimeout = 5;
        job.filename = argv[3];
        job.host = argv[1];
        job.printer = argv[2];
        job.copies = 1;
        job.format = 'f';
        job.jobname = "winjob";
        ret = print(&job, &common);
        lasttext(text, (int)sizeof text);
        printf("print job: result %u, errorcode %d, text \"%s\"\n", (unsigned)ret, (int)common.errorcode, text);
        expect(ret == LPR_OK && common.errorcode == 0, "the print job went through");
    }
    printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}
