// ntfy and node clients: publishing one notification (publish.cpp), reading the node's
// conversation and naming senders (identity.cpp and conversation.cpp).
#pragma once

#include <cstddef>

struct qv_ntfy_config;

enum { QV_PUB_ID_CAP = 64 };

// Publishes one notification to a topic on the configured ntfy server. 0 when the server
// accepted it (id_out holds its message id, or is empty when the answer had none), else -1
// with the reason in err.
int ntfy_publish(const qv_ntfy_config *cfg, const char *topic, const char *message,
                 const char *title, int priority, const char *tags, char id_out[QV_PUB_ID_CAP],
                 char *err, size_t cap);
