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
    (void)qv_ntfy_stream_save(s);
}

static const char *reply_topic(const qv_ntfy_config *cfg) {
    return cfg->publish_topic[0] ? cfg->publish_topic : cfg->topic;
}

// A full page (QV_NODE_PAGE entries) means more may wait: the step reads on (up to a bound)
// instead of falling a page behind per poll after a burst.
enum { QV_RELAY_MAX_PAGES = 20 };
// A reply that cannot be published is tried again at every step; after this long it is given
// up, so one reply the server refuses for good does not hold back every later one.
enum : int64_t { QV_REPLY_GIVE_UP_S = 3600 };

// Publishes one reply. True when the relay may move past it: published, or given up.
static bool publish_reply(qv_daemon *d, const qv_reply *r) {
    char *text = d->reply_text;
    snprintf(text, sizeof d->reply_text, "%s%s", d->cfg.reply_prefix, r->text);
    const qv_ntfy_config *c = &d->cfg;
    char id[QV_PUB_ID_CAP];
    char err[QV_RELAY_ERR_CAP] = "";
    int64_t now = qv_ntfy_now_epoch();
    if (ntfy_publish(c, reply_topic(c), text, c->title_prefix[0] ? c->title_prefix : nullptr,
                     c->priority, c->tags[0] ? c->tags : "robot", id, err, sizeof err) != 0) {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error, "publish: %s", err);
        qv_ntfy_logf("reply publish failed: %s", err);
        if (d->reply_failing_since == 0)
            d->reply_failing_since = now;
        if (now - d->reply_failing_since < QV_REPLY_GIVE_UP_S)
            return false;
        qv_ntfy_logf("reply at position %" PRId64 " given up after an hour of failed publishes",
                     r->position);
        d->reply_failing_since = 0;
        return true;
    }
    d->reply_failing_since = 0;
    // Kept in this process if the ledger cannot be written; the tag and prefix mark the echo
    // as ours either way.
    if (id[0])
        (void)qv_ntfy_sent_note(id);
    d->st.outbound_count++;
    d->st.last_outbound_at = now;
    qv_ntfy_logf("outbound reply published (id %s, %zu bytes)", id[0] ? id : "?", strlen(text));
    return true;
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
