/*
 * pull: the second stage. Copies each queued log file from the modem into
 * the working directory with adb pull and queues it for the upload. Owns
 * l_pull_busy. Its thread is started by main and drained by the shutdown,
 * whose time budget reads its limit.
 */
#ifndef DIAGFERRY_PULL_H
#define DIAGFERRY_PULL_H

#include <atomic>

void *pull_thread(void *arg);
void do_pull(const char *name);
/* The time limit of one log file's pull, in seconds (grows with the size). */
int pull_limit_s(void);
/* 1 while the pull thread holds a popped name (read under l_pull_queue_mutex). */
extern std::atomic<int> l_pull_busy;

#endif
