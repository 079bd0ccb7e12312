// The inbound queue: one file per message in the private folder "inbox-queue" of the state
// folder, named by a zero-padded sequence number that only grows (the next one follows the
// highest found at start), so the names sort in arrival order. Adding a message writes only its
// own file (a private temporary renamed into place) and taking one deletes only its file: each
// costs one message's bytes however long the queue is, and each change is in place before the
// caller goes on, so a kill loses none of them; and each is flushed (the file's data before its
// rename, the folder after the rename or the delete), so a power loss neither loses a message
// whose stream position has moved on nor brings back more than the one being handed over. A file
// that holds no message (empty, a NUL byte, too long) is moved aside into "bad" for a person to
// look at, never posted and never deleted. Only the daemon, which runs once per state folder,
// touches the folder, so no lock is taken.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char QUEUE_DIR[] = "inbox-queue";
// A file opens with this, the sender's key, a blank, its topic and a line feed, then the text.
// Files written before senders were kept hold the text alone (framed text never starts with a
// control byte).
static const char SENDER_MARK[] = "\x01sender ";
enum { QV_INQ_HEAD_CAP = sizeof SENDER_MARK + QV_INQ_KEY_CAP + QV_INQ_TOPIC_CAP + 2 };
static const char BAD_DIR[] = "bad";

static qv_inq_entry *slot(qv_inqueue *q, int i) {
    return &q->slots[(q->head + i) % QV_INQ_MAX_MESSAGES];
}

static void seq_path(const qv_inqueue *q, uint64_t seq, char *out, size_t cap) {
    snprintf(out, cap, "%s%c%0*" PRIu64, q->dir, QV_DIR_SEP, static_cast<int>(QV_INQ_SEQ_DIGITS),
             seq);
}

// The sequence number a message's file name holds; false for any other name.
static bool parse_seq(const char *name, uint64_t *seq) {
    if (strlen(name) != QV_INQ_SEQ_DIGITS)
        return false;
    uint64_t v = 0;
    for (const char *p = name; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *seq = v;
    return true;
}

static void drop_oldest(qv_inqueue *q, int64_t *dropped) {
    // A file that cannot be deleted is forgotten all the same: the bound holds in memory.
    (void)qv_inq_pop(q);
    if (dropped)
        ++*dropped;
}

static int compare_seq(const void *a, const void *b) {
    uint64_t x = *static_cast<const uint64_t *>(a), y = *static_cast<const uint64_t *>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

// The sequence numbers of the messages the folder holds, sorted; temporaries are removed.
static int scan(const qv_inqueue *q, uint64_t *seqs, char *err, size_t cap) {
    qv_heap<char> names(static_cast<char *>(calloc(QV_INQ_SCAN_MAX, QV_INQ_NAME_CAP)));
    if (!names) {
        qv_errf(err, cap, "out of memory reading the inbox queue");
        return -1;
    }
    int n = qv_plat_list_dir(q->dir, names.get(), QV_INQ_NAME_CAP, QV_INQ_SCAN_MAX);
    if (n < 0) {
        qv_errf(err, cap, "cannot read the inbox queue folder %s", q->dir);
        return -1;
    }
    int found = 0;
    for (int i = 0; i < n; i++) {
        const char *name = names.get() + static_cast<size_t>(i) * QV_INQ_NAME_CAP;
        if (parse_seq(name, &seqs[found])) {
            found++;
        } else if (strstr(name, ".tmp.")) {
            char path[QV_TMP_PATH_CAP];
            snprintf(path, sizeof path, "%s%c%s", q->dir, QV_DIR_SEP, name);
            remove(path);
        }
    }
    qsort(seqs, static_cast<size_t>(found), sizeof *seqs, compare_seq);
    return found;
}

int qv_inq_open(qv_inqueue *q, int64_t *dropped, char *err, size_t cap) {
    memset(q, 0, sizeof *q);
    if (qv_ntfy_path(q->dir, sizeof q->dir, QUEUE_DIR) != 0) {
        (void)qv_ntfy_dir_problem(err, cap); // the reason is all the caller needs
        return -1;
    }
    (void)qv_plat_mkdir_private(q->dir); // an existing folder is the normal case
    if (qv_plat_dir_check_private(q->dir, 0, err, cap) != QV_PLAT_DIR_PRIVATE) {
        qv_errf(err, cap, "the inbox queue folder %s is not a private folder", q->dir);
        return -1;
    }
    qv_heap<uint64_t> seqs(static_cast<uint64_t *>(calloc(QV_INQ_SCAN_MAX, sizeof(uint64_t))));
    int found = seqs ? scan(q, seqs.get(), err, cap) : -1;
    if (found < 0)
        return -1;
    q->opened = 1;
    q->next_seq = found > 0 ? seqs.get()[found - 1] + 1 : 1;
    for (int i = 0; i < found; i++) {
        char path[QV_TMP_PATH_CAP];
        seq_path(q, seqs.get()[i], path, sizeof path);
        int64_t size = qv_state_file_size(path);
        if (size < 0)
            continue; // not a plain file: never a message of ours
        if (q->count == QV_INQ_MAX_MESSAGES)
            drop_oldest(q, dropped);
        *slot(q, q->count) = {seqs.get()[i], size};
        q->count++;
        q->bytes += size;
    }
    while (q->count > 0 && q->bytes > QV_INQ_MAX_BYTES)
        drop_oldest(q, dropped);
    return 0;
}

// The sender head of a file; "" when there is no sender to keep.
static size_t sender_head(const qv_inq_sender *from, char *out, size_t cap) {
    out[0] = '\0';
    if (!from || !from->key[0] || strpbrk(from->key, " \n") || strchr(from->topic, '\n'))
        return 0;
    int n = snprintf(out, cap, "%s%s %s\n", SENDER_MARK, from->key, from->topic);
    return n > 0 && static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : 0;
}

// Splits a file's content into its sender (empty for an old file) and where the text starts.
static const char *read_sender_head(const char *content, qv_inq_sender *from) {
    memset(from, 0, sizeof *from);
    size_t mark = strlen(SENDER_MARK);
    if (strncmp(content, SENDER_MARK, mark) != 0)
        return content;
    const char *key = content + mark;
    const char *blank = strchr(key, ' ');
    const char *end = blank ? strchr(blank, '\n') : nullptr;
    if (!end || static_cast<size_t>(blank - key) >= sizeof from->key ||
        static_cast<size_t>(end - blank - 1) >= sizeof from->topic)
        return nullptr;
    memcpy(from->key, key, static_cast<size_t>(blank - key));
    memcpy(from->topic, blank + 1, static_cast<size_t>(end - blank - 1));
    return end + 1;
}

int qv_inq_push(qv_inqueue *q, const qv_inq_sender *from, const char *text, size_t len,
                int64_t *dropped, char *err, size_t cap) {
    char head[QV_INQ_HEAD_CAP];
    size_t head_len = sender_head(from, head, sizeof head);
    if (!q->opened || static_cast<int64_t>(head_len + len) > QV_INQ_MAX_BYTES) {
        qv_errf(err, cap, q->opened ? "message too large for the inbox queue"
                                    : "the inbox queue is not open");
        return -1;
    }
    qv_heap<char> content(static_cast<char *>(malloc(head_len + len + 1)));
    if (!content) {
        qv_errf(err, cap, "out of memory queueing a message");
        return -1;
    }
    memcpy(content.get(), head, head_len);
    memcpy(content.get() + head_len, text, len);
    char path[QV_TMP_PATH_CAP];
    seq_path(q, q->next_seq, path, sizeof path);
    char why[QV_PLAT_ERROR_TEXT_CAP];
    if (qv_ntfy_write_file_durable(path, content.get(), head_len + len, why, sizeof why) != 0) {
        qv_errf(err, cap, "cannot write the inbox queue file %s: %s", path, why);
        return -1;
    }
    // Room is made only once the new message is safe, so a failed write drops nothing.
    int64_t size = static_cast<int64_t>(head_len + len);
    while (q->count > 0 && (q->count >= QV_INQ_MAX_MESSAGES || q->bytes + size > QV_INQ_MAX_BYTES))
        drop_oldest(q, dropped);
    *slot(q, q->count) = {q->next_seq++, size};
    q->count++;
    q->bytes += size;
    return 0;
}

int qv_inq_front(const qv_inqueue *q, char *out, size_t cap, qv_inq_sender *from,
                 uint64_t *seq) {
    memset(from, 0, sizeof *from);
    if (cap > 0)
        out[0] = '\0';
    if (!q->opened || q->count == 0 || cap == 0)
        return QV_INQ_UNREADABLE;
    const qv_inq_entry &e = q->slots[q->head];
    *seq = e.seq;
    char path[QV_TMP_PATH_CAP];
    seq_path(q, e.seq, path, sizeof path);
    char *raw = nullptr;
    size_t len = 0;
    int rc = qv_ntfy_read_file(path, &raw, &len);
    qv_heap<char> text(raw);
    if (rc != 0 || !text)
        return qv_plat_path_missing(path) ? QV_INQ_GONE : QV_INQ_UNREADABLE;
    if (len == 0 || strlen(text.get()) != len)
        return QV_INQ_BAD;
    const char *body = read_sender_head(text.get(), from);
    if (!body || !*body || strlen(body) >= cap)
        return QV_INQ_BAD;
    memcpy(out, body, strlen(body) + 1);
    return 0;
}

// Forgets the oldest message in memory; its file is the caller's.
static void forget_oldest(qv_inqueue *q) {
    const qv_inq_entry e = q->slots[q->head];
    q->head = (q->head + 1) % QV_INQ_MAX_MESSAGES;
    q->count--;
    q->bytes -= e.size;
}

int qv_inq_pop(qv_inqueue *q) {
    if (!q->opened || q->count == 0)
        return -1;
    char path[QV_TMP_PATH_CAP];
    seq_path(q, q->slots[q->head].seq, path, sizeof path);
    // A delete that a power loss undoes hands the message over again: the folder is flushed.
    int rc = remove(path) == 0 && qv_ntfy_flush_parent(path) == 0 ? 0 : -1;
    forget_oldest(q);
    return rc;
}

int qv_inq_set_aside(qv_inqueue *q, char *moved_to, size_t cap) {
    if (cap > 0)
        moved_to[0] = '\0';
    if (!q->opened || q->count == 0)
        return -1;
    char path[QV_TMP_PATH_CAP], bad[QV_TMP_PATH_CAP], target[size_t{QV_TMP_PATH_CAP} + QV_INQ_NAME_CAP];
    uint64_t seq = q->slots[q->head].seq;
    seq_path(q, seq, path, sizeof path);
    snprintf(bad, sizeof bad, "%s%c%s", q->dir, QV_DIR_SEP, BAD_DIR);
    (void)qv_plat_mkdir_private(bad); // an existing folder is the normal case
    snprintf(target, sizeof target, "%s%c%0*" PRIu64, bad, QV_DIR_SEP,
             static_cast<int>(QV_INQ_SEQ_DIGITS), seq);
    // Flushed in the order a power loss needs: the new name first, then the old one's removal.
    if (qv_plat_dir_check_private(bad, 0, nullptr, 0) != QV_PLAT_DIR_PRIVATE ||
        qv_plat_replace_file(path, target) != 0 || qv_plat_dir_flush(bad) != 0 ||
        qv_plat_dir_flush(q->dir) != 0)
        return -1;
    cp_trunc(moved_to, cap, target);
    forget_oldest(q);
    return 0;
}
