// The connector configuration: defaults, config.json, the NTFY_ environment overlay,
// clamping, fallbacks, validation and saving.
#include "state_internal.h"

#include "base.h"
#include "net.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <yyjson.h>

const char QV_DEFAULT_BOT_API_URL[] = "http://127.0.0.1:8150";
const char QV_DEFAULT_TITLE_PREFIX[] = "QUORVANE BOT";
static const char CONFIG_FILE[] = "config.json";

enum : int64_t {
    QV_REPLY_POLL_DEFAULT = 700,
    // ntfy sends a keepalive every 45 s; twice that survives one late keepalive instead of
    // reconnecting (and being handed the last messages again) every 45 s.
    QV_IDLE_TIMEOUT_DEFAULT = 90000,
    QV_RECONNECT_MIN_DEFAULT = 1000,
    QV_RECONNECT_MIN_FLOOR = 200,
    QV_RECONNECT_MAX_DEFAULT = 60000,
    QV_RECONNECT_MAX_CEILING = 600000,
};

#define QV_TEXT(name) QV_TEXT_FIELD(qv_ntfy_config, name)
#define QV_I64(name) QV_I64_FIELD(qv_ntfy_config, name)

// In file order: the texts, then the integers; switches are written as 0 or 1.
static const qv_field CONFIG_FIELDS[] = {
    QV_TEXT(server_url),
    QV_TEXT(topic),
    QV_TEXT(publish_topic),
    QV_TEXT(bearer_token),
    QV_TEXT(ca_file),
    QV_TEXT(allowed_pins),
    QV_TEXT(bot_api_url),
    QV_TEXT(bot_password),
    QV_TEXT(target_session),
    QV_TEXT(tags),
    QV_TEXT(reply_prefix),
    QV_TEXT(title_prefix),
    QV_I32_FIELD(qv_ntfy_config, priority),
    QV_SWITCH_FIELD(qv_ntfy_config, markdown),
    QV_SWITCH_FIELD(qv_ntfy_config, allow_all),
    QV_SWITCH_FIELD(qv_ntfy_config, pairing_code_enabled),
    QV_I64(reply_poll_ms),
    QV_I64(idle_timeout_ms),
    QV_I64(reconnect_min_ms),
    QV_I64(reconnect_max_ms),
    QV_I64(catchup_s),
    QV_I64(updated_at),
    // Last, so that a file written before it existed reads as it was (off).
    QV_SWITCH_FIELD(qv_ntfy_config, private_topics),
};
#undef QV_TEXT
#undef QV_I64
const qv_fields QV_CONFIG_FIELDS = CONFIG_FIELDS;

// The texts the environment may set: a row's key is its variable.
static const qv_field TEXT_ENV[] = {
    QV_TEXT_AS("NTFY_SERVER_URL", qv_ntfy_config, server_url),
    QV_TEXT_AS("NTFY_TOPIC", qv_ntfy_config, topic),
    QV_TEXT_AS("NTFY_PUBLISH_TOPIC", qv_ntfy_config, publish_topic),
    QV_TEXT_AS("NTFY_TOKEN", qv_ntfy_config, bearer_token),
    QV_TEXT_AS("NTFY_TARGET_SESSION", qv_ntfy_config, target_session),
    QV_TEXT_AS("NTFY_BOT_API_URL", qv_ntfy_config, bot_api_url),
    QV_TEXT_AS("BOT_PASSWORD", qv_ntfy_config, bot_password),
    QV_TEXT_AS("NTFY_TAGS", qv_ntfy_config, tags),
    QV_TEXT_AS("NTFY_REPLY_PREFIX", qv_ntfy_config, reply_prefix),
    QV_TEXT_AS("NTFY_TITLE_PREFIX", qv_ntfy_config, title_prefix),
    QV_TEXT_AS("NTFY_CA_FILE", qv_ntfy_config, ca_file),
    QV_TEXT_AS("NTFY_TLS_PIN", qv_ntfy_config, allowed_pins),
};

void qv_ntfy_config_defaults(qv_ntfy_config *c) {
    memset(c, 0, sizeof *c);
    cp_trunc(c->server_url, sizeof c->server_url, QV_DEFAULT_SERVER_URL);
    cp_trunc(c->bot_api_url, sizeof c->bot_api_url, QV_DEFAULT_BOT_API_URL);
    cp_trunc(c->title_prefix, sizeof c->title_prefix, QV_DEFAULT_TITLE_PREFIX);
    c->priority = 3;
    c->pairing_code_enabled = 1;
    c->reply_poll_ms = QV_REPLY_POLL_DEFAULT;
    c->idle_timeout_ms = QV_IDLE_TIMEOUT_DEFAULT;
    c->reconnect_min_ms = QV_RECONNECT_MIN_DEFAULT;
    c->reconnect_max_ms = QV_RECONNECT_MAX_DEFAULT;
    c->catchup_s = QV_CATCHUP_DEFAULT_S;
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
        c->reconnect_max_ms =
            c->reconnect_min_ms > INT64_MAX / 2 ? INT64_MAX : 2 * c->reconnect_min_ms;
    if (c->reconnect_max_ms > QV_RECONNECT_MAX_CEILING)
        c->reconnect_max_ms = QV_RECONNECT_MAX_CEILING;
    c->catchup_s = clamp64(c->catchup_s, QV_CATCHUP_MIN_S, QV_CATCHUP_MAX_S);
}

// A whole number of seconds in range, or -1: a mistyped NTFY_CATCHUP_S must not quietly
// read as 0 and turn the catch-up off.
static int64_t catchup_from_text(const char *v) {
    char *end = nullptr;
    errno = 0;
    long long n = strtoll(v, &end, 10);
    if (end == v || *end != '\0' || errno != 0 || n < QV_CATCHUP_MIN_S || n > QV_CATCHUP_MAX_S)
        return -1;
    return static_cast<int64_t>(n);
}

static void normalize_token(qv_ntfy_config *c);

void apply_env(qv_ntfy_config *c) {
    for (const qv_field &f : TEXT_ENV) {
        const char *v = env_nonempty(f.key);
        if (v)
            cp_trunc(qv_field_text(c, f), f.cap, v);
    }
    c->markdown = env_int("NTFY_MARKDOWN", c->markdown);
    c->allow_all = env_int("NTFY_ALLOW_ALL", c->allow_all);
    c->pairing_code_enabled = env_int("NTFY_PAIRING_CODE", c->pairing_code_enabled);
    c->private_topics = env_int("NTFY_PRIVATE_TOPICS", c->private_topics);
    if (const char *v = env_nonempty("NTFY_PRIORITY")) {
        int64_t p = leading_int64(v);
        if (p >= QV_PRIORITY_MIN && p <= QV_PRIORITY_MAX)
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
    if (const char *v = env_nonempty("NTFY_CATCHUP_S")) {
        int64_t s = catchup_from_text(v);
        if (s >= 0)
            c->catchup_s = s;
    }
    clamp_timings(c);
    normalize_token(c);
}

// The settings kept as numbers or switches, by their variable.
static const struct {
    const char *env;
    const char *key;
} NUMBER_ENV[] = {
    {"NTFY_MARKDOWN", "markdown"},
    {"NTFY_ALLOW_ALL", "allow_all"},
    {"NTFY_PAIRING_CODE", "pairing_code_enabled"},
    {"NTFY_PRIORITY", "priority"},
    {"NTFY_REPLY_POLL_MS", "reply_poll_ms"},
    {"NTFY_IDLE_TIMEOUT_MS", "idle_timeout_ms"},
    {"NTFY_CATCHUP_S", "catchup_s"},
};

int qv_ntfy_env_overrides(const char **keys, int max) {
    int n = 0;
    for (const qv_field &f : TEXT_ENV) {
        if (!env_nonempty(f.key))
            continue;
        for (const qv_field &m : CONFIG_FIELDS)
            if (m.offset == f.offset && n < max)
                keys[n++] = m.key;
    }
    for (const auto &e : NUMBER_ENV)
        if (env_nonempty(e.env) && n < max)
            keys[n++] = e.key;
    return n;
}

static bool header_safe(const char *s) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; p++)
        if ((*p < 0x20 && *p != '\t') || *p >= 0x7F)
            return false;
    return true;
}

int qv_ntfy_token_normalize(const char *given, char *out, size_t cap, char *err, size_t err_cap) {
    char token[QV_CFG_SECRET_CAP];
    cp_trunc(token, sizeof token, given);
    trim_inplace(token);
    if (!header_safe(token)) {
        qv_errf(err, err_cap,
                "the access token holds a line break, a control character or a letter outside "
                "ASCII, which no Authorization header can carry: paste the token alone");
        return -1;
    }
    const char *wrote = token;
    char basic[2 * QV_CFG_SECRET_CAP];
    // "Bearer tk_...", "Basic ...": a scheme and its credentials are taken as they are.
    if (!strchr(token, ' ') && strncmp(token, "tk_", 3) == 0) {
        snprintf(basic, sizeof basic, "Bearer %s", token);
        wrote = basic;
    } else if (!strchr(token, ' ') && strchr(token, ':')) {
        char encoded[QV_CFG_SECRET_CAP];
        if (qv_base64_encode(token, strlen(token), encoded, sizeof encoded) != 0) {
            qv_errf(err, err_cap, "the user:password given as access token is too long");
            return -1;
        }
        snprintf(basic, sizeof basic, "Basic %s", encoded);
        wrote = basic;
    }
    if (strlen(wrote) >= cap) {
        qv_errf(err, err_cap, "the access token is too long");
        return -1;
    }
    cp_trunc(out, cap, wrote);
    return 0;
}

// A token from the environment or an older config.json written as people write it is sent
// the way the save would have stored it; one that cannot be a header value stays as it is
// and the server's refusal says the rest.
static void normalize_token(qv_ntfy_config *c) {
    char token[sizeof c->bearer_token];
    if (c->bearer_token[0] &&
        qv_ntfy_token_normalize(c->bearer_token, token, sizeof token, nullptr, 0) == 0)
        cp_trunc(c->bearer_token, sizeof c->bearer_token, token);
}

static void apply_fallbacks(qv_ntfy_config *c) {
    if (!c->publish_topic[0])
        cp_trunc(c->publish_topic, sizeof c->publish_topic, c->topic);
    if (!c->bot_api_url[0])
        cp_trunc(c->bot_api_url, sizeof c->bot_api_url, QV_DEFAULT_BOT_API_URL);
    if (!c->server_url[0])
        cp_trunc(c->server_url, sizeof c->server_url, QV_DEFAULT_SERVER_URL);
}

static void read_members(qv_ntfy_config *c, yyjson_val *root) {
    if (!yyjson_is_obj(root))
        return;
    qv_record_read(CONFIG_FIELDS, root, c);
    // updated_at has always been taken as yyjson's signed value, so a number beyond INT64_MAX
    // wraps instead of saturating like every other member; it stays so.
    yyjson_val *updated = yyjson_obj_get(root, "updated_at");
    if (yyjson_is_int(updated))
        c->updated_at = yyjson_get_sint(updated);
}

int qv_ntfy_config_load(qv_ntfy_config *c, char *err, size_t cap) {
    qv_ntfy_config_defaults(c);
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, CONFIG_FILE) != 0) {
        apply_env(c);
        // Without a folder the settings come from the environment alone; a folder refused as
        // open to others is a problem the user must hear about.
        char why[QV_DIR_ERR_CAP];
        if (qv_ntfy_dir_problem(why, sizeof why) != QV_DIR_REFUSED)
            return 0;
        qv_errf(err, cap, "%s", why);
        return -1;
    }
    char *raw = nullptr;
    size_t len = 0;
    bool have = qv_ntfy_read_file(path, &raw, &len) == 0 && len > 0;
    qv_heap<char> text(raw);
    if (have) {
        qv_json_doc doc(yyjson_read(text.get(), len, 0));
        if (!doc) {
            qv_errf(err, cap, "config.json is not valid JSON");
            apply_env(c);
            return -1;
        }
        read_members(c, yyjson_doc_get_root(doc.get()));
    }
    apply_env(c);
    apply_fallbacks(c);
    return 0;
}

int qv_ntfy_config_lock(qv_state_lock *lock, char *err, size_t cap) {
    // A lock that stays taken says "state folder busy"; an unusable folder its own reason.
    return lock->take(err, cap);
}

// The setup API's "save" holds the lock from its load on; taking it here again only counts.
int qv_ntfy_config_save(const qv_ntfy_config *c, char *err, size_t cap) {
    qv_state_lock lock;
    if (qv_ntfy_config_lock(&lock, err, cap) != 0)
        return -1;
    qv_ntfy_config stamped = *c;
    stamped.updated_at = qv_ntfy_now_epoch();
    return qv_record_save(CONFIG_FILE, CONFIG_FIELDS, &stamped, err, cap);
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

// Writes the reason a configuration is refused; gives the -1 of the refusal.
static int refuse(char *err, size_t cap, const char *why) {
    qv_errf(err, cap, "%s", why);
    return -1;
}

const char *qv_ntfy_reply_topic(const qv_ntfy_config *c) {
    return c->publish_topic[0] ? c->publish_topic : c->topic;
}

int qv_ntfy_config_validate(const qv_ntfy_config *c, char *err, size_t cap) {
    qv_url u;
    if (!c->topic[0])
        return refuse(err, cap, "topic is required");
    if (!valid_topic_name(c->topic))
        return refuse(err, cap, "topic contains forbidden characters");
    if (c->publish_topic[0] && !valid_topic_name(c->publish_topic))
        return refuse(err, cap, "publish_topic contains forbidden characters");
    if (qv_url_parse(c->server_url, &u, err, cap) != 0)
        return -1;
    if (!u.tls && !qv_ntfy_tls_insecure() && !is_loopback_host(u.host))
        return refuse(err, cap,
                      "plain http:// is refused for a non-loopback server (a bearer token would "
                      "travel in the clear)");
    if (qv_url_parse(c->bot_api_url, &u, err, cap) != 0)
        return -1;
    if (u.tls)
        return refuse(err, cap, "bot_api_url must be plain http: the node API is loopback-only");
    if (!is_loopback_host(u.host))
        return refuse(err, cap, "bot_api_url must point at 127.0.0.1 or localhost");
    if (!c->target_session[0])
        return refuse(err, cap, "target_session is required before the daemon can route messages");
    if (!valid_session_name(c->target_session))
        return refuse(err, cap, "target_session contains forbidden characters");
    if (c->catchup_s < QV_CATCHUP_MIN_S || c->catchup_s > QV_CATCHUP_MAX_S)
        return refuse(err, cap, "catchup_s must be 0 to 86400 seconds");
    return 0;
}
