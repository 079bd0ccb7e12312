// URL parsing, percent-encoding and request encoding.
#include "net.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

struct ParseCase {
    const char *url = nullptr;
    const char *error = nullptr;  // null when the URL parses
    const char *host = nullptr;
    int port = 0;
    const char *path = nullptr;
    int tls = 0;
};

static void check_parse(const ParseCase &c) {
    qv_url u;
    char err[128] = "";
    int rc = qv_url_parse(c.url, &u, err, sizeof err);
    if (c.error) {
        EXPECT_EQ(rc, -1) << (c.url ? c.url : "(null)");
        EXPECT_STREQ(err, c.error) << (c.url ? c.url : "(null)");
        return;
    }
    ASSERT_EQ(rc, 0) << c.url << ": " << err;
    EXPECT_STREQ(u.host, c.host) << c.url;
    EXPECT_EQ(u.port, c.port) << c.url;
    EXPECT_STREQ(u.path, c.path) << c.url;
    EXPECT_EQ(u.tls, c.tls) << c.url;
    EXPECT_STREQ(u.scheme, c.tls ? "https" : "http");
}

TEST(UrlParse, Accepted) {
    const ParseCase cases[] = {
        {"https://host/", nullptr, "host", 443, "/", 1},
        {"http://host", nullptr, "host", 80, "/", 0},
        {"https://host:8443/a?b=c", nullptr, "host", 8443, "/a?b=c", 1},
        {"http://host?x=1", nullptr, "host", 80, "?x=1", 0},
        {"http://host:0443", nullptr, "host", 443, "/", 0},
        {"http://host#frag", nullptr, "host", 80, "/", 0},
        {"http://host/p#frag", nullptr, "host", 80, "/p#frag", 0},
        {"http://Ntfy.Example.COM./x", nullptr, "Ntfy.Example.COM.", 80, "/x", 0},
        {"http://:8080/", nullptr, "", 8080, "/", 0},
        {"http://127.0.0.1:8150", nullptr, "127.0.0.1", 8150, "/", 0},
    };
    for (const ParseCase &c : cases)
        check_parse(c);
}

TEST(UrlParse, RefusedWithTheirMessages) {
    std::string long_host = "http://" + std::string(256, 'a') + "/";
    const ParseCase cases[] = {
        {nullptr, "empty url"},
        {"", "empty url"},
        {"HTTPS://host", "url must start with http:// or https://"},
        {"ftp://host", "url must start with http:// or https://"},
        {"http://[::1]/", "IPv6 literals are not supported"},
        {"http:///path", "url has no host"},
        {long_host.c_str(), "host too long"},
        {"http://user:pw@host/", "userinfo in url is refused"},
        {"http://host:0/", "port out of range"},
        {"http://host:65536/", "port out of range"},
        {"http://host:12345678/", "bad port"},
        {"http://host:80a/", "bad port"},
        {"http://host:/", "bad port"},
        {"http://host_name/", "host contains forbidden characters"},
        {"http://host/a b", "path contains a space"},
        {"http://host/a\"b", "path contains forbidden characters"},
        {"http://host/a\\b", "path contains forbidden characters"},
        {"http://host/a\tb", "path contains forbidden characters"},
        {"http://host/a\nb", "path contains forbidden characters"},
    };
    for (const ParseCase &c : cases)
        check_parse(c);
}

TEST(UrlParse, LongPathIsCutWithoutMessageAndRecordIsClearedOnFailure) {
    std::string path = "/" + std::string(1499, 'p');
    qv_url u;
    ASSERT_EQ(qv_url_parse(("http://h" + path).c_str(), &u, nullptr, 0), 0);
    EXPECT_EQ(std::string(u.path), path.substr(0, 1023));
    ASSERT_EQ(qv_url_parse("http://h:99999/", &u, nullptr, 0), -1);
    EXPECT_STREQ(u.host, "");
    EXPECT_STREQ(u.scheme, "");
}

TEST(UrlEncode, UnreservedPassEverythingElseEscapedInUpperCase) {
    char out[64];
    qv_url_encode("a b/\xC3\xBC", out, sizeof out);
    EXPECT_STREQ(out, "a%20b%2F%C3%BC");
    qv_url_encode("AZaz09-._~", out, sizeof out);
    EXPECT_STREQ(out, "AZaz09-._~");
    qv_url_encode("a b", out, 3);  // the escape does not fit whole
    EXPECT_STREQ(out, "a");
    qv_url_encode(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
}

static std::string encode(const char *host, int port, int tls, const char *method,
                          const char *path, const char *const *headers = nullptr,
                          const char *body = nullptr, size_t body_len = 0) {
    char *text = nullptr;
    size_t len = 0;
    if (build_request(host, port, tls, method, path, headers, body, body_len, &text, &len) != 0)
        return "REFUSED";
    std::string s(text, len);
    EXPECT_EQ(text[len], '\0');
    free(text);
    return s;
}

static const std::string FIXED = "User-Agent: quorvane-bot-chimewick/1.0.0\r\n"
                                 "Accept: */*\r\n"
                                 "Accept-Encoding: identity\r\n"
                                 "Connection: close\r\n";

TEST(BuildRequest, HostLineLengthLineAndBody) {
    const char *hdrs[] = {"Title: hi", "Tags: a,b", nullptr};
    EXPECT_EQ(encode("127.0.0.1", 8150, 0, "POST", "/topic", hdrs, "hello", 5),
              "POST /topic HTTP/1.1\r\nHost: 127.0.0.1:8150\r\n" + FIXED +
                  "Title: hi\r\nTags: a,b\r\nContent-Length: 5\r\n\r\nhello");
    EXPECT_EQ(encode("ntfy.sh", 443, 1, "GET", "/t/json"),
              "GET /t/json HTTP/1.1\r\nHost: ntfy.sh\r\n" + FIXED + "\r\n");
    EXPECT_EQ(encode("h", 80, 1, "GET", "/"), "GET / HTTP/1.1\r\nHost: h:80\r\n" + FIXED + "\r\n");
    EXPECT_EQ(encode("h", 80, 0, "POST", "/"),
              "POST / HTTP/1.1\r\nHost: h\r\n" + FIXED + "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(encode("h", 80, 0, "PUT", "/"),
              "PUT / HTTP/1.1\r\nHost: h\r\n" + FIXED + "Content-Length: 0\r\n\r\n");
}

TEST(BuildRequest, BodyWithZeroBytesIsCopiedWhole) {
    const char body[] = {'a', '\0', 'b'};
    std::string req = encode("h", 80, 0, "POST", "/", nullptr, body, 3);
    EXPECT_EQ(req.substr(req.size() - 3), std::string(body, 3));
}

TEST(BuildRequest, RefusesWhatCouldBreakTheHead) {
    const char *cr[] = {"Title: a\rInjected: 1", nullptr};
    const char *lf[] = {"Title: a\nInjected: 1", nullptr};
    const char *tab[] = {"Title: a\tb", nullptr};
    std::string long_line = "X-Long: " + std::string(1193, 'x');  // 1201 bytes
    const char *too_long[] = {long_line.c_str(), nullptr};
    EXPECT_EQ(encode("h", 80, 0, "POST", "/", cr), "REFUSED");
    EXPECT_EQ(encode("h", 80, 0, "POST", "/", lf), "REFUSED");
    EXPECT_NE(encode("h", 80, 0, "POST", "/", tab), "REFUSED");
    EXPECT_EQ(encode("h", 80, 0, "POST", "/", too_long), "REFUSED");
    EXPECT_EQ(encode("h", 80, 0, "ABCDEFGHIJK", "/"), "REFUSED");
    EXPECT_NE(encode("h", 80, 0, "ABCDEFGHIJ", "/"), "REFUSED");
    EXPECT_EQ(encode("h", 80, 0, "GET", "/a\"b"), "REFUSED");
    EXPECT_EQ(encode("h", 80, 0, "GET", "/a\r\nb"), "REFUSED");
    EXPECT_NE(encode("h", 80, 0, "GET", "/a b"), "REFUSED");  // blanks are the URL's business
    EXPECT_EQ(encode("h", 80, 0, "GET", ("/" + std::string(2000, 'p')).c_str()), "REFUSED");
}

TEST(BuildRequest, HeadMustFitIn8191Bytes) {
    std::string line = "X-Fill: " + std::string(1190, 'x');
    std::vector<const char *> hdrs(7, line.c_str());  // about 8.4 KB of header lines
    hdrs.push_back(nullptr);
    EXPECT_EQ(encode("h", 80, 0, "GET", "/", hdrs.data()), "REFUSED");
    hdrs[5] = nullptr;  // five lines fit
    EXPECT_NE(encode("h", 80, 0, "GET", "/", hdrs.data()), "REFUSED");
}
