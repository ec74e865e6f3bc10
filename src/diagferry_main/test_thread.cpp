/*
 * test_thread: the optional test scenario on the router's LTE modem, chosen
 * by "router.mode" (l_router_mode):
 *
 *  - dial once: the manager's status, the modem offline, the status, the
 *    modem online, the status, with waits of 10, 10 and 20 s before them;
 *  - net monitor: an MP check and a DNS check at start, then a DNS check
 *    every 10 s and an MP check every 20 s (or after 7 DNS failures in a
 *    row), with "[PROTOCOL]" verdicts;
 *  - anything else: no scenario.
 *
 * With "router.mobiledebug" on it first opens the mobile debug relay, in
 * every mode. The thread ends by itself when its scenario is over; the
 * daemon goes on without it.
 *
 * Lock discipline: the thread holds l_mutex only around each timed wait on
 * l_test_cond. The shutdown clears l_test_running and signals l_test_cond
 * under l_mutex; the thread tests its stop condition before and after each
 * wait, outside the lock, so a signal that comes while it is probing is
 * noticed at the next wait's check.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/test_thread.h"

#include <string.h>

#include "mobile.h"
#include "utils.h"
#include "wan_status.h"
#include "diagferry_main/config.h"
#include "diagferry_main/mobile_relay.h"
#include "diagferry_main/shutdown.h"

/* Every line of the scenarios logs as the thread itself, whichever helper
 * prints it. */
#define TEST_LOG(fmt, ...) log_line(LOG_SRC, __LINE__, "test_thread", fmt, ##__VA_ARGS__)

#define DIAL_WAIT_S 10
#define DIAL_LAST_WAIT_S 20
#define START_WAIT_S 1
#define BAD_WAIT_MAX 3
#define DNS_INTERVAL_S 10
#define MP_CYCLE_S 20
/* A streak of this many DNS failures forces an MP check. */
#define BAD_DNS_MAX 7
/* This many MP failures in a row mean the WAN link is gone. */
#define BAD_MP_MAX 4

/* Field size and text, so a text without its NUL is still printed safely. */
#define FIELD(f) (int)sizeof(f), (f)

/* Preferred-network names, indexed by code + 1. */
static const char pref_network_names[5][32] = {
    "invalid", "2G Only", "3G Only", "4G Only", "Auto (4G Preferred)",
};

static const char *pref_network_name(int code)
{
    if (code < -1 || code >= (int)(sizeof(pref_network_names) / sizeof(pref_network_names[0])) - 1)
        return "unknown code";
    return pref_network_names[code + 1];
}

/* The shutdown has asked the thread to stop. */
static int stop_requested(void)
{
    return l_test_running == 0 && l_exiting == 1;
}

/* Waits up to seconds, or until the shutdown's signal. 0 when the thread
 * must stop, 1 to go on. */
static int test_wait(int seconds)
{
    struct timespec deadline;

    if (stop_requested())
        return FALSE;
    maketimeout_s(&deadline, seconds);
    pthread_mutex_lock(&l_mutex);
    /* Early wake-ups, by the shutdown or spurious, just end the wait. */
    pthread_cond_timedwait(&l_test_cond, &l_mutex, &deadline);
    pthread_mutex_unlock(&l_mutex);
    return !stop_requested();
}

/* Logs everything the mobile manager reports about itself. */
static void dump_all_status(void)
{
    mobile_all_status st;
    int rows;

    memset(&st, 0, sizeof(st));
    mobile_get_all_status(&st);
    TEST_LOG("The conn status is %s.", conn_state_name(st.conn_state));
    TEST_LOG("The data switch is %d.", (int)st.data_switch);
    TEST_LOG("The roam switch is %d.", (int)st.roam_switch);
    TEST_LOG("The reg state is %s.", reg_state_name(st.reg_state));
    TEST_LOG("The pref network is %s.", pref_network_name(st.pref_network));
    TEST_LOG("The network selection mode is %d.", (int)st.net_select_mode);
    TEST_LOG("Prof active index is %d.", (int)st.active_index);
    TEST_LOG("Prof ISP count is %d.", (int)st.isp_count);
    TEST_LOG("Prof total count is %d.", (int)st.total_count);

    /* The record holds MOBILE_PROFILE_MAX entries whatever the count says. */
    rows = st.total_count;
    if (rows > MOBILE_PROFILE_MAX) {
        TEST_LOG("Prof total count %d is more than the %d entries of the record, %d printed",
                 (int)st.total_count, MOBILE_PROFILE_MAX, MOBILE_PROFILE_MAX);
        rows = MOBILE_PROFILE_MAX;
    }
    for (int i = 0; i < rows; i++) {
        const profile_entry *p = &st.profiles[i];

        TEST_LOG("%d,%.*s,%.*s,%d,%d,%.*s,%.*s,%.*s,%d", i + 1, FIELD(p->name), FIELD(p->apn),
                 p->pdp_type, p->auth_type, FIELD(p->username), FIELD(p->password),
                 FIELD(p->isp), p->is_default);
    }
}

/* Offline and back online, with the status before, between and after. */
static void dial_once(void)
{
    int32_t result = -1;

    if (!test_wait(DIAL_WAIT_S))
        return;
    dump_all_status();
    mobile_set_modem_mode(MOBILE_MODE_OFFLINE, &result);
    TEST_LOG("Set modem mode offline, result is %d.\n", (int)result);
    /* A stop from here on leaves the modem offline. */
    if (!test_wait(DIAL_WAIT_S))
        return;
    dump_all_status();
    result = -1;
    mobile_set_modem_mode(MOBILE_MODE_ONLINE, &result);
    TEST_LOG("Set modem mode online, result is %d.\n", (int)result);
    if (!test_wait(DIAL_LAST_WAIT_S))
        return;
    dump_all_status();
}

/* The WAN link works: a good MP check, then a good DNS check. */
static int wan_check(void)
{
    return check_modem_connection() && dns_diag(&l_test_running);
}

/* The start-up check of the net monitor: 1 to start monitoring, 0 to end. */
static int net_monitor_start(void)
{
    int bad_wait_count = 0;

    if (!l_mobile_debug) {
        if (wan_check())
            return TRUE;
        TEST_LOG("[PROTOCOL]LTE WAN init not connect");
        return FALSE;
    }
    /* The relay has just restarted the mobile manager: give it some tries. */
    for (;;) {
        if (bad_wait_count >= BAD_WAIT_MAX) {
            TEST_LOG("[PROTOCOL]LTE WAN init not connect");
            return FALSE;
        }
        if (l_test_running != 1 || !test_wait(START_WAIT_S))
            return FALSE;
        if (wan_check())
            return TRUE;
        bad_wait_count++;
        TEST_LOG("Bad wait mobile on count: %d", bad_wait_count);
    }
}

/* Counts one failed MP check; 1 when the link is declared gone. */
static int count_bad_mp(int *bad_mp_count)
{
    (*bad_mp_count)++;
    TEST_LOG("Bad MP count: %d", *bad_mp_count);
    if (*bad_mp_count < BAD_MP_MAX)
        return FALSE;
    TEST_LOG("[PROTOCOL]LTE WAN disconnect");
    return TRUE;
}

/* Watches DNS and the link until the link is gone or the thread stops. */
static void net_monitor_loop(void)
{
    int mp_cycle = MP_CYCLE_S, bad_mp_count = 0, bad_dns_count = 0;

    while (l_test_running == 1) {
        if (!test_wait(DNS_INTERVAL_S))
            return;
        if (dns_diag(&l_test_running)) {
            bad_dns_count = 0;
        } else {
            bad_dns_count++;
            TEST_LOG("Bad DNS count: %d", bad_dns_count);
            if (bad_dns_count >= BAD_DNS_MAX) {
                /* A DNS failure streak: is it the link or only the Internet? */
                if (check_modem_connection()) {
                    TEST_LOG("[PROTOCOL]MP ok, no Internet");
                    bad_mp_count = 0;
                } else if (count_bad_mp(&bad_mp_count)) {
                    return;
                }
                bad_dns_count = 0;
                mp_cycle = MP_CYCLE_S;
                continue;
            }
        }
        mp_cycle -= DNS_INTERVAL_S;
        if (mp_cycle > 0)
            continue;
        mp_cycle = MP_CYCLE_S;
        if (check_modem_connection())
            bad_mp_count = 0;
        else if (count_bad_mp(&bad_mp_count))
            return;
    }
}

static void net_monitor(void)
{
    if (net_monitor_start())
        net_monitor_loop();
}

void *test_thread(void *)
{
    LOG_BANNER("test thread start");
    if (l_mobile_debug)
        set_mobile_debug(1);
    if (l_router_mode == ROUTER_MODE_DIAL_ONCE)
        dial_once();
    else if (l_router_mode == ROUTER_MODE_NET_MONITOR)
        net_monitor();
    LOG_BANNER("test thread exited");
    return NULL;
}
