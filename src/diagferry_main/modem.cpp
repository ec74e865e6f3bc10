/*
 * diag_mdlog's whole life on the modem, in one file: the probe, the stop,
 * the start and, after a modem reset, the decision that one happened and
 * the restart. The daemon never remembers whether the tool runs: it probes
 * with pgrep through adb every time. The modem's busybox does the file and
 * process work.
 *
 * Who calls it: main at start-up (wait, stop a leftover tool, log
 * directory, DIAG.cfg, start), the shutdown (stop, clean the directory),
 * and the query thread after each listing of a running stage
 * (watch_modem), which may restart the tool on that thread.
 *
 * A modem reset shows as listings that fail or hold no log name (the
 * modem's /run is wiped) and then, once adb answers again, a tool that no
 * longer runs. watch_modem journals it as a miss line of its own and
 * restarts the tool with the start-up's commands, with a growing pause
 * between failed attempts; the new tool counts from id 00, and the query
 * stage, told so, starts its selection afresh.
 *
 * adb's own exit status is not trusted for anything that matters: an older
 * modem makes every "adb shell" exit 0 and mixes the command's complaints
 * into its output. The probe decides, by the shape of its output.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/modem.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/query.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"

/* Probes, 1 s apart, a stopping tool gets: after a "-k" that reported
 * success, before any force (the tool may take seconds to flush its newest
 * log); after a failed "-k", after the force that follows it at once. */
#define STOP_PROBES 10
/* Probes after a force that had to follow a "-k" reported as done (an
 * older modem reports every command as done, a failed "-k" too). */
#define FORCE_PROBES 3
#define START_PROBES 3
#define PROBE_PAUSE_S 1
/* Listings in a row without a log name before the modem is looked at, and
 * again as many later while adb does not reach it: a tool filling a large
 * first file lists nothing for a while too, so only the probe can tell.
 * Once it has found the tool running, the next look is a minute of
 * listings on: a look every five listings on a long quiet stretch would
 * cost the router more than the listings themselves. */
#define RESET_QUIET_LISTINGS 5
#define RESET_RUNNING_LISTINGS 60
/* Probes in a row that must find no tool for a reset, and the pause
 * between them: one garbled probe is no reset. */
#define RESET_PROBES 2
#define RESET_PROBE_PAUSE_S 1
/* Pauses between restart attempts: 1, 2, 4 ... up to this. */
#define RESTART_PAUSE_MAX_S 30

/* The reset watch's state, touched by the query thread only (watch_modem). */
static int l_quiet_listings;               /* listings in a row without a log name */
static char l_quiet_since[TIMESTAMP_SIZE]; /* time stamp of the first of them */
static int l_next_look = RESET_QUIET_LISTINGS; /* the one of them that looks at the modem */
/* Real seconds in each second of the module's pauses: 1. The unit tests
 * set 0 so that probes and attempts follow each other at once; nothing
 * else writes it. */
static int l_pause_scale = 1;

/* The pause between two probes of a stop or a start. Nothing ends it
 * early: the stop may be the shutdown's own. */
static void probe_pause(void)
{
    sleep(PROBE_PAUSE_S * l_pause_scale);
}

/* A pause of the reset watch, on the query thread: a wait on
 * l_query_cond, which the shutdown's stop of the query thread ends early. */
static void watch_pause(int seconds)
{
    struct timespec deadline;

    pthread_mutex_lock(&l_mutex);
    maketimeout_s(&deadline, seconds * l_pause_scale);
    while (l_query_running && !l_exiting &&
           pthread_cond_timedwait(&l_query_cond, &l_mutex, &deadline) != ETIMEDOUT)
        ;
    pthread_mutex_unlock(&l_mutex);
}

int wait_for_modem(void)
{
    return call_system_limit(CMD_WAIT_FOR_MODEM, MODEM_WAIT_S);
}

int is_pid_list(const char *out)
{
    int digits = 0;

    for (const char *p = out; *p; p++) {
        if (isdigit((unsigned char)*p))
            digits++;
        else if (!isspace((unsigned char)*p))
            return FALSE;
    }
    return digits > 0;
}

int is_modem_logging(void)
{
    char out[CMD_BUF_SIZE];

    /* Only the output counts, and only pids: an adb that fails silently,
     * "error: device offline", or an older modem's "pgrep: not found" on
     * standard output all read as stopped. */
    memset(out, 0, sizeof(out));
    exe_command(CMD_PROBE_MODEM, out, sizeof(out));
    return is_pid_list(out);
}

int modem_stop_budget_s(void)
{
    /* The "-k" at its limit, then one second for each probe. */
    return CMD_LIMIT_S + STOP_PROBES + FORCE_PROBES;
}

/* Probes up to probes times, 1 s apart; TRUE as soon as one finds the tool
 * gone. func names the caller in the log. */
static int wait_modem_down(const char *func, int probes)
{
    for (int probe = 1; probe <= probes; probe++) {
        if (!is_modem_logging()) {
            /* A probe that the shutdown's budget cut reads as stopped too:
             * the tool may run on, but the shutdown goes on to stat.txt (a
             * later start stops a tool left running). */
            if (command_budget_spent())
                log_line(LOG_SRC, __LINE__, func, "diag tool state unknown: no time left to probe");
            return TRUE;
        }
        if (probe < probes)
            probe_pause();
    }
    return FALSE;
}

static void force_kill_modem(const char *func)
{
    log_line(LOG_SRC, __LINE__, func, "Kill modem diag tool fail, force kill.");
    if (!call_system(CMD_KILL_MODEM))
        log_line(LOG_SRC, __LINE__, func, "CHECK(%s) failed. pkill err",
                 "call_system(\"adb shell busybox pkill -9 \" MODEM_APP_NAME)");
    if (!call_system(CMD_RM_MODEM_PID_FILE))
        log_line(LOG_SRC, __LINE__, func, "CHECK(%s) failed. rm err",
                 "call_system(\"adb shell busybox rm -f \" MODEM_PID_FILE)");
}

/* Stops the running tool, by force if need be; TRUE once it is gone. A
 * "-k" that failed brings the force at once. One that reported success
 * gets STOP_PROBES probes first: a force before the tool has flushed
 * would truncate its newest log. */
static int stop_modem(const char *func)
{
    log_line(LOG_SRC, __LINE__, func, "Modem diag tool is running. now stop it...");
    if (!call_system(CMD_STOP_MODEM)) {
        force_kill_modem(func);
        return wait_modem_down(func, STOP_PROBES);
    }
    if (wait_modem_down(func, STOP_PROBES))
        return TRUE;
    force_kill_modem(func);
    return wait_modem_down(func, FORCE_PROBES);
}

void stop_modem_orDie(void)
{
    int logging = !stop_modem(__func__);

    ASSERT(logging == FALSE, "wait modem down timeout.");
}

void rm_modem_log_dir(void)
{
    char rm_cmd[CMD_BUF_SIZE];

    CHECK_TEXT("call_system(rm_cmd)",
               FORMAT_COMMAND(rm_cmd, CMD_RM_LOG_DIR, l_modem_log_dir) &&
                   call_system(rm_cmd),
               "rm modem log dir failed. proceding...");
}

void mk_modem_log_dir(void)
{
    char cmd[CMD_BUF_SIZE];

    CHECK_TEXT("call_system(\"adb shell busybox chmod -R 777 \" MODEM_PID_DIR)",
               call_system(CMD_OPEN_MODEM_PID_DIR), "chmod err");
    CHECK_TEXT("call_system(cmd)",
               FORMAT_COMMAND(cmd, CMD_MK_LOG_DIR, l_modem_log_dir) &&
                   call_system(cmd),
               "mkdir err");
    CHECK_TEXT("call_system(cmd)",
               FORMAT_COMMAND(cmd, CMD_OPEN_LOG_DIR, l_modem_log_dir) &&
                   call_system(cmd),
               "chmod err");
}

static int push_modem_log_conf(void)
{
    char cmd[CMD_BUF_SIZE];

    return FORMAT_COMMAND(cmd, CMD_PUSH_CONF, l_workdir, MODEM_CONF_FILE,
                          l_modem_log_dir, MODEM_CONF_FILE) &&
           call_system(cmd) == TRUE;
}

int push_modem_log_conf_orDie(void)
{
    ASSERT_TEXT("call_system(cmd) == TRUE", push_modem_log_conf(),
                "push %s from router to modem failed", MODEM_CONF_FILE);
    return TRUE;
}

/* Runs the tool's start command. adb runs in the background with its
 * output discarded: whether the tool came up is learned only by probing
 * (wait_modem_up). */
static int run_start_command(void)
{
    char start_cmd[CMD_BUF_SIZE];
    int fits;

    if (l_zip_level == 0)
        fits = FORMAT_COMMAND(start_cmd, CMD_START_MODEM, MODEM_APP_NAME,
                              l_modem_log_dir, MODEM_CONF_FILE, l_modem_log_dir, l_log_size,
                              l_log_number);
    else
        fits = FORMAT_COMMAND(start_cmd, CMD_START_MODEM_ZIP, MODEM_APP_NAME,
                              l_modem_log_dir, MODEM_CONF_FILE, l_modem_log_dir, l_log_size,
                              l_log_number, l_zip_level);
    return fits && call_system(start_cmd) == TRUE;
}

/* Probes up to START_PROBES times, 1 s apart; TRUE as soon as one finds
 * the tool running. */
static int wait_modem_up(void)
{
    for (int probe = 1; probe <= START_PROBES; probe++) {
        if (is_modem_logging())
            return TRUE;
        if (probe < START_PROBES)
            probe_pause();
    }
    return FALSE;
}

int start_modem_orDie(void)
{
    int logging;

    ASSERT_TEXT("call_system(start_cmd) == TRUE", run_start_command(), "call %s failed!",
                MODEM_APP_NAME);
    logging = wait_modem_up();
    ASSERT(logging == TRUE, "wait modem up timeout.");
    return TRUE;
}

/* The start-up's modem commands again, after a modem reset: wait for the
 * modem, stop a tool that still runs, fresh log directory, DIAG.cfg,
 * start, probe. TRUE once the tool runs; a failure is logged, never
 * fatal. */
static int restart_modem(void)
{
    if (!wait_for_modem()) {
        LOG("modem not reachable through adb");
        return FALSE;
    }
    /* A tool that runs after all (a probe misread, a modem that starts
     * its own) is stopped first: a second one would write into the
     * directory removed under the first. */
    if (is_modem_logging() && !stop_modem(__func__)) {
        LOG("wait modem down timeout.");
        return FALSE;
    }
    rm_modem_log_dir();
    mk_modem_log_dir();
    if (!push_modem_log_conf()) {
        LOG("push %s from router to modem failed", MODEM_CONF_FILE);
        return FALSE;
    }
    if (!run_start_command()) {
        LOG("call %s failed!", MODEM_APP_NAME);
        return FALSE;
    }
    if (!wait_modem_up()) {
        LOG("wait modem up timeout.");
        return FALSE;
    }
    return TRUE;
}

/* Restarts the tool until it runs, pausing 1, 2, 4 ... 30 s between
 * failed attempts so that a modem that keeps failing is not hammered;
 * TRUE once it runs. Gives up when the shutdown begins: it stops the tool
 * and must not find a new one started behind its back. */
static int restart_after_reset(void)
{
    int pause_s = 1;

    while (l_query_running && !l_exiting) {
        LOG("restart modem...");
        if (restart_modem()) {
            LOG("modem up again!");
            /* A shutdown that began during the attempt may have probed
             * before the tool came up: stop it here, as its step would. */
            if (l_exiting && is_modem_logging())
                stop_modem_orDie();
            return TRUE;
        }
        LOG("modem restart failed, next attempt in %d s", pause_s);
        watch_pause(pause_s);
        pause_s = pause_s * 2 > RESTART_PAUSE_MAX_S ? RESTART_PAUSE_MAX_S : pause_s * 2;
    }
    return FALSE;
}

/* True when RESET_PROBES probes in a row, a pause apart, find no tool
 * while no shutdown has begun. l_exiting is read after each probe: the
 * shutdown sets it before it stops the tool, so a probe that saw that
 * stop sees it set. */
static int tool_gone(void)
{
    for (int probe = 1; probe <= RESET_PROBES; probe++) {
        if (probe > 1)
            watch_pause(RESET_PROBE_PAUSE_S);
        if (is_modem_logging() || l_exiting || !l_query_running)
            return FALSE;
    }
    return TRUE;
}

static void end_quiet_run(void)
{
    l_quiet_listings = 0;
    l_next_look = RESET_QUIET_LISTINGS;
}

/* A run of listings without a log name, an adb that answers again and a
 * tool that no longer runs make a modem reset. The files written after
 * the last one listed died with the modem's /run: one miss line says so,
 * counted as one file (at least the one being written). Once a shutdown
 * has begun nothing is decided: its own stop of the tool (and a listing
 * that does not parse) would read as a reset. */
int watch_modem(int had_name, const char *last_log)
{
    char after[LOG_NAME_SIZE + 8];

    if (l_exiting || !l_query_running)
        return FALSE;
    if (had_name) {
        end_quiet_run();
        return FALSE;
    }
    if (l_quiet_listings++ == 0)
        getstimeval(l_quiet_since);
    if (l_quiet_listings < l_next_look)
        return FALSE;
    l_next_look = l_quiet_listings + RESET_QUIET_LISTINGS;
    if (!wait_for_modem()) {
        LOG("modem not reachable through adb, no log listed since %s", l_quiet_since);
        return FALSE;
    }
    if (!tool_gone()) {
        l_next_look = l_quiet_listings + RESET_RUNNING_LISTINGS;
        return FALSE;
    }
    LOG("modem reset: no log listed since %s and %s not running; last log before it: %s",
        l_quiet_since, MODEM_APP_NAME, last_log);
    snprintf(after, sizeof(after), "after %s", last_log);
    journal_miss("modem reset", after);
    end_quiet_run();
    return restart_after_reset();
}
