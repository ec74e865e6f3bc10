/*
 * The router's mobile-manager library: a closed C library of the router
 * platform. The records below are laid out by that library; diagferry only
 * reads the fields it logs and judges, never the operations' own results.
 */
#ifndef DIAGFERRY_MOBILE_H
#define DIAGFERRY_MOBILE_H

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

#endif
