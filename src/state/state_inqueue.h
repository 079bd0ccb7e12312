// The inbound queue (inqueue.cpp, the folder "inbox-queue"): messages for the node's inbox
// that it could not take yet, kept across restarts and handed over oldest first.
#pragma once

#include "state_dir.h"

#include <cstddef>
#include <cstdint>

enum {
    QV_INQ_MAX_MESSAGES = 1000,
    QV_INQ_SEQ_DIGITS = 20, // a file's name: its sequence number, zero-padded
    QV_INQ_NAME_CAP = 64,   // room for a temporary's name beside a message's
    QV_INQ_SCAN_MAX = 4096, // names read from the folder at start
};
enum : int64_t { QV_INQ_MAX_BYTES = 8388608 };

// One message waiting: the number that names its file and how many bytes the file holds.
struct qv_inq_entry {
    uint64_t seq;
    int64_t size;
};

// Who sent a queued message, kept in its file ahead of the text so that a revocation made while
// it waits still reaches it: the sender's identity and, for a device, the topic it came on. An
// empty key means a file from before senders were kept.
enum { QV_INQ_KEY_CAP = 65, QV_INQ_TOPIC_CAP = 160 };
struct qv_inq_sender {
    char key[QV_INQ_KEY_CAP];
    char topic[QV_INQ_TOPIC_CAP];
};

// What the folder holds, kept in memory so that adding and taking a message touch only its
// own file. A ring: the oldest message at `head`.
struct qv_inqueue {
    qv_inq_entry slots[QV_INQ_MAX_MESSAGES];
    int head;
    int count;
    int64_t bytes;
    uint64_t next_seq;
    int32_t opened;
    char dir[QV_PATH_CAP];
};

// Creates the private folder when missing and reads what it holds (temporaries left by a
// process that was killed mid-write are removed). Beyond the bounds the oldest messages go,
// their number added to *dropped. 0, or -1 with the reason (the queue stays closed).
[[nodiscard]] int qv_inq_open(qv_inqueue *q, int64_t *dropped, char *err, size_t cap);
// Adds a message after the others, written through a private temporary and renamed into place
// before this returns; then the oldest go while the bounds are passed (their number added to
// *dropped). 0, or -1 with the reason (nothing added, nothing dropped).
[[nodiscard]] int qv_inq_push(qv_inqueue *q, const qv_inq_sender *from, const char *text,
                              size_t len, int64_t *dropped, char *err, size_t cap);
// What qv_inq_front found instead of a message.
enum {
    QV_INQ_UNREADABLE = -1, // the queue is empty, or the file cannot be read now: try again later
    QV_INQ_GONE = -2,       // the file is no longer there: nothing to hand over, qv_inq_pop it
    QV_INQ_BAD = -3,        // the file holds no message (empty, a NUL byte, too long): set it aside
};
// The oldest message's text (zero-terminated), its sender and its number. 0, or one of the
// results above.
[[nodiscard]] int qv_inq_front(const qv_inqueue *q, char *out, size_t cap, qv_inq_sender *from,
                               uint64_t *seq);
// Takes the oldest message away, its file deleted and the folder flushed. 0, or -1 when the file
// could not be deleted (it is forgotten here all the same and comes back at the next start).
[[nodiscard]] int qv_inq_pop(qv_inqueue *q);
// Moves the oldest message's file into the private folder "bad" of the queue (kept, never
// posted) and forgets it; the new path in moved_to. 0, or -1 when it could not be moved (it then
// stays first in the queue).
[[nodiscard]] int qv_inq_set_aside(qv_inqueue *q, char *moved_to, size_t cap);
