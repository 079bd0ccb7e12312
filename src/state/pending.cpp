// The pairing queue (pending.json): senders that are not approved yet, each holding a short
// random code that pairs it when published on the topic, and the code generator itself.
#include "state.h"

#include "base.h"
#include "platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char PENDING_FILE[] = "pending.json";
// Upper-case letters without I and O, digits without 0 and 1: nothing a person can misread.
static const char CODE_ALPHABET[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
enum { QV_CODE_ALPHABET_MASK = 31, QV_FALLBACK_SEED_SHIFT = 17, QV_FALLBACK_BYTE_SHIFT = 33 };
static const uint64_t LCG_MULTIPLIER = 6364136223846793005ULL;
static const uint64_t LCG_INCREMENT = 1442695040888963407ULL;

// Only objects with a string "key" are entries; anything else takes no room in the table.
static bool is_entry_element(yyjson_val *el) {
    return yyjson_is_obj(el) && yyjson_is_str(yyjson_obj_get(el, "key"));
}

static void read_entry(yyjson_val *obj, qv_ntfy_pending_entry *e) {
    qv_json_take_text(obj, "key", e->key, sizeof e->key);
    qv_json_take_text(obj, "label", e->label, sizeof e->label);
    qv_json_take_text(obj, "code", e->code, sizeof e->code);
    qv_json_take_text(obj, "sample", e->sample, sizeof e->sample);
    qv_json_take_i64(obj, "first_seen", &e->first_seen);
    qv_json_take_i64(obj, "last_seen", &e->last_seen);
    qv_json_take_i64(obj, "last_challenge_at", &e->last_challenge_at);
    qv_json_take_i32(obj, "count", &e->count);
}

int qv_ntfy_pending_load(qv_ntfy_pending_entry **table, int *count) {
    if (!table || !count)
        return -1;
    *count = 0;
    *table = static_cast<qv_ntfy_pending_entry *>(calloc(QV_PENDING_MAX, sizeof **table));
    if (!*table)
        return -1;
    yyjson_doc *doc = nullptr;
    if (load_array(PENDING_FILE, &doc) != 0)
        return 0;
    yyjson_val *root = yyjson_doc_get_root(doc);
    size_t idx, max;
    yyjson_val *el;
    if (yyjson_is_arr(root)) {
        yyjson_arr_foreach(root, idx, max, el) {
            if (!is_entry_element(el))
                continue;
            read_entry(el, &(*table)[*count]);
            if (++*count == QV_PENDING_MAX)
                break;
        }
    }
    yyjson_doc_free(doc);
    return 0;
}

// Member order is part of the file format; the strings are referenced, not copied, because
// the table outlives the document.
static bool add_entry(yyjson_mut_doc *doc, yyjson_mut_val *arr, const qv_ntfy_pending_entry *e) {
    yyjson_mut_val *obj = yyjson_mut_arr_add_obj(doc, arr);
    return obj && qv_json_add_text(doc, obj, "key", e->key, sizeof e->key) &&
           qv_json_add_text(doc, obj, "label", e->label, sizeof e->label) &&
           qv_json_add_text(doc, obj, "code", e->code, sizeof e->code) &&
           qv_json_add_text(doc, obj, "sample", e->sample, sizeof e->sample) &&
           yyjson_mut_obj_add_sint(doc, obj, "first_seen", e->first_seen) &&
           yyjson_mut_obj_add_sint(doc, obj, "last_seen", e->last_seen) &&
           yyjson_mut_obj_add_sint(doc, obj, "last_challenge_at", e->last_challenge_at) &&
           yyjson_mut_obj_add_sint(doc, obj, "count", e->count);
}

int qv_ntfy_pending_save(const qv_ntfy_pending_entry *table, int count) {
    if (count < 0 || count > QV_PENDING_MAX || (count > 0 && !table))
        return -1;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = doc ? yyjson_mut_arr(doc) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc, root);
        for (int i = 0; built && i < count; i++)
            built = add_entry(doc, root, &table[i]);
    }
    int rc = qv_json_save_state(PENDING_FILE, doc, built, 1);
    yyjson_mut_doc_free(doc);
    return rc;
}

static void refresh_entry(qv_ntfy_pending_entry *e, const char *label, const char *sample) {
    e->last_seen = qv_ntfy_now_epoch();
    if (e->count < INT32_MAX)
        e->count++;
    if (label && *label)
        cp_trunc(e->label, sizeof e->label, label);
    // The sample is the first thing the sender said; later messages do not replace it.
    if (sample && *sample && !e->sample[0])
        cp_trunc(e->sample, sizeof e->sample, sample);
}

qv_ntfy_pending_entry *qv_ntfy_pending_touch(qv_ntfy_pending_entry *table, int *count,
                                             const char *key, const char *label,
                                             const char *sample) {
    if (!table || !count || !key || *count < 0)
        return nullptr;
    for (int i = 0; i < *count && i < QV_PENDING_MAX; i++) {
        if (strcmp(table[i].key, key) == 0) {
            refresh_entry(&table[i], label, sample);
            return &table[i];
        }
    }
    if (*count >= QV_PENDING_MAX)
        return nullptr;
    qv_ntfy_pending_entry *e = &table[*count];
    memset(e, 0, sizeof *e);
    cp_trunc(e->key, sizeof e->key, key);
    cp_trunc(e->label, sizeof e->label, label);
    cp_trunc(e->sample, sizeof e->sample, sample);
    e->first_seen = e->last_seen = qv_ntfy_now_epoch();
    e->count = 1;
    qv_ntfy_random_code(e->code);
    ++*count;
    return e;
}

static bool code_equal_ignoring_case(const char *a, const char *b) {
    for (;; a++, b++) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'a' && ca <= 'z')
            ca = static_cast<unsigned char>(ca - 'a' + 'A');
        if (cb >= 'a' && cb <= 'z')
            cb = static_cast<unsigned char>(cb - 'a' + 'A');
        if (ca != cb)
            return false;
        if (!ca)
            return true;
    }
}

int qv_ntfy_pending_find_code(const char *code, char *key_out, size_t cap) {
    if (!code || !*code)
        return 0;
    qv_ntfy_pending_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_pending_load(&table, &count) != 0)
        return 0;
    int found = 0;
    for (int i = 0; i < count && !found; i++) {
        if (table[i].code[0] && code_equal_ignoring_case(table[i].code, code)) {
            cp_trunc(key_out, cap, table[i].key);
            found = 1;
        }
    }
    free(table);
    return found;
}

int qv_ntfy_pending_remove(const char *key) {
    qv_ntfy_pending_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_pending_load(&table, &count) != 0)
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
    int rc = kept == count ? 0 : qv_ntfy_pending_save(table, kept);
    free(table);
    return rc;
}

static void fallback_bytes(uint64_t state, unsigned char *bytes, size_t n) {
    for (size_t i = 0; i < n; i++) {
        state = state * LCG_MULTIPLIER + LCG_INCREMENT;
        bytes[i] = static_cast<unsigned char>(state >> QV_FALLBACK_BYTE_SHIFT);
    }
}

static void code_from_bytes(const unsigned char *bytes, char out[QV_PAIR_CODE_CAP]) {
    for (int i = 0; i < QV_PAIR_CODE_LEN; i++)
        out[i] = CODE_ALPHABET[bytes[i] & QV_CODE_ALPHABET_MASK];
    out[QV_PAIR_CODE_LEN] = '\0';
}

void qv_ntfy_fallback_code(uint64_t seed, char out[QV_PAIR_CODE_CAP]) {
    unsigned char bytes[QV_PAIR_CODE_LEN];
    fallback_bytes(seed, bytes, sizeof bytes);
    code_from_bytes(bytes, out);
}

void qv_ntfy_random_code(char out[QV_PAIR_CODE_CAP]) {
    unsigned char bytes[QV_PAIR_CODE_LEN];
    if (qv_plat_random_bytes(bytes, sizeof bytes) == 0) {
        code_from_bytes(bytes, out);
        return;
    }
    // Only a system without a random source gets here. The seed mixes in where the code is
    // written, so two entries of one table queued in the same second still differ.
    uint64_t seed =
        static_cast<uint64_t>(qv_ntfy_now_epoch()) ^
        (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(out)) << QV_FALLBACK_SEED_SHIFT);
    qv_ntfy_fallback_code(seed, out);
}
