// The setup page's view of the daemon: status.json and the sightings of approved senders in
// approved.json. While they change they are written at most once a second (the page polls no
// faster), and at the orderly stop; a kill loses at most that second of counts. What a promise
// depends on (the queue, the stream position, the ledger, the approvals themselves) is written
// where it changes, not here.
#include "daemon_internal.h"

#include "net.h"
#include "state.h"

enum : int64_t { QV_VIEW_EVERY_MS = 1000 };

void daemon_view_touch(qv_daemon *d) {
    if (d->due.view_flush != 0)
        return;
    int64_t now = qv_now_ms();
    d->due.view_flush = d->view_saved_ms == 0 ? now : d->view_saved_ms + QV_VIEW_EVERY_MS;
}

void daemon_view_flush(qv_daemon *d, bool force) {
    int64_t now = qv_now_ms();
    if (d->due.view_flush == 0 || (!force && !schedule_due(d->due.view_flush, now)))
        return;
    if (qv_ntfy_approved_add_sightings(&d->sightings) != 0)
        qv_ntfy_logf("cannot record sightings in approved.json (state folder busy or list not "
                     "loadable): tried again later");
    // A save that fails (a full disk) must not stop the bridge; the next one writes it all again.
    (void)qv_ntfy_status_save(&d->st);
    d->view_saved_ms = qv_now_ms();
    d->due.view_flush = d->sightings.used > 0 ? d->view_saved_ms + QV_VIEW_EVERY_MS : 0;
}

void daemon_save_status(qv_daemon *d) {
    daemon_view_touch(d);
    daemon_view_flush(d, false);
}
