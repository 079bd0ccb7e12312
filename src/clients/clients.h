// ntfy and node clients: publishing one notification (publish.cpp), reading the node's
// conversation and naming senders (identity.cpp and conversation.cpp).
#pragma once

#include "state.h"

#include <cstddef>
#include <cstdint>

struct qv_url;

enum {
    QV_PUB_ID_CAP = 64,
    QV_NTFY_TOPIC_ENC_CAP = 320, // a topic, percent-encoded
    QV_NTFY_PATH_CAP = 1024 + QV_NTFY_TOPIC_ENC_CAP + 64, // base path, topic and a suffix
};

// The request path of a topic on the ntfy server: the server URL's own path (ntfy may sit
// behind a reverse proxy below one, e.g. https://example.org/ntfy) without its trailing
// slashes, then "/<topic>" percent-encoded, then the suffix ("" or e.g. "/json?since=...").
void ntfy_topic_path(const qv_url *server, const char *topic, const char *suffix, char *out,
                     size_t cap);

// Publishes one notification to a topic on the configured ntfy server. 0 when the server
// accepted it (id_out holds its message id, or is empty when the answer had none), else -1
// with the reason in err.
[[nodiscard]] int ntfy_publish(const qv_ntfy_config *cfg, const char *topic, const char *message,
                               const char *title, int priority, const char *tags,
                               char id_out[QV_PUB_ID_CAP], char *err, size_t cap);

// What a publish the server did not take amounts to, so a caller that retries can tell a
// failure that waiting cures from one that would only repeat.
enum qv_pub_failure_kind {
    QV_PUB_WAIT,      // no answer, 408, 429 or 5xx: waiting may help (retry_after_s when hinted)
    QV_PUB_TOKEN,     // 401 or 403: the access token cannot publish here
    QV_PUB_TOO_LARGE, // 413, or a refusal that names the size or attachments
    QV_PUB_CONTENT,   // any other refusal: the same message would be refused again
};
struct qv_pub_failure {
    qv_pub_failure_kind kind;
    int status;            // 0: no answer
    int64_t retry_after_s; // the server's Retry-After, -1 when none
};
// ntfy_publish that also says why a publish failed (`why` is set whenever it returns -1).
[[nodiscard]] int ntfy_publish_sorted(const qv_ntfy_config *cfg, const char *topic,
                                      const char *message, const char *title, int priority,
                                      const char *tags, char id_out[QV_PUB_ID_CAP],
                                      qv_pub_failure *why, char *err, size_t cap);
// Sorts an answer to a publish by its status and the start of its body.
qv_pub_failure_kind ntfy_failure_kind(int status, const char *body);
// Asks the server whether the configured token may read a topic: a poll for what came from now
// on, which ends at once. 0 when it may, else -1 with the server's answer in err.
[[nodiscard]] int ntfy_read_check(const qv_ntfy_config *cfg, const char *topic, char *err,
                                  size_t cap);

// --- sender identity and label (identity.cpp) ---

// The identity ntfy's claims about a publisher amount to: 64 lower-case hexadecimal digits of
// SHA-256 over "v1|topic|user|tags", tags lower-cased without control bytes. It is a
// fingerprint of claims anyone can make, not proof of who published.
void identity_of(const char *topic, const char *user, const char *tags,
                 char out[QV_SENDER_KEY_CAP]);
// A readable description of the publisher for the pairing queue, the allowlist and the log.
void identity_label(const char *user, const char *tags, const char *topic,
                    char out[QV_SENDER_LABEL_CAP]);

// --- the node's loopback API (conversation.cpp) ---

// The node reports at most this many conversation entries per request.
enum { QV_NODE_PAGE = 100 };

// 1 when the node password may travel to this URL: https, or plain http to this machine.
int qv_node_is_loopback_or_tls(const qv_url *url);
// "X-Bot-Password: ..." when a node password is configured, else the empty text.
void qv_node_password_line(const qv_ntfy_config *cfg, char *line, size_t cap);
enum {
    QV_REPLY_CAP = 12000, // one agent reply, cut at a character boundary
    QV_REPLY_BATCH = 20,  // replies taken from one page at most
};

// One agent reply and where it sits in the conversation.
struct qv_reply {
    int64_t position;
    char text[QV_REPLY_CAP];
};

// What one page of the conversation after a position holds for the relay.
struct qv_reply_page {
    int64_t entries;  // entries the page held (a full page means more may wait)
    int64_t last;     // every entry up to here was taken or is not a reply (else: the position asked after)
    int count;        // replies taken, oldest first
    bool full;        // the batch filled up before the page ended
    bool restarted;   // the conversation is now shorter than `after`: it started again
    qv_reply replies[QV_REPLY_BATCH];
};

// Asks the node for the conversation entries after `after` and takes up to `max_replies`
// (at most QV_REPLY_BATCH; 0 to learn positions only) of its agent replies, oldest first.
// 0 when the node answered a page, -1 when it could not be asked or answered anything else.
[[nodiscard]] int poll_replies(const qv_ntfy_config *cfg, int64_t after, int max_replies,
                               qv_reply_page *page);
