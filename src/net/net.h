// The HTTP/TLS client as other folders use it: URL parsing and request encoding (url.cpp),
// connections and TLS trust (conn.cpp), exchanges and line streams (http.cpp, reading through
// the response parsers of parse.cpp), single exchanges (exchange.cpp), key digests (digest.cpp).
// What only this folder and its tests use is in net_internal.h.
#pragma once

#include "base.h"

#include <cstddef>
#include <cstdint>

enum {
    QV_URL_SCHEME_CAP = 8,
    QV_URL_HOST_CAP = 256,
    QV_URL_PATH_CAP = 1024,
    QV_REQ_METHOD_MAX = 10,
    QV_REQ_PATH_MAX = 2000,
    QV_REQ_HEADER_LINE_MAX = 1200,
    QV_HEAD_MAX = 8191,
};

enum {
    QV_RBUF_CAP = 16384,           // one receive fills at most this much
    QV_REASON_CAP = 64,            // reason phrase, cut to 63 bytes
    QV_KEY_HEX_CAP = 65,           // SHA-256 as hex and its terminator
    QV_BODY_MAX = 4194304,         // collected bodies and Content-Length stop here
    QV_LINE_KEEP_MAX = 1048575,    // no stream line keeps more characters than this
    QV_EXCHANGE_MS = 20000,        // one deadline for sending, head and body together
    QV_CONNECT_DEFAULT_MS = 10000, // a connect or handshake time-out of 0 or less
    QV_LINE_DEFAULT_MS = 30000,    // a line time-out of 0 or less
    QV_CA_FILE_MAX = 4194304,      // largest extra CA file read
    QV_PUBKEY_DER_CAP = 1600,      // the server's public key in DER must fit here
    QV_CHUNK_LINE_MAX = 79,        // characters kept of a chunk-size line
    QV_STOP_GRACE_MS = 5000,       // an exchange under way may go on this long after a stop
    QV_RETRY_AFTER_MAX_S = 86400,  // a longer Retry-After is read as this
};

// The embedded root store: PEM blocks of public roots, zero-terminated (generated at build
// time from src/net/trust_store.pem).
extern const char QV_NTFY_CA_BUNDLE_PEM[];
struct qv_url {
    char scheme[QV_URL_SCHEME_CAP];
    char host[QV_URL_HOST_CAP];
    int32_t port;
    char path[QV_URL_PATH_CAP];
    int32_t tls;
};

[[nodiscard]] int qv_url_parse(const char *text, qv_url *u, char *err, size_t cap);
void qv_url_encode(const char *src, char *dst, size_t cap);
// SHA-256 of the bytes as 64 lower-case hexadecimal digits and a terminating zero.
void qv_sha256_hex(const void *data, size_t len, char out[65]);
// Base64 (with padding) of the bytes, terminated. 0, or -1 when it does not fit.
[[nodiscard]] int qv_base64_encode(const void *data, size_t len, char *out, size_t cap);

// --- public-key pins (pin.cpp) ---

// Reads one pin of len bytes: the SHA-256 of a public key as 64 hexadecimal digits (either
// case, or 32 pairs joined by colons) or as base64 (padded or not), each with or without a
// "sha256//" prefix. 0 with the digest as 64 lower-case digits, or -1.
[[nodiscard]] int qv_pin_read(const char *text, size_t len, char out[QV_KEY_HEX_CAP]);
// The next pin of a list separated by white space or commas: 1 with its start and length
// (and *pins moved past it), 0 at the end.
int qv_pins_next(const char **pins, const char **token, size_t *len);
// Rewrites a list of pins in any of the forms above as lower-case hex joined by commas. 0, or
// -1 with a message naming the first pin that is none.
[[nodiscard]] int qv_pins_normalize(const char *pins, char *out, size_t cap, char *err,
                                    size_t err_cap);

// Encodes one request (head and body) into a new buffer the caller frees. 0 or -1.
[[nodiscard]] int build_request(const char *host, int port, int tls, const char *method,
                                const char *path, const char *const *headers, const char *body,
                                size_t body_len, char **out, size_t *out_len);

// --- connections (conn.cpp) ---

struct mbedtls_ssl_context;
struct mbedtls_ssl_config;
struct mbedtls_x509_crt;
struct mbedtls_entropy_context;
struct mbedtls_ctr_drbg_context;

// Where a response body's decoder stands (parse.cpp). A chunked body goes size line, data, the
// data's line end, again and again, then after the last chunk its trailers; a length-delimited
// or close-delimited body is data only. Every body that ends ends in done.
enum class qv_body_state : uint8_t { size_line = 0, data, data_end, trailers, done };

// A body decoder's whole state, kept between pieces of input so that it resumes at any byte.
struct qv_body_decoder {
    qv_body_state state;
    int32_t chunked;
    int64_t remaining; // data bytes left (of the body, or of the chunk); -1 until the server closes
    int32_t flag;      // data_end: its CR was seen; trailers: the line holds more than CRs
    uint32_t line_len; // characters kept of the chunk-size line
    char line[QV_CHUNK_LINE_MAX + 1];
};

// What a stop request does to a connection's waits. A stream (the subscription) is left at
// once: between lines nothing is half done. An exchange (one request and its answer) goes on
// up to QV_STOP_GRACE_MS after the stop, its own deadline still holding, so that a request the
// peer may already have acted on is not reported as failed, and an answer is not lost.
enum class qv_wait_mode : uint8_t { stream = 0, exchange };

// One client connection with its TLS state and the response being read. Callers keep it in
// their own storage (it carries the receive buffer inline), one per exchange.
struct qv_conn {
    int64_t sock; // connected non-blocking socket, -1 when none
    int32_t tls;
    char host[QV_URL_HOST_CAP]; // Host header, TLS server name and certificate name
    int32_t port;
    qv_wait_mode wait_mode;   // how a stop ends its connect, handshake, send and answer
    mbedtls_ssl_context *ssl; // the TLS objects exist only with TLS
    mbedtls_ssl_config *ssl_conf;
    mbedtls_x509_crt *ca_chain; // trust anchors (may be the process-wide parsed store)
    mbedtls_entropy_context *entropy;
    mbedtls_ctr_drbg_context *drbg;
    char peer_key_sha256[QV_KEY_HEX_CAP]; // server key fingerprint, empty when none
    int32_t verified;                     // chain and name verified against the anchors
    int32_t pinned;                       // accepted through a pin instead
    unsigned char rbuf[QV_RBUF_CAP];
    uint64_t rlen; // bytes held in rbuf
    uint64_t rpos; // next unread byte in rbuf
    qv_body_decoder body;
    int32_t headers_done;
    int32_t eof;
    int32_t status;
    char reason[QV_REASON_CAP];
    int64_t retry_after_s;  // the answer's Retry-After in seconds, -1 when none
    int32_t exchange_ms;    // the deadline of one exchange; 0: QV_EXCHANGE_MS
    int32_t request_sent;   // the whole request went out (the peer may have acted on it)
};

void qv_conn_init(qv_conn *c);
// Connects to the URL's host and port and, for https, runs the handshake and decides trust:
// verified chain and name, else a matching pin (never across a name mismatch), else refused.
// pins: SHA-256 key fingerprints as qv_pin_read takes them, separated by white space or commas;
// one may name any certificate the server presents (a certificate above the leaf only counts
// when the chain verifies up to it, its name included). 0, or -1 with a
// message and nothing left open. A stop ends its waits, and those of what it then sends and
// reads, at once (qv_wait_mode::stream).
[[nodiscard]] int qv_conn_open(qv_conn *c, const qv_url *u, const char *pins, const char *ca_file,
                               int insecure, int timeout_ms, char *err, size_t cap);
// Releases the TLS objects and closes the socket; safe twice and after a failed open.
void qv_conn_close(qv_conn *c);

// One connection on the heap (it carries its receive buffer inline), initialised; closed and
// freed when the holder goes. `c` is null when there was no memory for it.
struct qv_conn_holder {
    qv_conn *c;
    qv_conn_holder();
    ~qv_conn_holder();
    qv_conn_holder(const qv_conn_holder &) = delete;
    qv_conn_holder &operator=(const qv_conn_holder &) = delete;
};

// --- exchanges and line streams (http.cpp) ---

// Milliseconds of a clock that never steps; every deadline is in this unit.
int64_t qv_now_ms(void);
// One whole exchange on an open connection. 0 when a response head was read, whatever its
// status; the body (zero-terminated, not counted) is the caller's to free.
[[nodiscard]] int qv_http_request(qv_conn *c, const char *method, const char *path,
                                  const char *const *headers, const char *body, size_t body_len,
                                  int *status, char **out_body, size_t *out_len, char *err,
                                  size_t cap);
// Sends the request and reads the head; the body is then read with the line readers below.
[[nodiscard]] int qv_http_open_stream(qv_conn *c, const char *method, const char *path,
                                      const char *const *headers, int *status, char *err,
                                      size_t cap);
// One line of the body into buf (terminated, LF and one CR before it removed, cut to
// cap - 1). 1 with a line, 0 at the end of the stream, -1 on time-out or error.
[[nodiscard]] int qv_http_readline(qv_conn *c, char *buf, size_t cap, int timeout_ms);

// A stream line read in slices. The daemon must poll the node between stream lines, so it
// waits for a line at most one slice at a time: a slice that ends without a whole line comes
// back with QV_LINE_NOT_YET and keeps the partial line (and the chunk framing) in place, and
// the next call goes on where it stopped. The line's time-out is fixed when the line starts
// and runs across slices, so the idle limit means the same as with qv_http_readline.
//
//   qv_line_reader r;  qv_line_reader_init(&r, buf, sizeof buf);
//   for (;;) {
//       int got = qv_http_readline_slice(&c, &r, idle_timeout_ms, reply_poll_ms);
//       if (got == QV_LINE_NOT_YET) { relay_replies(); continue; }
//       if (got != 1) break;      // 0 end of stream, -1 idle time-out or error
//       handle(r.buf);            // r.len characters
//   }
//
// A stop signal (qv_plat_install_stop_handlers) ends the current slice at once, so the caller
// checks qv_plat_stop_requested() whenever it gets QV_LINE_NOT_YET or -1.
// A slice may end anywhere, also inside the chunk framing: the body decoder keeps its place.
enum { QV_LINE_NOT_YET = 2 };
struct qv_line_reader {
    char *buf; // the caller's line buffer
    size_t cap;
    size_t len;       // characters kept of the current line
    int64_t deadline; // when the current line must be complete; set when it starts
    int32_t active;   // a line has started (its deadline is fixed)
    int32_t dropping; // the line outgrew the buffer: the rest is dropped up to its LF
    int32_t at_limit; // dropped after QV_LINE_KEEP_MAX characters (ends with 1 whatever follows)
};
void qv_line_reader_init(qv_line_reader *r, char *buf, size_t cap);
// 1 with a line in r->buf, 0 at the end of the stream, -1 on the line's time-out or an error,
// QV_LINE_NOT_YET when slice_ms passed first (slice_ms of 0 or less: no slicing). After 1, 0
// or -1 the next call starts a new line.
[[nodiscard]] int qv_http_readline_slice(qv_conn *c, qv_line_reader *r, int timeout_ms,
                                         int slice_ms);

// --- one exchange on a connection of its own (exchange.cpp) ---

// How a connection decides trust: public-key pins, an extra CA file (each null for none), and
// whether certificate checks are off.
struct qv_tls_opts {
    const char *pins;
    const char *ca_file;
    int insecure;
};

// What came back: the status and the body (zero-terminated, not counted).
struct qv_http_reply {
    int status = 0;
    qv_heap<char> body;
    size_t len = 0;
    int64_t retry_after_s = -1; // the server's Retry-After in seconds, -1 when none
    bool sent = false;          // the whole request went out, also when no answer came
};

// Opens a connection to the URL (tls null: no pins, no CA file, checks on), runs one exchange
// and closes it. 0 when a response head was read, whatever its status; -1 with a message.
// A stop requested meanwhile leaves it QV_STOP_GRACE_MS to finish (qv_wait_mode::exchange).
[[nodiscard]] int qv_http_exchange(const qv_url *u, const qv_tls_opts *tls, int timeout_ms,
                                   const char *method, const char *path,
                                   const char *const *headers, const char *body,
                                   size_t body_len, qv_http_reply *reply, char *err, size_t cap);
// The same with the exchange's own deadline (sending, head and body together) instead of
// QV_EXCHANGE_MS, for a peer known to take longer to answer.
[[nodiscard]] int qv_http_exchange_within(const qv_url *u, const qv_tls_opts *tls, int timeout_ms,
                                          int exchange_ms, const char *method, const char *path,
                                          const char *const *headers, const char *body,
                                          size_t body_len, qv_http_reply *reply, char *err,
                                          size_t cap);
