// Entry and modes: the program's top. Mode dispatch and the password gate, and the discovery
// texts. Nothing includes this header but main and the tests.
#pragma once

// The discovery texts (the tool schema is the MCP server's: qv_schema_text in mcp.h).
const char *qv_meta_text(void);
const char *qv_usage_text(void);

// 1 when the CGI request presents the node password (or none is configured).
[[nodiscard]] int cgi_password_admits(void);
// The whole program: picks the mode from the arguments and the environment and runs it.
int qv_main(int argc, char **argv);
