// Inside the daemon: its context record and the steps the subscription loop runs, which the
// tests and fuzzers drive directly.
#pragma once

#include "daemon.h"

#include "net.h"
#include "clients.h"
#include "state.h"

#include <cstddef>
#include <cstdint>

enum {
    QV_STREAM_LINE_CAP = 262145,
    // The subscription's path: the base path and the lobby, every device topic, the query.
    QV_SUBSCRIBE_PATH_CAP = QV_NTFY_PATH_CAP + QV_DEVICE_TOPICS_MAX * (QV_DEVICE_TOPIC_CAP + 1),
    QV_RECENT_IDS = 512, // message ids remembered against replays after a reconnect
    QV_EVENT_ID_CAP = 48,
    QV_EVENT_KIND_CAP = 24,
    QV_EVENT_TOPIC_CAP = 160,
    QV_EVENT_TITLE_CAP = 200,
    QV_EVENT_MESSAGE_CAP = 8000,
    QV_EVENT_USER_CAP = 120,
    QV_EVENT_TAGS_CAP = 200,
    QV_ATTACH_NAME_CAP = 256,
    QV_ATTACH_TYPE_CAP = 128,
    QV_ATTACH_URL_CAP = 1024,
    QV_FRAMED_CAP = 9300,
    QV_PAIR_CODE_READ_CAP = 24,
    QV_REPLY_TEXT_CAP = QV_REPLY_CAP + 300,
    // A node slow to answer gets this long after it took a request without answering in time:
    // one that answers within it gets a message at most twice.
    QV_INBOX_SLOW_MS = 120000,
    QV_CHALLENGE_BURST = 5, // challenges the daemon may publish at once, all senders together
};
enum : int64_t { QV_CHALLENGE_INTERVAL_MS = 60000 }; // then one per minute

// Ids of the stream events handled most recently. ntfy's since=<time> is inclusive, so a
// resubscription hands back the last events again; they must not be forwarded twice.
struct qv_recent_ids {
    char ids[QV_RECENT_IDS][QV_EVENT_ID_CAP];
    int head;
};

// A file shared with the message: ntfy hands over its description, the file stays on the server.
struct qv_event_attachment {
    char name[QV_ATTACH_NAME_CAP];
    char type[QV_ATTACH_TYPE_CAP];
    char url[QV_ATTACH_URL_CAP];
    int64_t size; // -1 when the event gives none
};

// The members of one stream event that the daemon reads.
struct qv_stream_event {
    char id[QV_EVENT_ID_CAP];
    char sequence_id[QV_EVENT_ID_CAP]; // ntfy 2.16+: an update names the message it replaces
    char event[QV_EVENT_KIND_CAP];
    char topic[QV_EVENT_TOPIC_CAP];
    char title[QV_EVENT_TITLE_CAP];
    char message[QV_EVENT_MESSAGE_CAP];
    char user[QV_EVENT_USER_CAP];
    char tags[QV_EVENT_TAGS_CAP];
    qv_event_attachment attachment;
    int64_t time;
};

// An approved device with a topic of its own, as the daemon keeps it between reads of the list.
struct qv_device {
    char key[QV_SENDER_KEY_CAP];
    char label[QV_SENDER_LABEL_CAP];
    char topic[QV_DEVICE_TOPIC_CAP];
    int64_t added_at;
};

// When each of the daemon's timed steps is due, in qv_now_ms() milliseconds; 0: not scheduled.
// The loop waits (reads the stream, or sleeps between subscriptions) until the earliest of them
// (schedule_wait_ms), and each step moves or clears its own deadline when it runs.
struct qv_schedule {
    int64_t reply_poll;       // the next relay step; set only while a stream is read
    int64_t queue_retry;      // the oldest queued message is posted; set while messages wait
    int64_t subscribe;        // the next subscription: after a reconnect back-off, a held stream's
                              // wait or the pause after a stream ended
    int64_t view_flush;       // status.json and the sightings are written; set while they changed
    int64_t devices_read;     // approved.json is read again for device topics (private topics,
                              // while a stream is read; 0 there: read at once)
    // Limits on a step rather than wake-ups: nothing waits for them.
    int64_t reply_retry;      // no reply publish before this after a failure waiting cures
    int64_t challenge_budget; // when the challenge budget is whole again
};

// Everything the daemon works with for its whole life, the large working buffers included.
// It is big (the stream line alone is 256 KiB), so it is allocated once per process, zeroed.
struct qv_daemon {
    qv_ntfy_config cfg;
    qv_ntfy_status st;
    qv_recent_ids recent;
    qv_ntfy_stream stream; // the newest message handled to the end; empty: none to continue after
    qv_ntfy_stream_file stream_file; // stream.json, held open between saves
    bool event_fresh;      // the line just handled held an event not handled before
    qv_conn conn;                       // the subscription, one at a time
    char line[QV_STREAM_LINE_CAP];      // the stream line being read
    qv_stream_event ev;                 // the event that line holds
    char inbox_text[QV_FRAMED_CAP];     // the event framed for the node's inbox
    qv_reply_page replies;              // the agent replies of one conversation page
    char reply_text[QV_REPLY_TEXT_CAP]; // one reply with the reply prefix, as published
    int64_t reply_failing_since;        // when publishing the reply at the cursor began to fail
    int64_t reply_backoff_ms;           // the wait after the last such failure (0: none yet)
    int64_t reply_limit;                // the largest message the server takes, in bytes
    int64_t reply_parts_of;             // the reply whose parts are under way (its position)
    size_t reply_parts_done;            // bytes of its text published so far
    int32_t reply_parts_sent;           // parts of it published so far
    qv_inqueue queue;                   // messages the node could not take yet (on disk)
    int64_t queue_backoff_ms;           // the wait after its last failure (0: none yet)
    uint64_t queue_failed_seq;          // the waiting message whose failure was last counted
    int32_t queue_unusable;             // the queue could not be opened (said once in the log)
    int32_t inbox_deadline_ms;          // an /inbox exchange's deadline; 0: QV_EXCHANGE_MS
    bool held;                          // a message could be neither posted nor queued
    int64_t held_wait_ms;               // the wait before the stream is read again after that
    char challenge_codes[QV_CHALLENGE_BURST][QV_PAIR_CODE_CAP]; // challenges waiting to go out
    int32_t challenge_count;
    qv_device devices[QV_DEVICE_TOPICS_MAX]; // with private topics: the device topics held
    int32_t device_count;
    int64_t devices_since;      // after a change: the subscription reaches back to here
    uint32_t device_sent_mask;  // devices that have the reply being published (bit per index)
    qv_ntfy_sightings sightings;        // approved senders seen since approved.json was written
    int64_t view_saved_ms;              // when status and sightings were written last (0: never)
    qv_schedule due;                    // when each timed step is due
};

// What became of a message posted to the node's inbox.
enum qv_inbox_result {
    QV_INBOX_DELIVERED,
    QV_INBOX_RETRY,   // no connection, a time-out, 429 or 5xx: waiting may help
    QV_INBOX_REFUSED, // refused for good: the same post would fail again however long it waits
};

// Handles one stream line: drops what must not reach the agent, pairs, forwards the rest.
void daemon_handle_line(qv_daemon *d, const char *line);
// The framed text for the agent (frame.cpp): the sender line, then the sender's title, text and
// attachment, cleaned so that no other line passes for a sender line. `device_label` names the
// device whose own topic carried the message, or is null.
void frame_message(const qv_stream_event *ev, const char *device_label, char *out, size_t cap);
// 1 when the line, after blanks, opens a bracket that names ntfy, as a sender line does.
[[nodiscard]] int frame_looks_like_sender_line(const char *line);
// 1 when the message is a pairing command ("PAIR <code>"), with the code in upper case.
[[nodiscard]] int pair_command_parse(const char *message, char *code, size_t cap);
// 1 when the id was handled before (and so must be dropped); otherwise remembers it (recent.cpp).
int recent_ids_seen(qv_recent_ids *r, const char *id);
// Forgets an id remembered by recent_ids_seen, so the message is handled when it comes again.
void recent_ids_forget(qv_recent_ids *r, const char *id);
// Posts a framed message to the node's inbox (inbox.cpp) within exchange_ms; the reason in err unless it
// was delivered. `unanswered` tells a failure after the whole request went out: the node may
// have taken the message.
[[nodiscard]] qv_inbox_result post_inbox(const qv_ntfy_config *cfg, int exchange_ms,
                                         const char *text, bool *unanswered, char *err,
                                         size_t cap);
// Posts to the node's inbox with the daemon's current deadline: after a post the node took but
// did not answer in time the next one waits up to QV_INBOX_SLOW_MS, until the node answers
// within the usual deadline again.
[[nodiscard]] qv_inbox_result daemon_post_inbox(qv_daemon *d, const char *text, char *err,
                                                size_t cap);

// The inbound queue (queue.cpp). Opens it on first use; true when it can take messages.
[[nodiscard]] bool daemon_queue_ready(qv_daemon *d);
// Keeps a framed message from the sender (its key, and topic for a device) after those waiting.
// `failure` is why its own post failed, or null when it was not posted because others wait
// before it. False when it could not be kept (the queue file not written): the message is then
// neither posted nor queued.
[[nodiscard]] bool daemon_queue_add(qv_daemon *d, const char *text, const qv_inq_sender *from,
                                    const char *failure);
// Opens the queue at start and hands over what waits from before, before the subscription.
void daemon_queue_start(qv_daemon *d);
// Posts the oldest waiting message when its time (due.queue_retry) has come.
void daemon_queue_step(qv_daemon *d);

// The schedule (schedule.cpp). True when the deadline is set and has come.
[[nodiscard]] bool schedule_due(int64_t at, int64_t now);
// How long the loop may wait from `now`: until the earliest deadline set (0 when one is due),
// never more than `cap`.
[[nodiscard]] int64_t schedule_wait_ms(const qv_schedule *s, int64_t now, int64_t cap);
// The next wait of a doubling back-off: `min` after none (0 or less), then twice the last, never
// more than `max`: after a long outage the tries still come every `max`.
[[nodiscard]] int64_t daemon_backoff_next(int64_t last, int64_t min, int64_t max);
// Waits until due.subscribe (at once when it is not set) or a stop, serving meanwhile what falls
// due (queued messages, the status view), then clears it (run.cpp).
void daemon_wait_to_subscribe(qv_daemon *d);

// At a start: reads stream.json, remembers its ids against replays, and keeps its newest
// message to continue after only when that is younger than the catch-up window.
void daemon_stream_start(qv_daemon *d, int64_t now);
// After a line was handled to the end: a new message becomes the newest, in stream.json too.
void daemon_stream_note(qv_daemon *d);
// The subscription's path: by time, a margin before the newest handled message when there is
// one, else from the time of the last event.
void daemon_subscription_path(qv_daemon *d, const qv_url *server, char *path, size_t cap);

// Private device topics (devices.cpp). Reads the devices at the start.
void daemon_devices_start(qv_daemon *d);
// About once a second reads approved.json again; true when the device topics changed, so the
// subscription must start again (from devices_since when a device was added).
[[nodiscard]] bool daemon_devices_changed(qv_daemon *d);
// The device whose own topic this is, or none (always none without private topics).
const qv_device *daemon_device_of_topic(const qv_daemon *d, const char *topic);
// ",topic1,topic2" for the subscription path: every device topic after the lobby.
void daemon_devices_path_suffix(qv_daemon *d, char *out, size_t cap);
// Publishes to every device topic whose bit in *sent is clear, setting it for each that took
// the message; 0 (and *sent cleared) when all have it, -1 with the last failure (in `why`
// when given) otherwise.
[[nodiscard]] int daemon_publish_devices(qv_daemon *d, const char *message, const char *title,
                                         int priority, const char *tags, uint32_t *sent,
                                         qv_pub_failure *why, char *err, size_t cap);

// Moves the reply cursor past the conversation the node already holds.
void daemon_seed_cursor(qv_daemon *d);
// At a start, after daemon_stream_start: goes on from the stored reply cursor when it is of the
// same conversation and was current within the catch-up window; otherwise seeds it.
void daemon_reply_start(qv_daemon *d, int64_t now);
// Stores the reply cursor (stream.json) when it moved, or, unmoved, now and then so a restart
// knows it is still current; `force` stores it in any case (the orderly stop).
void daemon_reply_note(qv_daemon *d, bool force);
// The setup page's view of the daemon (view.cpp). The status record or the sightings changed:
// due.view_flush says when they are written, at most once a second.
void daemon_view_touch(qv_daemon *d);
// The status record and the sightings changed: written now when they were not written within the
// last second, else by the next daemon_view_flush that finds them due. A failure does not stop
// the daemon.
void daemon_save_status(qv_daemon *d);
// Writes what only the setup page shows (status.json, the sightings in approved.json) when it
// changed and its time has come, or at once with `force` (the orderly stop).
void daemon_view_flush(qv_daemon *d, bool force);
// Publishes the newest agent reply after the cursor, if there is one.
void daemon_relay_step(qv_daemon *d);
// The length of the next part of a reply too long for one message: all of it when it fits the
// budget, else the longest start that ends after a paragraph, a line or a word (one that
// reaches past half the budget), else the budget backed off to a whole UTF-8 character.
size_t reply_part_cut(const char *text, size_t len, size_t budget);
// Publishes the pairing challenges waiting in the outbox, unless a reply still waits for the
// server (inbound.cpp). Run right after daemon_relay_step, so replies always go first.
void daemon_challenge_step(qv_daemon *d);
