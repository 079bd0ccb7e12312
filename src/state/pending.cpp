// The pairing queue (pending.json): senders that are not approved yet, each holding a short
// random code that pairs it when published on the topic, and the code generator itself.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

// Upper-case letters without I and O, digits without 0 and 1: nothing a person can misread.
static const char CODE_ALPHABET[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
enum { QV_CODE_ALPHABET_MASK = 31, QV_FALLBACK_SEED_SHIFT = 17, QV_FALLBACK_BYTE_SHIFT = 33 };
static const uint64_t LCG_MULTIPLIER = 6364136223846793005ULL;
static const uint64_t LCG_INCREMENT = 1442695040888963407ULL;

// In file order; the key comes first, as every list store wants.
static const qv_field PENDING_FIELDS[] = {
    QV_TEXT_FIELD(qv_ntfy_pending_entry, key),
    QV_TEXT_FIELD(qv_ntfy_pending_entry, label),
    QV_TEXT_FIELD(qv_ntfy_pending_entry, code),
    QV_TEXT_FIELD(qv_ntfy_pending_entry, sample),
    QV_I64_FIELD(qv_ntfy_pending_entry, first_seen),
    QV_I64_FIELD(qv_ntfy_pending_entry, last_seen),
    QV_I64_FIELD(qv_ntfy_pending_entry, last_challenge_at),
    QV_I32_FIELD(qv_ntfy_pending_entry, count),
};
const qv_list_store QV_PENDING_LIST = {"pending.json", PENDING_FIELDS,
                                       sizeof(qv_ntfy_pending_entry), QV_PENDING_MAX};

int qv_ntfy_pending_load(qv_ntfy_pending_entry **table, int *count) {
    return qv_list_load_as(&QV_PENDING_LIST, table, count);
}

int qv_ntfy_pending_save(const qv_ntfy_pending_entry *table, int count) {
    return qv_list_save(&QV_PENDING_LIST, table, count);
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
                                             const char *sample, qv_ntfy_pending_entry *evicted) {
    if (evicted)
        evicted->key[0] = '\0';
    if (!table || !count || !key || *count < 0)
        return nullptr;
    int at = qv_list_find(&QV_PENDING_LIST, table,
                          *count < QV_PENDING_MAX ? *count : QV_PENDING_MAX, key);
    if (at >= 0) {
        refresh_entry(&table[at], label, sample);
        return &table[at];
    }
    if (*count >= QV_PENDING_MAX) {
        // Full: the request seen longest ago makes room, so outsiders who fill the queue
        // cannot keep a new sender out; the owner still sees the latest requests.
        if (!evicted)
            return nullptr;
        int oldest = 0;
        for (int i = 1; i < QV_PENDING_MAX; i++)
            if (table[i].last_seen < table[oldest].last_seen)
                oldest = i;
        *evicted = table[oldest];
        memmove(&table[oldest], &table[oldest + 1],
                sizeof *table * static_cast<size_t>(QV_PENDING_MAX - 1 - oldest));
        --*count;
    }
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
    qv_heap<qv_ntfy_pending_entry> held(table);
    for (int i = 0; i < count; i++) {
        if (table[i].code[0] && code_equal_ignoring_case(table[i].code, code)) {
            cp_trunc(key_out, cap, table[i].key);
            return 1;
        }
    }
    return 0;
}

int qv_ntfy_pending_remove(const char *key) {
    return qv_list_remove(&QV_PENDING_LIST, key);
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
