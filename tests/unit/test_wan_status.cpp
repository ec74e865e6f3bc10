/*
 * The WAN probes against the stand-ins of the router's libraries, and the
 * stand-ins' own record layouts as the bytes land in memory.
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

TEST(MpCheck, DefaultsWithoutStateDirectoryAreAGoodLink)
{
    unsetenv("ROUTER_SIM_DIR");
    EXPECT_EQ(run_mp_check().result, 1);
    EXPECT_EQ(run_dns_diag().result, 1);
}

/* ---- DNS check: action, then the object polled while it reports 3 */

TEST(DnsDiag, PendingTwiceThenGoodWaitsASecondEach)
{
    SimDir sim;
    sim.write("dns_diag", "3 3 1");
    double t0 = mono_s();
    Probe p = run_dns_diag();
    double spent = mono_s() - t0;

    EXPECT_EQ(p.result, 1);
    std::vector<std::string> want = {"Do dns diag", "diagTool result is 3, wait..",
                                     "diagTool result is 3, wait..", "Good dns diag"};
    EXPECT_EQ(messages(p.out), want);
    for (const auto &l : log_lines(p.out))
        EXPECT_EQ(l.func, "dns_diag");
    EXPECT_GE(spent, 1.9);
    EXPECT_LT(spent, 3.5);
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
    std::atomic<int> running(1);
    std::thread stopper([&] {
        usleep(1500000);
        running = 0;
    });
    double t0 = mono_s();
    testing::internal::CaptureStdout();
    int r = dns_diag(&running);
    std::string out = testing::internal::GetCapturedStdout();
    double spent = mono_s() - t0;
    stopper.join();

    EXPECT_EQ(r, 0);
    EXPECT_LT(spent, 3.5);
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

/* ---- Record layouts: the stand-ins fill the bytes where the daemon reads */

TEST(Layout, WanTextsLandAtTheirOffsets)
{
    SimDir sim;
    const size_t offsets[] = {0, 16, 32, 48, 64, 84, 124, 204, 244};
    for (size_t i = 0; i < 9; i++)
        sim.write(WAN_FILES[i], "t" + std::to_string(i));
    unsigned char raw[288];
    memset(raw, 0xAA, sizeof(raw));
    mobile_get_wan_params(reinterpret_cast<wan_params *>(raw));

    for (size_t i = 0; i < 9; i++)
        EXPECT_STREQ(reinterpret_cast<char *>(raw + offsets[i]), ("t" + std::to_string(i)).c_str());
}

TEST(Layout, WanTextsAreCutToTheirFields)
{
    SimDir sim;
    sim.write("wan_ipv4_addr", "123456789012345678901234567890");
    sim.write("wan_ipv4_mask", "mask");
    wan_params w;
    mobile_get_wan_params(&w);

    EXPECT_STREQ(w.ipv4_addr, "123456789012345");
    EXPECT_STREQ(w.ipv4_mask, "mask");
}

TEST(Layout, AllStatusFieldsLandAtTheirOffsets)
{
    SimDir sim;
    sim.write("all_status", "data_switch=11\nroam_switch=12\nconn_state=13\npref_network=14\n"
                            "net_select_mode=15\nreg_state=16\nisp_count=17\ntotal_count=18\n"
                            "active_index=19\n"
                            "profile=a|b|1|2|c|d|e|3\n"
                            "profile=N|APN|-4|5|U|P|I|-6\n");
    static unsigned char raw[5332];
    mobile_get_all_status(reinterpret_cast<mobile_all_status *>(raw));
    auto i32 = [&](size_t off) {
        int32_t v;
        memcpy(&v, raw + off, 4);
        return v;
    };

    for (int i = 0; i < 6; i++)
        EXPECT_EQ(i32(4 * i), 11 + i);
    EXPECT_EQ(i32(5320), 17);
    EXPECT_EQ(i32(5324), 18);
    EXPECT_EQ(i32(5328), 19);
    const unsigned char *second = raw + 24 + 331;
    EXPECT_STREQ(reinterpret_cast<const char *>(second + 0), "N");
    EXPECT_STREQ(reinterpret_cast<const char *>(second + 32), "APN");
    EXPECT_EQ(static_cast<signed char>(second[200]), -4);
    EXPECT_EQ(static_cast<signed char>(second[201]), 5);
    EXPECT_STREQ(reinterpret_cast<const char *>(second + 202), "U");
    EXPECT_STREQ(reinterpret_cast<const char *>(second + 266), "P");
    EXPECT_STREQ(reinterpret_cast<const char *>(second + 298), "I");
    EXPECT_EQ(static_cast<signed char>(second[330]), -6);
}

TEST(Layout, DiagToolResultIsTheLastFourBytes)
{
    SimDir sim;
    sim.write("dns_diag", "-7");
    unsigned char raw[240];
    cfgstore_selector sel = {};
    memset(raw, 0xAA, sizeof(raw));

    ASSERT_EQ(cfgstore_get_object(18, &sel, 240, raw), 0);
    int32_t v;
    memcpy(&v, raw + 236, 4);
    EXPECT_EQ(v, -7);
    /* Another length or object is refused and leaves the buffer alone. */
    raw[0] = 0x55;
    EXPECT_NE(cfgstore_get_object(18, &sel, 236, raw), 0);
    EXPECT_NE(cfgstore_get_object(17, &sel, 240, raw), 0);
    EXPECT_EQ(raw[0], 0x55);
}

/* ---- Stand-in state that the scenarios rely on */

TEST(StandIn, ModeSwitchIsRecordedAndTakesTheModemOffline)
{
    SimDir sim;
    int32_t result = 99, state = 99;

    EXPECT_EQ(mobile_set_modem_mode(MOBILE_MODE_OFFLINE, &result), 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(sim.read("modem_mode"), "offline");
    mobile_get_conn_state(&state);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(run_mp_check().result, 0);

    sim.write("modem_mode_result", "7");
    EXPECT_EQ(mobile_set_modem_mode(MOBILE_MODE_ONLINE, &result), 7);
    EXPECT_EQ(result, 7);
    EXPECT_EQ(sim.read("modem_mode"), "offline"); /* a failed switch changes nothing */

    sim.write("modem_mode_result", "0");
    mobile_set_modem_mode(MOBILE_MODE_ONLINE, &result);
    EXPECT_EQ(sim.read("modem_mode"), "online");
    EXPECT_EQ(run_mp_check().result, 1);
    std::vector<std::string> modes;
    for (const auto &c : sim.calls())
        if (c.rfind("mobile_set_modem_mode", 0) == 0)
            modes.push_back(c);
    std::vector<std::string> want = {"mobile_set_modem_mode 1", "mobile_set_modem_mode 0",
                                     "mobile_set_modem_mode 0"};
    EXPECT_EQ(modes, want);
}
