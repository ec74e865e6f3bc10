/*
 * sim: the state files behind the stand-ins of the router's closed
 * libraries and of its mobile manager.
 *
 * Every operation of a stand-in reads its state afresh from plain files in
 * the directory named by ROUTER_SIM_DIR, so that a test can change the
 * router's state while the daemon runs, and appends one line with its name
 * and arguments to the call log "calls.log" there. Without ROUTER_SIM_DIR the
 * libraries use their defaults and log nothing.
 *
 * Internal to the stand-ins: compiled into each of them, hidden from the
 * programs that link them.
 */
#ifndef ROUTER_SIM_H
#define ROUTER_SIM_H

#include <stddef.h>

#define SIM_HIDDEN __attribute__((visibility("hidden")))

#define SIM_DIR_ENV "ROUTER_SIM_DIR"
#define SIM_CALL_LOG "calls.log"

/* The state directory, or NULL when ROUTER_SIM_DIR is unset or empty. */
SIM_HIDDEN const char *sim_dir(void);

/* Reads file name of the state directory into buf (size bytes), without one
 * trailing newline and truncated to size - 1 bytes. 1 when the file exists,
 * 0 when it (or the directory) does not. */
SIM_HIDDEN int sim_read_text(const char *name, char *buf, size_t size);

/* The integer in file name, or def when the file is missing or holds none. */
SIM_HIDDEN int sim_read_int(const char *name, int def);

/* Replaces file name with text (written to a temporary file and renamed, so
 * a reader sees the old or the new text, never a mix). 1 on success. */
SIM_HIDDEN int sim_write_text(const char *name, const char *text);

/* Appends one line to the call log, in a single write. */
SIM_HIDDEN void sim_log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
