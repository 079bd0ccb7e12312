// The stdio MCP server with its one tool, ntfy_send.
#pragma once

struct qv_ntfy_config;

// Serves JSON-RPC requests from standard input until it ends; returns the exit status.
int mode_mcp(void);
// Handles one request line (changed in place) and writes its answer, if any.
void mcp_handle_line(const qv_ntfy_config *cfg, char *line);
// Writes one answer line and flushes standard output.
void mcp_send_raw(const char *line);
// Writes a JSON-RPC error answer for the request id given as decimal text.
void mcp_error(const char *id, int code, const char *message);
