// The stdio MCP server with its one tool, ntfy_send.
#pragma once

// Serves JSON-RPC requests from standard input until it ends; returns the exit status.
int mode_mcp(void);
