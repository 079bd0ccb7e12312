// Inside the MCP server: the handling of one request line, which the fuzzer drives directly.
#pragma once

#include "mcp.h"

struct qv_ntfy_config;

// Handles one request line (changed in place) and writes its answer, if any.
void mcp_handle_line(const qv_ntfy_config *cfg, char *line);
