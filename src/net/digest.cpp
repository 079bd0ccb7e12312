// SHA-256 as lower-case hex (server key pins and sender identities), and base64 (the Basic
// credentials of an access token given as user:password).
#include "net.h"

#include <mbedtls/base64.h>
#include <mbedtls/sha256.h>

int qv_base64_encode(const void *data, size_t len, char *out, size_t cap) {
    size_t written = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char *>(out), cap, &written,
                              static_cast<const unsigned char *>(data), len) != 0)
        return -1;
    return 0;
}

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
