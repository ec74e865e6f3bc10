/*
 * arp_is_reply_from_pc on arbitrary received frames of any length (the
 * input itself, in a heap buffer of exactly its size, so that a read beyond
 * the received bytes is caught by AddressSanitizer).
 *
 * The PC address is set by init_arp, which converts it before it queries
 * "br0": without that bridge it returns 0 but the address is in place,
 * which the set-up verifies with one genuine reply.
 *
 * Checked for every input, without restating the test itself: a frame that
 * ends before the sender address is never a reply, and the answer depends
 * only on the operation (bytes 20-21) and the sender address (28-31), so a
 * copy with every other byte inverted gets the same answer.
 */
#define LOG_SRC "fuzz"
#include "arp.h"
#include "fuzz_check.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define FUZZ_PC_IP "192.0.2.100"
#define ARP_OP_OFF 20
#define ARP_SENDER_IP_OFF 28
#define IPV4_LEN 4

static const uint8_t l_pc_addr[IPV4_LEN] = {192, 0, 2, 100};

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    uint8_t reply[ARP_FRAME_SIZE];

    init_arp(FUZZ_PC_IP);
    memset(reply, 0, sizeof(reply));
    reply[ARP_OP_OFF + 1] = 2;
    memcpy(reply + ARP_SENDER_IP_OFF, l_pc_addr, IPV4_LEN);
    FUZZ_CHECK(arp_is_reply_from_pc(reply, sizeof(reply)) == 1,
               "init_arp did not take the PC address %s", FUZZ_PC_IP);
    return 0;
}

static int byte_counts(size_t i)
{
    return (i >= ARP_OP_OFF && i < ARP_OP_OFF + 2) ||
           (i >= ARP_SENDER_IP_OFF && i < ARP_SENDER_IP_OFF + IPV4_LEN);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int result = arp_is_reply_from_pc(data, size);
    uint8_t *other = (uint8_t *)malloc(size ? size : 1);
    int other_result;

    FUZZ_CHECK(result == 0 || result == 1, "result %d for %zu bytes", result, size);
    if (size < ARP_SENDER_IP_OFF + IPV4_LEN)
        FUZZ_CHECK(result == 0, "a %zu-byte frame counted as a reply", size);
    for (size_t i = 0; i < size; i++)
        other[i] = byte_counts(i) ? data[i] : (uint8_t)~data[i];
    other_result = arp_is_reply_from_pc(other, size);
    free(other);
    FUZZ_CHECK(other_result == result, "result %d, %d with the other bytes inverted (%zu bytes)",
               result, other_result, size);
    return 0;
}
