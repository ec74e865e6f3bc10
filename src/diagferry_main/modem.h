/*
 * modem: diag_mdlog's lifecycle on the modem through adb (probe, stop,
 * start, restart after a reset, its log directory and DIAG.cfg). Keeps no
 * state: every question is a probe. Called by main at start-up, by the
 * query stage after a reset and by the shutdown.
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
/* The start-up's modem commands again, after a modem reset: wait for the
 * modem, stop a tool that still runs, fresh log directory, DIAG.cfg,
 * start, probe. True once the tool runs; a failure is logged, never
 * fatal. */
int restart_modem(void);

#endif
