/*
 * send: the last stage. Uploads each pulled file to the PC with busybox
 * tftp and deletes the router's copy; sends the statistics snapshot when
 * idle. Owns the send queue with its mutex and conditions (the pull stage
 * produces into it) and l_send_busy. Its thread is started by main and
 * drained by the shutdown, which also sends stat.txt through send_to_pc.
 */
#ifndef DIAGFERRY_SEND_H
#define DIAGFERRY_SEND_H

#include <pthread.h>

#include <atomic>

#include "queue.h"

#define SEND_QUEUE_SLOTS 2

extern queue_t l_need_send_queue;
extern pthread_mutex_t l_send_queue_mutex;
extern pthread_cond_t l_send_queue_cond;
extern pthread_cond_t l_send_space_cond;

void *send_thread(void *arg);
void do_send(const char *name);
int send_to_pc(const char *name, int retry, int flags, double *spent);
/* The time limit of one log file's upload, in seconds (grows with the size). */
int log_send_limit_s(void);
/* 1 while the send thread uploads a popped name (read under l_send_queue_mutex). */
extern std::atomic<int> l_send_busy;

#endif
