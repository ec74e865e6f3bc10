/*
 * arp_probe: runs the daemon's ARP probe by hand, for the end-to-end tests
 * in the emulated router's namespace.
 *
 *   arp_probe PC_IP [N]
 *
 * Prints "init_arp: R", then one line "check_arp: R MS" (result and the
 * probe's duration in milliseconds) for each of N probes (default 1).
 */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "arp.h"
#include "utils.h"

int main(int argc, char **argv)
{
    int probes = 1;

    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: arp_probe PC_IP [N]\n");
        return 2;
    }
    if (argc == 3)
        probes = atoi(argv[2]);
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("init_arp: %d\n", init_arp(argv[1]));
    for (int i = 0; i < probes; i++) {
        struct timespec start;

        timer_start(&start);
        int result = check_arp();
        printf("check_arp: %d %ld\n", result, (long)(timer_end(&start) * 1000));
    }
    return 0;
}
