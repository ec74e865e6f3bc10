/*
 * wan_status: the two probes the test scenarios use to judge the LTE WAN
 * link (see wan_status.h).
 *
 *  - check_modem_connection (the MP check) asks the mobile-manager library
 *    for the connection state, the registration state and the WAN addresses;
 *  - dns_diag (the DNS check) runs the configuration store's DNS diagnosis
 *    and polls the diag tool object until it has a result.
 *
 * Lock-free: only the test thread calls them, one at a time. The one piece
 * of state is the pause between two reads of a pending diagnosis.
 * The configuration store was attached by main before any probe runs.
 */
#define LOG_SRC "src/wan_status"
#include "wan_status.h"

#include <string.h>
#include <time.h>

#include "cfgstore.h"
#include "mobile.h"
#include "utils.h"

#define DNS_DIAG_ACTION "ACT_DIAG_DNSDIAG"
/* Pause between two reads of the diag tool object while it is pending. */
#define DNS_DIAG_POLL_MS 1000
#define CONN_STATE_CONNECTED 4
#define REG_STATE_REGISTERED 1
/* What a code outside a name table logs. */
#define UNKNOWN_CODE_NAME "unknown code"

/* Printed bounded by the field size, so a field the library left without
 * its NUL cannot make the log read past it. */
#define FIELD(f) (int)sizeof(f), (f)

/* The pause dns_diag takes between two reads of a pending result, in ms:
 * DNS_DIAG_POLL_MS, unless a unit test shortened it (set_dns_diag_poll_ms);
 * read by dns_diag. */
static std::atomic<int> l_dns_poll_ms(DNS_DIAG_POLL_MS);

/* Connection-state names, indexed by code + 1. */
const char conn_state_names[7][16] = {
    "invalid", "disabled", "disconnected", "connecting", "disconnecting", "connected", "enabled",
};

/* Registration-state names, indexed by code + 1. */
const char reg_state_names[6][40] = {
    "invalid", "not registered", "registered", "not registered but now searching",
    "denied by the network", "unknown",
};

const char *conn_state_name(int code)
{
    if (code < -1 || code >= (int)(sizeof(conn_state_names) / sizeof(conn_state_names[0])) - 1)
        return UNKNOWN_CODE_NAME;
    return conn_state_names[code + 1];
}

const char *reg_state_name(int code)
{
    if (code < -1 || code >= (int)(sizeof(reg_state_names) / sizeof(reg_state_names[0])) - 1)
        return UNKNOWN_CODE_NAME;
    return reg_state_names[code + 1];
}

int check_modem_connection(void)
{
    /* Preset, so that a library that does not fill them gives "invalid"
     * and empty texts instead of stack garbage. */
    int32_t conn_state = -1, reg_state = -1;
    wan_params wan;

    memset(&wan, 0, sizeof(wan));
    mobile_get_conn_state(&conn_state);
    mobile_get_reg_state(&reg_state);
    mobile_get_wan_params(&wan);

    LOG("Modem connect stat is %s.", conn_state_name(conn_state));
    LOG("Modem reg stat is %s.", reg_state_name(reg_state));
    LOG("IPv4 Address is %.*s.", FIELD(wan.ipv4_addr));
    LOG("IPv4 Subnet Mask is %.*s.", FIELD(wan.ipv4_mask));
    LOG("IPv4 Gateway is %.*s.", FIELD(wan.ipv4_gateway));
    LOG("IPv4 Primary DNS is %.*s.", FIELD(wan.ipv4_dns1));
    LOG("IPv4 Secondary DNS is %.*s.", FIELD(wan.ipv4_dns2));
    LOG("IPv6 Address is %.*s.", FIELD(wan.ipv6_addr));
    LOG("IPv6 Prefix is %.*s.", FIELD(wan.ipv6_prefix));
    LOG("IPv6 Primary DNS is %.*s.", FIELD(wan.ipv6_dns1));
    LOG("IPv6 Secondary DNS is %.*s.", FIELD(wan.ipv6_dns2));

    /* An address of either family, or an IPv6 DNS server (an IPv6-only link
     * may show no address of its own), means the link carries traffic. */
    if (conn_state == CONN_STATE_CONNECTED && reg_state == REG_STATE_REGISTERED &&
        (wan.ipv4_addr[0] || wan.ipv6_addr[0] || wan.ipv6_dns1[0])) {
        LOG("Good mp check");
        return TRUE;
    }
    LOG("Bad mp check");
    return FALSE;
}

int set_dns_diag_poll_ms(int ms)
{
    return l_dns_poll_ms.exchange(ms);
}

/* Sleeps for the pause between two reads of a pending result. */
static void dns_diag_pause(void)
{
    int ms = l_dns_poll_ms;
    struct timespec nap = {ms / 1000, (long)(ms % 1000) * 1000000L};

    nanosleep(&nap, NULL);
}

int dns_diag(const std::atomic<int> *running)
{
    cfgstore_selector sel;
    diag_tool_object obj;

    LOG("Do dns diag");
    memset(&sel, 0, sizeof(sel));
    if (cfgstore_run_action(DNS_DIAG_ACTION, &sel) != 0) {
        LOG("ACT_DIAG_DNSDIAG error");
        return FALSE;
    }
    /* The store runs the diagnosis on its own; its result shows in the diag
     * tool object once it is done. The store decides how long that takes,
     * but a stop of the caller ends the wait within one pause. */
    for (;;) {
        if (running && !*running) {
            LOG("dns diag stopped while pending");
            return FALSE;
        }
        memset(&sel, 0, sizeof(sel));
        if (cfgstore_get_object(CFGSTORE_OBJ_DIAG_TOOL, &sel, DIAG_TOOL_OBJ_SIZE, &obj) != 0) {
            LOG("Get current diag tool object error");
            return FALSE;
        }
        if (obj.result == DIAG_TOOL_RESULT_OK) {
            LOG("Good dns diag");
            return TRUE;
        }
        if (obj.result != DIAG_TOOL_RESULT_PENDING) {
            LOG("Bad dns diag(%d)", (int)obj.result);
            return FALSE;
        }
        LOG("diagTool result is 3, wait..");
        dns_diag_pause();
    }
}
