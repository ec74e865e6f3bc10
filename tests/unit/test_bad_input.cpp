/*
 * Bad input from outside the daemon that no module's own tests cover: a
 * connection table whose first ":23" line is not the telnet session, and a
 * modem probe whose adb prints something unexpected.
 *
 * Commands run for real through /bin/sh: a fake "adb" first on PATH
 * records its arguments (one per line after their count) and prints what a
 * test prepared.
 */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "diagferry_main.h"
#include "settings_support.h"
#include "test_support.h"

namespace {

/* A fake adb and busybox-free modem: every call is recorded in dir/calls,
 * and dir/out (if any) is printed with dir/status as the exit status. */
class FakeAdb : public ::testing::Test {
protected:
    TempDir dir;
    std::string saved_path;

    void SetUp() override
    {
        reset_settings();
        std::string script = "#!/bin/sh\n"
                             "{ echo \"$#\"; for a in \"$@\"; do echo \"$a\"; done; } >>'" +
                             dir.path + "/calls'\n"
                             "[ -f '" + dir.path + "/out' ] && cat '" + dir.path + "/out'\n"
                             "exit $(cat '" + dir.path + "/status' 2>/dev/null || echo 0)\n";
        std::string adb = dir.write("adb", script);
        ASSERT_EQ(chmod(adb.c_str(), 0755), 0);
        saved_path = getenv("PATH");
        setenv("PATH", (dir.path + ":" + saved_path).c_str(), 1);
    }

    void TearDown() override
    {
        setenv("PATH", saved_path.c_str(), 1);
        reset_settings();
    }

    /* The recorded calls, each as its list of arguments. */
    std::vector<std::vector<std::string>> calls(void)
    {
        std::vector<std::vector<std::string>> all;
        std::string text = read_file(dir.path + "/calls"), line;
        std::vector<std::string> lines;
        size_t start = 0, end;

        while ((end = text.find('\n', start)) != std::string::npos) {
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        for (size_t i = 0; i < lines.size();) {
            int n = atoi(lines[i].c_str());
            all.emplace_back(lines.begin() + i + 1, lines.begin() + i + 1 + n);
            i += 1 + n;
        }
        return all;
    }
};

} // namespace

/* ---- the modem probe ------------------------------------------------- */

TEST_F(FakeAdb, ProbeCountsAnyOutputAsRunningAndSilenceAsStopped)
{
    /* Only standard output decides, not adb's status: a failing adb that
     * prints its complaint there reads as a running tool. */
    dir.write("out", "error: device offline\n");
    dir.write("status", "1");
    EXPECT_EQ(is_modem_logging(), TRUE);
    unlink((dir.path + "/out").c_str());
    EXPECT_EQ(is_modem_logging(), FALSE);
    dir.write("status", "0");
    EXPECT_EQ(is_modem_logging(), FALSE);
    dir.write("out", "4242\n");
    EXPECT_EQ(is_modem_logging(), TRUE);
    auto c = calls();
    ASSERT_EQ(c.size(), 4u);
    EXPECT_EQ(c[0], (std::vector<std::string>{"shell", "busybox", "pgrep", "diag_mdlog"}));
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
