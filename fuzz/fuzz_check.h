/*
 * What every fuzz target shares: FUZZ_CHECK ends the run with a report on
 * standard error (standard output is closed by -close_fd_mask=1) and an
 * abort, which libFuzzer records as a crash with the input that caused it.
 */
#ifndef DIAGFERRY_FUZZ_CHECK_H
#define DIAGFERRY_FUZZ_CHECK_H

#include <stdio.h>
#include <stdlib.h>

#define FUZZ_CHECK(cond, ...)                                                          \
    do {                                                                               \
        if (!(cond)) {                                                                 \
            fprintf(stderr, "%s:%d: FUZZ_CHECK(%s) failed: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                                              \
            fprintf(stderr, "\n");                                                     \
            abort();                                                                   \
        }                                                                              \
    } while (0)

#endif
