// The test and send actions against a scripted loopback ntfy server: the request it sees (topic,
// title, tags, priority, body), the answer and the sent ledger, and every refusal.
#include "net_peers.h"
#include "setup_support.h"
#include "state.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

static const std::string OK_ID =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
    "Content-Length: 37\r\n\r\n{\"id\":\"abc\",\"event\":\"message\",\"x\":1}\n";
static const std::string OK_NO_ID = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";

class SetupSend : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
    }
    void configure(const std::string &server, const char *topic, const char *publish_topic,
                   const char *title_prefix = "QUORVANE BOT", const char *tags = "",
                   int priority = 3) {
        qv_ntfy_config c;
        qv_ntfy_config_defaults(&c);
        snprintf(c.server_url, sizeof c.server_url, "%s", server.c_str());
        snprintf(c.topic, sizeof c.topic, "%s", topic);
        snprintf(c.publish_topic, sizeof c.publish_topic, "%s", publish_topic);
        snprintf(c.title_prefix, sizeof c.title_prefix, "%s", title_prefix);
        snprintf(c.tags, sizeof c.tags, "%s", tags);
        c.priority = priority;
        char err[256] = "";
        ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0) << err;
    }
    bool ledger_has(const char *id) {
        qv_ntfy_sent_reset_for_tests();
        return qv_ntfy_sent_has(id) == 1;
    }
    TempStateRoot state_;
};

static std::string header(const std::string &request, const std::string &name) {
    size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos || at > request.find("\r\n\r\n"))
        return "<none>";
    at += name.size() + 4;
    return request.substr(at, request.find("\r\n", at) - at);
}

static std::string body_of(const std::string &request) {
    size_t at = request.find("\r\n\r\n");
    return at == std::string::npos ? "" : request.substr(at + 4);
}

static std::string first_line(const std::string &request) {
    return request.substr(0, request.find("\r\n"));
}

TEST_F(SetupSend, TestPublishesTheFixedMessageAndNotesItsId) {
    struct Case {
        const char *topic, *publish_topic, *title_prefix;
        const char *want_topic, *want_title;
        int priority;
    } cases[] = {
        {"", "pt", "QUORVANE BOT", "pt", "QUORVANE BOT test", 3},
        {"tt", "", "Ops", "tt", "Ops test", 5},
        {"tt", "pt", "", "pt", "QUORVANE BOT test", 1},
    };
    for (const Case &k : cases) {
        PeerScript script = script_of({OK_ID});
        script.connections = 2; // the publication, then the read check
        ScriptPeer peer(script);
        configure(peer.url(), k.topic, k.publish_topic, k.title_prefix, "ignored", k.priority);
        RunResult r = cgi(state_, "action=test");
        std::string both = peer.received();
        size_t second = both.find("GET ");
        std::string request = both.substr(0, second);
        // The token must read the topic the daemon subscribes to: a poll that hands back nothing.
        std::string read_topic = k.topic[0] ? k.topic : k.publish_topic;
        EXPECT_EQ(both.substr(second, both.find("\r\n", second) - second)
                      .rfind("GET /" + read_topic + "/json?poll=1&since=", 0),
                  0u)
            << both;
        EXPECT_EQ(r.out,
                  cgi_answer(200, std::string(R"({"ok":true,"published_id":"abc","topic":")") +
                                      k.want_topic + "\"}"));
        EXPECT_EQ(first_line(request), std::string("POST /") + k.want_topic + " HTTP/1.1");
        EXPECT_EQ(header(request, "Title"), k.want_title);
        EXPECT_EQ(header(request, "Tags"), "bell,quorvane");
        EXPECT_EQ(header(request, "Priority"), std::to_string(k.priority));
        EXPECT_EQ(body_of(request), "chimewick test notification from this node. If you can "
                                    "read this, publishing works.");
        EXPECT_TRUE(ledger_has("abc"));
        std::filesystem::remove(state_.file("sent.json"));
    }
}

TEST_F(SetupSend, TestNeedsATopicAndReportsThePublisherFailing) {
    configure("http://127.0.0.1:9", "", "");
    EXPECT_EQ(cgi(state_, "action=test").out, cgi_fail(400, "set a topic first"));
    int port = unused_port();
    configure("http://127.0.0.1:" + std::to_string(port), "tt", "");
    EXPECT_EQ(cgi(state_, "action=test").out,
              cgi_fail(502, "cannot connect to 127.0.0.1:" + std::to_string(port) + kRefused));
    ScriptPeer peer(script_of({"HTTP/1.1 403 Forbidden\r\nContent-Length: 16\r\n\r\n"
                               "{\"error\":\"no\"}\n\n"}));
    configure(peer.url(), "tt", "");
    EXPECT_EQ(cgi(state_, "action=test").out,
              cgi_fail(502, R"(ntfy server answered 403: {\"error\":\"no\"})"));
    EXPECT_FALSE(std::filesystem::exists(state_.file("sent.json")));
}

TEST_F(SetupSend, SendUsesTheRequestFieldsOrTheConfiguredOnes) {
    struct Case {
        std::string body;
        const char *want_topic, *want_title, *want_tags, *want_priority, *want_message;
    } cases[] = {
        {R"({"message":"  hi there  "})", "pt", "<none>", "robot,quorvane", "4", "hi there"},
        {R"({"message":"m","title":"T","tags":"a,b","topic":"other","priority":5})", "other", "T",
         "a,b,quorvane", "5", "m"},
        {R"({"message":"m","title":"","tags":"","priority":"0"})", "pt", "<none>", "robot,quorvane",
         "4", "m"},
        {R"({"message":"m","priority":"6"})", "pt", "<none>", "robot,quorvane", "4", "m"},
        {R"({"message":"m","priority":" 2 "})", "pt", "<none>", "robot,quorvane", "2", "m"},
        {R"({"message":"m","title":" spaced "})", "pt", " spaced ", "robot,quorvane", "4", "m"},
    };
    for (const Case &k : cases) {
        ScriptPeer peer(script_of({OK_ID}));
        configure(peer.url(), "tt", "pt", "QUORVANE BOT", "robot", 4);
        RunResult r = cgi(state_, "action=send", "POST", k.body);
        std::string request = peer.received();
        EXPECT_EQ(r.out,
                  cgi_answer(200, std::string(R"({"ok":true,"published_id":"abc","topic":")") +
                                      k.want_topic + "\"}"))
            << k.body;
        EXPECT_EQ(first_line(request), std::string("POST /") + k.want_topic + " HTTP/1.1");
        EXPECT_EQ(header(request, "Title"), k.want_title) << k.body;
        EXPECT_EQ(header(request, "Tags"), k.want_tags) << k.body;
        EXPECT_EQ(header(request, "Priority"), k.want_priority) << k.body;
        EXPECT_EQ(body_of(request), k.want_message) << k.body;
    }
}

TEST_F(SetupSend, SendFromTheQueryString) {
    ScriptPeer peer(script_of({OK_ID}));
    configure(peer.url(), "tt", "");
    RunResult r = cgi(state_, "action=send&message=hello+w%C3%B6rld&title=Hi");
    std::string request = peer.received();
    EXPECT_EQ(r.out, cgi_answer(200, R"({"ok":true,"published_id":"abc","topic":"tt"})"));
    EXPECT_EQ(body_of(request), "hello w\xC3\xB6rld");
    EXPECT_EQ(header(request, "Title"), "Hi");
}

TEST_F(SetupSend, SendRefusals) {
    configure("http://127.0.0.1:9", "", "");
    // The message is checked before the topic.
    EXPECT_EQ(cgi(state_, "action=send", "POST", R"({"message":"   "})").out,
              cgi_fail(400, "message is required"));
    EXPECT_EQ(cgi(state_, "action=send").out, cgi_fail(400, "message is required"));
    // A priority that is no whole number refuses the send, as it refuses a save.
    for (const char *p : {"x", "2x", "-1"})
        EXPECT_EQ(cgi(state_, "action=send", "POST",
                      std::string(R"({"message":"m","priority":")") + p + "\"}")
                      .out,
                  cgi_fail(400, "priority must be a whole number from 1 to 5"))
            << p;
    EXPECT_EQ(cgi(state_, "action=send", "POST", R"({"message":null,"x":1})").out,
              cgi_fail(400, "message is required"));
    EXPECT_EQ(cgi(state_, "action=send", "POST", R"({"message":"m"})").out,
              cgi_fail(400, "no topic configured"));
    // A topic the publisher refuses is the publisher's failure, not a bad request.
    EXPECT_EQ(cgi(state_, "action=send", "POST", R"({"message":"m","topic":"no/such"})").out,
              cgi_fail(502, "topic contains forbidden characters"));
    EXPECT_EQ(cgi(state_, "action=send", "POST",
                  R"({"message":"m","topic":")" + std::string(129, 'a') + "\"}")
                  .out,
              cgi_fail(502, "bad topic length"));
}

TEST_F(SetupSend, AnswerWithoutIdLeavesTheLedgerAlone) {
    ScriptPeer peer(script_of({OK_NO_ID}));
    configure(peer.url(), "tt", "");
    RunResult r = cgi(state_, "action=send", "POST", R"({"message":"m"})");
    peer.received();
    EXPECT_EQ(r.out, cgi_answer(200, R"({"ok":true,"published_id":"","topic":"tt"})"));
    EXPECT_FALSE(std::filesystem::exists(state_.file("sent.json")));
}

TEST_F(SetupSend, LongMessageIsCutBeforeTrimmingOnACharacterBoundary) {
    std::string e = "\xC3\xA9";
    struct Case {
        std::string message, want;
    } cases[] = {
        {std::string(7999, 'm') + " tail", std::string(7999, 'm')},
        {std::string(7998, 'm') + "  x", std::string(7998, 'm')},
        {"", ""},
    };
    std::string many_e;
    for (int i = 0; i < 4000; i++)
        many_e += e;
    cases[2] = {many_e, many_e.substr(0, 7998)};
    for (const Case &k : cases) {
        ScriptPeer peer(script_of({OK_ID}));
        configure(peer.url(), "tt", "");
        RunResult r = cgi(state_, "action=send", "POST", "{\"message\":\"" + k.message + "\"}");
        std::string request = peer.received();
        EXPECT_EQ(r.out, cgi_answer(200, R"({"ok":true,"published_id":"abc","topic":"tt"})"));
        EXPECT_EQ(body_of(request), k.want);
    }
}
