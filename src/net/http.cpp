// Exchanges on an open connection: deadline-bounded waits, sending, the response head, bodies
// (chunked, length-delimited or until close) read one byte at a time, and line streams,
// whole or in slices.
#include "net.h"

#include "base.h"
#include "platform.h"

#include <mbedtls/ssl.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

enum {
    BODY_START_CAP = 4096,
    STATUS_MAX = 99999, // status digits beyond this are read but not accumulated
    BYTE_NOT_YET = 2,   // the slice ended where stopping loses nothing
};

// --- clock and waits ----------------------------------------------------------------------

int64_t qv_now_ms(void) {
    return qv_plat_monotonic_ms();
}

// A stop signal ends the wait at once; any other signal only restarts it with the time left.
static int wait_for(int64_t sock, int for_write, int64_t deadline) {
    for (;;) {
        int64_t remaining = deadline - qv_now_ms();
        if (remaining <= 0)
            return 0;
        int got = qv_plat_sock_wait(sock, for_write, remaining);
        if (got == QV_PLAT_INTERRUPTED) {
            if (qv_plat_stop_requested())
                return 0;
            continue;
        }
        return got == 1 ? 1 : 0;
    }
}

int qv_wait_readable(int64_t sock, int64_t deadline) {
    return wait_for(sock, 0, deadline);
}

int qv_wait_writable(int64_t sock, int64_t deadline) {
    return wait_for(sock, 1, deadline);
}

static bool tls_has_pending(const qv_conn *c) {
    return c->tls && c->ssl && mbedtls_ssl_check_pending(c->ssl);
}

// --- sending ------------------------------------------------------------------------------

int qv_send_all(qv_conn *c, const void *data, size_t len, int64_t deadline, char *err, size_t cap) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t sent = 0;
    while (sent < len) {
        if (!tls_has_pending(c) && !qv_wait_writable(c->sock, deadline)) {
            qv_errf(err, cap, "timed out sending request");
            return -1;
        }
        if (!c->tls) {
            int64_t n = qv_plat_sock_send(c->sock, p + sent, len - sent);
            if (n == QV_PLAT_WOULD_BLOCK)
                continue; // readiness can be spurious: wait again
            if (n <= 0) {
                qv_errf(err, cap, "connection dropped while sending");
                return -1;
            }
            sent += static_cast<size_t>(n);
            continue;
        }
        int n = mbedtls_ssl_write(c->ssl, p + sent, len - sent);
        if (n == MBEDTLS_ERR_SSL_WANT_READ) {
            if (!tls_has_pending(c) && !qv_wait_readable(c->sock, deadline)) {
                qv_errf(err, cap, "timed out sending request");
                return -1;
            }
            continue;
        }
        if (n == MBEDTLS_ERR_SSL_WANT_WRITE)
            continue;
        if (n <= 0) {
            qv_errf(err, cap, "tls write failed");
            return -1;
        }
        sent += static_cast<size_t>(n);
    }
    return 0;
}

// --- receiving ----------------------------------------------------------------------------

// qv_fill, also telling a time-out (or a stop) apart from a receive error. Stopping here at any
// time loses nothing: the TLS layer keeps a partly received record for the next read.
static int fill(qv_conn *c, int64_t deadline, bool *timed_out) {
    *timed_out = false;
    if (c->rpos < c->rlen)
        return 1;
    c->rpos = 0;
    c->rlen = 0;
    if (c->eof)
        return 0;
    for (;;) {
        if (!tls_has_pending(c) && !qv_wait_readable(c->sock, deadline)) {
            *timed_out = true;
            return -1;
        }
        if (!c->tls) {
            int64_t n = qv_plat_sock_recv(c->sock, c->rbuf, QV_RBUF_CAP);
            if (n == QV_PLAT_WOULD_BLOCK)
                continue; // readiness can be spurious: wait again
            if (n == 0) {
                c->eof = 1;
                return 0;
            }
            if (n < 0)
                return -1;
            c->rlen = static_cast<uint64_t>(n);
            return 1;
        }
        int n = mbedtls_ssl_read(c->ssl, c->rbuf, QV_RBUF_CAP);
        if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE)
            continue;
        if (n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || n == 0) {
            c->eof = 1;
            return 0;
        }
        if (n < 0)
            return -1;
        c->rlen = static_cast<uint64_t>(n);
        return 1;
    }
}

int qv_fill(qv_conn *c, int64_t deadline) {
    bool timed_out;
    return fill(c, deadline, &timed_out);
}

// --- the response head --------------------------------------------------------------------

static bool starts_with_nocase(const char *s, size_t len, const char *prefix) {
    size_t n = strlen(prefix);
    if (len < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (tolower(static_cast<unsigned char>(s[i])) !=
            tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

static bool contains(const char *s, size_t len, const char *word) {
    size_t n = strlen(word);
    for (size_t i = 0; i + n <= len; i++)
        if (memcmp(s + i, word, n) == 0)
            return true;
    return false;
}

// Finds the end of the head in head[from, len): the earliest empty line, written as CR LF CR LF
// or as LF LF. Taking the earliest matters when an LF-only head and the start of the body
// arrive together: a CR LF CR LF inside the body must not swallow the body into the head.
static bool find_head_end(const char *head, size_t len, size_t from, size_t *cut, size_t *end) {
    for (size_t i = from; i < len; i++) {
        if (head[i] != '\n')
            continue;
        if (i >= 1 && head[i - 1] == '\n') {
            *cut = i - 1;
            *end = i + 1;
            return true;
        }
        if (i >= 3 && head[i - 1] == '\r' && head[i - 2] == '\n' && head[i - 3] == '\r') {
            *cut = i - 3;
            *end = i + 1;
            return true;
        }
    }
    return false;
}

static int64_t parse_content_length(const char *s, size_t len) {
    size_t i = 0;
    while (i < len && isspace(static_cast<unsigned char>(s[i])))
        i++;
    bool negative = false;
    if (i < len && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    int64_t value = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; i++)
        if (value <= QV_BODY_MAX)
            value = value * 10 + (s[i] - '0');
    if (negative)
        return 0;
    return value > QV_BODY_MAX ? int64_t{QV_BODY_MAX} : value;
}

static size_t trim_crs(const char *s, size_t len) {
    while (len > 0 && s[len - 1] == '\r')
        len--;
    return len;
}

static int parse_head(qv_conn *c, const char *head, size_t len, char *err, size_t cap) {
    if (len < 9 || (memcmp(head, "HTTP/1.1", 8) != 0 && memcmp(head, "HTTP/1.0", 8) != 0) ||
        head[8] != ' ') {
        qv_errf(err, cap, "not an HTTP/1.x response");
        return -1;
    }
    const char *lf = static_cast<const char *>(memchr(head, '\n', len));
    size_t line_len = lf ? static_cast<size_t>(lf - head) : len;
    size_t i = 9;
    int32_t status = 0;
    for (; i < line_len && head[i] >= '0' && head[i] <= '9'; i++)
        if (status <= STATUS_MAX)
            status = status * 10 + (head[i] - '0');
    c->status = status;
    const char *blank = static_cast<const char *>(memchr(head + i, ' ', line_len - i));
    if (blank) {
        const char *reason = blank + 1;
        size_t n = trim_crs(reason, static_cast<size_t>(head + line_len - reason));
        n = qv_utf8_cut(reason, n, sizeof c->reason - 1);
        memcpy(c->reason, reason, n);
        c->reason[n] = '\0';
    }
    if (!lf) {
        qv_errf(err, cap, "malformed response");
        return -1;
    }
    for (const char *line = lf + 1; line < head + len;) {
        const char *next =
            static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(head + len - line)));
        size_t n = trim_crs(line, next ? static_cast<size_t>(next - line)
                                       : static_cast<size_t>(head + len - line));
        if (starts_with_nocase(line, n, "Transfer-Encoding:")) {
            if (contains(line, n, "chunked"))
                c->chunked = 1;
        } else if (starts_with_nocase(line, n, "Content-Length:")) {
            size_t name = strlen("Content-Length:");
            c->remaining = parse_content_length(line + name, n - name);
        }
        if (!next)
            break;
        line = next + 1;
    }
    return 0;
}

int qv_read_headers(qv_conn *c, int64_t deadline, char *err, size_t cap) {
    c->status = 0;
    c->reason[0] = '\0';
    c->chunked = 0;
    c->chunk_state = 0;
    c->remaining = -1;
    c->headers_done = 0;
    char head[QV_HEAD_MAX + 1];
    size_t len = 0, cut = 0, end = 0;
    for (;;) {
        int got = qv_fill(c, deadline);
        if (got < 0) {
            qv_errf(err, cap, "timed out reading response headers");
            return -1;
        }
        if (got == 0) {
            if (len == 0) {
                qv_errf(err, cap, "server closed without a response");
                return -1;
            }
            cut = len; // the server closed: parse what came
            break;
        }
        size_t before = len;
        uint64_t start = c->rpos;
        size_t take = static_cast<size_t>(c->rlen - c->rpos);
        if (take > QV_HEAD_MAX - len)
            take = QV_HEAD_MAX - len;
        memcpy(head + len, c->rbuf + c->rpos, take);
        len += take;
        c->rpos += take;
        // A terminator may straddle two receives, so look back three bytes.
        if (find_head_end(head, len, before >= 3 ? before - 3 : 0, &cut, &end)) {
            // Bytes after the terminator are the start of the body: give them back.
            c->rpos = start + (end > before ? end - before : 0);
            break;
        }
        if (len >= QV_HEAD_MAX) {
            qv_errf(err, cap, "response headers too large");
            return -1;
        }
    }
    head[cut] = '\0';
    if (parse_head(c, head, cut, err, cap) != 0)
        return -1;
    c->headers_done = 1;
    return 0;
}

// --- the body -----------------------------------------------------------------------------

// The next raw byte. `soft` (a slice's end) applies only where the caller says stopping is
// resumable; elsewhere the byte is waited for until `deadline`.
static int next_raw(qv_conn *c, int64_t deadline, int64_t soft, bool resumable,
                    unsigned char *out) {
    bool timed_out = false;
    int got = fill(c, resumable ? soft : deadline, &timed_out);
    if (got == -1 && timed_out && resumable && soft < deadline)
        return BYTE_NOT_YET;
    if (got != 1)
        return got;
    *out = c->rbuf[c->rpos++];
    return 1;
}

// A chunk-size line: hexadecimal size, optional 0x, extensions after it ignored.
static int read_chunk_size(qv_conn *c, int64_t deadline, int64_t soft) {
    char line[QV_CHUNK_LINE_MAX + 1];
    size_t n = 0;
    for (bool first = true;; first = false) {
        unsigned char b;
        int got = next_raw(c, deadline, soft, first, &b);
        if (got != 1)
            return got;
        if (b == '\n')
            break;
        if (b != '\r' && n < QV_CHUNK_LINE_MAX)
            line[n++] = static_cast<char>(b);
    }
    line[n] = '\0';
    char *end = nullptr;
    errno = 0;
    long long size = strtoll(line, &end, 16);
    // A size line without a number is broken framing, not the last chunk: reading it as 0
    // would end the body early and report a cut body as complete.
    if (end == line || size < 0)
        return -1;
    if (size == 0) {
        c->chunk_state = 3;
    } else {
        c->remaining = size;
        c->chunk_state = 1;
    }
    return 1;
}

// Trailer lines after the last chunk, up to the empty line that ends the body.
static int read_trailers(qv_conn *c, int64_t deadline, int64_t soft) {
    for (;;) {
        bool any = false;
        for (bool first = true;; first = false) {
            unsigned char b;
            int got = next_raw(c, deadline, soft, first, &b);
            if (got != 1)
                return got;
            if (b == '\n')
                break;
            if (b != '\r')
                any = true;
        }
        if (!any) {
            c->eof = 1;
            c->rpos = c->rlen; // the response is complete; nothing after it belongs to it
            return 0;
        }
    }
}

static int body_byte(qv_conn *c, int64_t deadline, int64_t soft, unsigned char *out) {
    if (!c->chunked) {
        if (c->remaining == 0)
            return 0;
        int got = next_raw(c, deadline, soft, true, out);
        if (got == 1 && c->remaining > 0)
            c->remaining--;
        return got;
    }
    for (;;) {
        int got;
        unsigned char b;
        switch (c->chunk_state) {
        case 0:
            if ((got = read_chunk_size(c, deadline, soft)) != 1)
                return got;
            break;
        case 1:
            if (c->remaining <= 0) {
                c->chunk_state = 2;
                break;
            }
            if ((got = next_raw(c, deadline, soft, true, out)) != 1)
                return got;
            if (--c->remaining == 0)
                c->chunk_state = 2;
            return 1;
        case 2:
            if ((got = next_raw(c, deadline, soft, true, &b)) != 1)
                return got;
            if (b == '\r' && (got = next_raw(c, deadline, soft, false, &b)) != 1)
                return got;
            if (b != '\n')
                return -1;
            c->chunk_state = 0;
            break;
        default:
            return read_trailers(c, deadline, soft);
        }
    }
}

int qv_body_byte(qv_conn *c, int64_t deadline, unsigned char *out) {
    return body_byte(c, deadline, deadline, out);
}

// --- exchanges ----------------------------------------------------------------------------

static int send_and_read_head(qv_conn *c, const char *method, const char *path,
                              const char *const *headers, const char *body, size_t body_len,
                              int *status, int64_t deadline, char *err, size_t cap) {
    char *req = nullptr;
    size_t req_len = 0;
    if (build_request(c->host, c->port, c->tls, method, path, headers, body, body_len, &req,
                      &req_len) != 0) {
        qv_errf(err, cap, "request refused (malformed header or path)");
        return -1;
    }
    int sent = qv_send_all(c, req, req_len, deadline, err, cap);
    free(req);
    if (sent != 0 || qv_read_headers(c, deadline, err, cap) != 0)
        return -1;
    if (status)
        *status = c->status;
    return 0;
}

static int collect_body(qv_conn *c, int64_t deadline, char **out, size_t *out_len, char *err,
                        size_t cap) {
    size_t size = BODY_START_CAP;
    char *buf = static_cast<char *>(malloc(size));
    if (!buf) {
        qv_errf(err, cap, "out of memory");
        return -1;
    }
    size_t len = 0;
    while (len < QV_BODY_MAX) {
        unsigned char b;
        int got = qv_body_byte(c, deadline, &b);
        if (got == 0)
            break;
        if (got < 0) {
            free(buf);
            qv_errf(err, cap, "error reading response body");
            return -1;
        }
        if (len + 1 >= size) {
            size_t bigger = size * 2 > size_t{QV_BODY_MAX} + 1 ? size_t{QV_BODY_MAX} + 1 : size * 2;
            char *grown = static_cast<char *>(realloc(buf, bigger));
            if (!grown) {
                free(buf);
                qv_errf(err, cap, "out of memory");
                return -1;
            }
            buf = grown;
            size = bigger;
        }
        buf[len++] = static_cast<char>(b);
    }
    buf[len] = '\0';
    *out = buf;
    *out_len = len;
    return 0;
}

int qv_http_request(qv_conn *c, const char *method, const char *path, const char *const *headers,
                    const char *body, size_t body_len, int *status, char **out_body,
                    size_t *out_len, char *err, size_t cap) {
    if (status)
        *status = 0;
    if (out_body)
        *out_body = nullptr;
    if (out_len)
        *out_len = 0;
    if (err && cap > 0)
        err[0] = '\0';
    int64_t deadline = qv_now_ms() + QV_EXCHANGE_MS;
    if (send_and_read_head(c, method, path, headers, body, body_len, status, deadline, err, cap) !=
        0)
        return -1;
    if (method && strcmp(method, "HEAD") == 0)
        return 0;
    char *buf = nullptr;
    size_t len = 0;
    if (collect_body(c, deadline, &buf, &len, err, cap) != 0)
        return -1;
    if (out_body)
        *out_body = buf;
    else
        free(buf);
    if (out_len)
        *out_len = len;
    return 0;
}

int qv_http_open_stream(qv_conn *c, const char *method, const char *path,
                        const char *const *headers, int *status, char *err, size_t cap) {
    if (status)
        *status = 0;
    if (err && cap > 0)
        err[0] = '\0';
    int64_t deadline = qv_now_ms() + QV_EXCHANGE_MS;
    return send_and_read_head(c, method, path, headers, nullptr, 0, status, deadline, err, cap);
}

// --- line streams -------------------------------------------------------------------------

void qv_line_reader_init(qv_line_reader *r, char *buf, size_t cap) {
    memset(r, 0, sizeof *r);
    r->buf = buf;
    r->cap = cap;
}

static int finish_line(qv_line_reader *r, int result) {
    r->buf[r->len] = '\0';
    r->active = 0;
    return result;
}

// The first byte that does not fit: from here the line is dropped up to its LF. The kept part
// backs off so that it never ends inside a UTF-8 sequence.
static void start_dropping(qv_line_reader *r, unsigned char first_dropped) {
    r->dropping = 1;
    r->at_limit = r->len >= QV_LINE_KEEP_MAX;
    r->buf[r->len] = static_cast<char>(first_dropped); // r->len < r->cap here
    r->len = qv_utf8_cut(r->buf, r->len + 1, r->len);
}

int qv_http_readline_slice(qv_conn *c, qv_line_reader *r, int timeout_ms, int slice_ms) {
    if (!r->buf || r->cap == 0)
        return -1;
    if (timeout_ms <= 0)
        timeout_ms = QV_LINE_DEFAULT_MS;
    int64_t now = qv_now_ms();
    if (!r->active) {
        r->active = 1;
        r->len = 0;
        r->dropping = 0;
        r->at_limit = 0;
        r->deadline = now + timeout_ms;
    }
    int64_t soft = r->deadline;
    if (slice_ms > 0 && now + slice_ms < soft)
        soft = now + slice_ms;
    for (;;) {
        unsigned char b;
        int got = body_byte(c, r->deadline, soft, &b);
        if (got == BYTE_NOT_YET)
            return QV_LINE_NOT_YET;
        if (got == 0)
            return finish_line(r, r->len > 0 || r->at_limit ? 1 : 0);
        if (got < 0) {
            if (r->at_limit)
                return finish_line(r, 1);
            r->len = 0; // what was collected is lost
            return finish_line(r, -1);
        }
        if (b == '\n') {
            if (!r->dropping && r->len > 0 && r->buf[r->len - 1] == '\r')
                r->len--;
            return finish_line(r, 1);
        }
        if (r->dropping)
            continue;
        if (r->len < r->cap - 1 && r->len < QV_LINE_KEEP_MAX)
            r->buf[r->len++] = static_cast<char>(b);
        else
            start_dropping(r, b);
    }
}

int qv_http_readline(qv_conn *c, char *buf, size_t cap, int timeout_ms) {
    qv_line_reader r;
    qv_line_reader_init(&r, buf, cap);
    return qv_http_readline_slice(c, &r, timeout_ms, 0);
}
