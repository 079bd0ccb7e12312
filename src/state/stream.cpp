// The stream position (stream.json), written by the daemon alone after each message it has
// handled, read back when it starts.
#include "state_internal.h"

#include "base.h"

#include <cstring>
#include <yyjson.h>

static const char STREAM_FILE[] = "stream.json";

int qv_ntfy_stream_id_usable(const char *id) {
    size_t len = strlen(id);
    if (len == 0 || len >= QV_STREAM_ID_CAP)
        return 0;
    bool letter = false;
    for (const char *p = id; *p; p++) {
        bool lower = *p >= 'a' && *p <= 'z', upper = *p >= 'A' && *p <= 'Z';
        if (!lower && !upper && !(*p >= '0' && *p <= '9'))
            return 0;
        letter = letter || lower || upper;
    }
    return letter ? 1 : 0;
}

static bool tail_holds(const qv_ntfy_stream *s, const char *id) {
    for (int i = 0; i < s->tail_count; i++)
        if (strcmp(s->tail[i], id) == 0)
            return true;
    return false;
}

static void tail_add(qv_ntfy_stream *s, const char *id, int64_t time) {
    if (tail_holds(s, id))
        return;
    if (s->tail_count == QV_STREAM_TAIL) {
        memmove(s->tail[0], s->tail[1], sizeof s->tail - sizeof s->tail[0]);
        memmove(&s->tail_time[0], &s->tail_time[1], sizeof s->tail_time - sizeof s->tail_time[0]);
        s->tail_count--;
    }
    s->tail_time[s->tail_count] = time;
    cp_trunc(s->tail[s->tail_count++], QV_STREAM_ID_CAP, id);
}

int qv_ntfy_stream_note(qv_ntfy_stream *s, const char *id, int64_t time) {
    if (!qv_ntfy_stream_id_usable(id))
        return 0;
    cp_trunc(s->last_id, sizeof s->last_id, id);
    s->last_time = time;
    tail_add(s, id, time);
    return 1;
}

int qv_ntfy_stream_load(qv_ntfy_stream *s) {
    memset(s, 0, sizeof *s);
    qv_json_doc doc;
    if (qv_json_load_state(STREAM_FILE, &doc) != 0)
        return -1;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root))
        return -1;
    yyjson_val *tail = yyjson_obj_get(root, "tail");
    // A file from before the times were kept has none: 0, not known.
    yyjson_val *times = yyjson_obj_get(root, "tail_times");
    if (yyjson_arr_size(times) != yyjson_arr_size(tail))
        times = nullptr;
    size_t idx, max;
    yyjson_val *el;
    yyjson_arr_foreach(tail, idx, max, el) {
        const char *id = yyjson_get_str(el);
        yyjson_val *time = yyjson_arr_get(times, idx);
        if (id && yyjson_get_len(el) == strlen(id) && qv_ntfy_stream_id_usable(id))
            tail_add(s, id, yyjson_is_int(time) ? yyjson_get_sint(time) : 0);
    }
    qv_json_take_text(root, "server", s->server, sizeof s->server);
    qv_json_take_text(root, "topic", s->topic, sizeof s->topic);
    qv_json_take_text(root, "reply_node", s->reply_node, sizeof s->reply_node);
    qv_json_take_text(root, "reply_session", s->reply_session, sizeof s->reply_session);
    qv_json_take_i64(root, "reply_cursor", &s->reply_cursor);
    qv_json_take_i64(root, "reply_at", &s->reply_at);
    char last[QV_STREAM_ID_CAP] = "";
    qv_json_take_text(root, "last_id", last, sizeof last);
    int64_t time = 0;
    qv_json_take_i64(root, "last_time", &time);
    return qv_ntfy_stream_note(s, last, time) ? 0 : -1;
}

int qv_ntfy_stream_save(const qv_ntfy_stream *s) {
    qv_json_mut_doc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = doc ? yyjson_mut_obj(doc.get()) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc.get(), root);
        yyjson_mut_val *tail = yyjson_mut_arr(doc.get());
        yyjson_mut_val *times = yyjson_mut_arr(doc.get());
        built = tail && times &&
                qv_json_add_text(doc.get(), root, "last_id", s->last_id, sizeof s->last_id) &&
                yyjson_mut_obj_add_sint(doc.get(), root, "last_time", s->last_time) &&
                yyjson_mut_obj_add_val(doc.get(), root, "tail", tail) &&
                yyjson_mut_obj_add_val(doc.get(), root, "tail_times", times);
        for (int i = 0; built && i < s->tail_count && i < QV_STREAM_TAIL; i++)
            built = yyjson_mut_arr_add_sint(doc.get(), times, s->tail_time[i]);
        if (built && s->topic[0])
            built = qv_json_add_text(doc.get(), root, "server", s->server, sizeof s->server) &&
                    qv_json_add_text(doc.get(), root, "topic", s->topic, sizeof s->topic);
        if (built && s->reply_at > 0)
            built = qv_json_add_text(doc.get(), root, "reply_node", s->reply_node,
                                     sizeof s->reply_node) &&
                    qv_json_add_text(doc.get(), root, "reply_session", s->reply_session,
                                     sizeof s->reply_session) &&
                    yyjson_mut_obj_add_sint(doc.get(), root, "reply_cursor", s->reply_cursor) &&
                    yyjson_mut_obj_add_sint(doc.get(), root, "reply_at", s->reply_at);
        for (int i = 0; built && i < s->tail_count && i < QV_STREAM_TAIL; i++)
            built = yyjson_mut_arr_add_strn(doc.get(), tail, s->tail[i],
                                            strnlen(s->tail[i], QV_STREAM_ID_CAP));
    }
    // Compact: it is rewritten after every message.
    return qv_json_save_state(STREAM_FILE, doc.get(), built, 0, nullptr, 0);
}
