// The reply relay: every agent reply in the node conversation goes back to the topic, oldest
// first, marked (tag, prefix, ledger) so the daemon drops it when the server echoes it. The
// cursor moves past a reply only once it was published (or given up).
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "platform.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

enum { QV_RELAY_ERR_CAP = 300 };

// A new daemon starts after what the conversation already holds; the node may need several
// pages to say where that is.
enum { QV_SEED_MAX_PAGES = 1000 };

void daemon_seed_cursor(qv_daemon *d) {
    int64_t cursor = -1;
    for (int i = 0; i < QV_SEED_MAX_PAGES; i++) {
        if (poll_replies(&d->cfg, cursor, 0, &d->replies) != 0)
            break;
        cursor = d->replies.last;
        if (d->replies.entries < QV_NODE_PAGE)
            break;
    }
    d->st.reply_cursor = cursor < 0 ? 0 : cursor;
    d->st.last_message_time = qv_ntfy_now_epoch();
    qv_ntfy_logf("reply cursor seeded at %" PRId64, d->st.reply_cursor);
}

// An unmoved cursor is stored again after this long, so that after a stop the next start can
// tell a position that was current moments ago from one left behind long before.
enum : int64_t { QV_REPLY_STILL_CURRENT_S = 60 };

static bool reply_position_resumable(const qv_daemon *d, int64_t now) {
    const qv_ntfy_stream *s = &d->stream;
    return d->cfg.catchup_s > 0 && s->reply_at > 0 && s->reply_cursor >= 0 &&
           now - s->reply_at < d->cfg.catchup_s && strcmp(s->reply_node, d->cfg.bot_api_url) == 0 &&
           strcmp(s->reply_session, d->cfg.target_session) == 0;
}

void daemon_reply_start(qv_daemon *d, int64_t now) {
    if (reply_position_resumable(d, now)) {
        // Replies the agent wrote while no daemon ran, or that a killed one had not published
        // yet, go out as if it had run on.
        d->st.reply_cursor = d->stream.reply_cursor;
        d->st.last_message_time = now;
        qv_ntfy_logf("reply cursor resumed at %" PRId64, d->st.reply_cursor);
    } else {
        daemon_seed_cursor(d);
    }
    daemon_reply_note(d, true);
}

void daemon_reply_note(qv_daemon *d, bool force) {
    if (d->cfg.catchup_s <= 0)
        return;
    qv_ntfy_stream *s = &d->stream;
    int64_t now = qv_ntfy_now_epoch();
    bool moved = s->reply_at == 0 || s->reply_cursor != d->st.reply_cursor;
    if (!moved && !force && now - s->reply_at < QV_REPLY_STILL_CURRENT_S)
        return;
    cp_trunc(s->reply_node, sizeof s->reply_node, d->cfg.bot_api_url);
    cp_trunc(s->reply_session, sizeof s->reply_session, d->cfg.target_session);
    s->reply_cursor = d->st.reply_cursor;
    s->reply_at = now;
    // Like the message position: one that cannot be written only makes the next start seed.
    (void)qv_ntfy_stream_save(s, &d->stream_file);
}

// A full page (QV_NODE_PAGE entries) means more may wait: the step reads on (up to a bound)
// instead of falling a page behind per poll after a burst.
enum { QV_RELAY_MAX_PAGES = 20 };
// A reply that cannot be published for a reason waiting cures is tried again after 1 s, then
// 2 s, doubling up to 5 minutes (longer when the server asks for it); after an hour of that it
// is given up, so a reply that never goes out does not hold back every later one for ever.
enum : int64_t {
    QV_REPLY_GIVE_UP_S = 3600,
    QV_REPLY_RETRY_MIN_MS = 1000,
    QV_REPLY_RETRY_MAX_MS = 300000,
};
// ntfy keeps a message of up to 4,096 bytes as text; a longer one becomes an attachment, which a
// server without an attachment cache refuses. A server that refuses less as too large teaches
// a smaller limit, halving down to this.
enum : int64_t { QV_NTFY_MESSAGE_LIMIT = 4096, QV_REPLY_LIMIT_MIN = 512 };
// Room for a part's number, "(12/34) ", and the smallest text a part carries.
enum : size_t { QV_PART_MARK_CAP = 24, QV_PART_MIN_TEXT = 64 };

size_t reply_part_cut(const char *text, size_t len, size_t budget) {
    if (len <= budget)
        return len;
    static const char *const BOUNDARIES[] = {"\n\n", "\n", " "};
    for (const char *sep : BOUNDARIES) {
        size_t n = strlen(sep);
        for (size_t end = budget; end > budget / 2 && end >= n; end--)
            if (memcmp(text + end - n, sep, n) == 0)
                return end;
    }
    size_t cut = qv_utf8_cut(text, len, budget);
    return cut > 0 ? cut : budget;
}

static int parts_needed(const char *text, size_t len, size_t budget) {
    int n = 0;
    for (size_t at = 0; at < len; n++)
        at += reply_part_cut(text + at, len - at, budget);
    return n;
}

static int64_t reply_limit(const qv_daemon *d) {
    return d->reply_limit > 0 ? d->reply_limit : QV_NTFY_MESSAGE_LIMIT;
}

// Publishes one message of the relay; on success notes its id and counts it.
[[nodiscard]] static int publish_text(qv_daemon *d, const char *text, qv_pub_failure *why,
                                      char *err, size_t cap) {
    const qv_ntfy_config *c = &d->cfg;
    char id[QV_PUB_ID_CAP] = "";
    const char *title = c->title_prefix[0] ? c->title_prefix : nullptr;
    const char *tags = c->tags[0] ? c->tags : "robot";
    // With private topics every device gets the reply on its own topic, the lobby never.
    int rc = c->private_topics ? daemon_publish_devices(d, text, title, c->priority, tags,
                                                        &d->device_sent_mask, why, err, cap)
                               : ntfy_publish_sorted(c, qv_ntfy_reply_topic(c), text, title,
                                                     c->priority, tags, id, why, err, cap);
    if (rc != 0)
        return -1;
    d->reply_failing_since = 0;
    d->reply_backoff_ms = 0;
    d->due.reply_retry = 0;
    // Kept in this process if the ledger cannot be written; the tag and prefix mark the echo
    // as ours either way.
    if (id[0])
        (void)qv_ntfy_sent_note(id);
    d->st.outbound_count++;
    d->st.last_outbound_at = qv_ntfy_now_epoch();
    qv_ntfy_logf("outbound reply published (id %s, %zu bytes)", id[0] ? id : "?", strlen(text));
    return 0;
}

// What the relay does after a publish failed.
enum publish_next {
    PUBLISH_HOLD,  // keep the reply and try again later
    PUBLISH_AGAIN, // try again now (in smaller parts)
    PUBLISH_SKIP,  // given up: move past it
};

// The failure is one that waiting cures (or a token that may be fixed): publishing waits.
static publish_next back_off(qv_daemon *d, const qv_reply *r, const qv_pub_failure *why) {
    d->reply_backoff_ms =
        daemon_backoff_next(d->reply_backoff_ms, QV_REPLY_RETRY_MIN_MS, QV_REPLY_RETRY_MAX_MS);
    int64_t wait = d->reply_backoff_ms;
    if (why->retry_after_s >= 0 && why->retry_after_s * 1000 > wait)
        wait = why->retry_after_s * 1000;
    d->due.reply_retry = qv_now_ms() + wait;
    int64_t now = qv_ntfy_now_epoch();
    if (d->reply_failing_since == 0)
        d->reply_failing_since = now;
    qv_ntfy_logf("reply publishing waits %" PRId64 " ms", wait);
    if (now - d->reply_failing_since < QV_REPLY_GIVE_UP_S)
        return PUBLISH_HOLD;
    qv_ntfy_logf("reply at position %" PRId64 " given up after an hour of failed publishes",
                 r->position);
    d->reply_failing_since = 0;
    d->st.reply_given_up_count++;
    return PUBLISH_SKIP;
}

static publish_next after_failure(qv_daemon *d, const qv_reply *r, const qv_pub_failure *why,
                                  size_t sent_len, const char *err) {
    d->st.error_count++;
    qv_errf(d->st.last_error, sizeof d->st.last_error, "publish: %s", err);
    qv_ntfy_logf("reply publish failed: %s", err);
    if (why->kind == QV_PUB_TOO_LARGE && sent_len > QV_REPLY_LIMIT_MIN) {
        int64_t half = static_cast<int64_t>(sent_len / 2);
        d->reply_limit = half < QV_REPLY_LIMIT_MIN ? QV_REPLY_LIMIT_MIN : half;
        qv_ntfy_logf("the server refused %zu bytes as too large: replies go out in parts of at "
                     "most %" PRId64 " bytes",
                     sent_len, d->reply_limit);
        return PUBLISH_AGAIN;
    }
    if (why->kind == QV_PUB_TOO_LARGE || why->kind == QV_PUB_CONTENT) {
        // The same message would be refused again: it must not hold back the replies after it.
        d->st.reply_given_up_count++;
        qv_ntfy_logf("reply at position %" PRId64 " given up: the server refuses it (%" PRId64
                     " given up so far)",
                     r->position, d->st.reply_given_up_count);
        return PUBLISH_SKIP;
    }
    if (why->kind == QV_PUB_TOKEN)
        qv_errf(d->st.last_error, sizeof d->st.last_error,
                "publish: the access token cannot publish to %s (%s)", qv_ntfy_reply_topic(&d->cfg),
                err);
    return back_off(d, r, why);
}

static void parts_reset(qv_daemon *d, int64_t position) {
    d->device_sent_mask = 0;
    d->reply_parts_of = position;
    d->reply_parts_done = 0;
    d->reply_parts_sent = 0;
}

// The next message of the reply into d->reply_text: all of it with the prefix when it fits and
// no part went out yet, else its next part numbered "(k/n) ". Returns the reply bytes it takes.
static size_t next_message(qv_daemon *d, const qv_reply *r) {
    const char *prefix = d->cfg.reply_prefix;
    size_t prefix_len = strlen(prefix);
    size_t len = strlen(r->text);
    size_t limit = static_cast<size_t>(reply_limit(d));
    if (d->reply_parts_sent == 0 && prefix_len + len <= limit) {
        snprintf(d->reply_text, sizeof d->reply_text, "%s%s", prefix, r->text);
        return len;
    }
    size_t budget = limit > prefix_len + QV_PART_MARK_CAP + QV_PART_MIN_TEXT
                        ? limit - prefix_len - QV_PART_MARK_CAP
                        : QV_PART_MIN_TEXT;
    const char *rest = r->text + d->reply_parts_done;
    size_t left = len - d->reply_parts_done;
    size_t cut = reply_part_cut(rest, left, budget);
    int total = d->reply_parts_sent + parts_needed(rest, left, budget);
    snprintf(d->reply_text, sizeof d->reply_text, "%s(%d/%d) %.*s", prefix, d->reply_parts_sent + 1,
             total, static_cast<int>(cut), rest);
    return cut;
}

// Publishes one reply, in numbered parts when it is longer than the server takes. True when the
// relay may move past it: published, or given up.
static bool publish_reply(qv_daemon *d, const qv_reply *r) {
    if (d->reply_parts_of != r->position)
        parts_reset(d, r->position);
    size_t len = strlen(r->text);
    for (;;) {
        size_t taken = next_message(d, r);
        qv_pub_failure why;
        char err[QV_RELAY_ERR_CAP] = "";
        if (publish_text(d, d->reply_text, &why, err, sizeof err) == 0) {
            d->reply_parts_done += taken;
            d->reply_parts_sent++;
            if (d->reply_parts_done >= len) {
                parts_reset(d, 0);
                return true;
            }
            // The parts left go out after a restart with the whole reply again.
            if (qv_plat_stop_requested())
                return false;
            continue;
        }
        publish_next next = after_failure(d, r, &why, strlen(d->reply_text), err);
        if (next == PUBLISH_AGAIN)
            continue;
        if (next == PUBLISH_HOLD)
            return false;
        parts_reset(d, 0);
        return true;
    }
}

// Publishes the page's replies in order, moving the cursor past each one that went out. False
// when one could not (the cursor stays before it, so the next step tries it again).
static bool publish_page(qv_daemon *d, int *published) {
    const qv_reply_page *page = &d->replies;
    for (int k = 0; k < page->count; k++) {
        // After a stop nothing new goes out; the cursor stays, so the next run publishes it.
        if (qv_plat_stop_requested())
            return false;
        (*published)++;
        if (!publish_reply(d, &page->replies[k]))
            return false;
        d->st.reply_cursor = page->replies[k].position;
        // Stored at once: a kill now repeats at most this one reply after the restart.
        daemon_reply_note(d, false);
    }
    // What else the page held up to its last taken entry is not for the topic.
    if (page->last > d->st.reply_cursor)
        d->st.reply_cursor = page->last;
    return true;
}

void daemon_relay_step(qv_daemon *d) {
    // After a failure that waiting cures nothing is published (or asked for) until its time.
    if (d->due.reply_retry > qv_now_ms())
        return;
    int published = 0;
    bool polled = false;
    for (int i = 0; i < QV_RELAY_MAX_PAGES && published < QV_REPLY_BATCH; i++) {
        if (qv_plat_stop_requested())
            break; // the next page waits for the next run
        int want = QV_REPLY_BATCH - published;
        if (poll_replies(&d->cfg, d->st.reply_cursor, want, &d->replies) != 0)
            break;
        polled = true;
        if (d->replies.restarted) {
            // Everything the new conversation holds was written since it started: none of it
            // went out yet, and nothing of the old one is in it.
            qv_ntfy_logf("the node's conversation started again (shorter than cursor %" PRId64
                         "): relaying from its beginning",
                         d->st.reply_cursor);
            d->st.reply_cursor = 0;
            continue;
        }
        bool all_out = publish_page(d, &published);
        if (!all_out || d->replies.full || d->replies.entries < QV_NODE_PAGE)
            break;
    }
    if (polled)
        daemon_reply_note(d, false);
    if (published == 0)
        return;
    d->st.last_seen_at = qv_ntfy_now_epoch();
    daemon_save_status(d);
}
