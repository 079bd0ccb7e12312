// The connector configuration (config.cpp): config.json, the NTFY_ environment overlay,
// clamping, fallbacks and validation.
#pragma once

#include "state_record.h"

#include <cstddef>
#include <cstdint>

struct qv_state_lock;

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
    QV_PRIORITY_MIN = 1,
    QV_PRIORITY_MAX = 5,
};

// The ranges the timings are held to.
enum : int64_t {
    QV_REPLY_POLL_MIN = 100,
    QV_REPLY_POLL_MAX = 60000,
    QV_IDLE_TIMEOUT_MIN = 2000,
    QV_IDLE_TIMEOUT_MAX = 300000,
    // How far back a start reaches for messages published while the daemon was stopped; 0
    // starts from the moment of the start.
    QV_CATCHUP_MIN_S = 0,
    QV_CATCHUP_MAX_S = 86400,
    QV_CATCHUP_DEFAULT_S = 3600,
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
    int64_t catchup_s;
    int64_t updated_at;
    // Each approved device gets a topic of its own and the configured topic becomes a lobby
    // where messages are only pairing requests.
    int32_t private_topics;
};

extern const char QV_DEFAULT_BOT_API_URL[];
extern const char QV_DEFAULT_TITLE_PREFIX[];
// The members of config.json, in file order.
extern const qv_fields QV_CONFIG_FIELDS;

void qv_ntfy_config_defaults(qv_ntfy_config *c);
[[nodiscard]] int qv_ntfy_config_load(qv_ntfy_config *c, char *err, size_t cap);
// Takes the state folder's lock for a load-change-save of config.json; -1 with the reason a
// save would give ("state folder busy ..." when the lock stays taken).
[[nodiscard]] int qv_ntfy_config_lock(qv_state_lock *lock, char *err, size_t cap);
// Saves under the state folder's lock (taken here when the caller does not hold it already).
[[nodiscard]] int qv_ntfy_config_save(const qv_ntfy_config *c, char *err, size_t cap);
[[nodiscard]] int qv_ntfy_config_validate(const qv_ntfy_config *c, char *err, size_t cap);
// Where replies and our own notices go: publish_topic, or the topic when none is set.
const char *qv_ntfy_reply_topic(const qv_ntfy_config *c);
int qv_ntfy_tls_insecure(void);
// An access token as people write it, made the Authorization value it is sent as: white space
// around it dropped, a bare ntfy token (tk_...) given "Bearer ", user:password made Basic
// credentials; a scheme and its credentials are kept. 0, or -1 with a message when it cannot be
// a header value (a line break, a control character, a letter outside ASCII) or is too long.
[[nodiscard]] int qv_ntfy_token_normalize(const char *given, char *out, size_t cap, char *err,
                                          size_t err_cap);
// The config.json keys that the environment sets for this process (and so overrides whatever
// is saved), in a fixed order: at most max of them. Their number.
int qv_ntfy_env_overrides(const char **keys, int max);
enum { QV_ENV_OVERRIDES_MAX = 24 };
[[nodiscard]] int valid_topic_name(const char *text);
