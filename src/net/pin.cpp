// Public-key pins as people write them: the SHA-256 of a certificate's public key as 64
// hexadecimal digits (with or without colons between the bytes) or in base64, each form with or
// without a "sha256//" prefix, read into the one form the trust decision compares.
#include "net.h"

#include "base.h"

#include <cctype>
#include <cstring>
#include <mbedtls/base64.h>
#include <strings.h>

enum { QV_SHA256_BYTES = 32 };

static const char PIN_PREFIX[] = "sha256//";

static int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

static void bytes_to_hex(const unsigned char *bytes, char out[QV_KEY_HEX_CAP]) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < QV_SHA256_BYTES; i++) {
        out[2 * i] = hex[bytes[i] >> 4];
        out[2 * i + 1] = hex[bytes[i] & 0x0F];
    }
    out[2 * QV_SHA256_BYTES] = '\0';
}

// 64 digits, or 32 pairs with one colon between each two.
static bool read_hex(const char *p, size_t len, unsigned char *bytes) {
    bool colons = len == 3 * QV_SHA256_BYTES - 1;
    if (len != 2 * QV_SHA256_BYTES && !colons)
        return false;
    size_t step = colons ? 3 : 2;
    for (size_t i = 0; i < QV_SHA256_BYTES; i++) {
        const char *pair = p + i * step;
        int hi = hex_digit(pair[0]), lo = hex_digit(pair[1]);
        if (hi < 0 || lo < 0 || (colons && i + 1 < QV_SHA256_BYTES && pair[2] != ':'))
            return false;
        bytes[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

// Base64 of exactly 32 bytes: 44 characters ending in '=', or 43 without the padding.
static bool read_base64(const char *p, size_t len, unsigned char *bytes) {
    char padded[48];
    if (len != 43 && len != 44)
        return false;
    memcpy(padded, p, len);
    if (len == 43)
        padded[len++] = '=';
    size_t got = 0;
    return mbedtls_base64_decode(bytes, QV_SHA256_BYTES, &got,
                                 reinterpret_cast<const unsigned char *>(padded), len) == 0 &&
           got == QV_SHA256_BYTES;
}

int qv_pin_read(const char *text, size_t len, char out[QV_KEY_HEX_CAP]) {
    size_t prefix = sizeof PIN_PREFIX - 1;
    if (len > prefix && strncasecmp(text, PIN_PREFIX, prefix) == 0) {
        text += prefix;
        len -= prefix;
    }
    unsigned char bytes[QV_SHA256_BYTES];
    if (!read_hex(text, len, bytes) && !read_base64(text, len, bytes))
        return -1;
    bytes_to_hex(bytes, out);
    return 0;
}

static bool is_pin_separator(unsigned char ch) {
    return isspace(ch) || ch == ',';
}

int qv_pins_next(const char **pins, const char **token, size_t *len) {
    const char *p = *pins;
    while (*p && is_pin_separator(static_cast<unsigned char>(*p)))
        p++;
    if (!*p)
        return 0;
    const char *start = p;
    while (*p && !is_pin_separator(static_cast<unsigned char>(*p)))
        p++;
    *token = start;
    *len = static_cast<size_t>(p - start);
    *pins = p;
    return 1;
}

int qv_pins_normalize(const char *pins, char *out, size_t cap, char *err, size_t err_cap) {
    size_t used = 0;
    int index = 0;
    const char *token = nullptr;
    size_t len = 0;
    if (cap > 0)
        out[0] = '\0';
    while (qv_pins_next(&pins, &token, &len)) {
        index++;
        char hex[QV_KEY_HEX_CAP];
        if (qv_pin_read(token, len, hex) != 0) {
            qv_errf(err, err_cap,
                    "allowed_pins: pin %d is not a SHA-256 public-key pin: give 64 hexadecimal "
                    "digits (colons between the bytes allowed) or the digest in base64, with or "
                    "without sha256// in front",
                    index);
            return -1;
        }
        size_t need = (used ? 1 : 0) + 64;
        if (used + need + 1 > cap) {
            qv_errf(err, err_cap, "allowed_pins: too many pins (at most %zu)", cap / 65);
            return -1;
        }
        if (used)
            out[used++] = ',';
        memcpy(out + used, hex, 64);
        used += 64;
        out[used] = '\0';
    }
    return 0;
}
