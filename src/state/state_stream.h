// The daemon's positions (stream.json): the newest message event it handled to the end and
// the ids of the last few, so a start picks up what was published while it was stopped, handing
// nothing over twice; and the reply relay's place in the node conversation, so replies the agent
// wrote while the daemon was stopped (or could not publish before a kill) still go out.
#pragma once

#include "state_config.h"

#include <cstdint>

enum {
    QV_STREAM_ID_CAP = 48,
    // A start resumes by time, a margin before the newest handled message (so a scheduled
    // message that fired late is not missed), and drops what it handled before by id: the tail
    // must hold the ids of that margin. ntfy's default visitor limits let one publisher send a
    // burst of 60 and then one message every 5 s, 66 in a 30 s margin; 256 covers several such
    // senders at full speed and keeps each write near 6 KiB. Past it the oldest ids go first,
    // and the start asks for no more than the ids kept cover (from the second after the oldest),
    // so a faster stream shortens the margin instead of repeating messages.
    QV_STREAM_TAIL = 256,
    // stream.json is two slots of this size (a whole record is at most about 25 KiB), each a
    // head line of QV_STREAM_SLOT_HEAD bytes and the record (stream.cpp).
    QV_STREAM_SLOT_BYTES = 32768,
    QV_STREAM_SLOT_HEAD = 62,
};

struct qv_ntfy_stream {
    // The position belongs to one topic on one server ("" in a file from before they were kept).
    char server[QV_CFG_URL_CAP];
    char topic[QV_CFG_TOPIC_CAP];
    char last_id[QV_STREAM_ID_CAP]; // "" when no message was handled yet
    int64_t last_time;              // the server's time of that message
    int32_t tail_count;
    char tail[QV_STREAM_TAIL][QV_STREAM_ID_CAP]; // oldest first, last_id the newest
    int64_t tail_time[QV_STREAM_TAIL];           // the server's time of each (0: not known)
    // The reply cursor belongs to one conversation: the node and the session it was read from.
    char reply_node[QV_CFG_URL_CAP];
    char reply_session[QV_CFG_SESSION_CAP];
    int64_t reply_cursor;
    int64_t reply_at; // when the cursor was last known to be current; 0: no reply position
};

// 1 when the text is a message id the server can be asked to continue after: letters and
// digits only, not all digits (which ntfy would read as a time), and short enough to keep.
int qv_ntfy_stream_id_usable(const char *id);
// stream.json as its one writer (the daemon) holds it between writes: written after every
// message, it is rewritten in place, one of its two slots at a time, so a message costs one write
// and one flush of the file's data (no temporary, no rename, no folder flush). Zeroed: not open.
struct qv_ntfy_stream_file {
    bool open;
    int64_t handle;
    uint64_t seq; // the sequence number of the newest slot written or found
};
// Resets the record, then fills it from stream.json (the newest whole slot, or a file of one
// JSON document as older versions wrote it); ids that are not usable are skipped.
// 0 when the file held a usable last id, else -1 (no message position; the reply position is
// read either way).
[[nodiscard]] int qv_ntfy_stream_load(qv_ntfy_stream *s);
// 0 when stream.json now holds the record, on the disk; -1 otherwise (the file keeps the
// record before). `file` keeps the file open for the next save (null: opened and closed here).
[[nodiscard]] int qv_ntfy_stream_save(const qv_ntfy_stream *s, qv_ntfy_stream_file *file = nullptr);
// Closes the file a save kept open.
void qv_ntfy_stream_close(qv_ntfy_stream_file *file);
// Makes the message the newest handled one and adds it to the tail (dropping the oldest when
// full); an id that is not usable changes nothing. 1 when the record changed.
int qv_ntfy_stream_note(qv_ntfy_stream *s, const char *id, int64_t time);
