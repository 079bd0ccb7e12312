// Handling one line of the topic's stream. Default deny: only approved senders reach the
// agent; unknown ones are queued and challenged, our own notifications are recognised by
// their id, tag or prefix and dropped, and a replayed event is never handled twice.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "net.h"
#include "platform.h"
#include "state.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum {
    QV_INBOX_ERR_CAP = 300,
    QV_CHALLENGE_TITLE_CAP = 80,
    QV_CHALLENGE_TEXT_CAP = 420,
    QV_CHALLENGE_EVERY_S = 600,
    QV_PAIR_CODE_MIN = 4,
    QV_PAIR_CODE_MAX = 16,
    QV_PUBLISH_ERR_CAP = 256,
};

static const char PAIRING_TITLE[] = "QUORVANE BOT pairing";

// Joins an array of tags with commas (a comma before every string once the text is not
// empty), or takes a string as it is; cut to the capacity at a character boundary.
static void join_tags(yyjson_val *tags, char *out, size_t cap) {
    out[0] = '\0';
    if (yyjson_is_str(tags)) {
        cp_trunc(out, cap, yyjson_get_str(tags));
        return;
    }
    size_t idx, max;
    yyjson_val *tag;
    size_t len = 0;
    yyjson_arr_foreach(tags, idx, max, tag) {
        if (!yyjson_is_str(tag))
            continue;
        if (len > 0 && len + 1 < cap)
            out[len++] = ',';
        out[len] = '\0';
        len += cp_trunc(out + len, cap - len, yyjson_get_str(tag));
        if (len + 1 >= cap)
            break;
    }
}

// Reads what a shared file's description holds; members of another JSON type count as absent.
static void parse_attachment(yyjson_val *obj, qv_event_attachment *att) {
    att->size = -1;
    if (!yyjson_is_obj(obj))
        return;
    qv_json_take_text(obj, "name", att->name, sizeof att->name);
    qv_json_take_text(obj, "type", att->type, sizeof att->type);
    qv_json_take_text(obj, "url", att->url, sizeof att->url);
    qv_json_take_i64(obj, "size", &att->size);
    if (att->size < 0)
        att->size = -1;
}

[[nodiscard]] static int parse_event(const char *text, qv_stream_event *ev) {
    memset(ev, 0, sizeof *ev);
    qv_json_doc doc(yyjson_read(text, strlen(text), 0));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (!yyjson_is_obj(root))
        return -1;
    qv_json_take_text(root, "id", ev->id, sizeof ev->id);
    qv_json_take_text(root, "sequence_id", ev->sequence_id, sizeof ev->sequence_id);
    qv_json_take_text(root, "event", ev->event, sizeof ev->event);
    qv_json_take_text(root, "topic", ev->topic, sizeof ev->topic);
    qv_json_take_text(root, "title", ev->title, sizeof ev->title);
    qv_json_take_text(root, "message", ev->message, sizeof ev->message);
    qv_json_take_text(root, "user", ev->user, sizeof ev->user);
    join_tags(yyjson_obj_get(root, "tags"), ev->tags, sizeof ev->tags);
    qv_json_take_i64(root, "time", &ev->time);
    parse_attachment(yyjson_obj_get(root, "attachment"), &ev->attachment);
    return 0;
}

static bool is_own_message(const qv_daemon *d, const qv_stream_event *ev) {
    if (ev->id[0] && qv_ntfy_sent_has(ev->id))
        return true;
    if (strstr(ev->tags, "quorvane"))
        return true;
    const char *prefix = d->cfg.reply_prefix;
    return prefix[0] && strncmp(ev->message, prefix, strlen(prefix)) == 0;
}

static bool is_space(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

int pair_command_parse(const char *message, char *code, size_t cap) {
    const char *p = message;
    while (is_space(*p))
        p++;
    if (strncasecmp(p, "PAIR", 4) != 0 || !is_space(p[4]))
        return 0;
    p += 4;
    while (is_space(*p))
        p++;
    size_t n = 0;
    for (; *p && !is_space(*p); p++) {
        if (!isalnum(static_cast<unsigned char>(*p)))
            return 0; // a hyphen, or a full stop right after the code
        if (n + 1 < cap && n < QV_PAIR_CODE_READ_CAP - 1)
            code[n] = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
        n++;
    }
    while (is_space(*p))
        p++;
    if (*p == '.' && p[1] == '\0')
        p++;
    if (*p != '\0' || n < QV_PAIR_CODE_MIN || n > QV_PAIR_CODE_MAX || n + 1 > cap)
        return 0;
    code[n] = '\0';
    return 1;
}

// Publishes one of our own notices and notes its id, so its echo is dropped. With private
// topics it goes to every device topic, never to the lobby.
[[nodiscard]] static int publish_notice(qv_daemon *d, const char *message, const char *title,
                                        const char *tags, char *err, size_t cap) {
    if (d->cfg.private_topics) {
        uint32_t sent = 0;
        return daemon_publish_devices(d, message, title, 3, tags, &sent, nullptr, err, cap);
    }
    char id[QV_PUB_ID_CAP];
    if (ntfy_publish(&d->cfg, qv_ntfy_reply_topic(&d->cfg), message, title, 3, tags, id, err,
                     cap) != 0)
        return -1;
    // An id the ledger cannot keep stays remembered in this process, and the "quorvane" tag
    // marks the echo as ours either way.
    if (id[0])
        (void)qv_ntfy_sent_note(id);
    return 0;
}

// The approval list is full or cannot be written: the sender is told nothing and stays queued.
static void pairing_not_stored(qv_daemon *d, const char *key) {
    d->st.error_count++;
    qv_errf(d->st.last_error, sizeof d->st.last_error,
            "pairing: cannot store the approval (approved list full or not writable)");
    qv_ntfy_logf("pairing failed: cannot write the pairing store for %s", key);
    daemon_save_status(d);
}

// The queue just shrank; the status shows how many senders still wait.
static void note_pending_count(qv_daemon *d) {
    qv_ntfy_pending_entry *loaded = nullptr;
    int count = 0;
    int rc = qv_ntfy_pending_load(&loaded, &count);
    qv_heap<qv_ntfy_pending_entry> table(loaded);
    if (rc == 0)
        d->st.pending_count = count;
}

// What a pairing command did to the stored lists.
enum pair_outcome { PAIR_WRONG_CODE, PAIR_NOT_STORED, PAIR_STORED };

// Finds the code's request and approves its identity under one hold of the state folder's lock,
// so a request denied or approved elsewhere meanwhile is not paired again from a stale read.
static pair_outcome store_pairing(const char *code, const char *label, char *paired_key,
                                  size_t cap) {
    qv_state_lock lock;
    char err[QV_PUBLISH_ERR_CAP];
    if (lock.take(err, sizeof err) != 0) {
        qv_ntfy_logf("pairing: %s", err);
        return PAIR_NOT_STORED;
    }
    if (!qv_ntfy_pending_find_code(code, paired_key, cap))
        return PAIR_WRONG_CODE;
    // The identity queued with the code is approved, whoever presents it. Unless the approval
    // is stored, nothing is confirmed and the request stays queued for another try.
    if (qv_ntfy_approved_add(paired_key, label, QV_VIA_PAIRING_CODE) != 0)
        return PAIR_NOT_STORED;
    if (qv_ntfy_pending_remove(paired_key) != 0)
        qv_ntfy_logf("paired %s, but its request stays in pending.json (cannot write it)",
                     paired_key);
    return PAIR_STORED;
}

static void handle_pair_command(qv_daemon *d, const char *code, const char *key,
                                const char *label) {
    char paired_key[QV_SENDER_KEY_CAP] = "";
    pair_outcome outcome = store_pairing(code, label, paired_key, sizeof paired_key);
    if (outcome == PAIR_WRONG_CODE) {
        d->st.blocked_count++;
        daemon_save_status(d);
        qv_ntfy_logf("wrong pairing code from %s", key);
        return;
    }
    if (outcome == PAIR_NOT_STORED) {
        pairing_not_stored(d, paired_key[0] ? paired_key : key);
        return;
    }
    char err[QV_PUBLISH_ERR_CAP];
    // The pairing stands whether or not the confirmation reaches the topic.
    (void)publish_notice(d, "Paired. Your messages now reach the agent.", PAIRING_TITLE,
                         "white_check_mark", err, sizeof err);
    qv_ntfy_logf("paired via code: %s (%s)", paired_key, label);
    note_pending_count(d);
    d->st.last_seen_at = qv_ntfy_now_epoch();
    daemon_save_status(d);
}

static void send_challenge(qv_daemon *d, const char *code) {
    char title[QV_CHALLENGE_TITLE_CAP];
    snprintf(title, sizeof title, "%s: pairing required", PAIRING_TITLE);
    char text[QV_CHALLENGE_TEXT_CAP];
    int n = snprintf(text, sizeof text,
                     "This topic is not paired with this QUORVANE BOT node yet. To pair it, "
                     "open the ntfy plugin UI on this node and approve the request, or reply on "
                     "this same topic with exactly: PAIR %s",
                     code);
    if (n > 0 && static_cast<size_t>(n) < sizeof text)
        snprintf(text + n, sizeof text - static_cast<size_t>(n),
                 " (this challenge repeats at most once every %d minutes)",
                 QV_CHALLENGE_EVERY_S / 60);
    char err[QV_PUBLISH_ERR_CAP] = "";
    if (publish_notice(d, text, title, "lock", err, sizeof err) != 0)
        qv_ntfy_logf("challenge publish failed: %s", err);
}

// Every challenge is published from the owner's own address and spends the owner's quota on the
// server, so the whole daemon has one budget for them: a burst of QV_CHALLENGE_BURST, then one
// per QV_CHALLENGE_INTERVAL_MS (a theoretical arrival time, as a rate limiter keeps it).
// A challenge taken from it waits in the daemon's small outbox until the replies went out.
static bool challenge_budget_take(qv_daemon *d, int64_t now_ms) {
    int64_t tat = d->due.challenge_budget > now_ms ? d->due.challenge_budget : now_ms;
    if (tat - now_ms > (QV_CHALLENGE_BURST - 1) * QV_CHALLENGE_INTERVAL_MS ||
        d->challenge_count >= QV_CHALLENGE_BURST)
        return false;
    d->due.challenge_budget = tat + QV_CHALLENGE_INTERVAL_MS;
    return true;
}

void daemon_challenge_step(qv_daemon *d) {
    // A reply the server has not taken yet goes before any challenge.
    if (d->reply_failing_since != 0)
        return;
    for (int i = 0; i < d->challenge_count; i++)
        send_challenge(d, d->challenge_codes[i]);
    d->challenge_count = 0;
}

// Queues the sender (or updates its entry) under the state folder's lock and decides there
// whether a challenge is due, marking it sent; the code to challenge with, or "" for none.
static void queue_sender(qv_daemon *d, const qv_stream_event *ev, const char *key,
                         const char *label, int64_t now, char code[QV_PAIR_CODE_CAP]) {
    code[0] = '\0';
    qv_state_lock lock;
    char err[QV_PUBLISH_ERR_CAP];
    if (lock.take(err, sizeof err) != 0) {
        qv_ntfy_logf("cannot queue %s: %s", key, err);
        return;
    }
    qv_ntfy_pending_entry *loaded = nullptr;
    int count = 0;
    int rc = qv_ntfy_pending_load(&loaded, &count);
    qv_heap<qv_ntfy_pending_entry> table(loaded);
    if (rc != 0)
        return;
    qv_ntfy_pending_entry evicted;
    qv_ntfy_pending_entry *entry =
        qv_ntfy_pending_touch(table.get(), &count, key, label, ev->message, &evicted);
    if (!entry)
        return;
    if (evicted.key[0]) {
        d->st.pending_evicted_count++;
        qv_ntfy_logf("pairing queue full: dropped the request seen longest ago, %s (%s), "
                     "to record %s",
                     evicted.key, evicted.label, key);
    }
    bool due =
        entry->last_challenge_at == 0 || now - entry->last_challenge_at > QV_CHALLENGE_EVERY_S;
    // Without pairing codes a "reply with PAIR" challenge would promise what the daemon then
    // refuses; the sender waits for approval in the setup UI instead. A challenge counts as
    // sent whether or not its publish then succeeds; one the daemon's budget has no room for
    // is not marked, so the sender's next message may bring it.
    if (due && d->cfg.pairing_code_enabled && !d->cfg.private_topics) {
        if (challenge_budget_take(d, qv_now_ms())) {
            entry->last_challenge_at = now;
            cp_trunc(code, QV_PAIR_CODE_CAP, entry->code);
        } else {
            qv_ntfy_logf("no challenge for %s now: the daemon's challenge budget is spent", key);
        }
    }
    // A queue that cannot be saved loses nothing for good: the sender stays blocked and is
    // queued again with its next message.
    (void)qv_ntfy_pending_save(table.get(), count);
    d->st.pending_count = count;
}

static void handle_unknown_sender(qv_daemon *d, const qv_stream_event *ev, const char *key,
                                  const char *label) {
    char code[QV_PAIR_CODE_CAP];
    queue_sender(d, ev, key, label, qv_ntfy_now_epoch(), code);
    // Published after the lock is released and after the replies (daemon_challenge_step).
    if (code[0])
        cp_trunc(d->challenge_codes[d->challenge_count++], QV_PAIR_CODE_CAP, code);
    d->st.blocked_count++;
    d->st.last_seen_at = qv_ntfy_now_epoch();
    daemon_save_status(d);
    qv_ntfy_logf("blocked unapproved sender %s (%s)", key, label);
}

// False when the message could be neither posted nor queued (the caller holds the stream);
// true when it was posted, queued, or refused for good.
[[nodiscard]] static bool forward(qv_daemon *d, const qv_stream_event *ev,
                                  const qv_inq_sender *from, const char *device_label) {
    const char *key = from->key;
    char *text = d->inbox_text;
    frame_message(ev, device_label, text, sizeof d->inbox_text);
    // While messages wait for the node a new one goes behind them: the agent sees them in order.
    bool queue = daemon_queue_ready(d);
    if (queue && d->queue.count > 0)
        return daemon_queue_add(d, text, from, nullptr);
    char err[QV_INBOX_ERR_CAP] = "";
    qv_inbox_result result = daemon_post_inbox(d, text, err, sizeof err);
    if (result == QV_INBOX_RETRY && queue)
        return daemon_queue_add(d, text, from, err);
    if (result == QV_INBOX_RETRY) {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error,
                "inbox: %s; the queue is not usable: the stream waits until it can", err);
        qv_ntfy_logf("inbox message from %s neither posted nor queued: %s", key, err);
        daemon_save_status(d);
        return false;
    }
    if (result == QV_INBOX_DELIVERED) {
        d->st.inbound_count++;
        d->st.last_inbound_at = qv_ntfy_now_epoch();
        qv_ntfy_logf("inbound -> /inbox (%zu bytes) from %s", strlen(text), key);
    } else {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error, "inbox: %s", err);
        qv_ntfy_logf("inbox post failed: %s", err);
    }
    daemon_save_status(d);
    return true;
}

// 1 when the sender is approved (its sighting noted, for approved.json now and then), else 0.
static int sender_approved(qv_daemon *d, const char *key) {
    if (!qv_ntfy_approved_has(key))
        return 0;
    int64_t now = qv_ntfy_now_epoch();
    if (!qv_ntfy_sightings_note(&d->sightings, key, now)) {
        // More senders than the table holds within a second: the ones so far are written first.
        daemon_view_flush(d, true);
        if (!qv_ntfy_sightings_note(&d->sightings, key, now))
            qv_ntfy_logf("sighting of %s not recorded (approved.json not writable)", key);
    }
    daemon_view_touch(d);
    return 1;
}

// A message on a device's own topic is that device's, whatever its tags or title claim, and is
// framed with the device's label; one that comes before the daemon noticed a revocation is
// dropped here.
// False as forward() says.
[[nodiscard]] static bool forward_device(qv_daemon *d, const qv_stream_event *ev,
                                         const qv_device *device) {
    if (!d->cfg.allow_all && sender_approved(d, device->key) != 1) {
        d->st.blocked_count++;
        daemon_save_status(d);
        qv_ntfy_logf("blocked a message on the topic of a revoked device (%s)", device->key);
        return true;
    }
    qv_inq_sender from = {};
    cp_trunc(from.key, sizeof from.key, device->key);
    cp_trunc(from.topic, sizeof from.topic, device->topic);
    return forward(d, ev, &from, device->label);
}

// Neither posted nor queued: nothing moves past it. The stream is read again from the stored
// position later, and the server hands this message out once more.
static void hold_message(qv_daemon *d, const qv_stream_event *ev, int64_t position_before) {
    recent_ids_forget(&d->recent, ev->id);
    d->event_fresh = false;
    d->st.last_message_time = position_before;
    d->held = true;
}

void daemon_handle_line(qv_daemon *d, const char *line) {
    d->event_fresh = false;
    while (is_space(*line))
        line++;
    if (*line != '{')
        return;
    qv_stream_event *ev = &d->ev;
    if (parse_event(line, ev) != 0 || !ev->event[0])
        return;
    // Whether a message was handled is decided by its id alone: the server's clock may stand
    // behind the stored position (stepped back, corrected), and its time says nothing then.
    if (recent_ids_seen(&d->recent, ev->id)) {
        if (strcmp(ev->event, "message") == 0)
            qv_ntfy_logf("message %s dropped: handled before", ev->id);
        return;
    }
    d->event_fresh = true;
    d->st.last_seen_at = qv_ntfy_now_epoch();
    const int64_t position_before = d->st.last_message_time;
    if (ev->time > d->st.last_message_time)
        d->st.last_message_time = ev->time;
    // Only "message" carries text for the agent: ntfy 2.16+ also sends message_delete and
    // message_clear, which concern a notification's display and have nothing to forward.
    if (strcmp(ev->event, "message") != 0 || !ev->message[0])
        return;
    cp_trunc(d->st.last_event, sizeof d->st.last_event, ev->event);
    // Counters are saved at once, so the setup page never shows a count that lags behind.
    // Counted apart from "blocked", which means outsiders held at the gate.
    if (is_own_message(d, ev)) {
        d->st.own_echo_count++;
        daemon_save_status(d);
        return;
    }
    const char *topic = ev->topic[0] ? ev->topic : d->cfg.topic;
    if (const qv_device *device = daemon_device_of_topic(d, topic)) {
        if (!forward_device(d, ev, device))
            hold_message(d, ev, position_before);
        return;
    }
    if (strcmp(topic, d->cfg.topic) != 0)
        return;
    char key[QV_SENDER_KEY_CAP], label[QV_SENDER_LABEL_CAP];
    identity_of(topic, ev->user, ev->tags, key);
    identity_label(ev->user, ev->tags, topic, label);
    // With private topics the lobby carries pairing requests only, approved on the page.
    if (d->cfg.private_topics) {
        handle_unknown_sender(d, ev, key, label);
        return;
    }
    char code[QV_PAIR_CODE_READ_CAP];
    if (d->cfg.pairing_code_enabled && pair_command_parse(ev->message, code, sizeof code)) {
        handle_pair_command(d, code, key, label);
        return;
    }
    // One read answers both "approved?" and records the sighting.
    if (!d->cfg.allow_all && sender_approved(d, key) != 1) {
        handle_unknown_sender(d, ev, key, label);
        return;
    }
    qv_inq_sender from = {};
    cp_trunc(from.key, sizeof from.key, key);
    if (!forward(d, ev, &from, nullptr))
        hold_message(d, ev, position_before);
}
