/*
 * Keep-alive thread: probes the PC with ARP about every ten seconds and,
 * after six unanswered probes in a row, declares the LAN broken and runs the
 * shutdown itself.
 *
 * Lock discipline: l_mutex is held only around the ten-second wait on
 * l_keep_alive_cond, which the shutdown signals after clearing
 * l_keep_alive_running under the same mutex.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/keep_alive.h"

#include <stdint.h>

#include "arp.h"
#include "utils.h"
#include "diagferry_main/pc_ip.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/status.h"

/* Waits up to the probe interval, or until the shutdown signals. The flag is
 * tested under the mutex so that a stop that comes between the probe and
 * the wait is not lost for ten seconds. */
static void keep_alive_wait(void)
{
    struct timespec deadline;

    maketimeout_s(&deadline, KEEP_ALIVE_INTERVAL_S);
    pthread_mutex_lock(&l_mutex);
    if (l_keep_alive_running)
        pthread_cond_timedwait(&l_keep_alive_cond, &l_mutex, &deadline);
    pthread_mutex_unlock(&l_mutex);
}

void *keep_alive_thread(void *)
{
    int miss = 0;

    LOG_BANNER("keep alive thread start");
    init_arp(l_pc_ip);
    while (l_keep_alive_running) {
        if (check_arp()) {
            miss = 0;
        } else {
            miss++;
            LOG("arp req no reply. %d", miss);
        }
        status_probed(miss);
        if (!l_keep_alive_running)
            break;
        if (miss == KEEP_ALIVE_MAX_MISS) {
            LOG("Network down detect.");
            l_lan_broken = 1;
            /* Ran the whole shutdown, unless a signal shutdown was already
             * under way: then the cycle goes on until this thread is stopped. */
            if (kill_self(-1))
                return (void *)(intptr_t)l_lan_broken.load();
        }
        if (!l_keep_alive_running && l_exiting)
            break;
        keep_alive_wait();
        if (!l_keep_alive_running && l_exiting)
            break;
    }
    LOG_BANNER("keep alive thread exited");
    return NULL;
}
