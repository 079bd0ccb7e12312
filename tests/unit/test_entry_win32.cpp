// What the Windows executable writes on its standard streams: the discovery texts go out before
// binary mode, so each line feed becomes CR LF and nothing else changes; CGI answers, MCP
// answers and requests pass byte for byte once binary mode is on.
#include "entry.h"
#include "mcp.h"
#include "support.h"

#include <gtest/gtest.h>
#include <string>

// The text as the C library writes it in text mode: every line feed preceded by a carriage return.
static std::string crlf(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

TEST(WindowsStdio, DiscoveryTextsEndTheirLinesWithCrLf) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        std::string want;
    } cases[] = {
        {{"--meta"}, {}, crlf(std::string(qv_meta_text()) + "\n")},
        {{"-m"}, {}, crlf(std::string(qv_meta_text()) + "\n")},
        {{}, {{"QV_PLUGIN_META", "0"}}, crlf(std::string(qv_meta_text()) + "\n")},
        {{"--schema"}, {}, crlf(std::string(qv_schema_text()) + "\n")},
        {{"--help"}, {}, crlf(qv_usage_text())},
        {{"-x", "-h"}, {}, crlf(qv_usage_text())},
    };
    for (const Case &c : cases) {
        RunResult r = run_exe(c.args, c.env);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, c.want) << (c.args.empty() ? "QV_PLUGIN_META" : c.args.back());
    }
    // Six lines, each ended by CR LF, and no carriage return anywhere else.
    std::string usage = run_exe({"--help"}, {}).out;
    size_t lines = 0;
    for (size_t i = 0; i < usage.size(); i++) {
        if (usage[i] == '\r') {
            ASSERT_LT(i + 1, usage.size());
            EXPECT_EQ(usage[i + 1], '\n');
            lines++;
        }
    }
    EXPECT_EQ(lines, 6u);
}

TEST(WindowsStdio, CgiAnswerKeepsItsCrLfExactly) {
    TempStateRoot t;
    RunResult r = run_exe({}, {{"QV_CONNECTORS_DIR", t.root()},
                               {"BOT_PASSWORD", "pw"},
                               {"REQUEST_METHOD", "GET"},
                               {"QUERY_STRING", "action=status"}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Status: 401\r\n"
                     "Content-Type: application/json; charset=utf-8\r\n"
                     "Cache-Control: no-store\r\n"
                     "X-Content-Type-Options: nosniff\r\n"
                     "\r\n"
                     "{\"ok\":false,\"error\":\"invalid node password\"}\n");
}

TEST(WindowsStdio, PostBodyIsReadRaw) {
    TempStateRoot t;
    // A CR LF inside the body must reach the API as sent: a text-mode read would drop the CR and
    // come up one byte short of CONTENT_LENGTH.
    std::string body = "{\"reply_prefix\":\"a\\r\\nb\",\r\n\"title_prefix\":\"T\"}";
    RunResult r = run_exe({},
                          {{"QV_CONNECTORS_DIR", t.root()},
                           {"REQUEST_METHOD", "POST"},
                           {"QUERY_STRING", "action=save"},
                           {"CONTENT_TYPE", "application/json"},
                           {"CONTENT_LENGTH", std::to_string(body.size())}},
                          body);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("\"ok\":true"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"title_prefix\":\"T\""), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("\r\r"), std::string::npos);
}

TEST(WindowsStdio, McpAnswersEndWithABareLineFeedAndCrLfRequestsAreServed) {
    TempStateRoot t;
    RunResult r = run_exe({"--mcp"}, {{"QV_CONNECTORS_DIR", t.root()}},
                          "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\r\n"
                          "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n"
                     "{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{}}\n");
}

TEST(WindowsStdio, McpInputIsNotCutAtAControlZ) {
    TempStateRoot t;
    // In text mode the C library takes byte 0x1A for the end of the input.
    RunResult r = run_exe({"--mcp"}, {{"QV_CONNECTORS_DIR", t.root()}},
                          "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}\n"
                          "\x1a\n"
                          "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"ping\"}\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.find("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{}}\n"), 0u) << r.out;
    EXPECT_NE(r.out.find("{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{}}\n"), std::string::npos)
        << r.out;
}

TEST(WindowsStdio, McpToolsListCarriesTheSchemaUnchanged) {
    TempStateRoot t;
    RunResult r = run_exe({"--mcp"}, {{"QV_CONNECTORS_DIR", t.root()}},
                          "{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"tools/list\"}\n");
    std::string schema = run_exe({"--schema"}, {}).out;
    ASSERT_GE(schema.size(), 2u);
    ASSERT_EQ(schema.substr(schema.size() - 2), "\r\n");
    EXPECT_EQ(r.out, "{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":" +
                         schema.substr(0, schema.size() - 2) + "}\n");
}
