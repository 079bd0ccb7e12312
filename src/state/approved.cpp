// The approved senders (approved.json): the allowlist of sender identities whose messages
// reach the agent, with when and how each was approved and how often it was seen since.
#include "state.h"

#include "base.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char APPROVED_FILE[] = "approved.json";

// Only objects with a string "key" are entries; anything else takes no room in the table.
static bool is_entry_element(yyjson_val *el) {
    return yyjson_is_obj(el) && yyjson_is_str(yyjson_obj_get(el, "key"));
}

static void read_entry(yyjson_val *obj, qv_ntfy_approved_entry *e) {
    qv_json_take_text(obj, "key", e->key, sizeof e->key);
    qv_json_take_text(obj, "label", e->label, sizeof e->label);
    qv_json_take_i64(obj, "added_at", &e->added_at);
    qv_json_take_i64(obj, "last_seen", &e->last_seen);
    qv_json_take_i32(obj, "count", &e->count);
    qv_json_take_i32(obj, "via", &e->via);
}

int qv_ntfy_approved_load(qv_ntfy_approved_entry **table, int *count) {
    if (!table || !count)
        return -1;
    *count = 0;
    *table = static_cast<qv_ntfy_approved_entry *>(calloc(QV_APPROVED_MAX, sizeof **table));
    if (!*table)
        return -1;
    yyjson_doc *doc = nullptr;
    if (load_array(APPROVED_FILE, &doc) != 0)
        return 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    size_t idx, max;
    yyjson_val *el;
    if (yyjson_is_arr(root)) {
        yyjson_arr_foreach(root, idx, max, el) {
            if (!is_entry_element(el))
                continue;
            read_entry(el, &(*table)[*count]);
            if (++*count == QV_APPROVED_MAX)
                break;
        }
    }
    yyjson_doc_free(doc);
    return 0;
}

// Member order is part of the file format; the strings are referenced, not copied, because
// the table outlives the document.
static bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *arr, const qv_ntfy_approved_entry *e) {
    yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc, arr);
    return obj && qv_json_add_text(doc, obj, "key", e->key, sizeof e->key) &&
           qv_json_add_text(doc, obj, "label", e->label, sizeof e->label) &&
           yyjson_mut_obj_add_sint(doc, obj, "added_at", e->added_at) &&
           yyjson_mut_obj_add_sint(doc, obj, "last_seen", e->last_seen) &&
           yyjson_mut_obj_add_sint(doc, obj, "count", e->count) &&
           yyjson_mut_obj_add_sint(doc, obj, "via", e->via);
}

int qv_ntfy_approved_save(const qv_ntfy_approved_entry *table, int count) {
    if (count < 0 || count > QV_APPROVED_MAX || (count > 0 && !table))
        return -1;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = doc ? yyjson_mut_arr(doc) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc, root);
        for (int i = 0; built && i < count; i++)
            built = add_entry(doc, root, &table[i]);
    }
    int rc = qv_json_save_state(APPROVED_FILE, doc, built, 1);
    yyjson_mut_doc_free(doc);
    return rc;
}

static int find_key(const qv_ntfy_approved_entry *table, int count, const char *key) {
    for (int i = 0; i < count; i++)
        if (strcmp(table[i].key, key) == 0)
            return i;
    return -1;
}

// The daemon asks this for every message, so it reads the document in place instead of
// filling a table: the answer is the same as the loaded list would give (the first
// QV_APPROVED_MAX entries, keys cut as the loader cuts them).
int qv_ntfy_approved_has(const char *key) {
    if (!key || !*key)
        return 0;
    yyjson_doc *doc = nullptr;
    if (load_array(APPROVED_FILE, &doc) != 0)
        return 0;
    int found = 0, taken = 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    size_t idx, max;
    yyjson_val *el;
    if (yyjson_is_arr(root)) {
        yyjson_arr_foreach(root, idx, max, el) {
            if (!is_entry_element(el))
                continue;
            char stored[QV_SENDER_KEY_CAP];
            cp_trunc(stored, sizeof stored, yyjson_get_str(yyjson_obj_get(el, "key")));
            if (strcmp(stored, key) == 0) {
                found = 1;
                break;
            }
            if (++taken == QV_APPROVED_MAX)
                break;
        }
    }
    yyjson_doc_free(doc);
    return found;
}

int qv_ntfy_approved_add(const char *key, const char *label, int via) {
    if (!key)
        return -1;
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    int rc = -1;
    int at = find_key(table, count, key);
    if (at >= 0) {
        // Re-approving keeps the history (added_at, last_seen, count) of the entry.
        if (label && *label)
            cp_trunc(table[at].label, sizeof table[at].label, label);
        table[at].via = via;
        rc = qv_ntfy_approved_save(table, count);
    } else if (count < QV_APPROVED_MAX) {
        qv_ntfy_approved_entry *e = &table[count];
        memset(e, 0, sizeof *e);
        cp_trunc(e->key, sizeof e->key, key);
        cp_trunc(e->label, sizeof e->label, label);
        e->added_at = e->last_seen = qv_ntfy_now_epoch();
        e->via = via;
        rc = qv_ntfy_approved_save(table, count + 1);
    }
    free(table);
    return rc;
}

int qv_ntfy_approved_remove(const char *key) {
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    int kept = 0;
    for (int i = 0; i < count; i++) {
        if (key && strcmp(table[i].key, key) == 0)
            continue;
        if (kept != i)
            table[kept] = table[i];
        kept++;
    }
    // An unknown key changes nothing, so the file is left exactly as it was.
    int rc = kept == count ? 0 : qv_ntfy_approved_save(table, kept);
    free(table);
    return rc;
}

int qv_ntfy_approved_touch_seen(const char *key) {
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    int at = key ? find_key(table, count, key) : -1;
    if (at >= 0) {
        table[at].last_seen = qv_ntfy_now_epoch();
        // A count read from a file may already be at the top of its range; it stays there.
        if (table[at].count < INT32_MAX)
            table[at].count++;
        // A sighting that cannot be saved still admits the sender.
        (void)qv_ntfy_approved_save(table, count);
    }
    free(table);
    return at >= 0 ? 1 : 0;
}
