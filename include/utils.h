/*
 * utils: what every module of diagferry shares.
 *
 *  - the log line writer and its CHECK / ASSERT forms: one line per call on
 *    standard output, prefixed "[time]source(line) func(): ", queued for
 *    the log writer thread, which writes each line as soon as it is there;
 *  - the shell command runners exe_command (captures standard output) and
 *    call_system (logs why a command failed), with their time limits and
 *    their one seam to the shutdown's time budget;
 *  - the time helpers: deadlines for timed waits (monotonic), transfer
 *    timers and the journal time stamp (wall clock).
 *
 * Each .cpp file defines LOG_SRC (its module's source name) before it
 * includes this header; the macros below print that name.
 */
#ifndef DIAGFERRY_UTILS_H
#define DIAGFERRY_UTILS_H

#include <pthread.h>
#include <stddef.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define TRUE 1
#define FALSE 0

/* Size of every shell command buffer and of every captured output. */
#define CMD_BUF_SIZE 1024
/* Size of every path buffer. */
#define PATH_BUF_SIZE 4096
/* Size of a journal time stamp buffer ("2026-12-05 19:18:43.072"). */
#define TIMESTAMP_SIZE 28

/*
 * Log output. Everything the daemon prints (log lines, the relayed mobile
 * text, the usage text, perror lines) goes into one bounded buffer of
 * LOG_BUF_SIZE bytes that one writer thread empties with write(2), a whole
 * line per call, in the order the lines came. No thread that moves files
 * ever waits for the terminal: when the buffer is full (a reader that
 * stopped reading) or a write fails (a reader that has gone), the line is
 * dropped and counted, and the first line queued after that is preceded
 * by "N log lines dropped: standard output was not read" (as is the end of
 * the output, once it flows again). Until log_start runs (unit tests,
 * fuzzers), every call writes its line itself before it returns.
 */
#define LOG_BUF_SIZE 65536
/* The longest line; a longer one is cut there and keeps its newline. Paths
 * are at most 4096 bytes, so only a message naming two of them is cut. */
#define LOG_LINE_MAX 4096
/* How long an exit waits for queued output before it goes all the same. */
#define LOG_DRAIN_MS 2000

/* Starts the writer thread, with every signal blocked in it. Called first
 * thing in main, before any other thread exists. */
void log_start(void);
/* Waits up to timeout_ms until everything queued is written; TRUE when it
 * all was and nothing was dropped, FALSE at once when the reader has gone. */
int log_drain(int timeout_ms);
/* Every way out of the process: queued output gets LOG_DRAIN_MS, then
 * _exit(status), written or not. */
void log_exit(int status) __attribute__((noreturn));
/* Queues text that is no log line (no prefix, no newline added) for fd,
 * STDOUT_FILENO or STDERR_FILENO. */
void log_text(int fd, const char *text, size_t len);
/* perror(what), through the queue: "what: error text" on standard error. */
void log_perror(const char *what);

/* Log line writer: prefix, formatted message, newline. */
void log_line(const char *src, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
/* The one fatal path: prints the line like log_line, then log_exit(1). */
void die_line(const char *src, int line, const char *func, const char *fmt, ...)
    __attribute__((format(printf, 4, 5), noreturn));

#define LOG(fmt, ...) log_line(LOG_SRC, __LINE__, __func__, fmt, ##__VA_ARGS__)

/* "pull thread start: pid 123 tid 0x7f..." */
#define LOG_BANNER(text) \
    LOG("%s: pid %lu tid 0x%lx", text, (unsigned long)getpid(), (unsigned long)pthread_self())

/* A failed condition that the operation survives; text is the condition as
 * the log shows it (CHECK uses the source text itself). The texts given to
 * the _TEXT forms are part of the daemon's documented output: they stay as
 * they are where the code now says the same thing another way (a command
 * macro for its literal, a table of writes for five write calls). */
#define CHECK_TEXT(text, cond, fmt, ...)                                                     \
    do {                                                                                     \
        if (!(cond))                                                                         \
            log_line(LOG_SRC, __LINE__, __func__, "CHECK(%s) failed. " fmt, text,            \
                     ##__VA_ARGS__);                                                         \
    } while (0)
#define CHECK(cond, fmt, ...) CHECK_TEXT(#cond, cond, fmt, ##__VA_ARGS__)

/* A failed condition that ends the process with status 1, no shutdown. */
#define ASSERT_TEXT(text, cond, fmt, ...)                                                    \
    do {                                                                                     \
        if (!(cond))                                                                         \
            die_line(LOG_SRC, __LINE__, __func__, "[PROTOCOL]ASSERT(%s) failed. " fmt, text, \
                     ##__VA_ARGS__);                                                         \
    } while (0)
#define ASSERT(cond, fmt, ...) ASSERT_TEXT(#cond, cond, fmt, ##__VA_ARGS__)

/*
 * Shell command runners. Both run "/bin/sh -c cmd" with the stop signals
 * unblocked in the child (the daemon blocks them in every thread, and a
 * program it starts must not inherit that), and both report 1 only for a
 * wait status of 0.
 */
int exe_command(const char *cmd, char *out, int size);
int call_system(const char *cmd);

/*
 * Every command runs with a time limit: past it, the command's whole
 * process group is killed and reaped, and the command counts as failed
 * (call_system logs "killed after %d s"). The plain runners use
 * CMD_LIMIT_S; the _limit forms take the limit in seconds, for commands
 * whose healthy run time grows with what they move. Every command of the
 * plain runners takes milliseconds when healthy (an adb round trip is
 * about 10 ms; the diag tool's start and the router's daemons go to the
 * background at once), so 10 s never cuts one, even on a loaded router,
 * and a stalled modem costs at most 10 s per command.
 */
#define CMD_LIMIT_S 10
/* The most a size-scaled limit adds to its base, in seconds. */
#define SCALED_LIMIT_MAX_S 3600

/*
 * A limit for work that grows with a size: base_s plus one second per
 * mb_per_s megabytes of mb. The size comes from the configuration file as
 * any double; what it adds is clamped to 0..SCALED_LIMIT_MAX_S.
 */
int scaled_limit_s(int base_s, double mb, double mb_per_s);
int exe_command_limit(const char *cmd, char *out, int size, int limit_s);
int call_system_limit(const char *cmd, int limit_s);

/*
 * The runners' one seam to the shutdown's time budget. shutdown.cpp owns
 * the budget (when it starts, how long it is, when it ends) and defines
 * this: the moment, in ms on monotonic_ms's clock, at which every command
 * ends, or 0 while there is no budget. Every runner asks it before it
 * starts a command and, while the command runs, ends the command there
 * when that comes before the command's own limit. Both runners log what
 * the budget did:
 *   "not run: the shutdown's time budget is spent"   (refused, not started)
 *   "killed: the shutdown's time budget is spent"    (killed with its group)
 * and the command counts as failed, so the caller's usual failure path runs.
 */
long long shutdown_cap_ms(void);

/*
 * The clock of every command limit and of the shutdown's budget:
 * CLOCK_MONOTONIC in ms, plus whatever monotonic_skip_ms added. Only the
 * unit tests skip: they move this clock forward instead of waiting out a
 * limit in real seconds.
 */
long long monotonic_ms(void);
void monotonic_skip_ms(long ms);

/*
 * Starts "/bin/sh -c cmd" with an empty signal mask and SIGPIPE at its
 * default (the daemon ignores it; adb, tftp and the mobile manager rely on
 * it to end when their reader goes), standard input from /dev/null, in a
 * process group of its own (its id is the pid, stored in *pid). With out_fd
 * not null the child's standard output is a pipe whose read end is stored
 * there. FALSE when the shell could not be started.
 */
int spawn_shell(const char *cmd, int *out_fd, pid_t *pid);
/* Waits for a child of spawn_shell and reaps it. */
void wait_shell(pid_t pid);

/*
 * Formats a command line into cmd (size bytes). A command that does not fit
 * is never run cut short (a cut "rm -rf DIR" could name a parent directory):
 * FALSE, with cmd holding the part that fit, for the caller's log line
 * only. The callers go through FORMAT_COMMAND (commands.h), which logs and
 * empties it.
 */
int format_command(char *cmd, size_t size, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

/*
 * Writes text quoted for the shell into out (size bytes): unchanged when it
 * holds only characters the shell never interprets, else in single quotes.
 * FALSE when the result does not fit (out is then no command argument).
 */
int shell_quote(const char *text, char *out, size_t size);

/*
 * Time helpers. Every time limit and timed wait measures on CLOCK_MONOTONIC,
 * which never steps: a wall clock set back an hour (the network's time
 * update, an NTP correction, date -s) must not make a wait last an hour
 * longer. The wall clock is only for what a person reads: the log prefix
 * and the journal time stamps. Plain sleeps (sleep, usleep, nanosleep) and
 * the kernel's relative time-outs (poll, SO_RCVTIMEO) already measure on a
 * clock that never steps on Linux, so the daemon's pauses need no helper.
 *
 * maketimeout_s: a deadline seconds from now on CLOCK_MONOTONIC, for
 * pthread_cond_timedwait on a condition variable created with that clock
 * (init_timed_conds). The command runners measure their limits with
 * monotonic_ms instead (above).
 */
void maketimeout_s(struct timespec *deadline, int seconds);
int timer_start(struct timespec *timer);
double timer_end(const struct timespec *timer);
/* The journal time stamp of tv into buf (TIMESTAMP_SIZE bytes):
 * "%Y-%m-%d %H:%M:%S" in local time, then ".%03d" milliseconds. */
void format_timeval(const struct timeval *tv, char *buf);
/* The time stamp of now into buf; returns buf, for use inside a format's
 * arguments. */
char *getstimeval(char *buf);

#endif
