// Connector state: the state directory and its file primitives (dir.cpp) and the connector
// configuration (config.cpp). Every state file path comes from qv_ntfy_path.
#pragma once

#include <cstddef>
#include <cstdint>

struct yyjson_doc;

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
int env_int(const char *name, int fallback);
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
