// The stream position (stream.json), written by the daemon alone after each message it has
// handled, read back when it starts: two slots rewritten in place in turn, each checked by a sum.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char STREAM_FILE[] = "stream.json";

// The file is two slots of SLOT_BYTES, each a head line and the record as one line of JSON:
//   "chimewick position <sequence: 16 hex> <JSON length: 8 hex> <sum: 16 hex>\n{...}\n"
// The sum (FNV-1a, 64 bits) covers the head before it and the JSON. A save writes the slot that
// does not hold the newest record and flushes its data, like a database's two header pages: a
// power loss in the middle of a write leaves that slot torn (its sum fails) and the other one
// whole, one message older, which the ids kept in it then drop when they come again. The length
// never changes after the file is made, so the flush waits for no metadata, and there is no
// rename and no folder to flush. A file of one JSON document (older versions, or by hand) is read
// as it is and replaced by the two slots at the next save.
static const char SLOT_MAGIC[] = "chimewick position ";
enum : size_t {
    SLOT_BYTES = QV_STREAM_SLOT_BYTES,
    SLOT_MAGIC_LEN = sizeof SLOT_MAGIC - 1,
    SLOT_SUMMED_HEAD = SLOT_MAGIC_LEN + 16 + 1 + 8,
    SLOT_HEAD = SLOT_SUMMED_HEAD + 1 + 16 + 1,
    SLOTS_FILE_BYTES = 2 * SLOT_BYTES,
};
static_assert(SLOT_HEAD == size_t{QV_STREAM_SLOT_HEAD},
              "the head line's length is part of the format");

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

static uint64_t fnv1a(uint64_t h, const char *p, size_t n) {
    for (size_t i = 0; i < n; i++) {
        h ^= static_cast<unsigned char>(p[i]);
        h *= 0x100000001b3ull;
    }
    return h;
}

static uint64_t slot_sum(const char *head, const char *json, size_t len) {
    return fnv1a(fnv1a(0xcbf29ce484222325ull, head, SLOT_SUMMED_HEAD), json, len);
}

static bool hex_field(const char *p, int digits, uint64_t *out) {
    uint64_t v = 0;
    for (int i = 0; i < digits; i++) {
        int d = qv_hex_value(p[i]);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

// The JSON of a whole slot and its sequence number; false for a slot torn or never written.
static bool slot_read(const char *slot, const char **json, size_t *len, uint64_t *seq) {
    uint64_t n = 0, sum = 0;
    const char *p = slot + SLOT_MAGIC_LEN;
    if (memcmp(slot, SLOT_MAGIC, SLOT_MAGIC_LEN) != 0 || !hex_field(p, 16, seq) || p[16] != ' ' ||
        !hex_field(p + 17, 8, &n) || p[25] != ' ' || !hex_field(p + 26, 16, &sum) ||
        p[42] != '\n' || n > SLOT_BYTES - SLOT_HEAD - 1 ||
        slot_sum(slot, slot + SLOT_HEAD, static_cast<size_t>(n)) != sum)
        return false;
    *json = slot + SLOT_HEAD;
    *len = static_cast<size_t>(n);
    return true;
}

// The newest whole slot of a file of two; false when neither is whole.
static bool newest_slot(const char *file, const char **json, size_t *len, uint64_t *seq) {
    bool found = false;
    *seq = 0;
    for (size_t i = 0; i < 2; i++) {
        const char *j = nullptr;
        size_t n = 0;
        uint64_t q = 0;
        if (slot_read(file + i * SLOT_BYTES, &j, &n, &q) && (!found || q > *seq)) {
            *json = j;
            *len = n;
            *seq = q;
            found = true;
        }
    }
    return found;
}

static int stream_path(char *path, size_t cap) {
    return qv_ntfy_path(path, cap, STREAM_FILE);
}

int qv_ntfy_stream_load(qv_ntfy_stream *s) {
    memset(s, 0, sizeof *s);
    char path[QV_PATH_CAP];
    char *raw = nullptr;
    size_t len = 0;
    if (stream_path(path, sizeof path) != 0 || qv_ntfy_read_file(path, &raw, &len) != 0)
        return -1;
    qv_heap<char> text(raw);
    const char *json = text.get();
    uint64_t seq = 0;
    if (len == SLOTS_FILE_BYTES && !newest_slot(text.get(), &json, &len, &seq))
        return -1;
    qv_json_doc doc(yyjson_read(json, len, 0));
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

// The record as one line of compact JSON (malloc'd), or null.
static char *stream_json(const qv_ntfy_stream *s, size_t *len) {
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
    return built ? yyjson_mut_write(doc.get(), 0, len) : nullptr;
}

// Lays one slot out: the head, the JSON and a line feed. The bytes written, 0 when it won't fit.
static size_t slot_fill(char *slot, uint64_t seq, const char *json, size_t len) {
    if (SLOT_HEAD + len + 1 > SLOT_BYTES)
        return 0;
    snprintf(slot, SLOT_SUMMED_HEAD + 1, "%s%016" PRIx64 " %08zx", SLOT_MAGIC, seq, len);
    snprintf(slot + SLOT_SUMMED_HEAD, SLOT_HEAD - SLOT_SUMMED_HEAD + 1, " %016" PRIx64 "\n",
             slot_sum(slot, json, len));
    memcpy(slot + SLOT_HEAD, json, len); // over the terminator the head's snprintf left
    slot[SLOT_HEAD + len] = '\n';
    return SLOT_HEAD + len + 1;
}

// Opens a file of two slots for writing in place and finds its newest sequence number. -1 when
// there is none, or it is not of two slots (then it is made anew).
static int slots_open(qv_ntfy_stream_file *f, const char *path) {
    char *raw = nullptr;
    size_t len = 0;
    if (qv_ntfy_read_file(path, &raw, &len) != 0)
        return -1;
    qv_heap<char> text(raw);
    const char *json = nullptr;
    if (len != SLOTS_FILE_BYTES)
        return -1;
    (void)newest_slot(text.get(), &json, &len, &f->seq);
    f->handle = qv_plat_file_open_in_place(path);
    f->open = f->handle >= 0;
    return f->open ? 0 : -1;
}

// Makes the file of two slots anew, through a flushed temporary. A record goes to slot
// (sequence % 2) always, so the next save never writes over it.
static int slots_create(qv_ntfy_stream_file *f, const char *path, const char *json, size_t len) {
    qv_heap<char> image(static_cast<char *>(calloc(1, SLOTS_FILE_BYTES)));
    uint64_t seq = f->seq + 1;
    if (!image || slot_fill(image.get() + (seq % 2) * SLOT_BYTES, seq, json, len) == 0 ||
        qv_ntfy_write_file_durable(path, image.get(), SLOTS_FILE_BYTES, nullptr, 0) != 0)
        return -1;
    f->seq = seq;
    f->handle = qv_plat_file_open_in_place(path);
    f->open = f->handle >= 0;
    return 0;
}

// Writes the record into the slot that does not hold the newest one, and flushes it.
static int slots_write(qv_ntfy_stream_file *f, const char *json, size_t len) {
    uint64_t seq = f->seq + 1;
    qv_heap<char> slot(static_cast<char *>(malloc(SLOT_HEAD + len + 1)));
    size_t n = slot ? slot_fill(slot.get(), seq, json, len) : 0;
    if (n == 0)
        return -1;
    int64_t offset = static_cast<int64_t>((seq % 2) * SLOT_BYTES);
    if (qv_plat_file_write_at_durable(f->handle, offset, slot.get(), n) != 0) {
        // Opened again at the next save, which finds the newest whole slot anew.
        qv_ntfy_stream_close(f);
        return -1;
    }
    f->seq = seq;
    return 0;
}

int qv_ntfy_stream_save(const qv_ntfy_stream *s, qv_ntfy_stream_file *file) {
    qv_ntfy_stream_file once = {};
    qv_ntfy_stream_file *f = file ? file : &once;
    size_t len = 0;
    qv_heap<char> json(stream_json(s, &len));
    if (!json)
        return -1;
    // The file held open is written at once; only a save that must open it needs its path.
    char path[QV_PATH_CAP];
    int rc = -1;
    if (f->open)
        rc = slots_write(f, json.get(), len);
    else if (stream_path(path, sizeof path) == 0)
        rc = slots_open(f, path) == 0 ? slots_write(f, json.get(), len)
                                      : slots_create(f, path, json.get(), len);
    if (!file)
        qv_ntfy_stream_close(&once);
    return rc;
}

void qv_ntfy_stream_close(qv_ntfy_stream_file *file) {
    if (file->open)
        qv_plat_file_close_in_place(file->handle);
    file->open = false;
    file->handle = -1;
}
