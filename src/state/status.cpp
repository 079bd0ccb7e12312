// The daemon's status record (status.json): counters, connection state, the last error and
// a copy of the settings it runs with, which the setup interface shows.
#include "state_internal.h"

#include "base.h"

#include <cstring>
#include <yyjson.h>

static const char STATUS_FILE[] = "status.json";

#define QV_I64(name) QV_I64_FIELD(qv_ntfy_status, name)
#define QV_I32(name) QV_I32_FIELD(qv_ntfy_status, name)
#define QV_TEXT(name) QV_TEXT_FIELD(qv_ntfy_status, name)

// In file order. reply_cursor has no member: it lives only in the daemon's memory.
static const qv_field STATUS_FIELDS[] = {
    QV_I64(started_at),       QV_I64(last_seen_at),  QV_I64(last_inbound_at),
    QV_I64(last_outbound_at), QV_I64(inbound_count), QV_I64(outbound_count),
    QV_I64(blocked_count),    QV_I64(pending_count), QV_I64(connect_count),
    QV_I64(error_count),      QV_I32(connected),     QV_I64(last_message_time),
    QV_I32(configured),       QV_I32(allow_all),     QV_I32(pairing_code_enabled),
    QV_I32(markdown),         QV_I32(has_bearer),    QV_I32(has_bot_password),
    QV_I32(tls_insecure),     QV_I32(pinned),        QV_TEXT(last_error),
    QV_TEXT(last_event),      QV_TEXT(topic),        QV_TEXT(publish_topic),
    QV_TEXT(target_session),  QV_TEXT(server_url),    QV_I64(queued_count),
    QV_I64(queue_dropped_count), QV_I64(reply_given_up_count), QV_I64(config_updated_at),
    QV_I64(own_echo_count), QV_I64(revoked_dropped_count), QV_I64(pending_evicted_count),
};
#undef QV_I64
#undef QV_I32
#undef QV_TEXT
const qv_fields QV_STATUS_FIELDS = STATUS_FIELDS;

int qv_ntfy_status_load(qv_ntfy_status *s) {
    if (!s)
        return -1;
    memset(s, 0, sizeof *s);
    qv_json_doc doc;
    if (qv_json_load_state(STATUS_FILE, &doc) != 0)
        return -1;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root))
        return -1;
    qv_record_read(STATUS_FIELDS, root, s);
    return 0;
}

int qv_ntfy_status_save(const qv_ntfy_status *s) {
    if (!s)
        return -1;
    return qv_record_save(STATUS_FILE, STATUS_FIELDS, s, nullptr, 0);
}

void qv_ntfy_status_settings(qv_ntfy_status *s, const qv_ntfy_config *c) {
    cp_trunc(s->topic, sizeof s->topic, c->topic);
    cp_trunc(s->publish_topic, sizeof s->publish_topic, qv_ntfy_reply_topic(c));
    cp_trunc(s->target_session, sizeof s->target_session, c->target_session);
    cp_trunc(s->server_url, sizeof s->server_url, c->server_url);
    s->configured = c->topic[0] && c->target_session[0];
    s->allow_all = c->allow_all;
    s->pairing_code_enabled = c->pairing_code_enabled;
    s->markdown = c->markdown;
    s->has_bearer = c->bearer_token[0] != '\0';
    s->has_bot_password = c->bot_password[0] != '\0';
    s->tls_insecure = qv_ntfy_tls_insecure();
    s->pinned = c->allowed_pins[0] != '\0';
}
