/*
 * shutdown: kill_self, the orderly shutdown in numbered steps, and its time
 * budget. Owns the threads' ids and started flags, their run flags with
 * l_mutex and the timed conditions, l_exiting and l_lan_broken. main
 * creates the threads here and waits on l_main_cond; the stop and
 * keep-alive threads call kill_self; every worker watches its run flag.
 */
#ifndef DIAGFERRY_SHUTDOWN_H
#define DIAGFERRY_SHUTDOWN_H

#include <pthread.h>
#include <signal.h>

#include <atomic>

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
 * Runs the orderly shutdown on the calling thread. FALSE at once when a
 * shutdown is already under way (logged: nothing else changes). TRUE when
 * this thread ran the shutdown to its end: the caller must then end its
 * thread at once with the value l_lan_broken (its thread body returns it:
 * no pthread_exit, which would load the unwinder at run time on the
 * router).
 */
int kill_self(int signo);
/*
 * The shutdown's time budget, owned by shutdown.cpp; the command runners
 * see it only through shutdown_cap_ms (utils.h). Between
 * command_budget_start(seconds) and command_budget_end(), every command
 * ends when the budget does (those already running on other threads
 * included) and a command started once it is spent is not run at all;
 * command_budget_spent() is TRUE in that last case.
 * pipeline_budget_s: what the files in the pipeline may still take, each
 * file queued for the pull or being pulled its pull and upload limits,
 * each one queued for the upload or being uploaded its upload limit.
 * shutdown_budget_s: the budget at the stop, that plus the shares of the
 * threads' ends, the tool's stop and the final listing.
 * extend_budget_for_drain: after the final listing, gives the files then
 * in the pipeline (those it queued too) at least their limits from now;
 * returns the seconds it added.
 */
void command_budget_start(int seconds);
void command_budget_end(void);
int command_budget_spent(void);
int pipeline_budget_s(void);
int shutdown_budget_s(void);
int extend_budget_for_drain(void);

#endif
