/*
 * arp: the PC reachability probe on the LAN bridge "br0".
 *
 * init_arp builds, once, the broadcast ARP request for the PC's address and
 * the device-name address it is sent to; check_arp sends that request five
 * times on a fresh SOCK_PACKET socket and reads one ARP frame back. Only the
 * keep-alive thread calls them, init_arp before the first check_arp, so the
 * module state below is written once and then only read, without a lock.
 *
 * The module reports results; it logs only its own socket failures and the
 * unusable PC address, and leaves the verdict to its caller.
 */
#define LOG_SRC "src/arp"
#include "arp.h"
#include "utils.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

/* Frame layout: Ethernet header, then the ARP message, padded to 60 bytes. */
#define ETH_DST_OFF 0
#define ETH_SRC_OFF 6
#define ETH_TYPE_OFF 12
#define ARP_HTYPE_OFF 14
#define ARP_PTYPE_OFF 16
#define ARP_HLEN_OFF 18
#define ARP_PLEN_OFF 19
#define ARP_OP_OFF 20
#define ARP_SENDER_MAC_OFF 22
#define ARP_SENDER_IP_OFF 28
#define ARP_TARGET_MAC_OFF 32
#define ARP_TARGET_IP_OFF 38

#define MAC_LEN 6
#define IPV4_LEN 4
#define ARP_OP_REQUEST 1
#define ARP_OP_REPLY 2

#define ARP_SENDS 5
#define ARP_SEND_PAUSE_US 100000
#define ARP_RECV_TIMEOUT_S 1

/* The PC's IPv4 address, network byte order; written by init_arp, all zero
 * when its text was unusable. */
static struct in_addr l_pc_ip;
/* The complete request frame; written by init_arp, sent by check_arp. */
static unsigned char l_arp_request[ARP_FRAME_SIZE];
/* Where check_arp sends: family 0 and the device name "br0" in the data
 * field, the address form SOCK_PACKET sockets take; written by init_arp. */
static struct sockaddr l_arp_sockaddr;

/* Writes a 16-bit value in network byte order. */
static void put_be16(unsigned char *at, unsigned int value)
{
    at[0] = (unsigned char)(value >> 8);
    at[1] = (unsigned char)value;
}

void arp_fill_request(unsigned char *frame, const unsigned char *mac, const unsigned char *own_ip,
                      const unsigned char *pc_ip)
{
    memset(frame, 0, ARP_FRAME_SIZE);
    memset(frame + ETH_DST_OFF, 0xff, MAC_LEN);
    memcpy(frame + ETH_SRC_OFF, mac, MAC_LEN);
    put_be16(frame + ETH_TYPE_OFF, ETH_P_ARP);
    put_be16(frame + ARP_HTYPE_OFF, 1); /* Ethernet */
    put_be16(frame + ARP_PTYPE_OFF, ETH_P_IP);
    frame[ARP_HLEN_OFF] = MAC_LEN;
    frame[ARP_PLEN_OFF] = IPV4_LEN;
    put_be16(frame + ARP_OP_OFF, ARP_OP_REQUEST);
    memcpy(frame + ARP_SENDER_MAC_OFF, mac, MAC_LEN);
    memcpy(frame + ARP_SENDER_IP_OFF, own_ip, IPV4_LEN);
    /* Target hardware address and the padding stay zero. */
    memcpy(frame + ARP_TARGET_IP_OFF, pc_ip, IPV4_LEN);
}

int init_arp(const char *pc_ip)
{
    struct ifreq ifr;
    unsigned char own_ip[IPV4_LEN], mac[MAC_LEN];
    int fd;

    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, ARP_IFNAME, IFNAMSIZ - 1);
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_perror("socket");
        return 0;
    }

    /* An unusable text leaves the address 0.0.0.0, which no host owns:
     * every probe then fails instead of asking for a stale address. */
    memset(&l_pc_ip, 0, sizeof(l_pc_ip));
    if (!pc_ip)
        pc_ip = "";
    CHECK(inet_pton(AF_INET, pc_ip, &l_pc_ip) == 1, "inet_pton error!");

    if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
        log_perror("ioctl");
        close(fd);
        return 0;
    }
    memcpy(own_ip, &((struct sockaddr_in *)&ifr.ifr_addr)->sin_addr, IPV4_LEN);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
        log_perror("ioctl");
        close(fd);
        return 0;
    }
    memcpy(mac, ifr.ifr_hwaddr.sa_data, MAC_LEN);
    close(fd);

    arp_fill_request(l_arp_request, mac, own_ip, (const unsigned char *)&l_pc_ip);
    memset(&l_arp_sockaddr, 0, sizeof(l_arp_sockaddr));
    strncpy(l_arp_sockaddr.sa_data, ARP_IFNAME, sizeof(l_arp_sockaddr.sa_data) - 1);
    return 1;
}

int arp_is_reply_from_pc(const unsigned char *frame, size_t len)
{
    /* Only received bytes are compared: a frame that ends before the sender
     * address is no reply. */
    if (!frame || len < ARP_SENDER_IP_OFF + IPV4_LEN)
        return 0;
    if (frame[ARP_OP_OFF] != 0 || frame[ARP_OP_OFF + 1] != ARP_OP_REPLY)
        return 0;
    return memcmp(frame + ARP_SENDER_IP_OFF, &l_pc_ip, IPV4_LEN) == 0;
}

/* Opens the unbound ARP packet socket with broadcast allowed and a 1 s
 * receive time-out; -1 after logging why not. That time-out and the pauses
 * between the sends are relative and measured by the kernel on a clock
 * that never steps, so a wall clock step does not stretch a probe. */
static int open_arp_socket(void)
{
    struct timeval timeout = {ARP_RECV_TIMEOUT_S, 0};
    int on = 1;
    int fd = socket(AF_PACKET, SOCK_PACKET | SOCK_CLOEXEC, htons(ETH_P_ARP));

    if (fd < 0) {
        LOG("Could not open raw socket");
        return -1;
    }
    if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) < 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout)) < 0) {
        LOG("Could not setsocketopt on raw socket");
        close(fd);
        return -1;
    }
    return fd;
}

int check_arp(void)
{
    unsigned char reply[ARP_FRAME_SIZE];
    ssize_t n;
    int fd = open_arp_socket();

    if (fd < 0)
        return 0;
    /* Frames queue from the moment the socket is open, so the PC's answer
     * to any of the five requests waits for the one read below. */
    for (int i = 0; i < ARP_SENDS; i++) {
        if (sendto(fd, l_arp_request, ARP_FRAME_SIZE, 0, &l_arp_sockaddr,
                   sizeof(l_arp_sockaddr)) < 0) {
            close(fd);
            return 0;
        }
        usleep(ARP_SEND_PAUSE_US);
    }
    /* The first ARP frame decides, whoever sent it. */
    n = recv(fd, reply, sizeof(reply), 0);
    close(fd);
    if (n < 0)
        return 0;
    return arp_is_reply_from_pc(reply, (size_t)n);
}
