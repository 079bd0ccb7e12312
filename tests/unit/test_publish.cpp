// Publishing to ntfy against a scripted loopback server: the request as the server sees it,
// the id read from the answer, and every refusal and status error.
#include "clients.h"
#include "net_peers.h"
#include "state.h"

#include <gtest/gtest.h>
#include <string>

static const std::string OK_ID = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
                                 "Content-Length: 37\r\n\r\n{\"id\":\"abc\",\"event\":\"message\",\"x\":1}\n";

struct Published {
    int rc;
    std::string id, err, request;
};

static qv_ntfy_config config_for(const std::string &server) {
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    snprintf(c.server_url, sizeof c.server_url, "%s", server.c_str());
    return c;
}

static Published publish_to(ScriptPeer &peer, qv_ntfy_config c, const char *topic,
                            const char *message, const char *title, int priority,
                            const char *tags) {
    Published p;
    char id[QV_PUB_ID_CAP] = "junk";
    char err[256] = "";
    p.rc = ntfy_publish(&c, topic, message, title, priority, tags, id, err, sizeof err);
    p.id = id;
    p.err = err;
    p.request = peer.received();
    return p;
}

static std::string head_of(const std::string &request) {
    return request.substr(0, request.find("\r\n\r\n") + 2);
}

TEST(Publish, RequestLinesInOrderAndTheIdFromTheAnswer) {
    ScriptPeer peer(script_of({OK_ID}));
    qv_ntfy_config c = config_for("http://127.0.0.1:" + std::to_string(peer.port()) + "//");
    c.markdown = 1;
    snprintf(c.bearer_token, sizeof c.bearer_token, "Bearer tk_secret");
    Published p = publish_to(peer, c, "alerts", "hello **world**", "Build done", 5, "warning,bell");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.id, "abc");
    std::string want_head = "POST /alerts HTTP/1.1\r\n"
                            "Host: 127.0.0.1:" + std::to_string(peer.port()) + "\r\n"
                            "User-Agent: quorvane-bot-chimewick/1.0.0\r\n"
                            "Accept: */*\r\n"
                            "Accept-Encoding: identity\r\n"
                            "Connection: close\r\n"
                            "Title: Build done\r\n"
                            "Tags: warning,bell,quorvane\r\n"
                            "Priority: 5\r\n"
                            "X-Markdown: true\r\n"
                            "Authorization: Bearer tk_secret\r\n"
                            "X-Source-Id: quorvane-bot-chimewick\r\n"
                            "Content-Length: 15\r\n";
    EXPECT_EQ(head_of(p.request), want_head);
    EXPECT_EQ(p.request.substr(p.request.size() - 15), "hello **world**");
}

TEST(Publish, OptionalLinesLeftOutAndTagsCleaned) {
    struct Case {
        const char *base;  // the server URL's path: ntfy may sit below one behind a proxy
        const char *title, *tags;
        int priority;
        const char *line;  // the request line
        const char *want;  // the header lines after Connection and before Content-Length
    } cases[] = {
        {"/some/path", "", "", 3, "POST /some/path/t HTTP/1.1\r\n", "Tags: quorvane\r\nPriority: 3\r\n"},
        {"/ntfy//", nullptr, "\x01\x02\x1f", 0, "POST /ntfy/t HTTP/1.1\r\n", "Tags: ,quorvane\r\n"},
        {"/?x=1", nullptr, "a\tb\x7f\xC3\xA9", 6, "POST /t HTTP/1.1\r\n", "Tags: ab\x7f\xC3\xA9,quorvane\r\n"},
        {"", nullptr, "", 2, "POST /t HTTP/1.1\r\n", "Tags: quorvane\r\nPriority: 2\r\n"},
    };
    for (const Case &k : cases) {
        ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
        qv_ntfy_config c = config_for("http://127.0.0.1:" + std::to_string(peer.port()) + k.base);
        Published p = publish_to(peer, c, "t", nullptr, k.title, k.priority, k.tags);
        ASSERT_EQ(p.rc, 0) << p.err;
        EXPECT_EQ(p.id, "");  // an empty answer is success without an id
        std::string head = head_of(p.request);
        EXPECT_EQ(head.rfind(k.line, 0), 0u) << head;
        size_t from = head.find("Connection: close\r\n") + 19;
        size_t to = head.find("X-Source-Id:");
        EXPECT_EQ(head.substr(from, to - from), k.want);
        EXPECT_NE(head.find("Content-Length: 0\r\n"), std::string::npos);
    }
}

TEST(Publish, LongTitleAndTagsAreCutToTheirLines) {
    ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    qv_ntfy_config c = config_for("http://127.0.0.1:" + std::to_string(peer.port()));
    std::string title(400, 'T'), tags(400, 'g');
    Published p = publish_to(peer, c, "t", "m", title.c_str(), 3, tags.c_str());
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_NE(p.request.find("\r\nTitle: " + std::string(252, 'T') + "\r\n"), std::string::npos);
    EXPECT_NE(p.request.find("\r\nTags: " + std::string(219, 'g') + ",quorvane\r\n"), std::string::npos);
}

TEST(Publish, TopicRefusalsNeverConnect) {
    std::string t128(128, 'a'), t129(129, 'a');
    struct Case {
        const char *topic, *err;
    } cases[] = {
        {nullptr, "no topic"},
        {"", "no topic"},
        {t129.c_str(), "bad topic length"},
        {"a/b", "topic contains forbidden characters"},
        {"caf\xC3\xA9", "topic contains forbidden characters"},
    };
    qv_ntfy_config c = config_for("http://127.0.0.1:" + std::to_string(unused_port()));
    for (const Case &k : cases) {
        char id[QV_PUB_ID_CAP], err[256] = "";
        EXPECT_EQ(ntfy_publish(&c, k.topic, "m", nullptr, 3, "", id, err, sizeof err), -1);
        EXPECT_STREQ(err, k.err);
    }
    ScriptPeer peer(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    Published p = publish_to(peer, config_for(peer.url()), t128.c_str(), "m", nullptr, 3, "");
    EXPECT_EQ(p.rc, 0) << p.err;
}

TEST(Publish, StatusErrorsCarryABodyExcerpt) {
    struct Case {
        std::string answer, err;
    } cases[] = {
        {"HTTP/1.1 403 Forbidden\r\nContent-Length: 10\r\n\r\nforbidden\n", "ntfy server answered 403: forbidden"},
        {"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n", "ntfy server answered 500"},
        {"HTTP/1.1 404 Not Found\r\nContent-Length: 300\r\n\r\n" + std::string(300, 'x'),
         "ntfy server answered 404: " + std::string(199, 'x')},
        // A proxy's Latin-1 page: only UTF-8 goes on into the status, the log and MCP answers.
        {"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 12\r\n\r\nPasserelle \xE9", "ntfy server answered 502: Passerelle \xEF\xBF\xBD"},
    };
    for (const Case &k : cases) {
        ScriptPeer peer(script_of({k.answer}));
        Published p = publish_to(peer, config_for(peer.url()), "t", "m", nullptr, 3, "");
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.err, k.err);
        EXPECT_EQ(p.id, "");
    }
}

TEST(Publish, ALineBreakInATitleOrTokenNeverReachesTheWire) {
    for (int which = 0; which < 2; which++) {
        ScriptPeer peer(script_of({OK_ID}));
        qv_ntfy_config c = config_for(peer.url());
        const char *title = "ok";
        if (which == 0)
            title = "hi\r\nX-Injected: 1";
        else
            snprintf(c.bearer_token, sizeof c.bearer_token, "Bearer a\nX-Injected: 1");
        Published p = publish_to(peer, c, "t", "m", title, 3, "");
        EXPECT_EQ(p.rc, -1);
        EXPECT_EQ(p.err, "request refused (malformed header or path)");
        EXPECT_EQ(p.request.find("X-Injected"), std::string::npos);
    }
}

TEST(Publish, ConnectionAndUrlErrorsArePassedOn) {
    char id[QV_PUB_ID_CAP], err[256] = "";
    int port = unused_port();
    qv_ntfy_config c = config_for("http://127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(ntfy_publish(&c, "t", "m", nullptr, 3, "", id, err, sizeof err), -1);
    EXPECT_EQ(std::string(err), "cannot connect to 127.0.0.1:" + std::to_string(port) + kRefused);
    c = config_for("ftp://127.0.0.1");
    EXPECT_EQ(ntfy_publish(&c, "t", "m", nullptr, 3, "", id, err, sizeof err), -1);
    EXPECT_STREQ(err, "url must start with http:// or https://");
}

TEST(Publish, FailuresAreSortedByWhatWaitingCanCure) {
    const struct {
        int status;
        const char *body;
        qv_pub_failure_kind kind;
    } cases[] = {
        {0, "", QV_PUB_WAIT},
        {429, R"({"code":42901,"error":"limit reached: too many requests"})", QV_PUB_WAIT},
        {503, "", QV_PUB_WAIT},
        {408, "", QV_PUB_WAIT},
        {401, "", QV_PUB_TOKEN},
        {403, R"({"code":40301,"error":"forbidden"})", QV_PUB_TOKEN},
        {400, R"({"code":40013,"error":"invalid request: attachments not allowed"})", QV_PUB_TOO_LARGE},
        {413, "", QV_PUB_TOO_LARGE},
        {400, "message Too Large", QV_PUB_TOO_LARGE},
        {400, R"({"error":"invalid priority"})", QV_PUB_CONTENT},
        {404, "", QV_PUB_CONTENT},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ntfy_failure_kind(c.status, c.body), c.kind) << c.status << " " << c.body;
}
