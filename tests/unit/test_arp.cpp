/*
 * arp: the request frame, the reply test and init_arp without the bridge.
 * The probe on a real bridge is tested end to end in the emulated router.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "arp.h"
#include "test_support.h"
#include "diagferry_main/pc_ip.h"

namespace {

const unsigned char MAC[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const unsigned char ROUTER_IP[4] = {192, 0, 2, 1};
const unsigned char PC_IP[4] = {192, 0, 2, 100};

/* A received ARP frame of the given operation and sender address. */
std::vector<unsigned char> arp_frame(int op, const unsigned char *sender_ip)
{
    std::vector<unsigned char> f(ARP_FRAME_SIZE, 0);
    arp_fill_request(f.data(), MAC, sender_ip, ROUTER_IP);
    f[20] = (unsigned char)(op >> 8);
    f[21] = (unsigned char)op;
    return f;
}

bool bridge_exists(void)
{
    return access("/sys/class/net/" ARP_IFNAME, F_OK) == 0;
}

/* Runs init_arp(pc_ip) on a host without the bridge; returns its result and
 * what it printed on standard output and standard error. */
int init_without_bridge(const char *pc_ip, std::string *out, std::string *err)
{
    int ret = -1;
    *err = capture_fd(STDERR_FILENO, [&] { *out = capture_stdout([&] { ret = init_arp(pc_ip); }); });
    return ret;
}

} // namespace

/* ---- the request frame ----------------------------------------------- */

TEST(ArpRequest, LaidOutByteForByte)
{
    unsigned char frame[ARP_FRAME_SIZE + 4];
    memset(frame, 0xee, sizeof(frame));
    arp_fill_request(frame, MAC, ROUTER_IP, PC_IP);

    const unsigned char want[ARP_FRAME_SIZE] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, /* Ethernet destination: broadcast */
        0x02, 0x11, 0x22, 0x33, 0x44, 0x55, /* Ethernet source: br0 */
        0x08, 0x06,                         /* EtherType ARP */
        0x00, 0x01,                         /* hardware type Ethernet */
        0x08, 0x00,                         /* protocol type IPv4 */
        6,    4,                            /* address lengths */
        0x00, 0x01,                         /* operation: request */
        0x02, 0x11, 0x22, 0x33, 0x44, 0x55, /* sender hardware address */
        192,  0,    2,    1,                /* sender protocol address */
        0,    0,    0,    0,    0,    0,    /* target hardware address */
        192,  0,    2,    100,              /* target protocol address: the PC */
        /* 18 bytes of padding, all zero */
    };
    for (int i = 0; i < ARP_FRAME_SIZE; i++)
        EXPECT_EQ(frame[i], want[i]) << "byte " << i;
    for (size_t i = ARP_FRAME_SIZE; i < sizeof(frame); i++)
        EXPECT_EQ(frame[i], 0xee) << "written past the frame at " << i;
}

/* ---- init_arp without the bridge, and the reply test ----------------- */

class ArpWithoutBridge : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (bridge_exists())
            GTEST_SKIP() << "this host has an interface " ARP_IFNAME;
    }
};

TEST_F(ArpWithoutBridge, InitFailsWithThePerrorLine)
{
    std::string out, err;
    EXPECT_EQ(init_without_bridge("192.0.2.100", &out, &err), 0);
    EXPECT_EQ(out, "") << "a usable address logs nothing";
    EXPECT_EQ(err, "ioctl: No such device\n");
}

TEST_F(ArpWithoutBridge, UnusableAddressIsReportedOnce)
{
    const std::string check_re = "^\\[[0-9]+\\]src/arp\\([0-9]+\\) init_arp\\(\\): "
                                 "CHECK\\(inet_pton\\(AF_INET, pc_ip, &l_pc_ip\\) == 1\\) failed\\. "
                                 "inet_pton error!\n$";
    for (const char *text : {"", "192.0.2", "192.0.2.256", "pc", "192.0.2.100 ", "::1"}) {
        std::string out, err;
        EXPECT_EQ(init_without_bridge(text, &out, &err), 0) << text;
        EXPECT_TRUE(ere_match(out, check_re)) << "'" << text << "': " << out;
    }
    std::string out, err;
    EXPECT_EQ(init_without_bridge(NULL, &out, &err), 0);
    EXPECT_TRUE(ere_match(out, check_re)) << out;
}

TEST_F(ArpWithoutBridge, ReplyMeansOperationTwoFromThePc)
{
    std::string out, err;
    /* The PC's address is taken before the bridge is asked for its own. */
    init_without_bridge("192.0.2.100", &out, &err);

    const unsigned char other[4] = {192, 0, 2, 50};
    auto reply = arp_frame(2, PC_IP);
    EXPECT_EQ(arp_is_reply_from_pc(reply.data(), reply.size()), 1);
    /* Only bytes 20-21 and 28-31 count: a reply cut right after them too. */
    EXPECT_EQ(arp_is_reply_from_pc(reply.data(), 32), 1);
    EXPECT_EQ(arp_is_reply_from_pc(reply.data(), 42), 1);

    auto request = arp_frame(1, PC_IP);
    EXPECT_EQ(arp_is_reply_from_pc(request.data(), request.size()), 0) << "the PC's own request";
    auto other_reply = arp_frame(2, other);
    EXPECT_EQ(arp_is_reply_from_pc(other_reply.data(), other_reply.size()), 0);
    auto other_request = arp_frame(1, other);
    EXPECT_EQ(arp_is_reply_from_pc(other_request.data(), other_request.size()), 0);
    for (int op : {0, 3, 4, 0x0102, 0x0200}) {
        auto f = arp_frame(op, PC_IP);
        EXPECT_EQ(arp_is_reply_from_pc(f.data(), f.size()), 0) << "operation " << op;
    }
    /* Each byte of the sender address counts. */
    for (int i = 28; i < 32; i++) {
        auto f = arp_frame(2, PC_IP);
        f[i] ^= 0x01;
        EXPECT_EQ(arp_is_reply_from_pc(f.data(), f.size()), 0) << "byte " << i;
    }
    EXPECT_EQ(arp_is_reply_from_pc(NULL, 60), 0);
}

TEST_F(ArpWithoutBridge, FramesEndingBeforeTheSenderAddressAreNoReply)
{
    std::string out, err;
    init_without_bridge("192.0.2.100", &out, &err);
    auto reply = arp_frame(2, PC_IP);
    for (size_t len = 0; len < 32; len++) {
        /* The bytes after len make a full reply: reading them would say yes. */
        EXPECT_EQ(arp_is_reply_from_pc(reply.data(), len), 0) << "length " << len;
        /* Exactly len bytes on the heap: a read past them is caught by the
         * address sanitizer build. */
        unsigned char *cut = (unsigned char *)malloc(len ? len : 1);
        memcpy(cut, reply.data(), len);
        EXPECT_EQ(arp_is_reply_from_pc(cut, len), 0) << "length " << len;
        free(cut);
    }
}

TEST_F(ArpWithoutBridge, UnusableAddressMatchesNoReply)
{
    std::string out, err;
    init_without_bridge("not an address", &out, &err);
    const unsigned char zero[4] = {0, 0, 0, 0};
    /* The request then asks for 0.0.0.0; a reply from 0.0.0.0 would be no
     * host, and a reply from the PC's old address no longer counts. */
    auto from_pc = arp_frame(2, PC_IP);
    EXPECT_EQ(arp_is_reply_from_pc(from_pc.data(), from_pc.size()), 0);
    auto from_zero = arp_frame(2, zero);
    EXPECT_EQ(arp_is_reply_from_pc(from_zero.data(), from_zero.size()), 1)
        << "the address must be all zero after an unusable text";
}
