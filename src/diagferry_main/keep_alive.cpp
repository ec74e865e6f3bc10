#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
void *keep_alive_thread(void *) { return NULL; }
