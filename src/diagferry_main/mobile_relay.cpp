/*
 * mobile_relay: copies the router's mobile manager's debug output into the
 * daemon's standard output.
 *
 * Opening (by the test thread at its start) replaces the router's running
 * manager with one started by the relay thread, whose standard output is a
 * pipe that thread reads, and turns the manager's debug output on. Every
 * line it prints is copied tagged "[mobile]". Closing (by the shutdown)
 * kills that manager, which ends the relay thread, joins the thread and
 * starts a new manager in the background, no longer relayed. A manager
 * that does not die (or a child of it that keeps the pipe) cannot hold the
 * closing: RELAY_CLOSE_MS after the closing began, the relay thread kills
 * the process group it started and ends.
 *
 * The relayed text is not made of log lines: no prefix, the tag only at the
 * start of each of the manager's lines, and only the manager's newlines.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/mobile_relay.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "commands.h"
#include "utils.h"
#include "diagferry_main/shutdown.h"

/* One piece of relayed text: a line, or 255 characters of a longer one. */
#define RELAY_BUF_SIZE 256
#define RELAY_TAG "[mobile]"
/* How long the new manager is given to start before its debug switch, how
 * long the relay goes on copying once the closing began, and how often the
 * reader looks at the closing flag while the manager is silent. */
#define RELAY_START_MS 1000
#define RELAY_CLOSE_MS 2000
#define RELAY_POLL_MS 100

/* The relay thread; set by the opening, joined by the closing. */
static pthread_t l_mobile_tid;
/* 1 while l_mobile_tid names a relay thread not joined yet, so that a
 * closing without an opening joins nothing; written by set_mobile_debug. */
static std::atomic<int> l_mobile_started(0);
/* 1 from the start of a closing until the relay thread was joined; set and
 * cleared by set_mobile_debug, read by the relay thread. */
static std::atomic<int> l_mobile_closing(0);
/* The start pause and the closing's limit in ms: RELAY_START_MS and
 * RELAY_CLOSE_MS unless a unit test shortened them (set_mobile_relay_pauses);
 * read by set_mobile_debug and the relay thread. */
static std::atomic<int> l_relay_start_ms(RELAY_START_MS);
static std::atomic<int> l_relay_close_ms(RELAY_CLOSE_MS);

void set_mobile_relay_pauses(int start_ms, int close_ms)
{
    l_relay_start_ms = start_ms;
    l_relay_close_ms = close_ms;
}

int set_mobile_debug(int flag)
{
    int ret;

    if (flag) {
        call_system(CMD_KILL_MOBILE);
        pthread_create_orDie(&l_mobile_tid, NULL, listen_mobile_thread);
        l_mobile_started = 1;
        /* Give the new manager time to start before switching it. */
        int ms = l_relay_start_ms;
        struct timespec nap = {ms / 1000, (long)(ms % 1000) * 1000000L};
        nanosleep(&nap, NULL);
        ret = call_system(CMD_OPEN_MOBILE_DEBUG);
    } else {
        /* The end of the manager ends the relay thread's pipe; the closing
         * flag ends the thread in bounded time if it does not. */
        l_mobile_closing = 1;
        call_system(CMD_KILL_MOBILE_ALL);
        if (l_mobile_started.exchange(0))
            pthread_join(l_mobile_tid, NULL);
        l_mobile_closing = 0;
        ret = call_system(CMD_START_MOBILE);
    }
    return ret;
}

/*
 * Prints one piece of relayed text (a line with its newline, or up to 255
 * characters of a longer line) as one piece of output, so a log line of
 * another thread can come between two pieces but never inside one.
 */
static void relay_piece(const char *piece, size_t len, int *line_start)
{
    char text[sizeof(RELAY_TAG) + RELAY_BUF_SIZE];
    int has_newline = len > 0 && piece[len - 1] == '\n';
    /* A NUL byte ends the text the way fgets and fputs would see it. */
    size_t shown = strnlen(piece, len), n = 0;

    if (*line_start) {
        memcpy(text, RELAY_TAG, sizeof(RELAY_TAG) - 1);
        n = sizeof(RELAY_TAG) - 1;
    }
    memcpy(text + n, piece, shown);
    n += shown;
    /* A NUL byte hid the end of the line: keep the manager's newline. */
    if (has_newline && (shown == 0 || piece[shown - 1] != '\n'))
        text[n++] = '\n';
    log_text(STDOUT_FILENO, text, n);
    *line_start = has_newline;
}

/*
 * Copies the manager's output piece by piece until it ends, or until
 * RELAY_CLOSE_MS after a closing began. The reader never blocks for longer
 * than RELAY_POLL_MS, so it sees the closing flag. Returns 1 when it left
 * because of the closing's limit (the output had not ended).
 */
static int relay_output(int fd, char *buf)
{
    struct timespec closing_since;
    int line_start = 1, closing = 0;
    size_t len = 0;

    for (;;) {
        if (l_mobile_closing && !closing) {
            closing = 1;
            timer_start(&closing_since);
        }
        if (closing && timer_end(&closing_since) * 1000 >= l_relay_close_ms)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, RELAY_POLL_MS);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        ssize_t n = read(fd, buf + len, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len++;
        if (buf[len - 1] == '\n' || len == RELAY_BUF_SIZE - 1) {
            relay_piece(buf, len, &line_start);
            len = 0;
        }
    }
    if (len > 0)
        relay_piece(buf, len, &line_start);
    return closing && timer_end(&closing_since) * 1000 >= l_relay_close_ms;
}

void *listen_mobile_thread(void *)
{
    char buf[RELAY_BUF_SIZE];
    pid_t pid;
    int fd;

    memset(buf, 0, sizeof(buf));
    LOG_BANNER("listen mobile thread start");
    /* The shell backgrounds the manager and ends; the pipe stays open for
     * as long as the manager holds its end. */
    if (spawn_shell(CMD_START_MOBILE, &fd, &pid)) {
        /* Past the closing's limit, whatever still holds the pipe in the
         * manager's process group is killed. */
        if (relay_output(fd, buf))
            kill(-pid, SIGKILL);
        close(fd);
        wait_shell(pid);
    }
    LOG_BANNER("listen mobile thread exit");
    return NULL;
}
