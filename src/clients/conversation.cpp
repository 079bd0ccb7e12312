// Reading the node's conversation: the agent replies after the relay's cursor, oldest first,
// with their positions, so the relay can publish each one and move past it only then.
#include "clients_internal.h"

#include "base.h"
#include "net.h"
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <yyjson.h>

enum {
    QV_NODE_SESSION_ENC_CAP = 560,
    QV_NODE_PATH_CAP = 1200,
    QV_NODE_PASSWORD_LINE_CAP = 360,
    QV_NODE_TIMEOUT_MS = 5000,
};

// Entries that are the conversation's own machinery or the person's words, never relayed.
static const char *const SILENT_ROLES[] = {"user", "tool_use", "tool_result",
                                           "thinking", "info", "unknown"};

int qv_node_url(const qv_ntfy_config *cfg, qv_url *url) {
    if (qv_url_parse(cfg->bot_api_url, url, nullptr, 0) != 0)
        return -1;
    return 0;
}

int qv_node_is_loopback_or_tls(const qv_url *url) {
    return url->tls || strcmp(url->host, "127.0.0.1") == 0 || strcmp(url->host, "localhost") == 0;
}

void qv_node_password_line(const qv_ntfy_config *cfg, char *line, size_t cap) {
    line[0] = '\0';
    if (!cfg->bot_password[0])
        return;
    char full[2 * QV_NODE_PASSWORD_LINE_CAP];
    snprintf(full, sizeof full, "X-Bot-Password: %s", cfg->bot_password);
    cp_trunc(line, cap, full);
}

static bool relayable_role(yyjson_val *role) {
    if (!yyjson_is_str(role) || yyjson_get_len(role) == 0)
        return false;
    for (const char *silent : SILENT_ROLES)
        if (strcmp(yyjson_get_str(role), silent) == 0)
            return false;
    return true;
}

// start + 1 + k without wrapping: a node that reports a huge start_index must not send the
// relay back to the beginning of the conversation.
static int64_t position_of(int64_t start, size_t k) {
    if (k >= static_cast<size_t>(INT64_MAX))
        return INT64_MAX;
    int64_t step = static_cast<int64_t>(k) + 1;
    if (start > 0 && step > INT64_MAX - start)
        return INT64_MAX;
    return start + step; // start <= 0 and step > 0 cannot overflow
}

static const char *reply_text(yyjson_val *entry) {
    if (!yyjson_is_obj(entry) || yyjson_obj_size(entry) == 0)
        return nullptr;
    yyjson_val *content = yyjson_obj_get(entry, "content");
    // A text that starts with an escaped NUL ("\u0000...") is empty as the text published.
    if (!relayable_role(yyjson_obj_get(entry, "role")) || !yyjson_is_str(content) ||
        yyjson_get_len(content) == 0 || yyjson_get_str(content)[0] == '\0')
        return nullptr;
    return yyjson_get_str(content);
}

// A conversation that started again (the node reset it, or came back with a fresh session) is
// shorter than a cursor placed in the old one: its `total` says so, or, from a node without
// one, an empty page that starts before the cursor.
static bool conversation_restarted(yyjson_val *root, int64_t after, int64_t entries) {
    if (after <= 0)
        return false;
    int64_t total = -1;
    qv_json_take_i64(root, "total", &total);
    if (total >= 0)
        return total < after;
    int64_t start = -1;
    qv_json_take_i64(root, "start_index", &start);
    return entries == 0 && start >= 0 && start < after;
}

static void page_clear(qv_reply_page *page, int64_t after) {
    page->entries = 0;
    page->last = after;
    page->count = 0;
    page->full = false;
    page->restarted = false;
}

int conversation_read_page(const char *body, size_t len, int64_t after, int max_replies,
                           qv_reply_page *page) {
    page_clear(page, after);
    qv_json_doc doc(yyjson_read(body, len, 0));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *messages = yyjson_obj_get(root, "messages");
    if (!yyjson_is_obj(root) || !yyjson_is_arr(messages))
        return -1;
    if (max_replies > QV_REPLY_BATCH)
        max_replies = QV_REPLY_BATCH;
    int64_t start = 0;
    qv_json_take_i64(root, "start_index", &start);
    page->entries = static_cast<int64_t>(yyjson_arr_size(messages));
    if (conversation_restarted(root, after, page->entries)) {
        // Nothing of it is taken here: the relay asks again from its beginning.
        page->restarted = true;
        return 0;
    }
    size_t k, max;
    yyjson_val *entry;
    yyjson_arr_foreach(messages, k, max, entry) {
        int64_t position = position_of(start, k);
        // A node that hands back what the relay already has must not get it published again.
        if (position <= page->last)
            continue;
        const char *text = max_replies > 0 ? reply_text(entry) : nullptr;
        if (text && page->count == max_replies) {
            page->full = true;
            break;
        }
        if (text) {
            qv_reply *r = &page->replies[page->count++];
            r->position = position;
            cp_trunc(r->text, sizeof r->text, text);
        }
        page->last = position;
    }
    return 0;
}

int poll_replies(const qv_ntfy_config *cfg, int64_t after, int max_replies, qv_reply_page *page) {
    page_clear(page, after);
    qv_url url;
    // The node password is only ever sent in the clear to this machine.
    if (qv_node_url(cfg, &url) != 0 || !qv_node_is_loopback_or_tls(&url))
        return -1;
    char session[QV_NODE_SESSION_ENC_CAP];
    qv_url_encode(cfg->target_session, session, sizeof session);
    char path[QV_NODE_PATH_CAP];
    snprintf(path, sizeof path, "/conversation?id=%s&after=%" PRId64 "&limit=%d", session, after,
             static_cast<int>(QV_NODE_PAGE));
    char password[QV_NODE_PASSWORD_LINE_CAP];
    qv_node_password_line(cfg, password, sizeof password);
    const char *headers[] = {"Accept: application/json", password[0] ? password : nullptr,
                             nullptr};
    qv_http_reply reply;
    if (qv_http_exchange(&url, nullptr, QV_NODE_TIMEOUT_MS, "GET", path, headers, nullptr, 0,
                         &reply, nullptr, 0) != 0 ||
        reply.status != 200 || !reply.body || reply.len == 0)
        return -1;
    return conversation_read_page(reply.body.get(), reply.len, after, max_replies, page);
}
