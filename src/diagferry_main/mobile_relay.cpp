/* Mobile-manager debug relay: placeholder. */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
int set_mobile_debug(int) { return 1; }
void *listen_mobile_thread(void *) { return NULL; }
