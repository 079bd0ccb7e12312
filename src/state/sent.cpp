// The sent-message ledger (sent.json): ids of the messages this connector published, so the
// daemon can recognise its own messages when the ntfy server echoes them on the stream.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char SENT_FILE[] = "sent.json";

// Ids in the order they were noted, oldest first.
struct sent_list {
    char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP];
    int count;
};

// The ids the file held when this process last read it, and which version of the file that was.
struct sent_cache {
    char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP];
    int count;
    qv_state_version version; // a daemon that never published has no file for long
};

// The ids this process noted but could not write yet; the next note adds them to the file.
static sent_list g_unsaved;
// The ledger as one note rewrites it: the file's ids, then the new ones.
static sent_list g_scratch;
static sent_cache g_cache;

// The id an element stands for: a string, or the string value of an object's first "id".
static const char *element_id(yyjson_val *el, size_t *len) {
    yyjson_val *v = yyjson_is_obj(el) ? yyjson_obj_get(el, "id") : el;
    if (!yyjson_is_str(v))
        return nullptr;
    *len = yyjson_get_len(v);
    return yyjson_get_str(v);
}

int sent_load_ids(char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP]) {
    qv_json_doc doc;
    if (qv_json_load_state(SENT_FILE, &doc) != 0)
        return 0;
    int count = 0;
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    size_t idx, max;
    yyjson_val *el;
    if (yyjson_is_arr(root)) {
        yyjson_arr_foreach(root, idx, max, el) {
            size_t len = 0;
            const char *id = element_id(el, &len);
            // Ids carrying a zero byte could never match a text id; they are skipped too.
            if (!id || len >= QV_SENT_ID_CAP || strlen(id) != len)
                continue;
            memcpy(slots[count], id, len + 1);
            if (++count == QV_SENT_SLOTS)
                break;
        }
    }
    return count;
}

static bool list_holds(const char (*slots)[QV_SENT_ID_CAP], int count, const char *id) {
    for (int i = 0; i < count; i++)
        if (strcmp(slots[i], id) == 0)
            return true;
    return false;
}

// Adds the id after the others, dropping the oldest when the ledger is full; false when it
// is there already.
static bool list_add(sent_list *l, const char *id) {
    if (list_holds(l->slots, l->count, id))
        return false;
    if (l->count == QV_SENT_SLOTS) {
        memmove(l->slots[0], l->slots[1], sizeof l->slots - sizeof l->slots[0]);
        l->count--;
    }
    memcpy(l->slots[l->count++], id, strlen(id) + 1);
    return true;
}

// The ledger is written compact: it is read by programs only, and often.
static int write_list(const sent_list *l) {
    qv_json_mut_doc doc(yyjson_mut_doc_new(nullptr));
    yyjson_mut_val *arr = doc ? yyjson_mut_arr(doc.get()) : nullptr;
    bool built = arr != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc.get(), arr);
        for (int i = 0; built && i < l->count; i++)
            built = yyjson_mut_arr_add_str(doc.get(), arr, l->slots[i]);
    }
    return qv_json_save_state(SENT_FILE, doc.get(), built, 0, nullptr, 0);
}

// The daemon and the MCP server both note ids: each note re-reads the file under the state
// folder's lock and adds to what it holds, so neither overwrites the other's ids.
int qv_ntfy_sent_note(const char *id) {
    if (!id || !*id || strlen(id) >= QV_SENT_ID_CAP)
        return -1;
    // An id already in either list changes nothing there.
    (void)list_add(&g_unsaved, id);
    qv_state_lock lock;
    if (lock.take(nullptr, 0) != 0)
        return -1;
    sent_list *l = &g_scratch;
    l->count = sent_load_ids(l->slots);
    bool added = false;
    for (int i = 0; i < g_unsaved.count; i++)
        added = list_add(l, g_unsaved.slots[i]) || added;
    if (added && write_list(l) != 0)
        return -1;
    g_unsaved.count = 0;
    return 0;
}

// Reads the file afresh and compares every id it holds, whatever its length.
static int file_holds(const char *id) {
    qv_json_doc doc;
    if (qv_json_load_state(SENT_FILE, &doc) != 0)
        return 0;
    size_t id_len = strlen(id);
    yyjson_arr_iter it = yyjson_arr_iter_with(yyjson_doc_get_root(doc.get()));
    while (yyjson_val *el = yyjson_arr_iter_next(&it)) {
        size_t len = 0;
        const char *candidate = element_id(el, &len);
        if (candidate && len == id_len && memcmp(candidate, id, len) == 0)
            return 1;
    }
    return 0;
}

// The daemon asks for every message. Ids noted by other processes (the MCP server) after the
// last read are only in the file, so it is read again whenever it is another version than the
// one read last, which one stat tells; an unchanged file answers from what was read.
int qv_ntfy_sent_has(const char *id) {
    if (!id || !*id)
        return 0;
    char path[QV_PATH_CAP];
    bool missing = false;
    if (qv_ntfy_path(path, sizeof path, SENT_FILE) != 0 ||
        !qv_state_version_current(&g_cache.version, path, &missing))
        g_cache.count = missing ? 0 : sent_load_ids(g_cache.slots);
    for (int i = 0; i < g_cache.count; i++)
        if (strcmp(g_cache.slots[i], id) == 0)
            return 1;
    // An id too long for a slot is compared with every id of the file, whatever its length.
    return strlen(id) >= QV_SENT_ID_CAP ? file_holds(id) : 0;
}

void qv_ntfy_sent_reset_for_tests(void) {
    memset(&g_unsaved, 0, sizeof g_unsaved);
    memset(&g_cache, 0, sizeof g_cache);
}
