// Fuzzes the response parsers directly: the head reader, then the body decoder (length, chunked,
// until close). The first input byte picks how the rest is cut into pieces and how many body
// bytes the decoder may hand out per step; the result must be the same as for the rest fed
// whole, and every step must keep to the parsers' promises.
#include "net_internal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Parsed {
    std::string err;
    int32_t status = 0;
    std::string reason;
    std::string body;
    size_t rest = 0; // bytes after a body that its own framing ended
    bool operator==(const Parsed &) const = default;
};

void check(bool ok) {
    if (!ok)
        abort();
}

// The length of the next piece: from the input's own bytes, so pieces vary with the input.
size_t piece_len(const uint8_t *in, size_t len, size_t at, uint8_t mode) {
    if (mode == 0)
        return len - at;
    size_t n = (static_cast<size_t>(in[(at * 7 + mode) % len]) + mode) % (mode % 32 + 1) + 1;
    return n < len - at ? n : len - at;
}

Parsed parse(const uint8_t *in, size_t len, uint8_t mode, size_t body_max) {
    Parsed p;
    static qv_head_reader h; // one at a time; large for a fuzzer's stack
    qv_resp_head head;
    qv_head_init(&h, &head);
    qv_body_decoder d;
    bool in_head = true, over = false;
    char err[128] = "";
    size_t at = 0;
    while (!over && at < len) {
        size_t stop = at + piece_len(in, len, at, mode);
        while (!over && at < stop) {
            if (in_head) {
                size_t used = 0;
                qv_head_result r =
                    qv_head_feed(&h, in + at, stop - at, &used, &head, err, sizeof err);
                check(used <= stop - at && (used > 0 || r != qv_head_result::more));
                at += used;
                over = r == qv_head_result::error;
                if (r == qv_head_result::done) {
                    in_head = false;
                    check(head.length >= -1 && head.length <= QV_BODY_MAX);
                    qv_body_init(&d, head.chunked, head.length);
                    over = d.state == qv_body_state::done;
                }
                continue;
            }
            qv_body_step s = qv_body_decode(&d, in + at, stop - at, body_max);
            check(s.used <= stop - at && s.body_len <= body_max);
            check(s.body_len == 0 || s.body_at + s.body_len <= s.used);
            check(s.used > 0 || s.result != qv_body_result::more);
            check(d.line_len <= QV_CHUNK_LINE_MAX);
            p.body.append(reinterpret_cast<const char *>(in) + at + s.body_at, s.body_len);
            at += s.used;
            if (s.result == qv_body_result::error)
                strcpy(err, "broken framing");
            over = s.result != qv_body_result::more;
        }
    }
    if (in_head && !over && qv_head_finish(&h, &head, err, sizeof err) == qv_head_result::done)
        qv_body_init(&d, head.chunked, head.length);
    if (!in_head && d.state == qv_body_state::done)
        p.rest = len - at;
    p.err = err;
    p.status = head.status;
    p.reason = head.reason;
    check(head.status >= 0 && head.status <= 999999);
    check(strlen(head.reason) < QV_REASON_CAP);
    check(p.body.size() <= len);
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    const uint8_t *in = data + 1;
    size_t len = size - 1;
    Parsed whole = parse(in, len, 0, SIZE_MAX);
    check(parse(in, len, mode, mode % 7 + 1) == whole);
    check(parse(in, len, 1, 1) == whole); // one byte at a time
    return 0;
}
