/*
 * arp_is_reply_from_pc on arbitrary received frames of any length (the
 * input itself, in a heap buffer of exactly its size, so that a read beyond
 * the received bytes is caught by AddressSanitizer).
 *
 * The PC address is set by init_arp, which converts it before it queries
 * "br0": without that bridge it returns 0 but the address is in place,
 * which the set-up verifies with one genuine reply.
 *
 * Checked for every input: the frame counts as the PC's reply exactly when
 * it reaches the sender address and carries operation 2 and the PC's
 * address there.
 */
#define LOG_SRC "fuzz"
#include "arp.h"
#include "fuzz_check.h"

#include <stdint.h>
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int expected = size >= ARP_SENDER_IP_OFF + IPV4_LEN && data[ARP_OP_OFF] == 0 &&
                   data[ARP_OP_OFF + 1] == 2 &&
                   memcmp(data + ARP_SENDER_IP_OFF, l_pc_addr, IPV4_LEN) == 0;
    int result = arp_is_reply_from_pc(data, size);

    FUZZ_CHECK(result == expected, "result %d, expected %d for %zu bytes", result, expected, size);
    return 0;
}
