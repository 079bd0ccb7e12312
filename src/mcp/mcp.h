// The stdio MCP server with its one tool, ntfy_send.
#pragma once

// Serves JSON-RPC requests from standard input until it ends; returns the exit status (0, or
// 1 when there is no memory for the server).
[[nodiscard]] int mode_mcp(void);
// The tool schema: {"tools":[...]}, as tools/list answers it and --schema prints it.
const char *qv_schema_text(void);
