// Fuzzes the reader of the message id in the ntfy server's answer to a publish: whatever the
// server sends, the id stays terminated inside its buffer.
#include "clients_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char id[QV_PUB_ID_CAP];
    memset(id, 'x', sizeof id);
    ntfy_publish_read_id(reinterpret_cast<const char *>(data), size, id);
    if (strnlen(id, sizeof id) >= sizeof id)
        abort();
    return 0;
}
