/*
 * Stand-in for the router's configuration store library.
 *
 * It knows one action, "ACT_DIAG_DNSDIAG", and one object, the diag tool
 * object (18), whose result comes from the state directory (see sim.h):
 *
 *   dns_diag       the diag tool results, a sequence of integers ("3 3 1").
 *                  Each object read takes the first one and removes it from
 *                  the file; the last one stays and repeats. Default: 1.
 *   action_result  what cfgstore_run_action returns; non-zero means the
 *                  store refuses the action. Default: 0.
 *   object_result  what cfgstore_get_object returns; non-zero means the
 *                  read fails and the buffer is left alone. Default: 0.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cfgstore.h"
#include "sim.h"

#define DNS_DIAG_FILE "dns_diag"
#define DNS_DIAG_TEXT_SIZE 4096
#define DNS_DIAG_ACTION "ACT_DIAG_DNSDIAG"

/* "a,b,c,d,e,f,g" for the call log. */
static void format_selector(const cfgstore_selector *sel, char *buf, size_t size)
{
    if (!sel) {
        snprintf(buf, size, "null");
        return;
    }
    snprintf(buf, size, "%u,%u,%u,%u,%u,%u,%u", sel->id[0], sel->id[1], sel->id[2], sel->id[3],
             sel->id[4], sel->id[5], sel->id[6]);
}

/* Takes the next diag tool result from the sequence file. */
static int next_dns_result(void)
{
    char text[DNS_DIAG_TEXT_SIZE], *end, *rest;
    long v;

    if (!sim_read_text(DNS_DIAG_FILE, text, sizeof(text)))
        return DIAG_TOOL_RESULT_OK;
    v = strtol(text, &end, 0);
    if (end == text)
        return DIAG_TOOL_RESULT_OK;
    /* Drop the value just taken unless it is the last one. */
    rest = end + strspn(end, " \t\r\n,");
    if (*rest)
        sim_write_text(DNS_DIAG_FILE, rest);
    return (int)v;
}

int cfgstore_attach(int flags)
{
    sim_log("cfgstore_attach %d", flags);
    return 0;
}

int cfgstore_run_action(const char *action, cfgstore_selector *sel)
{
    char s[64];
    int ret = -1;

    format_selector(sel, s, sizeof(s));
    if (action && strcmp(action, DNS_DIAG_ACTION) == 0)
        ret = sim_read_int("action_result", 0);
    sim_log("cfgstore_run_action %s %s", action ? action : "(null)", s);
    return ret;
}

int cfgstore_get_object(int obj, cfgstore_selector *sel, int len, void *buf)
{
    diag_tool_object o;
    char s[64];
    int ret = -1;

    format_selector(sel, s, sizeof(s));
    if (obj == CFGSTORE_OBJ_DIAG_TOOL && len == DIAG_TOOL_OBJ_SIZE && buf)
        ret = sim_read_int("object_result", 0);
    if (ret == 0) {
        memset(&o, 0, sizeof(o));
        o.result = next_dns_result();
        memcpy(buf, &o, sizeof(o));
    }
    /* Logged after the result is taken: the sequence file already moved on. */
    sim_log("cfgstore_get_object %d %s %d", obj, s, len);
    return ret;
}
