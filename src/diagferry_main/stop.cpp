/*
 * Stop thread and pid file. The main thread creates the pid file at
 * start-up, before any command runs, and holds a lock (flock) on it until
 * the process ends: a second start and "diagferry -k" tell a live file
 * from a stale one by that lock, never by the pid or a process name. The
 * stop thread announces the pid, then consumes exactly one of SIGTERM,
 * SIGINT, SIGHUP (blocked in every thread, so only this sigwait sees them;
 * SIGUSR1 and the heartbeat meanwhile print the status line, see
 * status.cpp) and runs the orderly shutdown, unless the keep-alive thread
 * has declared the LAN broken and runs it itself: its SIGTERM only wakes
 * this thread so that it can end.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/stop.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>

#include "utils.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/status.h"

/* Owner-writable only: "-k" runs as root and signals whatever pid the file
 * names, so nobody else may write it. */
#define PID_FILE_MODE 0644
/* Rounds of open, lock and check before the start-up gives up: a round is
 * lost only when a -k or another start removed or replaced the file
 * within it. */
#define PID_FILE_TRIES 10
/* A live holder writes its pid right after it has taken the lock; a start
 * that finds the lock held in between waits this long for the pid. */
#define PID_WRITE_WAIT_US 100000

/* The daemon's pid as written to the pid file (main thread, at start-up);
 * atomic because the keep-alive thread's shutdown reads it to signal the
 * stop thread. */
std::atomic<pid_t> l_my_pid;
/* The pid file, open and locked from create_pid_file (main thread, before
 * any command runs) to the process's end; close-on-exec, so no program the
 * daemon starts keeps the lock after it. */
static int l_pid_fd = -1;

int pid_file_names(int fd)
{
    struct stat held, named;

    return fstat(fd, &held) == 0 && lstat(PID_FILE, &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

/* The pid in the pid file open as fd: its text up to the first NUL, at
 * most nine characters; 0 when it holds none. */
static int held_pid(int fd)
{
    char buf[PID_FILE_SIZE];
    ssize_t n = pread(fd, buf, PID_FILE_SIZE - 1, 0);

    buf[n > 0 ? n : 0] = '\0';
    return atoi(buf);
}

/* Opens the pid file, creating it, and tries its lock: TRUE with the
 * descriptor in *out and *locked set; FALSE when the path changed in
 * between (a symbolic link removed, a file a -k removed or replaced): try
 * again. */
static int open_pid_file(int *out, int *locked)
{
    int fd = open(PID_FILE, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, PID_FILE_MODE);

    /* A symbolic link, dangling or not, is removed and never followed. */
    if (fd < 0 && errno == ELOOP && unlink(PID_FILE) == 0)
        return FALSE;
    ASSERT(fd >= 0, "cannot create pid file. errno:%d", errno);
    *locked = flock(fd, LOCK_EX | LOCK_NB) == 0;
    ASSERT(*locked || errno == EWOULDBLOCK, "cannot lock pid file. errno:%d", errno);
    /* A -k removes a stale file while it holds the lock: a lock won on a
     * file that no longer has the name protects nothing. */
    if (!pid_file_names(fd)) {
        close(fd);
        return FALSE;
    }
    *out = fd;
    return TRUE;
}

void create_pid_file(void)
{
    char buf[PID_FILE_SIZE];
    int fd = -1, locked = 0, pid;

    /* tries: the failed rounds so far. */
    for (int tries = 1; !open_pid_file(&fd, &locked); tries++)
        ASSERT(tries < PID_FILE_TRIES, "pid file keeps changing");
    if (!locked) {
        pid = held_pid(fd);
        if (pid <= 0) {
            usleep(PID_WRITE_WAIT_US);
            pid = held_pid(fd);
        }
        ASSERT_TEXT("flock(fd, LOCK_EX | LOCK_NB) == 0", locked, "%s already running, pid: %d",
                    APP_NAME, pid);
    }
    l_pid_fd = fd;
    l_my_pid = getpid();
    /* The decimal pid, then NULs up to the tenth byte; no newline. A
     * stale file is overwritten in place (it keeps its inode: a start or a
     * -k may hold it open), then cut to the ten bytes. */
    memset(buf, 0, sizeof(buf));
    snprintf(buf, sizeof(buf), "%d", (int)l_my_pid);
    if (pwrite(fd, buf, sizeof(buf), 0) != (ssize_t)sizeof(buf) ||
        ftruncate(fd, PID_FILE_SIZE) != 0) {
        /* a short write is ignored: -k reads what is there */
    }
}

void remove_pid_file(void)
{
    /* Only while the name is still this instance's own file: one that
     * replaced it (after ours was removed by hand) is another's. */
    if (l_pid_fd >= 0 && pid_file_names(l_pid_fd))
        unlink(PID_FILE);
}

void *stop_thread(void *)
{
    sigset_t set = l_mask;
    int signo = 0;

    LOG_BANNER("stop thread start");
    LOG("%s started, pid: %d", APP_NAME, (int)l_my_pid);
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
