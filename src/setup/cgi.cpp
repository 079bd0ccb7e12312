// CGI request and response primitives: the request method, query-string fields and the one
// JSON response a CGI process writes.
#include "setup_internal.h"

#include "base.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

int is_post_request(void) {
    const char *m = getenv("REQUEST_METHOD");
    return m && strcasecmp(m, "POST") == 0;
}

// Decodes %XX and '+' in place; a decoded zero byte ends the value.
static void percent_decode_inplace(char *s) {
    char *out = s;
    for (const char *in = s; *in; in++) {
        char c = *in;
        if (c == '%' && qv_hex_value(in[1]) >= 0 && qv_hex_value(in[2]) >= 0) {
            c = static_cast<char>(qv_hex_value(in[1]) * 16 + qv_hex_value(in[2]));
            in += 2;
            if (c == '\0')
                break;
        } else if (c == '+') {
            c = ' ';
        }
        *out++ = c;
    }
    *out = '\0';
}

bool query_raw_value(const char *query, const char *name, const char **val, size_t *len) {
    size_t name_len = strlen(name);
    const char *seg = query;
    while (seg) {
        const char *amp = strchr(seg, '&');
        size_t seg_len = amp ? static_cast<size_t>(amp - seg) : strlen(seg);
        if (seg_len > name_len && strncmp(seg, name, name_len) == 0 && seg[name_len] == '=') {
            *val = seg + name_len + 1;
            *len = seg_len - name_len - 1;
            return true;
        }
        seg = amp ? amp + 1 : nullptr;
    }
    return false;
}

int get_query_val(const char *query, const char *name, char *out, size_t size) {
    if (out && size > 0)
        out[0] = '\0';
    if (!query || !name || !out || size == 0)
        return 0;
    const char *val = nullptr;
    size_t val_len = 0;
    if (!query_raw_value(query, name, &val, &val_len))
        return 0;
    // The raw value is cut to the buffer before decoding.
    if (val_len > size - 1)
        val_len = size - 1;
    memcpy(out, val, val_len);
    out[val_len] = '\0';
    percent_decode_inplace(out);
    return 1;
}

void json_respond(int status, const char *body) {
    printf("Status: %d\r\n", status);
    fputs("Content-Type: application/json; charset=utf-8\r\n"
          "Cache-Control: no-store\r\n"
          "X-Content-Type-Options: nosniff\r\n"
          "\r\n",
          stdout);
    fputs(body ? body : "", stdout);
    fputs("\n", stdout);
    fflush(stdout);
}
