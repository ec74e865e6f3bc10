/*
 * commands: every command line the daemon runs, in one place. This is the
 * daemon's whole conversation with the outside: the modem through adb, the
 * PC through busybox tftp, and the router's own programs.
 *
 * Each line runs through /bin/sh (exe_command / call_system, with a time
 * limit). "%s" arguments are filled by FORMAT_COMMAND (below):
 *  - directories come from the configuration file and are checked at
 *    start-up (absolute, letters, digits and "_ . / -" only);
 *  - log names come from the modem: checked against the form of a diag log
 *    name by the query stage, then quoted with shell_quote.
 * The names of the programs killed by name are fixed here, never taken from
 * outside. The diag tool's name and its pid file come from the MODEM_*
 * macros (src/diagferry_main/modem.h), which every user of
 * these lines sees.
 */
#ifndef DIAGFERRY_COMMANDS_H
#define DIAGFERRY_COMMANDS_H

/* ---- the diag tool on the modem (modem.cpp) */
/* answered by the adb server: returns once the modem is online (run with a
 * time limit: it waits for ever for a modem that is not there) */
#define CMD_WAIT_FOR_MODEM "adb wait-for-device"
#define CMD_PROBE_MODEM "adb shell busybox pgrep " MODEM_APP_NAME
#define CMD_STOP_MODEM "adb shell " MODEM_APP_NAME " -k"
#define CMD_KILL_MODEM "adb shell busybox pkill -9 " MODEM_APP_NAME
#define CMD_RM_MODEM_PID_FILE "adb shell busybox rm -f " MODEM_PID_FILE
#define CMD_OPEN_MODEM_PID_DIR "adb shell busybox chmod -R 777 " MODEM_PID_DIR
#define CMD_CLOSE_MODEM_PID_DIR "adb shell busybox chmod -R 755 " MODEM_PID_DIR
/* %s: log directory */
#define CMD_RM_LOG_DIR "adb shell busybox rm -rf %s"
#define CMD_MK_LOG_DIR "adb shell busybox mkdir -p %s"
#define CMD_OPEN_LOG_DIR "adb shell busybox chmod -R 777 %s"
/* working directory, MODEM_CONF_FILE, log directory, MODEM_CONF_FILE */
#define CMD_PUSH_CONF "adb push %s%s %s%s 2>/dev/null"
/* MODEM_APP_NAME, log directory, MODEM_CONF_FILE, log directory, size in
 * MB, count[, zip level] */
#define CMD_START_MODEM "adb shell nohup %s -f %s%s -o %s -s %lf -n %d >/dev/null 2>&1 &"
#define CMD_START_MODEM_ZIP \
    "adb shell nohup %s -f %s%s -o %s -s %lf -n %d -z %d >/dev/null 2>&1 &"

/* ---- the pipeline (query.cpp, pull.cpp, send.cpp) */
/* %s: log directory */
#define CMD_LIST_LOGS "adb shell \"cd %s && ls -1 --color=never diag_log_*.qmdl*\""
/* log directory, quoted name, working directory, quoted name */
#define CMD_PULL_LOG "adb pull %s%s %s%s 2>&1"
/* working directory, quoted name, quoted name, PC address */
#define CMD_SEND_TO_PC "busybox tftp -p -l %s%s -r %s %s -b 16384 2>/dev/null"

/* ---- the router itself */
#define CMD_TELNET_CONNECTIONS "netstat -nt | grep :23" /* pc_ip.cpp */
/* LAN-broken shutdown: free the router's telnet (shutdown.cpp) */
#define CMD_KILL_CLI "killall -9 cli"
#define CMD_KILL_TELNETD "killall -9 telnetd"
#define CMD_START_TELNETD "telnetd"
/* the mobile manager's debug relay (mobile_relay.cpp) */
#define CMD_KILL_MOBILE "killall -9 mobile"
#define CMD_OPEN_MOBILE_DEBUG "mobile_cli opendebug 1&"
#define CMD_KILL_MOBILE_ALL "killall -9 mobile mobile_cli"
#define CMD_START_MOBILE "mobile&"

/*
 * Formats one of the lines above into cmd, a char array, with
 * format_command: TRUE when it fits. A line that does not fit is never run
 * cut short: it is logged where it was built ("command too long, not run:"
 * and its first 80 bytes), cmd is emptied, and the result is FALSE.
 */
#define FORMAT_COMMAND(cmd, fmt, ...)                                    \
    (format_command(cmd, sizeof(cmd), fmt, ##__VA_ARGS__) ||              \
     (LOG("command too long, not run: %.80s...", cmd), (cmd)[0] = '\0', FALSE))

#endif
