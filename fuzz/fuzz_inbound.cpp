// Fuzzes the daemon's stream line handler. The node and the ntfy server point at a closed
// loopback port, so every forward and challenge fails fast without leaving the machine.
#include "daemon_internal.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static qv_daemon *d = nullptr;
    if (!d) {
        setenv("QV_CONNECTORS_DIR", "/tmp/qv-fuzz-inbound", 1);
        d = static_cast<qv_daemon *>(calloc(1, sizeof(qv_daemon)));
        qv_ntfy_config_defaults(&d->cfg);
        snprintf(d->cfg.server_url, sizeof d->cfg.server_url, "http://127.0.0.1:1");
        snprintf(d->cfg.bot_api_url, sizeof d->cfg.bot_api_url, "http://127.0.0.1:1");
        snprintf(d->cfg.topic, sizeof d->cfg.topic, "fuzz");
        snprintf(d->cfg.target_session, sizeof d->cfg.target_session, "main");
        snprintf(d->cfg.reply_prefix, sizeof d->cfg.reply_prefix, "BOT: ");
    }
    // The first byte picks the gate, so both the pairing path and the forward path run.
    if (size == 0)
        return 0;
    d->cfg.allow_all = data[0] & 1;
    std::string line(reinterpret_cast<const char *>(data + 1), size - 1);
    daemon_handle_line(d, line.c_str());
    char code[QV_PAIR_CODE_READ_CAP];
    if (pair_command_parse(line.c_str(), code, sizeof code) && strlen(code) > 16)
        abort();
    return 0;
}
