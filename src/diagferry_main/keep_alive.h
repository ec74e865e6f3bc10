/*
 * keep_alive: the thread that probes the PC with ARP and, after too many
 * unanswered probes, declares the LAN broken and runs the shutdown. Started
 * by main; stopped by the shutdown through l_keep_alive_running.
 */
#ifndef DIAGFERRY_KEEP_ALIVE_H
#define DIAGFERRY_KEEP_ALIVE_H

#define KEEP_ALIVE_INTERVAL_S 10
#define KEEP_ALIVE_MAX_MISS 6
void *keep_alive_thread(void *arg);

#endif
