/*
 * diag_mdlog's lifecycle on the modem. The daemon never remembers whether
 * the tool runs: it probes with pgrep through adb every time. The modem's
 * busybox does the file and process work.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"

#include <stdio.h>
#include <string.h>

#define STOP_PROBES 10
#define START_PROBES 3

int is_modem_logging(void)
{
    char out[CMD_BUF_SIZE];

    /* Only the output counts: an adb that fails silently reads as stopped. */
    memset(out, 0, sizeof(out));
    exe_command(CMD_PROBE_MODEM, out, sizeof(out));
    return out[0] != '\0';
}

void stop_modem_orDie(void)
{
    int logging = TRUE;

    LOG("Modem diag tool is running. now stop it...");
    if (!call_system(CMD_STOP_MODEM)) {
        LOG("Kill modem diag tool fail, force kill.");
        CHECK_TEXT("call_system(\"adb shell busybox pkill -9 \" MODEM_APP_NAME)",
                   call_system(CMD_KILL_MODEM), "pkill err");
        CHECK_TEXT("call_system(\"adb shell busybox rm -f \" MODEM_PID_FILE)",
                   call_system(CMD_RM_MODEM_PID_FILE), "rm err");
    }
    for (int probe = 1; probe <= STOP_PROBES; probe++) {
        logging = is_modem_logging();
        /* A probe that the shutdown's budget cut reads as stopped too: the
         * tool may run on, but the shutdown goes on to stat.txt (a later
         * start stops a tool left running). */
        if (!logging && command_budget_spent())
            LOG("diag tool state unknown: no time left to probe");
        if (!logging)
            return;
        if (probe < STOP_PROBES)
            sleep(1);
    }
    ASSERT(logging == FALSE, "wait modem down timeout.");
}

void rm_modem_log_dir(void)
{
    char rm_cmd[CMD_BUF_SIZE];

    CHECK_TEXT("call_system(rm_cmd)",
               format_command(rm_cmd, sizeof(rm_cmd), CMD_RM_LOG_DIR, l_modem_log_dir) &&
                   call_system(rm_cmd),
               "rm modem log dir failed. proceding...");
}

void mk_modem_log_dir(void)
{
    char cmd[CMD_BUF_SIZE];

    CHECK_TEXT("call_system(\"adb shell busybox chmod -R 777 \" MODEM_PID_DIR)",
               call_system(CMD_OPEN_MODEM_PID_DIR), "chmod err");
    CHECK_TEXT("call_system(cmd)",
               format_command(cmd, sizeof(cmd), CMD_MK_LOG_DIR, l_modem_log_dir) &&
                   call_system(cmd),
               "mkdir err");
    CHECK_TEXT("call_system(cmd)",
               format_command(cmd, sizeof(cmd), CMD_OPEN_LOG_DIR, l_modem_log_dir) &&
                   call_system(cmd),
               "chmod err");
}

int push_modem_log_conf_orDie(void)
{
    char cmd[CMD_BUF_SIZE];

    ASSERT_TEXT("call_system(cmd) == TRUE",
                format_command(cmd, sizeof(cmd), CMD_PUSH_CONF, l_workdir, MODEM_CONF_FILE,
                               l_modem_log_dir, MODEM_CONF_FILE) &&
                    call_system(cmd) == TRUE,
                "push %s from router to modem failed", MODEM_CONF_FILE);
    return TRUE;
}

int start_modem_orDie(void)
{
    char start_cmd[CMD_BUF_SIZE];
    int logging = FALSE, fits;

    if (l_zip_level == 0)
        fits = format_command(start_cmd, sizeof(start_cmd), CMD_START_MODEM, MODEM_APP_NAME,
                              l_modem_log_dir, MODEM_CONF_FILE, l_modem_log_dir, l_log_size,
                              l_log_number);
    else
        fits = format_command(start_cmd, sizeof(start_cmd), CMD_START_MODEM_ZIP, MODEM_APP_NAME,
                              l_modem_log_dir, MODEM_CONF_FILE, l_modem_log_dir, l_log_size,
                              l_log_number, l_zip_level);
    /* adb runs in the background with its output discarded: whether the
     * tool came up is learned only by probing. */
    ASSERT_TEXT("call_system(start_cmd) == TRUE", fits && call_system(start_cmd) == TRUE,
                "call %s failed!", MODEM_APP_NAME);
    for (int probe = 1; probe <= START_PROBES; probe++) {
        logging = is_modem_logging();
        if (logging)
            return TRUE;
        if (probe < START_PROBES)
            sleep(1);
    }
    ASSERT(logging == TRUE, "wait modem up timeout.");
    return TRUE;
}
