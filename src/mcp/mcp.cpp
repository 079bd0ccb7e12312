// The stdio MCP server. Not built yet: the mode says so and fails.
#include "mcp/mcp.h"

#include <cstdio>

int mode_mcp(void) {
    fputs("chimewick: the MCP server (--mcp) is not available in this build yet\n", stderr);
    return 1;
}
