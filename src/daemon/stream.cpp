// Where the subscription starts: right after the newest message handled to the end, kept in
// stream.json across restarts so what a phone sent while the daemon was stopped still arrives,
// once; or, without one, from the time of the last event as before.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

enum { QV_SUBSCRIBE_SUFFIX_CAP = 96 };

void daemon_stream_start(qv_daemon *d, int64_t now) {
    memset(&d->stream, 0, sizeof d->stream);
    d->since_floor = 0;
    if (d->cfg.catchup_s <= 0)
        return;
    if (qv_ntfy_stream_load(&d->stream) != 0)
        return;
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
    if (!d->event_fresh || d->cfg.catchup_s <= 0 || strcmp(ev->event, "message") != 0)
        return;
    d->event_fresh = false;
    if (!qv_ntfy_stream_note(&d->stream, ev->id, ev->time))
        return;
    // Like status.json, a position that cannot be written does not stop the bridge: the next
    // start then reaches back from an older message, and the remembered ids drop the repeats.
    (void)qv_ntfy_stream_save(&d->stream);
}

void daemon_subscription_path(qv_daemon *d, const qv_url *server, char *path, size_t cap) {
    char suffix[QV_SUBSCRIBE_SUFFIX_CAP] = "/json";
    d->since_floor = 0;
    if (d->stream.last_id[0]) {
        // ntfy starts right after a message id it knows, but hands back its whole cache for one
        // it has dropped (expired, or a new cache): nothing older than that message is new.
        snprintf(suffix, sizeof suffix, "/json?since=%s", d->stream.last_id);
        d->since_floor = d->stream.last_time;
    } else if (d->st.last_message_time >= 1) {
        snprintf(suffix, sizeof suffix, "/json?since=%" PRId64, d->st.last_message_time);
    }
    ntfy_topic_path(server, d->cfg.topic, suffix, path, cap);
}
