/*
 * diag_mdlog's lifecycle on the modem. The daemon never remembers whether
 * the tool runs: it probes with pgrep through adb every time. The modem's
 * busybox does the file and process work.
 *
 * adb's own exit status is not trusted for anything that matters: an older
 * modem makes every "adb shell" exit 0 and mixes the command's complaints
 * into its output. The probe decides, by the shape of its output.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/modem.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "commands.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/shutdown.h"

/* Probes, 1 s apart, a stopping tool gets: after a "-k" that reported
 * success, before any force (the tool may take seconds to flush its newest
 * log); after a failed "-k", after the force that follows it at once. */
#define STOP_PROBES 10
/* Probes after a force that had to follow a "-k" reported as done (an
 * older modem reports every command as done, a failed "-k" too). */
#define FORCE_PROBES 3
#define START_PROBES 3

/* The tool's start, apart from its probes. */
enum { START_CMD_FAILED = -1, START_NOT_UP = 0, START_UP = 1 };

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
            sleep(1);
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

/* Starts the tool and probes for it: START_UP, START_NOT_UP after the
 * probes, or START_CMD_FAILED when the command itself failed. */
static int start_modem(void)
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
    /* adb runs in the background with its output discarded: whether the
     * tool came up is learned only by probing. */
    if (!fits || call_system(start_cmd) != TRUE)
        return START_CMD_FAILED;
    for (int probe = 1; probe <= START_PROBES; probe++) {
        if (is_modem_logging())
            return START_UP;
        if (probe < START_PROBES)
            sleep(1);
    }
    return START_NOT_UP;
}

int start_modem_orDie(void)
{
    int started = start_modem();
    int logging = started == START_UP;

    ASSERT_TEXT("call_system(start_cmd) == TRUE", started != START_CMD_FAILED,
                "call %s failed!", MODEM_APP_NAME);
    ASSERT(logging == TRUE, "wait modem up timeout.");
    return TRUE;
}

int restart_modem(void)
{
    int started;

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
    started = start_modem();
    if (started == START_CMD_FAILED)
        LOG("call %s failed!", MODEM_APP_NAME);
    else if (started == START_NOT_UP)
        LOG("wait modem up timeout.");
    return started == START_UP;
}
