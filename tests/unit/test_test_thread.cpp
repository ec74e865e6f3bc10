/*
 * The test thread's scenarios against the stand-in libraries. The thread's
 * timed waits end early on l_test_cond, so a driver that keeps signalling
 * it runs a scenario of minutes in a fraction of a second; the shutdown's
 * stop is the same signal with l_test_running 0 and l_exiting 1.
 *
 * Only mobile debug off here: opening the relay kills the router's mobile
 * manager by name, which belongs inside the emulated router.
 */
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <time.h>
#include <unistd.h>

#include "router_sim.h"
#include "diagferry_main/config.h"
#include "diagferry_main/shutdown.h"
#include "diagferry_main/test_thread.h"

namespace {

void wake_test_thread()
{
    pthread_mutex_lock(&l_mutex);
    pthread_cond_signal(&l_test_cond);
    pthread_mutex_unlock(&l_mutex);
}

/* The shutdown's step 2, without the join. */
void request_stop()
{
    pthread_mutex_lock(&l_mutex);
    l_exiting = 1;
    l_test_running = 0;
    pthread_cond_signal(&l_test_cond);
    pthread_mutex_unlock(&l_mutex);
}

class TestThread : public testing::Test
{
  protected:
    void SetUp() override
    {
        init_timed_conds_once();
        l_test_running = 1;
        l_exiting = 0;
        l_mobile_debug = 0;
        l_router_mode = ROUTER_MODE_MANUAL;
    }
    void TearDown() override
    {
        l_test_running = 1;
        l_exiting = 0;
        l_router_mode = ROUTER_MODE_MANUAL;
    }

    /*
     * Runs test_thread in the given mode; every millisecond step() may act
     * (change the state files, request the stop) and says whether to wake
     * the thread's wait; without step() every wait is woken. Returns the
     * captured output; the thread must end within limit_s seconds.
     */
    std::string run(int mode, std::function<bool()> step, double limit_s = 20)
    {
        pthread_t tid;
        bool failed = false;
        double t0 = mono_s();

        l_router_mode = (int8_t)mode;
        testing::internal::CaptureStdout();
        EXPECT_EQ(pthread_create(&tid, NULL, test_thread, NULL), 0);
        for (;;) {
            void *res = (void *)1;
            if (pthread_tryjoin_np(tid, &res) == 0) {
                EXPECT_EQ(res, nullptr);
                break;
            }
            if (!failed && mono_s() - t0 > limit_s) {
                ADD_FAILURE() << "test thread still running after " << limit_s << " s";
                request_stop();
                failed = true;
            }
            if (failed || !step || step())
                wake_test_thread();
            usleep(1000);
        }
        elapsed_ = mono_s() - t0;
        return testing::internal::GetCapturedStdout();
    }

    double elapsed_ = 0;
    SimDir sim_;
};

/*
 * Wakes the thread until fn says stop; then asks it to stop and keeps waking.
 * fn and the wake-up run together under l_mutex, which the thread needs to
 * enter a wait: it may make the call fn looks for meanwhile, but it cannot
 * also be waiting in the wait after that call. Checked and woken apart, the
 * thread could slip into that next wait between the two, be woken instead
 * of stopped, and run one step too far.
 */
std::function<bool()> stop_when(std::function<bool()> fn)
{
    auto stopped = std::make_shared<bool>(false);
    return [fn, stopped]() {
        pthread_mutex_lock(&l_mutex);
        if (!*stopped && fn()) {
            l_exiting = 1;
            l_test_running = 0;
            *stopped = true;
        }
        pthread_cond_signal(&l_test_cond);
        pthread_mutex_unlock(&l_mutex);
        /* Woken here already. */
        return false;
    };
}

std::vector<std::string> counter_lines(const std::string &out)
{
    std::vector<std::string> lines;
    for (const auto &m : messages(out))
        if (m.rfind("Bad DNS count: ", 0) == 0 || m.rfind("Bad MP count: ", 0) == 0 ||
            m.rfind("Bad wait mobile on count: ", 0) == 0 || m.rfind("[PROTOCOL]", 0) == 0)
            lines.push_back(m);
    return lines;
}

} // namespace

/* ---- Start and modes without a scenario */

TEST_F(TestThread, ManualAndUnknownModesOnlyLogTheBanners)
{
    for (int mode : {ROUTER_MODE_MANUAL, 3, -1}) {
        std::string out = run(mode, nullptr);
        std::vector<LogLine> lines = log_lines(out);

        ASSERT_EQ(lines.size(), 2u) << out;
        EXPECT_EQ(lines[0].msg.rfind("test thread start: pid ", 0), 0u);
        EXPECT_EQ(lines[1].msg.rfind("test thread exited: pid ", 0), 0u);
        EXPECT_EQ(lines[0].func, "test_thread");
        EXPECT_EQ(lines[0].src, "src/diagferry_main");
    }
    EXPECT_TRUE(sim_.calls().empty());
}

/* ---- Dial once */

TEST_F(TestThread, DialOnceDumpsAroundOfflineAndOnline)
{
    sim_.write("modem_mode_result", "0");
    std::string out = run(ROUTER_MODE_DIAL_ONCE, nullptr);
    std::vector<std::string> calls = {
        "mobile_get_all_status", "mobile_set_modem_mode 1", "mobile_get_all_status",
        "mobile_set_modem_mode 0", "mobile_get_all_status",
    };

    EXPECT_EQ(sim_.calls(), calls);
    EXPECT_EQ(messages_with(out, "The conn status is "),
              (std::vector<std::string>{"The conn status is connected.",
                                        "The conn status is disconnected.",
                                        "The conn status is connected."}));
    /* The mode lines carry their own newline: an empty line follows each. */
    EXPECT_NE(out.find("test_thread(): Set modem mode offline, result is 0.\n\n"), std::string::npos);
    EXPECT_NE(out.find("test_thread(): Set modem mode online, result is 0.\n\n"), std::string::npos);
    for (const auto &l : log_lines(out))
        EXPECT_EQ(l.func, "test_thread");
    EXPECT_EQ(sim_.read("modem_mode"), "online");

    /* A switch that fails: its code is logged as reported. */
    sim_.write("modem_mode_result", "-5");
    out = run(ROUTER_MODE_DIAL_ONCE, nullptr);
    EXPECT_NE(out.find("Set modem mode offline, result is -5."), std::string::npos) << out;
    EXPECT_NE(out.find("Set modem mode online, result is -5."), std::string::npos) << out;
}

TEST_F(TestThread, StatusDumpLinesAndRows)
{
    sim_.write("all_status", "data_switch=1\nroam_switch=0\nconn_state=5\npref_network=2\n"
                             "net_select_mode=1\nreg_state=2\nisp_count=3\ntotal_count=2\n"
                             "active_index=1\n"
                             "profile=work|apn.example|1|2|user|secret|ISP A|0\n"
                             "profile=home|internet|0|-1|||ISP B|1\n"
                             "profile=third|x|0|0|||ISP C|0\n");
    std::string out = run(ROUTER_MODE_DIAL_ONCE, nullptr);
    std::vector<std::string> msgs = messages(out);
    std::vector<std::string> want = {
        "The conn status is enabled.",
        "The data switch is 1.",
        "The roam switch is 0.",
        "The reg state is not registered but now searching.",
        "The pref network is 4G Only.",
        "The network selection mode is 1.",
        "Prof active index is 1.",
        "Prof ISP count is 3.",
        "Prof total count is 2.",
        "1,work,apn.example,1,2,user,secret,ISP A,0",
        "2,home,internet,0,-1,,,ISP B,1",
    };

    ASSERT_GE(msgs.size(), 1 + want.size());
    EXPECT_EQ(std::vector<std::string>(msgs.begin() + 1, msgs.begin() + 1 + want.size()), want);
    EXPECT_EQ(out.find("3,third"), std::string::npos);
}

TEST_F(TestThread, StatusDumpWithoutRows)
{
    for (const char *total : {"0", "-3"}) {
        sim_.write("all_status", std::string("total_count=") + total + "\npref_network=-1\n"
                                 "profile=p|a|0|0|||i|0\n");
        std::string out = run(ROUTER_MODE_DIAL_ONCE, nullptr);

        EXPECT_EQ(messages_with(out, "1,p,").size(), 0u) << total;
        EXPECT_EQ(messages_with(out, "The pref network is invalid.").size(), 3u);
        EXPECT_EQ(messages_with(out, "Prof total count is ").size(), 3u);
        l_test_running = 1;
    }
}

TEST_F(TestThread, StatusDumpNeverReadsBeyondTheSixteenEntries)
{
    std::string text = "total_count=40\npref_network=9\n";
    for (int i = 1; i <= 16; i++)
        text += "profile=p" + std::to_string(i) + "|apn|0|0|||isp|0\n";
    sim_.write("all_status", text);
    std::string out = run(ROUTER_MODE_DIAL_ONCE, nullptr);

    EXPECT_EQ(messages_with(out, "16,p16,apn,0,0,,,isp,0").size(), 3u);
    EXPECT_EQ(messages_with(out, "17,").size(), 0u);
    EXPECT_EQ(messages_with(out, "Prof total count 40 is more than the 16 entries").size(), 3u);
    EXPECT_EQ(messages_with(out, "The pref network is unknown code.").size(), 3u);
}

TEST_F(TestThread, DialOnceStopDuringFirstWaitDoesNothing)
{
    double t0 = mono_s();
    /* Never woken: only the stop ends the first 10 s wait. */
    std::string out = run(ROUTER_MODE_DIAL_ONCE, [t0]() {
        if (mono_s() - t0 > 0.2) {
            request_stop();
            return true;
        }
        return false;
    });

    EXPECT_LT(elapsed_, 5.0);
    EXPECT_TRUE(sim_.calls().empty());
    EXPECT_EQ(log_lines(out).size(), 2u);
}

TEST_F(TestThread, DialOnceStopAfterOfflineLeavesTheModemOffline)
{
    std::string out = run(ROUTER_MODE_DIAL_ONCE, stop_when([this]() {
                              return sim_.count_calls("mobile_set_modem_mode 1") > 0;
                          }));

    EXPECT_EQ(sim_.count_calls("mobile_set_modem_mode 0"), 0);
    EXPECT_EQ(sim_.count_calls("mobile_get_all_status"), 1);
    EXPECT_EQ(sim_.read("modem_mode"), "offline");
    EXPECT_EQ(log_lines(out).back().msg.rfind("test thread exited", 0), 0u);
}

/* ---- Net monitor: start-up check */

TEST_F(TestThread, NetMonitorBadLinkAtStartSkipsDns)
{
    sim_.write("conn_state", "1");
    std::string out = run(ROUTER_MODE_NET_MONITOR, nullptr);

    EXPECT_EQ(counter_lines(out),
              (std::vector<std::string>{"[PROTOCOL]LTE WAN init not connect"}));
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 0);
    EXPECT_EQ(sim_.count_calls("mobile_get_conn_state"), 1);
}

TEST_F(TestThread, NetMonitorBadDnsAtStartEndsIt)
{
    sim_.write("dns_diag", "0");
    std::string out = run(ROUTER_MODE_NET_MONITOR, nullptr);

    EXPECT_EQ(counter_lines(out),
              (std::vector<std::string>{"[PROTOCOL]LTE WAN init not connect"}));
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 1);
}

/* ---- Net monitor: counters and verdicts */

TEST_F(TestThread, LinkAndDnsLostEndAfterSevenPasses)
{
    sim_.write("dns_diag", "1 0");
    bool flipped = false;
    /* The link goes once the start-up check has read its DNS result. */
    std::string out = run(ROUTER_MODE_NET_MONITOR, [this, &flipped]() {
        if (!flipped && sim_.count_calls("cfgstore_get_object") > 0) {
            sim_.write("conn_state", "1");
            flipped = true;
        }
        return flipped;
    });
    std::vector<std::string> want = {
        "Bad DNS count: 1", "Bad DNS count: 2", "Bad MP count: 1", "Bad DNS count: 3",
        "Bad DNS count: 4", "Bad MP count: 2",  "Bad DNS count: 5", "Bad DNS count: 6",
        "Bad MP count: 3",  "Bad DNS count: 7", "Bad MP count: 4",
        "[PROTOCOL]LTE WAN disconnect",
    };

    EXPECT_EQ(counter_lines(out), want);
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 1 + 7);
    EXPECT_EQ(log_lines(out).back().msg.rfind("test thread exited", 0), 0u);
}

TEST_F(TestThread, DnsLostWithLinkUpReportsEverySevenPasses)
{
    sim_.write("dns_diag", "1 0");
    /* Stop once pass 14 has started its DNS check: 14 full passes. */
    std::string out = run(ROUTER_MODE_NET_MONITOR, stop_when([this]() {
                              return sim_.count_calls("cfgstore_run_action") >= 1 + 14;
                          }));
    std::vector<std::string> want;
    for (int round = 0; round < 2; round++) {
        for (int i = 1; i <= 7; i++)
            want.push_back("Bad DNS count: " + std::to_string(i));
        want.push_back("[PROTOCOL]MP ok, no Internet");
    }

    EXPECT_EQ(counter_lines(out), want);
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 1 + 14);
}

TEST_F(TestThread, OneGoodDnsCheckRestartsTheStreak)
{
    /* Start-up good; passes 1-6 bad, 7 good, 8-14 bad. */
    sim_.write("dns_diag", "1 0 0 0 0 0 0 1 0");
    std::string out = run(ROUTER_MODE_NET_MONITOR, stop_when([this]() {
                              return sim_.count_calls("cfgstore_run_action") >= 1 + 14;
                          }));
    std::vector<std::string> want;
    for (int i = 1; i <= 6; i++)
        want.push_back("Bad DNS count: " + std::to_string(i));
    for (int i = 1; i <= 7; i++)
        want.push_back("Bad DNS count: " + std::to_string(i));
    want.push_back("[PROTOCOL]MP ok, no Internet");

    EXPECT_EQ(counter_lines(out), want);
}

TEST_F(TestThread, LinkLostWithDnsUpEndsInPassEight)
{
    bool flipped = false;
    std::string out = run(ROUTER_MODE_NET_MONITOR, [this, &flipped]() {
        if (!flipped && sim_.count_calls("cfgstore_get_object") > 0) {
            sim_.write("reg_state", "0");
            flipped = true;
        }
        return flipped;
    });
    std::vector<std::string> want = {"Bad MP count: 1", "Bad MP count: 2", "Bad MP count: 3",
                                     "Bad MP count: 4", "[PROTOCOL]LTE WAN disconnect"};

    EXPECT_EQ(counter_lines(out), want);
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 1 + 8);
    /* One MP check at start and one every second pass. */
    EXPECT_EQ(sim_.count_calls("mobile_get_conn_state"), 1 + 4);
}

TEST_F(TestThread, GoodPeriodicMpCheckClearsTheMpCount)
{
    /* MP checks: start good, then bad, good, bad, bad, bad, bad. */
    sim_.write("dns_diag", "1");
    int mp_seen = 0;
    const char *conn[] = {"4", "1", "4", "1", "1", "1", "1"};
    std::string out = run(ROUTER_MODE_NET_MONITOR, [&]() {
        int n = sim_.count_calls("mobile_get_conn_state");
        if (n != mp_seen && n < 7) {
            sim_.write("conn_state", conn[n]);
            mp_seen = n;
        }
        return true;
    });
    std::vector<std::string> want = {"Bad MP count: 1", "Bad MP count: 1", "Bad MP count: 2",
                                     "Bad MP count: 3", "Bad MP count: 4",
                                     "[PROTOCOL]LTE WAN disconnect"};

    EXPECT_EQ(counter_lines(out), want);
}

TEST_F(TestThread, StopDuringMonitoringEndsWithoutVerdict)
{
    std::string out = run(ROUTER_MODE_NET_MONITOR, stop_when([this]() {
                              return sim_.count_calls("cfgstore_run_action") >= 3;
                          }));

    EXPECT_TRUE(counter_lines(out).empty());
    EXPECT_EQ(sim_.count_calls("cfgstore_run_action"), 3);
    EXPECT_EQ(log_lines(out).back().msg.rfind("test thread exited", 0), 0u);
}
