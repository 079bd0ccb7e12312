// Polling the node's conversation: position arithmetic, which roles are relayed, the newest
// reply of a batch, and silent failures that leave the cursor alone.
#include "clients.h"
#include "net_peers.h"
#include "state.h"

#include <gtest/gtest.h>
#include <string>

static std::string ok_json(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

struct Polled {
    int64_t cursor;
    std::string reply, request;
};

static Polled poll_with(const std::string &answer, int64_t cursor, const char *password = "",
                        size_t cap = 256) {
    ScriptPeer node(script_of({answer}));
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    snprintf(c.bot_api_url, sizeof c.bot_api_url, "http://127.0.0.1:%d/ignored", node.port());
    strcpy(c.target_session, "main chat");
    strcpy(c.bot_password, password);
    char out[256] = "junk";
    poll_assistant(&c, &cursor, out, cap);
    return {cursor, out, node.received()};
}

TEST(Conversation, RequestCarriesSessionCursorAndPassword) {
    Polled p = poll_with(ok_json(R"({"messages":[]})"), 42, "pw");
    EXPECT_EQ(p.request.rfind("GET /conversation?id=main%20chat&after=42&limit=100 HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(p.request.find("\r\nAccept: application/json\r\nX-Bot-Password: pw\r\n"), std::string::npos);
    p = poll_with(ok_json(R"({"messages":[]})"), -1);
    EXPECT_NE(p.request.find("after=-1&"), std::string::npos);
    EXPECT_EQ(p.request.find("X-Bot-Password"), std::string::npos);
}

TEST(Conversation, PositionsRolesAndTheNewestReply) {
    struct Case {
        std::string body;
        int64_t cursor_in, cursor_out;
        std::string reply;
    } cases[] = {
        {R"({"start_index":40,"messages":[{"role":"user","content":"a"},{"role":"tool_result","content":"b"},{"role":"info","content":"c"}]})", 0, 43, ""},
        {R"({"start_index":0,"messages":[{"role":"assistant","content":"one"},{"role":"assistant","content":"two"}]})", 0, 2, "two"},
        {R"({"messages":[{"role":"assistant","content":"kept"},{"role":"assistant","content":""}]})", 0, 2, "kept"},
        {R"({"start_index":3,"messages":[{"role":"agent","content":"any other role"},{},7,{"content":"no role"},{"role":"","content":"x"}]})", 0, 8, "any other role"},
        {R"({"start_index":10,"messages":[{"role":"assistant","content":"old"}]})", 50, 50, "old"},
        {R"({"start_index":"9","messages":[{"role":"thinking","content":"t"},{"role":"unknown","content":"u"},{"role":"tool_use","content":"v"}]})", 0, 3, ""},
    };
    for (const Case &c : cases) {
        Polled p = poll_with(ok_json(c.body), c.cursor_in);
        EXPECT_EQ(p.cursor, c.cursor_out) << c.body;
        EXPECT_EQ(p.reply, c.reply) << c.body;
    }
}

TEST(Conversation, FailuresAreSilentAndKeepTheCursor) {
    const std::string answers[] = {
        "HTTP/1.1 401 Unauthorized\r\nContent-Length: 2\r\n\r\n{}",
        ok_json("not json"),
        ok_json(R"({"messages":{}})"),
        ok_json(R"([{"role":"assistant","content":"x"}])"),
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",
    };
    for (const std::string &a : answers) {
        Polled p = poll_with(a, 7);
        EXPECT_EQ(p.cursor, 7) << a;
        EXPECT_EQ(p.reply, "") << a;
    }
}

TEST(Conversation, ALongReplyIsCutToTheBuffer) {
    Polled p = poll_with(ok_json(R"({"messages":[{"role":"assistant","content":"abcdefghij"}]})"), 0, "", 5);
    EXPECT_EQ(p.reply, "abcd");
}

TEST(Conversation, PlainHttpElsewhereIsNeverContacted) {
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    strcpy(c.bot_api_url, "http://192.0.2.1:8150");
    strcpy(c.bot_password, "pw");
    int64_t cursor = 3;
    char out[16] = "junk";
    poll_assistant(&c, &cursor, out, sizeof out);  // returns at once, no connection attempted
    EXPECT_EQ(cursor, 3);
    EXPECT_STREQ(out, "");
}
