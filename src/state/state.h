// Connector state: the state directory and its file primitives (dir.cpp) and the connector
// configuration (config.cpp). Every state file path comes from qv_ntfy_path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct yyjson_doc;
struct yyjson_mut_doc;

// Parsed and built JSON documents, freed when the holder goes.
struct qv_json_doc_free {
    void operator()(yyjson_doc *doc) const;
};
struct qv_json_mut_doc_free {
    void operator()(yyjson_mut_doc *doc) const;
};
using qv_json_doc = std::unique_ptr<yyjson_doc, qv_json_doc_free>;
using qv_json_mut_doc = std::unique_ptr<yyjson_mut_doc, qv_json_mut_doc_free>;

enum {
    QV_DIR_CAP = 1000,
    QV_PATH_CAP = 1100,
    QV_TMP_PATH_CAP = 1200,
    QV_STATE_FILE_MAX = 8388608,
    QV_ESCAPE_UNIT_MAX = 6,
};

// --- directory and file primitives ---

int qv_ntfy_dir(char *out, size_t cap);
int qv_ntfy_path(char *out, size_t cap, const char *name);
int qv_ntfy_read_file(const char *path, char **data, size_t *len);
int qv_ntfy_write_file_atomic(const char *path, const char *data, size_t len);
int load_array(const char *name, yyjson_doc **doc);
void qv_ntfy_json_escape(const char *text, char *out, size_t cap);
int64_t qv_ntfy_now_epoch(void);

// --- configuration ---

enum {
    QV_CFG_URL_CAP = 256,
    QV_CFG_TOPIC_CAP = 160,
    QV_CFG_SECRET_CAP = 256,
    QV_CFG_CA_FILE_CAP = 512,
    QV_CFG_PINS_CAP = 1024,
    QV_CFG_SESSION_CAP = 256,
    QV_CFG_TAGS_CAP = 128,
    QV_CFG_REPLY_PREFIX_CAP = 32,
    QV_CFG_TITLE_PREFIX_CAP = 48,
    QV_TOPIC_NAME_MAX = 128,
};

struct qv_ntfy_config {
    char server_url[QV_CFG_URL_CAP];
    char topic[QV_CFG_TOPIC_CAP];
    char publish_topic[QV_CFG_TOPIC_CAP];
    char bearer_token[QV_CFG_SECRET_CAP];
    char ca_file[QV_CFG_CA_FILE_CAP];
    char allowed_pins[QV_CFG_PINS_CAP];
    char bot_api_url[QV_CFG_URL_CAP];
    char bot_password[QV_CFG_SECRET_CAP];
    char target_session[QV_CFG_SESSION_CAP];
    int32_t priority;
    char tags[QV_CFG_TAGS_CAP];
    int32_t markdown;
    char reply_prefix[QV_CFG_REPLY_PREFIX_CAP];
    char title_prefix[QV_CFG_TITLE_PREFIX_CAP];
    int32_t allow_all;
    int32_t pairing_code_enabled;
    int64_t reply_poll_ms;
    int64_t idle_timeout_ms;
    int64_t reconnect_min_ms;
    int64_t reconnect_max_ms;
    int64_t updated_at;
};

extern const char QV_DEFAULT_BOT_API_URL[];

void qv_ntfy_config_defaults(qv_ntfy_config *c);
int qv_ntfy_config_load(qv_ntfy_config *c, char *err, size_t cap);
int qv_ntfy_config_save(const qv_ntfy_config *c, char *err, size_t cap);
int qv_ntfy_config_validate(const qv_ntfy_config *c, char *err, size_t cap);
int qv_ntfy_tls_insecure(void);
int valid_topic_name(const char *text);
void apply_env(qv_ntfy_config *c);

// --- sent-message ledger (sent.json) ---

enum { QV_SENT_SLOTS = 512, QV_SENT_ID_CAP = 40 };

// Records an id the ntfy server gave to a message we published. 0, or -1 when refused or
// the file cannot be written (the id stays remembered in this process either way).
int qv_ntfy_sent_note(const char *id);
// 1 when the id is one of ours, else 0.
int qv_ntfy_sent_has(const char *id);
// Fills the table from sent.json; returns the number of ids placed.
int sent_load_ids(char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP]);
// Forgets what this process loaded, so a test can start over as a new process would.
void qv_ntfy_sent_reset_for_tests(void);

// --- member readers shared by the JSON state files ---

struct yyjson_val;

// Each takes the first member with exactly this key when it has the right JSON type and
// otherwise leaves the field as it is: texts from strings (cut to the capacity at a character
// boundary), integers only from JSON integers (clamped to the field's range).
void qv_json_take_text(yyjson_val *obj, const char *key, char *out, size_t cap);
void qv_json_take_i64(yyjson_val *obj, const char *key, int64_t *out);
void qv_json_take_i32(yyjson_val *obj, const char *key, int32_t *out);

struct yyjson_mut_doc;
struct yyjson_mut_val;

// Adds a text member, never reading the field beyond its capacity (even when unterminated).
bool qv_json_add_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                      const char *text, size_t cap);
// Serialises a document that was built completely (pretty or compact) and replaces the state
// file with it. 0, or -1 when it was not built, cannot be serialised or cannot be written.
int qv_json_save_state(const char *name, yyjson_mut_doc *doc, bool built, int pretty);

// --- pairing queue (pending.json) ---

enum {
    QV_SENDER_KEY_CAP = 65,     // 64 hexadecimal digits of a sender identity
    QV_SENDER_LABEL_CAP = 160,  // a readable description of a sender
    QV_PAIR_CODE_LEN = 8,
    QV_PAIR_CODE_CAP = QV_PAIR_CODE_LEN + 1,
    QV_PENDING_SAMPLE_CAP = 240,
    QV_PENDING_MAX = 64,
};

struct qv_ntfy_pending_entry {
    char key[QV_SENDER_KEY_CAP];
    char label[QV_SENDER_LABEL_CAP];
    char code[QV_PAIR_CODE_CAP];
    int64_t first_seen;
    int64_t last_seen;
    int64_t last_challenge_at;
    int32_t count;
    char sample[QV_PENDING_SAMPLE_CAP];
};

// A zeroed table with room for QV_PENDING_MAX entries (release it with free()) holding the
// queued senders; a missing or broken file is an empty queue. -1 only when out of memory.
int qv_ntfy_pending_load(qv_ntfy_pending_entry **table, int *count);
int qv_ntfy_pending_save(const qv_ntfy_pending_entry *table, int count);
// The entry for the key, updated (or appended with a fresh code); none when the key is new
// and the queue is full. Changes only the caller's table.
qv_ntfy_pending_entry *qv_ntfy_pending_touch(qv_ntfy_pending_entry *table, int *count,
                                             const char *key, const char *label,
                                             const char *sample);
// 1 with the key of the first entry holding the code (letter case ignored), else 0.
int qv_ntfy_pending_find_code(const char *code, char *key_out, size_t cap);
// 0 when no entry holds the key any more (also when none did); -1 when the save fails.
int qv_ntfy_pending_remove(const char *key);
// A new pairing code: QV_PAIR_CODE_LEN characters of the pairing alphabet and a zero byte.
void qv_ntfy_random_code(char out[QV_PAIR_CODE_CAP]);
// The code the fallback generator makes from a seed, for when the system has no random source.
void qv_ntfy_fallback_code(uint64_t seed, char out[QV_PAIR_CODE_CAP]);

// --- approved senders (approved.json) ---

enum { QV_APPROVED_MAX = 256, QV_VIA_SETUP = 0, QV_VIA_PAIRING_CODE = 1 };

struct qv_ntfy_approved_entry {
    char key[QV_SENDER_KEY_CAP];
    char label[QV_SENDER_LABEL_CAP];
    int64_t added_at;
    int64_t last_seen;
    int32_t count;
    int32_t via;
};

// A zeroed table with room for QV_APPROVED_MAX entries (release it with free()) holding the
// approved senders; a missing or broken file is an empty list. -1 only when out of memory.
int qv_ntfy_approved_load(qv_ntfy_approved_entry **table, int *count);
int qv_ntfy_approved_save(const qv_ntfy_approved_entry *table, int count);
// 1 when the key is approved, else 0.
int qv_ntfy_approved_has(const char *key);
// 0 when the key is approved and saved; -1 when the list is full or cannot be saved.
int qv_ntfy_approved_add(const char *key, const char *label, int via);
// 0 when no entry holds the key any more (also when none did); -1 when the save fails.
int qv_ntfy_approved_remove(const char *key);
// 1 when the key is approved and its sighting recorded, 0 when it is not approved, -1 when
// the list cannot be loaded. A 1 answers qv_ntfy_approved_has as well.
int qv_ntfy_approved_touch_seen(const char *key);

// --- daemon pid file (daemon.pid) and log (daemon.log) ---

enum {
    QV_LOG_MSG_CAP = 1024,
    QV_LOG_STAMP_CAP = 32,
    QV_PID_TEXT_CAP = 32,
    QV_LOG_ROTATE_BYTES = 1048576,
};

int qv_ntfy_pidfile_write(long pid);
// 0 with the recorded id; -1 (and 0 in pid) when there is no usable id.
int qv_ntfy_pidfile_read(int32_t *pid);
int qv_ntfy_pidfile_remove(void);
// 1 when the pid file names a live process; a pid file naming a gone process is removed.
int qv_ntfy_daemon_running(void);
// Rotates a log grown beyond QV_LOG_ROTATE_BYTES to "daemon.log.1", then opens the log
// (appending, or truncating when append is 0) and closes it. 0, or -1 when it cannot be opened.
int qv_ntfy_log_open(int append);
// Appends one time-stamped line to the log (rotating it first when it has grown beyond
// QV_LOG_ROTATE_BYTES) and echoes it to standard error. 0, or -1 when the log path cannot be
// built or the log cannot be closed.
int qv_ntfy_logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

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
    int64_t reply_cursor;  // the reply relay's position; lives only in the daemon's memory
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
};

// Resets the record to all zero, then fills it from status.json. 0 when the file held an
// object; -1 otherwise (the record stays all zero).
int qv_ntfy_status_load(qv_ntfy_status *s);
// 0 when status.json now mirrors the record (all but reply_cursor); -1 otherwise.
int qv_ntfy_status_save(const qv_ntfy_status *s);
