/*
 * arp: is the PC still on the LAN? Asks for its hardware address with ARP on
 * the bridge "br0". Reports results only; the keep-alive thread decides what
 * a silent PC means.
 */
#ifndef DIAGFERRY_ARP_H
#define DIAGFERRY_ARP_H

#include <stddef.h>

#define ARP_IFNAME "br0"
#define ARP_FRAME_SIZE 60

/* Builds the request frame and its destination; 1 on success, 0 when the
 * bridge's addresses cannot be read. */
int init_arp(const char *pc_ip);
/* Sends the request five times and reads one frame: 1 when the PC answered. */
int check_arp(void);
/* The reply test on one received frame of len bytes against the PC address
 * set by init_arp: operation 2 and sender address equal. */
int arp_is_reply_from_pc(const unsigned char *frame, size_t len);

/* Fills frame (ARP_FRAME_SIZE bytes) with the broadcast request for pc_ip
 * sent by the host whose hardware address is mac (6 bytes) and whose IPv4
 * address is own_ip; both addresses are 4 bytes in network byte order.
 * init_arp builds its request with it. */
void arp_fill_request(unsigned char *frame, const unsigned char *mac, const unsigned char *own_ip,
                      const unsigned char *pc_ip);

#endif
