#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
void *pull_thread(void *) { return NULL; }
void do_pull(const char *) {}
