/*
 * The PC's address from the router's connection table: the parser on
 * captured text, and get_pc_ip with a fake "netstat" first on PATH (the
 * real grep filters its output).
 */
#include <gtest/gtest.h>

#include "test_support.h"
#include "diagferry_main/pc_ip.h"

#include <string>

namespace {

/* Parses table; the address, or "<none>" when parse_pc_ip refused. */
std::string parse(const std::string &table)
{
    char ip[PC_IP_SIZE + 8];
    memset(ip, 'Z', sizeof(ip));
    if (!parse_pc_ip(table.c_str(), ip))
        return "<none>";
    /* Nothing may be written past the 16-byte buffer. */
    for (size_t i = PC_IP_SIZE; i < sizeof(ip); i++)
        if (ip[i] != 'Z')
            return "<overrun>";
    return ip;
}

TEST(PcAddress, TakesTheForeignAddressOfTheFirstTelnetLine)
{
    EXPECT_EQ(parse("tcp 0 0 ::ffff:192.168.1.1:23 ::ffff:192.168.1.100:51234 ESTABLISHED"),
              "192.168.1.100");
    EXPECT_EQ(parse("tcp 0 0 ::ffff:192.168.1.1:23 ::ffff:192.168.1.100:51234 ESTABLISHED\n"
                    "tcp 0 0 ::ffff:192.168.1.1:23 ::ffff:192.168.1.7:40000 ESTABLISHED"),
              "192.168.1.100");
    /* busybox pads its columns with runs of spaces. */
    EXPECT_EQ(parse("tcp        0      0 ::ffff:192.0.2.1:23     ::ffff:192.0.2.100:41234 "
                    "ESTABLISHED"),
              "192.0.2.100");
    /* The longest address fills the buffer with its NUL, nothing after. */
    EXPECT_EQ(parse("tcp 0 0 ::ffff:10.0.0.1:23 ::ffff:192.168.100.200:23456 ESTABLISHED"),
              "192.168.100.200");
}

TEST(PcAddress, MalformedTablesGiveNoAddress)
{
    EXPECT_EQ(parse(""), "<none>");
    EXPECT_EQ(parse("tcp 0 0 ::ffff:192.168.1.1:23"), "<none>") << "four fields";
    /* The newline joins the two lines' edge fields: field 4 is "0". */
    EXPECT_EQ(parse("tcp 0 0 ::ffff:192.168.1.1:23\ntcp 0 0 x ::ffff:1.2.3.4:5 E"), "<none>");
    EXPECT_EQ(parse("tcp 0 0 a:23 ::ffff: ESTABLISHED"), "<none>") << "only the prefix";
    EXPECT_EQ(parse("tcp 0 0 a:23 ::f:1 ESTABLISHED"), "<none>") << "shorter than the prefix";
    EXPECT_EQ(parse("tcp 0 0 a:23 ::ffff:192.168.1.100"), "<none>") << "no port";
    EXPECT_EQ(parse("tcp 0 0 a:23 ::ffff:1234567890123456:80 E"), "<none>") << "16 characters";
    EXPECT_EQ(parse("tcp 0 0 a:23 ::ffff:12345678901234567890 E"), "<none>");
}

class PcAddressCommandTest : public ::testing::Test {
protected:
    FakeBin bin;
    std::string table = bin.dir.path + "/table";

    void SetUp() override
    {
        ASSERT_TRUE(bin.add("netstat", "[ \"$*\" = \"-nt\" ] || exit 9\ncat \"$D/table\"\n"));
    }
};

TEST_F(PcAddressCommandTest, ReadsThePeerOfTheTelnetConnection)
{
    ASSERT_TRUE(write_file(
        table,
        "Active Internet connections (w/o servers)\n"
        "Proto Recv-Q Send-Q Local Address           Foreign Address         State\n"
        "tcp        0      0 ::ffff:192.0.2.1:80     ::ffff:192.0.2.7:50000  TIME_WAIT\n"
        "tcp        0      0 ::ffff:192.0.2.1:23     ::ffff:192.0.2.100:41234 ESTABLISHED\n"));
    char ip[PC_IP_SIZE];
    ASSERT_EQ(get_pc_ip(ip), 1);
    EXPECT_STREQ(ip, "192.0.2.100");
}

TEST_F(PcAddressCommandTest, NoTelnetConnectionIsReported)
{
    ASSERT_TRUE(write_file(
        table, "tcp        0      0 ::ffff:192.0.2.1:80     ::ffff:192.0.2.7:50000  TIME_WAIT\n"));
    char ip[PC_IP_SIZE];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(get_pc_ip(ip), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("get_pc_ip(): netstat failed!\n"), std::string::npos) << out;
}

} // namespace
