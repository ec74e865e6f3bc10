/*
 * status: the status line (SIGUSR1 and the heartbeat) and the heartbeat's
 * snapshot request. Owns l_snapshot_wanted (set here, taken by the send
 * stage) and the stamps the stages report. main starts it; the stop thread
 * waits and answers through it.
 */
#ifndef DIAGFERRY_STATUS_H
#define DIAGFERRY_STATUS_H

#include <signal.h>

#include <atomic>

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

#endif
