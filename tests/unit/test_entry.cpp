// The executable's entry: discovery texts byte for byte, argument dispatch, the password gate
// and its 401 answer, and CGI routing.
#include "entry.h"
#include "mcp.h"
#include "support.h"

#include <gtest/gtest.h>
#include <string>
#include <yyjson.h>

static const std::string META =
    R"({"name":"ntfy","desc":"Push channel","version":"1.0.2","slug":"ntfy","id":"chimewick",)"
    R"("kind":"hybrid","mcp":true,"daemon":true,"menus":false,"verified":"mock",)"
    R"("category":"network","capabilities":["https_outbound_ntfy_publish",)"
    R"("https_outbound_ntfy_subscribe_stream","loopback_node_inbox_bridge",)"
    R"("pairing_allowlist_state_0600","bundled_root_store_tls_verification",)"
    R"("stdio_mcp_jsonrpc_server"],"tools":["ntfy_send"]})"
    "\n";

static const std::string SCHEMA =
    R"({"tools":[{"name":"ntfy_send","description":"Send an ntfy push notification from the )"
    R"(agent: alerts, report summaries, 'task finished' pings. Posts to the configured ntfy )"
    R"(server (default https://ntfy.sh) and the configured topic. Returns the published )"
    R"(message id.",)"
    R"("inputSchema":{  "type":"object",  "properties":{    "message":{"type":"string",)"
    R"("description":"Notification body (required)."},    "title":{"type":"string",)"
    R"("description":"Optional notification title."},    "priority":{"type":"integer",)"
    R"("description":"ntfy priority 1..5 (min low .. max urgent). Default 3.","minimum":1,)"
    R"("maximum":5},    "tags":{"type":"string","description":"Optional comma-separated )"
    R"(emoji tag names, e.g. 'warning,bell'."},    "topic":{"type":"string",)"
    R"("description":"Optional override topic (defaults to the configured publish topic)."})"
    R"(  },  "required":["message"]}}]})"
    "\n";

static const std::string USAGE =
    "chimewick 1.0.2 -- QUORVANE BOT ntfy channel connector\n"
    "  --meta            JSON discovery metadata (unauthenticated)\n"
    "  --mcp             stdio MCP server exposing the ntfy_send tool\n"
    "  --schema          the tool schema only\n"
    "  --daemon          channel gateway: ntfy <-> node /inbox bridge\n"
    "  (no args, CGI)    Setup & Topic Pairing UI + ?action= JSON API\n";

static const std::string UNAUTHORIZED =
    "Status: 401\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n"
    R"({"ok":false,"error":"invalid node password"})"
    "\n";

TEST(Discovery, TextsAreExactWhateverTheEnvironment) {
    for (const char *arg : {"--meta", "-m"}) {
        RunResult r = run_exe({arg}, {});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, META);
    }
    // No state directory is needed or touched: a root that cannot be used changes nothing.
    RunResult r = run_exe({"--schema"}, {{"QV_CONNECTORS_DIR", "/proc/none"}, {"HOME", "/proc/none"}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, SCHEMA);
    for (const char *arg : {"--help", "-h"}) {
        r = run_exe({arg}, {});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, USAGE);
    }
}

TEST(Discovery, MetadataAndSchemaParseAsJson) {
    yyjson_doc *meta = yyjson_read(qv_meta_text(), strlen(qv_meta_text()), 0);
    ASSERT_NE(meta, nullptr);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(meta), "id")), "chimewick");
    yyjson_doc_free(meta);
    yyjson_doc *schema = yyjson_read(qv_schema_text(), strlen(qv_schema_text()), 0);
    ASSERT_NE(schema, nullptr);
    yyjson_val *tool = yyjson_arr_get(yyjson_obj_get(yyjson_doc_get_root(schema), "tools"), 0);
    yyjson_val *required = yyjson_obj_getn(yyjson_obj_get(tool, "inputSchema"), "required", 8);
    ASSERT_EQ(yyjson_arr_size(required), 1u);
    EXPECT_STREQ(yyjson_get_str(yyjson_arr_get(required, 0)), "message");
    yyjson_doc_free(schema);
}

TEST(Dispatch, FirstMatchingArgumentDecidesAndUnknownOnesAreSkipped) {
    EXPECT_EQ(run_exe({"--schema", "--meta"}, {}).out, SCHEMA);
    EXPECT_EQ(run_exe({"-s", "-x", "--meta=1", "-h"}, {}).out, USAGE);
    EXPECT_EQ(run_exe({"-x", "--meta"}, {}).out, META);
    EXPECT_EQ(run_exe({}, {{"QV_PLUGIN_META", "0"}}).out, META);
    // An empty QV_PLUGIN_META counts as unset: the process serves a CGI request instead.
    EXPECT_NE(run_exe({}, {{"QV_PLUGIN_META", ""}, {"BOT_PASSWORD", "pw"}}).out, META);
}

TEST(Gate, RefusesWithTheExact401Answer) {
    RunResult r = run_exe({}, {{"BOT_PASSWORD", "s3cret"}, {"QUERY_STRING", "action=status"}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, UNAUTHORIZED);
}

TEST(Gate, AdmitRefuseMatrix) {
    struct Case {
        const char *x_bot, *authorization, *query;
        int admits;
    } cases[] = {
        {nullptr, nullptr, nullptr, 0},
        {"s3cret", nullptr, nullptr, 1},
        {"S3CRET", nullptr, nullptr, 0},
        {"wrong", "Bearer s3cret", nullptr, 1},
        {nullptr, "   Bearer    s3cret", nullptr, 1},
        {nullptr, "bearer s3cret", nullptr, 0},
        {nullptr, "s3cret", nullptr, 0},
        {nullptr, "Bearer s3cret ", nullptr, 0},  // trailing blanks belong to the value
        {nullptr, "\tBearer s3cret", nullptr, 0}, // only blanks are skipped
        {"wrong", "Bearer wrong", "a=1&pwd=s3cret", 1},
        {nullptr, nullptr, "pwd=s3%63ret", 1},
        {nullptr, nullptr, "PWD=s3cret", 0},
        {nullptr, nullptr, "xpwd=s3cret", 0},
    };
    ScopedEnv password("BOT_PASSWORD", "s3cret");
    for (const Case &c : cases) {
        ScopedEnv x("HTTP_X_BOT_PASSWORD", c.x_bot);
        ScopedEnv a("HTTP_AUTHORIZATION", c.authorization);
        ScopedEnv q("QUERY_STRING", c.query);
        EXPECT_EQ(cgi_password_admits(), c.admits)
            << (c.x_bot ? c.x_bot : "-") << " | " << (c.authorization ? c.authorization : "-")
            << " | " << (c.query ? c.query : "-");
    }
}

TEST(Gate, NoPasswordMeansNoGate) {
    ScopedEnv password("BOT_PASSWORD", "");
    ScopedEnv x("HTTP_X_BOT_PASSWORD", nullptr);
    EXPECT_EQ(cgi_password_admits(), 1);
}

TEST(Gate, APasswordLongerThanTheQueryBufferNeverMatchesThroughTheQuery) {
    std::string pw(300, 'p');
    ScopedEnv password("BOT_PASSWORD", pw.c_str());
    std::string q = "pwd=" + pw;
    ScopedEnv query("QUERY_STRING", q.c_str());
    EXPECT_EQ(cgi_password_admits(), 0);
}
