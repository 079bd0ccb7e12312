// The three discovery texts: metadata, tool schema and usage. They are constants so that
// printing them needs no configuration, no state and no network.
#include "entry/entry.h"

const char QV_VERSION[] = "1.0.2";
#define QV_DEFAULT_SERVER_URL_TEXT "https://ntfy.sh"

const char QV_DEFAULT_SERVER_URL[] = QV_DEFAULT_SERVER_URL_TEXT;

static const char META[] =
    "{\"name\":\"ntfy\",\"desc\":\"Push channel\",\"version\":\"1.0.2\",\"slug\":\"ntfy\","
    "\"id\":\"chimewick\",\"kind\":\"hybrid\",\"mcp\":true,\"daemon\":true,\"menus\":false,"
    "\"verified\":\"mock\",\"category\":\"network\",\"capabilities\":["
    "\"https_outbound_ntfy_publish\",\"https_outbound_ntfy_subscribe_stream\","
    "\"loopback_node_inbox_bridge\",\"pairing_allowlist_state_0600\","
    "\"bundled_root_store_tls_verification\",\"stdio_mcp_jsonrpc_server\"],"
    "\"tools\":[\"ntfy_send\"]}";

// The tools array is shared with the MCP server's tools/list answer, so it is written once.
#define QV_TOOLS_ARRAY                                                                          \
    "[{\"name\":\"ntfy_send\",\"description\":\"Send an ntfy push notification from the agent: " \
    "alerts, report summaries, 'task finished' pings. Posts to the configured ntfy server "     \
    "(default " QV_DEFAULT_SERVER_URL_TEXT ") and the configured topic. Returns the published " \
    "message id.\","                                                                            \
    "\"inputSchema\":{  \"type\":\"object\",  \"properties\":{    "                             \
    "\"message\":{\"type\":\"string\",\"description\":\"Notification body (required).\"},    "  \
    "\"title\":{\"type\":\"string\",\"description\":\"Optional notification title.\"},    "     \
    "\"priority\":{\"type\":\"integer\",\"description\":\"ntfy priority 1..5 (min low .. max "  \
    "urgent). Default 3.\",\"minimum\":1,\"maximum\":5},    "                                   \
    "\"tags\":{\"type\":\"string\",\"description\":\"Optional comma-separated emoji tag names, " \
    "e.g. 'warning,bell'.\"},    "                                                              \
    "\"topic\":{\"type\":\"string\",\"description\":\"Optional override topic (defaults to the " \
    "configured publish topic).\"}  },  \"required\":[\"message\"]}}]"

static const char TOOLS_ARRAY[] = QV_TOOLS_ARRAY;
static const char SCHEMA[] = "{\"tools\":" QV_TOOLS_ARRAY "}";

static const char USAGE[] = "chimewick 1.0.2 -- QUORVANE BOT ntfy channel connector\n"
                            "  --meta            JSON discovery metadata (unauthenticated)\n"
                            "  --mcp             stdio MCP server exposing the ntfy_send tool\n"
                            "  --schema          the tool schema only\n"
                            "  --daemon          channel gateway: ntfy <-> node /inbox bridge\n"
                            "  (no args, CGI)    Setup & Topic Pairing UI + ?action= JSON API\n";

const char *qv_meta_text(void) {
    return META;
}
const char *qv_schema_text(void) {
    return SCHEMA;
}
const char *qv_usage_text(void) {
    return USAGE;
}
const char *qv_schema_tools_array(void) {
    return TOOLS_ARRAY;
}
