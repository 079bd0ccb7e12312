// Text primitives shared by every subsystem: the error-buffer writer, the one UTF-8 lead-byte
// classifier, UTF-8-safe bounded copies, trimming, truth values and a constant-time
// comparison for secrets.
#include "base.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

enum { QV_ERR_FORMAT_MAX = 2048 };

void qv_errf(char *err, size_t cap, const char *fmt, ...) {
    if (!err || cap == 0)
        return;
    char tmp[QV_ERR_FORMAT_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(tmp, sizeof tmp, fmt, ap);
    va_end(ap);
    if (n < 0)
        tmp[0] = '\0';
    cp_trunc(err, cap, tmp);
}

static bool is_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

size_t qv_utf8_lead_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

size_t qv_utf8_cut(const char *s, size_t len, size_t want) {
    if (want >= len)
        return len;
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    if (!is_continuation(u[want]))
        return want;
    // The byte after the cut continues a sequence: find its lead byte (at most three back)
    // and cut before it when the sequence would not fit. Malformed text is cut as bytes.
    for (size_t back = 1; back <= 3 && back <= want; back++) {
        unsigned char c = u[want - back];
        if (is_continuation(c))
            continue;
        size_t seq = qv_utf8_lead_length(c);
        if (seq > back)
            return want - back;
        return want;
    }
    return want;
}

// The length of the well-formed sequence at s (n bytes available), or 0 when there is none.
static size_t well_formed_length(const unsigned char *s, size_t n) {
    size_t need = qv_utf8_lead_length(s[0]);
    if (need == 0 || need > n)
        return 0;
    // The second byte's range rules out overlong forms, surrogates and beyond U+10FFFF.
    unsigned char lo = 0x80, hi = 0xBF;
    if (s[0] == 0xE0)
        lo = 0xA0;
    else if (s[0] == 0xED)
        hi = 0x9F;
    else if (s[0] == 0xF0)
        lo = 0x90;
    else if (s[0] == 0xF4)
        hi = 0x8F;
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < need; i++)
        if (!is_continuation(s[i]))
            return 0;
    return need;
}

size_t qv_utf8_repair(const char *in, size_t len, char *out, size_t cap) {
    static const char REPLACEMENT[] = "\xEF\xBF\xBD";
    if (!out || cap == 0)
        return 0;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(in ? in : "");
    size_t o = 0;
    for (size_t i = 0; i < len;) {
        size_t n = s[i] == 0 ? 0 : s[i] < 0x80 ? 1 : well_formed_length(s + i, len - i);
        const char *unit = n ? reinterpret_cast<const char *>(s + i) : REPLACEMENT;
        size_t unit_len = n ? n : sizeof REPLACEMENT - 1;
        if (o + unit_len > cap - 1)
            break;
        memcpy(out + o, unit, unit_len);
        o += unit_len;
        i += n ? n : 1;
    }
    out[o] = '\0';
    return o;
}

size_t cp_trunc(char *dst, size_t size, const char *src) {
    if (!dst || size == 0)
        return 0;
    if (!src) {
        dst[0] = '\0';
        return 0;
    }
    size_t len = strnlen(src, size);
    size_t n = len < size ? len : qv_utf8_cut(src, len, size - 1);
    memmove(dst, src, n);
    dst[n] = '\0';
    return n;
}

void trim_inplace(char *s) {
    if (!s)
        return;
    size_t len = strlen(s);
    size_t start = 0;
    while (start < len && isspace(static_cast<unsigned char>(s[start])))
        start++;
    size_t end = len;
    while (end > start && isspace(static_cast<unsigned char>(s[end - 1])))
        end--;
    memmove(s, s + start, end - start);
    s[end - start] = '\0';
}

int qv_read_whole_number(const char *text, int64_t *out) {
    if (!text)
        return -1;
    // Blanks only: a control byte or a letter is as wrong as a digit of another script.
    while (*text == ' ' || *text == '\t')
        text++;
    int64_t n = 0;
    int digits = 0;
    for (; *text >= '0' && *text <= '9'; text++, digits++) {
        if (digits == 18)
            return -1;
        n = n * 10 + (*text - '0');
    }
    while (*text == ' ' || *text == '\t')
        text++;
    if (digits == 0 || *text != '\0')
        return -1;
    *out = n;
    return 0;
}

int is_truthy(const char *s) {
    if (!s)
        return 0;
    return strcmp(s, "1") == 0 || strcasecmp(s, "true") == 0 || strcasecmp(s, "yes") == 0 ||
           strcasecmp(s, "on") == 0;
}

int is_falsy(const char *s) {
    if (!s)
        return 0;
    return strcmp(s, "0") == 0 || strcasecmp(s, "false") == 0 || strcasecmp(s, "no") == 0 ||
           strcasecmp(s, "off") == 0;
}

int qv_secret_equal(const char *a, const char *b) {
    if (!a || !b)
        return 0;
    size_t la = strlen(a), lb = strlen(b);
    // Walk the longer text whole so that the time says nothing about where they differ.
    size_t n = la > lb ? la : lb;
    unsigned diff = static_cast<unsigned>(la ^ lb);
    for (size_t i = 0; i < n; i++) {
        unsigned char ca = i < la ? static_cast<unsigned char>(a[i]) : 0;
        unsigned char cb = i < lb ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(ca ^ cb);
    }
    return diff == 0;
}

int qv_hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
