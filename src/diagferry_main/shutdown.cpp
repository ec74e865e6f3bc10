/*
 * The orderly shutdown. kill_self runs once per process, on the thread that
 * asked for it (the stop thread after a signal, the keep-alive thread after a
 * network-down verdict), and stops everything in numbered steps, one step
 * function each:
 *
 *   1 the other of stop / keep-alive (LAN broken: restart telnetd first)
 *   2 test thread   3 diag tool on the modem
 *   4 query thread (final listing)   5 pull thread (drain)   6 send thread (drain)
 *   7 clean the modem   8 stat.txt to the PC (LAN sound only; with the
 *     LAN broken it is written to the working directory, unnumbered; when
 *     it cannot be written, its lines go to the log and the steps go on)
 *   8 or 9 close the mobile debug relay (when on)   last: release main.
 *
 * Every run flag is cleared, and its condition signalled, under its paired
 * mutex, so a worker cannot miss the wake-up between its test and its wait.
 *
 * The shutdown's time budget lives here too. From the stop to the end of
 * step 6, every command (the modem's, the pipeline threads' pulls and
 * uploads, those already running included) shares one time budget, sized
 * from the work in flight: shares for the threads' ends, the tool's stop
 * and the final listing, and each file in the pipeline with its own pull
 * and upload limits (at most nine files: five queued and one held by the
 * pull stage, two queued and one held by the send stage); after the final listing it grows to cover the files
 * then in the pipeline. A healthy drain, however large its files, is never
 * cut, while a stalled modem or PC fails what is left within those limits.
 * Step 7 has a short budget of its own, and stat.txt is sent with its own
 * short limit. The command runners (utils.cpp) see the budget through one
 * function, shutdown_cap_ms, and log what it refuses or kills.
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

/* ---- the shutdown's time budget */

/* End of the shutdown's command budget in whole seconds on monotonic_ms's
 * clock, 0 while there is none: written by kill_self's steps (the thread
 * running the shutdown; no other writer), read by every command runner on
 * every thread through shutdown_cap_ms. A word-sized atomic: a 32-bit
 * router has no lock-free 64-bit one. */
static std::atomic<long> l_budget_end_s(0);

/* The whole second at least seconds from now: a budget is never shorter
 * than asked. monotonic_ms drops the part of a millisecond, so a whole
 * second on it is rounded up too. */
static long second_after(int seconds)
{
    return (long)((monotonic_ms() + 1000) / 1000) + seconds;
}

long long shutdown_cap_ms(void)
{
    return (long long)l_budget_end_s * 1000;
}

void command_budget_start(int seconds)
{
    l_budget_end_s = second_after(seconds);
}

/* Moves the end of a running budget (a spent one too) to at least seconds
 * from now; returns the seconds it added (0 without a budget). */
static int command_budget_extend(int seconds)
{
    long end = l_budget_end_s, want = second_after(seconds);

    if (end == 0 || want <= end)
        return 0;
    l_budget_end_s = want;
    return (int)(want - end);
}

void command_budget_end(void)
{
    l_budget_end_s = 0;
}

int command_budget_spent(void)
{
    long long cap = shutdown_cap_ms();

    return cap != 0 && cap <= monotonic_ms();
}

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

/* ---- threads and their flags */

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

/* Every line of the steps is a line of kill_self, whichever step function
 * prints it. */
#define STEP_LOG(fmt, ...) log_line(LOG_SRC, __LINE__, "kill_self", fmt, ##__VA_ARGS__)
#define STEP_CHECK(text, cond, msg)                                      \
    do {                                                                 \
        if (!(cond))                                                     \
            STEP_LOG("CHECK(%s) failed. " msg, text);                    \
    } while (0)

/* Clears a run flag and wakes its thread, holding the paired mutex. */
static void stop_flag(std::atomic<int> *flag, pthread_mutex_t *mutex, pthread_cond_t *cond)
{
    pthread_mutex_lock(mutex);
    *flag = 0;
    pthread_cond_signal(cond);
    pthread_mutex_unlock(mutex);
}

/* Joins one worker with the CHECK lines of the join rule. A thread that
 * was never created, or the calling thread itself, counts as a failed
 * join. */
static void join_worker(const char *name, pthread_t tid, const std::atomic<int> &started)
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
        STEP_LOG("CHECK(%s) failed. error trying to join with %s thread, ret:%d", expr, name, ret);
        return;
    }
    int res = (int)(intptr_t)value;
    if (res != 0)
        STEP_LOG("CHECK(res == 0) failed. the %s thread exit with an unexpected value: %d", name,
                 res);
}

/* ---- the steps of kill_self, in their order */

/* The guard: TRUE for the one caller that runs the shutdown. */
static int begin_shutdown(int signo)
{
    int first;

    pthread_mutex_lock(&l_mutex);
    first = !l_exiting;
    if (first) {
        l_exiting = 1;
        l_killer_tid = pthread_self();
    }
    pthread_mutex_unlock(&l_mutex);
    if (!first)
        STEP_LOG("already in exiting, omit the signal %d", signo);
    return first;
}

/* 1, LAN broken: the PC is gone. Frees the router's telnet for the next
 * engineer, then wakes the stop thread so that it ends. */
static void stop_stop_thread(void)
{
    call_system(CMD_KILL_CLI);
    STEP_CHECK("call_system(\"killall -9 telnetd\")", call_system(CMD_KILL_TELNETD),
               "fail to kill telnetd");
    STEP_CHECK("call_system(\"telnetd\")", call_system(CMD_START_TELNETD),
               "fail to start telnetd");
    STEP_LOG("[%d]stop stop-thread...", 1);
    if (l_my_pid <= 0)
        die_line(LOG_SRC, __LINE__, "kill_self", "[PROTOCOL]ASSERT(%s) failed. bad pid",
                 "l_my_pid > 0");
    kill(l_my_pid, SIGTERM);
    join_worker("stop", l_stop_tid, l_stop_started);
}

/* 1, LAN sound. */
static void stop_keep_alive_thread(void)
{
    STEP_LOG("[%d]stop keep-alive-thread...", 1);
    stop_flag(&l_keep_alive_running, &l_mutex, &l_keep_alive_cond);
    join_worker("keep_alive", l_keep_alive_tid, l_keep_alive_started);
}

/* 2 */
static void stop_test_thread(void)
{
    STEP_LOG("[%d]stop test thread...", 2);
    stop_flag(&l_test_running, &l_mutex, &l_test_cond);
    join_worker("test", l_test_tid, l_test_started);
}

/* 3 */
static void stop_diag_tool(void)
{
    STEP_LOG("[%d]stop diag tool in modem...", 3);
    if (is_modem_logging())
        stop_modem_orDie();
}

/* 4: the query thread makes its final listing as it ends. */
static void stop_query_thread(void)
{
    STEP_LOG("[%d]stop query thread...", 4);
    stop_flag(&l_query_running, &l_mutex, &l_query_cond);
    join_worker("query", l_query_tid, l_query_started);
}

/* 5: the pull thread drains its queue; it may be waiting for room in the
 * send queue, so that wait is woken too. */
static void stop_pull_thread(void)
{
    STEP_LOG("[%d]stop pull thread...", 5);
    stop_flag(&l_pull_running, &l_pull_queue_mutex, &l_pull_queue_cond);
    pthread_mutex_lock(&l_send_queue_mutex);
    pthread_cond_signal(&l_send_space_cond);
    pthread_mutex_unlock(&l_send_queue_mutex);
    join_worker("pull", l_pull_tid, l_pull_started);
}

/* 6: the send thread drains its queue. */
static void stop_send_thread(void)
{
    STEP_LOG("[%d]stop send thread...", 6);
    stop_flag(&l_send_running, &l_send_queue_mutex, &l_send_queue_cond);
    join_worker("send", l_send_tid, l_send_started);
}

/* 7, with a budget of its own. */
static void clean_modem(void)
{
    command_budget_start(CLEAN_BUDGET_S);
    STEP_LOG("[%d]clean modem cache...", 7);
    rm_modem_log_dir();
    STEP_CHECK("call_system(\"adb shell busybox chmod -R 755 \" MODEM_PID_DIR)",
               call_system(CMD_CLOSE_MODEM_PID_DIR), "chmod err");
    end_budget(CLEAN_BUDGET_S);
}

/* step, LAN sound: stat.txt written and sent. A file that could not be
 * written is not sent (its statistics are in the log instead); one that
 * could not be sent stays in the working directory. */
static void send_statistics(int step)
{
    double spent_time = 0;

    STEP_LOG("[%d]send statistic file...", step);
    if (!write_stat_file())
        return;
    int sent = send_to_pc(STAT_FILE, 1, 0, &spent_time) != -1;
    STEP_CHECK("send_to_pc(STAT_FILE, 1, 0, &spent_time) != -1", sent,
               "Send statistic file failed.");
    if (!sent)
        STEP_LOG("statistic file kept in %s%s", l_workdir, STAT_FILE);
}

/* LAN broken, no step of its own: the PC is gone, so the statistics wait
 * in the working directory for the engineer. */
static void keep_statistics(void)
{
    if (write_stat_file())
        STEP_LOG("statistic file kept in %s%s", l_workdir, STAT_FILE);
}

/* step, with the relay on. */
static void close_mobile_debug(int step)
{
    STEP_LOG("[%d]close mobile debug...", step);
    set_mobile_debug(0);
}

/* The last step: main joins this thread and exits. */
static void release_main(int step)
{
    STEP_LOG("[%d]stop main thread...", step);
    stop_flag(&l_main_running, &l_mutex, &l_main_cond);
}

int kill_self(int signo)
{
    int budget_s, step;

    if (!begin_shutdown(signo))
        return FALSE;
    budget_s = shutdown_budget_s();
    command_budget_start(budget_s);
    STEP_LOG("%s exiting...", APP_NAME);
    if (l_lan_broken) /* 1 */
        stop_stop_thread();
    else
        stop_keep_alive_thread();
    stop_test_thread();  /* 2 */
    stop_diag_tool();    /* 3 */
    stop_query_thread(); /* 4 */
    budget_s += extend_budget_for_drain();
    stop_pull_thread(); /* 5 */
    stop_send_thread(); /* 6 */
    end_budget(budget_s);
    clean_modem(); /* 7 */
    step = 7;
    if (!l_lan_broken)
        send_statistics(++step); /* 8 */
    else
        keep_statistics();
    if (l_mobile_debug)
        close_mobile_debug(++step); /* 8 or 9 */
    release_main(++step);           /* 8, 9 or 10 */
    LOG_BANNER(l_lan_broken ? "keep alive thread exited" : "stop thread exited");
    return TRUE;
}
