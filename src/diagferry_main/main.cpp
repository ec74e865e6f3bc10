/*
 * Entry point: the command line, "-k", the start-up sequence and the final
 * wait. After "[PROTOCOL]init done" the main thread only waits until the
 * shutdown (kill_self) releases it, joins the thread that ran the shutdown,
 * removes the pid file and exits 0. The pid file is created, and locked,
 * right after the settings check.
 */
#define LOG_SRC "src/diagferry_main"
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>

#include "cfgstore.h"
#include "queue.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/keep_alive.h"
#include "diagferry_main/modem.h"
#include "diagferry_main/pc_ip.h"
#include "diagferry_main/pull.h"
#include "diagferry_main/query.h"
#include "diagferry_main/send.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/stat.h"
#include "diagferry_main/status.h"
#include "diagferry_main/stop.h"
#include "diagferry_main/test_thread.h"

#define THREAD_STACK_SIZE 1048576

static const struct option l_long_options[] = {
    {"kill", no_argument, NULL, 'k'},
    {"conf-file", required_argument, NULL, 'f'},
    {"help", no_argument, NULL, 'h'},
    {NULL, 0, NULL, 0},
};

static void print_usage(void)
{
    static const char usage[] = "Usage:\n" APP_NAME " -k\n" APP_NAME " -f <file>\n\nDetail:\n"
                                "-k, --kill:\t stop " APP_NAME "\n-f  --conf-file:\t config file\n"
                                "-h, --help:\t show this help\n";

    log_text(STDOUT_FILENO, usage, sizeof(usage) - 1);
}

/* "-k": SIGTERM to the instance named in the pid file; never returns. A
 * running instance holds the file's lock for its whole run, so a lock this
 * process can take marks a stale file, whatever pid it names (after a
 * crash and a reboot, perhaps an unrelated process), and whatever name
 * the running binary has. */
static void kill_other_orDie(void)
{
    char buf[PID_FILE_SIZE + 1];
    int fd, pid;
    ssize_t ret;

    fd = open(PID_FILE, O_RDONLY | O_CLOEXEC);
    ASSERT(fd >= 0, "Unable to open pid file. errno:%d", errno);
    ret = read(fd, buf, PID_FILE_SIZE);
    ASSERT(ret >= 0, "Unable to read pid file, errno: %d", errno);
    /* At most nine characters count: the tenth byte is always a NUL. */
    buf[ret < PID_FILE_SIZE ? ret : PID_FILE_SIZE - 1] = '\0';
    pid = atoi(buf);
    ASSERT(pid > 0, "bad pid");
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        /* Unless a new instance has put its own file there meanwhile. */
        if (pid_file_names(fd))
            unlink(PID_FILE);
        LOG("%s has dead, but not clean the pid file. let's clean it.", APP_NAME);
        log_exit(0);
    }
    ASSERT(errno == EWOULDBLOCK, "cannot lock pid file. errno:%d", errno);
    ASSERT(kill(pid, SIGTERM) == 0, "cannot stop %s instance pid: %d. errno:%d", APP_NAME, pid,
           errno);
    LOG("stopping %s instance pid: %d", APP_NAME, pid);
    log_exit(0);
}

/* Only the first option counts; the argument count decides whether it is
 * accepted. Returns to start the daemon, exits otherwise. */
static void parse_args(int argc, char **argv)
{
    switch (getopt_long(argc, argv, "kf:h", l_long_options, NULL)) {
    case -1:
        return;
    case 'h':
        print_usage();
        log_exit(argc == 2 ? 0 : 1);
    case 'k':
        if (argc == 2)
            kill_other_orDie();
        break;
    case 'f':
        if (argc == 3) {
            ASSERT(parse_conf_file(optarg) == TRUE, "failed to parse conf file");
            return;
        }
        break;
    default:
        break;
    }
    print_usage();
    log_exit(1);
}

/* Creates one worker and records that it exists. */
static void start_worker(pthread_t *tid, std::atomic<int> *started, const pthread_attr_t *attr,
                         void *(*body)(void *))
{
    pthread_create_orDie(tid, attr, body);
    started->store(1);
}

int main(int argc, char **argv)
{
    pthread_attr_t attr;

    status_start();
    /* A reader of standard output that has gone (a tee ended by Ctrl-C, a
     * closed terminal) must not end the process mid-shutdown: the write
     * fails with EPIPE instead and the line is counted as dropped. */
    signal(SIGPIPE, SIG_IGN);
    log_start();
    LOG_BANNER("main thread start");
    parse_args(argc, argv);
    check_settings_orDie();
    /* Before any command runs, so that a second start touches nothing of
     * a running instance's: its diag tool, log directory or pid file. */
    create_pid_file();

    cfgstore_attach(0);
    ASSERT(get_pc_ip(l_pc_ip), "failed to get PC IP");
    /* Before the first probe: right after the adb server starts, the modem
     * reads "offline" for a moment, and a probe that fails then would take
     * a running tool for a stopped one. A modem that never comes is a
     * clear error within seconds, not a hang. */
    ASSERT(wait_for_modem(), "modem not reachable through adb within %d s", MODEM_WAIT_S);
    if (is_modem_logging())
        stop_modem_orDie();
    rm_modem_log_dir();
    mk_modem_log_dir();
    push_modem_log_conf_orDie();

    /* Blocked before any thread exists, so every thread inherits the block
     * and the stop signals reach only the stop thread's sigwait. */
    sigemptyset(&l_mask);
    sigaddset(&l_mask, SIGTERM);
    sigaddset(&l_mask, SIGINT);
    sigaddset(&l_mask, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &l_mask, NULL);
    init_timed_conds();

    init_stat_str(&l_miss_str);
    init_stat_str(&l_dup_str);
    queue_create(&l_need_pull_queue, LOG_NAME_SIZE, PULL_QUEUE_SLOTS);
    queue_create(&l_need_send_queue, LOG_NAME_SIZE, SEND_QUEUE_SLOTS);

    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, THREAD_STACK_SIZE);

    LOG("start modem...");
    start_modem_orDie();
    LOG("modem up!");

    start_worker(&l_query_tid, &l_query_started, &attr, query_thread);
    start_worker(&l_pull_tid, &l_pull_started, &attr, pull_thread);
    start_worker(&l_send_tid, &l_send_started, &attr, send_thread);
    start_worker(&l_keep_alive_tid, &l_keep_alive_started, &attr, keep_alive_thread);
    start_worker(&l_stop_tid, &l_stop_started, &attr, stop_thread);
    start_worker(&l_test_tid, &l_test_started, &attr, test_thread);
    LOG("[PROTOCOL]init done");

    pthread_mutex_lock(&l_mutex);
    while (l_main_running)
        pthread_cond_wait(&l_main_cond, &l_mutex);
    pthread_mutex_unlock(&l_mutex);

    pthread_join(l_killer_tid, NULL);
    LOG("[PROTOCOL]exited");
    remove_pid_file();
    LOG_BANNER("main thread exited");
    log_exit(0);
}
