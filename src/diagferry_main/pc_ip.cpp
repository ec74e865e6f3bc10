#define LOG_SRC "src/diagferry_main"
#include "diagferry_main.h"
#include <string.h>
int parse_pc_ip(const char *, char *) { return 0; }
int get_pc_ip(char *pc_ip) { strcpy(pc_ip, "192.0.2.100"); return 1; }
