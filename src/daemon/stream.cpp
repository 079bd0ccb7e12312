// Where the subscription starts: a margin before the newest message handled to the end, kept in
// stream.json across restarts so what a phone sent while the daemon was stopped still arrives,
// once (repeats are dropped by id); or, without one, from the time of the last event as before.
// A position belongs to the server and topic it was read from.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

enum {
    QV_SUBSCRIBE_QUERY_CAP = 96,
    QV_SUBSCRIBE_SUFFIX_CAP = QV_SUBSCRIBE_QUERY_CAP + QV_DEVICE_TOPICS_MAX * (QV_DEVICE_TOPIC_CAP + 1),
};
// ntfy stores a scheduled message when it is sent and hands it out when it fires, which its
// delayed sender notices up to 10 s late, with the time it was due: resuming by time this far
// back catches one that fired while the daemon was away. since=<id> would miss it for good.
enum : int64_t { QV_RESUME_MARGIN_S = 30 };

static bool position_is_ours(const qv_daemon *d) {
    const qv_ntfy_stream *s = &d->stream;
    // A file from before positions named their topic is taken as this one's.
    if (!s->topic[0])
        return true;
    return strcmp(s->server, d->cfg.server_url) == 0 && strcmp(s->topic, d->cfg.topic) == 0;
}

void daemon_stream_start(qv_daemon *d, int64_t now) {
    memset(&d->stream, 0, sizeof d->stream);
    if (d->cfg.catchup_s <= 0)
        return;
    if (qv_ntfy_stream_load(&d->stream) != 0)
        return;
    if (!position_is_ours(d)) {
        // Messages published earlier on this topic were never meant for this bridge.
        qv_ntfy_logf("the stored position belongs to %s/%s: starting from now", d->stream.server,
                     d->stream.topic);
        d->stream.last_id[0] = '\0';
        d->stream.tail_count = 0;
        return;
    }
    // A replay of what the last run handled but the server hands back again is dropped.
    for (int i = 0; i < d->stream.tail_count; i++)
        (void)recent_ids_seen(&d->recent, d->stream.tail[i]);
    if (now - d->stream.last_time >= d->cfg.catchup_s) {
        qv_ntfy_logf("last handled message is older than %" PRId64 " s: starting from now",
                     d->cfg.catchup_s);
        d->stream.last_id[0] = '\0';
        return;
    }
    qv_ntfy_logf("catching up after message %s (time %" PRId64 ")", d->stream.last_id,
                 d->stream.last_time);
}

void daemon_stream_note(qv_daemon *d) {
    const qv_stream_event *ev = &d->ev;
    if (!d->event_fresh || strcmp(ev->event, "message") != 0)
        return;
    d->event_fresh = false;
    // Kept in memory in any case: a reconnect while running resumes with the margin too (ntfy may
    // store a message after a newer one it stamped later); only catch-up keeps it across a stop.
    if (!qv_ntfy_stream_note(&d->stream, ev->id, ev->time) || d->cfg.catchup_s <= 0)
        return;
    cp_trunc(d->stream.server, sizeof d->stream.server, d->cfg.server_url);
    cp_trunc(d->stream.topic, sizeof d->stream.topic, d->cfg.topic);
    // Like status.json, a position that cannot be written does not stop the bridge: the next
    // start then reaches back from an older message, and the remembered ids drop the repeats.
    (void)qv_ntfy_stream_save(&d->stream, &d->stream_file);
}

// Where a resubscription after the newest handled message starts: a margin before it.
static int64_t resume_since(const qv_ntfy_stream *s) {
    int64_t since = s->last_time - QV_RESUME_MARGIN_S;
    // With the tail full, what is older than its oldest id can no longer be told from a
    // repeat: the margin ends there (never after the newest message's own second).
    if (s->tail_count == QV_STREAM_TAIL && s->tail_time[0] > 0 && s->tail_time[0] + 1 > since)
        since = s->tail_time[0] + 1 < s->last_time ? s->tail_time[0] + 1 : s->last_time;
    return since;
}

// After the device topics changed: from when the earliest new device was added, or from the
// newest message handled when that is older, so nothing on any topic falls between; what comes
// again is dropped by its id.
static int64_t since_devices_changed(qv_daemon *d) {
    int64_t since = d->devices_since;
    d->devices_since = 0;
    int64_t handled = d->stream.last_id[0] ? resume_since(&d->stream) : d->st.last_message_time;
    return handled > 0 && handled < since ? handled : since;
}

void daemon_subscription_path(qv_daemon *d, const qv_url *server, char *path, size_t cap) {
    char suffix[QV_SUBSCRIBE_SUFFIX_CAP];
    daemon_devices_path_suffix(d, suffix, sizeof suffix);
    size_t topics = strlen(suffix);
    char *query = suffix + topics;
    const size_t query_cap = sizeof suffix - topics;
    snprintf(query, query_cap, "/json");
    if (d->devices_since > 0) {
        int64_t since = since_devices_changed(d);
        snprintf(query, query_cap, "/json?since=%" PRId64, since < 1 ? int64_t{1} : since);
    } else if (d->stream.last_id[0]) {
        int64_t since = resume_since(&d->stream);
        snprintf(query, query_cap, "/json?since=%" PRId64, since < 1 ? int64_t{1} : since);
    } else if (d->st.last_message_time >= 1) {
        snprintf(query, query_cap, "/json?since=%" PRId64, d->st.last_message_time);
    }
    ntfy_topic_path(server, d->cfg.topic, suffix, path, cap);
}
