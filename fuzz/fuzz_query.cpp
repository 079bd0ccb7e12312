// Fuzzes the query-string field lookup: the first byte picks the buffer size, the rest is
// the query.
#include "setup.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t cap = 1 + data[0] % 64;
    std::string query(reinterpret_cast<const char *>(data + 1), size - 1);
    char *out = static_cast<char *>(malloc(cap));
    for (const char *name : {"pwd", "action", "x"}) {
        if (get_query_val(query.c_str(), name, out, cap) && strlen(out) >= cap)
            abort();
    }
    free(out);
    return 0;
}
