#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
#include <stdlib.h>
stat_str l_miss_str, l_dup_str;
pthread_mutex_t l_stat_mutex = PTHREAD_MUTEX_INITIALIZER;
int l_detect, l_pull, l_send, l_dup;
std::atomic<int> l_miss(0);
void init_stat_str(stat_str *s) { s->str = (char *)calloc(1, 1024); s->size = 1; s->cap = 1024; }
void print_to_stat_str(stat_str *, const char *) {}
void write_stat_file(void) {}
void journal_miss(const char *, const char *) {}
