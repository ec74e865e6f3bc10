/*
 * stop: the stop thread, which waits for the stop signal (and answers the
 * status signal and heartbeat meanwhile), and the pid file with its lock.
 * Owns the daemon's name, the pid file and l_my_pid. main creates the pid
 * file and starts the thread; "-k" reads the file; the shutdown signals
 * l_my_pid.
 */
#ifndef DIAGFERRY_STOP_H
#define DIAGFERRY_STOP_H

#include <sys/types.h>

#include <atomic>

#define APP_NAME "diagferry"
#define PID_FILE "/var/run/diagferry.pid"
#define PID_FILE_SIZE 10

extern std::atomic<pid_t> l_my_pid;
void *stop_thread(void *arg);
/* Creates the pid file, takes its lock for the rest of the run and writes
 * the pid; refuses (ASSERT) when a live instance holds the lock. Main
 * thread, before any command runs. */
void create_pid_file(void);
/* At the exit: removes the pid file if it is still this instance's own. */
void remove_pid_file(void);
/* True while PID_FILE names the file open as fd (not removed, not
 * replaced by another). */
int pid_file_names(int fd);

#endif
