// Fuzzes what the setup API takes from the owner as typed: pin lists, access tokens and numbers.
#include "base.h"
#include "net.h"
#include "state.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    char pins[QV_CFG_PINS_CAP];
    char err[256];
    // What is accepted is lower-case hex joined by commas, and reads back as itself.
    if (qv_pins_normalize(text.c_str(), pins, sizeof pins, err, sizeof err) == 0) {
        for (const char *p = pins; *p; p++)
            if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || *p == ','))
                abort();
        char again[QV_CFG_PINS_CAP];
        if (qv_pins_normalize(pins, again, sizeof again, err, sizeof err) != 0 ||
            strcmp(pins, again) != 0)
            abort();
    }
    // A token that is accepted can always go into a header line.
    char token[QV_CFG_SECRET_CAP];
    if (qv_ntfy_token_normalize(text.c_str(), token, sizeof token, err, sizeof err) == 0)
        for (const char *p = token; *p; p++)
            if (*p == '\r' || *p == '\n' || static_cast<unsigned char>(*p) >= 0x7F)
                abort();
    int64_t n = 0;
    if (qv_read_whole_number(text.c_str(), &n) == 0 && n < 0)
        abort();
    return 0;
}
