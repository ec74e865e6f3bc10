/*
 * The WAN probes against the stand-ins of the router's libraries.
 */
#include <gtest/gtest.h>

#include <string.h>
#include <time.h>
#include <unistd.h>

#include <thread>

#include "cfgstore.h"
#include "mobile.h"
#include "router_sim.h"
#include "wan_status.h"

namespace {

const char *const WAN_FILES[] = {"wan_ipv4_addr", "wan_ipv4_mask", "wan_ipv4_gateway",
                                 "wan_ipv4_dns1", "wan_ipv4_dns2", "wan_ipv6_addr",
                                 "wan_ipv6_prefix", "wan_ipv6_dns1", "wan_ipv6_dns2"};

/* A link with every WAN text empty, then the given ones set. */
void set_wan(const SimDir &sim, std::initializer_list<std::pair<const char *, const char *>> set)
{
    for (const char *f : WAN_FILES)
        sim.write(f, "");
    for (const auto &kv : set)
        sim.write(kv.first, kv.second);
}

struct Probe {
    int result;
    std::string out;
};

Probe run_mp_check()
{
    testing::internal::CaptureStdout();
    int r = check_modem_connection();
    return {r, testing::internal::GetCapturedStdout()};
}

Probe run_dns_diag()
{
    testing::internal::CaptureStdout();
    int r = dns_diag(NULL);
    return {r, testing::internal::GetCapturedStdout()};
}

} // namespace

/* ---- MP check: the eleven lines and the verdict */

TEST(MpCheck, LogsElevenLinesInOrderThenTheVerdict)
{
    SimDir sim;
    sim.write("conn_state", "4");
    sim.write("reg_state", "1");
    set_wan(sim, {{"wan_ipv4_addr", "192.0.2.10"},
                  {"wan_ipv4_mask", "255.255.255.0"},
                  {"wan_ipv4_gateway", "192.0.2.1"},
                  {"wan_ipv4_dns1", "192.0.2.53"},
                  {"wan_ipv4_dns2", ""},
                  {"wan_ipv6_addr", "2001:db8::10"},
                  {"wan_ipv6_prefix", "2001:db8::/64"},
                  {"wan_ipv6_dns1", "2001:db8::53"},
                  {"wan_ipv6_dns2", "2001:db8::54"}});
    Probe p = run_mp_check();

    EXPECT_EQ(p.result, 1);
    std::vector<std::string> want = {
        "Modem connect stat is connected.",   "Modem reg stat is registered.",
        "IPv4 Address is 192.0.2.10.",        "IPv4 Subnet Mask is 255.255.255.0.",
        "IPv4 Gateway is 192.0.2.1.",         "IPv4 Primary DNS is 192.0.2.53.",
        "IPv4 Secondary DNS is .",            "IPv6 Address is 2001:db8::10.",
        "IPv6 Prefix is 2001:db8::/64.",      "IPv6 Primary DNS is 2001:db8::53.",
        "IPv6 Secondary DNS is 2001:db8::54.", "Good mp check",
    };
    EXPECT_EQ(messages(p.out), want);
    for (const auto &l : log_lines(p.out)) {
        EXPECT_EQ(l.src, "src/wan_status");
        EXPECT_EQ(l.func, "check_modem_connection");
    }
    /* One read of each, in this order. */
    std::vector<std::string> calls = {"mobile_get_conn_state", "mobile_get_reg_state",
                                      "mobile_get_wan_params"};
    EXPECT_EQ(sim.calls(), calls);
}

TEST(MpCheck, EachAddressThatCountsIsEnoughAlone)
{
    for (const char *f : {"wan_ipv4_addr", "wan_ipv6_addr", "wan_ipv6_dns1"}) {
        SimDir sim;
        set_wan(sim, {{f, "x"}});
        EXPECT_EQ(run_mp_check().result, 1) << f;
    }
}

TEST(MpCheck, Ipv4DnsGatewayAndOtherTextsDoNotCount)
{
    SimDir sim;
    set_wan(sim, {{"wan_ipv4_dns1", "192.0.2.53"},
                  {"wan_ipv4_dns2", "192.0.2.54"},
                  {"wan_ipv4_gateway", "192.0.2.1"},
                  {"wan_ipv4_mask", "255.255.255.0"},
                  {"wan_ipv6_prefix", "2001:db8::/64"},
                  {"wan_ipv6_dns2", "2001:db8::54"}});
    Probe p = run_mp_check();

    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(messages(p.out).back(), "Bad mp check");
}

TEST(MpCheck, OnlyConnectedAndRegisteredCount)
{
    struct {
        const char *conn, *reg, *conn_line, *reg_line;
    } cases[] = {
        {"5", "1", "Modem connect stat is enabled.", "Modem reg stat is registered."},
        {"3", "1", "Modem connect stat is disconnecting.", "Modem reg stat is registered."},
        {"4", "2", "Modem connect stat is connected.",
         "Modem reg stat is not registered but now searching."},
        {"4", "3", "Modem connect stat is connected.", "Modem reg stat is denied by the network."},
        {"-1", "4", "Modem connect stat is invalid.", "Modem reg stat is unknown."},
    };
    for (const auto &c : cases) {
        SimDir sim;
        sim.write("conn_state", c.conn);
        sim.write("reg_state", c.reg);
        set_wan(sim, {{"wan_ipv4_addr", "192.0.2.10"}});
        Probe p = run_mp_check();
        std::vector<std::string> msgs = messages(p.out);

        EXPECT_EQ(p.result, 0) << c.conn << "/" << c.reg;
        ASSERT_EQ(msgs.size(), 12u);
        EXPECT_EQ(msgs[0], c.conn_line);
        EXPECT_EQ(msgs[1], c.reg_line);
        EXPECT_EQ(msgs[11], "Bad mp check");
    }
}

TEST(MpCheck, CodesOutsideTheTablesLogAFixedName)
{
    SimDir sim;
    sim.write("conn_state", "6");
    sim.write("reg_state", "-2");
    Probe p = run_mp_check();

    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(messages(p.out)[0], "Modem connect stat is unknown code.");
    EXPECT_EQ(messages(p.out)[1], "Modem reg stat is unknown code.");
    /* The table edges themselves still name their states. */
    EXPECT_STREQ(conn_state_name(-1), "invalid");
    EXPECT_STREQ(conn_state_name(5), "enabled");
    EXPECT_STREQ(conn_state_name(-2), "unknown code");
    EXPECT_STREQ(conn_state_name(2147483647), "unknown code");
    EXPECT_STREQ(reg_state_name(4), "unknown");
    EXPECT_STREQ(reg_state_name(5), "unknown code");
    EXPECT_STREQ(reg_state_name(-2147483647 - 1), "unknown code");
}

/* ---- DNS check: action, then the object polled while it reports 3 */

/* The pause between two reads of a pending result, shortened for one test
 * (the default is a second: checked by the first test) and put back. */
struct ShortDnsPause {
    explicit ShortDnsPause(int ms) : before(set_dns_diag_poll_ms(ms)) {}
    ~ShortDnsPause() { set_dns_diag_poll_ms(before); }
    int before;
};

TEST(DnsDiag, PendingTwiceThenGoodWaitsAPauseEach)
{
    SimDir sim;
    sim.write("dns_diag", "3 3 1");
    ShortDnsPause pause(100);
    EXPECT_EQ(pause.before, 1000) << "the daemon's pause is a second";
    double t0 = mono_s();
    Probe p = run_dns_diag();
    double spent = mono_s() - t0;

    EXPECT_EQ(p.result, 1);
    std::vector<std::string> want = {"Do dns diag", "diagTool result is 3, wait..",
                                     "diagTool result is 3, wait..", "Good dns diag"};
    EXPECT_EQ(messages(p.out), want);
    for (const auto &l : log_lines(p.out))
        EXPECT_EQ(l.func, "dns_diag");
    EXPECT_GE(spent, 0.19);
    EXPECT_LT(spent, 1.5);
    /* One action, three reads of object 18, all with a zero selector. */
    std::vector<std::string> calls = {
        "cfgstore_run_action ACT_DIAG_DNSDIAG 0,0,0,0,0,0,0",
        "cfgstore_get_object 18 0,0,0,0,0,0,0 240",
        "cfgstore_get_object 18 0,0,0,0,0,0,0 240",
        "cfgstore_get_object 18 0,0,0,0,0,0,0 240",
    };
    EXPECT_EQ(sim.calls(), calls);
}

TEST(DnsDiag, AStopEndsAPendingWait)
{
    SimDir sim;
    sim.write("dns_diag", "3");
    ShortDnsPause pause(200);
    std::atomic<int> running(1);
    std::thread stopper([&] {
        usleep(300000);
        running = 0;
    });
    double t0 = mono_s();
    testing::internal::CaptureStdout();
    int r = dns_diag(&running);
    std::string out = testing::internal::GetCapturedStdout();
    double spent = mono_s() - t0;
    stopper.join();

    EXPECT_EQ(r, 0);
    EXPECT_LT(spent, 1.5);
    EXPECT_EQ(messages(out).back(), "dns diag stopped while pending") << out;
}

TEST(DnsDiag, AnyOtherResultIsBad)
{
    for (const char *v : {"0", "-1", "2", "4"}) {
        SimDir sim;
        sim.write("dns_diag", v);
        Probe p = run_dns_diag();
        std::vector<std::string> want = {"Do dns diag", std::string("Bad dns diag(") + v + ")"};

        EXPECT_EQ(p.result, 0) << v;
        EXPECT_EQ(messages(p.out), want);
    }
}

TEST(DnsDiag, RefusedActionNeverReadsTheObject)
{
    SimDir sim;
    sim.write("action_result", "-1");
    sim.write("dns_diag", "1");
    Probe p = run_dns_diag();

    EXPECT_EQ(p.result, 0);
    std::vector<std::string> want = {"Do dns diag", "ACT_DIAG_DNSDIAG error"};
    EXPECT_EQ(messages(p.out), want);
    EXPECT_EQ(sim.count_calls("cfgstore_run_action"), 1);
    EXPECT_EQ(sim.count_calls("cfgstore_get_object"), 0);
}

TEST(DnsDiag, FailedObjectReadIsBad)
{
    SimDir sim;
    sim.write("object_result", "2");
    Probe p = run_dns_diag();

    EXPECT_EQ(p.result, 0);
    std::vector<std::string> want = {"Do dns diag", "Get current diag tool object error"};
    EXPECT_EQ(messages(p.out), want);
}

TEST(DnsDiag, EveryCallRunsTheActionAgain)
{
    SimDir sim;
    sim.write("dns_diag", "0 1");
    EXPECT_EQ(run_dns_diag().result, 0);
    EXPECT_EQ(run_dns_diag().result, 1);
    EXPECT_EQ(run_dns_diag().result, 1); /* the last value repeats */
    std::vector<std::string> calls = sim.calls();
    ASSERT_EQ(calls.size(), 6u);
    for (size_t i = 0; i < calls.size(); i += 2) {
        EXPECT_EQ(calls[i].rfind("cfgstore_run_action ", 0), 0u);
        EXPECT_EQ(calls[i + 1].rfind("cfgstore_get_object ", 0), 0u);
    }
}
