// What only the net folder and its tests use: the TLS transport, deadline-bounded waits and
// reads, and the pure response parsers (parse.cpp) that http.cpp feeds from the socket.
#pragma once

#include "net.h"

#include <cstddef>
#include <cstdint>

// --- transport (conn.cpp) ---

// The transport handed to the TLS library; ctx points at the connection's socket handle.
// Byte count, 0 when the peer closed (receive), or the library's want-read/want-write or
// internal-error codes. They never block.
[[nodiscard]] int bio_send(void *ctx, const unsigned char *buf, size_t len);
[[nodiscard]] int bio_recv(void *ctx, unsigned char *buf, size_t len);
// qv_conn_open for a connection whose waits a stop treats as `mode` says.
[[nodiscard]] int qv_conn_open_as(qv_conn *c, qv_wait_mode mode, const qv_url *u, const char *pins,
                                  const char *ca_file, int insecure, int timeout_ms, char *err,
                                  size_t cap);

// --- waits, sending and receiving (http.cpp) ---

// 1 when the socket became ready before the deadline, 0 otherwise. A stop ends a stream wait
// with 0 (also one that starts after the stop); an exchange wait goes on until the deadline or
// QV_STOP_GRACE_MS after the stop, whichever comes first. Other signals do not shorten a wait.
[[nodiscard]] int qv_wait_ready(int64_t sock, int for_write, qv_wait_mode mode, int64_t deadline);
// Stream waits for reading and writing.
[[nodiscard]] int qv_wait_readable(int64_t sock, int64_t deadline);
[[nodiscard]] int qv_wait_writable(int64_t sock, int64_t deadline);
// Sending and the reads below wait as the connection's wait_mode says. 0, or -1 with a message.
[[nodiscard]] int qv_send_all(qv_conn *c, const void *data, size_t len, int64_t deadline, char *err,
                              size_t cap);
// 1 when unread bytes are available, 0 at the end of the stream, -1 on time-out or error.
[[nodiscard]] int qv_fill(qv_conn *c, int64_t deadline);
// Reads the response head and sets the connection up for its body. 0, or -1 with a message.
[[nodiscard]] int qv_read_headers(qv_conn *c, int64_t deadline, char *err, size_t cap);
// 1 with the next body byte, 0 at the end of the body, -1 on time-out, receive error or
// broken chunk framing.
[[nodiscard]] int qv_body_byte(qv_conn *c, int64_t deadline, unsigned char *out);

// --- the response head (parse.cpp) ---

// What the head says: status, reason phrase (cut to whole UTF-8 letters) and the body's
// framing. Transfer-Encoding naming chunked wins over any Content-Length.
struct qv_resp_head {
    int32_t status;
    char reason[QV_REASON_CAP];
    int32_t chunked;
    int64_t length; // the last Content-Length (capped at QV_BODY_MAX), -1 when none; 0 for the
                    // answers that never have a body (1xx, 204, 304)
    int64_t retry_after_s; // Retry-After in seconds, -1 when none (or given as a date)
};

// The head collected so far, up to QV_HEAD_MAX bytes.
struct qv_head_reader {
    size_t len;
    char buf[QV_HEAD_MAX + 1];
};

enum class qv_head_result : uint8_t { more, done, error };

// Starts a head: nothing collected, out empty (status 0, no reason, no framing).
void qv_head_init(qv_head_reader *h, qv_resp_head *out);
// Takes the next bytes of a response. more: all *used bytes were taken and the head goes on.
// done: the head ended (at its earliest empty line, CR LF CR LF or LF LF) within the first
// *used bytes and *out holds it; the bytes after those are the body's. error: a message in err
// (too large, or not a well-formed HTTP/1.x head; *out keeps what the status line said).
[[nodiscard]] qv_head_result qv_head_feed(qv_head_reader *h, const unsigned char *in, size_t len,
                                          size_t *used, qv_resp_head *out, char *err, size_t cap);
// The server closed before an empty line: what came is the head (done), unless nothing came.
[[nodiscard]] qv_head_result qv_head_finish(qv_head_reader *h, qv_resp_head *out, char *err,
                                            size_t cap);

// --- the body (parse.cpp) ---

// Starts a body of the framing the head gave: chunked, else `length` bytes (-1: until close).
void qv_body_init(qv_body_decoder *d, int chunked, int64_t length);

enum class qv_body_result : uint8_t { more, done, error };

// One step of the decoder over some input.
struct qv_body_step {
    qv_body_result result;
    size_t used;     // input bytes consumed, framing and body alike
    size_t body_at;  // the body bytes found are in[body_at, body_at + body_len)
    size_t body_len; // at most body_max, and 0 when the step found none
};

// Consumes framing up to the next run of body bytes and that run (at most body_max, which must
// be 1 or more), then stops. more: call again with in[used, len) or, when that is empty, with
// the next bytes. done: the body ended after `used` bytes; nothing after it belongs to it.
// error: broken chunk framing; the offending byte is consumed and the decoder starts the size
// line or line end it was reading afresh.
[[nodiscard]] qv_body_step qv_body_decode(qv_body_decoder *d, const unsigned char *in, size_t len,
                                          size_t body_max);
// Whether the server closing here ends the body whole: after the last chunk, after
// Content-Length bytes, or anywhere in a body that lasts until the close. Otherwise the body was
// cut short, and taking it as complete would report a failure as a success.
[[nodiscard]] bool qv_body_close_ok(const qv_body_decoder *d);
