// Messages for the node that it could not take yet: a post that failed for a reason that can
// pass (the node restarting, a time-out, 429, 5xx) keeps its message in the inbound queue on disk
// (state/inqueue.cpp), and the stream loop hands the queue over between its reads, oldest first,
// trying again after 1 s, then 2 s, doubling up to a minute. Each message's first failure is
// counted as an error, not every retry, so a long outage does not run the counter away.
#include "daemon_internal.h"

#include "base.h"
#include "platform.h"
#include "state.h"

#include <cinttypes>
#include <cstring>

enum {
    QV_QUEUE_ERR_CAP = 1300, // a reason may name a path in the state folder
};
enum : int64_t { QV_QUEUE_RETRY_MIN_MS = 1000, QV_QUEUE_RETRY_MAX_MS = 60000 };

// Counts messages the full queue let go of; the log names the total so far.
static void note_dropped(qv_daemon *d, int64_t dropped) {
    if (dropped <= 0)
        return;
    d->st.queue_dropped_count += dropped;
    qv_ntfy_logf("inbox queue full: dropped the oldest message (%" PRId64 " dropped so far)",
                 d->st.queue_dropped_count);
}

// The oldest waiting message is tried at `at`; with none waiting nothing is scheduled.
static void retry_at(qv_daemon *d, int64_t at) {
    d->due.queue_retry = d->queue.count > 0 ? at : 0;
}

bool daemon_queue_ready(qv_daemon *d) {
    if (d->queue.opened)
        return true;
    int64_t dropped = 0;
    char err[QV_QUEUE_ERR_CAP] = "";
    if (qv_inq_open(&d->queue, &dropped, err, sizeof err) != 0) {
        // Then a post that fails is reported and the message lost, as without a queue.
        if (!d->queue_unusable)
            qv_ntfy_logf("inbox queue not usable: %s", err);
        d->queue_unusable = 1;
        return false;
    }
    d->queue_unusable = 0;
    note_dropped(d, dropped);
    d->st.queued_count = d->queue.count;
    retry_at(d, qv_now_ms()); // what waits from before is handed over at once
    return true;
}

static int64_t retry_seconds(const qv_daemon *d) {
    return d->queue_backoff_ms / 1000;
}

// The oldest message failed again; it is tried again after a longer wait.
static void back_off(qv_daemon *d, uint64_t seq, const char *err) {
    d->queue_backoff_ms =
        daemon_backoff_next(d->queue_backoff_ms, QV_QUEUE_RETRY_MIN_MS, QV_QUEUE_RETRY_MAX_MS);
    retry_at(d, qv_now_ms() + d->queue_backoff_ms);
    if (seq != d->queue_failed_seq) {
        d->st.error_count++;
        d->queue_failed_seq = seq;
    }
    qv_errf(d->st.last_error, sizeof d->st.last_error, "inbox: %s", err);
    qv_ntfy_logf("inbox post failed: %s (queued, %d waiting, retry in %" PRId64 "s)", err,
                 d->queue.count, retry_seconds(d));
}

bool daemon_queue_add(qv_daemon *d, const char *text, const qv_inq_sender *from,
                      const char *failure) {
    const char *key = from->key;
    int64_t dropped = 0;
    char err[QV_QUEUE_ERR_CAP] = "";
    if (qv_inq_push(&d->queue, from, text, strlen(text), &dropped, err, sizeof err) != 0) {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error,
                "inbox: cannot queue a message (%s): the stream waits until it can", err);
        qv_ntfy_logf("inbox message from %s neither posted nor queued: %s%s%s", key,
                     failure ? failure : "", failure ? "; " : "", err);
        daemon_save_status(d);
        return false;
    }
    note_dropped(d, dropped);
    d->st.queued_count = d->queue.count;
    if (failure) {
        // The queue was empty: this message is the oldest now, and its first failure counts.
        d->queue_backoff_ms = 0;
        back_off(d, d->queue.next_seq - 1, failure);
    } else {
        if (d->due.queue_retry == 0)
            retry_at(d, qv_now_ms());
        qv_ntfy_logf("inbound from %s queued behind the others (%d waiting)", key,
                     d->queue.count);
    }
    daemon_save_status(d);
    return true;
}

// A waiting message goes to the node only while its sender is still approved: a device revoked
// after its message was queued (a lost phone) gets nothing more through. Files from before
// senders were kept carry none; they were approved when queued and go as they did then.
static bool sender_still_admitted(qv_daemon *d, const qv_inq_sender *from, uint64_t seq) {
    if (d->cfg.allow_all)
        return true;
    if (!from->key[0]) {
        qv_ntfy_logf("queued message %" PRIu64 " names no sender (queued by an older version): "
                     "handed over unchecked",
                     seq);
        return true;
    }
    if (qv_ntfy_approved_has(from->key))
        return true;
    d->st.revoked_dropped_count++;
    qv_ntfy_logf("queued message %" PRIu64 " from %s dropped: the sender is no longer approved "
                 "(%" PRId64 " dropped so far)",
                 seq, from->key, d->st.revoked_dropped_count);
    return false;
}

// A file that holds no message is moved aside for a person to look at; one that cannot be
// moved stays first and is tried again later, like a post that failed.
static bool set_aside_oldest(qv_daemon *d, uint64_t seq) {
    char moved[QV_QUEUE_ERR_CAP] = "";
    if (qv_inq_set_aside(&d->queue, moved, sizeof moved) != 0) {
        char err[QV_QUEUE_ERR_CAP];
        qv_errf(err, sizeof err, "queued message %" PRIu64 " holds no message and cannot be moved aside",
                seq);
        back_off(d, seq, err);
        return false;
    }
    d->st.error_count++;
    qv_errf(d->st.last_error, sizeof d->st.last_error,
            "inbox: queued message %" PRIu64 " holds no message", seq);
    qv_ntfy_logf("queued message %" PRIu64 " holds no message (empty or not text): moved to %s, "
                 "not posted",
                 seq, moved);
    d->queue_backoff_ms = 0;
    retry_at(d, qv_now_ms());
    return true;
}

// Posts the oldest message. false when it stays for a later try; true when it left the queue,
// delivered, refused for good, set aside or gone.
static bool hand_over_oldest(qv_daemon *d) {
    char *text = d->inbox_text;
    uint64_t seq = 0;
    char err[QV_QUEUE_ERR_CAP] = "";
    qv_inbox_result result = QV_INBOX_REFUSED;
    qv_inq_sender from;
    bool revoked = false;
    int found = qv_inq_front(&d->queue, text, sizeof d->inbox_text, &from, &seq);
    if (found == QV_INQ_BAD)
        return set_aside_oldest(d, seq);
    // A read that failed for a reason that can pass (no file handle free) leaves the file.
    if (found == QV_INQ_UNREADABLE) {
        qv_errf(err, sizeof err, "queued message %" PRIu64 " cannot be read now", seq);
        result = QV_INBOX_RETRY;
    } else if (found == QV_INQ_GONE) {
        qv_errf(err, sizeof err, "queued message %" PRIu64 " is no longer in the queue folder",
                seq);
    } else if (!sender_still_admitted(d, &from, seq)) {
        revoked = true;
    } else {
        result = daemon_post_inbox(d, text, err, sizeof err);
    }
    if (result == QV_INBOX_RETRY) {
        back_off(d, seq, err);
        return false;
    }
    // The file goes only after the node took the message: a kill in between hands it over once
    // more after the restart. At most one duplicate per kill is accepted; a loss is not.
    if (qv_inq_pop(&d->queue) != 0 && found != QV_INQ_GONE)
        qv_ntfy_logf("cannot delete queued message %" PRIu64 ": it comes again after a restart",
                     seq);
    d->queue_backoff_ms = 0;
    retry_at(d, qv_now_ms());
    if (revoked)
        return true;
    if (result == QV_INBOX_DELIVERED) {
        d->st.inbound_count++;
        d->st.last_inbound_at = qv_ntfy_now_epoch();
        qv_ntfy_logf("inbound -> /inbox (%zu bytes) (from queue, %d waiting)", strlen(text),
                     d->queue.count);
    } else {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error, "inbox: %s", err);
        qv_ntfy_logf("inbox post failed: %s (not retried, removed from the queue)", err);
    }
    return true;
}

// One message per step: the stream loop comes back at once while more are due, and reads the
// stream in between, so a long queue never holds up the stream or the replies.
void daemon_queue_step(qv_daemon *d) {
    if (!schedule_due(d->due.queue_retry, qv_now_ms()) || qv_plat_stop_requested())
        return;
    if (!d->queue.opened || d->queue.count == 0) {
        d->due.queue_retry = 0;
        return;
    }
    (void)hand_over_oldest(d); // what became of it is in the status and the log
    d->st.queued_count = d->queue.count;
    daemon_save_status(d);
}

void daemon_queue_start(qv_daemon *d) {
    if (!daemon_queue_ready(d))
        return;
    if (d->queue.count > 0)
        qv_ntfy_logf("inbox queue: %d message(s) waiting from before the start", d->queue.count);
    daemon_save_status(d);
    daemon_queue_step(d);
}
