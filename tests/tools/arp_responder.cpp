/*
 * arp_responder: a scripted LAN host for the ARP probe's end-to-end tests.
 *
 *   arp_responder IFACE SENDER_IP OP DELAY_MS WATCH_IP LIFETIME_S
 *
 * Listens on IFACE for ARP requests that ask for WATCH_IP and answers each,
 * DELAY_MS milliseconds later, with one ARP frame of operation OP (1 request,
 * 2 reply) from IFACE's hardware address and SENDER_IP, sent to the asking
 * host. With SENDER_IP equal to WATCH_IP and a delay it is a slow PC (whose
 * kernel is told not to answer); with another SENDER_IP it is a third host
 * that speaks first. Prints "ready" once listening, "request LEN HEX" for
 * each request it answers (the frame as received) and "sent" after each
 * answer; ends after LIFETIME_S seconds.
 */
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define FRAME_SIZE 60

static int open_bound(const char *ifname, int *ifindex, unsigned char *mac)
{
    struct ifreq ifr;
    struct sockaddr_ll sll;
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));

    if (fd < 0) {
        perror("socket");
        return -1;
    }
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0 || (*ifindex = ifr.ifr_ifindex,
                                              ioctl(fd, SIOCGIFHWADDR, &ifr) < 0)) {
        perror("ioctl");
        close(fd);
        return -1;
    }
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    memset(&sll, 0, sizeof(sll));
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ARP);
    sll.sll_ifindex = *ifindex;
    if (bind(fd, (struct sockaddr *)&sll, sizeof(sll)) < 0) {
        perror("bind");
        close(fd);
        return -1;
    }
    return fd;
}

/* The answer to request req: OP from (mac, sender) to the asking host. */
static void build_answer(unsigned char *out, const unsigned char *req, const unsigned char *mac,
                         const struct in_addr *sender, int op)
{
    memset(out, 0, FRAME_SIZE);
    memcpy(out, req + 22, 6);      /* to the asking host */
    memcpy(out + 6, mac, 6);
    out[12] = 0x08, out[13] = 0x06;
    out[14] = 0x00, out[15] = 0x01;
    out[16] = 0x08, out[17] = 0x00;
    out[18] = 6, out[19] = 4;
    out[20] = 0, out[21] = (unsigned char)op;
    memcpy(out + 22, mac, 6);
    memcpy(out + 28, sender, 4);
    memcpy(out + 32, req + 22, 6); /* asking host's addresses */
    memcpy(out + 38, req + 28, 4);
}

int main(int argc, char **argv)
{
    struct in_addr sender, watch;
    struct sockaddr_ll to;
    unsigned char mac[6], frame[1514], answer[FRAME_SIZE];
    int fd, ifindex = 0, op, delay_ms;
    time_t end;

    if (argc != 7 || inet_pton(AF_INET, argv[2], &sender) != 1 ||
        inet_pton(AF_INET, argv[5], &watch) != 1) {
        fprintf(stderr, "usage: arp_responder IFACE SENDER_IP OP DELAY_MS WATCH_IP LIFETIME_S\n");
        return 2;
    }
    op = atoi(argv[3]);
    delay_ms = atoi(argv[4]);
    end = time(NULL) + atoi(argv[6]);
    fd = open_bound(argv[1], &ifindex, mac);
    if (fd < 0)
        return 1;
    memset(&to, 0, sizeof(to));
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    setvbuf(stdout, NULL, _IOLBF, 0);
    printf("ready\n");

    while (time(NULL) < end) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 200) <= 0)
            continue;
        ssize_t n = recv(fd, frame, sizeof(frame), 0);
        /* Only requests (operation 1) that ask for the watched address. */
        if (n < 42 || frame[20] != 0 || frame[21] != 1 || memcmp(frame + 38, &watch, 4) != 0)
            continue;
        printf("request %zd ", n);
        for (ssize_t i = 0; i < n; i++)
            printf("%02x", frame[i]);
        printf("\n");
        if (delay_ms > 0)
            usleep((useconds_t)delay_ms * 1000);
        build_answer(answer, frame, mac, &sender, op);
        memcpy(to.sll_addr, frame + 22, 6);
        if (sendto(fd, answer, sizeof(answer), 0, (struct sockaddr *)&to, sizeof(to)) < 0)
            perror("sendto");
        else
            printf("sent\n");
    }
    close(fd);
    return 0;
}
