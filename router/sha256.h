/* SHA-256 of a byte stream, fed in pieces. */
#ifndef ROUTER_SHA256_H
#define ROUTER_SHA256_H

#include <stddef.h>
#include <stdint.h>

struct sha256 {
    uint32_t h[8];    /* chaining value */
    uint64_t len;     /* bytes fed so far */
    uint8_t buf[64];  /* pending partial block */
    size_t used;      /* bytes in buf */
};

void sha256_init(struct sha256 *s);
void sha256_update(struct sha256 *s, const void *data, size_t n);
/* Finishes the digest and writes it as 64 lower-case hex digits and a NUL. */
void sha256_hex(struct sha256 *s, char out[65]);

#endif
