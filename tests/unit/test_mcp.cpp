// The MCP server as a client sees it: answers line by line, ids, notifications, errors, and
// tool results for publishes that fail before reaching a server.
#include "net_peers.h"
#include "support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

static std::vector<std::pair<std::string, std::string>> mcp_env(const std::string &root) {
    return {{"QV_CONNECTORS_DIR", root}, {"NTFY_TOPIC", "alerts"},
            {"NTFY_SERVER_URL", "http://127.0.0.1:1"}};
}

// Runs one MCP session over the given input and returns its output lines.
static std::vector<std::string> session(const std::string &input,
                                        std::vector<std::pair<std::string, std::string>> env) {
    RunResult r = run_exe({"--mcp"}, env, input);
    EXPECT_EQ(r.exit_code, 0);
    std::vector<std::string> lines;
    size_t start = 0, nl;
    while ((nl = r.out.find('\n', start)) != std::string::npos) {
        lines.push_back(r.out.substr(start, nl - start));
        start = nl + 1;
    }
    EXPECT_EQ(start, r.out.size()) << "output must end with a line feed";
    return lines;
}

class Mcp : public ::testing::Test {
protected:
    std::vector<std::string> run(const std::string &input) { return session(input, mcp_env(state_.root())); }
    TempStateRoot state_;
};

TEST_F(Mcp, InitializePingAndToolsList) {
    auto out = run(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})"
                   "\n"
                   R"({"jsonrpc":"2.0","method":"notifications/initialized"})"
                   "\n"
                   R"({"jsonrpc":"2.0","id":1,"method":"ping"})"
                   "\n"
                   R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
                   "\n");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0],
              R"({"jsonrpc":"2.0","id":0,"result":{"protocolVersion":"2024-11-05","capabilities":)"
              R"({"tools":{}},"serverInfo":{"name":"chimewick","version":"1.0.2"},"instructions":)"
              R"("ntfy push + channel connector for QUORVANE BOT. Use ntfy_send to deliver notifications."}})");
    EXPECT_EQ(out[1], R"({"jsonrpc":"2.0","id":1,"result":{}})");
    RunResult schema = run_exe({"--schema"}, {});
    std::string schema_text = schema.out.substr(0, schema.out.size() - 1);
    EXPECT_EQ(out[2], R"({"jsonrpc":"2.0","id":2,"result":)" + schema_text + "}");
}

TEST_F(Mcp, IntegerAndStringIdsAreAnsweredAndEchoedExactly) {
    const std::string longest(256, 'x'), too_long(257, 'x');
    auto out = run(R"({"jsonrpc":"2.0","id":"1","method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":1.5,"method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":null,"method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":-7,"method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":18446744073709551615,"method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":3,"method":"notifications/cancelled"})" "\n"
                   R"({"jsonrpc":"2.0","id":"a\"b\\c\u0001\u00e9","method":"initialize"})" "\n"
                   R"({"jsonrpc":"2.0","id":"z\u0000z","method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":")" + too_long + R"(","method":"ping"})" "\n"
                   R"({"jsonrpc":"2.0","id":")" + longest + R"(","method":"nope"})" "\n");
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":"1","result":{}})");
    EXPECT_EQ(out[1], R"({"jsonrpc":"2.0","id":-7,"result":{}})");
    EXPECT_EQ(out[2], R"({"jsonrpc":"2.0","id":18446744073709551615,"result":{}})");
    EXPECT_EQ(out[3].rfind(R"({"jsonrpc":"2.0","id":"a\"b\\c\u0001é","result":{"protocolVersion")", 0), 0u)
        << out[3];
    EXPECT_EQ(out[4], R"({"jsonrpc":"2.0","id":")" + longest +
                          R"(","error":{"code":-32601,"message":"method not found"}})");
}

TEST_F(Mcp, MalformedInputIsSkippedAndServingGoesOn) {
    std::string overlong = R"({"jsonrpc":"2.0","id":9,"method":"ping","pad":")" +
                           std::string(70000, 'x') + "\"}";
    // The tail of an over-long line, read on its own, would be a valid request.
    std::string tricky = std::string(65535, ' ') + R"({"jsonrpc":"2.0","id":8,"method":"ping"})";
    std::string with_nul = std::string(R"({"jsonrpc":"2.0","id":6,"method":"ping"})") + '\0' + "x";
    auto out = run("   \t \n"
                   "{not json\n"
                   "[{\"jsonrpc\":\"2.0\",\"id\":4,\"method\":\"ping\"}]\n"
                   "{}\n"
                   "42\n" +
                   overlong + "\n" + tricky + "\n" + with_nul + "\n" +
                   R"({"jsonrpc":"2.0","id":5,"method":"ping"})" "\n");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":5,"result":{}})");
}

TEST_F(Mcp, UnknownMethodsAndToolArgumentErrors) {
    auto out = run(R"({"jsonrpc":"2.0","id":1,"method":"resources/list"})" "\n"
                   R"({"jsonrpc":"2.0","id":2})" "\n"
                   R"({"jsonrpc":"2.0","id":3,"method":"tools/call"})" "\n"
                   R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"other"}})" "\n"
                   R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"ntfy_send"}})" "\n"
                   R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"ntfy_send","arguments":{"message":""}}})" "\n"
                   R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"ntfy_send","arguments":{"message":3}}})" "\n");
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"method not found"}})");
    EXPECT_EQ(out[1], R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"method not found"}})");
    EXPECT_EQ(out[2], R"({"jsonrpc":"2.0","id":3,"error":{"code":-32602,"message":"unknown tool"}})");
    EXPECT_EQ(out[3], R"({"jsonrpc":"2.0","id":4,"error":{"code":-32602,"message":"unknown tool"}})");
    for (int i = 4; i < 7; i++)
        EXPECT_EQ(out[i], R"({"jsonrpc":"2.0","id":)" + std::to_string(i + 1) +
                              R"(,"error":{"code":-32602,"message":"ntfy_send requires a non-empty 'message'"}})");
}

TEST_F(Mcp, NoTopicAnywhere) {
    auto env = mcp_env(state_.root());
    env[1].second = "";
    auto out = session(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"ntfy_send","arguments":{"message":"hi"}}})" "\n", env);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":1,"error":{"code":-32603,"message":"no topic configured: open the ntfy plugin UI or set NTFY_TOPIC"}})");
}

TEST_F(Mcp, PublishFailuresAreToolResultsWithIsError) {
    auto out = run(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"ntfy_send","arguments":{"message":"hi"}}})" "\n"
                   R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"ntfy_send","arguments":{"message":"hi","topic":"a/b"}}})" "\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"ntfy_send failed: cannot connect to 127.0.0.1:1)" + kRefused + R"("}],"isError":true}})");
    EXPECT_EQ(out[1], R"({"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"text","text":"ntfy_send failed: topic contains forbidden characters"}],"isError":true}})");
}

TEST_F(Mcp, BrokenConfigIsReportedOnceAndServingGoesOn) {
    std::filesystem::create_directories(state_.state_dir());
    write_whole(state_.file("config.json"), "{broken");
    auto out = run(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":1,"result":{}})");
}

// Which topic and priority a call publishes with: its own topic, else the publish topic, else the
// topic; its own priority when it is 1 to 5, else the configured one.
TEST_F(Mcp, TopicAndPriorityOfACall) {
    struct Case {
        std::string args, publish_topic, topic, priority;
    } cases[] = {
        {R"("message":"hi")", "outbox", "outbox", "3"},
        {R"("message":"hi")", "", "alerts", "3"},
        {R"("message":"hi","topic":"mine","priority":5)", "outbox", "mine", "5"},
        {R"("message":"hi","priority":1)", "", "alerts", "1"},
        {R"("message":"hi","priority":4)", "", "alerts", "4"},
        {R"("message":"hi","priority":6)", "", "alerts", "3"},
        {R"("message":"hi","priority":0)", "", "alerts", "3"},
        {R"("message":"hi","priority":"5")", "", "alerts", "3"},
    };
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\n\r\n{\"id\":\"abc\"}\n";
    for (const Case &c : cases) {
        ScriptPeer peer(script_of({answer}));
        auto env = mcp_env(state_.root());
        env[2].second = "http://127.0.0.1:" + std::to_string(peer.port());
        env.push_back({"NTFY_PUBLISH_TOPIC", c.publish_topic});
        auto out = session(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"ntfy_send","arguments":{)" +
                               c.args + "}}}\n",
                           env);
        ASSERT_EQ(out.size(), 1u) << c.args;
        EXPECT_NE(out[0].find("published to " + c.topic + " (id abc, priority " + c.priority + ")"),
                  std::string::npos)
            << c.args << ": " << out[0];
        std::string request = peer.received();
        EXPECT_EQ(request.rfind("POST /" + c.topic + " HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_NE(request.find("\r\nPriority: " + c.priority + "\r\n"), std::string::npos) << request;
    }
}
