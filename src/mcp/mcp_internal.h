// Inside the MCP server: its context record and the handling of one request line, which the
// fuzzer drives directly.
#pragma once

#include "mcp.h"

#include "state.h"

enum {
    QV_MCP_LINE_CAP = 65536,
    QV_MCP_RESULT_CAP = 97200,
    QV_MCP_RESULT_TEXT_CAP = 96000,
};

// Everything the server works with while it serves: the configuration read at start and the
// working buffers for the request line and the largest answer. Allocated once, zeroed.
enum {
    QV_MCP_STRING_ID_MAX = 256, // longest string id echoed
    QV_MCP_ID_TEXT_CAP = 6 * QV_MCP_STRING_ID_MAX + 3, // escaped, quoted, terminated
};

struct qv_mcp_server {
    qv_ntfy_config cfg;
    char line[QV_MCP_LINE_CAP];           // the request line being read
    char escaped[QV_MCP_RESULT_TEXT_CAP]; // a tool result's text, escaped for JSON
    char answer[QV_MCP_RESULT_CAP];       // the tool result line written back
};

// Handles one request line (changed in place) and writes its answer, if any.
void mcp_handle_line(qv_mcp_server *s, char *line);
