// URL parsing, percent-encoding and request encoding: the two text formats at the client's
// edge. Everything that could break a request line is refused here, before any byte is sent.
#include "net.h"

#include "base.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static bool is_control(unsigned char c) {
    return c < 0x20;
}

static bool is_alnum_ascii(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

static bool ends_authority(unsigned char c) {
    return c == '\0' || is_control(c) || c == ' ' || c == '#' || c == '/' || c == '?';
}

static int parse_port(const char *p, size_t len, int32_t *port, char *err, size_t cap) {
    if (len < 1 || len > 7) {
        qv_errf(err, cap, "bad port");
        return -1;
    }
    long value = 0;
    for (size_t i = 0; i < len; i++) {
        if (p[i] < '0' || p[i] > '9') {
            qv_errf(err, cap, "bad port");
            return -1;
        }
        value = value * 10 + (p[i] - '0');
    }
    if (value < 1 || value > 65535) {
        qv_errf(err, cap, "port out of range");
        return -1;
    }
    *port = static_cast<int32_t>(value);
    return 0;
}

static int parse_path(const char *start, qv_url *u, char *err, size_t cap) {
    if (*start != '/' && *start != '?') {
        memcpy(u->path, "/", 2);
        return 0;
    }
    const char *blank = strchr(start, ' ');
    if (blank) {
        qv_errf(err, cap, "path contains a space");
        return -1;
    }
    size_t len = strlen(start);
    // Bytes beyond the capacity are dropped without a message.
    len = qv_utf8_cut(start, len, sizeof u->path - 1);
    memcpy(u->path, start, len);
    u->path[len] = '\0';
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(u->path[i]);
        if (is_control(c) || c == '"' || c == '\\') {
            qv_errf(err, cap, "path contains forbidden characters");
            return -1;
        }
    }
    return 0;
}

int qv_url_parse(const char *text, qv_url *u, char *err, size_t cap) {
    memset(u, 0, sizeof *u);
    if (!text || !*text) {
        qv_errf(err, cap, "empty url");
        return -1;
    }
    const char *p;
    int tls;
    if (strncmp(text, "https://", 8) == 0) {
        tls = 1;
        p = text + 8;
    } else if (strncmp(text, "http://", 7) == 0) {
        tls = 0;
        p = text + 7;
    } else {
        qv_errf(err, cap, "url must start with http:// or https://");
        return -1;
    }
    if (*p == '[') {
        qv_errf(err, cap, "IPv6 literals are not supported");
        return -1;
    }
    const char *end = p;
    while (!ends_authority(static_cast<unsigned char>(*end)))
        end++;
    size_t auth_len = static_cast<size_t>(end - p);
    if (auth_len == 0) {
        qv_errf(err, cap, "url has no host");
        return -1;
    }
    if (auth_len > QV_URL_HOST_CAP - 1) {
        qv_errf(err, cap, "host too long");
        return -1;
    }
    if (memchr(p, '@', auth_len)) {
        qv_errf(err, cap, "userinfo in url is refused");
        return -1;
    }
    u->port = tls ? 443 : 80;
    const char *colon = static_cast<const char *>(memchr(p, ':', auth_len));
    size_t host_len = colon ? static_cast<size_t>(colon - p) : auth_len;
    if (colon && parse_port(colon + 1, static_cast<size_t>(end - colon - 1), &u->port, err, cap))
        return -1;
    for (size_t i = 0; i < host_len; i++) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (!is_alnum_ascii(c) && c != '.' && c != '-') {
            qv_errf(err, cap, "host contains forbidden characters");
            return -1;
        }
    }
    memcpy(u->host, p, host_len);
    u->host[host_len] = '\0';
    if (parse_path(end, u, err, cap))
        return -1;
    memcpy(u->scheme, tls ? "https" : "http", tls ? 6 : 5);
    u->tls = tls;
    return 0;
}

void qv_url_encode(const char *src, char *dst, size_t cap) {
    if (!dst || cap == 0)
        return;
    static const char hex[] = "0123456789ABCDEF";
    size_t o = 0;
    for (const unsigned char *s = reinterpret_cast<const unsigned char *>(src ? src : ""); *s;
         s++) {
        bool plain = is_alnum_ascii(*s) || *s == '-' || *s == '.' || *s == '_' || *s == '~';
        size_t piece = plain ? 1 : 3;
        if (o + piece + 1 > cap)
            break;
        if (plain) {
            dst[o++] = static_cast<char>(*s);
        } else {
            dst[o++] = '%';
            dst[o++] = hex[*s >> 4];
            dst[o++] = hex[*s & 0x0F];
        }
    }
    dst[o] = '\0';
}

// Appends formatted text to the head; false when it would not fit.
static bool head_append(char *buf, size_t *len, size_t cap, const char *text, size_t text_len) {
    if (*len + text_len + 1 > cap)
        return false;
    memcpy(buf + *len, text, text_len);
    *len += text_len;
    buf[*len] = '\0';
    return true;
}

static bool path_is_sendable(const char *path) {
    if (strlen(path) > QV_REQ_PATH_MAX)
        return false;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(path); *c; c++)
        if (is_control(*c) || *c == '"' || *c == '\\')
            return false;
    return true;
}

static bool header_line_is_sendable(const char *line) {
    size_t len = strlen(line);
    if (len > QV_REQ_HEADER_LINE_MAX)
        return false;
    for (size_t i = 0; i < len; i++) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (is_control(c) && c != '\t')
            return false;
    }
    return true;
}

int build_request(const char *host, int port, int tls, const char *method, const char *path,
                  const char *const *headers, const char *body, size_t body_len, char **out,
                  size_t *out_len) {
    *out = nullptr;
    *out_len = 0;
    if (!method || !path || strlen(method) > QV_REQ_METHOD_MAX || !path_is_sendable(path))
        return -1;
    if (!body)
        body_len = 0;
    const size_t cap = body_len + QV_HEAD_MAX + 1;
    char *buf = static_cast<char *>(malloc(cap));
    if (!buf)
        return -1;
    int rc = -1;
    size_t len = 0;
    char line[QV_HEAD_MAX + 1];
    bool default_port = tls ? port == 443 : port == 80;
    int n = default_port ? snprintf(line, sizeof line,
                                    "%s %s HTTP/1.1\r\nHost: %s\r\n", method, path, host)
                         : snprintf(line, sizeof line, "%s %s HTTP/1.1\r\nHost: %s:%d\r\n",
                                    method, path, host, port);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line ||
        !head_append(buf, &len, QV_HEAD_MAX + 1, line, static_cast<size_t>(n)))
        goto done;
    {
        static const char fixed[] = "User-Agent: quorvane-bot-chimewick/1.0.0\r\n"
                                    "Accept: */*\r\n"
                                    "Accept-Encoding: identity\r\n"
                                    "Connection: close\r\n";
        if (!head_append(buf, &len, QV_HEAD_MAX + 1, fixed, sizeof fixed - 1))
            goto done;
    }
    for (const char *const *h = headers; h && *h; h++) {
        if (!header_line_is_sendable(*h) ||
            !head_append(buf, &len, QV_HEAD_MAX + 1, *h, strlen(*h)) ||
            !head_append(buf, &len, QV_HEAD_MAX + 1, "\r\n", 2))
            goto done;
    }
    if (body_len > 0 || strcmp(method, "POST") == 0 || strcmp(method, "PUT") == 0) {
        n = snprintf(line, sizeof line, "Content-Length: %zu\r\n", body_len);
        if (!head_append(buf, &len, QV_HEAD_MAX + 1, line, static_cast<size_t>(n)))
            goto done;
    }
    if (!head_append(buf, &len, QV_HEAD_MAX + 1, "\r\n", 2))
        goto done;
    if (body_len > 0)
        memcpy(buf + len, body, body_len);
    len += body_len;
    buf[len] = '\0';
    *out = buf;
    *out_len = len;
    rc = 0;
done:
    if (rc != 0)
        free(buf);
    return rc;
}
