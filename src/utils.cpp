/*
 * utils: log lines, shell command runners and time helpers (see utils.h).
 * Every operation is called from several threads at once; the one piece of
 * state is the shutdown's command budget, an atomic.
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

/* End of the shutdown's command budget in whole seconds on the monotonic
 * clock, 0 while there is none: written by the shutdown
 * (command_budget_start/_end), read by every runner on every thread. A
 * word-sized atomic: a 32-bit router has no lock-free 64-bit one. */
static std::atomic<long> l_budget_end_s(0);

static void vlog_line(const char *src, int line, const char *func, const char *fmt, va_list ap)
{
    /* One lock around the whole line keeps lines of different threads whole. */
    flockfile(stdout);
    printf("[%ld]%s(%d) %s(): ", (long)time(NULL), src, line, func);
    vprintf(fmt, ap);
    putchar('\n');
    fflush(stdout);
    funlockfile(stdout);
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
    _exit(1);
}

pid_t spawn_shell(const char *cmd, int *out_fd)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    sigset_t empty;
    int fds[2] = {-1, -1};
    pid_t pid;
    char sh[] = "sh", dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(cmd), NULL};

    if (out_fd && pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_init(&actions);
    /* No command reads the daemon's terminal: in its own process group it
     * would be stopped by SIGTTIN instead of reading. */
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out_fd)
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawnattr_init(&attr);
    sigemptyset(&empty);
    posix_spawnattr_setsigmask(&attr, &empty);
    /* Its own process group (id = its pid), so that a command past its
     * limit is killed together with every program it started. */
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    if (posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ) != 0)
        pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (out_fd) {
        close(fds[1]);
        if (pid < 0)
            close(fds[0]);
        else
            *out_fd = fds[0];
    }
    return pid;
}

int wait_shell(pid_t pid)
{
    int status;

    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

static long long now_ms(void)
{
    struct timespec now;

    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

/* Milliseconds left until deadline on the monotonic clock (0 when past),
 * or until the end of the command budget when that comes first; *by_budget
 * (when not null) says which of the two it is. */
static long ms_left(const struct timespec *deadline, int *by_budget)
{
    long long now = now_ms(), budget = (long long)l_budget_end_s * 1000;
    long long left = (long long)deadline->tv_sec * 1000 + deadline->tv_nsec / 1000000 - now;
    int capped = budget != 0 && budget - now < left;

    if (capped)
        left = budget - now;
    if (by_budget)
        *by_budget = capped;
    return left > 0 ? (long)left : 0;
}

void command_budget_start(int seconds)
{
    struct timespec now;

    /* Rounded up to the next whole second: never shorter than asked. */
    clock_gettime(CLOCK_MONOTONIC, &now);
    l_budget_end_s = (long)now.tv_sec + seconds + (now.tv_nsec > 0 ? 1 : 0);
}

int command_budget_extend(int seconds)
{
    struct timespec now;
    long end = l_budget_end_s, want;

    /* Only the shutdown writes the budget: no other writer to race. */
    clock_gettime(CLOCK_MONOTONIC, &now);
    want = (long)now.tv_sec + seconds + (now.tv_nsec > 0 ? 1 : 0);
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
    long long budget = (long long)l_budget_end_s * 1000;

    return budget != 0 && budget <= now_ms();
}

/* Kills the whole process group of a shell past its limit (the shell and
 * the stalled adb or tftp under it, which would otherwise keep running and
 * hold the pipe) and reaps the shell. */
static void kill_shell_group(pid_t pid)
{
    kill(-pid, SIGKILL);
    wait_shell(pid);
}

int wait_shell_until(pid_t pid, const struct timespec *deadline)
{
    int status;
    long nap_ms = 1;

    for (;;) {
        pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0 && errno != EINTR)
            return -1;
        int by_budget;
        long left = ms_left(deadline, &by_budget);
        if (left == 0) {
            kill_shell_group(pid);
            return by_budget ? SHELL_OUT_OF_BUDGET : SHELL_TIMED_OUT;
        }
        /* Short naps first, so that a quick command costs no latency;
         * then at most 16 ms between looks. */
        struct timespec nap = {0, (nap_ms < left ? nap_ms : left) * 1000000L};
        nanosleep(&nap, NULL);
        if (nap_ms < 16)
            nap_ms *= 2;
    }
}

int exe_command_limit(const char *cmd, char *out, int size, int limit_s)
{
    struct timespec deadline;
    int fd;
    pid_t pid;
    size_t want, got = 0;

    if (!out || size <= 0 || !cmd || command_budget_spent())
        return FALSE;
    maketimeout_s(&deadline, limit_s);
    pid = spawn_shell(cmd, &fd);
    if (pid < 0)
        return FALSE;
    memset(out, 0, size);
    /* Read until size - 1 bytes, the end of the output or the deadline;
     * the rest is left. */
    want = (size_t)size - 1;
    while (got < want) {
        struct pollfd pfd = {fd, POLLIN, 0};
        /* At most a quarter second per look, so that a budget started
         * meanwhile (a stop) is seen. */
        long left = ms_left(&deadline, NULL);
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
    close(fd);
    return wait_shell_until(pid, &deadline) == 0 ? TRUE : FALSE;
}

int exe_command(const char *cmd, char *out, int size)
{
    return exe_command_limit(cmd, out, size, CMD_LIMIT_S);
}

/* Both forms log as call_system: the line names the runner, not its limit. */
#define CALL_SYSTEM_LOG(fmt, ...) log_line(LOG_SRC, __LINE__, "call_system", fmt, ##__VA_ARGS__)

int call_system_limit(const char *cmd, int limit_s)
{
    struct timespec deadline;
    pid_t pid;
    int status;

    if (command_budget_spent()) {
        CALL_SYSTEM_LOG("not run: the shutdown's time budget is spent");
        return FALSE;
    }
    maketimeout_s(&deadline, limit_s);
    pid = spawn_shell(cmd, NULL);
    status = pid < 0 ? -1 : wait_shell_until(pid, &deadline);
    if (status == SHELL_TIMED_OUT) {
        CALL_SYSTEM_LOG("killed after %d s", limit_s);
        return FALSE;
    }
    if (status == SHELL_OUT_OF_BUDGET) {
        CALL_SYSTEM_LOG("killed: the shutdown's time budget is spent");
        return FALSE;
    }
    if (status == -1) {
        CALL_SYSTEM_LOG("call system() error!");
        return FALSE;
    }
    if (WIFSIGNALED(status)) {
        CALL_SYSTEM_LOG("exit status is %d", WTERMSIG(status));
        return FALSE;
    }
    if (WEXITSTATUS(status) != 0) {
        CALL_SYSTEM_LOG("exit code is %d", WEXITSTATUS(status));
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
    if (n < 0 || (size_t)n >= size) {
        LOG("command too long, not run: %.80s...", cmd);
        cmd[0] = '\0';
        return FALSE;
    }
    return TRUE;
}

char *shell_quote(const char *text, char *out, size_t size)
{
    static const char safe[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_./-+:=@%,";
    size_t len = strlen(text), n = 0;

    if (len > 0 && strspn(text, safe) == len) {
        if (len >= size)
            return NULL;
        memcpy(out, text, len + 1);
        return out;
    }
    /* 'text' with every ' written as '\'' */
    if (size < 3)
        return NULL;
    out[n++] = '\'';
    for (const char *p = text; *p; p++) {
        if (*p == '\'') {
            if (n + 4 >= size)
                return NULL;
            memcpy(out + n, "'\\''", 4);
            n += 4;
        } else {
            if (n + 1 >= size)
                return NULL;
            out[n++] = *p;
        }
    }
    if (n + 2 > size)
        return NULL;
    out[n++] = '\'';
    out[n] = '\0';
    return out;
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

double timeval_diff_us(const struct timeval *start, const struct timeval *end)
{
    return (double)(end->tv_sec - start->tv_sec) * 1000000.0 +
           (double)(end->tv_usec - start->tv_usec);
}

char *format_timeval(const struct timeval *tv, char *buf)
{
    struct tm tm;
    time_t sec = tv->tv_sec;

    localtime_r(&sec, &tm);
    strftime(buf, TIMESTAMP_SIZE, "%Y-%m-%d %H:%M:%S", &tm);
    size_t len = strlen(buf);
    snprintf(buf + len, TIMESTAMP_SIZE - len, ".%03d", (int)(tv->tv_usec / 1000));
    return buf;
}

char *getstimeval(char *buf)
{
    struct timeval now;

    gettimeofday(&now, NULL);
    return format_timeval(&now, buf);
}
