// The discovery texts: metadata and usage (the tool schema is the MCP server's own). They are
// constants so that printing them needs no configuration, no state and no network.
#include "entry.h"

#include "base.h"

static const char META[] =
    "{\"name\":\"ntfy\",\"desc\":\"Push channel\",\"version\":\"" QV_VERSION_TEXT "\",\"slug\":\"ntfy\","
    "\"id\":\"chimewick\",\"kind\":\"hybrid\",\"mcp\":true,\"daemon\":true,\"menus\":false,"
    "\"verified\":\"mock\",\"category\":\"network\",\"capabilities\":["
    "\"https_outbound_ntfy_publish\",\"https_outbound_ntfy_subscribe_stream\","
    "\"loopback_node_inbox_bridge\",\"pairing_allowlist_state_0600\","
    "\"bundled_root_store_tls_verification\",\"stdio_mcp_jsonrpc_server\"],"
    "\"tools\":[\"ntfy_send\"]}";

static const char USAGE[] = "chimewick " QV_VERSION_TEXT " -- QUORVANE BOT ntfy channel connector\n"
                            "  --meta            JSON discovery metadata (unauthenticated)\n"
                            "  --mcp             stdio MCP server exposing the ntfy_send tool\n"
                            "  --schema          the tool schema only\n"
                            "  --daemon          channel gateway: ntfy <-> node /inbox bridge\n"
                            "  (no args, CGI)    Setup & Topic Pairing UI + ?action= JSON API\n";

const char *qv_meta_text(void) {
    return META;
}
const char *qv_usage_text(void) {
    return USAGE;
}
