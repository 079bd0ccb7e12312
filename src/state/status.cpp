// The daemon's status record (status.json): counters, connection state, the last error and
// a copy of the settings it runs with, which the setup interface shows.
#include "state.h"

#include "base.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char STATUS_FILE[] = "status.json";

// One member of status.json: exactly one of the three field references is set.
struct status_member {
    const char *key;
    int64_t qv_ntfy_status::*i64;
    int32_t qv_ntfy_status::*i32;
    size_t text_offset;
    size_t text_cap;
};

#define QV_I64(name)                                                                               \
    { #name, &qv_ntfy_status::name, nullptr, 0, 0 }
#define QV_I32(name)                                                                               \
    { #name, nullptr, &qv_ntfy_status::name, 0, 0 }
#define QV_TEXT(name)                                                                              \
    { #name, nullptr, nullptr, offsetof(qv_ntfy_status, name), sizeof(qv_ntfy_status::name) }

// In file order. reply_cursor has no member: it lives only in the daemon's memory.
static const status_member MEMBERS[] = {
    QV_I64(started_at),       QV_I64(last_seen_at),  QV_I64(last_inbound_at),
    QV_I64(last_outbound_at), QV_I64(inbound_count), QV_I64(outbound_count),
    QV_I64(blocked_count),    QV_I64(pending_count), QV_I64(connect_count),
    QV_I64(error_count),      QV_I32(connected),     QV_I64(last_message_time),
    QV_I32(configured),       QV_I32(allow_all),     QV_I32(pairing_code_enabled),
    QV_I32(markdown),         QV_I32(has_bearer),    QV_I32(has_bot_password),
    QV_I32(tls_insecure),     QV_I32(pinned),        QV_TEXT(last_error),
    QV_TEXT(last_event),      QV_TEXT(topic),        QV_TEXT(publish_topic),
    QV_TEXT(target_session),  QV_TEXT(server_url),
};
#undef QV_I64
#undef QV_I32
#undef QV_TEXT

static char *text_at(qv_ntfy_status *s, const status_member &m) {
    return reinterpret_cast<char *>(s) + m.text_offset;
}
static const char *text_at(const qv_ntfy_status *s, const status_member &m) {
    return reinterpret_cast<const char *>(s) + m.text_offset;
}

static void read_members(qv_ntfy_status *s, yyjson_val *root) {
    for (const status_member &m : MEMBERS) {
        if (m.i64)
            qv_json_take_i64(root, m.key, &(s->*m.i64));
        else if (m.i32)
            qv_json_take_i32(root, m.key, &(s->*m.i32));
        else
            qv_json_take_text(root, m.key, text_at(s, m), m.text_cap);
    }
}

int qv_ntfy_status_load(qv_ntfy_status *s) {
    if (!s)
        return -1;
    memset(s, 0, sizeof *s);
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, STATUS_FILE) != 0)
        return -1;
    char *text = nullptr;
    size_t len = 0;
    if (qv_ntfy_read_file(path, &text, &len) != 0 || len == 0) {
        free(text);
        return -1;
    }
    yyjson_doc *doc = yyjson_read(text, len, 0);
    free(text);
    yyjson_val *root = yyjson_doc_get_root(doc);
    int rc = -1;
    if (yyjson_is_obj(root)) {
        read_members(s, root);
        rc = 0;
    }
    yyjson_doc_free(doc);
    return rc;
}

// The texts are referenced, not copied: the record outlives the document. A text is never
// read beyond its field, even when a caller left it unterminated.
static bool add_member(yyjson_mut_doc *doc, yyjson_mut_val *obj, const qv_ntfy_status *s,
                       const status_member &m) {
    if (m.i64)
        return yyjson_mut_obj_add_sint(doc, obj, m.key, s->*m.i64);
    if (m.i32)
        return yyjson_mut_obj_add_sint(doc, obj, m.key, s->*m.i32);
    return qv_json_add_text(doc, obj, m.key, text_at(s, m), m.text_cap);
}

int qv_ntfy_status_save(const qv_ntfy_status *s) {
    if (!s)
        return -1;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = doc ? yyjson_mut_obj(doc) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc, root);
        for (const status_member &m : MEMBERS)
            built = built && add_member(doc, root, s, m);
    }
    int rc = qv_json_save_state(STATUS_FILE, doc, built, 1);
    yyjson_mut_doc_free(doc);
    return rc;
}
