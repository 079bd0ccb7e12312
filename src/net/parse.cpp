// The pure response parsers: the head reader (end of the head, status line, reason phrase and
// the body's framing) and the body decoder (length-delimited, until close, or chunked as a state
// machine). They take bytes and keep no socket, so they resume wherever their input is cut.
#include "net_internal.h"

#include "base.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

// --- the response head --------------------------------------------------------------------

static bool starts_with_nocase(const char *s, size_t len, const char *prefix) {
    size_t n = strlen(prefix);
    if (len < n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (tolower(static_cast<unsigned char>(s[i])) !=
            tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

static bool contains(const char *s, size_t len, const char *word) {
    size_t n = strlen(word);
    for (size_t i = 0; i + n <= len; i++)
        if (memcmp(s + i, word, n) == 0)
            return true;
    return false;
}

// Finds the end of the head in head[from, len): the earliest empty line, written as CR LF CR LF
// or as LF LF. Taking the earliest matters when an LF-only head and the start of the body
// arrive together: a CR LF CR LF inside the body must not swallow the body into the head.
static bool find_head_end(const char *head, size_t len, size_t from, size_t *cut, size_t *end) {
    for (size_t i = from; i < len; i++) {
        if (head[i] != '\n')
            continue;
        if (i >= 1 && head[i - 1] == '\n') {
            *cut = i - 1;
            *end = i + 1;
            return true;
        }
        if (i >= 3 && head[i - 1] == '\r' && head[i - 2] == '\n' && head[i - 3] == '\r') {
            *cut = i - 3;
            *end = i + 1;
            return true;
        }
    }
    return false;
}

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Digits only, blanks around them allowed; -1 for anything else ("12abc", "-7", "+3", nothing):
// such a length cannot frame a body, and guessing one would split or merge responses. Lengths
// beyond QV_BODY_MAX read as QV_BODY_MAX (a body is never collected further).
static int64_t parse_content_length(const char *s, size_t len) {
    size_t i = 0;
    while (i < len && is_blank(s[i]))
        i++;
    size_t digits = i;
    int64_t value = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; i++)
        if (value <= QV_BODY_MAX)
            value = value * 10 + (s[i] - '0');
    bool any = i > digits;
    while (i < len && is_blank(s[i]))
        i++;
    if (!any || i != len)
        return -1;
    return value > QV_BODY_MAX ? int64_t{QV_BODY_MAX} : value;
}

// Retry-After as whole seconds; the date form (or anything else) is no hint: -1.
static int64_t parse_retry_after(const char *s, size_t len) {
    size_t i = 0;
    while (i < len && (s[i] == ' ' || s[i] == '\t'))
        i++;
    int64_t value = 0;
    size_t digits = 0;
    for (; i < len && s[i] >= '0' && s[i] <= '9'; i++, digits++)
        if (value <= QV_RETRY_AFTER_MAX_S)
            value = value * 10 + (s[i] - '0');
    while (i < len && (s[i] == ' ' || s[i] == '\t'))
        i++;
    if (digits == 0 || i != len)
        return -1;
    return value > QV_RETRY_AFTER_MAX_S ? int64_t{QV_RETRY_AFTER_MAX_S} : value;
}

static size_t trim_crs(const char *s, size_t len) {
    while (len > 0 && s[len - 1] == '\r')
        len--;
    return len;
}

// The status line's three-digit code (100 to 599) and reason phrase, cut to whole UTF-8
// letters. false for any other code: nothing is set then.
static bool parse_status_line(const char *line, size_t line_len, qv_resp_head *out) {
    const size_t at = 9; // after "HTTP/1.x "
    if (line_len < at + 3)
        return false;
    int32_t status = 0;
    for (size_t i = at; i < at + 3; i++) {
        if (line[i] < '0' || line[i] > '9')
            return false;
        status = status * 10 + (line[i] - '0');
    }
    size_t after = trim_crs(line, line_len);
    if (status < 100 || status > 599 || (after > at + 3 && line[at + 3] != ' '))
        return false;
    out->status = status;
    if (after > at + 4) {
        size_t n = qv_utf8_cut(line + at + 4, after - at - 4, sizeof out->reason - 1);
        memcpy(out->reason, line + at + 4, n);
        out->reason[n] = '\0';
    }
    return true;
}

// A head without its terminating empty line. The status and reason are set before the rest of
// the head is refused, as the connection reports them either way. A head of the status line
// alone ("HTTP/1.1 204 No Content") is whole.
static int parse_head(const char *head, size_t len, qv_resp_head *out, char *err, size_t cap) {
    if (len < 9 || (memcmp(head, "HTTP/1.1", 8) != 0 && memcmp(head, "HTTP/1.0", 8) != 0) ||
        head[8] != ' ') {
        qv_errf(err, cap, "not an HTTP/1.x response");
        return -1;
    }
    const char *lf = static_cast<const char *>(memchr(head, '\n', len));
    if (!parse_status_line(head, lf ? static_cast<size_t>(lf - head) : len, out)) {
        qv_errf(err, cap, "malformed status line (a code from 100 to 599 expected)");
        return -1;
    }
    for (const char *line = lf ? lf + 1 : head + len; line < head + len;) {
        const char *next =
            static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(head + len - line)));
        size_t n = trim_crs(line, next ? static_cast<size_t>(next - line)
                                       : static_cast<size_t>(head + len - line));
        if (starts_with_nocase(line, n, "Transfer-Encoding:")) {
            if (contains(line, n, "chunked"))
                out->chunked = 1;
        } else if (starts_with_nocase(line, n, "Content-Length:")) {
            size_t name = strlen("Content-Length:");
            out->length = parse_content_length(line + name, n - name);
            if (out->length < 0) {
                qv_errf(err, cap, "malformed Content-Length");
                return -1;
            }
        } else if (starts_with_nocase(line, n, "Retry-After:")) {
            out->retry_after_s = parse_retry_after(line + strlen("Retry-After:"),
                                                   n - strlen("Retry-After:"));
        }
        if (!next)
            break;
        line = next + 1;
    }
    // These answers never carry a body, whatever the head says about one.
    if (out->status < 200 || out->status == 204 || out->status == 304) {
        out->chunked = 0;
        out->length = 0;
    }
    return 0;
}

void qv_head_init(qv_head_reader *h, qv_resp_head *out) {
    h->len = 0;
    memset(out, 0, sizeof *out);
    out->length = -1;
    out->retry_after_s = -1;
}

qv_head_result qv_head_feed(qv_head_reader *h, const unsigned char *in, size_t len, size_t *used,
                            qv_resp_head *out, char *err, size_t cap) {
    size_t before = h->len;
    size_t take = len;
    if (take > QV_HEAD_MAX - before)
        take = QV_HEAD_MAX - before;
    memcpy(h->buf + before, in, take);
    h->len += take;
    *used = take;
    size_t cut = 0, end = 0;
    // A terminator may straddle two pieces, so look back three bytes.
    if (find_head_end(h->buf, h->len, before >= 3 ? before - 3 : 0, &cut, &end)) {
        // Bytes after the terminator are the start of the body: they are not taken.
        *used = end > before ? end - before : 0;
        h->buf[cut] = '\0';
        return parse_head(h->buf, cut, out, err, cap) == 0 ? qv_head_result::done
                                                           : qv_head_result::error;
    }
    if (h->len >= QV_HEAD_MAX) {
        qv_errf(err, cap, "response headers too large");
        return qv_head_result::error;
    }
    return qv_head_result::more;
}

qv_head_result qv_head_finish(qv_head_reader *h, qv_resp_head *out, char *err, size_t cap) {
    if (h->len == 0) {
        qv_errf(err, cap, "server closed without a response");
        return qv_head_result::error;
    }
    h->buf[h->len] = '\0'; // the server closed: parse what came
    return parse_head(h->buf, h->len, out, err, cap) == 0 ? qv_head_result::done
                                                          : qv_head_result::error;
}

// --- the body -----------------------------------------------------------------------------

void qv_body_init(qv_body_decoder *d, int chunked, int64_t length) {
    memset(d, 0, sizeof *d);
    d->chunked = chunked ? 1 : 0;
    if (chunked) {
        d->state = qv_body_state::size_line;
        d->remaining = 0;
    } else {
        d->state = length == 0 ? qv_body_state::done : qv_body_state::data;
        d->remaining = length < 0 ? -1 : length;
    }
}

enum { QV_CHUNK_SIZE_DIGITS_MAX = 15 }; // 15 hexadecimal digits never overflow an int64_t

// A chunk-size line's size: blanks, an optional 0x, hexadecimal digits, then blanks and an
// extension (";...") or nothing. -1 for anything else, a size too large for 64 bits included:
// read as a smaller number it would end the body early and report a cut body as complete.
static int64_t chunk_size(const char *line) {
    const char *p = line;
    while (is_blank(*p))
        p++;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && qv_hex_value(p[2]) >= 0)
        p += 2;
    int64_t size = 0;
    int digits = 0;
    for (; qv_hex_value(*p) >= 0; p++) {
        if (size > 0 || qv_hex_value(*p) > 0)
            digits++;
        if (digits > QV_CHUNK_SIZE_DIGITS_MAX)
            return -1;
        size = size * 16 + qv_hex_value(*p);
    }
    if (p == line || qv_hex_value(p[-1]) < 0)
        return -1;
    while (is_blank(*p))
        p++;
    return *p == '\0' || *p == ';' ? size : -1;
}

// A whole chunk-size line; extensions after the size are ignored.
static bool end_size_line(qv_body_decoder *d) {
    d->line[d->line_len] = '\0';
    int64_t size = chunk_size(d->line);
    d->line_len = 0; // the next size line starts afresh, also after an error
    if (size < 0)
        return false;
    if (size == 0) {
        d->state = qv_body_state::trailers;
        d->flag = 0;
    } else {
        d->remaining = size;
        d->state = qv_body_state::data;
    }
    return true;
}

// One framing byte of a chunked body (never a data byte). False when it breaks the framing;
// the byte is still taken, and the decoder starts the size line or line end it was reading
// afresh, so a reader that goes on after the error goes on from the next byte.
static bool framing_byte(qv_body_decoder *d, unsigned char b) {
    switch (d->state) {
    case qv_body_state::size_line:
        if (b == '\n')
            return end_size_line(d);
        // CRs are dropped wherever they are; characters past the capacity too.
        if (b != '\r' && d->line_len < QV_CHUNK_LINE_MAX)
            d->line[d->line_len++] = static_cast<char>(b);
        return true;
    case qv_body_state::data_end:
        // A chunk's data ends with LF or CR LF; one CR and nothing else may precede the LF.
        if (b == '\r' && !d->flag) {
            d->flag = 1;
            return true;
        }
        d->flag = 0;
        if (b != '\n')
            return false;
        d->state = qv_body_state::size_line;
        return true;
    case qv_body_state::trailers:
        // Trailer lines are skipped up to the empty line that ends the body.
        if (b == '\n') {
            if (!d->flag)
                d->state = qv_body_state::done;
            d->flag = 0;
        } else if (b != '\r') {
            d->flag = 1;
        }
        return true;
    default:
        return true;
    }
}

qv_body_step qv_body_decode(qv_body_decoder *d, const unsigned char *in, size_t len,
                            size_t body_max) {
    qv_body_step s = {qv_body_result::more, 0, 0, 0};
    while (s.used < len && d->state != qv_body_state::done) {
        if (d->state == qv_body_state::data) {
            size_t n = len - s.used;
            if (n > body_max)
                n = body_max;
            if (d->remaining >= 0 && static_cast<uint64_t>(n) > static_cast<uint64_t>(d->remaining))
                n = static_cast<size_t>(d->remaining);
            s.body_at = s.used;
            s.body_len = n;
            s.used += n;
            if (d->remaining >= 0) {
                d->remaining -= static_cast<int64_t>(n);
                if (d->remaining == 0)
                    d->state = d->chunked ? qv_body_state::data_end : qv_body_state::done;
            }
            break; // one run of body bytes per step
        }
        bool fits = framing_byte(d, in[s.used]);
        s.used++;
        if (!fits) {
            s.result = qv_body_result::error;
            return s;
        }
    }
    if (d->state == qv_body_state::done)
        s.result = qv_body_result::done;
    return s;
}

bool qv_body_close_ok(const qv_body_decoder *d) {
    return d->state == qv_body_state::done ||
           (!d->chunked && d->state == qv_body_state::data && d->remaining < 0);
}
