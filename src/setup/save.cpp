// The setup API's "save": merges one request's fields into the loaded configuration, stores it
// and answers with the stored settings and whether they are valid. Secrets can be set, kept or
// cleared but are never echoed, and the server's token and pins do not follow a change of
// server.
#include "setup_internal.h"

#include "base.h"
#include "net.h"
#include "state.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum { QV_SAVE_FIELD_CAP = 1024, QV_SAVE_MSG_CAP = 256 };

// A secret field asks for the stored secret to be removed with this text.
static const char CLEAR_MARK[] = "__clear__";

// How a present text field changes its setting: replaced even by the empty text, or only by a
// non-empty one.
enum text_rule { REPLACE_ALWAYS, REPLACE_NONEMPTY };

// A text member of the configuration (by its key) and how a request changes it.
struct text_setting {
    const char *name;
    text_rule rule;
};

// In the order they are applied.
static const text_setting TEXT_SETTINGS[] = {
    {"server_url", REPLACE_NONEMPTY},  {"topic", REPLACE_ALWAYS},
    {"publish_topic", REPLACE_ALWAYS}, {"target_session", REPLACE_ALWAYS},
    {"bot_api_url", REPLACE_NONEMPTY}, {"tags", REPLACE_ALWAYS},
    {"reply_prefix", REPLACE_ALWAYS},  {"title_prefix", REPLACE_ALWAYS},
    {"ca_file", REPLACE_ALWAYS},       {"allowed_pins", REPLACE_ALWAYS},
};

static const char *const SECRET_SETTINGS[] = {"bearer_token", "bot_password"};

static const char *const FLAG_SETTINGS[] = {"markdown", "allow_all", "pairing_code_enabled",
                                            "private_topics"};

// Sets a text member of the configuration, cut to its field.
static void set_text(qv_ntfy_config *c, const char *name, const char *value) {
    if (const qv_field *f = qv_field_find(QV_CONFIG_FIELDS, name))
        cp_trunc(qv_field_text(c, *f), f->cap, value);
}

static void apply_texts(qv_api_request *r, char *v) {
    for (const text_setting &s : TEXT_SETTINGS) {
        if (!req_field(r->query, r->body, s.name, v, QV_SAVE_FIELD_CAP))
            continue;
        if (s.rule == REPLACE_NONEMPTY && !v[0])
            continue;
        set_text(&r->cfg, s.name, v);
    }
    // An empty secret keeps the stored one: the form never shows it, so it usually posts "".
    for (const char *name : SECRET_SETTINGS) {
        if (!req_field(r->query, r->body, name, v, QV_SAVE_FIELD_CAP) || !v[0])
            continue;
        set_text(&r->cfg, name, strcmp(v, CLEAR_MARK) == 0 ? "" : v);
    }
}

static int64_t clamp64(int64_t v, int64_t lo, int64_t hi) {
    return v < lo ? lo : v > hi ? hi : v;
}

static const char BAD_CATCHUP[] = "catchup_s must be a whole number of seconds from 0 to 86400";

// The numeric settings, each read by the one number reader: a field that is present and not
// empty must be a whole number, or the save is refused before anything is stored.
struct number_setting {
    const char *name;
    const char *refusal;
};

static const number_setting NUMBER_SETTINGS[] = {
    {"priority", "priority must be a whole number from 1 to 5"},
    {"reply_poll_ms", "reply_poll_ms must be a whole number of milliseconds (100 to 60000)"},
    {"idle_timeout_ms", "idle_timeout_ms must be a whole number of milliseconds (2000 to 300000)"},
    {"catchup_s", BAD_CATCHUP},
};

// The number the request gives for a setting: 1 with it in *n, 0 when the field is absent or
// empty (the stored value stays), -1 when it is no whole number.
static int requested_number(qv_api_request *r, const char *name, char *v, int64_t *n) {
    if (!req_field(r->query, r->body, name, v, QV_SAVE_FIELD_CAP) || !v[0])
        return 0;
    return qv_read_whole_number(v, n) == 0 ? 1 : -1;
}

static void apply_numbers(qv_api_request *r, char *v) {
    qv_ntfy_config *c = &r->cfg;
    int64_t n = 0;
    if (requested_number(r, "priority", v, &n) == 1)
        c->priority = static_cast<int32_t>(clamp64(n, QV_PRIORITY_MIN, QV_PRIORITY_MAX));
    for (const char *name : FLAG_SETTINGS) {
        const qv_field *f = qv_field_find(QV_CONFIG_FIELDS, name);
        if (f && req_field(r->query, r->body, name, v, QV_SAVE_FIELD_CAP))
            *qv_field_i32(c, *f) = is_truthy(v);
    }
    // Timings out of range leave the old value.
    if (requested_number(r, "reply_poll_ms", v, &n) == 1 && n >= QV_REPLY_POLL_MIN &&
        n <= QV_REPLY_POLL_MAX)
        c->reply_poll_ms = n;
    if (requested_number(r, "idle_timeout_ms", v, &n) == 1 && n >= QV_IDLE_TIMEOUT_MIN &&
        n <= QV_IDLE_TIMEOUT_MAX)
        c->idle_timeout_ms = n;
    if (requested_number(r, "catchup_s", v, &n) == 1)
        c->catchup_s = n;
}

// The access token and the pins as the request gives them, in the form they are stored and
// sent; -1 with the reason when one cannot be used.
static int normalize_secrets(qv_api_request *r, char *v, char *msg, size_t cap) {
    qv_ntfy_config *c = &r->cfg;
    char out[QV_CFG_PINS_CAP];
    if (req_field(r->query, r->body, "bearer_token", v, QV_SAVE_FIELD_CAP) && v[0] &&
        strcmp(v, CLEAR_MARK) != 0) {
        if (qv_ntfy_token_normalize(v, out, sizeof c->bearer_token, msg, cap) != 0)
            return -1;
        cp_trunc(c->bearer_token, sizeof c->bearer_token, out);
    }
    if (req_field(r->query, r->body, "allowed_pins", v, QV_SAVE_FIELD_CAP)) {
        if (qv_pins_normalize(v, out, sizeof out, msg, cap) != 0)
            return -1;
        cp_trunc(c->allowed_pins, sizeof c->allowed_pins, out);
    }
    return 0;
}

// Refuses a request whose numbers, token or pins cannot be used, before anything is stored.
static int check_request(qv_api_request *r, char *msg, size_t cap) {
    char v[QV_SAVE_FIELD_CAP];
    int64_t n = 0;
    for (const number_setting &s : NUMBER_SETTINGS) {
        int got = requested_number(r, s.name, v, &n);
        bool catchup_out = got == 1 && strcmp(s.name, "catchup_s") == 0 &&
                           (n < QV_CATCHUP_MIN_S || n > QV_CATCHUP_MAX_S);
        // Unlike the timings, the window is refused outright: 0 turns the catch-up off, so a
        // value that is not understood must not pass for one.
        if (got < 0 || catchup_out) {
            qv_errf(msg, cap, "%s", s.refusal);
            return -1;
        }
    }
    qv_api_request probe = *r;
    return normalize_secrets(&probe, v, msg, cap);
}

static bool same_text_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// True when two server addresses reach the same server: scheme, host (in any letter case) and
// port agree; the path does not matter. Addresses that do not parse are the same only as texts.
static bool same_server(const char *before, const char *after) {
    if (strcmp(before, after) == 0)
        return true;
    qv_url a, b;
    if (qv_url_parse(before, &a, nullptr, 0) != 0 || qv_url_parse(after, &b, nullptr, 0) != 0)
        return false;
    return strcmp(a.scheme, b.scheme) == 0 && same_text_ignoring_case(a.host, b.host) &&
           a.port == b.port;
}

// What a change of server took away, for the answer to say.
struct forgotten {
    bool token;
    bool pins;
};

// The access token and the pins were given for the server they were entered with: a token
// sent to another host hands it over, and pins name the old server's key. When the server
// changes, each is dropped unless this same request brings a new one.
static forgotten forget_old_server_secrets(qv_api_request *r, const char *old_server, char *v) {
    forgotten f = {false, false};
    qv_ntfy_config *c = &r->cfg;
    if (same_server(old_server, c->server_url))
        return f;
    bool new_token = req_field(r->query, r->body, "bearer_token", v, QV_SAVE_FIELD_CAP) && v[0] &&
                     strcmp(v, CLEAR_MARK) != 0;
    if (!new_token && c->bearer_token[0]) {
        c->bearer_token[0] = '\0';
        f.token = true;
    }
    // An allowed_pins field, even an empty one, is this request's own choice of pins.
    bool new_pins = req_field(r->query, r->body, "allowed_pins", v, QV_SAVE_FIELD_CAP) != 0;
    if (!new_pins && c->allowed_pins[0]) {
        c->allowed_pins[0] = '\0';
        f.pins = true;
    }
    return f;
}

// Loads, changes and saves the configuration under the state folder's lock: the settings this
// request started with may be older than another request's save, whose fields must survive.
[[nodiscard]] static int store_fields(qv_api_request *r, forgotten *dropped, char *msg,
                                      size_t cap) {
    qv_state_lock lock;
    if (qv_ntfy_config_lock(&lock, msg, cap) != 0)
        return -1;
    // As at the start of every request: a broken config.json is replaced from the defaults.
    if (qv_ntfy_config_load(&r->cfg, msg, cap) != 0)
        qv_ntfy_config_defaults(&r->cfg);
    char value[QV_SAVE_FIELD_CAP];
    char old_server[sizeof r->cfg.server_url];
    cp_trunc(old_server, sizeof old_server, r->cfg.server_url);
    apply_texts(r, value);
    apply_numbers(r, value);
    if (normalize_secrets(r, value, msg, cap) != 0)
        return -1;
    *dropped = forget_old_server_secrets(r, old_server, value);
    qv_ntfy_config *c = &r->cfg;
    if (!c->publish_topic[0])
        cp_trunc(c->publish_topic, sizeof c->publish_topic, c->topic);
    msg[0] = '\0';
    return qv_ntfy_config_save(c, msg, cap);
}

// The fields this request brings that the web server's environment sets: saved, but the
// environment wins, so they will not take effect.
static void not_applied_arr(qv_api_request *r, jout *j) {
    const char *keys[QV_ENV_OVERRIDES_MAX];
    int n = qv_ntfy_env_overrides(keys, QV_ENV_OVERRIDES_MAX);
    char v[QV_SAVE_FIELD_CAP];
    yyjson_mut_val *arr = nullptr;
    for (int i = 0; i < n; i++) {
        if (!req_field(r->query, r->body, keys[i], v, sizeof v) || !v[0])
            continue;
        if (!arr)
            arr = yyjson_mut_obj_add_arr(j->doc, j->root, "not_applied");
        yyjson_mut_arr_add_str(j->doc, arr, keys[i]);
    }
}

void api_save(qv_api_request *r) {
    char msg[QV_SAVE_MSG_CAP] = "";
    forgotten dropped = {false, false};
    if (check_request(r, msg, sizeof msg) != 0) {
        jfail(400, msg);
        return;
    }
    if (store_fields(r, &dropped, msg, sizeof msg) != 0) {
        jfail(qv_state_busy_message(msg) ? 503 : 500, msg);
        return;
    }
    qv_ntfy_config *c = &r->cfg;
    jout j;
    jout_init(&j);
    cfg_obj(&j, c);
    // An invalid configuration is stored all the same; the answer says what is missing.
    msg[0] = '\0';
    int valid = qv_ntfy_config_validate(c, msg, sizeof msg) == 0;
    yyjson_mut_obj_add_bool(j.doc, j.root, "valid", valid != 0);
    if (!valid)
        yyjson_mut_obj_add_strcpy(j.doc, j.root, "validation", msg);
    // Only present when it happened, so that every other answer stays as it was.
    if (dropped.token)
        yyjson_mut_obj_add_bool(j.doc, j.root, "token_cleared", true);
    if (dropped.pins)
        yyjson_mut_obj_add_bool(j.doc, j.root, "pins_cleared", true);
    env_overrides_arr(&j);
    not_applied_arr(r, &j);
    jout_done(&j);
}
