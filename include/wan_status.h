/*
 * wan_status: the two probes the test scenarios use to judge the LTE WAN
 * link. Only the test thread calls them, one at a time.
 */
#ifndef DIAGFERRY_WAN_STATUS_H
#define DIAGFERRY_WAN_STATUS_H

#include <atomic>

/* Names of the connection and registration states, looked up with code + 1. */
extern const char conn_state_names[7][16];
extern const char reg_state_names[6][40];

/* Name of a connection / registration state code; "unknown code" outside the tables. */
const char *conn_state_name(int code);
const char *reg_state_name(int code);

/* MP check: connected, registered and an address or IPv6 DNS: 1, else 0. */
int check_modem_connection(void);
/* DNS check: runs the store's DNS diagnosis and waits for its result: 1 good.
 * The wait ends with 0 once *running is 0 (running may be NULL: no stop). */
int dns_diag(const std::atomic<int> *running);
/* The pause dns_diag takes between two reads of a pending result (a second
 * unless changed): sets it to ms and returns the one it replaces. For the
 * unit tests; the daemon never changes it. */
int set_dns_diag_poll_ms(int ms);

#endif
