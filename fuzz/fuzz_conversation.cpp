// Fuzzes the reader of the node's conversation page. The first byte picks the starting cursor
// and the reply buffer's capacity; the rest is the page. Whatever the node answers, the cursor
// never goes back and the reply stays terminated inside its buffer.
#include "clients_internal.h"
#include "state.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

// A start_index within reach of the largest position overflows the position arithmetic. That
// is known and dealt with on its own, so such pages are left out here.
static bool start_near_limit(const char *page, size_t len) {
    qv_json_doc doc(yyjson_read(page, len, 0));
    int64_t start = 0;
    qv_json_take_i64(yyjson_doc_get_root(doc.get()), "start_index", &start);
    return start > INT64_MAX - 1 - static_cast<int64_t>(len);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const char *page = reinterpret_cast<const char *>(data + 1);
    size_t len = size - 1;
    if (start_near_limit(page, len))
        return 0;
    const int64_t before = static_cast<int8_t>(data[0]);
    int64_t cursor = before;
    char out[40];
    memset(out, 'x', sizeof out);
    size_t cap = 1 + (data[0] & 31u);
    conversation_take_replies(page, len, &cursor, out, cap);
    if (cursor < before || strnlen(out, cap) >= cap)
        abort();
    return 0;
}
