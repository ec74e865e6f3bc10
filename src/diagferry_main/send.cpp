#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
queue_t l_need_send_queue;
pthread_mutex_t l_send_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t l_send_queue_cond = PTHREAD_COND_INITIALIZER;
pthread_cond_t l_send_space_cond = PTHREAD_COND_INITIALIZER;
void *send_thread(void *) { return NULL; }
void do_send(const char *) {}
int send_to_pc(const char *, int, int, double *) { return -1; }
