// The bottom layer every other folder builds on: error buffers, UTF-8-safe bounded copies and
// trimming, truth values, the environment helpers and the version text. Nothing here calls the
// operating system beyond the C library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// --- the program's own texts ---

// The version as a literal, so the discovery texts can be put together at compile time.
#define QV_VERSION_TEXT "1.0.2"
#define QV_DEFAULT_SERVER_URL_TEXT "https://ntfy.sh"
inline constexpr char QV_VERSION[] = QV_VERSION_TEXT;
inline constexpr char QV_DEFAULT_SERVER_URL[] = QV_DEFAULT_SERVER_URL_TEXT;

// --- error buffers and texts ---

// Writes one printf-style message into a caller-supplied buffer: nothing when the buffer is
// absent or its capacity 0, otherwise always terminated and cut to the capacity.
void qv_errf(char *err, size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// The length of the UTF-8 sequence a lead byte starts (2 to 4) when it is a valid lead byte
// (C2..F4), else 0: ASCII, a continuation byte, or a byte no well-formed text holds.
size_t qv_utf8_lead_length(unsigned char lead);
// The longest prefix of at most `want` bytes of `s` (which has `len` bytes) that does not end
// inside a UTF-8 sequence. Pure ASCII is cut at exactly `want` bytes.
size_t qv_utf8_cut(const char *s, size_t len, size_t want);
// Copies len bytes of text from a peer into out as valid UTF-8: each byte that does not start
// a well-formed sequence (overlong forms, surrogates and code points beyond U+10FFFF included)
// becomes U+FFFD, and so does a zero byte. Cut to cap - 1 bytes at a character boundary
// and terminated; returns the bytes written. Stored files and JSON answers accept only UTF-8, so
// a Latin-1 error page from a proxy must not freeze the status or fail a whole answer.
size_t qv_utf8_repair(const char *in, size_t len, char *out, size_t cap);
// Copies at most size - 1 bytes of src (backing off so no UTF-8 sequence is split) and
// terminates. Returns the number of bytes copied. An absent source copies nothing.
size_t cp_trunc(char *dst, size_t size, const char *src);
// Removes leading and trailing white space in place.
void trim_inplace(char *s);
// Reads a whole number the way every numeric field of the setup API is read: blanks around it
// are dropped, and what is left must be 1 to 18 ASCII digits (no sign, no other digits). 0 with
// the number, or -1 (and *out unchanged).
[[nodiscard]] int qv_read_whole_number(const char *text, int64_t *out);

// The value of one hexadecimal digit (either case), or -1 for any other character.
[[nodiscard]] int qv_hex_value(char c);
// 1 for "1", or "true", "yes", "on" in any letter case; 0 otherwise.
[[nodiscard]] int is_truthy(const char *s);
// 1 for "0", or "false", "no", "off" in any letter case; 0 otherwise.
[[nodiscard]] int is_falsy(const char *s);
// Compares two texts for equality in time that depends only on their lengths.
[[nodiscard]] int qv_secret_equal(const char *a, const char *b);

// --- the environment ---

// The variable's value when it is set and not empty, else null: an empty variable counts as
// unset everywhere.
[[nodiscard]] const char *env_nonempty(const char *name);
// 1 or 0 when the variable holds a truth value (is_truthy / is_falsy), else the fallback.
[[nodiscard]] int env_int(const char *name, int fallback);
// Whether a variable of this process ("NAME=value", or a bare name) goes on to the daemon the
// setup interface starts: 1 for what the daemon needs (PATH, HOME, locale and time zone, QV_*,
// NTFY_*, BOT_PASSWORD, the Windows system folders and profile), 0 for everything else, and
// always 0 for what a web server sets for one request (HTTP_* headers, the CGI variables).
// Names compare without regard to letter case, as Windows treats them.
[[nodiscard]] int qv_env_keep_for_daemon(const char *entry);

// --- holders ---

struct qv_free_deleter {
    void operator()(void *p) const { free(p); }
};
// A buffer from malloc, freed when the holder goes: qv_heap<char> text(static_cast<char *>(...)).
template <typename T> using qv_heap = std::unique_ptr<T, qv_free_deleter>;
