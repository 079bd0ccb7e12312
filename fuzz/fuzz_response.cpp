// Fuzzes the response reader: the head parser, the body framing (length, chunked, until close)
// and the line readers, fed through a socket pair exactly as a server's bytes would arrive.
// The first input byte picks the reader and the line capacity; the rest is the response.
#include "net.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static void check_line(const char *buf, size_t cap) {
    size_t len = strlen(buf);
    if (cap > 0 && len > cap - 1)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv) != 0)
        return 0;
    // What does not fit the socket buffer is dropped; the reader then sees the server close.
    if (size > 1 && send(sv[1], data + 1, size - 1, MSG_NOSIGNAL) < 0) {
    }
    close(sv[1]);
    qv_conn c;
    qv_conn_init(&c);
    c.sock = sv[0];
    int mode = data[0] % 3;
    size_t cap = data[0] / 3 % 40;
    int64_t deadline = qv_now_ms() + 2000;
    char err[128];
    if (qv_read_headers(&c, deadline, err, sizeof err) == 0) {
        if (c.status < 0 || c.remaining < -1 || c.remaining > QV_BODY_MAX ||
            strlen(c.reason) >= QV_REASON_CAP)
            abort();
        std::vector<char> line(cap + 1);
        if (mode == 0) {
            unsigned char b;
            size_t n = 0;
            while (n < size && qv_body_byte(&c, deadline, &b) == 1)
                n++;
            if (n > size)
                abort(); // never more body than input
        } else if (mode == 1) {
            for (int i = 0; i < 64 && qv_http_readline(&c, line.data(), cap, 2000) == 1; i++)
                check_line(line.data(), cap);
        } else {
            qv_line_reader r;
            qv_line_reader_init(&r, line.data(), cap);
            for (int i = 0; i < 64; i++) {
                int got = qv_http_readline_slice(&c, &r, 2000, 1);
                if (got == 1)
                    check_line(line.data(), cap);
                else if (got != QV_LINE_NOT_YET)
                    break;
            }
        }
    }
    qv_conn_close(&c);
    return 0;
}
