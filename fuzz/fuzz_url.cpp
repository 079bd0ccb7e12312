// Fuzzes the URL parser and the request encoder with arbitrary URL text.
#include "net.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    qv_url u;
    char err[64];
    if (qv_url_parse(text.c_str(), &u, err, sizeof err) != 0)
        return 0;
    // What the parser accepts must never break a request line.
    if (strlen(u.host) > 255 || strlen(u.path) > 1023 || u.port < 1 || u.port > 65535)
        abort();
    for (const char *p = u.path; *p; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == ' ' || *p == '"' || *p == '\\')
            abort();
    char *req = nullptr;
    size_t len = 0;
    if (build_request(u.host, u.port, u.tls, "GET", u.path, nullptr, nullptr, 0, &req, &len) == 0)
        free(req);
    char enc[64];
    qv_url_encode(text.c_str(), enc, sizeof enc);
    return 0;
}
