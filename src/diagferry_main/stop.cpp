#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
pid_t l_my_pid;
void create_pid_file(void) {}
void *stop_thread(void *) { return NULL; }
