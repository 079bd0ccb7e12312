// The setup API's "save": merges one request's fields into the loaded configuration, stores it
// and answers with the stored settings and whether they are valid. Secrets can be set, kept or
// cleared but are never echoed.
#include "setup_internal.h"

#include "base.h"
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

static const char *const FLAG_SETTINGS[] = {"markdown", "allow_all", "pairing_code_enabled"};

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

static void apply_numbers(qv_api_request *r, char *v) {
    qv_ntfy_config *c = &r->cfg;
    if (req_field(r->query, r->body, "priority", v, QV_SAVE_FIELD_CAP) && v[0]) {
        // A leading number as atoi reads it, 0 when there is none; anything else is clamped.
        int64_t p = strtoll(v, nullptr, 10);
        c->priority = static_cast<int32_t>(clamp64(p, QV_PRIORITY_MIN, QV_PRIORITY_MAX));
    }
    for (const char *name : FLAG_SETTINGS) {
        const qv_field *f = qv_field_find(QV_CONFIG_FIELDS, name);
        if (f && req_field(r->query, r->body, name, v, QV_SAVE_FIELD_CAP))
            *qv_field_i32(c, *f) = is_truthy(v);
    }
    // Timings out of range (a text that is no number reads as 0) leave the old value.
    if (req_field(r->query, r->body, "reply_poll_ms", v, QV_SAVE_FIELD_CAP) && v[0]) {
        int64_t ms = strtoll(v, nullptr, 10);
        if (ms >= QV_REPLY_POLL_MIN && ms <= QV_REPLY_POLL_MAX)
            c->reply_poll_ms = ms;
    }
    if (req_field(r->query, r->body, "idle_timeout_ms", v, QV_SAVE_FIELD_CAP) && v[0]) {
        int64_t ms = strtoll(v, nullptr, 10);
        if (ms >= QV_IDLE_TIMEOUT_MIN && ms <= QV_IDLE_TIMEOUT_MAX)
            c->idle_timeout_ms = ms;
    }
}

// Loads, changes and saves the configuration under the state folder's lock: the settings this
// request started with may be older than another request's save, whose fields must survive.
[[nodiscard]] static int store_fields(qv_api_request *r, char *msg, size_t cap) {
    qv_state_lock lock;
    if (qv_ntfy_config_lock(&lock, msg, cap) != 0)
        return -1;
    // As at the start of every request: a broken config.json is replaced from the defaults.
    if (qv_ntfy_config_load(&r->cfg, msg, cap) != 0)
        qv_ntfy_config_defaults(&r->cfg);
    char value[QV_SAVE_FIELD_CAP];
    apply_texts(r, value);
    apply_numbers(r, value);
    qv_ntfy_config *c = &r->cfg;
    if (!c->publish_topic[0])
        cp_trunc(c->publish_topic, sizeof c->publish_topic, c->topic);
    msg[0] = '\0';
    return qv_ntfy_config_save(c, msg, cap);
}

void api_save(qv_api_request *r) {
    char msg[QV_SAVE_MSG_CAP] = "";
    if (store_fields(r, msg, sizeof msg) != 0) {
        jfail(500, msg);
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
    jout_done(&j);
}
