// Handing a framed message to the node: the POST to its loopback /inbox, and the daemon's
// deadline for it, which grows after the node took a message without answering in time so a
// slow node does not get the same message again and again.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "net.h"
#include "state.h"

#include <cstdio>
#include <cstring>
#include <yyjson.h>

enum {
    QV_INBOX_BODY_MAX = 16599,
    QV_INBOX_PATH_CAP = 1200,
    QV_INBOX_SESSION_ENC_CAP = 560,
    QV_INBOX_ERR_BODY_CAP = 256, // what of the node's error answer is kept
    QV_INBOX_TIMEOUT_MS = 5000,
};

// Builds {"text":...,"mode":"queue"}; 0 with the text in json, or -1 with a message.
[[nodiscard]] static int inbox_payload(const char *text, qv_heap<char> *json, size_t *len,
                                       char *err, size_t cap) {
    json->reset();
    qv_json_mut_doc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *obj = doc ? yyjson_mut_obj(doc.get()) : nullptr;
    if (obj) {
        yyjson_mut_doc_set_root(doc.get(), obj);
        if (yyjson_mut_obj_add_str(doc.get(), obj, "text", text) &&
            yyjson_mut_obj_add_str(doc.get(), obj, "mode", "queue"))
            json->reset(yyjson_mut_write(doc.get(), 0, len));
    }
    if (!*json) {
        qv_errf(err, cap, "cannot serialise inbox payload");
        return -1;
    }
    if (*len > QV_INBOX_BODY_MAX) {
        json->reset();
        qv_errf(err, cap, "message too large for the inbox bridge");
        return -1;
    }
    return 0;
}

qv_inbox_result post_inbox(const qv_ntfy_config *cfg, int exchange_ms, const char *text,
                           bool *unanswered, char *err, size_t cap) {
    *unanswered = false;
    qv_url url;
    if (qv_url_parse(cfg->bot_api_url, &url, err, cap) != 0)
        return QV_INBOX_REFUSED;
    if (!qv_node_is_loopback_or_tls(&url)) {
        qv_errf(err, cap, "refusing to send the node password to a non-loopback host");
        return QV_INBOX_REFUSED;
    }
    char session[QV_INBOX_SESSION_ENC_CAP];
    qv_url_encode(cfg->target_session, session, sizeof session);
    char path[QV_INBOX_PATH_CAP];
    snprintf(path, sizeof path, "/inbox?id=%s&mode=queue", session);
    qv_heap<char> json;
    size_t json_len = 0;
    if (inbox_payload(text, &json, &json_len, err, cap) != 0)
        return QV_INBOX_REFUSED;
    char password[QV_CFG_SECRET_CAP * 2];
    qv_node_password_line(cfg, password, sizeof password);
    const char *headers[] = {"Content-Type: application/json", password[0] ? password : nullptr,
                             nullptr};
    qv_http_reply reply;
    if (qv_http_exchange_within(&url, nullptr, QV_INBOX_TIMEOUT_MS, exchange_ms, "POST", path,
                                headers, json.get(), json_len, &reply, err, cap) != 0) {
        *unanswered = reply.sent;
        return QV_INBOX_RETRY; // the node restarting, not there yet, or slow to answer
    }
    if (reply.status >= 200 && reply.status <= 299)
        return QV_INBOX_DELIVERED;
    // The node (or a proxy before it) may answer in any encoding: only UTF-8 reaches the status.
    char body[QV_INBOX_ERR_BODY_CAP];
    qv_utf8_repair(reply.body.get(), reply.len, body, sizeof body);
    qv_errf(err, cap, "node /inbox answered %d%s%s", reply.status, body[0] ? ": " : "", body);
    bool passes = reply.status == 429 || (reply.status >= 500 && reply.status <= 599);
    return passes ? QV_INBOX_RETRY : QV_INBOX_REFUSED;
}

qv_inbox_result daemon_post_inbox(qv_daemon *d, const char *text, char *err, size_t cap) {
    int deadline = d->inbox_deadline_ms > 0 ? d->inbox_deadline_ms : QV_EXCHANGE_MS;
    bool unanswered = false;
    int64_t start = qv_now_ms();
    qv_inbox_result result = post_inbox(&d->cfg, deadline, text, &unanswered, err, cap);
    if (result == QV_INBOX_RETRY && unanswered && deadline < QV_INBOX_SLOW_MS) {
        // The node may have taken the message and still be working on it: another post with
        // the same short deadline would hand it a copy every time, for as long as it is slow.
        d->inbox_deadline_ms = QV_INBOX_SLOW_MS;
        qv_ntfy_logf("the node took the message but did not answer within %d s: the next post "
                     "waits up to %d s for its answer",
                     deadline / 1000, QV_INBOX_SLOW_MS / 1000);
    } else if (result == QV_INBOX_DELIVERED && d->inbox_deadline_ms > 0 &&
               qv_now_ms() - start < QV_EXCHANGE_MS) {
        d->inbox_deadline_ms = 0;
    }
    return result;
}
