// Exchanges and line streams against scripted loopback servers: response heads, the three
// kinds of body, failures and their messages, line cutting, sliced line reads, stop signals.
#include "net_internal.h"
#include "net_peers.h"
#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kOkChunkedHead[] = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
const char kOkStreamHead[] = "HTTP/1.1 200 OK\r\nContent-Type: application/x-ndjson\r\n\r\n";

// An open plain connection to a peer, closed at scope end.
struct Conn {
    qv_conn c;
    char err[256] = "";
    explicit Conn(const ScriptPeer &peer) {
        qv_conn_init(&c);
        qv_url u;
        EXPECT_EQ(qv_url_parse(peer.url().c_str(), &u, err, sizeof err), 0) << err;
        EXPECT_EQ(qv_conn_open(&c, &u, nullptr, nullptr, 0, 5000, err, sizeof err), 0) << err;
    }
    ~Conn() {
        qv_conn_close(&c);
    }
};

struct Exchange {
    int rc = -2;
    int status = -1;
    std::string body;
    std::string err;
    std::string reason;
};

Exchange exchange(const std::vector<std::string> &pieces, const char *method = "GET") {
    ScriptPeer peer(script_of(pieces));
    Conn conn(peer);
    Exchange x;
    char *body = nullptr;
    size_t len = 0;
    x.rc = qv_http_request(&conn.c, method, "/t", nullptr, nullptr, 0, &x.status, &body, &len,
                           conn.err, sizeof conn.err);
    if (body)
        x.body.assign(body, len);
    free(body);
    x.err = conn.err;
    x.reason = conn.c.reason;
    return x;
}

std::string chunk(const std::string &data) {
    char size[32];
    snprintf(size, sizeof size, "%zx\r\n", data.size());
    return size + data + "\r\n";
}

} // namespace

// --- the parsers over every split point ---------------------------------------------------

// What the head reader and the body decoder made of one response. err is the head's message,
// or "broken framing" when the body decoder refused a byte.
struct Parsed {
    std::string err;
    int status = 0;
    std::string reason;
    std::string body;
    std::string rest; // what followed a body that its own framing ended
    bool operator==(const Parsed &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Parsed &p) {
    return os << "{err \"" << p.err << "\", status " << p.status << ", reason \"" << p.reason
              << "\", body \"" << p.body << "\", rest \"" << p.rest << "\"}";
}

// Feeds the response in pieces that end at `cuts` (ascending) and at its end, which is where
// the server closes; the body decoder hands out at most body_max bytes per step.
Parsed parse_pieces(const std::string &in, const std::vector<size_t> &cuts, size_t body_max) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(in.data());
    Parsed p;
    qv_head_reader h;
    qv_resp_head head;
    qv_head_init(&h, &head);
    qv_body_decoder d;
    bool in_head = true, over = false;
    char err[128] = "";
    std::vector<size_t> ends = cuts;
    ends.push_back(in.size());
    size_t at = 0;
    for (size_t stop : ends) {
        while (!over && at < stop) {
            if (in_head) {
                size_t used = 0;
                qv_head_result r =
                    qv_head_feed(&h, bytes + at, stop - at, &used, &head, err, sizeof err);
                at += used;
                over = r == qv_head_result::error;
                if (r == qv_head_result::done) {
                    in_head = false;
                    qv_body_init(&d, head.chunked, head.length);
                    over = d.state == qv_body_state::done;
                }
                continue;
            }
            qv_body_step s = qv_body_decode(&d, bytes + at, stop - at, body_max);
            p.body.append(in, at + s.body_at, s.body_len);
            at += s.used;
            if (s.result == qv_body_result::error)
                snprintf(err, sizeof err, "broken framing");
            over = s.result != qv_body_result::more;
        }
    }
    if (in_head && !over && qv_head_finish(&h, &head, err, sizeof err) == qv_head_result::done)
        qv_body_init(&d, head.chunked, head.length); // the server closed: no body follows
    else if (!in_head && !over && !qv_body_close_ok(&d))
        snprintf(err, sizeof err, "cut short");
    if (!in_head && d.state == qv_body_state::done)
        p.rest = in.substr(at);
    p.err = err;
    p.status = head.status;
    p.reason = head.reason;
    return p;
}

struct FramingCase {
    const char *name;
    std::string in;
    int status;
    std::string body;
    std::string err = "";
    std::string rest = "";
    const char *reason = "OK";
};

// The same result whatever two pieces the response comes in, byte by byte, and whatever the
// decoder's step size.
void expect_every_split(const FramingCase &fc) {
    Parsed want{fc.err, fc.status, fc.reason, fc.body, fc.rest};
    for (size_t k = 0; k <= fc.in.size(); k++) {
        ASSERT_EQ(parse_pieces(fc.in, {k}, SIZE_MAX), want) << fc.name << ", cut at " << k;
        ASSERT_EQ(parse_pieces(fc.in, {k}, 1), want) << fc.name << ", cut at " << k;
    }
    std::vector<size_t> every(fc.in.size() > 0 ? fc.in.size() - 1 : 0);
    for (size_t i = 0; i < every.size(); i++)
        every[i] = i + 1;
    EXPECT_EQ(parse_pieces(fc.in, every, 3), want) << fc.name << ", byte by byte";
}

const char kLengthHead[] = "HTTP/1.1 200 OK\r\nContent-Length: ";

TEST(HttpParse, HeadsAndBodiesThatSucceed) {
    const FramingCase cases[] = {
        {"Content-Length", std::string(kLengthHead) + "5\r\n\r\nhello", 200, "hello"},
        {"LF LF head", "HTTP/1.1 200 OK\nContent-Length: 2\n\nhi", 200, "hi"},
        {"LF head, CRLF CRLF in the body", "HTTP/1.1 200 OK\nX: y\n\nab\r\n\r\ncd", 200,
         "ab\r\n\r\ncd"},
        {"HTTP/1.0 and a 404", "HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nno!", 404, "no!",
         "", "", "Not Found"},
        {"chunked with extension and trailer",
         std::string(kOkChunkedHead) + "5;name=value\r\nhello\r\n0\r\nX-Trailer: 1\r\n\r\n", 200,
         "hello"},
        {"chunks: 0x prefix, LF ends",
         std::string(kOkChunkedHead) + "0x3\r\nabc\n4\r\ndefg\r\n0\r\n\r\n", 200, "abcdefg"},
        {"gzip, chunked selects chunked",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 200,
         "ok"},
        {"lower-case header names",
         "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 200, "ok"},
        {"chunked wins over Content-Length",
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nTransfer-Encoding: "
         "chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         200, "abc"},
        {"Content-Length shorter than the data", std::string(kLengthHead) + "5\r\n\r\n0123456789",
         200, "01234", "", "56789"},
        {"later Content-Length wins",
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\ncontent-length:  4\r\n\r\nabcdef", 200, "abcd",
         "", "ef"},
        {"close-delimited body", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nall of this", 200,
         "all of this"},
        {"server closes inside the head", "HTTP/1.1 200 OK\r\nX: y", 200, ""},
        {"no reason phrase", "HTTP/1.1 200\r\nContent-Length: 0\r\n\r\n", 200, "", "", "", ""},
        {"status line only", "HTTP/1.1 204 No Content\r\n\r\n", 204, "", "", "", "No Content"},
        {"status line only, LF LF", "HTTP/1.1 204 No Content\n\n", 204, "", "", "", "No Content"},
        {"204 has no body, whatever its head says",
         "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", 204, "", "", "", "No Content"},
        {"blanks around Content-Length", std::string(kLengthHead) + " 2 \t\r\n\r\nhi", 200, "hi"},
        {"leading zeros in a chunk size",
         std::string(kOkChunkedHead) + std::string(20, '0') + "2\r\nhi\r\n0\r\n\r\n", 200, "hi"},
        {"chunked end drops what follows",
         std::string(kOkChunkedHead) + "2\r\nab\r\n0\r\n\r\nGARBAGE", 200, "ab", "", "GARBAGE"},
        {"chunk sizes, CR anywhere, overlong extension",
         std::string(kOkChunkedHead) + "  \r1\r0;" + std::string(200, 'e') + "\r\n" +
             std::string(16, 'x') + "\r\n0\r\n\r\n",
         200, std::string(16, 'x')},
        {"reason kept", "HTTP/1.1 418 I am a teapot\r\nA: b\r\n\r\n", 418, "", "", "",
         "I am a teapot"},
        {"reason cut", "HTTP/1.1 500 " + std::string(100, 'r') + "\r\nA: b\r\n\r\n", 500, "", "",
         "", "rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr"},
        // 62 ASCII bytes then a two-byte letter that would not fit: cut to whole letters.
        {"reason cut to whole UTF-8 letters",
         "HTTP/1.1 500 " + std::string(62, 'r') + "\xC3\xBC\r\nA: b\r\n\r\n", 500, "", "", "",
         "rrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrrr"},
    };
    for (const FramingCase &fc : cases)
        expect_every_split(fc);
}

TEST(HttpParse, RetryAfterInSecondsIsAHintADateIsNot) {
    const struct {
        const char *line;
        int64_t seconds;
    } cases[] = {
        {"Retry-After: 120\r\n", 120},
        {"retry-after:\t 5 \r\n", 5},
        {"Retry-After: 99999999999\r\n", QV_RETRY_AFTER_MAX_S},
        {"Retry-After: Wed, 21 Oct 2026 07:28:00 GMT\r\n", -1},
        {"Retry-After: 5s\r\n", -1},
        {"X-Other: 1\r\n", -1},
    };
    for (const auto &c : cases) {
        std::string in = std::string("HTTP/1.1 429 Too Many Requests\r\n") + c.line + "\r\n";
        qv_head_reader h;
        qv_resp_head head;
        qv_head_init(&h, &head);
        size_t used = 0;
        char err[64] = "";
        ASSERT_EQ(qv_head_feed(&h, reinterpret_cast<const unsigned char *>(in.data()), in.size(),
                               &used, &head, err, sizeof err),
                  qv_head_result::done)
            << c.line;
        EXPECT_EQ(head.retry_after_s, c.seconds) << c.line;
    }
}

TEST(HttpParse, HeadsAndBodiesThatFail) {
    const std::string broken = "broken framing";
    const char *kBadStatus = "malformed status line (a code from 100 to 599 expected)";
    const FramingCase cases[] = {
        {"server closes before Content-Length", std::string(kLengthHead) + "5\r\n\r\nabc", 200,
         "abc", "cut short"},
        {"server closes mid-chunk", std::string(kOkChunkedHead) + "a\r\nhel", 200, "hel",
         "cut short"},
        {"server closes after a chunk", std::string(kOkChunkedHead) + "3\r\nabc\r\n", 200, "abc",
         "cut short"},
        {"server closes mid size line", std::string(kOkChunkedHead) + "3\r\nabc\r\n1", 200, "abc",
         "cut short"},
        {"server closes in the trailers", std::string(kOkChunkedHead) + "3\r\nabc\r\n0\r\nX: 1\r\n",
         200, "abc", "cut short"},
        {"negative Content-Length", std::string(kLengthHead) + "-7\r\n\r\nabc", 200, "",
         "malformed Content-Length"},
        {"Content-Length with junk after it", std::string(kLengthHead) + "12abc\r\n\r\nabc", 200,
         "", "malformed Content-Length"},
        {"Content-Length without digits", std::string(kLengthHead) + "\r\n\r\nabc", 200, "",
         "malformed Content-Length"},
        {"a huge status", "HTTP/1.1 99999999999999999999 X\r\nA: b\r\n\r\n", 0, "", kBadStatus, "",
         ""},
        {"status 600", "HTTP/1.1 600 X\r\nA: b\r\n\r\n", 0, "", kBadStatus, "", ""},
        {"status 99", "HTTP/1.1 099 X\r\nA: b\r\n\r\n", 0, "", kBadStatus, "", ""},
        {"two-digit status", "HTTP/1.1 20 X\r\nA: b\r\n\r\n", 0, "", kBadStatus, "", ""},
        {"no status", "HTTP/1.1 \r\nA: b\r\n\r\n", 0, "", kBadStatus, "", ""},
        {"chunk size beyond 64 bits", std::string(kOkChunkedHead) + "10000000000000000\r\nab", 200,
         "", broken},
        {"a chunk size of 16 significant digits", std::string(kOkChunkedHead) + "1000000000000000\r\nab", 200,
         "", broken},
        {"chunk size with junk after it", std::string(kOkChunkedHead) + "2x\r\nhi\r\n0\r\n\r\n",
         200, "", broken},
        {"HTTP/2", "HTTP/2 200\r\nA: b\r\n\r\n", 0, "", "not an HTTP/1.x response", "", ""},
        {"no blank after the version", "HTTP/1.1\r\nA: b\r\n\r\n", 0, "",
         "not an HTTP/1.x response", "", ""},
        {"not HTTP at all", "SSH-2.0-OpenSSH\r\n\r\n", 0, "", "not an HTTP/1.x response", "", ""},
        {"closed without a response", "", 0, "", "server closed without a response", "", ""},
        {"head too large", "HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a'), 0, "",
         "response headers too large", "", ""},
        {"chunk data not followed by a line end",
         std::string(kOkChunkedHead) + "5\r\nhelloX\r\n0\r\n\r\n", 200, "hello", broken},
        {"chunk data followed by CR CR", std::string(kOkChunkedHead) + "2\r\nhi\r\r\n0\r\n\r\n",
         200, "hi", broken},
        {"negative chunk size", std::string(kOkChunkedHead) + "-5\r\nhello\r\n0\r\n\r\n", 200, "",
         broken},
        {"chunk size without a number", std::string(kOkChunkedHead) + "zz\r\nhello\r\n0\r\n\r\n",
         200, "", broken},
        {"empty chunk-size line", std::string(kOkChunkedHead) + "\r\nhello\r\n0\r\n\r\n", 200, "",
         broken},
    };
    for (const FramingCase &fc : cases)
        expect_every_split(fc);
}

TEST(HttpParse, HeadTerminatorExactlyAtTheLimitIsAccepted) {
    std::string start = "HTTP/1.1 200 OK\r\nX: ";
    std::string head = start + std::string(QV_HEAD_MAX - start.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(head.size(), static_cast<size_t>(QV_HEAD_MAX));
    expect_every_split({"at the limit", head + "body", 200, "body"});
    expect_every_split({"one over",
                        start + std::string(QV_HEAD_MAX - start.size() - 3, 'a') + "\r\n\r\n", 0,
                        "", "response headers too large", "", ""});
}

// A reader that goes on after broken framing (a line past the keep limit still ends with 1)
// goes on from the byte after the offending one, with the size line or line end afresh.
TEST(HttpParse, BrokenFramingTakesTheOffendingByte) {
    struct Case {
        const char *in;
        std::string body;
        int errors;
    };
    const Case cases[] = {
        {"3\r\nabcX\r\n2\r\nde\r\n0\r\n\r\n", "abcde", 1},
        {"3\r\nabc\r\rzz\n2\r\nde\r\n0\r\n\r\n", "abcde", 3}, // CR, z, z: each a line end afresh
        {"zz\r\n2\r\nde\r\n0\r\n\r\n", "de", 1},
    };
    for (const Case &c : cases) {
        qv_body_decoder d;
        qv_body_init(&d, 1, -1);
        std::string in = c.in, body;
        int errors = 0;
        for (size_t at = 0; at < in.size() && d.state != qv_body_state::done;) {
            qv_body_step s = qv_body_decode(
                &d, reinterpret_cast<const unsigned char *>(in.data()) + at, in.size() - at, 64);
            body.append(in, at + s.body_at, s.body_len);
            at += s.used;
            errors += s.result == qv_body_result::error;
        }
        EXPECT_EQ(body, c.body) << c.in;
        EXPECT_EQ(errors, c.errors) << c.in;
        EXPECT_EQ(d.state, qv_body_state::done) << c.in;
    }
}

// --- exchanges over a socket ----------------------------------------------------------------

struct BodyCase {
    const char *name;
    std::vector<std::string> pieces;
    int status;
    std::string body;
};

// The socket side of reading a response: heads and bodies that arrive in several receives,
// bytes after the head in the same receive, and the server closing.
TEST(HttpExchange, ResponsesThatSucceed) {
    const BodyCase cases[] = {
        {"head split over receives",
         {"HTTP/1.1 200 OK\r\nContent-Le", "ngth: 5\r\n\r", "\nhello"},
         200,
         "hello"},
        {"chunks: split framing",
         {kOkChunkedHead, "0x3\r\nabc\n4\r", "\ndefg\r", "\n0\r\n\r\n"},
         200,
         "abcdefg"},
        {"close-delimited body",
         {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\nall ", "of ", "this"},
         200,
         "all of this"},
        {"server closes inside the head", {"HTTP/1.1 200 OK\r\nX: y"}, 200, ""},
    };
    for (const BodyCase &bc : cases) {
        Exchange x = exchange(bc.pieces);
        ASSERT_EQ(x.rc, 0) << bc.name << ": " << x.err;
        EXPECT_EQ(x.status, bc.status) << bc.name;
        EXPECT_EQ(x.body, bc.body) << bc.name;
        EXPECT_EQ(x.err, "") << bc.name;
        EXPECT_EQ(x.reason, "OK") << bc.name;
    }
}

TEST(HttpExchange, ResponsesThatFail) {
    const BodyCase cases[] = {
        {"closed without a response", {}, 0, "server closed without a response"},
        {"head too large",
         {"HTTP/1.1 200 OK\r\nX: " + std::string(9000, 'a')},
         0,
         "response headers too large"},
        {"negative chunk size",
         {kOkChunkedHead, "-5\r\nhello\r\n0\r\n\r\n"},
         200,
         "error reading response body"},
        {"server closes before Content-Length",
         {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", "de"},
         200,
         "response body cut short (the server closed before its end)"},
        {"server closes without the last chunk",
         {kOkChunkedHead, "3\r\nabc\r\n"},
         200,
         "response body cut short (the server closed before its end)"},
    };
    for (const BodyCase &bc : cases) {
        Exchange x = exchange(bc.pieces);
        EXPECT_EQ(x.rc, -1) << bc.name;
        EXPECT_EQ(x.err, bc.body) << bc.name;
        EXPECT_EQ(x.status, bc.status) << bc.name; // the status is handed out once the head is read
        EXPECT_EQ(x.body, "") << bc.name;
    }
}

TEST(HttpExchange, SendsTheEncodedRequest) {
    ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    Conn conn(peer);
    const char *headers[] = {"X-Test: 1", nullptr};
    int status = 0;
    ASSERT_EQ(qv_http_request(&conn.c, "POST", "/topic", headers, "hello", 5, &status, nullptr,
                              nullptr, conn.err, sizeof conn.err),
              0)
        << conn.err;
    char *expected = nullptr;
    size_t expected_len = 0;
    ASSERT_EQ(build_request("127.0.0.1", peer.port(), 0, "POST", "/topic", headers, "hello", 5,
                            &expected, &expected_len),
              0);
    EXPECT_EQ(peer.received(), std::string(expected, expected_len));
    free(expected);
}

TEST(HttpExchange, RefusedRequestSendsNothing) {
    ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    Conn conn(peer);
    const char *headers[] = {"X-Bad: a\r\nInjected: b", nullptr};
    int status = 7;
    char *body = reinterpret_cast<char *>(1);
    size_t len = 9;
    EXPECT_EQ(qv_http_request(&conn.c, "GET", "/", headers, nullptr, 0, &status, &body, &len,
                              conn.err, sizeof conn.err),
              -1);
    EXPECT_STREQ(conn.err, "request refused (malformed header or path)");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(len, 0u);
    qv_conn_close(&conn.c);
    EXPECT_EQ(peer.received(), "");
}

TEST(HttpExchange, HeadRequestNeverWaitsForABody) {
    // The peer announces a body and then stays silent: reading it would time out and fail.
    ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"}, true));
    Conn conn(peer);
    int status = 0;
    char *body = nullptr;
    EXPECT_EQ(qv_http_request(&conn.c, "HEAD", "/", nullptr, nullptr, 0, &status, &body, nullptr,
                              conn.err, sizeof conn.err),
              0)
        << conn.err;
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, nullptr);
}

TEST(HttpExchange, BodyIsCutAtFourMebibytes) {
    std::string big(QV_BODY_MAX + 300000, 'b');
    big[QV_BODY_MAX - 1] = 'L';
    Exchange x = exchange({"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", big});
    ASSERT_EQ(x.rc, 0) << x.err;
    ASSERT_EQ(x.body.size(), static_cast<size_t>(QV_BODY_MAX));
    EXPECT_EQ(x.body.back(), 'L');
    x = exchange({"HTTP/1.1 200 OK\r\nServer: t\r\n\r\n", big}); // close-delimited
    EXPECT_EQ(x.body.size(), static_cast<size_t>(QV_BODY_MAX));
}

TEST(HttpExchange, SilentServerTimesOutReadingTheHead) {
    ScriptPeer peer(script_of({}, true));
    Conn conn(peer);
    ASSERT_EQ(qv_send_all(&conn.c, "GET / HTTP/1.1\r\n\r\n", 18, qv_now_ms() + 5000, conn.err,
                          sizeof conn.err),
              0);
    EXPECT_EQ(qv_read_headers(&conn.c, qv_now_ms() + 150, conn.err, sizeof conn.err), -1);
    EXPECT_STREQ(conn.err, "timed out reading response headers");
}

TEST(HttpExchange, OpenStreamReportsStatusAndClearsTheErrorBuffer) {
    ScriptPeer peer(script_of({"HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n"}));
    Conn conn(peer);
    int status = 0;
    strcpy(conn.err, "stale");
    EXPECT_EQ(
        qv_http_open_stream(&conn.c, "GET", "/t/json", nullptr, &status, conn.err, sizeof conn.err),
        0);
    EXPECT_EQ(status, 403);
    EXPECT_STREQ(conn.err, "");
    EXPECT_EQ(conn.c.headers_done, 1);
}

// --- byte-level reader ----------------------------------------------------------------------

TEST(HttpBody, EndsStayEndedAndChunkedEndDropsWhatFollows) {
    ScriptPeer peer(script_of({std::string(kOkChunkedHead) + "2\r\nab\r\n0\r\n\r\nGARBAGE"}));
    Conn conn(peer);
    ASSERT_EQ(qv_http_open_stream(&conn.c, "GET", "/", nullptr, nullptr, conn.err, sizeof conn.err),
              0);
    int64_t deadline = qv_now_ms() + 5000;
    unsigned char b = 0;
    std::string got;
    while (qv_body_byte(&conn.c, deadline, &b) == 1)
        got += static_cast<char>(b);
    EXPECT_EQ(got, "ab");
    EXPECT_EQ(conn.c.eof, 1);
    EXPECT_EQ(qv_body_byte(&conn.c, deadline, &b), 0);
    EXPECT_EQ(qv_fill(&conn.c, deadline), 0);
}

// --- whole lines ----------------------------------------------------------------------------

struct LineRun {
    std::vector<std::string> lines;
    std::vector<int> results;
};

LineRun read_lines(const std::vector<std::string> &pieces, size_t cap, int calls) {
    ScriptPeer peer(script_of(pieces));
    Conn conn(peer);
    LineRun run;
    EXPECT_EQ(qv_http_open_stream(&conn.c, "GET", "/", nullptr, nullptr, conn.err, sizeof conn.err),
              0)
        << conn.err;
    std::vector<char> buf(cap + 1, '#');
    for (int i = 0; i < calls; i++) {
        int got = qv_http_readline(&conn.c, buf.data(), cap, 5000);
        run.results.push_back(got);
        run.lines.push_back(got == 1 ? std::string(buf.data()) : std::string());
    }
    return run;
}

TEST(HttpReadline, LinesAreCutAndSplitAsTheyCome) {
    struct Case {
        const char *name;
        std::vector<std::string> pieces;
        size_t cap;
        std::vector<int> results;
        std::vector<std::string> lines;
    };
    std::string head = kOkStreamHead;
    const Case cases[] = {
        {"cut at capacity, next line intact",
         {head + "abcdefghijklmnopqrstuvwxy\nnext\n"},
         10,
         {1, 1, 0},
         {"abcdefghi", "next", ""}},
        {"CR LF and empty lines",
         {head + "one\r\n\r\ntwo\n"},
         64,
         {1, 1, 1, 0},
         {"one", "", "two", ""}},
        {"unterminated last line", {head + "a\nlast"}, 64, {1, 1, 0, 0}, {"a", "last", "", ""}},
        {"line over several receives",
         {head + "sp", "lit li", "ne\n"},
         64,
         {1, 0},
         {"split line", ""}},
        {"de-chunked on the fly",
         {kOkChunkedHead, chunk("{\"a\":") + chunk("1}\n{\"b\"") + chunk(":2}\n") + "0\r\n\r\n"},
         64,
         {1, 1, 0},
         {"{\"a\":1}", "{\"b\":2}", ""}},
        {"CR kept when the line fits exactly",
         {head + "12345678\r\n"},
         10,
         {1, 0},
         {"12345678", ""}},
        {"CR dropped with the overflow", {head + "123456789\r\n"}, 10, {1, 0}, {"123456789", ""}},
        {"CR not before the LF stays", {head + "1234\rX\n"}, 64, {1, 0}, {"1234\rX", ""}},
        {"capacity 1 keeps nothing", {head + "abc\n"}, 1, {1, 0}, {"", ""}},
        {"cut backs off to a whole UTF-8 letter",
         {head + "abcd\xC3\xBC"
                 "efg\n"},
         6,
         {1, 0},
         {"abcd", ""}},
        {"server closes mid-line", {head + "partial"}, 64, {1, 0}, {"partial", ""}},
        {"chunked stream cut mid-line: the part is no line",
         {kOkChunkedHead, chunk("one\npart")},
         64,
         {1, -1},
         {"one", ""}},
    };
    for (const Case &c : cases) {
        LineRun run = read_lines(c.pieces, c.cap, static_cast<int>(c.results.size()));
        EXPECT_EQ(run.results, c.results) << c.name;
        EXPECT_EQ(run.lines, c.lines) << c.name;
    }
}

TEST(HttpReadline, CapacityZeroAndBrokenFramingFail) {
    LineRun zero = read_lines({std::string(kOkStreamHead) + "abc\n"}, 0, 1);
    EXPECT_EQ(zero.results, std::vector<int>{-1});
    LineRun broken = read_lines({kOkChunkedHead, "3\r\nabcX"}, 64, 1);
    EXPECT_EQ(broken.results, std::vector<int>{-1});
}

TEST(HttpReadline, VeryLongLinesKeepTheFirstMebibyte) {
    std::string line(QV_LINE_KEEP_MAX + 5000, 'x');
    LineRun run =
        read_lines({std::string(kOkStreamHead) + line + "\nafter\n"}, QV_LINE_KEEP_MAX + 100, 3);
    EXPECT_EQ(run.results, (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(run.lines[0].size(), static_cast<size_t>(QV_LINE_KEEP_MAX));
    EXPECT_EQ(run.lines[1], "after");
    // Past the limit, even a failing body still hands out what was kept.
    LineRun broken =
        read_lines({kOkChunkedHead, chunk(line) + "5\r\nabcdeX"}, QV_LINE_KEEP_MAX + 100, 1);
    EXPECT_EQ(broken.results, std::vector<int>{1});
    EXPECT_EQ(broken.lines[0].size(), static_cast<size_t>(QV_LINE_KEEP_MAX));
}

TEST(HttpReadline, SilentServerTimesOut) {
    ScriptPeer peer(script_of({std::string(kOkStreamHead) + "first\npart"}, true));
    Conn conn(peer);
    ASSERT_EQ(qv_http_open_stream(&conn.c, "GET", "/", nullptr, nullptr, conn.err, sizeof conn.err),
              0);
    char buf[64];
    EXPECT_EQ(qv_http_readline(&conn.c, buf, sizeof buf, 150), 1);
    EXPECT_STREQ(buf, "first");
    EXPECT_EQ(qv_http_readline(&conn.c, buf, sizeof buf, 150), -1);
}

// --- lines in slices ------------------------------------------------------------------------

struct Stream {
    ScriptPeer peer;
    Conn conn;
    char buf[64];
    qv_line_reader r;
    explicit Stream(PeerScript script) : peer(std::move(script)), conn(peer) {
        EXPECT_EQ(
            qv_http_open_stream(&conn.c, "GET", "/", nullptr, nullptr, conn.err, sizeof conn.err),
            0);
        qv_line_reader_init(&r, buf, sizeof buf);
    }
    int slice(int timeout_ms, int slice_ms) {
        return qv_http_readline_slice(&conn.c, &r, timeout_ms, slice_ms);
    }
};

TEST(HttpReadlineSlice, PartialLinesSurviveSlices) {
    // Chunked, as ntfy streams: each gated piece waits until the test lets it go.
    PeerScript script;
    script.pieces = {kOkChunkedHead, chunk("hel"), chunk("lo\nwor"), chunk("ld\n") + "0\r\n\r\n"};
    script.gated = {2, 3};
    Stream s(script);
    int got;
    for (int i = 0; (got = s.slice(10000, 30)) == QV_LINE_NOT_YET && s.r.len < 3 && i < 1000; i++) {
    }
    EXPECT_EQ(got, QV_LINE_NOT_YET);
    EXPECT_EQ(s.r.len, 3u);
    EXPECT_EQ(s.slice(10000, 30), QV_LINE_NOT_YET); // still nothing more: nothing lost either
    s.peer.release();
    EXPECT_EQ(s.slice(10000, 5000), 1);
    EXPECT_STREQ(s.buf, "hello");
    EXPECT_EQ(s.slice(10000, 30), QV_LINE_NOT_YET);
    s.peer.release();
    EXPECT_EQ(s.slice(10000, 5000), 1);
    EXPECT_STREQ(s.buf, "world");
    EXPECT_EQ(s.slice(10000, 5000), 0);
}

TEST(HttpReadlineSlice, ASizeLineHeldBackMidLineEndsASliceAndResumes) {
    // The chunk-size line "10" arrives in two parts, the second only on release: the slice ends
    // between them and the decoder keeps the "1".
    PeerScript script;
    script.pieces = {kOkChunkedHead, "1", "0\r\n0123456789abcde\n\r\n0\r\n\r\n"};
    script.gated = {2};
    Stream s(script);
    int got = QV_LINE_NOT_YET;
    for (int i = 0; i < 1000 && got == QV_LINE_NOT_YET && s.conn.c.body.line_len == 0; i++)
        got = s.slice(10000, 20);
    EXPECT_EQ(got, QV_LINE_NOT_YET);
    EXPECT_EQ(s.conn.c.body.state, qv_body_state::size_line);
    EXPECT_EQ(s.conn.c.body.line_len, 1u);
    EXPECT_EQ(s.slice(10000, 20), QV_LINE_NOT_YET); // still held back: nothing lost either
    s.peer.release();
    EXPECT_EQ(s.slice(10000, 5000), 1);
    EXPECT_STREQ(s.buf, "0123456789abcde");
    EXPECT_EQ(s.slice(10000, 20), 0);
}

TEST(HttpReadlineSlice, TheLineTimeOutRunsAcrossSlices) {
    PeerScript script;
    script.pieces = {std::string(kOkStreamHead) + "par"};
    script.hold_open = true;
    Stream s(script);
    int not_yet = 0, got;
    while ((got = s.slice(300, 20)) == QV_LINE_NOT_YET && not_yet < 100000)
        not_yet++;
    EXPECT_EQ(got, -1);
    EXPECT_EQ(s.r.len, 0u); // the partial line went with the time-out
    // A slice longer than the line's time-out ends with the time-out itself.
    EXPECT_EQ(s.slice(100, 60000), -1);
}

TEST(HttpReadlineSlice, LongLinesAreDroppedAcrossSlices) {
    PeerScript script;
    script.pieces = {std::string(kOkStreamHead) + "abcdefghij", "klmnop\nq\n"};
    script.gated = {1};
    Stream s(script);
    s.r.cap = 5;
    EXPECT_EQ(s.slice(10000, 30), QV_LINE_NOT_YET);
    EXPECT_EQ(s.r.dropping, 1);
    s.peer.release();
    EXPECT_EQ(s.slice(10000, 5000), 1);
    EXPECT_STREQ(s.buf, "abcd");
    EXPECT_EQ(s.slice(10000, 5000), 1);
    EXPECT_STREQ(s.buf, "q");
}

// --- waits and stop signals -----------------------------------------------------------------

namespace {
void ignore_signal(int) {}
} // namespace

TEST(HttpWait, PassedDeadlineReturnsAtOnce) {
    ScriptPeer peer(script_of({"x"}, true, false));
    Conn conn(peer);
    EXPECT_EQ(qv_wait_readable(conn.c.sock, qv_now_ms() - 1), 0);
    EXPECT_EQ(qv_wait_writable(conn.c.sock, qv_now_ms() + 5000), 1);
    EXPECT_EQ(qv_wait_readable(conn.c.sock, qv_now_ms() + 5000), 1);
}

TEST(HttpWait, OtherSignalsDoNotEndAWait) {
    struct sigaction sa {};
    sa.sa_handler = ignore_signal; // no SA_RESTART: select sees EINTR
    sigaction(SIGUSR1, &sa, nullptr);
    PeerScript script;
    script.pieces = {"late"};
    script.gated = {0};
    script.read_request = false;
    script.hold_open = true;
    ScriptPeer peer(script);
    Conn conn(peer);
    pthread_t waiter = pthread_self();
    std::thread helper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        peer.release();
    });
    int got = qv_wait_readable(conn.c.sock, qv_now_ms() + 60000);
    helper.join();
    EXPECT_EQ(got, 1);
    EXPECT_EQ(qv_plat_stop_requested(), 0);
}

TEST(HttpWait, AStopSignalEndsAWaitAtOnce) {
    qv_plat_install_stop_handlers();
    PeerScript script;
    script.pieces = {"late"};
    script.gated = {0};
    script.read_request = false;
    script.hold_open = true;
    ScriptPeer peer(script);
    Conn conn(peer);
    pthread_t waiter = pthread_self();
    std::thread helper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGTERM);
        // Data only much later: a wait that ignored the stop would see it and return 1.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        peer.release();
    });
    int got = qv_wait_readable(conn.c.sock, qv_now_ms() + 60000);
    helper.join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(qv_plat_stop_requested(), 1);
}

namespace {
// A peer that takes the request and answers only once released (never, unless the test does).
PeerScript answer_when_released() {
    PeerScript script;
    script.pieces = {"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ndone"};
    script.gated = {0};
    script.hold_open = true;
    return script;
}

int post_to(const ScriptPeer &peer, qv_http_reply *reply, std::string *err) {
    qv_url u;
    char text[256] = "";
    EXPECT_EQ(qv_url_parse(peer.url().c_str(), &u, text, sizeof text), 0) << text;
    int rc = qv_http_exchange(&u, nullptr, 5000, "POST", "/inbox", nullptr, "hi", 2, reply, text,
                              sizeof text);
    *err = text;
    return rc;
}
// The stop a daemon gets, sent to the calling thread 100 ms from now (a stop handler in place).
std::thread stop_this_thread_soon() {
    qv_plat_install_stop_handlers();
    pthread_t waiter = pthread_self();
    return std::thread([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGTERM);
    });
}
} // namespace

TEST(HttpWait, AnExchangeUnderWayFinishesAfterAStop) {
    ScriptPeer peer(answer_when_released());
    std::thread stopper = stop_this_thread_soon();
    std::thread answer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        peer.release();
    });
    qv_http_reply reply;
    std::string err;
    int rc = post_to(peer, &reply, &err);
    stopper.join();
    answer.join();
    EXPECT_EQ(rc, 0) << err;
    EXPECT_EQ(reply.status, 200);
    EXPECT_STREQ(reply.body.get(), "done");
    EXPECT_EQ(qv_plat_stop_requested(), 1);
}

TEST(HttpWait, AStopLeavesASilentExchangeOnlyItsGrace) {
    ScriptPeer peer(answer_when_released());
    int64_t start = qv_now_ms();
    std::thread stopper = stop_this_thread_soon();
    qv_http_reply reply;
    std::string err;
    int rc = post_to(peer, &reply, &err);
    int64_t ended = qv_now_ms();
    stopper.join();
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(err, "timed out reading response headers");
    // It used the grace the stop left it, and not the request's own time-out.
    ASSERT_GE(qv_plat_stop_requested_at_ms(), start);
    EXPECT_GE(ended, qv_plat_stop_requested_at_ms() + QV_STOP_GRACE_MS);
    EXPECT_LT(ended, start + QV_EXCHANGE_MS);
}

TEST(HttpWait, AStreamLineBegunAfterAStopEndsAtOnce) {
    qv_plat_install_stop_handlers();
    PeerScript script;
    script.pieces = {kOkStreamHead, "line\n"};
    script.gated = {1};
    script.hold_open = true;
    Stream s(script);
    raise(SIGTERM);
    std::thread helper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        s.peer.release();
    });
    // A read that waited would get the line; a stopped process must not start waiting at all.
    int got = s.slice(60000, 30000);
    helper.join();
    EXPECT_EQ(got, QV_LINE_NOT_YET);
}

// --- the non-blocking paths -----------------------------------------------------------------

struct WouldBlockOnce {
    WouldBlockOnce() {
        peer_would_block_once(true);
    }
    ~WouldBlockOnce() {
        peer_would_block_once(false);
    }
};

TEST(HttpExchange, EverySendAndReceiveBlockingOnceStillWorks) {
    WouldBlockOnce shim;
    Exchange x = exchange(
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", chunk("abc") + "0\r\n\r\n"},
        "POST");
    EXPECT_EQ(x.rc, 0) << x.err;
    EXPECT_EQ(x.body, "abc");
    EXPECT_GT(peer_would_block_reported(), 0); // the switch did reach the client's sockets
}
