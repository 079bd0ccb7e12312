// The ids of the stream events handled most recently, in a ring: ntfy's since=<time> is
// inclusive and a resubscription reaches back a margin, so the server hands events out again,
// and none may be forwarded twice.
#include "daemon_internal.h"

#include "base.h"

#include <cstring>

int recent_ids_seen(qv_recent_ids *r, const char *id) {
    if (!id[0])
        return 0;
    for (const auto &seen : r->ids)
        if (seen[0] && strcmp(seen, id) == 0)
            return 1;
    cp_trunc(r->ids[r->head], sizeof r->ids[r->head], id);
    r->head = (r->head + 1) % QV_RECENT_IDS;
    return 0;
}

void recent_ids_forget(qv_recent_ids *r, const char *id) {
    if (!id[0])
        return;
    for (auto &seen : r->ids)
        if (strcmp(seen, id) == 0)
            seen[0] = '\0';
}
