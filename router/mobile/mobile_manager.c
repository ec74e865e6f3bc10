/*
 * Stand-in for the router's mobile manager, the program "mobile".
 *
 * It runs until it is killed. Its debug output goes to standard output
 * once "mobile_cli opendebug 1" has run: "mobile: debug output on", then
 * "mobile: tick N" once a second. Every piece of output is one write(2),
 * so that a test controls exactly what a reader of the pipe gets together.
 *
 * Files in the state directory ($ROUTER_SIM_DIR, else /tmp/router_sim):
 *   mobile_debug  "1" or "0", written by mobile_cli; removed at start, so
 *                 every manager starts with its debug output off.
 *   mobile_ctl    output on demand, one command a line, taken (and removed)
 *                 while the debug output is on:
 *                   long      a line of 300 characters and a newline
 *                   empty     an empty line
 *                   pair      two lines in a single write
 *                   partial   a last line without newline; the manager
 *                             prints nothing more after it
 *                   nul       a line whose first byte is NUL
 *                   line TEXT TEXT and a newline
 *                   quiet     no more tick lines; "ticks" resumes them
 *                   exit      the manager ends by itself
 *   calls.log     "mobile start pid N" at start, "mobile debug N" when the
 *                 debug output is switched.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sim.h"

#define DEFAULT_SIM_DIR "/tmp/router_sim"
#define POLL_US 100000
#define POLLS_PER_TICK 10
#define LONG_LINE_CHARS 300
#define CTL_TEXT_SIZE 4096

/* 1 while the debug output is on; written by the main loop only. */
static int l_debug;
/* 1 while the once-a-second tick lines are printed. */
static int l_ticks = 1;
/* 1 after "partial": the output ended without newline and stays ended. */
static int l_silent;

static void out(const void *buf, size_t len)
{
    const char *p = buf;

    while (len > 0) {
        ssize_t n = write(STDOUT_FILENO, p, len);

        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            exit(1);
        p += n;
        len -= (size_t)n;
    }
}

static void out_text(const char *text)
{
    if (!l_silent)
        out(text, strlen(text));
}

static void do_long_line(void)
{
    char line[LONG_LINE_CHARS + 1];
    int i;

    for (i = 0; i < LONG_LINE_CHARS; i++)
        line[i] = (char)('0' + i % 10);
    line[LONG_LINE_CHARS] = '\n';
    if (!l_silent)
        out(line, sizeof(line));
}

/* Runs one control command; returns 0 for "exit". */
static int do_command(const char *cmd)
{
    static const char nul_line[] = "\0nul at line start\n";

    if (strcmp(cmd, "long") == 0) {
        do_long_line();
    } else if (strcmp(cmd, "empty") == 0) {
        out_text("\n");
    } else if (strcmp(cmd, "pair") == 0) {
        out_text("mobile: pair line one\nmobile: pair line two\n");
    } else if (strcmp(cmd, "partial") == 0) {
        out_text("mobile: last line without newline");
        l_silent = 1;
    } else if (strcmp(cmd, "nul") == 0) {
        if (!l_silent)
            out(nul_line, sizeof(nul_line) - 1);
    } else if (strncmp(cmd, "line ", 5) == 0) {
        char line[CTL_TEXT_SIZE + 2];

        snprintf(line, sizeof(line), "%s\n", cmd + 5);
        out_text(line);
    } else if (strcmp(cmd, "quiet") == 0) {
        l_ticks = 0;
    } else if (strcmp(cmd, "ticks") == 0) {
        l_ticks = 1;
    } else if (strcmp(cmd, "exit") == 0) {
        return 0;
    }
    return 1;
}

/* Takes the control file, if any, and runs its commands; 0 for "exit". */
static int do_control(void)
{
    char from[4096], to[4096], taken[64], text[CTL_TEXT_SIZE], *line, *next;

    snprintf(taken, sizeof(taken), "mobile_ctl.%ld", (long)getpid());
    snprintf(from, sizeof(from), "%s/mobile_ctl", sim_dir());
    snprintf(to, sizeof(to), "%s/%s", sim_dir(), taken);
    /* The rename claims the file whole, even while a writer replaces it. */
    if (rename(from, to) != 0)
        return 1;
    if (!sim_read_text(taken, text, sizeof(text)))
        text[0] = '\0';
    unlink(to);
    for (line = text; line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        if (!do_command(line))
            return 0;
    }
    return 1;
}

static void check_debug_flag(void)
{
    int want = sim_read_int("mobile_debug", 0) != 0;

    if (want == l_debug)
        return;
    l_debug = want;
    sim_log("mobile debug %d", l_debug);
    if (l_debug)
        out_text("mobile: debug output on\n");
}

int main(void)
{
    char path[4096], tick[64];
    long polls = 0, ticks = 0;

    if (!sim_dir()) {
        mkdir(DEFAULT_SIM_DIR, 0755);
        setenv(SIM_DIR_ENV, DEFAULT_SIM_DIR, 1);
    }
    snprintf(path, sizeof(path), "%s/mobile_debug", sim_dir());
    unlink(path);
    sim_log("mobile start pid %ld", (long)getpid());
    for (;;) {
        usleep(POLL_US);
        check_debug_flag();
        if (!l_debug)
            continue;
        if (!do_control())
            return 0;
        if (l_ticks && ++polls % POLLS_PER_TICK == 0) {
            snprintf(tick, sizeof(tick), "mobile: tick %ld\n", ++ticks);
            out_text(tick);
        }
    }
}
