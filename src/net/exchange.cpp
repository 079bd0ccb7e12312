// One request on a connection of its own: open, exchange, close. Publishing, the node's inbox
// and its conversation each make exactly this round trip.
#include "net_internal.h"

#include <cstdlib>
#include <new>

qv_conn_holder::qv_conn_holder() : c(static_cast<qv_conn *>(malloc(sizeof(qv_conn)))) {
    if (c)
        qv_conn_init(c);
}

qv_conn_holder::~qv_conn_holder() {
    qv_conn_close(c);
    free(c);
}

int qv_http_exchange(const qv_url *u, const qv_tls_opts *tls, int timeout_ms, const char *method,
                     const char *path, const char *const *headers, const char *body,
                     size_t body_len, qv_http_reply *reply, char *err, size_t cap) {
    return qv_http_exchange_within(u, tls, timeout_ms, QV_EXCHANGE_MS, method, path, headers, body,
                                   body_len, reply, err, cap);
}

int qv_http_exchange_within(const qv_url *u, const qv_tls_opts *tls, int timeout_ms,
                            int exchange_ms, const char *method, const char *path,
                            const char *const *headers, const char *body, size_t body_len,
                            qv_http_reply *reply, char *err, size_t cap) {
    reply->status = 0;
    reply->body.reset();
    reply->len = 0;
    reply->retry_after_s = -1;
    reply->sent = false;
    qv_conn_holder conn;
    if (!conn.c) {
        qv_errf(err, cap, "out of memory");
        return -1;
    }
    const qv_tls_opts none = {nullptr, nullptr, 0};
    if (!tls)
        tls = &none;
    // The peer may act on the request before it answers: a stop lets the exchange finish.
    if (qv_conn_open_as(conn.c, qv_wait_mode::exchange, u, tls->pins, tls->ca_file, tls->insecure,
                        timeout_ms, err, cap) != 0)
        return -1;
    conn.c->exchange_ms = exchange_ms;
    char *text = nullptr;
    int rc = qv_http_request(conn.c, method, path, headers, body, body_len, &reply->status, &text,
                             &reply->len, err, cap);
    reply->body.reset(text);
    reply->retry_after_s = conn.c->retry_after_s;
    reply->sent = conn.c->request_sent != 0;
    return rc;
}
