// The channel gateway: the subscription loop (run.cpp), the handling of each stream line
// (inbound.cpp) and the reply relay (relay.cpp).
#pragma once

#include "state.h"

#include <cstddef>
#include <cstdint>

enum {
    QV_STREAM_LINE_CAP = 262145,
    QV_RECENT_IDS = 512,  // message ids remembered against replays after a reconnect
    QV_EVENT_ID_CAP = 48,
    QV_PAIR_CODE_READ_CAP = 24,
};

// Ids of the stream events handled most recently. ntfy's since=<time> is inclusive, so a
// resubscription hands back the last events again; they must not be forwarded twice.
struct qv_recent_ids {
    char ids[QV_RECENT_IDS][QV_EVENT_ID_CAP];
    int head;
};

// Everything the daemon works with for its whole life.
struct qv_daemon {
    qv_ntfy_config cfg;
    qv_ntfy_status st;
    qv_recent_ids recent;
};

// Runs the daemon until it is stopped; returns 0, 2 (configuration) or 3 (already running).
int run_daemon(void);

// Handles one stream line: drops what must not reach the agent, pairs, forwards the rest.
void daemon_handle_line(qv_daemon *d, const char *line);
// 1 when the message is a pairing command ("PAIR <code>"), with the code in upper case.
int pair_command_parse(const char *message, char *code, size_t cap);
// 1 when the id was handled before (and so must be dropped); otherwise remembers it.
int recent_ids_seen(qv_recent_ids *r, const char *id);

// Moves the reply cursor past the conversation the node already holds.
void daemon_seed_cursor(qv_daemon *d);
// Publishes the newest agent reply after the cursor, if there is one.
void daemon_relay_step(qv_daemon *d);
