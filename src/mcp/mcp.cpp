// The stdio MCP server: JSON-RPC 2.0 requests, one per line, answered one line each, with the
// one tool ntfy_send publishing through the shared publisher.
#include "mcp_internal.h"

#include "base.h"
#include "clients.h"
#include "platform.h"
#include "state.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum {
    QV_MCP_INIT_CAP = 512 + QV_MCP_ID_TEXT_CAP,
    QV_MCP_ERROR_CAP = 700 + QV_MCP_ID_TEXT_CAP,
    QV_MCP_ERROR_MSG_CAP = 512,
    QV_MCP_RESULT_RAW_CAP = 1200,
    QV_MCP_TITLE_CAP = 200,
    QV_MCP_TAGS_CAP = 200,
    QV_MCP_TOPIC_CAP = 160,
    QV_MCP_PUBLISH_ERR_CAP = 512,
    QV_MCP_CONFIG_ERR_CAP = QV_DIR_ERR_CAP, // a refused state folder is named twice
};

static const char PROTOCOL_VERSION[] = "2024-11-05";
static const char NEED_MESSAGE[] = "ntfy_send requires a non-empty 'message'";

// The request id as the JSON text written back: an integer as decimal digits, a string quoted
// and escaped. Clients make either kind (some SDKs only strings), and one that never gets its
// answer waits for ever. Anything else (null, a fraction, an object, a string too long to echo
// whole or holding a zero byte) makes the request a notification: processed, never answered.
struct mcp_id {
    bool present;
    char text[QV_MCP_ID_TEXT_CAP];
};

static bool read_string_id(yyjson_val *v, mcp_id *id) {
    size_t len = yyjson_get_len(v);
    const char *s = yyjson_get_str(v);
    if (len > QV_MCP_STRING_ID_MAX || strlen(s) != len)
        return false;
    // Six bytes per character at most, so the whole id always fits: the echo is exact.
    id->text[0] = '"';
    qv_ntfy_json_escape(s, id->text + 1, sizeof id->text - 2);
    size_t n = strlen(id->text);
    id->text[n] = '"';
    id->text[n + 1] = '\0';
    return true;
}

static mcp_id read_id(yyjson_val *req) {
    mcp_id id = {};
    yyjson_val *v = yyjson_obj_get(req, "id");
    if (yyjson_is_str(v)) {
        id.present = read_string_id(v, &id);
    } else if (yyjson_is_sint(v)) {
        snprintf(id.text, sizeof id.text, "%" PRId64, yyjson_get_sint(v));
        id.present = true;
    } else if (yyjson_is_uint(v)) {
        // Written back as received, so a client's large id is echoed, not wrapped negative.
        snprintf(id.text, sizeof id.text, "%" PRIu64, yyjson_get_uint(v));
        id.present = true;
    }
    return id;
}

static void mcp_send_raw(const char *line) {
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

static void mcp_error(const char *id, int code, const char *message) {
    char escaped[QV_MCP_ERROR_MSG_CAP];
    qv_ntfy_json_escape(message, escaped, sizeof escaped);
    char line[QV_MCP_ERROR_CAP];
    snprintf(line, sizeof line,
             "{\"jsonrpc\":\"2.0\",\"id\":%s,\"error\":{\"code\":%d,\"message\":\"%s\"}}", id, code,
             escaped);
    mcp_send_raw(line);
}

static void answer_initialize(const char *id) {
    char line[QV_MCP_INIT_CAP];
    snprintf(line, sizeof line,
             "{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{\"protocolVersion\":\"%s\","
             "\"capabilities\":{\"tools\":{}},\"serverInfo\":{\"name\":\"chimewick\","
             "\"version\":\"%s\"},\"instructions\":\"ntfy push + channel connector for "
             "QUORVANE BOT. Use ntfy_send to deliver notifications.\"}}",
             id, PROTOCOL_VERSION, QV_VERSION);
    mcp_send_raw(line);
}

static void answer_ping(const char *id) {
    char line[QV_MCP_INIT_CAP];
    snprintf(line, sizeof line, "{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{}}", id);
    mcp_send_raw(line);
}

static void answer_tools_list(const char *id) {
    fprintf(stdout, "{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":%s}\n", id, qv_schema_text());
    fflush(stdout);
}

static void answer_tool_result(qv_mcp_server *s, const char *id, const char *raw, bool is_error) {
    qv_ntfy_json_escape(raw, s->escaped, sizeof s->escaped);
    snprintf(s->answer, sizeof s->answer,
             "{\"jsonrpc\":\"2.0\",\"id\":%s,\"result\":{\"content\":[{\"type\":\"text\","
             "\"text\":\"%s\"}],\"isError\":%s}}",
             id, s->escaped, is_error ? "true" : "false");
    mcp_send_raw(s->answer);
}

// The arguments of one ntfy_send call, each taken only when it has the right type.
struct send_args {
    const char *message;
    char title[QV_MCP_TITLE_CAP];
    char tags[QV_MCP_TAGS_CAP];
    char topic[QV_MCP_TOPIC_CAP];
    int priority;
};

static void read_send_args(yyjson_val *args, int configured_priority, send_args *a) {
    memset(a, 0, sizeof *a);
    a->priority = configured_priority;
    yyjson_val *v = yyjson_obj_get(args, "message");
    a->message = yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
    if (yyjson_is_str(v = yyjson_obj_get(args, "title")))
        cp_trunc(a->title, sizeof a->title, yyjson_get_str(v));
    if (yyjson_is_str(v = yyjson_obj_get(args, "tags")))
        cp_trunc(a->tags, sizeof a->tags, yyjson_get_str(v));
    if (yyjson_is_str(v = yyjson_obj_get(args, "topic")))
        cp_trunc(a->topic, sizeof a->topic, yyjson_get_str(v));
    v = yyjson_obj_get(args, "priority");
    if (yyjson_is_int(v)) {
        // A large unsigned value reads as negative here and is left out like any other.
        int64_t p = yyjson_get_sint(v);
        if (p >= 1 && p <= 5)
            a->priority = static_cast<int>(p);
    }
}

static const char *choose_topic(const qv_ntfy_config *cfg, const send_args *a) {
    if (a->topic[0])
        return a->topic;
    const char *topic = qv_ntfy_reply_topic(cfg);
    return topic[0] ? topic : nullptr;
}

// Runs ntfy_send; answers only when the request carried an id.
static void call_tool(qv_mcp_server *s, yyjson_val *req, const mcp_id &id) {
    const qv_ntfy_config *cfg = &s->cfg;
    yyjson_val *params = yyjson_obj_get(req, "params");
    yyjson_val *name = yyjson_obj_get(params, "name");
    if (!yyjson_is_obj(params) || !yyjson_is_str(name) ||
        strcmp(yyjson_get_str(name), "ntfy_send") != 0) {
        if (id.present)
            mcp_error(id.text, -32602, "unknown tool");
        return;
    }
    yyjson_val *args = yyjson_obj_get(params, "arguments");
    send_args a;
    read_send_args(args, cfg->priority, &a);
    if (!yyjson_is_obj(args) || !a.message || !a.message[0]) {
        if (id.present)
            mcp_error(id.text, -32602, NEED_MESSAGE);
        return;
    }
    const char *topic = choose_topic(cfg, &a);
    if (!topic) {
        if (id.present)
            mcp_error(id.text, -32603,
                      "no topic configured: open the ntfy plugin UI or set NTFY_TOPIC");
        return;
    }
    char msg_id[QV_PUB_ID_CAP];
    char perr[QV_MCP_PUBLISH_ERR_CAP] = "";
    char raw[QV_MCP_RESULT_RAW_CAP];
    bool failed = ntfy_publish(cfg, topic, a.message, a.title, a.priority, a.tags, msg_id, perr,
                               sizeof perr) != 0;
    if (failed)
        snprintf(raw, sizeof raw, "ntfy_send failed: %s", perr);
    else
        snprintf(raw, sizeof raw, "published to %s (id %s, priority %d)", topic,
                 msg_id[0] ? msg_id : "?", a.priority);
    if (id.present)
        answer_tool_result(s, id.text, raw, failed);
    // The agent waits for the answer, not for the ledger file; the next request is read only
    // after the id is noted, and the "quorvane" tag marks the message as ours meanwhile.
    if (!failed && msg_id[0])
        (void)qv_ntfy_sent_note(msg_id); // kept in this process when the file cannot be written
}

static void dispatch(qv_mcp_server *s, yyjson_val *req) {
    mcp_id id = read_id(req);
    yyjson_val *m = yyjson_obj_get(req, "method");
    const char *method = yyjson_is_str(m) ? yyjson_get_str(m) : "";
    if (strncmp(method, "notifications/", 14) == 0)
        return;
    if (strcmp(method, "tools/call") == 0) {
        call_tool(s, req, id);
        return;
    }
    if (!id.present)
        return;
    if (strcmp(method, "initialize") == 0)
        answer_initialize(id.text);
    else if (strcmp(method, "ping") == 0)
        answer_ping(id.text);
    else if (strcmp(method, "tools/list") == 0)
        answer_tools_list(id.text);
    else
        mcp_error(id.text, -32601, "method not found");
}

void mcp_handle_line(qv_mcp_server *s, char *line) {
    trim_inplace(line);
    if (!line[0])
        return;
    // Lines that do not parse, batches and non-object roots get no answer at all.
    qv_json_doc doc(yyjson_read(line, strlen(line), 0));
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    if (yyjson_is_obj(root) && yyjson_obj_size(root) > 0)
        dispatch(s, root);
}

// Reads one request line into buf (line feed dropped). A line longer than the buffer is read
// to its end and dropped whole: answering a piece of it could answer something the client
// never sent. Returns 1 with a line, 0 for a line to drop, -1 at the end of input.
static int read_request_line(char *buf, size_t cap) {
    size_t len = 0;
    bool overlong = false, has_nul = false;
    int c;
    while ((c = getc(stdin)) != EOF && c != '\n') {
        if (len + 1 < cap) {
            buf[len++] = static_cast<char>(c);
            has_nul = has_nul || c == 0;
        } else {
            overlong = true;
        }
    }
    buf[len] = '\0';
    if (c == EOF && len == 0 && !overlong)
        return -1;
    // A zero byte is never valid JSON; the text before it must not be taken for the request.
    return overlong || has_nul ? 0 : 1;
}

int mode_mcp(void) {
    // On the heap and zeroed: the record carries the request line and the answer buffers.
    qv_heap<qv_mcp_server> s(static_cast<qv_mcp_server *>(calloc(1, sizeof(qv_mcp_server))));
    if (!s) {
        fputs("chimewick --mcp: out of memory\n", stderr);
        return 1;
    }
    char err[QV_MCP_CONFIG_ERR_CAP] = "";
    if (qv_ntfy_config_load(&s->cfg, err, sizeof err) != 0)
        fprintf(stderr, "chimewick --mcp: config problem: %s\n", err);
    qv_plat_stdio_binary();
    int got;
    while ((got = read_request_line(s->line, sizeof s->line)) >= 0)
        if (got == 1)
            mcp_handle_line(s.get(), s->line);
    return 0;
}
