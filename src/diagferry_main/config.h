/*
 * config: the daemon's settings and the configuration file that may
 * override them. Owns the settings below, written by parse_conf_file in the
 * main thread before any other thread exists and only read afterwards.
 * Called by main (parse, check); every stage reads the settings.
 */
#ifndef DIAGFERRY_CONFIG_H
#define DIAGFERRY_CONFIG_H

#include <stdint.h>

#include "utils.h"

#define JSON_MAX_SIZE 4096
#define ROUTER_MODE_MANUAL 0
#define ROUTER_MODE_DIAL_ONCE 1
#define ROUTER_MODE_NET_MONITOR 2

extern double l_log_size;
extern int l_log_number;
extern int l_zip_level;
extern char l_modem_log_dir[PATH_BUF_SIZE];
extern char l_workdir[PATH_BUF_SIZE];
extern int8_t l_router_mode;
extern int l_mobile_debug;
/* Seconds between heartbeats (status line and snapshot), 0 for none. */
#define STATUS_INTERVAL_DEFAULT 60
#define STATUS_INTERVAL_MAX 86400
extern int l_status_interval;

/* The bytes of a directory component or log name that need no quoting
 * and that an honest diag tool's file names are made of. */
#define SAFE_NAME_CHARS "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-"

int parse_conf_file(const char *path);
/* True for a directory setting that is safe in a command line and as the
 * target of "rm -rf": an absolute path of letters, digits and "_ . / -"
 * that ends in "/", at least two directories deep (never "/" or "/run/"),
 * with no "." or ".." component. */
int is_safe_dir(const char *dir);
/* Refuses unsafe directory settings (ASSERT) and warns when the working
 * directory cannot hold four log files; before any command runs. */
void check_settings_orDie(void);

#endif
