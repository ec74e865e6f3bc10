/*
 * mobile_relay: relays the mobile manager's debug output into the daemon's
 * standard output. Owns the relay thread. Opened by the test thread,
 * closed by the shutdown (set_mobile_debug).
 */
#ifndef DIAGFERRY_MOBILE_RELAY_H
#define DIAGFERRY_MOBILE_RELAY_H

int set_mobile_debug(int flag);
void *listen_mobile_thread(void *arg);
/* The relay's two pauses: after starting the manager, before its debug
 * switch (a second), and the closing's limit (two seconds). For the unit
 * tests; the daemon never changes them. */
void set_mobile_relay_pauses(int start_ms, int close_ms);

#endif
