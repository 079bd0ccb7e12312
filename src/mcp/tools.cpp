// The MCP server's one tool, described once: the tools/list answer and `--schema` print the
// same text.
#include "mcp.h"

#include "base.h"

static const char SCHEMA[] =
    "{\"tools\":[{\"name\":\"ntfy_send\",\"description\":\"Send an ntfy push notification from "
    "the agent: alerts, report summaries, 'task finished' pings. Posts to the configured ntfy "
    "server (default " QV_DEFAULT_SERVER_URL_TEXT ") and the configured topic. Returns the "
    "published message id.\","
    "\"inputSchema\":{  \"type\":\"object\",  \"properties\":{    "
    "\"message\":{\"type\":\"string\",\"description\":\"Notification body (required).\"},    "
    "\"title\":{\"type\":\"string\",\"description\":\"Optional notification title.\"},    "
    "\"priority\":{\"type\":\"integer\",\"description\":\"ntfy priority 1..5 (min low .. max "
    "urgent). Default 3.\",\"minimum\":1,\"maximum\":5},    "
    "\"tags\":{\"type\":\"string\",\"description\":\"Optional comma-separated emoji tag names, "
    "e.g. 'warning,bell'.\"},    "
    "\"topic\":{\"type\":\"string\",\"description\":\"Optional override topic (defaults to the "
    "configured publish topic).\"}  },  \"required\":[\"message\"]}}]}";

const char *qv_schema_text(void) {
    return SCHEMA;
}
