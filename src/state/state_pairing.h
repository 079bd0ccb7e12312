// The sender gate's two lists: the pairing queue (pending.cpp, pending.json) of senders not
// approved yet, each with a pairing code, and the approved senders (approved.cpp,
// approved.json). Both are bounded lists of records (state_record.h).
#pragma once

#include "state_record.h"

#include <cstddef>
#include <cstdint>

enum {
    QV_SENDER_KEY_CAP = 65,    // 64 hexadecimal digits of a sender identity
    QV_SENDER_LABEL_CAP = 160, // a readable description of a sender
    QV_PAIR_CODE_LEN = 8,
    QV_PAIR_CODE_CAP = QV_PAIR_CODE_LEN + 1,
    QV_PENDING_SAMPLE_CAP = 240,
    QV_PENDING_MAX = 64,
};

// --- pairing queue (pending.json) ---

struct qv_ntfy_pending_entry {
    char key[QV_SENDER_KEY_CAP];
    char label[QV_SENDER_LABEL_CAP];
    char code[QV_PAIR_CODE_CAP];
    int64_t first_seen;
    int64_t last_seen;
    int64_t last_challenge_at;
    int32_t count;
    char sample[QV_PENDING_SAMPLE_CAP];
};

// pending.json: its entries' members in file order, and its bound.
extern const qv_list_store QV_PENDING_LIST;

// A zeroed table with room for QV_PENDING_MAX entries (release it with free()) holding the
// queued senders; a missing or broken file is an empty queue. -1 only when out of memory.
[[nodiscard]] int qv_ntfy_pending_load(qv_ntfy_pending_entry **table, int *count);
// A caller that loaded the queue to change it holds the state folder's lock until this save.
[[nodiscard]] int qv_ntfy_pending_save(const qv_ntfy_pending_entry *table, int count);
// The entry for the key, updated (or appended with a fresh code). When the key is new and the
// queue is full, the entry seen longest ago is taken out into *evicted (its key empty when none
// was) to make room; without `evicted` the newcomer is turned away (none). Changes only the
// caller's table.
qv_ntfy_pending_entry *qv_ntfy_pending_touch(qv_ntfy_pending_entry *table, int *count,
                                             const char *key, const char *label,
                                             const char *sample, qv_ntfy_pending_entry *evicted);
// 1 with the key of the first entry holding the code (letter case ignored), else 0.
int qv_ntfy_pending_find_code(const char *code, char *key_out, size_t cap);
// 0 when no entry holds the key any more (also when none did); -1 when the save fails or the
// state folder's lock is not obtained.
[[nodiscard]] int qv_ntfy_pending_remove(const char *key);
// A new pairing code: QV_PAIR_CODE_LEN characters of the pairing alphabet and a zero byte.
void qv_ntfy_random_code(char out[QV_PAIR_CODE_CAP]);
// The code the fallback generator makes from a seed, for when the system has no random source.
void qv_ntfy_fallback_code(uint64_t seed, char out[QV_PAIR_CODE_CAP]);

// --- approved senders (approved.json) ---

enum { QV_APPROVED_MAX = 256, QV_VIA_SETUP = 0, QV_VIA_PAIRING_CODE = 1 };

enum {
    // ntfy's longest topic name, and the random part of a device topic: 22 characters of a
    // 64-letter alphabet are 132 bits.
    QV_DEVICE_TOPIC_MAX = 64,
    QV_DEVICE_TOPIC_CAP = QV_DEVICE_TOPIC_MAX + 1,
    QV_DEVICE_RANDOM_LEN = 22,
    // One subscription names the lobby and every device topic. ntfy counts it as one of the 30
    // subscriptions a visitor may hold by default, however many topics it names (measured:
    // 35 topics in one request took one); 20 device topics keep its request line well within
    // the 2,000-byte path the client sends.
    QV_DEVICE_TOPICS_MAX = 20,
};

struct qv_ntfy_approved_entry {
    char key[QV_SENDER_KEY_CAP];
    char label[QV_SENDER_LABEL_CAP];
    int64_t added_at;
    int64_t last_seen;
    int32_t count;
    int32_t via;
    // A device's own topic; empty for a sender approved on the shared topic.
    char topic[QV_DEVICE_TOPIC_CAP];
};

// approved.json: its entries' members in file order, and its bound.
extern const qv_list_store QV_APPROVED_LIST;

// A zeroed table with room for QV_APPROVED_MAX entries (release it with free()) holding the
// approved senders; a missing or broken file is an empty list. -1 only when out of memory.
[[nodiscard]] int qv_ntfy_approved_load(qv_ntfy_approved_entry **table, int *count);
[[nodiscard]] int qv_ntfy_approved_save(const qv_ntfy_approved_entry *table, int count);
// 1 when the key is approved, else 0.
int qv_ntfy_approved_has(const char *key);
// Each change below loads, changes and saves the list under the state folder's lock, and
// fails with -1 when that lock is not obtained in time.
// 0 when the key is approved and saved; -1 when the list is full or cannot be saved.
[[nodiscard]] int qv_ntfy_approved_add(const char *key, const char *label, int via);
// 0 when no entry holds the key any more (also when none did); -1 when the save fails.
[[nodiscard]] int qv_ntfy_approved_remove(const char *key);
// Approves the key as a device with a topic of its own (one it already has is kept; otherwise
// a new one from the lobby's name, a dash and QV_DEVICE_RANDOM_LEN random characters). 0 with
// the topic in topic_out; -1 with the reason (list full, too many devices for one
// subscription, no random source, not saved).
[[nodiscard]] int qv_ntfy_approved_add_device(const char *key, const char *label, int via,
                                              const char *lobby,
                                              char topic_out[QV_DEVICE_TOPIC_CAP], char *err,
                                              size_t cap);
// A fresh device topic for the lobby: its name (cut so the whole fits ntfy's limit), a dash and
// random characters from the system's random source. 0, or -1 when there is no random source.
[[nodiscard]] int qv_ntfy_device_topic_new(const char *lobby, char out[QV_DEVICE_TOPIC_CAP]);

// Senders the daemon has seen since approved.json last heard of them: how many messages, and
// when the last one came. Only the setup page shows these, so they are gathered in memory and
// written now and then instead of at every message.
enum { QV_SIGHTINGS_MAX = 32 };
struct qv_ntfy_sighting {
    char key[QV_SENDER_KEY_CAP];
    int32_t count;
    int64_t last_seen;
};
struct qv_ntfy_sightings {
    qv_ntfy_sighting seen[QV_SIGHTINGS_MAX];
    int32_t used;
};
// Counts one message of the key, seen now. false when the table is full and the key new in it
// (write it out first, then note again).
[[nodiscard]] bool qv_ntfy_sightings_note(qv_ntfy_sightings *s, const char *key, int64_t now);
// Adds the sightings to the entries that are still approved (a revoked sender's are dropped)
// and empties the table. 0, or -1 when the list cannot be loaded or saved or the lock is not
// obtained (the table is kept for the next try).
[[nodiscard]] int qv_ntfy_approved_add_sightings(qv_ntfy_sightings *s);
