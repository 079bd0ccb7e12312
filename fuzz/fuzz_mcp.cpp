// Fuzzes the MCP request line handler. Publishing points at a closed loopback port, so a
// well-formed tools/call fails fast without leaving the machine.
#include "mcp_internal.h"
#include "state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qv_mcp_server *s = nullptr;
    if (!s) {
        setenv("QV_CONNECTORS_DIR", "/tmp/qv-fuzz-mcp", 1);
        s = static_cast<qv_mcp_server *>(calloc(1, sizeof(qv_mcp_server)));
        qv_ntfy_config_defaults(&s->cfg);
        snprintf(s->cfg.server_url, sizeof s->cfg.server_url, "http://127.0.0.1:1");
        snprintf(s->cfg.topic, sizeof s->cfg.topic, "fuzz");
    }
    std::string line(reinterpret_cast<const char *>(data), size);
    mcp_handle_line(s, line.data());
    return 0;
}
