/*
 * mobile_relay: copies the router's mobile manager's debug output into the
 * daemon's standard output.
 *
 * Opening (by the test thread at its start) replaces the router's running
 * manager with one started by the relay thread, whose standard output is a
 * pipe that thread reads, and turns the manager's debug output on. Every
 * line it prints is copied tagged "[mobile]". Closing (by the shutdown)
 * kills that manager, which ends the relay thread, joins the thread and
 * starts a new manager in the background, no longer relayed.
 *
 * The relayed text is not made of log lines: no prefix, the tag only at the
 * start of each of the manager's lines, and only the manager's newlines.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"

#include <stdio.h>
#include <string.h>

/* One piece of relayed text: a line, or 255 characters of a longer one. */
#define RELAY_BUF_SIZE 256
#define RELAY_TAG "[mobile]"

/* The relay thread; set by the opening, joined by the closing. */
static pthread_t l_mobile_tid;
/* 1 while l_mobile_tid names a relay thread not joined yet, so that a
 * closing without an opening joins nothing; written by set_mobile_debug. */
static std::atomic<int> l_mobile_started(0);

int set_mobile_debug(int flag)
{
    int ret;

    if (flag) {
        call_system("killall -9 mobile");
        pthread_create_orDie(&l_mobile_tid, NULL, listen_mobile_thread);
        l_mobile_started = 1;
        /* Give the new manager time to start before switching it. */
        sleep(1);
        ret = call_system("mobile_cli opendebug 1&");
    } else {
        /* The end of the manager ends the relay thread's pipe. */
        call_system("killall -9 mobile mobile_cli");
        if (l_mobile_started.exchange(0))
            pthread_join(l_mobile_tid, NULL);
        ret = call_system("mobile&");
    }
    return ret;
}

/*
 * Copies the manager's output piece by piece until it ends. Each piece is
 * printed and flushed under the stdout lock, so a log line of another
 * thread can come between two pieces but never inside one.
 */
static void relay_output(FILE *in, char *buf)
{
    int line_start = 1;

    for (;;) {
        /* Cleared before each read: the only newline left in the buffer is
         * then the one that ended this piece. */
        memset(buf, 0, RELAY_BUF_SIZE);
        if (!fgets(buf, RELAY_BUF_SIZE, in))
            break;
        int has_newline = memchr(buf, '\n', RELAY_BUF_SIZE) != NULL;
        size_t len = strlen(buf);

        flockfile(stdout);
        if (line_start)
            fputs(RELAY_TAG, stdout);
        fputs(buf, stdout);
        /* A NUL byte hid the end of the line: keep the manager's newline. */
        if (has_newline && (len == 0 || buf[len - 1] != '\n'))
            putchar('\n');
        fflush(stdout);
        funlockfile(stdout);
        line_start = has_newline;
    }
}

void *listen_mobile_thread(void *)
{
    char buf[RELAY_BUF_SIZE];
    FILE *in;
    pid_t pid;
    int fd;

    memset(buf, 0, sizeof(buf));
    LOG_BANNER("listen mobile thread start");
    /* The shell backgrounds the manager and ends; the pipe stays open for
     * as long as the manager holds its end. */
    pid = spawn_shell("mobile&", &fd);
    if (pid >= 0) {
        in = fdopen(fd, "r");
        if (in) {
            relay_output(in, buf);
            fclose(in);
        } else {
            close(fd);
        }
        wait_shell(pid);
    }
    LOG_BANNER("listen mobile thread exit");
    return NULL;
}
