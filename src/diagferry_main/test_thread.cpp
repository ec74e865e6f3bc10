/* Test scenarios: placeholder. */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
void *test_thread(void *)
{
    LOG_BANNER("test thread start");
    LOG_BANNER("test thread exited");
    return NULL;
}
