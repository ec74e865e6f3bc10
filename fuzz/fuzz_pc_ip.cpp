/*
 * parse_pc_ip on arbitrary connection tables, given the way exe_command
 * hands them over: at most CMD_BUF_SIZE - 1 bytes and a NUL.
 *
 * Checked after every input: the result is TRUE or FALSE, and with TRUE the
 * address is NUL-terminated within its PC_IP_SIZE bytes, holds no ":", and
 * stands in the table followed by the ":" that ended it.
 */
#define LOG_SRC "fuzz"
#include "fuzz_check.h"
#include "utils.h"
#include "diagferry_main/pc_ip.h"

#include <stdint.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t n = size < CMD_BUF_SIZE - 1 ? size : CMD_BUF_SIZE - 1;
    /* Heap buffers of the exact sizes, so that any access beyond the text's
     * NUL or beyond the address buffer is caught by AddressSanitizer. */
    char *table = (char *)malloc(n + 1);
    char *pc_ip = (char *)malloc(PC_IP_SIZE);
    char with_colon[PC_IP_SIZE + 1];
    int result;

    FUZZ_CHECK(table && pc_ip, "out of memory");
    memcpy(table, data, n);
    table[n] = '\0';
    memset(pc_ip, 'Z', PC_IP_SIZE);

    result = parse_pc_ip(table, pc_ip);

    FUZZ_CHECK(result == TRUE || result == FALSE, "result %d", result);
    if (result == TRUE) {
        FUZZ_CHECK(memchr(pc_ip, '\0', PC_IP_SIZE) != NULL, "address not NUL-terminated");
        FUZZ_CHECK(strchr(pc_ip, ':') == NULL, "address [%s] holds a colon", pc_ip);
        snprintf(with_colon, sizeof(with_colon), "%s:", pc_ip);
        FUZZ_CHECK(strstr(table, with_colon) != NULL, "address [%s] is not in the table", pc_ip);
    }
    free(pc_ip);
    free(table);
    return 0;
}
