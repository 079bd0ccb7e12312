// Exchanges on an open connection: deadline-bounded waits, sending, reading the response head
// and body bytes through the pure parsers (parse.cpp), and line streams, whole or in slices.
#include "net_internal.h"

#include "base.h"
#include "platform.h"

#include <mbedtls/ssl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

enum {
    BODY_START_CAP = 4096,
    BYTE_NOT_YET = 2, // the slice ended; the decoder keeps its place in the framing
};

// --- clock and waits ----------------------------------------------------------------------

int64_t qv_now_ms(void) {
    return qv_plat_monotonic_ms();
}

// The deadline a stop leaves a wait: none for a stream, the grace for an exchange.
static int64_t stop_deadline(qv_wait_mode mode, int64_t deadline) {
    int64_t stop_at = qv_plat_stop_requested_at_ms();
    if (stop_at < 0)
        return deadline;
    if (mode == qv_wait_mode::stream)
        return stop_at;
    return stop_at + QV_STOP_GRACE_MS < deadline ? stop_at + QV_STOP_GRACE_MS : deadline;
}

// A signal only restarts the wait with the time left; a stop first moves its deadline.
int qv_wait_ready(int64_t sock, int for_write, qv_wait_mode mode, int64_t deadline) {
    for (;;) {
        int64_t remaining = stop_deadline(mode, deadline) - qv_now_ms();
        if (remaining <= 0)
            return 0;
        int got = qv_plat_sock_wait(sock, for_write, remaining);
        if (got == QV_PLAT_INTERRUPTED)
            continue;
        return got == 1 ? 1 : 0;
    }
}

int qv_wait_readable(int64_t sock, int64_t deadline) {
    return qv_wait_ready(sock, 0, qv_wait_mode::stream, deadline);
}

int qv_wait_writable(int64_t sock, int64_t deadline) {
    return qv_wait_ready(sock, 1, qv_wait_mode::stream, deadline);
}

static bool tls_has_pending(const qv_conn *c) {
    return c->tls && c->ssl && mbedtls_ssl_check_pending(c->ssl);
}

// --- sending ------------------------------------------------------------------------------

int qv_send_all(qv_conn *c, const void *data, size_t len, int64_t deadline, char *err, size_t cap) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    size_t sent = 0;
    // A connection is ready to send at first nearly always: the wait comes after a send that
    // would block, not before every one.
    bool ready = true;
    while (sent < len) {
        if (!ready && !tls_has_pending(c) && !qv_wait_ready(c->sock, 1, c->wait_mode, deadline)) {
            qv_errf(err, cap, "timed out sending request");
            return -1;
        }
        ready = false;
        if (!c->tls) {
            int64_t n = qv_plat_sock_send(c->sock, p + sent, len - sent);
            if (n == QV_PLAT_WOULD_BLOCK)
                continue; // readiness can be spurious: wait again
            if (n <= 0) {
                char why[QV_PLAT_ERROR_TEXT_CAP] = "closed";
                if (n < 0)
                    qv_plat_error_text(why, sizeof why);
                qv_errf(err, cap, "connection dropped while sending: %s", why);
                return -1;
            }
            sent += static_cast<size_t>(n);
            continue;
        }
        int n = mbedtls_ssl_write(c->ssl, p + sent, len - sent);
        if (n == MBEDTLS_ERR_SSL_WANT_READ) {
            if (!tls_has_pending(c) && !qv_wait_ready(c->sock, 0, c->wait_mode, deadline)) {
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
static int fill(qv_conn *c, qv_wait_mode mode, int64_t deadline, bool *timed_out) {
    *timed_out = false;
    if (c->rpos < c->rlen)
        return 1;
    c->rpos = 0;
    c->rlen = 0;
    if (c->eof)
        return 0;
    for (;;) {
        if (!tls_has_pending(c) && !qv_wait_ready(c->sock, 0, mode, deadline)) {
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
    return fill(c, c->wait_mode, deadline, &timed_out);
}

// --- the response head --------------------------------------------------------------------

int qv_read_headers(qv_conn *c, int64_t deadline, char *err, size_t cap) {
    c->headers_done = 0;
    qv_body_init(&c->body, 0, -1);
    qv_head_reader head;
    qv_resp_head out;
    qv_head_init(&head, &out);
    qv_head_result r = qv_head_result::more;
    while (r == qv_head_result::more) {
        int got = qv_fill(c, deadline);
        if (got < 0) {
            qv_errf(err, cap, "timed out reading response headers");
            r = qv_head_result::error;
        } else if (got == 0) {
            r = qv_head_finish(&head, &out, err, cap);
        } else {
            size_t used = 0;
            r = qv_head_feed(&head, c->rbuf + c->rpos, static_cast<size_t>(c->rlen - c->rpos),
                             &used, &out, err, cap);
            c->rpos += used; // what follows the head stays for the body
        }
    }
    // The status line is reported even when the rest of the head is refused.
    c->status = out.status;
    memcpy(c->reason, out.reason, sizeof c->reason);
    c->retry_after_s = out.retry_after_s;
    if (r != qv_head_result::done)
        return -1;
    qv_body_init(&c->body, out.chunked, out.length);
    c->headers_done = 1;
    return 0;
}

// --- the body -----------------------------------------------------------------------------

enum { BODY_CUT = -3 }; // the server closed before the body's end

// The next run of body bytes, taken from the receive buffer where it stays readable until the
// next receive (*run, *len): at most `max` bytes and, with `to_lf`, no further than the first LF.
// 1 with a run, 0 at the end of the body, BYTE_NOT_YET when the slice (`soft`) ended (the decoder
// resumes at any byte; only the line's own deadline turns a silent server into an error), -1 on
// time-out, receive error or broken chunk framing, BODY_CUT when the server closed before the
// body's end (short of Content-Length, or without the last chunk).
static int body_run(qv_conn *c, qv_wait_mode mode, int64_t deadline, int64_t soft, size_t max,
                    bool to_lf, const unsigned char **run, size_t *len) {
    for (;;) {
        if (c->body.state == qv_body_state::done)
            return 0;
        bool timed_out = false;
        int got = fill(c, mode, soft, &timed_out);
        if (got == -1 && timed_out && soft < deadline)
            return BYTE_NOT_YET;
        if (got == 0)
            return qv_body_close_ok(&c->body) ? 0 : BODY_CUT;
        if (got != 1)
            return got;
        const unsigned char *in = c->rbuf + c->rpos;
        size_t avail = static_cast<size_t>(c->rlen - c->rpos);
        // Decoded on a copy first, so a run cut at its LF leaves the decoder right behind the LF.
        qv_body_decoder next = c->body;
        qv_body_step s = qv_body_decode(&next, in, avail, max);
        const void *lf = to_lf && s.body_len > 0 ? memchr(in + s.body_at, '\n', s.body_len) : nullptr;
        size_t upto = lf ? static_cast<size_t>(static_cast<const unsigned char *>(lf) - in) + 1 - s.body_at
                         : s.body_len;
        if (upto < s.body_len) {
            next = c->body;
            s = qv_body_decode(&next, in, avail, upto);
        }
        c->body = next;
        c->rpos += s.used;
        if (s.result == qv_body_result::error)
            return -1;
        if (s.result == qv_body_result::done && c->body.chunked) {
            c->eof = 1;
            c->rpos = c->rlen; // the response is complete; nothing after it belongs to it
        }
        if (s.body_len > 0) {
            *run = in + s.body_at;
            *len = s.body_len;
            return 1;
        }
    }
}

int qv_body_byte(qv_conn *c, int64_t deadline, unsigned char *out) {
    const unsigned char *run = nullptr;
    size_t len = 0;
    int got = body_run(c, c->wait_mode, deadline, deadline, 1, false, &run, &len);
    if (got == 1)
        *out = run[0];
    return got < 0 ? -1 : got;
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
    c->request_sent = sent == 0 ? 1 : 0;
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
        const unsigned char *run = nullptr;
        size_t n = 0;
        int got = body_run(c, c->wait_mode, deadline, deadline, QV_BODY_MAX - len, false, &run, &n);
        if (got == 0)
            break;
        if (got < 0) {
            free(buf);
            qv_errf(err, cap, "%s", got == BODY_CUT
                                        ? "response body cut short (the server closed before its end)"
                                        : "error reading response body");
            return -1;
        }
        if (len + n >= size) {
            size_t bigger = size;
            while (len + n >= bigger)
                bigger *= 2;
            if (bigger > size_t{QV_BODY_MAX} + 1)
                bigger = size_t{QV_BODY_MAX} + 1;
            char *grown = static_cast<char *>(realloc(buf, bigger));
            if (!grown) {
                free(buf);
                qv_errf(err, cap, "out of memory");
                return -1;
            }
            buf = grown;
            size = bigger;
        }
        memcpy(buf + len, run, n);
        len += n;
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
    int64_t deadline = qv_now_ms() + (c->exchange_ms > 0 ? c->exchange_ms : QV_EXCHANGE_MS);
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

// Adds bytes of a line (no LF among them) as far as the line keeps them.
static void keep_bytes(qv_line_reader *r, const unsigned char *bytes, size_t n) {
    if (r->dropping || n == 0)
        return;
    size_t limit = r->cap - 1 < QV_LINE_KEEP_MAX ? r->cap - 1 : size_t{QV_LINE_KEEP_MAX};
    size_t room = r->len < limit ? limit - r->len : 0;
    size_t take = n < room ? n : room;
    memcpy(r->buf + r->len, bytes, take);
    r->len += take;
    if (take < n)
        start_dropping(r, bytes[take]);
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
        const unsigned char *run = nullptr;
        size_t n = 0;
        // A stop leaves a stream at once, whatever the connection's mode.
        int got = body_run(c, qv_wait_mode::stream, r->deadline, soft, SIZE_MAX, true, &run, &n);
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
        bool ends = run[n - 1] == '\n';
        keep_bytes(r, run, ends ? n - 1 : n);
        if (ends) {
            if (!r->dropping && r->len > 0 && r->buf[r->len - 1] == '\r')
                r->len--;
            return finish_line(r, 1);
        }
    }
}

int qv_http_readline(qv_conn *c, char *buf, size_t cap, int timeout_ms) {
    qv_line_reader r;
    qv_line_reader_init(&r, buf, cap);
    return qv_http_readline_slice(c, &r, timeout_ms, 0);
}
