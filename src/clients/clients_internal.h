// Inside the clients: the readers of what the peers answer, pure functions on a buffer that the
// tests and fuzzers drive directly, and the node URL parse.
#pragma once

#include "clients.h"

#include <cstddef>
#include <cstdint>

// Reads the message id from the ntfy server's answer to a publish (any bytes, not necessarily
// terminated): id_out holds the "id" member when the answer is an object with a string id,
// cut to the capacity at a character boundary, and is empty otherwise.
void ntfy_publish_read_id(const char *body, size_t len, char id_out[QV_PUB_ID_CAP]);

// Walks one page of the node's conversation (any bytes, not necessarily terminated): entry k
// of "messages" sits at start_index + 1 + k, and the cursor rises to the highest position
// reported. out is emptied, then holds the newest entry with a relayable role and a non-empty
// text. A page that is not an object with a "messages" array changes nothing but out.
void conversation_take_replies(const char *body, size_t len, int64_t *cursor, char *out,
                               size_t cap);

// Parses bot_api_url. 0 or -1.
[[nodiscard]] int qv_node_url(const qv_ntfy_config *cfg, qv_url *url);
