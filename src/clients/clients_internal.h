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
// of "messages" sits at start_index + 1 + k (saturating, never wrapping). Entries at or below
// `after` are never taken; the relayable replies after it go into the page, oldest first, up
// to max_replies (at most QV_REPLY_BATCH), and `last` stops at the last reply taken once the
// batch is full. -1 for a page that is not an object with a "messages" array.
[[nodiscard]] int conversation_read_page(const char *body, size_t len, int64_t after,
                                         int max_replies, qv_reply_page *page);

// Parses bot_api_url. 0 or -1.
[[nodiscard]] int qv_node_url(const qv_ntfy_config *cfg, qv_url *url);
