// The connector configuration: defaults, file reading, environment overlay and clamping,
// fallbacks, validation messages, and save-then-load.
#include "base.h"
#include "state.h"
#include "support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <yyjson.h>

namespace fs = std::filesystem;

static const char *const NTFY_VARS[] = {
    "NTFY_SERVER_URL",     "NTFY_TOPIC",         "NTFY_PUBLISH_TOPIC",    "NTFY_TOKEN",
    "NTFY_TARGET_SESSION", "NTFY_BOT_API_URL",   "BOT_PASSWORD",          "NTFY_TAGS",
    "NTFY_REPLY_PREFIX",   "NTFY_TITLE_PREFIX",  "NTFY_CA_FILE",          "NTFY_TLS_PIN",
    "NTFY_MARKDOWN",       "NTFY_ALLOW_ALL",     "NTFY_PAIRING_CODE",     "NTFY_PRIORITY",
    "NTFY_REPLY_POLL_MS",  "NTFY_IDLE_TIMEOUT_MS", "NTFY_RECONNECT_MIN_MS", "NTFY_RECONNECT_MAX_MS",
    "NTFY_TLS_INSECURE",   "NTFY_CATCHUP_S",
};

// Each test starts from an empty state root and no configuration variables.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *v : NTFY_VARS) {
            saved_.emplace_back(v, getenv(v) ? getenv(v) : "");
            had_.push_back(getenv(v) != nullptr);
            unsetenv(v);
        }
        fs::create_directories(state_.state_dir());
    }
    void TearDown() override {
        for (size_t i = 0; i < saved_.size(); i++) {
            if (had_[i])
                setenv(saved_[i].first.c_str(), saved_[i].second.c_str(), 1);
            else
                unsetenv(saved_[i].first.c_str());
        }
    }
    qv_ntfy_config load(int want_rc = 0) {
        qv_ntfy_config c;
        char err[256] = "";
        EXPECT_EQ(qv_ntfy_config_load(&c, err, sizeof err), want_rc) << err;
        last_err_ = err;
        return c;
    }
    void write_config(const std::string &json) { write_whole(state_.file("config.json"), json); }
    std::string validate(const qv_ntfy_config &c) {
        char err[256] = "";
        return qv_ntfy_config_validate(&c, err, sizeof err) == 0 ? "OK" : err;
    }

    TempStateRoot state_;
    std::string last_err_;
    std::vector<std::pair<std::string, std::string>> saved_;
    std::vector<bool> had_;
};

TEST_F(Config, DefaultsWithNoFileAndNoEnvironment) {
    qv_ntfy_config c = load();
    EXPECT_STREQ(c.server_url, "https://ntfy.sh");
    EXPECT_STREQ(c.bot_api_url, "http://127.0.0.1:8150");
    EXPECT_STREQ(c.title_prefix, "QUORVANE BOT");
    EXPECT_STREQ(c.topic, "");
    EXPECT_STREQ(c.publish_topic, "");
    EXPECT_EQ(c.priority, 3);
    EXPECT_EQ(c.pairing_code_enabled, 1);
    EXPECT_EQ(c.reply_poll_ms, 700);
    EXPECT_EQ(c.idle_timeout_ms, 90000);  // outlasts ntfy's 45 s keepalive
    EXPECT_EQ(c.reconnect_min_ms, 1000);
    EXPECT_EQ(c.reconnect_max_ms, 60000);
    EXPECT_EQ(validate(c), "topic is required");
}

TEST_F(Config, FileMembersTypesAndFallbacks) {
    write_config(R"({"server_url":"","topic":"alerts","bot_api_url":"","priority":"5",)"
                 R"("markdown":2,"reply_poll_ms":5.0,"tags":42,"title_prefix":"T",)"
                 R"("topic":"second","idle_timeout_ms":1e5,"updated_at":1700000000,"x":1})");
    qv_ntfy_config c = load();
    EXPECT_STREQ(c.server_url, "https://ntfy.sh");
    EXPECT_STREQ(c.topic, "alerts");  // first occurrence wins
    EXPECT_STREQ(c.publish_topic, "alerts");
    EXPECT_STREQ(c.bot_api_url, "http://127.0.0.1:8150");
    EXPECT_EQ(c.priority, 3);
    EXPECT_EQ(c.markdown, 2);
    EXPECT_EQ(c.reply_poll_ms, 700);
    EXPECT_EQ(c.idle_timeout_ms, 90000);
    EXPECT_STREQ(c.tags, "");
    EXPECT_STREQ(c.title_prefix, "T");
    EXPECT_EQ(c.updated_at, 1700000000);
}

TEST_F(Config, BrokenFileGivesDefaultsPlusEnvironmentWithoutFallbacks) {
    write_config("{\"topic\":\"a\",}");
    setenv("NTFY_TOPIC", "fromenv", 1);
    qv_ntfy_config c = load(-1);
    EXPECT_EQ(last_err_, "config.json is not valid JSON");
    EXPECT_STREQ(c.topic, "fromenv");
    EXPECT_STREQ(c.publish_topic, "");  // no fallback copy
    write_config("[1,2]");  // a root that is not an object contributes nothing
    c = load();
    EXPECT_STREQ(c.topic, "fromenv");
}

TEST_F(Config, EnvironmentOverridesFile) {
    write_config(R"({"topic":"file","publish_topic":"filepub","priority":2,"allow_all":1})");
    setenv("NTFY_TOPIC", "env", 1);
    setenv("NTFY_PUBLISH_TOPIC", "", 1);  // empty counts as unset
    setenv("NTFY_ALLOW_ALL", "Off", 1);
    qv_ntfy_config c = load();
    EXPECT_STREQ(c.topic, "env");
    EXPECT_STREQ(c.publish_topic, "filepub");
    EXPECT_EQ(c.allow_all, 0);
    EXPECT_EQ(c.priority, 2);
}

TEST_F(Config, PriorityAndFlagVariables) {
    struct {
        const char *value;
        int priority;
    } priorities[] = {{"0", 3}, {"6", 3}, {"high", 3}, {"4x", 4}, {" 5", 5}, {"-1", 3}};
    for (const auto &p : priorities) {
        setenv("NTFY_PRIORITY", p.value, 1);
        EXPECT_EQ(load().priority, p.priority) << p.value;
    }
    struct {
        const char *value;
        int flag;
    } flags[] = {{"TRUE", 1}, {"Off", 0}, {"2", 0}, {"yes", 1}, {"no", 0}};
    for (const auto &f : flags) {
        setenv("NTFY_ALLOW_ALL", f.value, 1);
        EXPECT_EQ(load().allow_all, f.flag) << f.value;
    }
    EXPECT_EQ(env_int("NTFY_NO_SUCH_VARIABLE", 7), 7);
}

TEST_F(Config, TimingClamps) {
    struct {
        const char *poll, *idle, *min, *max;
        int64_t want_poll, want_idle, want_min, want_max;
    } cases[] = {
        {"abc", "999999", "100", "50", 100, 300000, 200, 400},
        {"60001", "1999", "5000", "3000", 60000, 2000, 5000, 10000},
        {"250", "45000", "700000", "1", 250, 45000, 700000, 600000},
        {"  -5", "+3000", "1000", "700000", 100, 3000, 1000, 600000},
    };
    for (const auto &t : cases) {
        setenv("NTFY_REPLY_POLL_MS", t.poll, 1);
        setenv("NTFY_IDLE_TIMEOUT_MS", t.idle, 1);
        setenv("NTFY_RECONNECT_MIN_MS", t.min, 1);
        setenv("NTFY_RECONNECT_MAX_MS", t.max, 1);
        qv_ntfy_config c = load();
        EXPECT_EQ(c.reply_poll_ms, t.want_poll) << t.poll;
        EXPECT_EQ(c.idle_timeout_ms, t.want_idle) << t.idle;
        EXPECT_EQ(c.reconnect_min_ms, t.want_min) << t.min;
        EXPECT_EQ(c.reconnect_max_ms, t.want_max) << t.max;
    }
}

TEST_F(Config, FileTimingsAreClampedToo) {
    write_config(R"({"reply_poll_ms":1,"idle_timeout_ms":-4,"reconnect_min_ms":0})");
    qv_ntfy_config c = load();
    EXPECT_EQ(c.reply_poll_ms, 100);
    EXPECT_EQ(c.idle_timeout_ms, 2000);
    EXPECT_EQ(c.reconnect_min_ms, 200);
}

TEST_F(Config, CatchupWindowFromFileAndEnvironment) {
    struct {
        const char *file; // config.json, or none
        const char *env;  // NTFY_CATCHUP_S, or unset
        int64_t want;
    } cases[] = {
        {nullptr, nullptr, 3600},
        {R"({"topic":"t","reply_poll_ms":300})", nullptr, 3600}, // a file from before the member
        {R"({"catchup_s":120})", nullptr, 120},
        {R"({"catchup_s":999999})", nullptr, 86400},
        {R"({"catchup_s":-5})", nullptr, 0},
        {R"({"catchup_s":"60"})", nullptr, 3600},
        {R"({"catchup_s":120})", "0", 0},
        {nullptr, "86400", 86400},
        {R"({"catchup_s":120})", "86401", 120},
        {R"({"catchup_s":120})", "-1", 120},
        {nullptr, "abc", 3600},
        {nullptr, "60s", 3600},
    };
    for (const auto &t : cases) {
        std::error_code ec;
        fs::remove(state_.file("config.json"), ec);
        if (t.file)
            write_config(t.file);
        if (t.env)
            setenv("NTFY_CATCHUP_S", t.env, 1);
        else
            unsetenv("NTFY_CATCHUP_S");
        EXPECT_EQ(load().catchup_s, t.want) << (t.file ? t.file : "-") << " " << (t.env ? t.env : "-");
    }
}

TEST_F(Config, UnusableStateDirectoryLoadsDefaultsPlusEnvironment) {
    ScopedEnv root("QV_CONNECTORS_DIR", "///");
    setenv("NTFY_TOPIC", "t", 1);
    qv_ntfy_config c = load();
    EXPECT_STREQ(c.topic, "t");
    EXPECT_STREQ(c.publish_topic, "");
    char err[256] = "";
    EXPECT_EQ(qv_ntfy_config_save(&c, err, sizeof err), -1);
    EXPECT_STREQ(err, "connector state directory is not usable");
}

static qv_ntfy_config valid_config() {
    qv_ntfy_config c;
    qv_ntfy_config_defaults(&c);
    strcpy(c.topic, "alerts");
    strcpy(c.target_session, "main:chat-1_a.b");
    return c;
}

TEST_F(Config, ValidationRulesInOrder) {
    struct Case {
        void (*change)(qv_ntfy_config &);
        const char *want;
    } cases[] = {
        {[](qv_ntfy_config &) {}, "OK"},
        {[](qv_ntfy_config &c) { memset(c.topic, 'a', 128), c.topic[128] = 0; }, "OK"},
        {[](qv_ntfy_config &c) { memset(c.topic, 'a', 129), c.topic[129] = 0; },
         "topic contains forbidden characters"},
        {[](qv_ntfy_config &c) { strcpy(c.topic, "a/b"); }, "topic contains forbidden characters"},
        {[](qv_ntfy_config &c) { strcpy(c.topic, "a b"); }, "topic contains forbidden characters"},
        {[](qv_ntfy_config &c) { strcpy(c.topic, "caf\xC3\xA9"); },
         "topic contains forbidden characters"},
        {[](qv_ntfy_config &c) { strcpy(c.publish_topic, "x?"); },
         "publish_topic contains forbidden characters"},
        {[](qv_ntfy_config &c) { strcpy(c.server_url, "ftp://x"); },
         "url must start with http:// or https://"},
        {[](qv_ntfy_config &c) { strcpy(c.server_url, "http://192.168.1.5"); },
         "plain http:// is refused for a non-loopback server (a bearer token would travel in "
         "the clear)"},
        {[](qv_ntfy_config &c) { strcpy(c.server_url, "http://127.0.0.1:8080"); }, "OK"},
        {[](qv_ntfy_config &c) { strcpy(c.bot_api_url, "http://[::1]:8150"); },
         "IPv6 literals are not supported"},
        {[](qv_ntfy_config &c) { strcpy(c.bot_api_url, "https://127.0.0.1:8150"); },
         "bot_api_url must be plain http: the node API is loopback-only"},
        {[](qv_ntfy_config &c) { strcpy(c.bot_api_url, "http://127.0.0.2"); },
         "bot_api_url must point at 127.0.0.1 or localhost"},
        {[](qv_ntfy_config &c) { strcpy(c.bot_api_url, "http://LOCALHOST"); },
         "bot_api_url must point at 127.0.0.1 or localhost"},
        {[](qv_ntfy_config &c) { strcpy(c.bot_api_url, "http://localhost:9000"); }, "OK"},
        {[](qv_ntfy_config &c) { c.target_session[0] = 0; },
         "target_session is required before the daemon can route messages"},
        {[](qv_ntfy_config &c) { strcpy(c.target_session, "main chat"); },
         "target_session contains forbidden characters"},
        {[](qv_ntfy_config &c) { c.catchup_s = 0; }, "OK"},
        {[](qv_ntfy_config &c) { c.catchup_s = 86400; }, "OK"},
        {[](qv_ntfy_config &c) { c.catchup_s = -1; }, "catchup_s must be 0 to 86400 seconds"},
        {[](qv_ntfy_config &c) { c.catchup_s = 86401; }, "catchup_s must be 0 to 86400 seconds"},
    };
    for (const Case &t : cases) {
        qv_ntfy_config c = valid_config();
        t.change(c);
        EXPECT_EQ(validate(c), t.want);
    }
}

TEST_F(Config, InsecureSwitchAdmitsPlainHttpAnywhere) {
    qv_ntfy_config c = valid_config();
    strcpy(c.server_url, "http://192.168.1.5");
    for (const char *v : {"1", "true", "yes", "on"}) {
        setenv("NTFY_TLS_INSECURE", v, 1);
        EXPECT_EQ(validate(c), "OK") << v;
    }
    setenv("NTFY_TLS_INSECURE", "maybe", 1);
    EXPECT_NE(validate(c), "OK");
}

TEST_F(Config, SaveThenLoadRoundTripsEveryField) {
    qv_ntfy_config c = valid_config();
    strcpy(c.publish_topic, "replies");
    strcpy(c.bearer_token, "Bearer tk_abc");
    strcpy(c.ca_file, "/etc/ca.pem");
    strcpy(c.allowed_pins, "aa,bb");
    strcpy(c.bot_password, "pw \"quoted\"");
    strcpy(c.tags, "bell,warning");
    strcpy(c.reply_prefix, "> ");
    c.priority = 5;
    c.markdown = 1;
    c.allow_all = 1;
    c.pairing_code_enabled = 0;
    c.reply_poll_ms = 250;
    c.idle_timeout_ms = 120000;
    c.reconnect_min_ms = 500;
    c.reconnect_max_ms = 9000;
    char err[256] = "";
    int64_t before = qv_ntfy_now_epoch();
    ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0) << err;
    qv_ntfy_config back = load();
    EXPECT_GE(back.updated_at, before);
    back.updated_at = c.updated_at;
    EXPECT_EQ(memcmp(&back, &c, sizeof c), 0);
    struct stat st;
    ASSERT_EQ(stat(state_.file("config.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Config, SavedFileIsPrettyWithMembersInOrder) {
    qv_ntfy_config c = valid_config();
    char err[256];
    ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0);
    std::string text = read_whole(state_.file("config.json"));
    EXPECT_EQ(text.rfind("{\n    \"server_url\": \"https://ntfy.sh\",\n    \"topic\": \"alerts\",", 0), 0u);
    EXPECT_NE(text.back(), '\n');
    const char *order[] = {"server_url", "topic", "publish_topic", "bearer_token", "ca_file",
                           "allowed_pins", "bot_api_url", "bot_password", "target_session",
                           "tags", "reply_prefix", "title_prefix", "priority", "markdown",
                           "allow_all", "pairing_code_enabled", "reply_poll_ms",
                           "idle_timeout_ms", "reconnect_min_ms", "reconnect_max_ms",
                           "updated_at", "private_topics"};
    size_t pos = 0;
    for (const char *key : order) {
        size_t at = text.find(std::string("\"") + key + "\":", pos);
        ASSERT_NE(at, std::string::npos) << key;
        pos = at;
    }
    // The switches are written as 0 or 1, whatever a hand edit left in them.
    struct {
        int32_t value;
        const char *written;
    } switches[] = {{7, "1"}, {-3, "1"}, {2, "1"}, {1, "1"}, {0, "0"}};
    for (const auto &w : switches) {
        c.markdown = c.allow_all = c.pairing_code_enabled = c.private_topics = w.value;
        ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0);
        text = read_whole(state_.file("config.json"));
        for (const char *key : {"markdown", "allow_all", "pairing_code_enabled"})
            EXPECT_NE(text.find(std::string("\"") + key + "\": " + w.written + ","),
                      std::string::npos)
                << key << "=" << w.value;
    }
}

TEST_F(Config, LongMultibyteTextIsCutAtACharacterAndStillSaves) {
    qv_ntfy_config c = valid_config();
    // 16 two-byte letters do not fit the 32-byte reply prefix: the cut keeps 15 whole ones.
    std::string prefix;
    for (int i = 0; i < 16; i++)
        prefix += "\xC3\xA9";
    setenv("NTFY_REPLY_PREFIX", prefix.c_str(), 1);
    setenv("NTFY_TOPIC", "alerts", 1);
    c = load();
    EXPECT_EQ(std::string(c.reply_prefix), prefix.substr(0, 30));
    char err[256] = "";
    EXPECT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0) << err;
}

TEST_F(Config, TextThatIsNotUtf8CannotBeSavedAndTheOldFileStays) {
    write_config("{\"topic\":\"kept\"}");
    qv_ntfy_config c = valid_config();
    strcpy(c.tags, "\xFF\xFE");
    char err[256] = "";
    EXPECT_EQ(qv_ntfy_config_save(&c, err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot serialise config");
    EXPECT_EQ(read_whole(state_.file("config.json")), "{\"topic\":\"kept\"}");
}
