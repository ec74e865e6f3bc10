/*
 * utils: log lines, shell command runners and time helpers (see utils.h).
 * Every operation is called from several threads at once. The state is the
 * log output's queue (under l_log_mutex) and the tests' clock skip; the
 * shutdown's time budget is the shutdown's own (shutdown.cpp), which the
 * runners ask through shutdown_cap_ms.
 */
#define LOG_SRC "src/utils"
#include "utils.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <atomic>

extern char **environ;

/* Milliseconds added to every reading of monotonic_ms: 0 in the daemon;
 * written by the unit tests (monotonic_skip_ms), read by every runner and
 * by the shutdown's budget. */
static std::atomic<long> l_skip_ms(0);

/* ---- log output ------------------------------------------------------ */

/* One queued piece of output in l_log_buf: this header, then len bytes. */
struct log_rec {
    int fd;      /* STDOUT_FILENO or STDERR_FILENO */
    int len;     /* bytes of text after the header; 0 for a note alone */
    int dropped; /* lines dropped just before this one, announced first */
    time_t when; /* when it was queued: the time stamp of that note */
};

/* Everything below l_log_mutex guards. Producers (every thread that logs)
 * add records at the head; the writer thread (or, before log_start, the
 * producer itself) writes the record at the tail and only then frees it,
 * so an empty queue means everything was written. The writer holds the
 * lock only to look at the queue, never while it writes. */
static pthread_mutex_t l_log_mutex = PTHREAD_MUTEX_INITIALIZER;
/* Signalled by producers when they queue a record; the writer waits on it. */
static pthread_cond_t l_log_cond = PTHREAD_COND_INITIALIZER;
/* The queue: a ring of records, which may wrap around its end. */
static char l_log_buf[LOG_BUF_SIZE];
/* Offset of the next record (producers), of the oldest (writer), and the
 * bytes queued between them. */
static size_t l_log_head, l_log_tail, l_log_used;
/* Lines lost since the last record queued: no room (producers) or a failed
 * write (writer); the next record queued carries the count. */
static int l_log_dropped;
/* 1 when the last write failed, i.e. the reader has gone (writer). */
static int l_log_failed;
/* 1 once the writer thread runs (log_start). */
static int l_log_started;
/* The record being written, copied out of the ring (writer, or a producer
 * holding the lock before log_start). */
static char l_log_out[LOG_LINE_MAX];

static void ring_put(size_t at, const void *src, size_t n)
{
    size_t first = n < LOG_BUF_SIZE - at ? n : LOG_BUF_SIZE - at;

    memcpy(l_log_buf + at, src, first);
    memcpy(l_log_buf, (const char *)src + first, n - first);
}

static void ring_get(size_t at, void *dst, size_t n)
{
    size_t first = n < LOG_BUF_SIZE - at ? n : LOG_BUF_SIZE - at;

    memcpy(dst, l_log_buf + at, first);
    memcpy((char *)dst + first, l_log_buf, n - first);
}

/* Writes all of text; FALSE on any error (EPIPE for a reader gone). */
static int write_all(int fd, const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, text, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return FALSE;
        text += n;
        len -= (size_t)n;
    }
    return TRUE;
}

/* Fills the log line prefix and formats the message after it into line
 * (LOG_LINE_MAX bytes), cut there if need be; returns the length with the
 * newline. */
static size_t format_line(char *line, time_t when, const char *src, int at, const char *func,
                          const char *fmt, va_list ap)
{
    int n = snprintf(line, LOG_LINE_MAX, "[%ld]%s(%d) %s(): ", (long)when, src, at, func);
    size_t len = n < 0 ? 0 : (size_t)n;

    if (len < LOG_LINE_MAX - 1) {
        n = vsnprintf(line + len, LOG_LINE_MAX - len, fmt, ap);
        len += n < 0 ? 0 : (size_t)n;
    }
    if (len > LOG_LINE_MAX - 1)
        len = LOG_LINE_MAX - 1;
    line[len++] = '\n';
    return len;
}

static size_t format_at(char *line, time_t when, const char *src, int at, const char *func,
                        const char *fmt, ...) __attribute__((format(printf, 6, 7)));
static size_t format_at(char *line, time_t when, const char *src, int at, const char *func,
                        const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    size_t len = format_line(line, when, src, at, func, fmt, ap);
    va_end(ap);
    return len;
}

/* Writes the note for count lines dropped, as a log line of its own. */
static int write_dropped_note(int count, time_t when)
{
    char note[LOG_LINE_MAX];
    size_t len = format_at(note, when, LOG_SRC, __LINE__, __func__,
                           "%d log lines dropped: standard output was not read", count);

    return write_all(STDOUT_FILENO, note, len);
}

/* Writes the record at the tail (its note first) and frees it. Called and
 * returns with l_log_mutex held; the writer thread releases it meanwhile. */
static void write_oldest(int unlock)
{
    struct log_rec rec;
    int ok = TRUE;

    ring_get(l_log_tail, &rec, sizeof(rec));
    ring_get((l_log_tail + sizeof(rec)) % LOG_BUF_SIZE, l_log_out, (size_t)rec.len);
    if (unlock)
        pthread_mutex_unlock(&l_log_mutex);
    int noted = rec.dropped == 0 || write_dropped_note(rec.dropped, rec.when);
    if (rec.len > 0)
        ok = write_all(rec.fd, l_log_out, (size_t)rec.len);
    if (unlock)
        pthread_mutex_lock(&l_log_mutex);
    /* Lines not written count on, the note's own lines included. */
    l_log_dropped += (noted ? 0 : rec.dropped) + (ok ? 0 : 1);
    l_log_failed = !noted || !ok;
    l_log_tail = (l_log_tail + sizeof(rec) + (size_t)rec.len) % LOG_BUF_SIZE;
    l_log_used -= sizeof(rec) + (size_t)rec.len;
}

/* Queues one record under l_log_mutex, or counts it as dropped when the
 * queue has no room for it. */
static void queue_record(int fd, const char *text, size_t len, time_t when)
{
    struct log_rec rec = {fd, (int)len, l_log_dropped, when};
    size_t need = sizeof(rec) + len;

    if (l_log_used + need > LOG_BUF_SIZE) {
        l_log_dropped++;
        return;
    }
    l_log_dropped = 0;
    ring_put(l_log_head, &rec, sizeof(rec));
    ring_put((l_log_head + sizeof(rec)) % LOG_BUF_SIZE, text, len);
    l_log_head = (l_log_head + need) % LOG_BUF_SIZE;
    l_log_used += need;
    pthread_cond_signal(&l_log_cond);
}

/* Queues text; before log_start the caller writes it itself. */
static void put_text(int fd, const char *text, size_t len, time_t when)
{
    pthread_mutex_lock(&l_log_mutex);
    queue_record(fd, text, len, when);
    if (!l_log_started) {
        while (l_log_used > 0)
            write_oldest(FALSE);
    }
    pthread_mutex_unlock(&l_log_mutex);
}

/* The log writer: the record at the tail while there is one; once the
 * queue is empty after lines were dropped and the output takes lines
 * again, a note alone, so that the loss shows without waiting for the next
 * line. Waits on l_log_cond otherwise. Runs until the process exits. */
static void *log_writer_thread(void *)
{
    pthread_mutex_lock(&l_log_mutex);
    for (;;) {
        if (l_log_used > 0)
            write_oldest(TRUE);
        else if (l_log_dropped > 0 && !l_log_failed)
            queue_record(STDOUT_FILENO, "", 0, time(NULL));
        else
            pthread_cond_wait(&l_log_cond, &l_log_mutex);
    }
    return NULL;
}

void log_start(void)
{
    sigset_t all, old;
    pthread_t tid;
    int ret;

    /* No banner: the writer is no worker of the daemon's, and its lines
     * would change every run's output. Every signal blocked, so the stop
     * thread's sigwait stays the only taker of the stop signals. */
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    ret = pthread_create(&tid, NULL, log_writer_thread, NULL);
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    CHECK(ret == 0, "log writer not started, lines are written directly. ret:%d", ret);
    if (ret == 0) {
        pthread_detach(tid);
        pthread_mutex_lock(&l_log_mutex);
        l_log_started = 1;
        pthread_mutex_unlock(&l_log_mutex);
    }
}

int log_drain(int timeout_ms)
{
    struct timespec start;
    const struct timespec nap = {0, 5 * 1000000L};

    timer_start(&start);
    for (;;) {
        pthread_mutex_lock(&l_log_mutex);
        int done = l_log_used == 0 && (l_log_dropped == 0 || l_log_failed);
        int all = done && l_log_dropped == 0;
        pthread_mutex_unlock(&l_log_mutex);
        if (done)
            return all;
        if (timer_end(&start) * 1000 >= timeout_ms)
            return FALSE;
        nanosleep(&nap, NULL);
    }
}

void log_exit(int status)
{
    log_drain(LOG_DRAIN_MS);
    _exit(status);
}

void log_text(int fd, const char *text, size_t len)
{
    put_text(fd, text, len < LOG_LINE_MAX ? len : LOG_LINE_MAX, time(NULL));
}

void log_perror(const char *what)
{
    char line[LOG_LINE_MAX];
    int n = snprintf(line, sizeof(line), "%s: %m\n", what);

    if (n > 0)
        log_text(STDERR_FILENO, line, (size_t)n < sizeof(line) ? (size_t)n : sizeof(line) - 1);
}

static void vlog_line(const char *src, int line, const char *func, const char *fmt, va_list ap)
{
    char text[LOG_LINE_MAX];
    /* The time the line was made, not when the terminal took it. */
    time_t when = time(NULL);

    put_text(STDOUT_FILENO, text, format_line(text, when, src, line, func, fmt, ap), when);
}

void log_line(const char *src, int line, const char *func, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog_line(src, line, func, fmt, ap);
    va_end(ap);
}

void die_line(const char *src, int line, const char *func, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vlog_line(src, line, func, fmt, ap);
    va_end(ap);
    log_exit(1);
}

/* ---- shell command runners ------------------------------------------- */

int spawn_shell(const char *cmd, int *out_fd, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    sigset_t empty, pipe_sig;
    int fds[2] = {-1, -1}, started;
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(cmd), NULL};

    if (out_fd && pipe2(fds, O_CLOEXEC) != 0)
        return FALSE;
    posix_spawn_file_actions_init(&actions);
    /* No command reads the daemon's terminal: in its own process group it
     * would be stopped by SIGTTIN instead of reading. */
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out_fd)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    sigemptyset(&empty);
    posix_spawnattr_setsigmask(&attr, &empty);
    sigemptyset(&pipe_sig);
    sigaddset(&pipe_sig, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &pipe_sig);
    /* Its own process group (id = its pid), so that a command past its
     * limit is killed together with every program it started. */
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    started = posix_spawn(pid, "/bin/sh", &actions, &attr, argv, environ) == 0;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (out_fd) {
        close(fds[1]);
        if (started)
            *out_fd = fds[0];
        else
            close(fds[0]);
    }
    return started;
}

void wait_shell(pid_t pid)
{
    int status;

    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        continue;
}

long long monotonic_ms(void)
{
    struct timespec now;

    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000 + l_skip_ms;
}

void monotonic_skip_ms(long ms)
{
    l_skip_ms += ms;
}

/* True once the shutdown's budget has ended: no command may start. */
static int budget_spent(void)
{
    long long cap = shutdown_cap_ms();

    return cap != 0 && cap <= monotonic_ms();
}

/* Milliseconds left until deadline (monotonic_ms), or until the end of the
 * shutdown's budget when that comes first; *by_budget (when not null) says
 * which of the two it is. 0 when past. */
static long ms_left(long long deadline, int *by_budget)
{
    long long cap = shutdown_cap_ms(), end = deadline, left;
    int capped = cap != 0 && cap < deadline;

    if (capped)
        end = cap;
    if (by_budget)
        *by_budget = capped;
    left = end - monotonic_ms();
    return left > 0 ? (long)left : 0;
}

/* Kills the whole process group of a shell past its limit (the shell and
 * the stalled adb or tftp under it, which would otherwise keep running and
 * hold the pipe) and reaps the shell. */
static void kill_shell_group(pid_t pid)
{
    kill(-pid, SIGKILL);
    wait_shell(pid);
}

/* How a command's shell ended. */
struct shell_end {
    int status;    /* its wait status, when it ended by itself */
    int killed;    /* 1: killed with its group at its deadline */
    int by_budget; /* 1: that deadline was the end of the shutdown's budget */
};

/* Waits for the shell pid until deadline (monotonic_ms), or until the end
 * of the shutdown's budget when that comes first; a shell still running
 * then is killed with its group. TRUE once the shell has been reaped (end
 * says how it ended), FALSE when it could not be waited for. */
static int wait_shell_until(pid_t pid, long long deadline, struct shell_end *end)
{
    long nap_ms = 1;

    end->killed = end->by_budget = 0;
    for (;;) {
        pid_t got = waitpid(pid, &end->status, WNOHANG);
        if (got == pid)
            return TRUE;
        if (got < 0 && errno != EINTR)
            return FALSE;
        int by_budget;
        long left = ms_left(deadline, &by_budget);
        if (left == 0) {
            kill_shell_group(pid);
            end->killed = 1;
            end->by_budget = by_budget;
            return TRUE;
        }
        /* Short naps first, so that a quick command costs no latency;
         * then at most 16 ms between looks. */
        struct timespec nap = {0, (nap_ms < left ? nap_ms : left) * 1000000L};
        nanosleep(&nap, NULL);
        if (nap_ms < 16)
            nap_ms *= 2;
    }
}

/* Reads the shell's output from fd into out (size bytes, zero-filled
 * first) until size - 1 bytes, the end of the output or the deadline; the
 * rest is left. One final newline is removed. */
static void read_output(int fd, char *out, int size, long long deadline)
{
    size_t want = (size_t)size - 1, got = 0;

    memset(out, 0, size);
    while (got < want) {
        struct pollfd pfd = {fd, POLLIN, 0};
        /* At most a quarter second per look, so that a budget started
         * meanwhile (a stop) is seen. */
        long left = ms_left(deadline, NULL);
        int ready = left == 0 ? 0 : poll(&pfd, 1, (int)(left < 250 ? left : 250));
        if (ready == 0 && left > 250)
            continue;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        ssize_t n = read(fd, out + got, want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    if (got > 0 && out[got - 1] == '\n')
        out[got - 1] = '\0';
}

/* Both forms of each runner log under the runner's name, not its limit's. */
#define EXE_COMMAND_LOG(fmt, ...) log_line(LOG_SRC, __LINE__, "exe_command", fmt, ##__VA_ARGS__)
#define CALL_SYSTEM_LOG(fmt, ...) log_line(LOG_SRC, __LINE__, "call_system", fmt, ##__VA_ARGS__)

int exe_command_limit(const char *cmd, char *out, int size, int limit_s)
{
    struct shell_end end;
    long long deadline;
    int fd;
    pid_t pid;

    if (!out || size <= 0 || !cmd)
        return FALSE;
    if (budget_spent()) {
        EXE_COMMAND_LOG("not run: the shutdown's time budget is spent");
        return FALSE;
    }
    deadline = monotonic_ms() + (long long)limit_s * 1000;
    if (!spawn_shell(cmd, &fd, &pid))
        return FALSE;
    read_output(fd, out, size, deadline);
    close(fd);
    if (!wait_shell_until(pid, deadline, &end))
        return FALSE;
    if (end.killed && end.by_budget)
        EXE_COMMAND_LOG("killed: the shutdown's time budget is spent");
    return !end.killed && end.status == 0 ? TRUE : FALSE;
}

int exe_command(const char *cmd, char *out, int size)
{
    return exe_command_limit(cmd, out, size, CMD_LIMIT_S);
}

int call_system_limit(const char *cmd, int limit_s)
{
    struct shell_end end;
    long long deadline;
    pid_t pid;

    if (budget_spent()) {
        CALL_SYSTEM_LOG("not run: the shutdown's time budget is spent");
        return FALSE;
    }
    deadline = monotonic_ms() + (long long)limit_s * 1000;
    if (!spawn_shell(cmd, NULL, &pid) || !wait_shell_until(pid, deadline, &end)) {
        CALL_SYSTEM_LOG("call system() error!");
        return FALSE;
    }
    if (end.killed && end.by_budget) {
        CALL_SYSTEM_LOG("killed: the shutdown's time budget is spent");
        return FALSE;
    }
    if (end.killed) {
        CALL_SYSTEM_LOG("killed after %d s", limit_s);
        return FALSE;
    }
    if (WIFSIGNALED(end.status)) {
        CALL_SYSTEM_LOG("exit status is %d", WTERMSIG(end.status));
        return FALSE;
    }
    if (WEXITSTATUS(end.status) != 0) {
        CALL_SYSTEM_LOG("exit code is %d", WEXITSTATUS(end.status));
        return FALSE;
    }
    return TRUE;
}

int call_system(const char *cmd)
{
    return call_system_limit(cmd, CMD_LIMIT_S);
}

int scaled_limit_s(int base_s, double mb, double mb_per_s)
{
    double extra = mb / mb_per_s;

    if (!(extra > 0)) /* also NaN */
        extra = 0;
    if (extra > SCALED_LIMIT_MAX_S)
        extra = SCALED_LIMIT_MAX_S;
    return base_s + (int)extra;
}

int format_command(char *cmd, size_t size, const char *fmt, ...)
{
    va_list ap;
    int n;

    va_start(ap, fmt);
    n = vsnprintf(cmd, size, fmt, ap);
    va_end(ap);
    return n >= 0 && (size_t)n < size;
}

int shell_quote(const char *text, char *out, size_t size)
{
    static const char safe[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./-+:=@%,";
    size_t len = strlen(text), n = 0;

    if (len > 0 && strspn(text, safe) == len) {
        if (len >= size)
            return FALSE;
        memcpy(out, text, len + 1);
        return TRUE;
    }
    /* 'text' with every ' written as '\'' */
    if (size < 3)
        return FALSE;
    out[n++] = '\'';
    for (const char *p = text; *p; p++) {
        if (*p == '\'') {
            if (n + 4 >= size)
                return FALSE;
            memcpy(out + n, "'\\''", 4);
            n += 4;
        } else {
            if (n + 1 >= size)
                return FALSE;
            out[n++] = *p;
        }
    }
    if (n + 2 > size)
        return FALSE;
    out[n++] = '\'';
    out[n] = '\0';
    return TRUE;
}

void maketimeout_s(struct timespec *deadline, int seconds)
{
    clock_gettime(CLOCK_MONOTONIC, deadline);
    deadline->tv_sec += seconds;
}

int timer_start(struct timespec *timer)
{
    return clock_gettime(CLOCK_MONOTONIC, timer);
}

double timer_end(const struct timespec *timer)
{
    struct timespec now;
    int sec, nsec;

    clock_gettime(CLOCK_MONOTONIC, &now);
    sec = (int)(now.tv_sec - timer->tv_sec);
    nsec = (int)(now.tv_nsec - timer->tv_nsec);
    return (double)sec + (double)nsec / 1000000000.0;
}

void format_timeval(const struct timeval *tv, char *buf)
{
    struct tm tm;
    time_t sec = tv->tv_sec;

    localtime_r(&sec, &tm);
    strftime(buf, TIMESTAMP_SIZE, "%Y-%m-%d %H:%M:%S", &tm);
    size_t len = strlen(buf);
    snprintf(buf + len, TIMESTAMP_SIZE - len, ".%03d", (int)(tv->tv_usec / 1000));
}

char *getstimeval(char *buf)
{
    struct timeval now;

    gettimeofday(&now, NULL);
    format_timeval(&now, buf);
    return buf;
}
