// SHA-256 as lower-case hex: server key pins and sender identities.
#include "net.h"

#include <mbedtls/sha256.h>

void qv_sha256_hex(const void *data, size_t len, char out[65]) {
    unsigned char digest[32];
    mbedtls_sha256(static_cast<const unsigned char *>(data), len, digest, 0);
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof digest; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 0x0F];
    }
    out[64] = '\0';
}
