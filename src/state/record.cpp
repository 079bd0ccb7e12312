// Records described by tables: member readers and writers for the JSON state files (the first
// member with the key, taken only when it has the field's JSON type, so a hand-edited or damaged
// file can never put a wrong type in), reading, writing and showing a whole record by its table,
// the bounded lists of records, and the one way a built document replaces its file.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

void qv_json_doc_free::operator()(yyjson_doc *doc) const {
    yyjson_doc_free(doc);
}

void qv_json_mut_doc_free::operator()(yyjson_mut_doc *doc) const {
    yyjson_mut_doc_free(doc);
}

// A JSON integer as a signed 64-bit value; yyjson keeps positive numbers beyond INT64_MAX
// unsigned, and those saturate rather than wrap into negative times or counts.
static int64_t integer_value(yyjson_val *v) {
    if (yyjson_is_sint(v))
        return yyjson_get_sint(v);
    uint64_t u = yyjson_get_uint(v);
    return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
}

void qv_json_take_text(yyjson_val *obj, const char *key, char *out, size_t cap) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_str(v))
        cp_trunc(out, cap, yyjson_get_str(v));
}

void qv_json_take_i64(yyjson_val *obj, const char *key, int64_t *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_int(v))
        *out = integer_value(v);
}

void qv_json_take_i32(yyjson_val *obj, const char *key, int32_t *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (!yyjson_is_int(v))
        return;
    int64_t n = integer_value(v);
    *out = static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

bool qv_json_add_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const char *text,
                      size_t cap) {
    return yyjson_mut_obj_add_strn(doc, obj, key, text, strnlen(text, cap));
}

int qv_json_load_state(const char *name, qv_json_doc *doc) {
    doc->reset();
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, name) != 0)
        return -1;
    char *raw = nullptr;
    size_t len = 0;
    int rc = qv_ntfy_read_file(path, &raw, &len);
    qv_heap<char> text(raw);
    if (rc != 0 || !text || len == 0)
        return -1;
    doc->reset(yyjson_read(text.get(), len, 0));
    return *doc ? 0 : -1;
}

// Every state file but one is a promise and is flushed as it is written (see dir.cpp): the
// configuration (the token and the password), who is approved and who waits, the sent ledger that
// tells our own notifications apart, the stream position. status.json is only the setup page's
// view of the daemon and may come back older after a power loss.
static bool page_view_only(const char *name) {
    return strcmp(name, "status.json") == 0;
}

// The reasons name the file without its ending ("config"), as the setup API has always said.
int qv_json_save_state(const char *name, yyjson_mut_doc *doc, bool built, int pretty, char *err,
                       size_t cap) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, name) != 0) {
        (void)qv_ntfy_dir_problem(err, cap); // the reason is all the caller needs
        return -1;
    }
    int stem = static_cast<int>(strcspn(name, "."));
    size_t len = 0;
    // The writer refuses text that is not UTF-8; then the file keeps its previous content.
    qv_heap<char> json(doc && built ? yyjson_mut_write(doc, pretty ? YYJSON_WRITE_PRETTY : 0, &len)
                                    : nullptr);
    if (!json) {
        qv_errf(err, cap, "cannot serialise %.*s", stem, name);
        return -1;
    }
    char why[QV_PLAT_ERROR_TEXT_CAP];
    int written = page_view_only(name)
                      ? qv_ntfy_write_file_atomic(path, json.get(), len, why, sizeof why)
                      : qv_ntfy_write_file_durable(path, json.get(), len, why, sizeof why);
    if (written != 0) {
        qv_errf(err, cap, "cannot write %s: %s", name, why);
        return -1;
    }
    return 0;
}

// --- record tables ---

const qv_field *qv_field_find(qv_fields fields, const char *key) {
    for (const qv_field &f : fields)
        if (strcmp(f.key, key) == 0)
            return &f;
    return nullptr;
}

char *qv_field_text(void *rec, const qv_field &f) {
    return static_cast<char *>(rec) + f.offset;
}

const char *qv_field_text(const void *rec, const qv_field &f) {
    return static_cast<const char *>(rec) + f.offset;
}

int32_t *qv_field_i32(void *rec, const qv_field &f) {
    return reinterpret_cast<int32_t *>(qv_field_text(rec, f));
}

static int32_t field_i32(const void *rec, const qv_field &f) {
    return *reinterpret_cast<const int32_t *>(qv_field_text(rec, f));
}

static int64_t field_i64(const void *rec, const qv_field &f) {
    return *reinterpret_cast<const int64_t *>(qv_field_text(rec, f));
}

// A member's integer as it is written and shown: switches as 0 or 1, whatever a hand edit left
// in them.
static int64_t field_integer(const void *rec, const qv_field &f) {
    switch (f.type) {
    case QV_FIELD_I64:
        return field_i64(rec, f);
    case QV_FIELD_SWITCH:
        return field_i32(rec, f) != 0 ? 1 : 0;
    default:
        return field_i32(rec, f);
    }
}

void qv_record_read(qv_fields fields, yyjson_val *obj, void *rec) {
    for (const qv_field &f : fields) {
        if (f.type == QV_FIELD_TEXT)
            qv_json_take_text(obj, f.key, qv_field_text(rec, f), f.cap);
        else if (f.type == QV_FIELD_I64)
            qv_json_take_i64(obj, f.key, reinterpret_cast<int64_t *>(qv_field_text(rec, f)));
        else
            qv_json_take_i32(obj, f.key, qv_field_i32(rec, f));
    }
}

bool qv_record_write(qv_fields fields, const void *rec, yyjson_mut_doc *doc, yyjson_mut_val *obj) {
    for (const qv_field &f : fields) {
        bool added = f.type == QV_FIELD_TEXT
                         ? qv_json_add_text(doc, obj, f.key, qv_field_text(rec, f), f.cap)
                         : yyjson_mut_obj_add_sint(doc, obj, f.key, field_integer(rec, f));
        if (!added)
            return false;
    }
    return true;
}

int qv_record_save(const char *name, qv_fields fields, const void *rec, char *err, size_t cap) {
    qv_json_mut_doc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = doc ? yyjson_mut_obj(doc.get()) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc.get(), root);
        built = qv_record_write(fields, rec, doc.get(), root);
    }
    return qv_json_save_state(name, doc.get(), built, 1, err, cap);
}

// --- views ---

static bool view_flag(const void *rec, const qv_field &f) {
    return f.type == QV_FIELD_TEXT ? qv_field_text(rec, f)[0] != '\0' : field_integer(rec, f) != 0;
}

static bool view_member(yyjson_mut_doc *doc, yyjson_mut_val *obj, const qv_field &f,
                        const void *rec, qv_show show) {
    if (show == QV_SHOW_FLAG)
        return yyjson_mut_obj_add_bool(doc, obj, f.key, view_flag(rec, f));
    if (f.type != QV_FIELD_TEXT)
        return yyjson_mut_obj_add_sint(doc, obj, f.key, field_integer(rec, f));
    const char *text = qv_field_text(rec, f);
    return yyjson_mut_obj_add_strncpy(doc, obj, f.key, text, strnlen(text, f.cap));
}

bool qv_record_view(yyjson_mut_doc *doc, yyjson_mut_val *obj,
                    std::span<const qv_view_member> members,
                    std::span<const qv_view_source> sources) {
    bool all = true;
    for (const qv_view_member &m : members) {
        if (m.source >= sources.size())
            continue;
        const qv_view_source &src = sources[m.source];
        const qv_field *f = qv_field_find(src.fields, m.key);
        if (f && !view_member(doc, obj, *f, src.record, m.show))
            all = false;
    }
    return all;
}

// --- bounded lists ---

static char *entry_at(const qv_list_store *s, void *table, int i) {
    return static_cast<char *>(table) + static_cast<size_t>(i) * s->entry_size;
}

static const char *entry_at(const qv_list_store *s, const void *table, int i) {
    return static_cast<const char *>(table) + static_cast<size_t>(i) * s->entry_size;
}

// The next element of the array that is an entry, or none.
static yyjson_val *next_entry(const qv_list_store *s, yyjson_arr_iter *it) {
    const char *key = s->fields[0].key;
    while (yyjson_val *el = yyjson_arr_iter_next(it))
        if (yyjson_is_obj(el) && yyjson_is_str(yyjson_obj_get(el, key)))
            return el;
    return nullptr;
}

int qv_list_load(const qv_list_store *s, void **table, int *count) {
    if (!table || !count)
        return -1;
    *count = 0;
    *table = calloc(static_cast<size_t>(s->max), s->entry_size);
    if (!*table)
        return -1;
    qv_json_doc doc;
    if (qv_json_load_state(s->file, &doc) != 0)
        return 0;
    // A root that is no array gives an iterator with nothing in it.
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_doc_get_root(doc.get()));
    while (*count < s->max) {
        yyjson_val *el = next_entry(s, &it);
        if (!el)
            break;
        qv_record_read(s->fields, el, entry_at(s, *table, (*count)++));
    }
    return 0;
}

int qv_list_save(const qv_list_store *s, const void *table, int count) {
    if (count < 0 || count > s->max || (count > 0 && !table))
        return -1;
    qv_json_mut_doc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *root = doc ? yyjson_mut_arr(doc.get()) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc.get(), root);
        for (int i = 0; built && i < count; i++) {
            yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc.get(), root);
            built = obj && qv_record_write(s->fields, entry_at(s, table, i), doc.get(), obj);
        }
    }
    return qv_json_save_state(s->file, doc.get(), built, 1, nullptr, 0);
}

static bool holds_key(const qv_list_store *s, const void *table, int i, const char *key) {
    return key && strcmp(qv_field_text(entry_at(s, table, i), s->fields[0]), key) == 0;
}

int qv_list_find(const qv_list_store *s, const void *table, int count, const char *key) {
    for (int i = 0; i < count; i++)
        if (holds_key(s, table, i, key))
            return i;
    return -1;
}

// How many bytes of a text a field of this capacity keeps, as cp_trunc cuts it.
static size_t kept_length(const char *text, size_t cap) {
    size_t len = strnlen(text, cap);
    return len < cap ? len : qv_utf8_cut(text, len, cap - 1);
}

// Keys are compared as the loader would have cut them, and only the first `max` entries count.
int qv_list_has(const qv_list_store *s, const char *key) {
    if (!key || !*key)
        return 0;
    qv_json_doc doc;
    if (qv_json_load_state(s->file, &doc) != 0)
        return 0;
    const qv_field &k = s->fields[0];
    size_t key_len = strlen(key);
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_doc_get_root(doc.get()));
    for (int taken = 0; taken < s->max; taken++) {
        yyjson_val *el = next_entry(s, &it);
        if (!el)
            break;
        const char *stored = yyjson_get_str(yyjson_obj_get(el, k.key));
        if (kept_length(stored, k.cap) == key_len && memcmp(stored, key, key_len) == 0)
            return 1;
    }
    return 0;
}

int qv_list_remove(const qv_list_store *s, const char *key) {
    // Loaded and saved under the folder's lock, so no other process's change in between is lost.
    // Without the lock a key the file does not hold is still removed: there is nothing to do.
    qv_state_lock lock;
    if (lock.take(nullptr, 0) != 0)
        return qv_list_has(s, key) ? -1 : 0;
    void *table = nullptr;
    int count = 0;
    if (qv_list_load(s, &table, &count) != 0)
        return -1;
    qv_heap<void> held(table);
    int kept = 0;
    for (int i = 0; i < count; i++) {
        if (holds_key(s, table, i, key))
            continue;
        if (kept != i)
            memcpy(entry_at(s, table, kept), entry_at(s, table, i), s->entry_size);
        kept++;
    }
    // An unknown key changes nothing, so the file is left exactly as it was.
    return kept == count ? 0 : qv_list_save(s, table, kept);
}
