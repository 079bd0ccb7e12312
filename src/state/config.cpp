// The connector configuration: defaults, config.json, the NTFY_ environment overlay,
// clamping, fallbacks, validation and saving.
#include "state.h"

#include "base.h"
#include "net.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <yyjson.h>

const char QV_DEFAULT_BOT_API_URL[] = "http://127.0.0.1:8150";
static const char DEFAULT_TITLE_PREFIX[] = "QUORVANE BOT";
static const char CONFIG_FILE[] = "config.json";

enum : int64_t {
    QV_REPLY_POLL_DEFAULT = 700,
    QV_REPLY_POLL_MIN = 100,
    QV_REPLY_POLL_MAX = 60000,
    // ntfy sends a keepalive every 45 s; twice that survives one late keepalive instead of
    // reconnecting (and being handed the last messages again) every 45 s.
    QV_IDLE_TIMEOUT_DEFAULT = 90000,
    QV_IDLE_TIMEOUT_MIN = 2000,
    QV_IDLE_TIMEOUT_MAX = 300000,
    QV_RECONNECT_MIN_DEFAULT = 1000,
    QV_RECONNECT_MIN_FLOOR = 200,
    QV_RECONNECT_MAX_DEFAULT = 60000,
    QV_RECONNECT_MAX_CEILING = 600000,
};

// One text member: its key in config.json, its NTFY_ variable, and where it lives.
struct text_field {
    const char *key;
    size_t offset;
    size_t cap;
};

#define QV_TEXT(key, field) {key, offsetof(qv_ntfy_config, field), sizeof(qv_ntfy_config::field)}

// Text members in the order config.json holds them.
static const text_field TEXT_FIELDS[] = {
    QV_TEXT("server_url", server_url),       QV_TEXT("topic", topic),
    QV_TEXT("publish_topic", publish_topic), QV_TEXT("bearer_token", bearer_token),
    QV_TEXT("ca_file", ca_file),             QV_TEXT("allowed_pins", allowed_pins),
    QV_TEXT("bot_api_url", bot_api_url),     QV_TEXT("bot_password", bot_password),
    QV_TEXT("target_session", target_session), QV_TEXT("tags", tags),
    QV_TEXT("reply_prefix", reply_prefix),   QV_TEXT("title_prefix", title_prefix),
};

static const text_field TEXT_ENV[] = {
    QV_TEXT("NTFY_SERVER_URL", server_url),
    QV_TEXT("NTFY_TOPIC", topic),
    QV_TEXT("NTFY_PUBLISH_TOPIC", publish_topic),
    QV_TEXT("NTFY_TOKEN", bearer_token),
    QV_TEXT("NTFY_TARGET_SESSION", target_session),
    QV_TEXT("NTFY_BOT_API_URL", bot_api_url),
    QV_TEXT("BOT_PASSWORD", bot_password),
    QV_TEXT("NTFY_TAGS", tags),
    QV_TEXT("NTFY_REPLY_PREFIX", reply_prefix),
    QV_TEXT("NTFY_TITLE_PREFIX", title_prefix),
    QV_TEXT("NTFY_CA_FILE", ca_file),
    QV_TEXT("NTFY_TLS_PIN", allowed_pins),
};
#undef QV_TEXT

static char *text_at(qv_ntfy_config *c, const text_field &f) {
    return reinterpret_cast<char *>(c) + f.offset;
}
static const char *text_at(const qv_ntfy_config *c, const text_field &f) {
    return reinterpret_cast<const char *>(c) + f.offset;
}

// Integer members in file order; flags are 32-bit, timings 64-bit.
struct int_field {
    const char *key;
    int32_t qv_ntfy_config::*i32;
    int64_t qv_ntfy_config::*i64;
};

static const int_field INT_FIELDS[] = {
    {"priority", &qv_ntfy_config::priority, nullptr},
    {"markdown", &qv_ntfy_config::markdown, nullptr},
    {"allow_all", &qv_ntfy_config::allow_all, nullptr},
    {"pairing_code_enabled", &qv_ntfy_config::pairing_code_enabled, nullptr},
    {"reply_poll_ms", nullptr, &qv_ntfy_config::reply_poll_ms},
    {"idle_timeout_ms", nullptr, &qv_ntfy_config::idle_timeout_ms},
    {"reconnect_min_ms", nullptr, &qv_ntfy_config::reconnect_min_ms},
    {"reconnect_max_ms", nullptr, &qv_ntfy_config::reconnect_max_ms},
};

void qv_ntfy_config_defaults(qv_ntfy_config *c) {
    memset(c, 0, sizeof *c);
    cp_trunc(c->server_url, sizeof c->server_url, QV_DEFAULT_SERVER_URL);
    cp_trunc(c->bot_api_url, sizeof c->bot_api_url, QV_DEFAULT_BOT_API_URL);
    cp_trunc(c->title_prefix, sizeof c->title_prefix, DEFAULT_TITLE_PREFIX);
    c->priority = 3;
    c->pairing_code_enabled = 1;
    c->reply_poll_ms = QV_REPLY_POLL_DEFAULT;
    c->idle_timeout_ms = QV_IDLE_TIMEOUT_DEFAULT;
    c->reconnect_min_ms = QV_RECONNECT_MIN_DEFAULT;
    c->reconnect_max_ms = QV_RECONNECT_MAX_DEFAULT;
}

// The leading decimal number of a text, as atoi/strtoll read it; no digits give 0.
static int64_t leading_int64(const char *v) {
    errno = 0;
    long long n = strtoll(v, nullptr, 10);
    return static_cast<int64_t>(n);
}

static int64_t clamp64(int64_t v, int64_t lo, int64_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

static void clamp_timings(qv_ntfy_config *c) {
    c->reply_poll_ms = clamp64(c->reply_poll_ms, QV_REPLY_POLL_MIN, QV_REPLY_POLL_MAX);
    c->idle_timeout_ms = clamp64(c->idle_timeout_ms, QV_IDLE_TIMEOUT_MIN, QV_IDLE_TIMEOUT_MAX);
    if (c->reconnect_min_ms < QV_RECONNECT_MIN_FLOOR)
        c->reconnect_min_ms = QV_RECONNECT_MIN_FLOOR;
    if (c->reconnect_max_ms < c->reconnect_min_ms)
        c->reconnect_max_ms = c->reconnect_min_ms > INT64_MAX / 2 ? INT64_MAX
                                                                  : 2 * c->reconnect_min_ms;
    if (c->reconnect_max_ms > QV_RECONNECT_MAX_CEILING)
        c->reconnect_max_ms = QV_RECONNECT_MAX_CEILING;
}

void apply_env(qv_ntfy_config *c) {
    for (const text_field &f : TEXT_ENV) {
        const char *v = env_nonempty(f.key);
        if (v)
            cp_trunc(text_at(c, f), f.cap, v);
    }
    c->markdown = env_int("NTFY_MARKDOWN", c->markdown);
    c->allow_all = env_int("NTFY_ALLOW_ALL", c->allow_all);
    c->pairing_code_enabled = env_int("NTFY_PAIRING_CODE", c->pairing_code_enabled);
    if (const char *v = env_nonempty("NTFY_PRIORITY")) {
        int64_t p = leading_int64(v);
        if (p >= 1 && p <= 5)
            c->priority = static_cast<int32_t>(p);
    }
    static const struct {
        const char *name;
        int64_t qv_ntfy_config::*field;
    } timings[] = {
        {"NTFY_REPLY_POLL_MS", &qv_ntfy_config::reply_poll_ms},
        {"NTFY_IDLE_TIMEOUT_MS", &qv_ntfy_config::idle_timeout_ms},
        {"NTFY_RECONNECT_MIN_MS", &qv_ntfy_config::reconnect_min_ms},
        {"NTFY_RECONNECT_MAX_MS", &qv_ntfy_config::reconnect_max_ms},
    };
    for (const auto &t : timings)
        if (const char *v = env_nonempty(t.name))
            c->*t.field = leading_int64(v);
    clamp_timings(c);
}

static void apply_fallbacks(qv_ntfy_config *c) {
    if (!c->publish_topic[0])
        cp_trunc(c->publish_topic, sizeof c->publish_topic, c->topic);
    if (!c->bot_api_url[0])
        cp_trunc(c->bot_api_url, sizeof c->bot_api_url, QV_DEFAULT_BOT_API_URL);
    if (!c->server_url[0])
        cp_trunc(c->server_url, sizeof c->server_url, QV_DEFAULT_SERVER_URL);
}

// The first member with exactly this key; yyjson's lookup finds the first occurrence.
static yyjson_val *member(yyjson_val *obj, const char *key) {
    return yyjson_obj_get(obj, key);
}

static void read_members(qv_ntfy_config *c, yyjson_val *root) {
    if (!yyjson_is_obj(root))
        return;
    for (const text_field &f : TEXT_FIELDS) {
        yyjson_val *v = member(root, f.key);
        if (yyjson_is_str(v))
            cp_trunc(text_at(c, f), f.cap, yyjson_get_str(v));
    }
    for (const int_field &f : INT_FIELDS) {
        yyjson_val *v = member(root, f.key);
        if (!yyjson_is_int(v))
            continue;
        int64_t n = yyjson_is_sint(v) ? yyjson_get_sint(v)
                                      : static_cast<int64_t>(yyjson_get_uint(v) > INT64_MAX
                                                                 ? INT64_MAX
                                                                 : yyjson_get_uint(v));
        if (f.i32)
            c->*f.i32 = static_cast<int32_t>(clamp64(n, INT32_MIN, INT32_MAX));
        else
            c->*f.i64 = n;
    }
    yyjson_val *updated = member(root, "updated_at");
    if (yyjson_is_int(updated))
        c->updated_at = yyjson_get_sint(updated);
}

int qv_ntfy_config_load(qv_ntfy_config *c, char *err, size_t cap) {
    qv_ntfy_config_defaults(c);
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, CONFIG_FILE) != 0) {
        apply_env(c);
        return 0;
    }
    char *text = nullptr;
    size_t len = 0;
    if (qv_ntfy_read_file(path, &text, &len) == 0 && len > 0) {
        yyjson_doc *doc = yyjson_read(text, len, 0);
        free(text);
        if (!doc) {
            qv_errf(err, cap, "config.json is not valid JSON");
            apply_env(c);
            return -1;
        }
        read_members(c, yyjson_doc_get_root(doc));
        yyjson_doc_free(doc);
    } else {
        free(text);
    }
    apply_env(c);
    apply_fallbacks(c);
    return 0;
}

int qv_ntfy_config_save(const qv_ntfy_config *c, char *err, size_t cap) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, CONFIG_FILE) != 0) {
        qv_errf(err, cap, "connector state directory is not usable");
        return -1;
    }
    int rc = -1;
    char *json = nullptr;
    size_t json_len = 0;
    yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
    yyjson_mut_val *root = doc ? yyjson_mut_obj(doc) : nullptr;
    bool built = root != nullptr;
    if (built) {
        yyjson_mut_doc_set_root(doc, root);
        for (const text_field &f : TEXT_FIELDS)
            built = built && yyjson_mut_obj_add_strcpy(doc, root, f.key, text_at(c, f));
        for (const int_field &f : INT_FIELDS)
            built = built && yyjson_mut_obj_add_sint(doc, root, f.key,
                                                     f.i32 ? c->*f.i32 : c->*f.i64);
        built = built && yyjson_mut_obj_add_sint(doc, root, "updated_at", qv_ntfy_now_epoch());
    }
    if (built)
        json = yyjson_mut_write(doc, YYJSON_WRITE_PRETTY, &json_len);
    if (!json) {
        qv_errf(err, cap, "cannot serialise config");
        goto done;
    }
    if (qv_ntfy_write_file_atomic(path, json, json_len) != 0) {
        qv_errf(err, cap, "cannot write config.json");
        goto done;
    }
    rc = 0;
done:
    free(json);
    yyjson_mut_doc_free(doc);
    return rc;
}

int valid_topic_name(const char *text) {
    if (!text)
        return 0;
    size_t len = strlen(text);
    if (len < 1 || len > QV_TOPIC_NAME_MAX)
        return 0;
    for (size_t i = 0; i < len; i++) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                  (ch >= '0' && ch <= '9') || ch == '-' || ch == '.' || ch == '_';
        if (!ok)
            return 0;
    }
    return 1;
}

int qv_ntfy_tls_insecure(void) {
    return env_int("NTFY_TLS_INSECURE", 0);
}

static bool is_loopback_host(const char *host) {
    return strcmp(host, "127.0.0.1") == 0 || strcmp(host, "localhost") == 0;
}

static bool valid_session_name(const char *s) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++) {
        bool ok = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                  (*p >= '0' && *p <= '9') || *p == '-' || *p == '.' || *p == ':' || *p == '_';
        if (!ok)
            return false;
    }
    return true;
}

int qv_ntfy_config_validate(const qv_ntfy_config *c, char *err, size_t cap) {
    qv_url u;
    if (!c->topic[0]) {
        qv_errf(err, cap, "topic is required");
        return -1;
    }
    if (!valid_topic_name(c->topic)) {
        qv_errf(err, cap, "topic contains forbidden characters");
        return -1;
    }
    if (c->publish_topic[0] && !valid_topic_name(c->publish_topic)) {
        qv_errf(err, cap, "publish_topic contains forbidden characters");
        return -1;
    }
    if (qv_url_parse(c->server_url, &u, err, cap) != 0)
        return -1;
    if (!u.tls && !qv_ntfy_tls_insecure() && !is_loopback_host(u.host)) {
        qv_errf(err, cap,
                "plain http:// is refused for a non-loopback server (a bearer token would "
                "travel in the clear)");
        return -1;
    }
    if (qv_url_parse(c->bot_api_url, &u, err, cap) != 0)
        return -1;
    if (u.tls) {
        qv_errf(err, cap, "bot_api_url must be plain http: the node API is loopback-only");
        return -1;
    }
    if (!is_loopback_host(u.host)) {
        qv_errf(err, cap, "bot_api_url must point at 127.0.0.1 or localhost");
        return -1;
    }
    if (!c->target_session[0]) {
        qv_errf(err, cap, "target_session is required before the daemon can route messages");
        return -1;
    }
    if (!valid_session_name(c->target_session)) {
        qv_errf(err, cap, "target_session contains forbidden characters");
        return -1;
    }
    return 0;
}
