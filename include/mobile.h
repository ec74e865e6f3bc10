/*
 * The router's mobile-manager library: a closed C library of the router
 * platform. The records below are laid out by that library; diagferry only
 * reads the fields it logs and judges, never the operations' own results.
 * The static_asserts at the end make every build (the daemon's and the
 * stand-in's) check its view of the layouts.
 */
#ifndef DIAGFERRY_MOBILE_H
#define DIAGFERRY_MOBILE_H

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

/* WAN address parameters, 288 bytes; every text NUL-terminated in its field. */
typedef struct {
    char ipv4_addr[16];
    char ipv4_mask[16];
    char ipv4_gateway[16];
    char ipv4_dns1[16];
    char ipv4_dns2[16];
    char reserved1[4];
    char ipv6_addr[40];
    char ipv6_prefix[80]; /* prefix text at the start, the rest unused */
    char ipv6_dns1[40];
    char ipv6_dns2[40];
    char reserved2[4];
} wan_params;

/* One data profile, 331 bytes with no gaps. */
typedef struct {
    char name[32];
    char apn[168];
    signed char pdp_type;
    signed char auth_type;
    char username[64];
    char password[32];
    char isp[32];
    signed char is_default;
} profile_entry;

#define MOBILE_PROFILE_MAX 16

/* Everything the manager knows, 5332 bytes. */
typedef struct {
    int32_t data_switch;
    int32_t roam_switch;
    int32_t conn_state;
    int32_t pref_network;
    int32_t net_select_mode;
    int32_t reg_state;
    profile_entry profiles[MOBILE_PROFILE_MAX];
    int32_t isp_count;
    int32_t total_count; /* profile rows to print */
    int32_t active_index;
} mobile_all_status;

/* Modem modes for mobile_set_modem_mode. */
#define MOBILE_MODE_ONLINE 0
#define MOBILE_MODE_OFFLINE 1

#ifdef __cplusplus
extern "C" {
#endif

int mobile_get_conn_state(int32_t *state);
int mobile_get_reg_state(int32_t *state);
int mobile_get_wan_params(wan_params *params);
int mobile_get_all_status(mobile_all_status *status);
int mobile_set_modem_mode(int mode, int32_t *result);

#ifdef __cplusplus
}
#endif

static_assert(sizeof(wan_params) == 288, "wan_params is 288 bytes");
static_assert(offsetof(wan_params, ipv4_addr) == 0, "wan_params layout");
static_assert(offsetof(wan_params, ipv4_mask) == 16, "wan_params layout");
static_assert(offsetof(wan_params, ipv4_gateway) == 32, "wan_params layout");
static_assert(offsetof(wan_params, ipv4_dns1) == 48, "wan_params layout");
static_assert(offsetof(wan_params, ipv4_dns2) == 64, "wan_params layout");
static_assert(offsetof(wan_params, reserved1) == 80, "wan_params layout");
static_assert(offsetof(wan_params, ipv6_addr) == 84, "wan_params layout");
static_assert(offsetof(wan_params, ipv6_prefix) == 124, "wan_params layout");
static_assert(offsetof(wan_params, ipv6_dns1) == 204, "wan_params layout");
static_assert(offsetof(wan_params, ipv6_dns2) == 244, "wan_params layout");
static_assert(offsetof(wan_params, reserved2) == 284, "wan_params layout");

static_assert(sizeof(profile_entry) == 331, "profile_entry is 331 bytes");
static_assert(offsetof(profile_entry, name) == 0, "profile_entry layout");
static_assert(offsetof(profile_entry, apn) == 32, "profile_entry layout");
static_assert(offsetof(profile_entry, pdp_type) == 200, "profile_entry layout");
static_assert(offsetof(profile_entry, auth_type) == 201, "profile_entry layout");
static_assert(offsetof(profile_entry, username) == 202, "profile_entry layout");
static_assert(offsetof(profile_entry, password) == 266, "profile_entry layout");
static_assert(offsetof(profile_entry, isp) == 298, "profile_entry layout");
static_assert(offsetof(profile_entry, is_default) == 330, "profile_entry layout");

static_assert(sizeof(mobile_all_status) == 5332, "mobile_all_status is 5332 bytes");
static_assert(offsetof(mobile_all_status, data_switch) == 0, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, roam_switch) == 4, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, conn_state) == 8, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, pref_network) == 12, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, net_select_mode) == 16, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, reg_state) == 20, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, profiles) == 24, "mobile_all_status layout");
static_assert(sizeof(((mobile_all_status *)0)->profiles) == 16 * 331, "16 profile entries");
static_assert(offsetof(mobile_all_status, isp_count) == 5320, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, total_count) == 5324, "mobile_all_status layout");
static_assert(offsetof(mobile_all_status, active_index) == 5328, "mobile_all_status layout");

#endif
