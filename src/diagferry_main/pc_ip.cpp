/*
 * The PC is the peer of the router's current telnet connection: its address
 * is read once at start-up from the connection table, whose foreign address
 * has the IPv4-mapped form ::ffff:A.B.C.D:PORT.
 */
#define LOG_SRC "src/diagferry_main"
#include "diagferry_main/pc_ip.h"

#include <stdlib.h>
#include <string.h>

#include "commands.h"
#include "utils.h"

#define FOREIGN_ADDR_FIELD 4
#define MAPPED_PREFIX_LEN 7 /* "::ffff:" */

char l_pc_ip[PC_IP_SIZE]; /* the PC's IPv4 text, written by main before the threads start */

/* Copies the address between the mapped prefix and the port of field 4 of
 * the table into pc_ip (PC_IP_SIZE bytes). 1 when an address was stored. */
int parse_pc_ip(const char *table, char *pc_ip)
{
    char *copy = strdup(table), *rest = copy, *field = NULL;
    int index = 0, ok = FALSE;

    if (!copy)
        return FALSE;
    /* Fields at single spaces, empty ones skipped; newlines are not
     * delimiters, so only the first line can supply field 4. */
    while ((field = strsep(&rest, " ")) != NULL) {
        if (*field == '\0')
            continue;
        if (index++ == FOREIGN_ADDR_FIELD)
            break;
    }
    if (field && strlen(field) > MAPPED_PREFIX_LEN) {
        const char *addr = field + MAPPED_PREFIX_LEN;
        for (int i = 0; i < PC_IP_SIZE && addr[i] != '\0'; i++) {
            if (addr[i] == ':') {
                pc_ip[i] = '\0';
                ok = TRUE;
                break;
            }
            pc_ip[i] = addr[i];
        }
    }
    free(copy);
    return ok;
}

int get_pc_ip(char *pc_ip)
{
    char out[CMD_BUF_SIZE];

    if (!exe_command(CMD_TELNET_CONNECTIONS, out, sizeof(out))) {
        LOG("netstat failed!");
        return FALSE;
    }
    return parse_pc_ip(out, pc_ip);
}
