/*
 * The router's configuration store: a closed C library of the router
 * platform. diagferry attaches once at start-up and runs the DNS diagnosis
 * action, reading its outcome from the diag tool object.
 */
#ifndef DIAGFERRY_CFGSTORE_H
#define DIAGFERRY_CFGSTORE_H

#include <stdint.h>

/* Instance selector of the store: seven 16-bit values, 14 bytes. */
typedef struct {
    uint16_t id[7];
} cfgstore_selector;

/* The diag tool object and where its result sits inside it. */
#define CFGSTORE_OBJ_DIAG_TOOL 18
#define DIAG_TOOL_OBJ_SIZE 240
#define DIAG_TOOL_RESULT_OFFSET 236
/* Diag tool results: success, still running; any other value is a failure. */
#define DIAG_TOOL_RESULT_OK 1
#define DIAG_TOOL_RESULT_PENDING 3

#ifdef __cplusplus
extern "C" {
#endif

int cfgstore_attach(int flags);
/* 0 when the store accepted the action. */
int cfgstore_run_action(const char *action, cfgstore_selector *sel);
/* 0 when buf (len bytes) now holds object obj. */
int cfgstore_get_object(int obj, cfgstore_selector *sel, int len, void *buf);

#ifdef __cplusplus
}
#endif

#endif
