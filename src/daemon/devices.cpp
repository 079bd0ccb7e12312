// Private device topics: with them on, every approved device has a topic of its own
// (approved.json), the configured topic is a lobby for pairing requests, and the daemon holds one
// subscription to the lobby and every device topic. The list is read again about once a second;
// when its topics change the stream ends and the subscription starts again, reaching back to
// when the newest device was added, so nothing published on its topic meanwhile is lost.
// Replies and notices go to every device topic, never to the lobby.
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "platform.h"
#include "state.h"

#include <cstdio>
#include <cstring>

enum : int64_t { QV_DEVICES_CHECK_MS = 1000 };

// The devices approved.json holds now, those beyond what one subscription takes left out.
static int read_devices(qv_device *out) {
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    if (qv_ntfy_approved_load(&table, &count) != 0)
        return -1;
    qv_heap<qv_ntfy_approved_entry> held(table);
    int n = 0;
    for (int i = 0; i < count && n < QV_DEVICE_TOPICS_MAX; i++) {
        const qv_ntfy_approved_entry &e = table[i];
        if (!e.topic[0] || !valid_topic_name(e.topic))
            continue;
        qv_device *dev = &out[n++];
        cp_trunc(dev->key, sizeof dev->key, e.key);
        cp_trunc(dev->label, sizeof dev->label, e.label);
        cp_trunc(dev->topic, sizeof dev->topic, e.topic);
        dev->added_at = e.added_at;
    }
    return n;
}

static const qv_device *find_topic(const qv_device *list, int count, const char *topic) {
    for (int i = 0; i < count; i++)
        if (strcmp(list[i].topic, topic) == 0)
            return &list[i];
    return nullptr;
}

const qv_device *daemon_device_of_topic(const qv_daemon *d, const char *topic) {
    return d->cfg.private_topics ? find_topic(d->devices, d->device_count, topic) : nullptr;
}

bool daemon_devices_changed(qv_daemon *d) {
    if (!d->cfg.private_topics)
        return false;
    int64_t now = qv_now_ms();
    if (d->due.devices_read != 0 && now < d->due.devices_read)
        return false;
    d->due.devices_read = now + QV_DEVICES_CHECK_MS;
    qv_device fresh[QV_DEVICE_TOPICS_MAX];
    int n = read_devices(fresh);
    if (n < 0)
        return false; // out of memory: the list stays as it is
    bool changed = n != d->device_count;
    int64_t earliest_new = 0;
    for (int i = 0; i < n; i++) {
        if (find_topic(d->devices, d->device_count, fresh[i].topic))
            continue;
        changed = true;
        if (earliest_new == 0 || fresh[i].added_at < earliest_new)
            earliest_new = fresh[i].added_at;
    }
    // A label renamed on the page frames the next message at once, without a resubscription.
    memcpy(d->devices, fresh, sizeof fresh[0] * static_cast<size_t>(n));
    d->device_count = n;
    if (!changed)
        return false;
    d->devices_since = earliest_new;
    d->device_sent_mask = 0;
    return true;
}

void daemon_devices_start(qv_daemon *d) {
    d->due.devices_read = 0;
    d->device_count = 0;
    (void)daemon_devices_changed(d); // the first read: every device is new
    d->devices_since = 0;            // and the start reaches back as it would without them
    d->due.devices_read = 0;         // read again when a stream runs, not while waiting for one
    if (d->cfg.private_topics)
        qv_ntfy_logf("private topics: the lobby and %d device topic(s)", d->device_count);
}

void daemon_devices_path_suffix(qv_daemon *d, char *out, size_t cap) {
    size_t len = 0;
    out[0] = '\0';
    for (int i = 0; i < d->device_count; i++) {
        int n = snprintf(out + len, cap - len, ",%s", d->devices[i].topic);
        if (n < 0 || static_cast<size_t>(n) >= cap - len) {
            out[len] = '\0';
            qv_ntfy_logf("subscription path full: %d device topic(s) left out", d->device_count - i);
            return;
        }
        len += static_cast<size_t>(n);
    }
}

int daemon_publish_devices(qv_daemon *d, const char *message, const char *title, int priority,
                           const char *tags, uint32_t *sent, qv_pub_failure *why, char *err,
                           size_t cap) {
    qv_pub_failure ignored;
    if (!why)
        why = &ignored;
    int rc = 0;
    if (d->device_count == 0)
        qv_ntfy_logf("no device topic to publish to: approve or add a device on the setup page");
    for (int i = 0; i < d->device_count; i++) {
        uint32_t bit = uint32_t{1} << i;
        if (*sent & bit)
            continue; // it has this one already: a retry must not repeat it there
        char id[QV_PUB_ID_CAP];
        if (ntfy_publish_sorted(&d->cfg, d->devices[i].topic, message, title, priority, tags, id,
                                why, err, cap) != 0) {
            rc = -1;
            continue;
        }
        // Kept in this process if the ledger cannot be written; the tag marks the echo too.
        if (id[0])
            (void)qv_ntfy_sent_note(id);
        *sent |= bit;
    }
    if (rc == 0)
        *sent = 0;
    return rc;
}
