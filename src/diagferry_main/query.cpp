#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
queue_t l_need_pull_queue;
pthread_mutex_t l_pull_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t l_pull_queue_cond = PTHREAD_COND_INITIALIZER;
void *query_thread(void *) { return NULL; }
void do_query(void) {}
void check_log_id(const char *) {}
int parse_log_list(const char *, char (*)[LOG_NAME_SIZE]) { return -1; }
