// Fuzzes the reader of the node's conversation page. The first byte picks the position asked
// after and how many replies may be taken; the rest is the page. Whatever the node answers,
// nothing at or below that position is taken, positions rise strictly, the page's end never
// goes back, and every reply is terminated inside its buffer.
#include "clients_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    static qv_reply_page page;
    const char *body = reinterpret_cast<const char *>(data + 1);
    const int64_t after = static_cast<int8_t>(data[0]);
    const int max_replies = data[0] & 31;
    (void)conversation_read_page(body, size - 1, after, max_replies, &page); // both outcomes checked alike
    if (page.last < after || page.count > max_replies || page.count > QV_REPLY_BATCH)
        abort();
    int64_t previous = after;
    for (int k = 0; k < page.count; k++) {
        const qv_reply &r = page.replies[k];
        if (r.position <= previous || r.position > page.last || !r.text[0] ||
            strnlen(r.text, sizeof r.text) >= sizeof r.text)
            abort();
        previous = r.position;
    }
    return 0;
}
