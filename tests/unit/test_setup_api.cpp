// The setup API's frame: the exact answer bytes, choosing the action, the JSON body against the
// query string, CONTENT_LENGTH, the password gate in front of the API, failure bodies, and the
// fallback when config.json is broken.
#include "entry.h"
#include "setup_internal.h"
#include "setup_support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <yyjson.h>

static const std::string DEFAULT_CONFIG =
    R"({"ok":true,"config":{"server_url":"https://ntfy.sh","topic":"","publish_topic":"",)"
    R"("bot_api_url":"http://127.0.0.1:8150","target_session":"","tags":"","reply_prefix":"",)"
    R"("title_prefix":"QUORVANE BOT","ca_file":"","priority":3,"markdown":0,"allow_all":0,)"
    R"("pairing_code_enabled":1,"private_topics":0,"reply_poll_ms":700,"idle_timeout_ms":90000,"catchup_s":3600,)"
    R"("updated_at":0}})";

static const std::string INFO_PREFIX =
    R"({"ok":true,"id":"chimewick","slug":"ntfy","version":"1.0.2","kind":"hybrid",)"
    R"("mcp":true,"daemon":true,"menus":false,"verified":"mock",)"
    R"("dir_note":"state in ~/.quorvane/connectors/chimewick","connector_dir":)";

class SetupApi : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
    }
    std::string info() const {
        return cgi_answer(200, INFO_PREFIX + json_str(state_.state_dir()) + "}");
    }
    std::string config() const {
        return cgi_answer(200, DEFAULT_CONFIG);
    }
    std::string status() const {
        return cgi(state_, "action=status").out;
    }
    // A body over the limit is answered for itself, whatever the action: nothing is done.
    static std::string too_large() {
        return cgi_fail(413, "the request body is larger than 1 MiB (1048576 bytes): nothing was "
                             "done");
    }
    TempStateRoot state_;
};

TEST_F(SetupApi, AnswerIsOneCgiResponseWithTheExactHead) {
    RunResult r = cgi(state_, "action=config");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, config());
    r = cgi(state_, "action=info");
    EXPECT_EQ(r.out, info());
}

TEST_F(SetupApi, ChoosingTheAction) {
    const std::string unknown = cgi_fail(400, "unknown action");
    struct Case {
        const char *query;
        std::string want;
    } cases[] = {
        {"format=json", status()},
        {"action=", status()},
        {"action=%20status%20", status()},
        {"action=+info+", info()},
        {"action=STATUS", unknown},
        {"action=%20%20", unknown},
        {"action=stat", unknown},
        {"action=config&action=info", config()},
        {"x=1&action=info", info()},
        // The field is cut to 39 raw bytes before decoding: "status" and eleven escaped blanks.
        {"action=status%20%20%20%20%20%20%20%20%20%20%20%20%20%20%20X", status()},
        {"action=infoooooooooooooooooooooooooooooooooooooooooo", unknown},
    };
    for (const Case &c : cases) {
        RunResult r = cgi(state_, c.query);
        EXPECT_EQ(r.out, c.want) << c.query;
        EXPECT_EQ(r.exit_code, 0) << c.query;
    }
}

TEST_F(SetupApi, JsonBodyComesBeforeTheQueryString) {
    struct Case {
        const char *query;
        std::string body;
        std::string want;
    } cases[] = {
        {"action=config", R"({"action":"info"})", info()},
        {"action=info", R"({"other":1})", info()},
        {"", R"({"action":"config"})", config()},
        {"", R"({"action":" config "})", config()},
        // A member that holds no text hides the query string's field: the action is "status".
        {"action=info", R"({"action":null})", status()},
        {"action=info", R"({"action":1.5})", status()},
        {"action=info", R"({"action":["info"]})", status()},
        {"action=info", R"({"action":{"a":"info"}})", status()},
        {"action=info", R"({"action":7})", cgi_fail(400, "unknown action")},
        {"action=info", R"({"action":true})", cgi_fail(400, "unknown action")},
        {"action=info", R"({"action":""})", status()},
        // The first member of that name counts.
        {"", R"({"action":"info","action":"config"})", info()},
        // The cut to 39 bytes comes before trimming and matching.
        {"", R"({"action":"config                                 X"})", config()},
        // A root that is no object, or a body that is no JSON, leaves the query string.
        {"action=info", R"(["action","config"])", info()},
        {"action=info", R"({"action":"config")", info()},
        {"action=config", "action=info", config()},
        {"", "action=info&format=json", status()},
    };
    for (const Case &c : cases) {
        RunResult r = cgi(state_, c.query, "POST", c.body);
        EXPECT_EQ(r.out, c.want) << c.query << " " << c.body;
    }
}

TEST_F(SetupApi, BodyIsReadOnlyForPostAndWithAUsableLength) {
    const std::string body = R"({"action":"info"})";
    struct Case {
        const char *method;
        const char *length;
        std::string want;
    } cases[] = {
        {"POST", "17", info()},        {"post", "17", info()},
        {"POST", " 17", info()},       {"POST", "17abc", info()},
        {"POST", "100", info()}, // the body simply ends before the stated length
        {"POST", "0", config()},       {"POST", "-17", config()},
        {"POST", "abc", config()},     {"POST", "", config()},
        {"POST", "1048577", too_large()}, {"POST", "99999999999999999999999", too_large()},
        {"POST", "5", config()}, // a cut body is no JSON
        {"GET", "17", config()},       {"PUT", "17", config()},
    };
    ASSERT_EQ(body.size(), 17u);
    for (const Case &c : cases) {
        RunResult r = cgi(state_, "action=config", c.method, body, {{"CONTENT_LENGTH", c.length}});
        EXPECT_EQ(r.out, c.want) << c.method << " " << c.length;
    }
    // Without any CONTENT_LENGTH (Apache with a chunked body) the body is read to the end of
    // input, up to the same limit.
    const CgiEnv no_length = {{"QV_CONNECTORS_DIR", state_.root()},
                              {"REQUEST_METHOD", "POST"},
                              {"QUERY_STRING", "action=config"}};
    EXPECT_EQ(run_exe({}, no_length, body).out, info());
    std::string too_large = R"({"action":"info")" + std::string(1048576 - 16, ' ') + "}";
    ASSERT_EQ(too_large.size(), 1048577u);
    EXPECT_EQ(run_exe({}, no_length, too_large).out, this->too_large());
}

TEST_F(SetupApi, LargestBodyIsRead) {
    // 1,048,576 bytes: the action, then blanks up to the limit.
    std::string body = R"({"action":"info")";
    body += std::string(1048576 - body.size() - 1, ' ') + "}";
    ASSERT_EQ(body.size(), 1048576u);
    EXPECT_EQ(cgi(state_, "action=config", "POST", body).out, info());
    // One byte more is not read at all: the program ends without taking the input (run_exe
    // takes the closed pipe in its stride, no SIGPIPE).
    body.insert(body.size() - 1, " ");
    EXPECT_EQ(cgi(state_, "action=config", "POST", body).out, too_large());
}

TEST_F(SetupApi, PasswordGateGuardsEveryAction) {
    const std::string refused = cgi_fail(401, "invalid node password");
    const CgiEnv pw = {{"BOT_PASSWORD", "s3cret"}};
    EXPECT_EQ(cgi(state_, "action=config", "GET", "", pw).out, refused);
    // A refused save stores nothing.
    RunResult r = cgi(state_, "action=save", "POST", R"({"topic":"t"})", pw);
    EXPECT_EQ(r.out, refused);
    EXPECT_FALSE(std::filesystem::exists(state_.file("config.json")));
    r = cgi(state_, "", "POST", R"({"action":"save","topic":"t"})",
            {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "wrong"}});
    EXPECT_EQ(r.out, refused);
    EXPECT_FALSE(std::filesystem::exists(state_.file("config.json")));

    EXPECT_EQ(cgi(state_, "action=info", "GET", "",
                  {{"BOT_PASSWORD", "s3cret"}, {"HTTP_X_BOT_PASSWORD", "s3cret"}})
                  .out,
              info());
    EXPECT_EQ(cgi(state_, "action=info", "GET", "",
                  {{"BOT_PASSWORD", "s3cret"}, {"HTTP_AUTHORIZATION", "Bearer s3cret"}})
                  .out,
              info());
    EXPECT_EQ(cgi(state_, "action=info&pwd=s3cret", "GET", "", pw).out, info());
}

TEST_F(SetupApi, BrokenConfigFallsBackToPlainDefaults) {
    write_whole(state_.file("config.json"), "{\"topic\":");
    // The environment overlay is not applied after a failed load.
    RunResult r = cgi(state_, "action=config", "GET", "",
                      {{"NTFY_TOPIC", "from-env"}, {"NTFY_PRIORITY", "5"}});
    EXPECT_EQ(r.out, cgi_answer(200, DEFAULT_CONFIG.substr(0, DEFAULT_CONFIG.size() - 1) +
                                         R"(,"env_overrides":["topic","priority"]})"));
    // With a readable file the overlay applies as usual.
    write_whole(state_.file("config.json"), "{}");
    r = cgi(state_, "action=config", "GET", "", {{"NTFY_PRIORITY", "5"}});
    EXPECT_NE(cgi_body(r).find("\"priority\":5"), std::string::npos) << r.out;
}

// --- the pieces, in process ---

static std::string captured(void (*write)()) {
    testing::internal::CaptureStdout();
    write();
    return testing::internal::GetCapturedStdout();
}

TEST(SetupApiFrame, FailureBodyIsEscapedAndCut) {
    EXPECT_EQ(captured([] { jfail(500, "say \"hi\" \\ now\nthen\x01"); }),
              cgi_fail(500, R"(say \"hi\" \\ now\nthen\u0001)"));
    EXPECT_EQ(captured([] { jfail(502, std::string(2000, 'x').c_str()); }),
              cgi_fail(502, std::string(1023, 'x')));
    // An escape that would not fit whole is left out: 511 quotes take 1,022 bytes.
    std::string quotes;
    for (int i = 0; i < 511; i++)
        quotes += "\\\"";
    EXPECT_EQ(captured([] { jfail(400, std::string(600, '"').c_str()); }), cgi_fail(400, quotes));
}

TEST(SetupApiFrame, AnswerThatCannotBeWrittenIsSerialiseFailed) {
    EXPECT_EQ(captured([] {
                  jout j;
                  jout_init(&j);
                  yyjson_mut_obj_add_str(j.doc, j.root, "bad", "\xff\xfe");
                  jout_done(&j);
              }),
              cgi_answer(200, R"({"ok":false,"error":"serialise failed"})"));
    EXPECT_EQ(captured([] {
                  jout j;
                  jout_init(&j);
                  yyjson_mut_obj_add_int(j.doc, j.root, "n", -4);
                  jout_done(&j);
              }),
              cgi_answer(200, R"({"ok":true,"n":-4})"));
}

// req_field against a parsed body: "=" and the text when found, "absent:" and the text otherwise.
static std::string field(const char *json, const char *query, const char *name, size_t size = 64) {
    yyjson_doc *doc = json ? yyjson_read(json, strlen(json), 0) : nullptr;
    char out[64] = "junk";
    int found = req_field(query, doc ? yyjson_doc_get_root(doc) : nullptr, name, out, size);
    yyjson_doc_free(doc);
    return (found ? std::string("=") : std::string("absent:")) + out;
}

TEST(SetupApiFrame, RequestFieldsFromTheBodyThenTheQuery) {
    EXPECT_EQ(field(R"({"v":"text"})", "v=q", "v"), "=text");
    EXPECT_EQ(field(R"({"v":true})", "v=q", "v"), "=1");
    EXPECT_EQ(field(R"({"v":false})", "v=q", "v"), "=0");
    EXPECT_EQ(field(R"({"v":42})", "v=q", "v"), "=42");
    EXPECT_EQ(field(R"({"v":-7})", "v=q", "v"), "=-7");
    EXPECT_EQ(field(R"({"v":18446744073709551615})", "v=q", "v"), "=-1");
    EXPECT_EQ(field(R"({"v":""})", "v=q", "v"), "=");
    for (const char *hidden : {R"({"v":null})", R"({"v":2.5})", R"({"v":[1]})", R"({"v":{}})"})
        EXPECT_EQ(field(hidden, "v=q", "v"), "absent:") << hidden;
    EXPECT_EQ(field(R"({"w":"x"})", "v=q", "v"), "=q");
    EXPECT_EQ(field(R"(["v"])", "v=q", "v"), "=q");
    EXPECT_EQ(field(nullptr, "v=q", "v"), "=q");
    EXPECT_EQ(field(nullptr, nullptr, "v"), "absent:");
    EXPECT_EQ(field(R"({"vv":"x","v":"y"})", "", "v"), "=y");
    EXPECT_EQ(field(R"({"V":"x"})", "", "v"), "absent:");
    // Cut to size - 1 bytes, never inside a character.
    EXPECT_EQ(field(R"({"v":"abcdef"})", "", "v", 4), "=abc");
    EXPECT_EQ(field(R"({"v":"a\u00e9\u00e9"})", "", "v", 5), "=a\xC3\xA9");
    EXPECT_EQ(field(R"({"v":"a\u00e9\u00e9"})", "", "v", 4), "=a\xC3\xA9");
    EXPECT_EQ(field(R"({"v":"a\u00e9\u00e9"})", "", "v", 3), "=a");
    EXPECT_EQ(field(R"({"v":123456})", "", "v", 4), "=123");
    // A query value cut inside an escaped character loses the character's first bytes.
    EXPECT_EQ(field(nullptr, "v=%C3%A9%C3%A9", "v", 10), "=\xC3\xA9");
    EXPECT_EQ(field(nullptr, "v=a%E2%82%AC", "v", 9), "=a");
    EXPECT_EQ(field(nullptr, "v=a%E2%82%AC", "v", 11), "=a\xE2\x82\xAC");
}

TEST(SetupApiFrame, ValidKeyIsExactlySixtyFourHexDigits) {
    const std::string k = hex_identity(0xC0FFEE);
    std::string upper = k;
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string text;
        int want;
    } cases[] = {
        {k, 1},
        {upper, 1},
        {std::string(64, 'F'), 1},
        {k.substr(0, 63), 0},
        {k + "0", 0},
        {k.substr(0, 63) + "g", 0},
        {" " + k.substr(1), 0},
        {k.substr(0, 32) + "-" + k.substr(33), 0},
        {"", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(valid_key(c.text.c_str()), c.want) << c.text;
    EXPECT_EQ(valid_key(nullptr), 0);
}
