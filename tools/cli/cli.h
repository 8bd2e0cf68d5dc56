/* cli.h - the vexlolpr command: what its parts share.  The commands, the command line
 * (vexlolpr's own and the lpr, lpq and lprm forms), the messages and the exit statuses
 * are written once (main.c, options.c); what the system does differently -- interrupts,
 * the status display, the copy of standard input, user and host names, the pauses and
 * the clock -- is in posix.c and win32.c, which define the same sys_ functions. */
#ifndef VEXLOLPR_CLI_H
#define VEXLOLPR_CLI_H

#include <stddef.h>

#include <vexlolpr.h>

#if defined(__MINGW_PRINTF_FORMAT)
#define CLI_PRINTF(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define CLI_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define CLI_PRINTF(f, a)
#endif

/* Exit statuses; the man page lists the same. */
enum {
    EXIT_OK = 0,
    EXIT_FAILED = 1,       /* network, protocol or server failure */
    EXIT_USAGE = 2,        /* bad command line, or a name the protocol cannot carry */
    EXIT_LOCAL_FILE = 3,   /* a file to print cannot be opened, is empty or not a regular file */
    EXIT_WAIT_TIMEOUT = 4, /* print --wait: the time ran out while the job was still listed */
    EXIT_CANNOT_TELL = 5,  /* print --wait, remove: the listing cannot tell (form, or nothing) */
    EXIT_NOT_THERE = 6,    /* remove: a job was not in the queue before the removal */
    EXIT_STILL_THERE = 7,  /* remove: a job is still listed after the removal */
    EXIT_CANCELLED = 130   /* interrupted, as shells report a command ended by SIGINT */
};

enum Command { CMD_NONE, CMD_PRINT, CMD_QUEUE, CMD_REMOVE, CMD_CHECK };

/* How the command was called: as vexlolpr, or by one of the old names, which take
   Windows' switches. */
enum Form { FORM_VEXLOLPR, FORM_LPR, FORM_LPQ, FORM_LPRM };

/* The name in messages: "vexlolpr", or "lpr", "lpq", "lprm" as called. */
extern const char *progname;

/* The standard input's job goes under this name (see sys_keep_stdin). */
#define STDIN_NAME "(stdin)"

struct Settings {
    enum Form form;
    enum Command command;
    const char *printer_option; /* -P as given */
    const char *host_option;    /* -H (-S) as given */
    char *queue;                /* the destination, resolved */
    char *host;
    const char *user;
    const char *clienthost;
    long copies;
    const char *jobname;
    const char *bannerclass;
    int nobanner;
    char format;
    int controlfirst;
    long replytimeout;
    long waitbusy;
    int trace;
    int yield;
    int quiet;
    int dialog;             /* --dialog: the library's own status window, where there is one */
    int ell;                /* -l: the literal format for print, the long form for queue */
    int longlist;           /* queue: ask for the long listing */
    int follow;             /* print --wait: follow each job until it leaves the queue */
    long waitlimit;         /* ... for at most this many seconds; 0: no limit */
    long tries;             /* print --retry: sends of a file at most (1: no retry) */
    int nocheck;            /* remove --no-check, and lprm: the removal alone */
    char print_only[32];    /* the first print-only option given, for the error */
    char queue_only[32];    /* the same for queue-only options */
    char remove_only[32];   /* and for remove-only ones */
    char **operands;
    int count;
};

/* ---- options.c ------------------------------------------------------------------------ */

/* Fills s from the command line, in the form the program's name chooses.  -1 to go on,
   or the exit status (help and version shown, or a usage error reported). */
int parse_command_line(int argc, char **argv, struct Settings *s);
/* A whole decimal number from min to max, or -1. */
long number(const char *text, long min, long max);
/* "-" among the files, or no file at all: standard input. */
int is_stdin(const char *operand);

/* ---- the platform's half (posix.c, win32.c) ------------------------------------------- */

/* The command line as the library takes names: as it is on POSIX; on Windows in the
   ANSI code page, the DLL's, where an argument it cannot carry is a usage error.  -1 to
   go on, or the exit status of an error already reported. */
int sys_arguments(int *argc, char ***argv);
/* Takes over interrupts (Ctrl-C and the like) for the rest of the run. */
void sys_start(const struct Settings *s);
/* Marks the span of one request, so that an interrupt cancels it through the library.
   0 when an interrupt came first and the request must not start. */
int sys_begin_request(const struct Settings *s, int checkonly);
void sys_end_request(void);
/* The request block's showdialog for these settings. */
int sys_show_dialog(const struct Settings *s);
/* The requesting user's and this machine's names, as the system knows them. */
const char *sys_user_name(void);
const char *sys_host_name(void);
/* What the system says about a file the library could not print; empty when there is
   nothing to add (the library's own texts name neither the file nor the reason). */
void sys_file_reason(const char *path, char *out, size_t size);
/* Keeps standard input in a private file named STDIN_NAME and makes its folder the
   working one, so that the server sees that name: EXIT_OK, or the status of a failure
   already reported (nothing left behind then).  sys_drop_stdin goes back and removes
   it; an interrupt that ends the command removes it too. */
int sys_keep_stdin(const struct Settings *s);
void sys_drop_stdin(void);
/* Waits ms milliseconds, or less when an interrupt comes (or came already): 1 when the
   time passed, 0 for an interrupt.  Before sys_start it just waits. */
int sys_sleep_ms(unsigned long ms);
/* Milliseconds since a fixed point in the past; never goes back, whatever the wall
   clock does. */
unsigned long long sys_clock_ms(void);

#endif
