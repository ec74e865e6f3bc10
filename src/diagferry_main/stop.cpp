/*
 * Stop thread: publishes the daemon's pid for "diagferry -k", then consumes
 * exactly one of SIGTERM, SIGINT, SIGHUP (blocked in every thread, so only
 * this sigwait sees them; SIGUSR1 and the heartbeat meanwhile print the
 * status line, see status.cpp) and runs the orderly shutdown, unless the
 * keep-alive thread has declared the LAN broken and runs it itself: its
 * SIGTERM only wakes this thread so that it can end.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

/* Owner-writable only: "-k" runs as root and signals whatever pid the file
 * names, so nobody else may write it. */
#define PID_FILE_MODE 0644

/* The daemon's pid as written to the pid file (stop thread); atomic because
 * the keep-alive thread's shutdown reads it to signal the stop thread. */
std::atomic<pid_t> l_my_pid;

void create_pid_file(void)
{
    char buf[PID_FILE_SIZE];
    int fd;

    /* A stale file (or one of a second instance) is simply replaced, and
     * so is a symbolic link, dangling or not: unlink never follows it, and
     * O_NOFOLLOW below refuses one that appears in between. */
    unlink(PID_FILE);
    l_my_pid = getpid();
    fd = open(PID_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, PID_FILE_MODE);
    ASSERT(fd >= 0, "cannot create pid file. errno:%d", errno);
    /* The decimal pid, then NULs up to the tenth byte; no newline. */
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", (int)l_my_pid);
    if (write(fd, buf, sizeof(buf)) != (ssize_t)sizeof(buf)) {
        /* a short write is ignored: -k reads what is there */
    }
    close(fd);
    LOG("%s started, pid: %d", APP_NAME, (int)l_my_pid);
}

void *stop_thread(void *)
{
    sigset_t set = l_mask;
    int signo = 0;

    LOG_BANNER("stop thread start");
    create_pid_file();
    /* SIGUSR1 and the heartbeat are answered here; only a stop signal
     * ends the wait. */
    sigaddset(&set, SIGUSR1);
    for (;;) {
        ASSERT_TEXT("sigwait(&l_mask, &signo) == 0", status_wait(&set, &signo) == 0,
                    "sigwait failed");
        if (signo != 0 && signo != SIGUSR1)
            break;
        status_event(signo);
    }
    LOG("stop thread: receive a signal: %d", signo);
    /* After a completed shutdown this thread ends with l_lan_broken, which
     * is 1 only if a network-down verdict raced the signal. */
    if (!l_lan_broken && kill_self(signo))
        return (void *)(intptr_t)l_lan_broken.load();
    return NULL;
}
