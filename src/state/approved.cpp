// The approved senders (approved.json): the allowlist of sender identities whose messages
// reach the agent, with when and how each was approved and how often it was seen since.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// In file order; the key comes first, as every list store wants.
static const qv_field APPROVED_FIELDS[] = {
    QV_TEXT_FIELD(qv_ntfy_approved_entry, key),
    QV_TEXT_FIELD(qv_ntfy_approved_entry, label),
    QV_I64_FIELD(qv_ntfy_approved_entry, added_at),
    QV_I64_FIELD(qv_ntfy_approved_entry, last_seen),
    QV_I32_FIELD(qv_ntfy_approved_entry, count),
    // The stored value stays as it is, even one no approval path writes.
    QV_I32_FIELD(qv_ntfy_approved_entry, via),
    // Last: lists written before device topics read as they were, without one.
    QV_TEXT_FIELD(qv_ntfy_approved_entry, topic),
};
const qv_list_store QV_APPROVED_LIST = {"approved.json", APPROVED_FIELDS,
                                        sizeof(qv_ntfy_approved_entry), QV_APPROVED_MAX};

int qv_ntfy_approved_load(qv_ntfy_approved_entry **table, int *count) {
    return qv_list_load_as(&QV_APPROVED_LIST, table, count);
}

int qv_ntfy_approved_save(const qv_ntfy_approved_entry *table, int count) {
    return qv_list_save(&QV_APPROVED_LIST, table, count);
}

// The daemon asks this for every message. The list is read again only when the file is another
// one than last time (a save renames a new file into place) or was written since, which one
// stat tells; a revocation saved by the setup page is seen at the next message all the same.
struct approved_cache {
    qv_state_version version;
    qv_ntfy_approved_entry *table; // null when there is no file: nobody is approved
    int count;
};
static thread_local approved_cache g_cache = {};

int qv_ntfy_approved_has(const char *key) {
    if (!key || !*key)
        return 0;
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, QV_APPROVED_LIST.file) != 0)
        return qv_list_has(&QV_APPROVED_LIST, key);
    approved_cache *c = &g_cache;
    bool missing = false;
    if (!qv_state_version_current(&c->version, path, &missing)) {
        free(c->table);
        c->table = nullptr;
        c->count = 0;
        if (!missing && qv_ntfy_approved_load(&c->table, &c->count) != 0) {
            // Read again at the next call.
            c->table = nullptr;
            c->count = 0;
            c->version.known = false;
            return qv_list_has(&QV_APPROVED_LIST, key);
        }
    }
    if (!c->table)
        return 0;
    // Keys are compared as the loader cut them, as qv_list_has compares them.
    char kept[QV_SENDER_KEY_CAP];
    cp_trunc(kept, sizeof kept, key);
    if (strcmp(kept, key) != 0)
        return 0;
    return qv_list_find(&QV_APPROVED_LIST, c->table, c->count, key) >= 0 ? 1 : 0;
}

// Re-approving keeps the history (added_at, last_seen, count) of the entry.
static void reapprove(qv_ntfy_approved_entry *e, const char *label, int via) {
    if (label && *label)
        cp_trunc(e->label, sizeof e->label, label);
    e->via = via;
}

static void approve_new(qv_ntfy_approved_entry *e, const char *key, const char *label, int via) {
    memset(e, 0, sizeof *e);
    cp_trunc(e->key, sizeof e->key, key);
    cp_trunc(e->label, sizeof e->label, label);
    e->added_at = e->last_seen = qv_ntfy_now_epoch();
    e->via = via;
}

int qv_ntfy_approved_add(const char *key, const char *label, int via) {
    qv_state_lock lock;
    if (!key || lock.take(nullptr, 0) != 0)
        return -1;
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    qv_heap<qv_ntfy_approved_entry> held(table);
    int at = qv_list_find(&QV_APPROVED_LIST, table, count, key);
    if (at >= 0) {
        reapprove(&table[at], label, via);
        return qv_ntfy_approved_save(table, count);
    }
    if (count >= QV_APPROVED_MAX)
        return -1;
    approve_new(&table[count], key, label, via);
    return qv_ntfy_approved_save(table, count + 1);
}

// Letters ntfy takes in a topic name; a random byte picks one by its low six bits, evenly.
static const char TOPIC_ALPHABET[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int qv_ntfy_device_topic_new(const char *lobby, char out[QV_DEVICE_TOPIC_CAP]) {
    unsigned char bytes[QV_DEVICE_RANDOM_LEN];
    // Never the fallback generator: the topic is the device's only secret.
    if (qv_plat_random_bytes(bytes, sizeof bytes) != 0)
        return -1;
    size_t keep = strlen(lobby);
    if (keep > QV_DEVICE_TOPIC_MAX - 1 - QV_DEVICE_RANDOM_LEN)
        keep = QV_DEVICE_TOPIC_MAX - 1 - QV_DEVICE_RANDOM_LEN;
    memcpy(out, lobby, keep);
    out[keep] = '-';
    for (size_t i = 0; i < QV_DEVICE_RANDOM_LEN; i++)
        out[keep + 1 + i] = TOPIC_ALPHABET[bytes[i] & 63];
    out[keep + 1 + QV_DEVICE_RANDOM_LEN] = '\0';
    return 0;
}

static int device_count(const qv_ntfy_approved_entry *table, int count) {
    int n = 0;
    for (int i = 0; i < count; i++)
        n += table[i].topic[0] != '\0';
    return n;
}

int qv_ntfy_approved_add_device(const char *key, const char *label, int via, const char *lobby,
                                char topic_out[QV_DEVICE_TOPIC_CAP], char *err, size_t cap) {
    topic_out[0] = '\0';
    qv_state_lock lock;
    if (lock.take(err, cap) != 0)
        return -1;
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0) {
        qv_errf(err, cap, "out of memory reading approved.json");
        return -1;
    }
    qv_heap<qv_ntfy_approved_entry> held(table);
    int at = qv_list_find(&QV_APPROVED_LIST, table, count, key);
    if (at < 0 && count >= QV_APPROVED_MAX) {
        qv_errf(err, cap, "the approved list is full (%d entries): revoke one first", QV_APPROVED_MAX);
        return -1;
    }
    qv_ntfy_approved_entry *e = at >= 0 ? &table[at] : &table[count];
    if (at >= 0)
        reapprove(e, label, via);
    else
        approve_new(e, key, label, via);
    if (!e->topic[0]) {
        if (device_count(table, at >= 0 ? count : count + 1) >= QV_DEVICE_TOPICS_MAX) {
            qv_errf(err, cap,
                    "%d devices already have a topic, the most one subscription names: revoke "
                    "a device first",
                    QV_DEVICE_TOPICS_MAX);
            return -1;
        }
        if (qv_ntfy_device_topic_new(lobby, e->topic) != 0) {
            qv_errf(err, cap, "no random source for a device topic");
            return -1;
        }
    }
    if (qv_ntfy_approved_save(table, at >= 0 ? count : count + 1) != 0) {
        qv_errf(err, cap, "cannot write the pairing store");
        return -1;
    }
    cp_trunc(topic_out, QV_DEVICE_TOPIC_CAP, e->topic);
    return 0;
}

int qv_ntfy_approved_remove(const char *key) {
    return qv_list_remove(&QV_APPROVED_LIST, key);
}

bool qv_ntfy_sightings_note(qv_ntfy_sightings *s, const char *key, int64_t now) {
    for (int i = 0; i < s->used; i++) {
        qv_ntfy_sighting *e = &s->seen[i];
        if (strcmp(e->key, key) != 0)
            continue;
        if (e->count < INT32_MAX)
            e->count++;
        e->last_seen = now;
        return true;
    }
    if (s->used == QV_SIGHTINGS_MAX)
        return false;
    qv_ntfy_sighting *e = &s->seen[s->used++];
    cp_trunc(e->key, sizeof e->key, key);
    e->count = 1;
    e->last_seen = now;
    return true;
}

// The list is read afresh under the lock: a copy read before a revocation and written back
// after it would bring the revoked sender back.
int qv_ntfy_approved_add_sightings(qv_ntfy_sightings *s) {
    if (s->used == 0)
        return 0;
    qv_state_lock lock;
    if (lock.take(nullptr, 0) != 0)
        return -1;
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    qv_heap<qv_ntfy_approved_entry> held(table);
    bool changed = false;
    for (int i = 0; i < s->used; i++) {
        int at = qv_list_find(&QV_APPROVED_LIST, table, count, s->seen[i].key);
        if (at < 0)
            continue;
        qv_ntfy_approved_entry *e = &table[at];
        e->last_seen = s->seen[i].last_seen;
        // A count read from a file may already be near the top of its range; it stays there.
        int64_t sum = int64_t{e->count} + s->seen[i].count;
        e->count = sum > INT32_MAX ? INT32_MAX : static_cast<int32_t>(sum);
        changed = true;
    }
    if (changed && qv_ntfy_approved_save(table, count) != 0)
        return -1;
    s->used = 0;
    return 0;
}
