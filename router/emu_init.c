/*
 * emu_init: PID 1 of the emulated router's PID namespace.
 *
 *   emu_init [-l LOG] [-s SETUP] [-t TEARDOWN] -- COMMAND [ARGS...]
 *
 * Runs SETUP (a program, no arguments) first and waits for it; then starts
 * COMMAND, forwards SIGTERM, SIGINT and SIGHUP to it, reaps every orphan
 * that the namespace hands to PID 1, runs TEARDOWN (if given) once COMMAND
 * has ended, and exits with COMMAND's status (128 + signal number when
 * COMMAND was killed by a signal). TEARDOWN stops what SETUP started in an
 * orderly way and must bound its own waits. When PID 1 exits the kernel
 * kills whatever is left in the namespace.
 *
 * Every reaped process other than COMMAND and SETUP is recorded in LOG as
 * "reaped PID NAME exit N" or "reaped PID NAME signal N", so that tests
 * can see for instance that telnetd died of SIGKILL.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

/* Pid of the child that signals go to: SETUP, then COMMAND; 0 in between.
 * Written by the main loop, read by the signal handler. */
static volatile sig_atomic_t l_target;
/* Last stop signal received, 0 if none. Written by the signal handler. */
static volatile sig_atomic_t l_got_signal;
/* File the reaped orphans are recorded in, -1 when none was given. */
static int l_log_fd = -1;

static void on_signal(int sig)
{
    l_got_signal = sig;
    if (l_target > 0)
        kill(l_target, sig);
}

/* Starts ARGV with the default signal mask and dispositions; returns its pid. */
static pid_t spawn(char *const argv[], const sigset_t *mask)
{
    pid_t pid = fork();

    if (pid < 0) {
        perror("emu_init: fork");
        return -1;
    }
    if (pid == 0) {
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        sigprocmask(SIG_SETMASK, mask, NULL);
        execvp(argv[0], argv);
        fprintf(stderr, "emu_init: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

/* Starts ARGV as the child that gets the stop signals. The signals are held
 * back until l_target names it, so none is lost in between. */
static pid_t start_target(char *const argv[], const sigset_t *empty)
{
    sigset_t stops;
    pid_t pid;

    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, NULL);
    pid = spawn(argv, empty);
    l_target = pid > 0 ? pid : 0;
    sigprocmask(SIG_SETMASK, empty, NULL);
    return pid;
}

/* Name of a process that has exited but is not reaped yet. */
static void zombie_name(pid_t pid, char *name, size_t size)
{
    char path[64];
    ssize_t n;
    int fd;

    snprintf(name, size, "?");
    snprintf(path, sizeof(path), "/proc/%d/comm", (int)pid);
    fd = open(path, O_RDONLY);
    if (fd < 0)
        return;
    n = read(fd, name, size - 1);
    close(fd);
    if (n <= 0) {
        snprintf(name, size, "?");
        return;
    }
    name[n] = '\0';
    name[strcspn(name, "\n")] = '\0';
}

static void log_reaped(pid_t pid, const char *name, int status)
{
    char line[128];
    int len;

    if (l_log_fd < 0)
        return;
    if (WIFSIGNALED(status))
        len = snprintf(line, sizeof(line), "reaped %d %s signal %d\n", (int)pid, name,
                       WTERMSIG(status));
    else
        len = snprintf(line, sizeof(line), "reaped %d %s exit %d\n", (int)pid, name,
                       WEXITSTATUS(status));
    if (write(l_log_fd, line, len) < 0) {
        /* Nothing to do: the record is a test aid only. */
    }
}

/* Reaps children until WANTED has ended; returns its wait status. */
static int reap_until(pid_t wanted)
{
    for (;;) {
        siginfo_t info;
        char name[32];
        int status;
        pid_t pid;

        /* Peek first, so that the name can still be read from /proc. */
        memset(&info, 0, sizeof(info));
        if (waitid(P_ALL, 0, &info, WEXITED | WNOWAIT) < 0) {
            if (errno == EINTR)
                continue;
            perror("emu_init: waitid");
            return -1;
        }
        pid = info.si_pid;
        zombie_name(pid, name, sizeof(name));
        if (waitpid(pid, &status, 0) < 0)
            continue;
        if (pid == wanted)
            return status;
        log_reaped(pid, name, status);
    }
}

static int exit_code(int status)
{
    if (status < 0)
        return 1;
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

int main(int argc, char **argv)
{
    const char *setup = NULL;
    const char *teardown = NULL;
    struct sigaction sa;
    sigset_t mask;
    int opt, status;
    pid_t pid;

    while ((opt = getopt(argc, argv, "+l:s:t:")) != -1) {
        if (opt == 'l')
            l_log_fd = open(optarg, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        else if (opt == 's')
            setup = optarg;
        else if (opt == 't')
            teardown = optarg;
        else
            return 2;
    }
    if (optind >= argc) {
        fprintf(stderr, "usage: emu_init [-l LOG] [-s SETUP] [-t TEARDOWN] -- COMMAND [ARGS...]\n");
        return 2;
    }

    /* Children start with an empty mask whatever we were given. */
    sigemptyset(&mask);
    sigprocmask(SIG_SETMASK, &mask, NULL);
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGHUP, &sa, NULL);

    if (setup) {
        char *setup_argv[] = {(char *)setup, NULL};

        pid = start_target(setup_argv, &mask);
        if (pid < 0)
            return 1;
        status = reap_until(pid);
        l_target = 0;
        if (status != 0) {
            fprintf(stderr, "emu_init: setup failed (status %d)\n", exit_code(status));
            return 1;
        }
        if (l_got_signal)
            return 128 + l_got_signal;
    }

    pid = start_target(argv + optind, &mask);
    if (pid < 0)
        return 1;
    status = reap_until(pid);
    l_target = 0;
    if (teardown) {
        char *teardown_argv[] = {(char *)teardown, NULL};
        pid_t tpid = start_target(teardown_argv, &mask);

        /* A stop signal during the teardown goes to it as well. */
        if (tpid > 0)
            reap_until(tpid);
        l_target = 0;
    }
    return exit_code(status);
}
