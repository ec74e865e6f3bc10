#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
pthread_mutex_t l_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t l_main_cond = PTHREAD_COND_INITIALIZER;
pthread_cond_t l_query_cond = PTHREAD_COND_INITIALIZER;
pthread_cond_t l_keep_alive_cond = PTHREAD_COND_INITIALIZER;
pthread_cond_t l_test_cond = PTHREAD_COND_INITIALIZER;
std::atomic<int> l_main_running(1), l_query_running(1), l_pull_running(1), l_send_running(1),
    l_keep_alive_running(1), l_test_running(1), l_exiting(0), l_lan_broken(0);
pthread_t l_killer_tid;
void kill_self(int) {}
