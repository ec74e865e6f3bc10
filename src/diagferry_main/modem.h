/*
 * modem: diag_mdlog's lifecycle on the modem through adb (probe, stop,
 * start, its log directory and DIAG.cfg, the reset decision and the
 * restart after a reset). Owns the reset watch's counters; the tool's
 * state itself is always asked by a probe. Called by main at start-up, by
 * the query stage after each listing (watch_modem) and by the shutdown.
 */
#ifndef DIAGFERRY_MODEM_H
#define DIAGFERRY_MODEM_H

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
/* The query thread's report after each listing of a running stage:
 * had_name when it held a log name, last_log the last log accepted. Enough
 * listings in a row without one, and two probes a second apart that find
 * no tool, make a modem reset: journalled, then the tool restarted until
 * it runs or a shutdown begins. Cannot fail; returns TRUE when the tool
 * was restarted (a fresh directory, ids from 00 again). */
int watch_modem(int had_name, const char *last_log);

#endif
