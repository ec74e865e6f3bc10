/*
 * Pull stage: copies each queued log file from the modem into the router's
 * working directory with adb pull and hands the name to the send stage.
 *
 * Lock discipline: the thread holds l_pull_queue_mutex only while it waits
 * on l_pull_queue_cond (signalled by a push of the query thread or by the
 * shutdown) and pops; it pulls with no lock held. As the send stage's
 * producer it waits on l_send_space_cond under l_send_queue_mutex while the
 * send queue is full, so no file is lost between pull and send while the
 * daemon runs. At shutdown it drains what is left, holding
 * l_pull_queue_mutex throughout.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/pull.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "commands.h"
#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/query.h"
#include "diagferry_main/send.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"

/* A pull may take CMD_LIMIT_S plus one second per PULL_MIN_MB_PER_S
 * megabytes of the configured file size before it counts as stalled: USB 2.0
 * moves about 35 MB/s, so a healthy pull never comes near it (100 MB:
 * about 3 s of a 60 s limit), while a stalled link no longer stops the
 * pipeline for ever. */
#define PULL_MIN_MB_PER_S 2.0

int pull_limit_s(void)
{
    return scaled_limit_s(CMD_LIMIT_S, l_log_size, PULL_MIN_MB_PER_S);
}

/* 1 while the pull thread holds a name it popped (pulling it or waiting
 * for room for it): set by the pull thread as it pops, under
 * l_pull_queue_mutex, and cleared when it is done with the name; read by
 * the shutdown's time budget under that mutex. */
std::atomic<int> l_pull_busy(0);

/* A pull killed at its limit leaves what it had copied so far (adb removes
 * a partial file only when it ends by itself): that copy is no log and
 * would stay in the working directory, RAM on a router, for ever. */
static void remove_partial_copy(const char *name)
{
    char path[PATH_BUF_SIZE];
    int n = snprintf(path, sizeof(path), "%s%s", l_workdir, name);

    if (n > 0 && (size_t)n < sizeof(path))
        unlink(path);
}

void do_pull(const char *name)
{
    char cmd[CMD_BUF_SIZE];
    char out[CMD_BUF_SIZE];
    char quoted[QUOTED_NAME_SIZE];

    /* The name comes from the modem: quoted, it can never run a command on
     * the router. */
    if (!shell_quote(name, quoted, sizeof(quoted)) ||
        !FORMAT_COMMAND(cmd, CMD_PULL_LOG, l_modem_log_dir, quoted, l_workdir,
                        quoted) ||
        !exe_command_limit(cmd, out, sizeof(out), pull_limit_s())) {
        LOG("pull [%s] from modem to router failed", name);
        journal_miss("pull", name);
        remove_partial_copy(name);
        return;
    }
    LOG("pull log from modem to router. %s", out);
    l_pull++;

    /* The send thread outlives this one (the shutdown joins it after the
     * pull thread), so with the LAN sound a file pulled during the drain
     * still waits for room and is delivered. Only a broken LAN ends the
     * wait once the run flag is clear. */
    pthread_mutex_lock(&l_send_queue_mutex);
    while (queue_is_full(&l_need_send_queue) && (l_pull_running || !l_lan_broken))
        pthread_cond_wait(&l_send_space_cond, &l_send_queue_mutex);
    if (!queue_is_full(&l_need_send_queue)) {
        CHECK(queue_push(&l_need_send_queue, name), "queue push err");
        pthread_cond_signal(&l_send_queue_cond);
    } else {
        /* Only in a LAN-broken shutdown: the pulled copy stays in the
         * workdir. */
        LOG("omit add [%s] to need_send_queue: queue full", name);
        journal_miss("add to send queue", name);
    }
    pthread_mutex_unlock(&l_send_queue_mutex);
}

void *pull_thread(void *)
{
    char log[LOG_NAME_SIZE];

    memset(log, 0, sizeof(log));
    LOG_BANNER("pull thread start");
    while (l_pull_running) {
        pthread_mutex_lock(&l_pull_queue_mutex);
        while (queue_is_empty(&l_need_pull_queue) && l_pull_running)
            pthread_cond_wait(&l_pull_queue_cond, &l_pull_queue_mutex);
        if (queue_is_empty(&l_need_pull_queue)) {
            pthread_mutex_unlock(&l_pull_queue_mutex);
            break;
        }
        int popped = queue_pop(&l_need_pull_queue, log);
        CHECK_TEXT("queue_pop(&l_need_pull_queue, log)", popped, "queue pop err");
        l_pull_busy = popped;
        pthread_mutex_unlock(&l_pull_queue_mutex);
        if (popped)
            do_pull(log);
        l_pull_busy = 0;
    }
    /* Drain at shutdown: the query thread has ended, so the pull queue no
     * longer grows. (Inline: its lines are the thread's own.) */
    pthread_mutex_lock(&l_pull_queue_mutex);
    for (unsigned int pos = 0; pos < (unsigned int)queue_size(&l_need_pull_queue); pos++) {
        if (!queue_at(&l_need_pull_queue, pos, log))
            break;
        if (l_lan_broken) {
            LOG("omit [%s] in pull queue: lan broken", log);
            journal_miss("omit pull queue", log);
        } else {
            LOG("post processing...");
            do_pull(log);
        }
    }
    pthread_mutex_unlock(&l_pull_queue_mutex);
    queue_destory(&l_need_pull_queue);
    LOG_BANNER("pull thread exited");
    return NULL;
}
