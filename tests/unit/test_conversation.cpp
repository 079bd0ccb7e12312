// Polling the node's conversation: position arithmetic, which roles are relayed, the replies of
// a page oldest first with their positions, and failures that take nothing.
#include "clients_internal.h"
#include "net_peers.h"
#include "state.h"

#include <gtest/gtest.h>
#include <string>

static std::string ok_json(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Polled {
    int rc;
    int64_t last;
    std::string replies; // "position:text" joined by "|"
    std::string request;
    bool restarted;
};

static std::string replies_of(const qv_reply_page &page) {
    std::string all;
    for (int k = 0; k < page.count; k++)
        all += (k ? "|" : "") + std::to_string(page.replies[k].position) + ":" + page.replies[k].text;
    return all;
}

static Polled poll_with(const std::string &answer, int64_t after, const char *password = "",
                        int max_replies = QV_REPLY_BATCH) {
    ScriptPeer node(script_of({answer}));
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    snprintf(c.bot_api_url, sizeof c.bot_api_url, "http://127.0.0.1:%d/ignored", node.port());
    strcpy(c.target_session, "main chat");
    strcpy(c.bot_password, password);
    static qv_reply_page page;
    int rc = poll_replies(&c, after, max_replies, &page);
    return {rc, page.last, replies_of(page), node.received(), page.restarted};
}

TEST(Conversation, RequestCarriesSessionCursorAndPassword) {
    Polled p = poll_with(ok_json(R"({"messages":[]})"), 42, "pw");
    EXPECT_EQ(p.request.rfind("GET /conversation?id=main%20chat&after=42&limit=100 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(p.request.find("\r\nAccept: application/json\r\nX-Bot-Password: pw\r\n"), std::string::npos);
    p = poll_with(ok_json(R"({"messages":[]})"), -1);
    EXPECT_NE(p.request.find("after=-1&"), std::string::npos);
    EXPECT_EQ(p.request.find("X-Bot-Password"), std::string::npos);
}

TEST(Conversation, PositionsRolesAndEveryReplyInOrder) {
    struct Case {
        std::string body;
        int64_t after, last;
        std::string replies;
        int max_replies = QV_REPLY_BATCH;
    } cases[] = {
        {R"({"start_index":40,"messages":[{"role":"user","content":"a"},{"role":"tool_result","content":"b"},{"role":"info","content":"c"}]})", 0, 43, ""},
        {R"({"start_index":0,"messages":[{"role":"assistant","content":"one"},{"role":"assistant","content":"two"}]})", 0, 2, "1:one|2:two"},
        {R"({"messages":[{"role":"assistant","content":"kept"},{"role":"assistant","content":""}]})", 0, 2, "1:kept"},
        {R"({"start_index":3,"messages":[{"role":"agent","content":"any other role"},{},7,{"content":"no role"},{"role":"","content":"x"}]})", 0, 8, "4:any other role"},
        // A node that hands back what the relay already has: none of it is taken again.
        {R"({"start_index":10,"messages":[{"role":"assistant","content":"old"}]})", 50, 50, ""},
        {R"({"start_index":1,"messages":[{"role":"assistant","content":"seen"},{"role":"assistant","content":"new"}]})", 2, 3, "3:new"},
        {R"({"start_index":"9","messages":[{"role":"thinking","content":"t"},{"role":"unknown","content":"u"},{"role":"tool_use","content":"v"}]})", 0, 3, ""},
        // The batch stops at its size: the rest waits for the next page after the last reply.
        {R"({"start_index":0,"messages":[{"role":"assistant","content":"a"},{"role":"user","content":"q"},{"role":"assistant","content":"b"},{"role":"assistant","content":"c"}]})", 0, 2, "1:a", 1},
        // Positions only (seeding): every entry counts, nothing is taken.
        {R"({"start_index":5,"messages":[{"role":"assistant","content":"a"},{"role":"assistant","content":"b"}]})", -1, 7, "", 0},
        // Positions saturate: a huge start_index never wraps back to the beginning.
        {R"({"start_index":9223372036854775806,"messages":[{"role":"assistant","content":"a"},{"role":"assistant","content":"b"}]})", 0, INT64_MAX, "9223372036854775807:a"},
        {R"({"start_index":-9223372036854775808,"messages":[{"role":"assistant","content":"a"}]})", -1, -1, ""},
    };
    for (const Case &c : cases) {
        Polled p = poll_with(ok_json(c.body), c.after, "", c.max_replies);
        EXPECT_EQ(p.rc, 0) << c.body;
        EXPECT_EQ(p.last, c.last) << c.body;
        EXPECT_EQ(p.replies, c.replies) << c.body;
    }
}

TEST(Conversation, AConversationShorterThanTheCursorStartedAgain) {
    struct Case {
        std::string body;
        int64_t after;
        bool restarted;
    } cases[] = {
        {R"({"start_index":2,"total":2,"messages":[]})", 6, true},
        {R"({"start_index":0,"total":4,"messages":[{"role":"assistant","content":"new"}]})", 6, true},
        {R"({"start_index":3,"messages":[]})", 6, true}, // a node that gives no total
        {R"({"start_index":6,"total":8,"messages":[{"role":"assistant","content":"next"}]})", 6, false},
        {R"({"start_index":6,"total":6,"messages":[]})", 6, false},
        {R"({"start_index":10,"messages":[{"role":"assistant","content":"old"}]})", 50, false},
        {R"({"total":0,"messages":[]})", 0, false},
        {R"({"total":0,"messages":[]})", -1, false},
    };
    for (const Case &c : cases) {
        Polled p = poll_with(ok_json(c.body), c.after);
        EXPECT_EQ(p.rc, 0) << c.body;
        EXPECT_EQ(p.restarted, c.restarted) << c.body;
        if (c.restarted) {
            EXPECT_EQ(p.replies, "") << c.body;
            EXPECT_EQ(p.last, c.after) << c.body;
        }
    }
}

TEST(Conversation, FailuresTakeNothing) {
    const std::string answers[] = {
        "HTTP/1.1 401 Unauthorized\r\nContent-Length: 2\r\n\r\n{}",
        ok_json("not json"),
        ok_json(R"({"messages":{}})"),
        ok_json(R"([{"role":"assistant","content":"x"}])"),
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
    };
    for (const std::string &a : answers) {
        Polled p = poll_with(a, 7);
        EXPECT_EQ(p.rc, -1) << a;
        EXPECT_EQ(p.last, 7) << a;
        EXPECT_EQ(p.replies, "") << a;
    }
}

TEST(Conversation, ALongReplyIsCutToItsCapacity) {
    std::string longest(QV_REPLY_CAP + 10, 'r');
    Polled p = poll_with(ok_json(R"({"messages":[{"role":"assistant","content":")" + longest + R"("}]})"), 0);
    EXPECT_EQ(p.replies, "1:" + std::string(QV_REPLY_CAP - 1, 'r'));
}

TEST(Conversation, PlainHttpElsewhereIsNeverContacted) {
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    strcpy(c.bot_api_url, "http://192.0.2.1:8150");
    strcpy(c.bot_password, "pw");
    static qv_reply_page page;
    EXPECT_EQ(poll_replies(&c, 3, QV_REPLY_BATCH, &page), -1); // at once, no connection attempted
    EXPECT_EQ(page.last, 3);
    EXPECT_EQ(page.count, 0);
}
