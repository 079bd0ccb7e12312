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
    reply->status = 0;
    reply->body.reset();
    reply->len = 0;
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
    char *text = nullptr;
    int rc = qv_http_request(conn.c, method, path, headers, body, body_len, &reply->status, &text,
                             &reply->len, err, cap);
    reply->body.reset(text);
    return rc;
}
