/*
 * telnetd: stand-in for the router's telnet daemon.
 *
 * Listens on [::]:23, dual-stack (IPV6_V6ONLY off), so that an IPv4 client
 * shows up in "netstat -nt" as ::ffff:ADDR:PORT, as on the router. For each
 * connection it starts the router's command shell, `cli`, on the socket.
 * Like the real daemon it goes to the background at once: the foreground
 * process exits 0 once the listener is bound, 1 when it cannot be bound.
 * Starts are recorded in $EMU_LOG_DIR/telnetd.log by the time the
 * foreground process exits.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define TELNET_PORT 23

/* Appends one line to $EMU_LOG_DIR/telnetd.log (nothing if unset). */
static void note(const char *fmt, int a, const char *b)
{
    const char *dir = getenv("EMU_LOG_DIR");
    char path[4096];
    FILE *f;

    if (!dir)
        return;
    snprintf(path, sizeof(path), "%s/telnetd.log", dir);
    f = fopen(path, "a");
    if (!f)
        return;
    fprintf(f, "[%ld] ", (long)time(NULL));
    fprintf(f, fmt, a, b);
    fputc('\n', f);
    fclose(f);
}

static int open_listener(void)
{
    struct sockaddr_in6 addr;
    int fd, off = 0, on = 1;

    fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
    memset(&addr, 0, sizeof(addr));
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_any;
    addr.sin6_port = htons(TELNET_PORT);
    if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) < 0 || listen(fd, 8) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Runs `cli` on the connection in a child of ours. */
static void start_cli(int conn, const struct sockaddr_in6 *peer)
{
    char text[INET6_ADDRSTRLEN] = "?";
    pid_t pid;

    inet_ntop(AF_INET6, &peer->sin6_addr, text, sizeof(text));
    pid = fork();
    if (pid == 0) {
        dup2(conn, 0);
        dup2(conn, 1);
        dup2(conn, 2);
        close(conn);
        execlp("cli", "cli", (char *)NULL);
        _exit(127);
    }
    note("session pid %d peer %s", (int)pid, text);
}

static void on_child(int sig)
{
    (void)sig; /* only interrupts accept() so that the loop reaps */
}

/* Reaps ended sessions and records how they ended. */
static void reap_sessions(void)
{
    int status;
    pid_t pid;

    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (WIFSIGNALED(status))
            note("session pid %d ended by signal %s", (int)pid, strsignal(WTERMSIG(status)));
        else
            note("session pid %d ended%s", (int)pid, "");
    }
}

int main(void)
{
    struct sigaction sa;
    sigset_t none;
    pid_t pid;
    int fd;

    /* Whatever mask the caller had, sessions must be stoppable. */
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_child; /* no SA_RESTART: accept() returns EINTR */
    sigaction(SIGCHLD, &sa, NULL);

    fd = open_listener();
    if (fd < 0) {
        fprintf(stderr, "telnetd: cannot listen on [::]:23: %s\n", strerror(errno));
        note("start failed: errno %d%s", errno, "");
        return 1;
    }
    pid = fork();
    if (pid < 0) {
        perror("telnetd: fork");
        return 1;
    }
    if (pid > 0) {
        /* The start is recorded before the foreground process returns, so
         * whoever started telnetd finds the record as soon as it is back. */
        note("started pid %d%s", (int)pid, "");
        return 0;
    }
    setsid();
    for (;;) {
        struct sockaddr_in6 peer;
        socklen_t len = sizeof(peer);
        int conn = accept4(fd, (struct sockaddr *)&peer, &len, SOCK_CLOEXEC);

        reap_sessions();
        if (conn < 0) {
            if (errno != EINTR)
                sleep(1);
            continue;
        }
        start_cli(conn, &peer);
        close(conn);
    }
}
