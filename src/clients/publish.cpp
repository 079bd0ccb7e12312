// Publishing one notification to ntfy: a POST of the message to the topic's path with the
// options as headers. Every notification carries the tag "quorvane" and our X-Source-Id, so
// the daemon can tell our own messages from inbound ones when the server echoes them.
#include "clients_internal.h"

#include "base.h"
#include "net.h"
#include "state.h"

#include <cstdio>
#include <cstring>
#include <yyjson.h>

enum {
    QV_PUB_SERVER_URL_CAP = 512,
    QV_PUB_TITLE_LINE_CAP = 260,
    QV_PUB_TAGS_CLEAN_CAP = 220,
    QV_PUB_TAGS_LINE_CAP = 340,
    QV_PUB_AUTH_LINE_CAP = 300,
    QV_PUB_SMALL_LINE_CAP = 64,
    QV_PUB_HEADER_LINES = 6,
    QV_PUB_EXCERPT_MAX = 199,
    QV_PUB_TIMEOUT_MS = 15000,
};

[[nodiscard]] static int check_topic(const char *topic, char *err, size_t cap) {
    if (!topic || !*topic) {
        qv_errf(err, cap, "no topic");
        return -1;
    }
    if (strlen(topic) > QV_TOPIC_NAME_MAX) {
        qv_errf(err, cap, "bad topic length");
        return -1;
    }
    if (!valid_topic_name(topic)) {
        qv_errf(err, cap, "topic contains forbidden characters");
        return -1;
    }
    return 0;
}

// Formats one header line, cut to its capacity without splitting a character.
static void header_line(char *line, size_t cap, const char *fmt, const char *value) {
    char full[QV_PUB_SERVER_URL_CAP * 2];
    snprintf(full, sizeof full, fmt, value);
    cp_trunc(line, cap, full);
}

// Drops control bytes from the caller's tags and keeps at most 219 bytes.
static void clean_tags(const char *tags, char *out, size_t cap) {
    char kept[QV_PUB_SERVER_URL_CAP * 2];
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(tags);
         *p && n + 1 < sizeof kept; p++)
        if (*p >= 0x20)
            kept[n++] = static_cast<char>(*p);
    kept[n] = '\0';
    cp_trunc(out, cap, kept);
}

struct publish_headers {
    char title[QV_PUB_TITLE_LINE_CAP];
    char tags[QV_PUB_TAGS_LINE_CAP];
    char priority[QV_PUB_SMALL_LINE_CAP];
    char auth[QV_PUB_AUTH_LINE_CAP];
    const char *list[QV_PUB_HEADER_LINES + 1];
};

static void build_headers(publish_headers *h, const qv_ntfy_config *cfg, const char *title,
                          int priority, const char *tags) {
    int n = 0;
    if (title && *title) {
        header_line(h->title, sizeof h->title, "Title: %s", title);
        h->list[n++] = h->title;
    }
    if (tags && *tags) {
        char cleaned[QV_PUB_TAGS_CLEAN_CAP];
        clean_tags(tags, cleaned, sizeof cleaned);
        header_line(h->tags, sizeof h->tags, "Tags: %s,quorvane", cleaned);
    } else {
        cp_trunc(h->tags, sizeof h->tags, "Tags: quorvane");
    }
    h->list[n++] = h->tags;
    if (priority >= 1 && priority <= 5) {
        snprintf(h->priority, sizeof h->priority, "Priority: %d", priority);
        h->list[n++] = h->priority;
    }
    if (cfg->markdown)
        h->list[n++] = "X-Markdown: true";
    if (cfg->bearer_token[0]) {
        // The stored token is the whole header value, scheme word included.
        header_line(h->auth, sizeof h->auth, "Authorization: %s", cfg->bearer_token);
        h->list[n++] = h->auth;
    }
    h->list[n++] = "X-Source-Id: quorvane-bot-chimewick";
    h->list[n] = nullptr;
}

void ntfy_publish_read_id(const char *body, size_t len, char id_out[QV_PUB_ID_CAP]) {
    id_out[0] = '\0';
    if (!body || len == 0)
        return;
    qv_json_doc doc(yyjson_read(body, len, 0));
    yyjson_val *id = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "id");
    if (yyjson_is_str(id))
        cp_trunc(id_out, QV_PUB_ID_CAP, yyjson_get_str(id));
}

static void status_error(int status, const char *body, size_t len, char *err, size_t cap) {
    char excerpt[QV_PUB_EXCERPT_MAX + 1] = "";
    if (body) {
        // A proxy in front of ntfy may answer in any encoding.
        size_t n = qv_utf8_repair(body, len, excerpt, sizeof excerpt);
        while (n > 0 && (excerpt[n - 1] == '\n' || excerpt[n - 1] == '\r'))
            excerpt[--n] = '\0';
    }
    qv_errf(err, cap, "ntfy server answered %d%s%s", status, excerpt[0] ? ": " : "", excerpt);
}

void ntfy_topic_path(const qv_url *server, const char *topic, const char *suffix, char *out,
                     size_t cap) {
    // A query or fragment on the base URL is not part of where ntfy lives.
    size_t base = strcspn(server->path, "?#");
    while (base > 0 && server->path[base - 1] == '/')
        base--;
    char encoded[QV_NTFY_TOPIC_ENC_CAP];
    qv_url_encode(topic, encoded, sizeof encoded);
    snprintf(out, cap, "%.*s/%s%s", static_cast<int>(base), server->path, encoded,
             suffix ? suffix : "");
}

// The server URL parsed and the topic's path on it. 0 or -1.
[[nodiscard]] static int publish_target(const qv_ntfy_config *cfg, const char *topic, qv_url *url,
                                        char *path, size_t path_cap, char *err, size_t cap) {
    if (qv_url_parse(cfg->server_url, url, err, cap) != 0)
        return -1;
    ntfy_topic_path(url, topic, "", path, path_cap);
    return 0;
}

static bool contains_nocase(const char *text, const char *word) {
    size_t n = strlen(word);
    for (const char *p = text; *p; p++)
        if (strncasecmp(p, word, n) == 0)
            return true;
    return false;
}

qv_pub_failure_kind ntfy_failure_kind(int status, const char *body) {
    if (status == 0 || status == 408 || status == 429 || (status >= 500 && status <= 599))
        return QV_PUB_WAIT;
    if (status == 401 || status == 403)
        return QV_PUB_TOKEN;
    // ntfy turns a body over its message limit into an attachment, and refuses it with 400
    // "attachments not allowed" when it keeps no attachments.
    if (status == 413 || (body && (contains_nocase(body, "too large") ||
                                   contains_nocase(body, "attachment"))))
        return QV_PUB_TOO_LARGE;
    return QV_PUB_CONTENT;
}

int ntfy_publish(const qv_ntfy_config *cfg, const char *topic, const char *message,
                 const char *title, int priority, const char *tags,
                 char id_out[QV_PUB_ID_CAP], char *err, size_t cap) {
    qv_pub_failure why;
    return ntfy_publish_sorted(cfg, topic, message, title, priority, tags, id_out, &why, err, cap);
}

int ntfy_publish_sorted(const qv_ntfy_config *cfg, const char *topic, const char *message,
                        const char *title, int priority, const char *tags,
                        char id_out[QV_PUB_ID_CAP], qv_pub_failure *why, char *err, size_t cap) {
    id_out[0] = '\0';
    // A publish that never reached the server is refused for its content (the topic, the URL).
    why->kind = QV_PUB_CONTENT;
    why->status = 0;
    why->retry_after_s = -1;
    if (check_topic(topic, err, cap) != 0)
        return -1;
    qv_url url;
    char path[QV_NTFY_PATH_CAP];
    if (publish_target(cfg, topic, &url, path, sizeof path, err, cap) != 0)
        return -1;
    publish_headers headers;
    build_headers(&headers, cfg, title, priority, tags);
    const qv_tls_opts tls = {cfg->allowed_pins[0] ? cfg->allowed_pins : nullptr,
                             cfg->ca_file[0] ? cfg->ca_file : nullptr, qv_ntfy_tls_insecure()};
    qv_http_reply reply;
    if (qv_http_exchange(&url, &tls, QV_PUB_TIMEOUT_MS, "POST", path, headers.list,
                         message ? message : "", message ? strlen(message) : 0, &reply, err,
                         cap) != 0) {
        why->kind = QV_PUB_WAIT; // no answer: the server away, or a time-out
        return -1;
    }
    if (reply.status < 200 || reply.status > 299) {
        status_error(reply.status, reply.body.get(), reply.len, err, cap);
        why->status = reply.status;
        why->retry_after_s = reply.retry_after_s;
        why->kind = ntfy_failure_kind(reply.status, reply.body.get());
        return -1;
    }
    ntfy_publish_read_id(reply.body.get(), reply.len, id_out);
    return 0;
}

int ntfy_read_check(const qv_ntfy_config *cfg, const char *topic, char *err, size_t cap) {
    if (check_topic(topic, err, cap) != 0)
        return -1;
    qv_url url;
    if (qv_url_parse(cfg->server_url, &url, err, cap) != 0)
        return -1;
    // A poll from now on hands back nothing and ends at once: only the permission is asked.
    char suffix[64];
    snprintf(suffix, sizeof suffix, "/json?poll=1&since=%lld",
             static_cast<long long>(qv_ntfy_now_epoch()));
    char path[QV_NTFY_PATH_CAP];
    ntfy_topic_path(&url, topic, suffix, path, sizeof path);
    char auth[QV_PUB_AUTH_LINE_CAP];
    const char *headers[2] = {nullptr, nullptr};
    if (cfg->bearer_token[0]) {
        header_line(auth, sizeof auth, "Authorization: %s", cfg->bearer_token);
        headers[0] = auth;
    }
    const qv_tls_opts tls = {cfg->allowed_pins[0] ? cfg->allowed_pins : nullptr,
                             cfg->ca_file[0] ? cfg->ca_file : nullptr, qv_ntfy_tls_insecure()};
    qv_http_reply reply;
    if (qv_http_exchange(&url, &tls, QV_PUB_TIMEOUT_MS, "GET", path, headers, "", 0, &reply, err,
                         cap) != 0)
        return -1;
    if (reply.status < 200 || reply.status > 299) {
        status_error(reply.status, reply.body.get(), reply.len, err, cap);
        return -1;
    }
    return 0;
}
