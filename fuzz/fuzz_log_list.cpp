/*
 * parse_log_list on arbitrary listings, given the way exe_command hands
 * them over: at most CMD_BUF_SIZE - 1 bytes, NUL-terminated in a buffer of
 * CMD_BUF_SIZE bytes.
 *
 * Checked after every input: the count is -1 or 1 to LOG_LIST_MAX, every
 * name is NUL-terminated within its LOG_NAME_SIZE bytes, and the names
 * joined by newlines give back the listing without its carriage returns.
 * Every name's printable form (as the refusal logs it) is printable ASCII
 * within PRINTABLE_NAME_SIZE bytes, and a name taken as a log name holds
 * only letters, digits and "_ . -" (never a "/" or a control byte).
 */
#define LOG_SRC "fuzz"
#include "fuzz_check.h"
#include "utils.h"
#include "diagferry_main/config.h"
#include "diagferry_main/query.h"

#include <stdint.h>
#include <string.h>

/* The listing as the daemon would split it: carriage returns dropped. */
static size_t strip_cr(const char *in, char *out)
{
    size_t n = 0;

    for (; *in; in++)
        if (*in != '\r')
            out[n++] = *in;
    out[n] = '\0';
    return n;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* Heap buffers of the exact sizes, so that any access beyond them is
     * caught by AddressSanitizer. */
    char *out = (char *)calloc(1, CMD_BUF_SIZE);
    char(*names)[LOG_NAME_SIZE] = (char(*)[LOG_NAME_SIZE])malloc(LOG_LIST_MAX * LOG_NAME_SIZE);
    char expected[CMD_BUF_SIZE], joined[CMD_BUF_SIZE + LOG_LIST_MAX];
    char shown[PRINTABLE_NAME_SIZE];
    size_t n = size < CMD_BUF_SIZE - 1 ? size : CMD_BUF_SIZE - 1, len = 0;
    int count;

    FUZZ_CHECK(out && names, "out of memory");
    memcpy(out, data, n);
    memset(names, 0x5a, LOG_LIST_MAX * LOG_NAME_SIZE);

    count = parse_log_list(out, names);

    FUZZ_CHECK(count == -1 || (count >= 1 && count <= LOG_LIST_MAX), "count %d", count);
    for (int i = 0; i < count; i++) {
        FUZZ_CHECK(memchr(names[i], '\0', LOG_NAME_SIZE) != NULL, "name %d not terminated", i);
        FUZZ_CHECK(strpbrk(names[i], "\r\n") == NULL, "name %d holds a line end", i);
        FUZZ_CHECK(!is_log_name(names[i]) || strspn(names[i], SAFE_NAME_CHARS) == strlen(names[i]),
                   "name %d taken with a byte no honest listing prints", i);
        printable_name(names[i], shown);
        for (const char *p = shown; *p; p++)
            FUZZ_CHECK(*p >= 0x20 && *p < 0x7f, "name %d shown with byte 0x%02x", i,
                       (unsigned char)*p);
        len += (size_t)snprintf(joined + len, sizeof(joined) - len, "%s%s", i ? "\n" : "",
                                names[i]);
    }
    if (count > 0) {
        strip_cr(out, expected);
        FUZZ_CHECK(strcmp(joined, expected) == 0, "%d names do not give back the listing", count);
    }
    free(names);
    free(out);
    return 0;
}
