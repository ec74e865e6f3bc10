/*
 * Status: one log line that says how the run stands, printed on SIGUSR1
 * and every "router.status_interval" seconds (the heartbeat), and the
 * heartbeat's request for a statistics snapshot, which the send stage
 * uploads when it is idle (send.cpp).
 *
 * Both are answered by the stop thread, which has nothing else to do
 * between its start and the stop signal: its signal wait ends for SIGUSR1
 * and at each heartbeat. What the line shows is read without waiting on a
 * stage: atomic counters and stamps, the queues' own mutexes for a moment,
 * and l_status_mutex, held only to copy the last delivery. No command runs
 * for it. The stages report here: the query thread a listing it could read,
 * the keep-alive thread each probe, the send thread each delivery.
 *
 * The stop thread is done with its wait before the shutdown destroys the
 * queues: it runs the shutdown itself, or the LAN-broken shutdown joins it
 * in its first step.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/status.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/query.h"
#include "diagferry_main/send.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"

#define MB_BYTES 1048576.0 /* the diag tool's MB, as for "modem.log.size" */

/* The run's start on the monotonic clock (main's first line, before any
 * thread); every time below is in seconds since then. */
static struct timespec l_start;
/* Last listing that could be read and parsed, -1 before the first (query
 * thread). */
static std::atomic<int> l_listing_ok_s(-1);
/* Unanswered ARP probes in a row at the last probe, -1 before the first
 * (keep-alive thread). */
static std::atomic<int> l_pc_misses(-1);
/* The last delivery and the bytes delivered so far, written by the send
 * thread and copied by print_status, both under l_status_mutex. */
static pthread_mutex_t l_status_mutex = PTHREAD_MUTEX_INITIALIZER;
static char l_newest[LOG_NAME_SIZE];
static int l_newest_s = -1;
static long long l_sent_bytes;
/* When the next heartbeat is due (stop thread). */
static double l_next_beat;
/* The heartbeat asks the send stage for a snapshot (set by the stop
 * thread under l_send_queue_mutex, cleared by the send thread). */
std::atomic<int> l_snapshot_wanted(0);

void status_start(void)
{
    sigset_t usr1;

    timer_start(&l_start);
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, NULL);
}

static int seconds_now(void)
{
    return (int)timer_end(&l_start);
}

void status_listing_ok(void)
{
    l_listing_ok_s = seconds_now();
}

void status_probed(int misses)
{
    l_pc_misses = misses;
}

void status_delivered(const char *name, long long bytes)
{
    pthread_mutex_lock(&l_status_mutex);
    snprintf(l_newest, sizeof(l_newest), "%s", name);
    l_newest_s = seconds_now();
    l_sent_bytes += bytes;
    pthread_mutex_unlock(&l_status_mutex);
}

/* "newest 20261207_064002_118_07.qmdl 3 s ago": the name without the
 * prefix every log name has, its odd bytes shown as "\xNN". */
static void format_newest(char *buf, size_t size, const char *name, int at_s, int now_s)
{
    char shown[PRINTABLE_NAME_SIZE];

    if (!name[0]) {
        snprintf(buf, size, "newest none");
        return;
    }
    printable_name(name + LOG_NAME_PREFIX_LEN, shown);
    snprintf(buf, size, "newest %s %d s ago", shown, now_s - at_s);
}

static const char *format_pc(char *buf, size_t size)
{
    int misses = l_pc_misses;

    if (misses < 0)
        return "PC not probed yet";
    if (misses == 0)
        return "PC answers";
    snprintf(buf, size, "PC silent for %d probe(s)", misses);
    return buf;
}

void print_status(void)
{
    char name[LOG_NAME_SIZE], newest[PRINTABLE_NAME_SIZE + 32], listing[48], pc[48];
    int now = seconds_now(), at_s, listing_s = l_listing_ok_s;
    long long bytes;

    pthread_mutex_lock(&l_status_mutex);
    memcpy(name, l_newest, sizeof(name));
    at_s = l_newest_s;
    bytes = l_sent_bytes;
    pthread_mutex_unlock(&l_status_mutex);
    format_newest(newest, sizeof(newest), name, at_s, now);
    if (listing_s < 0)
        snprintf(listing, sizeof(listing), "listing never ok");
    else
        snprintf(listing, sizeof(listing), "listing ok %d s ago", now - listing_s);
    LOG("up %dh%02dm%02ds | detect %d pull %d send %d (%.1f MB) miss %d dup %d | "
        "queued pull %d/%d send %d/%d | %s | %s | %s",
        now / 3600, now / 60 % 60, now % 60, l_detect.load(), l_pull.load(), l_send.load(),
        bytes / MB_BYTES, l_miss.load(), l_dup.load(), queue_size(&l_need_pull_queue),
        PULL_QUEUE_SLOTS, queue_size(&l_need_send_queue), SEND_QUEUE_SLOTS, newest, listing,
        format_pc(pc, sizeof(pc)));
}

int status_wait(const sigset_t *set, int *signo)
{
    struct timespec wait;
    double now, due;

    if (l_status_interval <= 0)
        return sigwait(set, signo);
    if (l_next_beat == 0)
        l_next_beat = l_status_interval;
    for (;;) {
        now = timer_end(&l_start);
        due = l_next_beat - now;
        if (due <= 0) {
            /* Due on a fixed grid from the start; one that came late
             * (a suspended router) starts the grid afresh. */
            l_next_beat += l_status_interval;
            if (l_next_beat <= now)
                l_next_beat = now + l_status_interval;
            *signo = 0;
            return 0;
        }
        wait.tv_sec = (time_t)due;
        wait.tv_nsec = (long)((due - (double)wait.tv_sec) * 1e9);
        int got = sigtimedwait(set, NULL, &wait);
        if (got > 0) {
            *signo = got;
            return 0;
        }
        /* EINTR: the process was stopped and continued. */
        if (errno != EAGAIN && errno != EINTR)
            return errno;
    }
}

void status_event(int signo)
{
    /* A LAN-broken shutdown runs on the keep-alive thread while the stop
     * thread still waits: it is left alone. */
    if (l_exiting)
        return;
    print_status();
    if (signo != 0)
        return;
    /* Set under the send stage's mutex, so that the send thread cannot
     * test the flag, miss it and sleep through the signal. */
    pthread_mutex_lock(&l_send_queue_mutex);
    l_snapshot_wanted = 1;
    pthread_cond_signal(&l_send_queue_cond);
    pthread_mutex_unlock(&l_send_queue_mutex);
}
