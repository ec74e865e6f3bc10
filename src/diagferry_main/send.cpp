/*
 * Send stage: uploads each pulled file to the PC's TFTP server with
 * busybox tftp, logs the time it took and deletes the router's copy.
 *
 * Lock discipline: the thread holds l_send_queue_mutex only while it waits
 * on l_send_queue_cond (signalled by a push of the pull thread or by the
 * shutdown) and pops, signalling l_send_space_cond after every pop; it
 * uploads with no lock held. At shutdown it drains what is left, holding
 * l_send_queue_mutex throughout.
 *
 * When the queue is empty and the heartbeat has asked for one (status.cpp),
 * it also sends the statistics snapshot: never beside or before a log
 * file, and never once a shutdown has begun (stat.txt takes over then).
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/send.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "commands.h"
#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/pc_ip.h"
#include "diagferry_main/query.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"
#include "diagferry_main/status.h"

/* An upload may take SEND_BASE_S plus one second per SEND_MIN_MB_PER_S
 * megabytes of the configured file size: TFTP over a 100 Mbit LAN moves
 * about 10 MB/s, so a healthy upload never comes near it (100 MB: about
 * 10 s of a 130 s limit), while a PC that accepts and then trickles or goes
 * silent no longer holds the send stage for ever. The base is longer than
 * busybox tftp's own give-up time (about 13 s), so a PC that is gone fails
 * the way tftp reports it. */
#define SEND_BASE_S 30
#define SEND_MIN_MB_PER_S 1.0
/* stat.txt is a few kilobytes and is sent after the shutdown's command
 * budget has ended: its own short limit (still past tftp's give-up time)
 * keeps the end of the shutdown bounded. The snapshot is as small, and its
 * limit bounds how long it can keep the next log file waiting. */
#define STAT_SEND_LIMIT_S 15

int log_send_limit_s(void)
{
    return scaled_limit_s(SEND_BASE_S, l_log_size, SEND_MIN_MB_PER_S);
}

static int send_limit_s(const char *name)
{
    if (strcmp(name, STAT_FILE) == 0 || strcmp(name, SNAPSHOT_FILE) == 0)
        return STAT_SEND_LIMIT_S;
    return log_send_limit_s();
}

/* 1 while the send thread uploads a name it popped: set by the send
 * thread as it pops, under l_send_queue_mutex, and cleared after the
 * upload; read by the shutdown's time budget under that mutex. */
std::atomic<int> l_send_busy(0);

queue_t l_need_send_queue;                                      /* pull -> send, 2 names */
pthread_mutex_t l_send_queue_mutex = PTHREAD_MUTEX_INITIALIZER; /* compound use of that queue */
pthread_cond_t l_send_queue_cond = PTHREAD_COND_INITIALIZER;   /* a name was pushed */
pthread_cond_t l_send_space_cond = PTHREAD_COND_INITIALIZER;   /* a name was popped */
/* The summary of the last snapshot the PC received (send thread): a
 * snapshot is sent only when the counters have moved since. */
static char l_snapshot_summary[SUMMARY_SIZE] = "detect:0 pull:0 send:0 miss:0 dup:0";
/* A snapshot upload failed: the next one waits until a log file has gone
 * through again, so that a PC that is away costs one snapshot's time
 * limit, not one per heartbeat (send thread). */
static int l_snapshot_held;

/* retry and flags are carried for the callers' sake; nothing depends on them. */
int send_to_pc(const char *name, int retry, int flags, double *spent)
{
    char local[PATH_BUF_SIZE + LOG_NAME_SIZE];
    char cmd[CMD_BUF_SIZE];
    char quoted[QUOTED_NAME_SIZE];
    struct timespec timer;
    int ok = FALSE;

    (void)retry;
    (void)flags;
    snprintf(local, sizeof(local), "%s%s", l_workdir, name);
    timer_start(&timer);
    /* The name comes from the modem: quoted, it can never run a command on
     * the router. A command that would not fit is not run at all. */
    if (shell_quote(name, quoted, sizeof(quoted)) &&
        FORMAT_COMMAND(cmd, CMD_SEND_TO_PC, l_workdir, quoted, quoted, l_pc_ip))
        ok = call_system_limit(cmd, send_limit_s(name));
    *spent = timer_end(&timer);
    /* A log file that failed is journalled as missed and dropped (the
     * working directory is RAM and the modem goes on writing). The
     * statistics file is the run's only copy: it stays when it failed. */
    if (ok != TRUE && strcmp(name, STAT_FILE) == 0)
        return -1;
    CHECK(unlink(local) == 0, "fail to unlink [%s], errno: %d", local, errno);
    return ok == TRUE ? 1 : -1;
}

void do_send(const char *name)
{
    char local[PATH_BUF_SIZE + LOG_NAME_SIZE];
    struct stat st;
    double spent = 0;

    /* Its size for the status line, while the copy is still there. */
    snprintf(local, sizeof(local), "%s%s", l_workdir, name);
    if (stat(local, &st) != 0)
        st.st_size = 0;
    if (send_to_pc(name, 1, 0, &spent) == -1) {
        LOG("send [%s] from router to PC failed", name);
        journal_miss("send", name);
        return;
    }
    LOG("send log from router to PC in %.3lfs", spent);
    l_send++;
    l_snapshot_held = 0;
    status_delivered(name, (long long)st.st_size);
}

/* Writes the statistics afresh and uploads them, so that the snapshot
 * counts exactly the files uploaded before it: at the PC, the log files
 * older than it are those it counts as sent. It is no log file: a failure
 * is one line, never a miss. */
static void do_send_snapshot(void)
{
    char summary[SUMMARY_SIZE];
    double spent = 0;

    l_snapshot_wanted = 0;
    format_stat_summary(summary, sizeof(summary));
    if (l_exiting || l_snapshot_held || strcmp(summary, l_snapshot_summary) == 0)
        return;
    if (!write_stat_snapshot(summary, sizeof(summary)))
        return;
    if (send_to_pc(SNAPSHOT_FILE, 1, 0, &spent) == -1) {
        LOG("send statistics snapshot to PC failed");
        l_snapshot_held = 1;
        return;
    }
    LOG("statistics snapshot sent to PC: %s (%.3lfs)", summary, spent);
    snprintf(l_snapshot_summary, sizeof(l_snapshot_summary), "%s", summary);
}

void *send_thread(void *)
{
    char log[LOG_NAME_SIZE];

    memset(log, 0, sizeof(log));
    LOG_BANNER("send thread start");
    while (l_send_running) {
        pthread_mutex_lock(&l_send_queue_mutex);
        while (queue_is_empty(&l_need_send_queue) && l_send_running &&
               !(l_snapshot_wanted && !l_exiting))
            pthread_cond_wait(&l_send_queue_cond, &l_send_queue_mutex);
        if (queue_is_empty(&l_need_send_queue)) {
            pthread_mutex_unlock(&l_send_queue_mutex);
            if (!l_send_running)
                break;
            do_send_snapshot();
            continue;
        }
        int popped = queue_pop(&l_need_send_queue, log);
        pthread_cond_signal(&l_send_space_cond);
        CHECK_TEXT("queue_pop(&l_need_send_queue, log)", popped, "queue pop err");
        l_send_busy = popped;
        pthread_mutex_unlock(&l_send_queue_mutex);
        if (popped)
            do_send(log);
        l_send_busy = 0;
    }
    /* Drain at shutdown: the pull thread has ended, so the send queue no
     * longer grows. (Inline: its lines are the thread's own.) */
    pthread_mutex_lock(&l_send_queue_mutex);
    for (unsigned int pos = 0; pos < (unsigned int)queue_size(&l_need_send_queue); pos++) {
        if (!queue_at(&l_need_send_queue, pos, log))
            break;
        if (l_lan_broken) {
            LOG("omit [%s] in send queue: lan broken", log);
            journal_miss("omit send queue", log);
        } else {
            LOG("post processing...");
            do_send(log);
        }
    }
    pthread_mutex_unlock(&l_send_queue_mutex);
    queue_destory(&l_need_send_queue);
    LOG_BANNER("send thread exited");
    return NULL;
}
