/*
 * Stand-in for the router's mobile-manager library.
 *
 * Its answers come from the state directory (see sim.h), read at every
 * call; a missing file gives the default, an empty file an empty text. Each
 * call is logged once it has read its state, so a test that sees the call
 * in the log may change the state for the next one:
 *
 *   conn_state         connection state code. Default 4 (connected).
 *   reg_state          registration state code. Default 1 (registered).
 *   wan_ipv4_addr, wan_ipv4_mask, wan_ipv4_gateway, wan_ipv4_dns1,
 *   wan_ipv4_dns2, wan_ipv6_addr, wan_ipv6_prefix, wan_ipv6_dns1,
 *   wan_ipv6_dns2      the nine WAN address texts. Defaults: an IPv4 link
 *                      (198.51.100.2/30, gateway .1, DNS .53 and .54), no
 *                      IPv6.
 *   all_status         the all-status record, "key=value" lines (below).
 *   modem_mode_result  the status code mobile_set_modem_mode hands back.
 *                      Default 0; any other value leaves the mode unchanged.
 *   modem_mode         state kept by mobile_set_modem_mode: "online" or
 *                      "offline". Missing means online. While the modem is
 *                      offline every read reports the connection state 1
 *                      (disconnected) and the registration state 0.
 *
 * all_status keys: data_switch (default 1), roam_switch (0), conn_state
 * and reg_state (default: as above), pref_network (3), net_select_mode (0),
 * isp_count (1), total_count (default: the number of profiles),
 * active_index (0), and one "profile=" line per entry, at most 16:
 *   profile=name|apn|pdp_type|auth_type|username|password|isp|is_default
 * Without the file the record holds one profile, "internet".
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "mobile.h"
#include "sim.h"

#define MODE_FILE "modem_mode"
#define ALL_STATUS_FILE "all_status"
#define ALL_STATUS_TEXT_SIZE 16384
#define PROFILE_FIELDS 8

/* The modem mode when there is no state directory to keep it in. */
static int l_offline;

/* The state files of the nine WAN texts, in record order, with defaults. */
static const struct {
    const char *file;
    size_t offset;
    size_t size;
    const char *def;
} l_wan_fields[] = {
    {"wan_ipv4_addr", offsetof(wan_params, ipv4_addr), 16, "198.51.100.2"},
    {"wan_ipv4_mask", offsetof(wan_params, ipv4_mask), 16, "255.255.255.252"},
    {"wan_ipv4_gateway", offsetof(wan_params, ipv4_gateway), 16, "198.51.100.1"},
    {"wan_ipv4_dns1", offsetof(wan_params, ipv4_dns1), 16, "198.51.100.53"},
    {"wan_ipv4_dns2", offsetof(wan_params, ipv4_dns2), 16, "198.51.100.54"},
    {"wan_ipv6_addr", offsetof(wan_params, ipv6_addr), 40, ""},
    {"wan_ipv6_prefix", offsetof(wan_params, ipv6_prefix), 80, ""},
    {"wan_ipv6_dns1", offsetof(wan_params, ipv6_dns1), 40, ""},
    {"wan_ipv6_dns2", offsetof(wan_params, ipv6_dns2), 40, ""},
};

static int modem_offline(void)
{
    char mode[16];

    if (!sim_dir())
        return l_offline;
    return sim_read_text(MODE_FILE, mode, sizeof(mode)) && strcmp(mode, "offline") == 0;
}

static int current_conn_state(void)
{
    return modem_offline() ? 1 : sim_read_int("conn_state", 4);
}

static int current_reg_state(void)
{
    return modem_offline() ? 0 : sim_read_int("reg_state", 1);
}

/* Copies text into a field of size bytes, truncated and NUL-terminated. */
static void set_text(char *field, size_t size, const char *text)
{
    size_t len = strlen(text);

    if (len > size - 1)
        len = size - 1;
    memset(field, 0, size);
    memcpy(field, text, len);
}

int mobile_get_conn_state(int32_t *state)
{
    if (state)
        *state = current_conn_state();
    sim_log("mobile_get_conn_state");
    return state ? 0 : -1;
}

int mobile_get_reg_state(int32_t *state)
{
    if (state)
        *state = current_reg_state();
    sim_log("mobile_get_reg_state");
    return state ? 0 : -1;
}

int mobile_get_wan_params(wan_params *params)
{
    char text[128];
    size_t i;

    if (!params) {
        sim_log("mobile_get_wan_params");
        return -1;
    }
    memset(params, 0, sizeof(*params));
    for (i = 0; i < sizeof(l_wan_fields) / sizeof(l_wan_fields[0]); i++) {
        const char *value = l_wan_fields[i].def;

        if (sim_read_text(l_wan_fields[i].file, text, sizeof(text)))
            value = text;
        set_text((char *)params + l_wan_fields[i].offset, l_wan_fields[i].size, value);
    }
    sim_log("mobile_get_wan_params");
    return 0;
}

/* Fills one profile entry from "name|apn|pdp|auth|user|password|isp|default". */
static void parse_profile(char *text, profile_entry *p)
{
    char *field[PROFILE_FIELDS] = {NULL};
    int n = 0;

    while (n < PROFILE_FIELDS && text) {
        field[n++] = text;
        text = strchr(text, '|');
        if (text)
            *text++ = '\0';
    }
    memset(p, 0, sizeof(*p));
    set_text(p->name, sizeof(p->name), field[0] ? field[0] : "");
    set_text(p->apn, sizeof(p->apn), field[1] ? field[1] : "");
    p->pdp_type = (signed char)(field[2] ? atoi(field[2]) : 0);
    p->auth_type = (signed char)(field[3] ? atoi(field[3]) : 0);
    set_text(p->username, sizeof(p->username), field[4] ? field[4] : "");
    set_text(p->password, sizeof(p->password), field[5] ? field[5] : "");
    set_text(p->isp, sizeof(p->isp), field[6] ? field[6] : "");
    p->is_default = (signed char)(field[7] ? atoi(field[7]) : 0);
}

/* Applies one "key=value" line of the all_status file. */
static void apply_status_line(char *line, mobile_all_status *st, int *profiles, int *has_total)
{
    char *value = strchr(line, '=');

    if (!value)
        return;
    *value++ = '\0';
    if (strcmp(line, "profile") == 0) {
        if (*profiles < MOBILE_PROFILE_MAX)
            parse_profile(value, &st->profiles[(*profiles)++]);
    } else if (strcmp(line, "data_switch") == 0) {
        st->data_switch = atoi(value);
    } else if (strcmp(line, "roam_switch") == 0) {
        st->roam_switch = atoi(value);
    } else if (strcmp(line, "conn_state") == 0) {
        st->conn_state = atoi(value);
    } else if (strcmp(line, "pref_network") == 0) {
        st->pref_network = atoi(value);
    } else if (strcmp(line, "net_select_mode") == 0) {
        st->net_select_mode = atoi(value);
    } else if (strcmp(line, "reg_state") == 0) {
        st->reg_state = atoi(value);
    } else if (strcmp(line, "isp_count") == 0) {
        st->isp_count = atoi(value);
    } else if (strcmp(line, "total_count") == 0) {
        st->total_count = atoi(value);
        *has_total = 1;
    } else if (strcmp(line, "active_index") == 0) {
        st->active_index = atoi(value);
    }
}

int mobile_get_all_status(mobile_all_status *status)
{
    char text[ALL_STATUS_TEXT_SIZE];
    int profiles = 0, has_total = 0;
    char *line, *next;

    if (!status) {
        sim_log("mobile_get_all_status");
        return -1;
    }
    memset(status, 0, sizeof(*status));
    status->data_switch = 1;
    status->pref_network = 3;
    status->isp_count = 1;
    status->conn_state = current_conn_state();
    status->reg_state = current_reg_state();
    if (!sim_read_text(ALL_STATUS_FILE, text, sizeof(text)))
        strcpy(text, "profile=internet|internet|0|0|||Default ISP|1");
    for (line = text; line; line = next) {
        next = strchr(line, '\n');
        if (next)
            *next++ = '\0';
        apply_status_line(line, status, &profiles, &has_total);
    }
    /* The manager's offline state wins over what the file says. */
    if (modem_offline()) {
        status->conn_state = 1;
        status->reg_state = 0;
    }
    if (!has_total)
        status->total_count = profiles;
    sim_log("mobile_get_all_status");
    return 0;
}

int mobile_set_modem_mode(int mode, int32_t *result)
{
    int code = -1;

    if (mode == MOBILE_MODE_ONLINE || mode == MOBILE_MODE_OFFLINE)
        code = sim_read_int("modem_mode_result", 0);
    if (result)
        *result = code;
    if (code == 0 && sim_dir())
        sim_write_text(MODE_FILE, mode == MOBILE_MODE_OFFLINE ? "offline" : "online");
    else if (code == 0)
        l_offline = mode == MOBILE_MODE_OFFLINE;
    sim_log("mobile_set_modem_mode %d", mode);
    return code;
}
