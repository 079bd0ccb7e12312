// The reply relay: the agent's newest reply in the node conversation goes back to the topic,
// marked (tag, prefix, ledger) so the daemon drops it when the server echoes it.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

enum { QV_RELAY_ERR_CAP = 300 };

void daemon_seed_cursor(qv_daemon *d) {
    int64_t cursor = -1;
    char none[1];
    // A one-byte output takes no reply text: the call only moves the cursor past history.
    poll_assistant(&d->cfg, &cursor, none, sizeof none);
    d->st.reply_cursor = cursor < 0 ? 0 : cursor;
    d->st.last_message_time = qv_ntfy_now_epoch();
    qv_ntfy_logf("reply cursor seeded at %" PRId64, d->st.reply_cursor);
}

static const char *reply_topic(const qv_ntfy_config *cfg) {
    return cfg->publish_topic[0] ? cfg->publish_topic : cfg->topic;
}

// A full page (QV_NODE_PAGE entries) means more may wait: the step reads on (up to a bound)
// instead of falling a page behind per poll after a burst.
enum { QV_RELAY_MAX_PAGES = 20 };

// The newest agent reply after the cursor, across as many pages as the node has ready.
static void newest_reply(qv_daemon *d, char *reply, size_t cap) {
    char *page = d->page_reply;
    reply[0] = '\0';
    for (int i = 0; i < QV_RELAY_MAX_PAGES; i++) {
        int64_t before = d->st.reply_cursor;
        int64_t cursor = before;
        poll_assistant(&d->cfg, &cursor, page, sizeof d->page_reply);
        if (cursor > d->st.reply_cursor)
            d->st.reply_cursor = cursor;
        if (page[0])
            cp_trunc(reply, cap, page);
        if (cursor - before < QV_NODE_PAGE)
            return;
    }
}

void daemon_relay_step(qv_daemon *d) {
    char *text = d->reply_text;
    newest_reply(d, d->reply, sizeof d->reply);
    if (!d->reply[0])
        return;
    snprintf(text, sizeof d->reply_text, "%s%s", d->cfg.reply_prefix, d->reply);
    const qv_ntfy_config *c = &d->cfg;
    char id[QV_PUB_ID_CAP];
    char err[QV_RELAY_ERR_CAP] = "";
    if (ntfy_publish(c, reply_topic(c), text, c->title_prefix[0] ? c->title_prefix : nullptr,
                     c->priority, c->tags[0] ? c->tags : "robot", id, err, sizeof err) != 0) {
        d->st.error_count++;
        qv_errf(d->st.last_error, sizeof d->st.last_error, "publish: %s", err);
        qv_ntfy_logf("reply publish failed: %s", err);
    } else {
        // Kept in this process if the ledger cannot be written; the tag and prefix mark the
        // echo as ours either way.
        if (id[0])
            (void)qv_ntfy_sent_note(id);
        d->st.outbound_count++;
        d->st.last_outbound_at = qv_ntfy_now_epoch();
        qv_ntfy_logf("outbound reply published (id %s, %zu bytes)", id[0] ? id : "?",
                     strlen(text));
    }
    d->st.last_seen_at = qv_ntfy_now_epoch();
    daemon_save_status(d);
}
