/*
 * The orderly shutdown. kill_self runs once per process, on the thread that
 * asked for it (the stop thread after a signal, the keep-alive thread after a
 * network-down verdict), and stops everything in numbered steps:
 *
 *   1 the other of stop / keep-alive (LAN broken: restart telnetd first)
 *   2 test thread   3 diag tool on the modem
 *   4 query thread (final listing)   5 pull thread (drain)   6 send thread (drain)
 *   7 clean the modem   8 stat.txt to the PC (LAN sound only; with the
 *     LAN broken it is written to the working directory, unnumbered; when
 *     it cannot be written, its lines go to the log and the steps go on)
 *   then close the mobile debug relay (when on) and release main.
 *
 * Every run flag is cleared, and its condition signalled, under its paired
 * mutex, so a worker cannot miss the wake-up between its test and its wait.
 *
 * From the stop to the end of step 6, every command (the modem's, the
 * pipeline threads' pulls and uploads, those already running included)
 * shares one time budget, sized from the work in flight: shares for the
 * threads' ends, the tool's stop and the final listing, and each file in
 * the pipeline with its own pull and upload limits; after the final
 * listing it grows to cover the files then in the pipeline. A healthy
 * drain, however large its files, is never cut, while a stalled modem or
 * PC fails what is left within those limits. Step 7 has a short budget of
 * its own, and stat.txt is sent with its own short limit.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/shutdown.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>

#include "commands.h"
#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/mobile_relay.h"
#include "diagferry_main/modem.h"
#include "diagferry_main/pull.h"
#include "diagferry_main/query.h"
#include "diagferry_main/send.h"
#include "diagferry_main/stat.h"
#include "diagferry_main/stop.h"

/* The ends of the keep-alive thread (an ARP probe in progress) and of the
 * test thread (a DNS diagnosis given up within a second): their share of
 * the shutdown's budget. The modem cleanup has a budget of its own, so
 * that a PC that trickles the drain does not leave the modem uncleaned. */
#define THREADS_STOP_S 2
#define CLEAN_BUDGET_S 5

int pipeline_budget_s(void)
{
    int pulls, sends, pull_s = pull_limit_s(), send_s = log_send_limit_s();

    /* Both stage mutexes, in their order: a name between two places (just
     * popped, or being handed from the pull to the send queue) is then
     * counted, never missed. */
    pthread_mutex_lock(&l_pull_queue_mutex);
    pthread_mutex_lock(&l_send_queue_mutex);
    pulls = queue_size(&l_need_pull_queue) + l_pull_busy;
    sends = queue_size(&l_need_send_queue) + l_send_busy;
    pthread_mutex_unlock(&l_send_queue_mutex);
    pthread_mutex_unlock(&l_pull_queue_mutex);
    return pulls * (pull_s + send_s) + sends * send_s;
}

int shutdown_budget_s(void)
{
    return THREADS_STOP_S + modem_stop_budget_s() + final_query_budget_s() + pipeline_budget_s();
}

int extend_budget_for_drain(void)
{
    return command_budget_extend(pipeline_budget_s());
}

/* Ends a budget, saying when it ran out. */
static void end_budget(int seconds)
{
    if (command_budget_spent())
        LOG("time budget of %d s spent: the commands past it failed", seconds);
    command_budget_end();
}

pthread_mutex_t l_mutex = PTHREAD_MUTEX_INITIALIZER; /* l_exiting and the timed waits */
pthread_cond_t l_main_cond = PTHREAD_COND_INITIALIZER; /* main's final wait */
/* The conditions of the timed waits, set up by init_timed_conds. */
pthread_cond_t l_query_cond;      /* query's 1 s wait and its restart pauses */
pthread_cond_t l_keep_alive_cond; /* keep-alive's 10 s wait */
pthread_cond_t l_test_cond;       /* test scenario waits */

void init_timed_conds(void)
{
    pthread_condattr_t attr;
    pthread_cond_t *conds[] = {&l_query_cond, &l_keep_alive_cond, &l_test_cond};

    /* The static initialiser would measure their deadlines on the wall
     * clock, which can step. */
    ASSERT(pthread_condattr_init(&attr) == 0 &&
               pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) == 0,
           "no monotonic clock for the timed waits");
    for (pthread_cond_t *cond : conds)
        ASSERT(pthread_cond_init(cond, &attr) == 0, "cannot create a timed wait");
    pthread_condattr_destroy(&attr);
}

/* Run flags: 1 from the start, cleared only here. */
std::atomic<int> l_main_running(1), l_query_running(1), l_pull_running(1), l_send_running(1),
    l_keep_alive_running(1), l_test_running(1);
std::atomic<int> l_exiting(0);    /* a shutdown is under way (set here, under l_mutex) */
std::atomic<int> l_lan_broken(0); /* the PC stopped answering (keep-alive thread) */
pthread_t l_killer_tid;           /* the thread running kill_self, joined by main */
sigset_t l_mask; /* SIGTERM, SIGINT, SIGHUP: blocked by main everywhere, sigwait'ed by stop */

/* Worker thread ids, each written once by main when its thread is created,
 * and the flag that says it was: a shutdown during start-up joins only those. */
pthread_t l_query_tid, l_pull_tid, l_send_tid, l_keep_alive_tid, l_stop_tid, l_test_tid;
std::atomic<int> l_query_started(0), l_pull_started(0), l_send_started(0),
    l_keep_alive_started(0), l_stop_started(0), l_test_started(0);

void pthread_create_orDie(pthread_t *thread, const pthread_attr_t *attr,
                          void *(*start_routine)(void *))
{
    int ret = pthread_create(thread, attr, start_routine, NULL);
    ASSERT_TEXT("pthread_create(__newthread, __attr, __start_routine, __arg) == 0", ret == 0,
                "Can't create thread, exit");
}

/* Clears a run flag and wakes its thread, holding the paired mutex. */
static void stop_flag(std::atomic<int> *flag, pthread_mutex_t *mutex, pthread_cond_t *cond)
{
    pthread_mutex_lock(mutex);
    *flag = 0;
    pthread_cond_signal(cond);
    pthread_mutex_unlock(mutex);
}

/* Joins one worker with the CHECK lines of the join rule, logged under the
 * caller's name (kill_self). A thread that was never created, or the calling
 * thread itself, counts as a failed join. */
static void join_worker(const char *func, const char *name, pthread_t tid,
                        const std::atomic<int> &started)
{
    char expr[64];
    void *value = NULL;
    int ret;

    if (!started)
        ret = ESRCH;
    else if (pthread_equal(tid, pthread_self()))
        ret = EDEADLK;
    else
        ret = pthread_join(tid, &value);
    snprintf(expr, sizeof(expr), "(ret = pthread_join(l_%s_tid, (void **)&res)) == 0", name);
    if (ret != 0) {
        log_line(LOG_SRC, __LINE__, func,
                 "CHECK(%s) failed. error trying to join with %s thread, ret:%d", expr, name, ret);
        return;
    }
    int res = (int)(intptr_t)value;
    if (res != 0)
        log_line(LOG_SRC, __LINE__, func,
                 "CHECK(res == 0) failed. the %s thread exit with an unexpected value: %d", name,
                 res);
}

int kill_self(int signo)
{
    int n, budget_s;

    pthread_mutex_lock(&l_mutex);
    if (l_exiting) {
        pthread_mutex_unlock(&l_mutex);
        LOG("already in exiting, omit the signal %d", signo);
        return 0;
    }
    l_exiting = 1;
    l_killer_tid = pthread_self();
    pthread_mutex_unlock(&l_mutex);
    budget_s = shutdown_budget_s();
    command_budget_start(budget_s);

    LOG("%s exiting...", APP_NAME);
    if (l_lan_broken) {
        /* The PC is gone: free the router's telnet for the next engineer,
         * then wake the stop thread so that it ends. */
        call_system(CMD_KILL_CLI);
        CHECK_TEXT("call_system(\"killall -9 telnetd\")", call_system(CMD_KILL_TELNETD),
                   "fail to kill telnetd");
        CHECK_TEXT("call_system(\"telnetd\")", call_system(CMD_START_TELNETD),
                   "fail to start telnetd");
        LOG("[%d]stop stop-thread...", 1);
        ASSERT(l_my_pid > 0, "bad pid");
        kill(l_my_pid, SIGTERM);
        join_worker(__func__, "stop", l_stop_tid, l_stop_started);
    } else {
        LOG("[%d]stop keep-alive-thread...", 1);
        stop_flag(&l_keep_alive_running, &l_mutex, &l_keep_alive_cond);
        join_worker(__func__, "keep_alive", l_keep_alive_tid, l_keep_alive_started);
    }

    LOG("[%d]stop test thread...", 2);
    stop_flag(&l_test_running, &l_mutex, &l_test_cond);
    join_worker(__func__, "test", l_test_tid, l_test_started);

    LOG("[%d]stop diag tool in modem...", 3);
    if (is_modem_logging())
        stop_modem_orDie();

    LOG("[%d]stop query thread...", 4);
    stop_flag(&l_query_running, &l_mutex, &l_query_cond);
    join_worker(__func__, "query", l_query_tid, l_query_started);
    budget_s += extend_budget_for_drain();

    LOG("[%d]stop pull thread...", 5);
    stop_flag(&l_pull_running, &l_pull_queue_mutex, &l_pull_queue_cond);
    pthread_mutex_lock(&l_send_queue_mutex);
    pthread_cond_signal(&l_send_space_cond);
    pthread_mutex_unlock(&l_send_queue_mutex);
    join_worker(__func__, "pull", l_pull_tid, l_pull_started);

    LOG("[%d]stop send thread...", 6);
    stop_flag(&l_send_running, &l_send_queue_mutex, &l_send_queue_cond);
    join_worker(__func__, "send", l_send_tid, l_send_started);

    end_budget(budget_s);
    command_budget_start(CLEAN_BUDGET_S);
    LOG("[%d]clean modem cache...", 7);
    rm_modem_log_dir();
    CHECK_TEXT("call_system(\"adb shell busybox chmod -R 755 \" MODEM_PID_DIR)",
               call_system(CMD_CLOSE_MODEM_PID_DIR), "chmod err");
    end_budget(CLEAN_BUDGET_S);
    n = 7;

    if (!l_lan_broken) {
        double spent_time = 0;
        LOG("[%d]send statistic file...", 8);
        /* A file that could not be written is not sent: its statistics
         * are in the log instead. */
        if (write_stat_file()) {
            int sent = send_to_pc(STAT_FILE, 1, 0, &spent_time) != -1;
            CHECK_TEXT("send_to_pc(STAT_FILE, 1, 0, &spent_time) != -1", sent,
                       "Send statistic file failed.");
            if (!sent)
                LOG("statistic file kept in %s%s", l_workdir, STAT_FILE);
        }
        n = 8;
    } else if (write_stat_file()) {
        /* The PC is gone: the statistics wait in the working directory for
         * the engineer, outside the numbered steps. */
        LOG("statistic file kept in %s%s", l_workdir, STAT_FILE);
    }
    if (l_mobile_debug) {
        n++;
        LOG("[%d]close mobile debug...", n);
        set_mobile_debug(0);
    }

    LOG("[%d]stop main thread...", n + 1);
    stop_flag(&l_main_running, &l_mutex, &l_main_cond);
    LOG_BANNER(l_lan_broken ? "keep alive thread exited" : "stop thread exited");
    return 1;
}
