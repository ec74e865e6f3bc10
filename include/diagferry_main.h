/*
 * diagferry_main: the daemon itself. One module spread over the files of
 * src/diagferry_main/, one file per concern, all logging as
 * "src/diagferry_main":
 *
 *   main.cpp         command line, -k, start-up sequence, final wait (the
 *                    only file outside the library diagferry_core)
 *   config.cpp       the settings and the configuration file
 *   modem.cpp        diag_mdlog's lifecycle on the modem through adb
 *   mobile_relay.cpp the mobile manager's debug output relay
 *   query.cpp        query stage: listing, selection, sequence check
 *   pull.cpp         pull stage: adb pull into the working directory
 *   send.cpp         send stage: busybox tftp to the PC
 *   stat.cpp         counters, journals and stat.txt
 *   status.cpp       the status line, the heartbeat and its snapshot
 *   pc_ip.cpp        the PC's address from the telnet connection
 *   keep_alive.cpp   ARP keep-alive thread
 *   stop.cpp         stop thread and the pid file with its lock
 *   shutdown.cpp     kill_self: the numbered orderly shutdown
 *   test_thread.cpp  the dial-once and net-monitor scenarios
 *
 * Threads, queues and shutdown in one picture:
 *
 *   query --l_need_pull_queue(5)--> pull --l_need_send_queue(2)--> send --> PC
 *     |  once a second                 |  waits for room                |
 *     +-- l_mutex/l_query_cond         +-- l_send_space_cond            +-- l_send_queue_cond
 *
 *   keep-alive (ARP every 10 s) and stop (sigwait) both end in kill_self,
 *   which runs once (l_exiting) and stops: the other of the two, test,
 *   diag tool, query (final listing), pull (drain), send (drain), then
 *   cleans the modem, sends stat.txt and releases main.
 *
 * Lock order, never reversed: l_pull_queue_mutex, l_send_queue_mutex,
 * l_stat_mutex, a queue's own mutex. l_mutex is always taken alone.
 *
 * The declarations below are what the module's files share with each other
 * (and with the unit tests); state used by one file only stays static there.
 */
#ifndef DIAGFERRY_MAIN_H
#define DIAGFERRY_MAIN_H

#include <atomic>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>

#include "commands.h"
#include "queue.h"
#include "utils.h"

#define APP_NAME "diagferry"
#define PID_FILE "/var/run/diagferry.pid"
#define PID_FILE_SIZE 10

/* ---- settings (config.cpp): written while the file is read, then read-only */
#define JSON_MAX_SIZE 4096
#define ROUTER_MODE_MANUAL 0
#define ROUTER_MODE_DIAL_ONCE 1
#define ROUTER_MODE_NET_MONITOR 2

extern double l_log_size;
extern int l_log_number;
extern int l_zip_level;
extern char l_modem_log_dir[PATH_BUF_SIZE];
extern char l_workdir[PATH_BUF_SIZE];
extern int8_t l_router_mode;
extern int l_mobile_debug;
/* Seconds between heartbeats (status line and snapshot), 0 for none. */
#define STATUS_INTERVAL_DEFAULT 60
#define STATUS_INTERVAL_MAX 86400
extern int l_status_interval;

/* The bytes of a directory component or log name that need no quoting
 * and that an honest diag tool's file names are made of. */
#define SAFE_NAME_CHARS "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-"

int parse_conf_file(const char *path);
/* True for a directory setting that is safe in a command line and as the
 * target of "rm -rf": an absolute path of letters, digits and "_ . / -"
 * that ends in "/", at least two directories deep (never "/" or "/run/"),
 * with no "." or ".." component. */
int is_safe_dir(const char *dir);
/* Refuses unsafe directory settings (ASSERT) and warns when the working
 * directory cannot hold four log files; before any command runs. */
void check_settings_orDie(void);

/* ---- modem (modem.cpp) */
#define MODEM_APP_NAME "diag_mdlog"
#define MODEM_PID_DIR "/run/"
#define MODEM_PID_FILE "/run/diag_mdlog_pid"
#define MODEM_CONF_FILE "DIAG.cfg"

/* How long the modem may take to come online through adb. A freshly
 * started adb server reports it "offline" for a few tens of ms; one that is
 * not plugged in never comes. */
#define MODEM_WAIT_S 5

/* True once adb reports the modem online, within MODEM_WAIT_S. */
int wait_for_modem(void);
int is_modem_logging(void);
/* True for a probe's output that lists processes: pids, digits only. */
int is_pid_list(const char *out);
/* Stops the tool: "-k", up to ten probes 1 s apart, then the forced kill
 * (at once when "-k" failed) and its probes; ends the process when it
 * still runs. */
void stop_modem_orDie(void);
/* The longest a healthy stop of the tool takes, in seconds: its share of
 * the shutdown's time budget. */
int modem_stop_budget_s(void);
void rm_modem_log_dir(void);
void mk_modem_log_dir(void);
int push_modem_log_conf_orDie(void);
int start_modem_orDie(void);
/* The start-up's modem commands again, after a modem reset: wait for the
 * modem, stop a tool that still runs, fresh log directory, DIAG.cfg,
 * start, probe. True once the tool runs; a failure is logged, never
 * fatal. */
int restart_modem(void);

/* ---- the PC (pc_ip.cpp) */
#define PC_IP_SIZE 16
extern char l_pc_ip[PC_IP_SIZE];
int get_pc_ip(char *pc_ip);
/* The connection-table parser of get_pc_ip, on text already captured. */
int parse_pc_ip(const char *table, char *pc_ip);

/* ---- log names and the pipeline (query.cpp, pull.cpp, send.cpp) */
#define LOG_NAME_MAX 40
#define LOG_NAME_SIZE (LOG_NAME_MAX + 1)
#define LOG_NAME_PREFIX_LEN 9 /* "diag_log_" */
#define LOG_ID_POS 29
#define LOG_ID_MAX 99
#define LOG_LIST_MAX 20
#define PULL_QUEUE_SLOTS 5
#define SEND_QUEUE_SLOTS 2
/* The longest log name quoted for the shell, with its NUL. */
#define QUOTED_NAME_SIZE (LOG_NAME_MAX * 4 + 3)
/* A listed name made printable for the log, with its NUL. */
#define PRINTABLE_NAME_SIZE (LOG_NAME_MAX * 4 + 1)

extern queue_t l_need_pull_queue;
extern queue_t l_need_send_queue;
extern pthread_mutex_t l_pull_queue_mutex;
extern pthread_cond_t l_pull_queue_cond;
extern pthread_mutex_t l_send_queue_mutex;
extern pthread_cond_t l_send_queue_cond;
extern pthread_cond_t l_send_space_cond;

void *query_thread(void *arg);
/* One listing and its selection; 0 when the listing could not be read or
 * parsed (nothing changed), else 1. */
int do_query(void);
void check_log_id(const char *name);
/* The longest the shutdown's final listing takes when healthy, in
 * seconds: its share of the shutdown's time budget. */
int final_query_budget_s(void);
/* Splits a listing into at most LOG_LIST_MAX names; the count, or -1 when
 * the listing is refused. */
int parse_log_list(const char *out, char names[][LOG_NAME_SIZE]);
/* True for a name an honest listing of "diag_log_*.qmdl*" can print. */
int is_log_name(const char *name);
/* name with control, non-ASCII and backslash bytes as "\xNN". */
void printable_name(const char *name, char out[PRINTABLE_NAME_SIZE]);

void *pull_thread(void *arg);
void do_pull(const char *name);
/* The time limit of one log file's pull, in seconds (grows with the size). */
int pull_limit_s(void);
/* 1 while the pull thread holds a popped name (read under l_pull_queue_mutex). */
extern std::atomic<int> l_pull_busy;

void *send_thread(void *arg);
void do_send(const char *name);
int send_to_pc(const char *name, int retry, int flags, double *spent);
/* The time limit of one log file's upload, in seconds (grows with the size). */
int log_send_limit_s(void);
/* 1 while the send thread uploads a popped name (read under l_send_queue_mutex). */
extern std::atomic<int> l_send_busy;

/* ---- statistics (stat.cpp) */
#define STAT_FILE "stat.txt"
/* The statistics as they stood at a moment of the run, sent while the
 * daemon runs; never a log name (no "diag_log_"), never stat.txt. */
#define SNAPSHOT_FILE "stat.snapshot.txt"
#define SUMMARY_SIZE 100
#define JOURNAL_LINE_SIZE 256

typedef struct {
    char *str; /* NUL-terminated text on the heap */
    int size;  /* bytes in use including the NUL */
    int cap;   /* bytes allocated */
} stat_str;

extern stat_str l_miss_str;
extern stat_str l_dup_str;
extern pthread_mutex_t l_stat_mutex;
extern std::atomic<int> l_detect;
extern std::atomic<int> l_pull;
extern std::atomic<int> l_send;
extern std::atomic<int> l_miss;
extern std::atomic<int> l_dup;

void init_stat_str(stat_str *s);
void print_to_stat_str(stat_str *des, const char *text);
/* Writes stat.txt and frees the journals. On failure (a CHECK line) the
 * statistics go to the log line by line instead and the result is FALSE:
 * there is no file to send. */
int write_stat_file(void);
/* "detect:%d pull:%d send:%d miss:%d dup:%d" with the counters now. */
void format_stat_summary(char *buf, size_t size);
/* Writes the statistics as they stand into the snapshot file, its summary
 * also into summary; FALSE (logged) when it could not be written. */
int write_stat_snapshot(char *summary, size_t size);
/* Counts one lost file and journals it: "[time]\t<reason>\t<name>\n". */
void journal_miss(const char *reason, const char *name);

/* ---- threads, flags and shutdown (shutdown.cpp) */
extern pthread_mutex_t l_mutex;
extern pthread_cond_t l_main_cond;
extern pthread_cond_t l_query_cond;
extern pthread_cond_t l_keep_alive_cond;
extern pthread_cond_t l_test_cond;
/* Creates l_query_cond, l_keep_alive_cond and l_test_cond on the monotonic
 * clock of maketimeout_s's deadlines; main calls it once, before any
 * thread exists. */
void init_timed_conds(void);

extern std::atomic<int> l_main_running;
extern std::atomic<int> l_query_running;
extern std::atomic<int> l_pull_running;
extern std::atomic<int> l_send_running;
extern std::atomic<int> l_keep_alive_running;
extern std::atomic<int> l_test_running;
extern std::atomic<int> l_exiting;
extern std::atomic<int> l_lan_broken;

extern sigset_t l_mask;
extern pthread_t l_query_tid, l_pull_tid, l_send_tid, l_keep_alive_tid, l_stop_tid, l_test_tid;
/* Set once each thread has been created: the shutdown joins only those. */
extern std::atomic<int> l_query_started, l_pull_started, l_send_started, l_keep_alive_started,
    l_stop_started, l_test_started;
/* The thread that ran kill_self, for main's single join. */
extern pthread_t l_killer_tid;

void pthread_create_orDie(pthread_t *thread, const pthread_attr_t *attr,
                          void *(*start_routine)(void *));
/*
 * Runs the orderly shutdown on the calling thread. Returns 0 at once when a
 * shutdown is already under way; otherwise returns 1 once the shutdown is
 * done, and the caller must then end its thread at once with the value
 * l_lan_broken (its thread body returns it: no pthread_exit, which would
 * load the unwinder at run time on the router).
 */
int kill_self(int signo);
/*
 * The shutdown's time budget (see command_budget_start), in seconds.
 * pipeline_budget_s: what the files in the pipeline may still take, each
 * file queued for the pull or being pulled its pull and upload limits,
 * each one queued for the upload or being uploaded its upload limit.
 * shutdown_budget_s: the budget at the stop, that plus the shares of the
 * threads' ends, the tool's stop and the final listing.
 * extend_budget_for_drain: after the final listing, gives the files then
 * in the pipeline (those it queued too) at least their limits from now;
 * returns the seconds it added.
 */
int pipeline_budget_s(void);
int shutdown_budget_s(void);
int extend_budget_for_drain(void);

/* ---- stop thread and pid file (stop.cpp) */
extern std::atomic<pid_t> l_my_pid;
void *stop_thread(void *arg);
/* Creates the pid file, takes its lock for the rest of the run and writes
 * the pid; refuses (ASSERT) when a live instance holds the lock. Main
 * thread, before any command runs. */
void create_pid_file(void);
/* At the exit: removes the pid file if it is still this instance's own. */
void remove_pid_file(void);
/* True while PID_FILE names the file open as fd (not removed, not
 * replaced by another). */
int pid_file_names(int fd);

/* ---- keep-alive (keep_alive.cpp) */
#define KEEP_ALIVE_INTERVAL_S 10
#define KEEP_ALIVE_MAX_MISS 6
void *keep_alive_thread(void *arg);

/* ---- status line and heartbeat (status.cpp) */
extern std::atomic<int> l_snapshot_wanted;
/* main's very first call: the run's start time, and SIGUSR1 blocked in
 * every thread to come, so that one sent before the stop thread waits for
 * it stays pending instead of ending the process. */
void status_start(void);
/* One log line on the state of the run; runs no command, waits on no
 * stage. Only while the queues exist. */
void print_status(void);
/* The stop thread's signal wait: 0 with *signo set to the signal, or to 0
 * when the heartbeat is due; an error number when the wait failed. */
int status_wait(const sigset_t *set, int *signo);
/* SIGUSR1 (signo) or the heartbeat (0): the status line, and for the
 * heartbeat a snapshot request to the send stage; nothing during a
 * shutdown. */
void status_event(int signo);
/* What the stages report for the line. */
void status_listing_ok(void);
void status_probed(int misses);
void status_delivered(const char *name, long long bytes);

/* ---- test scenarios and mobile relay (test_thread.cpp, mobile_relay.cpp) */
void *test_thread(void *arg);
int set_mobile_debug(int flag);
void *listen_mobile_thread(void *arg);
/* The relay's two pauses: after starting the manager, before its debug
 * switch (a second), and the closing's limit (two seconds). For the unit
 * tests; the daemon never changes them. */
void set_mobile_relay_pauses(int start_ms, int close_ms);

#endif
