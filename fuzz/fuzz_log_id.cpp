/*
 * check_log_id on arbitrary log names. An input is a series of names
 * separated by newlines, each cut to LOG_NAME_MAX characters in its own
 * LOG_NAME_SIZE-byte buffer, checked one after another as the query stage
 * would: the sequence state carries over between names and between inputs.
 *
 * Checked after every name: the duplicate count grows by at most one and
 * the miss count by at most LOG_ID_MAX - 1, each growth comes with a journal
 * line, and both journals stay NUL-terminated with their sizes in step.
 * The journals and counters are reset once they hold a megabyte, so that a
 * long run does not grow them without bound.
 */
#define LOG_SRC "fuzz"
#include "fuzz_check.h"
#include "diagferry_main/query.h"
#include "diagferry_main/stat.h"

#include <stdint.h>
#include <string.h>

#define NAMES_PER_INPUT_MAX 64
#define JOURNALS_RESET_SIZE (1024 * 1024)

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    init_stat_str(&l_miss_str);
    init_stat_str(&l_dup_str);
    return 0;
}

static void check_journal(const stat_str *s, const char *which)
{
    FUZZ_CHECK(s->str != NULL && s->size >= 1 && s->size <= s->cap, "%s journal size %d cap %d",
               which, s->size, s->cap);
    FUZZ_CHECK(memchr(s->str, '\0', (size_t)s->size) == s->str + s->size - 1,
               "%s journal text does not end at its size", which);
}

static void reset_journals(void)
{
    free(l_miss_str.str);
    free(l_dup_str.str);
    init_stat_str(&l_miss_str);
    init_stat_str(&l_dup_str);
    l_miss = 0;
    l_dup = 0;
}

static void check_one(const uint8_t *data, size_t len)
{
    char *name = (char *)calloc(1, LOG_NAME_SIZE); /* exact size for AddressSanitizer */
    int miss_before = l_miss, dup_before = l_dup;
    int miss_size = l_miss_str.size, dup_size = l_dup_str.size;

    FUZZ_CHECK(name, "out of memory");
    memcpy(name, data, len < LOG_NAME_MAX ? len : LOG_NAME_MAX);

    check_log_id(name);

    FUZZ_CHECK(l_dup == dup_before || l_dup == dup_before + 1, "dup %d -> %d", dup_before,
               l_dup.load());
    FUZZ_CHECK(l_miss >= miss_before && l_miss <= miss_before + LOG_ID_MAX - 1, "miss %d -> %d",
               miss_before, l_miss.load());
    FUZZ_CHECK((l_dup > dup_before) == (l_dup_str.size > dup_size), "dup journal out of step");
    FUZZ_CHECK((l_miss > miss_before) == (l_miss_str.size > miss_size),
               "miss journal out of step");
    check_journal(&l_miss_str, "miss");
    check_journal(&l_dup_str, "dup");
    free(name);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t *end = data + size;
    int names = 0;

    while (data < end && names++ < NAMES_PER_INPUT_MAX) {
        const uint8_t *nl = (const uint8_t *)memchr(data, '\n', (size_t)(end - data));
        size_t len = (size_t)((nl ? nl : end) - data);

        check_one(data, len);
        data += len + (nl ? 1 : 0);
    }
    if (l_miss_str.size + l_dup_str.size > JOURNALS_RESET_SIZE)
        reset_journals();
    return 0;
}
