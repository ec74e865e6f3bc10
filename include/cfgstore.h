/*
 * The router's configuration store: a closed C library of the router
 * platform. diagferry attaches once at start-up and runs the DNS diagnosis
 * action, reading its outcome from the diag tool object.
 *
 * The records are the library's own layout. The static_asserts at the end
 * make every build (the daemon's and the stand-in's) check its view of them.
 */
#ifndef DIAGFERRY_CFGSTORE_H
#define DIAGFERRY_CFGSTORE_H

#include <assert.h>
#include <stddef.h>
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

/* The diag tool object (object 18): only its last field, the result, is read. */
typedef struct {
    unsigned char other[DIAG_TOOL_RESULT_OFFSET];
    int32_t result;
} diag_tool_object;

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

static_assert(sizeof(cfgstore_selector) == 14, "cfgstore_selector is 14 bytes");
static_assert(sizeof(diag_tool_object) == DIAG_TOOL_OBJ_SIZE, "diag tool object is 240 bytes");
static_assert(offsetof(diag_tool_object, result) == DIAG_TOOL_RESULT_OFFSET,
              "diag tool result at byte 236");

#endif
