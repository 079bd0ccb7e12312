// What the daemon leaves in the state directory: its pid file (daemon.pid) and log (daemon.log)
// in pidlog.cpp, and its status record (status.json) in status.cpp.
#pragma once

#include "state_config.h"
#include "state_record.h"

#include <cstdint>

// --- daemon pid file (daemon.pid) and log (daemon.log) ---

enum {
    QV_LOG_MSG_CAP = 1024,
    QV_LOG_STAMP_CAP = 32,
    QV_PID_TEXT_CAP = 32,
    QV_LOG_ROTATE_BYTES = 1048576,
};

// A running daemon holds daemon.lock for its whole life; the system lets go of it when the
// process ends, also when it is killed. A daemon waits this long for the lock: longer than a
// reader holds it to look (qv_ntfy_daemon_running, which waits at most the shorter time).
enum : int64_t {
    QV_DAEMON_CLAIM_WAIT_MS = 1000,
    QV_DAEMON_PROBE_WAIT_MS = 200,
    QV_DAEMON_PID_GRACE_MS = 1000, // how long a lock holder may go without naming itself
    QV_DAEMON_PID_POLL_MS = 50,
};

// Takes the daemon's lock: its handle, or -1 when another daemon holds it (or the folder is
// unusable). Only a holder of the lock writes or removes daemon.pid.
[[nodiscard]] int64_t qv_ntfy_daemon_claim(void);
// Removes daemon.pid, then lets go of the lock (a -1 claim removes nothing).
void qv_ntfy_daemon_release(int64_t claim);
[[nodiscard]] int qv_ntfy_pidfile_write(long pid);
// 0 with the recorded id; -1 (and 0 in pid) when there is no usable id.
[[nodiscard]] int qv_ntfy_pidfile_read(int32_t *pid);
[[nodiscard]] int qv_ntfy_pidfile_remove(void);
// 1 when a daemon runs: the pid file names a live process of this program, or the daemon's
// lock is held (a daemon that has not written its pid file yet). When none runs, a pid file
// naming a gone process or another program is removed; an unreadable one is left alone.
int qv_ntfy_daemon_running(void);
// What holds the state folder's daemon slot.
enum {
    QV_DAEMON_NONE = 0,      // no daemon; a stale pid file was cleared as above
    QV_DAEMON_RUNS = 1,      // the pid file names a live process of this program
    QV_DAEMON_LOCK_ONLY = 2, // daemon.lock is held, but no pid file named a daemon within
                             // QV_DAEMON_PID_GRACE_MS: another process holds it, and no
                             // daemon runs or can start
};
// As qv_ntfy_daemon_running, telling a daemon from a lock held by something else.
int qv_ntfy_daemon_state(void);
// Rotates a log grown beyond QV_LOG_ROTATE_BYTES to "daemon.log.1", then opens the log
// (appending, or truncating when append is 0) and closes it. 0, or -1 when it cannot be opened.
[[nodiscard]] int qv_ntfy_log_open(int append);
// Appends one time-stamped line to the log (rotating it first when it has grown beyond
// QV_LOG_ROTATE_BYTES) and echoes it to standard error. 0, or -1 when the log path cannot be
// built or the log cannot be closed. A log line is a note, never a step: callers go on either
// way (the line has reached standard error), so the result may be left unread.
int qv_ntfy_logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The daemon keeps the log open between lines (it writes one for every message); other modes
// open it for each line and hold nothing open.
void qv_ntfy_log_keep_open(bool keep);

// --- status record (status.json) ---

enum {
    QV_STATUS_TEXT_CAP = 256,
    QV_STATUS_TOPIC_CAP = 160,
    QV_STATUS_URL_CAP = 256,
    QV_STATUS_SESSION_CAP = 256,
};

struct qv_ntfy_status {
    int64_t started_at;
    int64_t last_seen_at;
    int64_t last_inbound_at;
    int64_t last_outbound_at;
    int64_t inbound_count;
    int64_t outbound_count;
    int64_t blocked_count;
    int64_t pending_count;
    int64_t connect_count;
    int64_t error_count;
    int32_t connected;
    char last_error[QV_STATUS_TEXT_CAP];
    char last_event[QV_STATUS_TEXT_CAP];
    int64_t last_message_time;
    int64_t reply_cursor; // the reply relay's position; lives only in the daemon's memory
    int32_t configured;
    char topic[QV_STATUS_TOPIC_CAP];
    char publish_topic[QV_STATUS_TOPIC_CAP];
    char target_session[QV_STATUS_SESSION_CAP];
    char server_url[QV_STATUS_URL_CAP];
    int32_t allow_all;
    int32_t pairing_code_enabled;
    int32_t markdown;
    int32_t has_bearer;
    int32_t has_bot_password;
    int32_t tls_insecure;
    int32_t pinned;
    int64_t queued_count;        // messages waiting in the inbound queue for the node
    int64_t queue_dropped_count; // messages the full inbound queue let go of, oldest first
    int64_t reply_given_up_count; // agent replies the server refused for good (or for an hour)
    int64_t config_updated_at;   // updated_at of the config.json the daemon started with
    int64_t own_echo_count;      // the program's own notifications seen again and dropped
    int64_t revoked_dropped_count; // waiting messages dropped because their sender was revoked
    int64_t pending_evicted_count; // requests the full pairing queue let go of, oldest first
};

// The members of status.json, in file order (reply_cursor has none).
extern const qv_fields QV_STATUS_FIELDS;

// Resets the record to all zero, then fills it from status.json. 0 when the file held an
// object; -1 otherwise (the record stays all zero).
[[nodiscard]] int qv_ntfy_status_load(qv_ntfy_status *s);
// 0 when status.json now mirrors the record (all but reply_cursor); -1 otherwise.
[[nodiscard]] int qv_ntfy_status_save(const qv_ntfy_status *s);
// Copies the summary of the settings the record carries from a configuration: the topics (the
// publish topic falling back to the topic), session, server, switches, and whether the
// secrets, the pins and the insecure switch are set. configured: a topic and a session.
void qv_ntfy_status_settings(qv_ntfy_status *s, const qv_ntfy_config *c);
