// The HTTP/TLS client: URL parsing and request encoding (url.cpp); connections, TLS trust
// and exchanges come in conn.cpp and http.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    QV_URL_SCHEME_CAP = 8,
    QV_URL_HOST_CAP = 256,
    QV_URL_PATH_CAP = 1024,
    QV_REQ_METHOD_MAX = 10,
    QV_REQ_PATH_MAX = 2000,
    QV_REQ_HEADER_LINE_MAX = 1200,
    QV_HEAD_MAX = 8191,
};

struct qv_url {
    char scheme[QV_URL_SCHEME_CAP];
    char host[QV_URL_HOST_CAP];
    int32_t port;
    char path[QV_URL_PATH_CAP];
    int32_t tls;
};

int qv_url_parse(const char *text, qv_url *u, char *err, size_t cap);
void qv_url_encode(const char *src, char *dst, size_t cap);
// SHA-256 of the bytes as 64 lower-case hexadecimal digits and a terminating zero.
void qv_sha256_hex(const void *data, size_t len, char out[65]);

// Encodes one request (head and body) into a new buffer the caller frees. 0 or -1.
int build_request(const char *host, int port, int tls, const char *method, const char *path,
                  const char *const *headers, const char *body, size_t body_len, char **out,
                  size_t *out_len);
