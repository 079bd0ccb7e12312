// The setup API's frame: the request body read once, request fields from the body or the query
// string, the answer builder (jout_init/jout_done/jfail) and the table of actions.
#include "setup_internal.h"

#include "base.h"
#include "platform.h"
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char SERIALISE_FAILED_BODY[] = "{\"ok\":false,\"error\":\"serialise failed\"}";

// The body is read at most once per process and lives until it exits, like the document
// parsed from it.
static int tried = 0;
static char *cached = nullptr;
static yyjson_doc *cached_doc = nullptr;

void jout_init(jout *j) {
    j->doc = yyjson_mut_doc_new(nullptr);
    j->root = j->doc ? yyjson_mut_obj(j->doc) : nullptr;
    if (!j->root)
        return;
    yyjson_mut_doc_set_root(j->doc, j->root);
    yyjson_mut_obj_add_bool(j->doc, j->root, "ok", true);
}

void jout_done(jout *j) {
    char *text = nullptr;
    // The default writer refuses text that is not valid UTF-8, which fails the whole answer.
    if (j->doc && j->root && yyjson_mut_is_obj(j->root))
        text = yyjson_mut_write(j->doc, 0, nullptr);
    json_respond(200, text ? text : SERIALISE_FAILED_BODY);
    free(text);
    yyjson_mut_doc_free(j->doc);
    j->doc = nullptr;
    j->root = nullptr;
}

void jfail(int status, const char *message) {
    char escaped[QV_API_ERROR_ESCAPED_CAP];
    qv_ntfy_json_escape(message, escaped, sizeof escaped);
    char body[QV_API_FAIL_BODY_CAP];
    snprintf(body, sizeof body, "{\"ok\":false,\"error\":\"%s\"}", escaped);
    json_respond(status, body);
}

// The first member of the object whose name has exactly these bytes.
static yyjson_val *first_member(yyjson_val *obj, const char *name) {
    size_t name_len = strlen(name);
    yyjson_obj_iter iter = yyjson_obj_iter_with(obj);
    yyjson_val *key;
    while ((key = yyjson_obj_iter_next(&iter))) {
        if (yyjson_get_len(key) == name_len && memcmp(yyjson_get_str(key), name, name_len) == 0)
            return yyjson_obj_iter_get_val(key);
    }
    return nullptr;
}

static bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The buffer size to look a query field up with. A value longer than the buffer is cut before
// it is decoded; the cut is moved back so that it never falls inside a %XX escape.
static size_t query_lookup_size(const char *query, const char *name, size_t size, bool *cut_short) {
    const char *val = nullptr;
    size_t len = 0;
    *cut_short = false;
    if (!query || !query_raw_value(query, name, &val, &len) || len <= size - 1)
        return size;
    *cut_short = true;
    size_t cut = size - 1;
    for (size_t i = 0; i < cut;) {
        bool escape =
            val[i] == '%' && i + 2 < len && is_hex_digit(val[i + 1]) && is_hex_digit(val[i + 2]);
        if (!escape) {
            i++;
        } else if (i + 3 > cut) {
            cut = i;
        } else {
            i += 3;
        }
    }
    return cut + 1;
}

// A cut value can still end with the first bytes of an escaped character; they are dropped,
// since no JSON answer or state file accepts them.
static void drop_split_character(char *s) {
    size_t end = strlen(s);
    size_t back = 0;
    while (back < 3 && back < end && (static_cast<unsigned char>(s[end - 1 - back]) & 0xC0) == 0x80)
        back++;
    if (back == end)
        return;
    size_t need = qv_utf8_lead_length(static_cast<unsigned char>(s[end - 1 - back]));
    if (need > back + 1)
        s[end - 1 - back] = '\0';
}

int req_field(const char *query, yyjson_val *root, const char *name, char *out, size_t size) {
    if (!out || size == 0)
        return 0;
    out[0] = '\0';
    if (root && yyjson_is_obj(root)) {
        yyjson_val *v = first_member(root, name);
        if (v) {
            char number[24];
            if (yyjson_is_str(v)) {
                cp_trunc(out, size, yyjson_get_str(v));
            } else if (yyjson_is_bool(v)) {
                cp_trunc(out, size, yyjson_get_bool(v) ? "1" : "0");
            } else if (yyjson_is_int(v)) {
                int64_t n = yyjson_is_sint(v) ? yyjson_get_sint(v)
                                              : static_cast<int64_t>(yyjson_get_uint(v));
                snprintf(number, sizeof number, "%" PRId64, n);
                cp_trunc(out, size, number);
            } else {
                return 0;
            }
            return 1;
        }
    }
    bool cut_short = false;
    if (!get_query_val(query, name, out, query_lookup_size(query, name, size, &cut_short)))
        return 0;
    if (cut_short)
        drop_split_character(out);
    return 1;
}

int valid_key(const char *text) {
    if (!text)
        return 0;
    size_t i = 0;
    for (; text[i]; i++) {
        char c = text[i];
        bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex || i >= QV_SENDER_KEY_CAP - 1)
            return 0;
    }
    return i == QV_SENDER_KEY_CAP - 1;
}

// What became of the request body.
enum body_outcome { BODY_READ, BODY_TOO_LARGE, BODY_TIMED_OUT };
static body_outcome outcome = BODY_READ;

// Reads up to want bytes (the end of input may come first); the bytes read, or -1 when the
// time ran out. A web server that never ends the body must not hold this process.
static long long read_body(char *buf, size_t want) {
    int64_t deadline = qv_plat_monotonic_ms() + QV_API_BODY_READ_MS;
    size_t got = 0;
    while (got < want) {
        int64_t n = qv_plat_stdin_read(buf + got, want - got, deadline);
        if (n == QV_PLAT_STDIN_TIMED_OUT)
            return -1;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<long long>(got);
}

// The JSON body of a POST, parsed once; none when it is absent, too large or not JSON.
static yyjson_val *request_body_root(void) {
    if (!is_post_request())
        return nullptr;
    if (!tried) {
        tried = 1;
        const char *text = getenv("CONTENT_LENGTH");
        // Apache passes a chunked body without any CONTENT_LENGTH: then the body is whatever
        // comes before the end of input, up to the same limit (one byte more is too large).
        long long length = text ? strtoll(text, nullptr, 10) : QV_API_BODY_MAX + 1LL;
        if (text && length > QV_API_BODY_MAX) {
            outcome = BODY_TOO_LARGE;
            return nullptr;
        }
        if (length < 1)
            return nullptr;
        size_t want = static_cast<size_t>(length);
        cached = static_cast<char *>(malloc(want + 1));
        if (!cached)
            return nullptr;
        long long got = read_body(cached, want);
        if (got < 0) {
            outcome = BODY_TIMED_OUT;
            return nullptr;
        }
        cached[got] = '\0';
        if (got > QV_API_BODY_MAX) {
            outcome = BODY_TOO_LARGE;
            return nullptr;
        }
        if (got > 0)
            cached_doc = yyjson_read(cached, static_cast<size_t>(got), 0);
    }
    return cached_doc ? yyjson_doc_get_root(cached_doc) : nullptr;
}

// Answers a body that could not be taken; true when it did.
static bool refused_body(void) {
    if (outcome == BODY_TOO_LARGE) {
        jfail(413, "the request body is larger than 1 MiB (1048576 bytes): nothing was done");
        return true;
    }
    if (outcome == BODY_TIMED_OUT) {
        jfail(408, "the request body did not arrive within 10 s: nothing was done");
        return true;
    }
    return false;
}

struct api_action {
    const char *name;
    void (*run)(qv_api_request *r);
};

static const api_action ACTIONS[] = {
    {"status", api_status},       {"config", api_config},     {"info", api_info},
    {"save", api_save},           {"test", api_test},         {"send", api_send},
    {"pending", api_pending},     {"approved", api_approved}, {"approve", api_approve},
    {"unapprove", api_unapprove}, {"deny", api_deny},         {"logs", api_logs},
    {"start", api_start},         {"stop", api_stop},         {"add_device", api_add_device},
};

int mode_json(const char *query) {
    qv_api_request r;
    r.query = query;
    r.body = request_body_root();
    if (refused_body())
        return 0;

    char action[QV_API_ACTION_CAP];
    // Only a missing or empty action means "status"; one of blanks only trims to nothing and
    // is refused below.
    if (!req_field(query, r.body, "action", action, sizeof action) || !action[0])
        cp_trunc(action, sizeof action, "status");
    trim_inplace(action);

    // A broken config.json must not lock the user out of the page that repairs it: carry on
    // with the plain defaults.
    char err[QV_DIR_ERR_CAP] = "";
    if (qv_ntfy_config_load(&r.cfg, err, sizeof err) != 0)
        qv_ntfy_config_defaults(&r.cfg);
    // A folder refused as open to others is read by no action: an answer from the defaults
    // (no approved senders, no daemon) would pass for the truth. "info" still says who we are.
    if (strcmp(action, "info") != 0 && qv_ntfy_dir_problem(err, sizeof err) == QV_DIR_REFUSED) {
        jfail(500, err);
        return 0;
    }

    for (const api_action &a : ACTIONS) {
        if (strcmp(action, a.name) == 0) {
            a.run(&r);
            return 0;
        }
    }
    jfail(400, "unknown action");
    return 0;
}
