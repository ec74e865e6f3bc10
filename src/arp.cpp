/* arp: placeholder until the ARP probe lands. */
#define LOG_SRC "src/arp"
#include "arp.h"
#include "utils.h"
int init_arp(const char *) { return 1; }
int check_arp(void) { return 1; }
int arp_is_reply_from_pc(const unsigned char *, size_t) { return 0; }
