// Fuzzes the MCP request line handler. Publishing points at a closed loopback port, so a
// well-formed tools/call fails fast without leaving the machine.
#include "mcp.h"
#include "state.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qv_ntfy_config cfg;
    static bool ready = false;
    if (!ready) {
        setenv("QV_CONNECTORS_DIR", "/tmp/qv-fuzz-mcp", 1);
        qv_ntfy_config_defaults(&cfg);
        snprintf(cfg.server_url, sizeof cfg.server_url, "http://127.0.0.1:1");
        snprintf(cfg.topic, sizeof cfg.topic, "fuzz");
        ready = true;
    }
    std::string line(reinterpret_cast<const char *>(data), size);
    mcp_handle_line(&cfg, line.data());
    return 0;
}
