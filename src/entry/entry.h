// Entry and modes: mode dispatch and the password gate, the discovery texts, and the small
// CGI and text primitives that every other subsystem shares (error buffers, bounded copies).
#pragma once

#include <cstddef>

// --- error buffers and texts ---

// Writes one printf-style message into a caller-supplied buffer: nothing when the buffer is
// absent or its capacity 0, otherwise always terminated and cut to the capacity.
void qv_errf(char *err, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// The longest prefix of at most `want` bytes of `s` (which has `len` bytes) that does not end
// inside a UTF-8 sequence. Pure ASCII is cut at exactly `want` bytes.
size_t qv_utf8_cut(const char *s, size_t len, size_t want);
// Copies at most size - 1 bytes of src (backing off so no UTF-8 sequence is split) and
// terminates. Returns the number of bytes copied. An absent source copies nothing.
size_t cp_trunc(char *dst, size_t size, const char *src);
// Removes leading and trailing white space in place.
void trim_inplace(char *s);
// 1 for "1", or "true", "yes", "on" in any letter case; 0 otherwise.
int is_truthy(const char *s);
// Compares two texts for equality in time that depends only on their lengths.
int qv_secret_equal(const char *a, const char *b);

// --- CGI primitives ---

int is_post_request(void);
int get_query_val(const char *query, const char *name, char *out, size_t size);
void json_respond(int status, const char *body);

// --- discovery texts ---

extern const char QV_VERSION[];
extern const char QV_DEFAULT_SERVER_URL[];
const char *qv_meta_text(void);
const char *qv_schema_text(void);
const char *qv_usage_text(void);
// The `tools` array of the schema, as the MCP server's tools/list answer carries it.
const char *qv_schema_tools_array(void);

// --- dispatch ---

// 1 when the CGI request presents the node password (or none is configured).
int cgi_password_admits(void);
// The whole program: picks the mode from the arguments and the environment and runs it.
int qv_main(int argc, char **argv);
