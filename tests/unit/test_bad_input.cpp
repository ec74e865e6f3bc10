/*
 * Bad input from outside the daemon that no module's own tests cover: a
 * connection table whose first ":23" line is not the telnet session, and a
 * modem probe whose adb prints something unexpected.
 *
 * Commands run for real through /bin/sh: a fake "adb" first on PATH
 * records its arguments and prints what a test prepared.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "diagferry_main/modem.h"
#include "diagferry_main/pc_ip.h"

namespace {

/* A fake adb: dir/out (if any) is printed, dir/status is the exit status. */
class FakeAdb : public ::testing::Test {
protected:
    FakeBin bin;
    const TempDir &dir = bin.dir;

    void SetUp() override
    {
        ASSERT_TRUE(bin.add("adb", "[ -f \"$D/out\" ] && cat \"$D/out\"\n"
                                   "exit $(cat \"$D/status\" 2>/dev/null || echo 0)\n"));
    }
};

} // namespace

/* ---- the modem probe ------------------------------------------------- */

TEST_F(FakeAdb, ProbeCountsOnlyPidsAsRunning)
{
    /* Neither adb's status nor text decides: an older modem exits 0 and
     * puts a missing pgrep's complaint on standard output, and a failing
     * adb may print its own; only a list of pids is a running tool. */
    dir.write("out", "error: device offline\n");
    dir.write("status", "1");
    EXPECT_EQ(is_modem_logging(), FALSE);
    dir.write("out", "/system/bin/sh: busybox pgrep: not found\n");
    dir.write("status", "0");
    EXPECT_EQ(is_modem_logging(), FALSE);
    unlink((dir.path + "/out").c_str());
    EXPECT_EQ(is_modem_logging(), FALSE);
    dir.write("out", "4242\n");
    EXPECT_EQ(is_modem_logging(), TRUE);
    dir.write("out", "4242\r\n4250\n");
    dir.write("status", "1");
    EXPECT_EQ(is_modem_logging(), TRUE);
    auto c = bin.calls();
    ASSERT_EQ(c.size(), 5u);
    EXPECT_EQ(c[0], (std::vector<std::string>{"adb", "shell", "busybox", "pgrep", "diag_mdlog"}));
}

/* ---- the connection table -------------------------------------------- */

TEST(BadConnectionTable, PlainIpv4PeerGivesAnUnusableAddress)
{
    /* Seven characters are skipped as "::ffff:" whatever they are: an
     * IPv4-only socket's line yields a text that is no address at all. */
    char ip[PC_IP_SIZE];
    struct in_addr addr;
    ASSERT_EQ(parse_pc_ip("tcp 0 0 192.0.2.1:23 192.0.2.100:41234 ESTABLISHED", ip), TRUE);
    EXPECT_STREQ(ip, ".100");
    EXPECT_NE(inet_pton(AF_INET, ip, &addr), 1);
}

TEST(BadConnectionTable, FirstLineWithColon23DecidesEvenWhenNotTelnet)
{
    /* The filter is a plain ":23" anywhere in the line: a PC port such as
     * 23456 on another connection listed first names that peer. */
    char ip[PC_IP_SIZE];
    ASSERT_EQ(parse_pc_ip("tcp 0 0 ::ffff:192.0.2.1:80 ::ffff:192.0.2.7:23456 ESTABLISHED\n"
                          "tcp 0 0 ::ffff:192.0.2.1:23 ::ffff:192.0.2.100:41234 ESTABLISHED",
                          ip),
              TRUE);
    EXPECT_STREQ(ip, "192.0.2.7");
}
