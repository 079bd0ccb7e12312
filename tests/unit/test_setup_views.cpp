// The read-only views: the status object member by member (liveness decides "running" and
// "connected"), the config view, the info view, and secrets that never leave in any answer.
#include "setup_support.h"
#include "state.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

class SetupViews : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
    }
    // A configuration written the way the save path writes it.
    void store(const qv_ntfy_config &c) {
        char err[256] = "";
        ASSERT_EQ(qv_ntfy_config_save(&c, err, sizeof err), 0) << err;
    }
    static qv_ntfy_config defaults() {
        qv_ntfy_config c;
        qv_ntfy_config_defaults(&c);
        return c;
    }
    TempStateRoot state_;
};

static qv_ntfy_status sample_status() {
    qv_ntfy_status s{};
    s.started_at = 1700000001;
    s.last_seen_at = 1700000002;
    s.last_inbound_at = 1700000003;
    s.last_outbound_at = 1700000004;
    s.inbound_count = 5;
    s.outbound_count = 6;
    s.blocked_count = 7;
    s.pending_count = 8;
    s.connect_count = 9;
    s.error_count = 10;
    s.connected = 1;
    s.last_message_time = 1700000011;
    s.queued_count = 12;
    s.queue_dropped_count = 13;
    snprintf(s.last_error, sizeof s.last_error, "ntfy said \"no\"");
    snprintf(s.last_event, sizeof s.last_event, "message");
    return s;
}

// The record's pending_count (8) is not shown: the view counts pending.json, which is empty.
static std::string status_body(int connected, int running, bool lock_held = false) {
    return std::string(
               R"({"ok":true,"status":{"started_at":1700000001,"last_seen_at":1700000002,)"
               R"("last_inbound_at":1700000003,"last_outbound_at":1700000004,)"
               R"("inbound_count":5,"outbound_count":6,"blocked_count":7,"pending_count":0,)"
               R"("connect_count":9,"error_count":10,"connected":)") +
           std::to_string(connected) + ",\"running\":" + std::to_string(running) +
           R"(,"last_message_time":1700000011,"last_error":"ntfy said \"no\"",)"
           R"("last_event":"message","topic":"alerts","publish_topic":"alerts",)"
           R"("target_session":"main","server_url":"http://127.0.0.1:9","configured":true,)"
           R"("allow_all":true,"pairing_code_enabled":false,"private_topics":false,"markdown":true,"has_bearer":false,)"
           R"("has_bot_password":false,"tls_insecure":false,"pinned":false,"tls":false,)"
           R"("priority":4,"tags":"robot","reply_prefix":"> ","title_prefix":"Ops",)"
           R"("queued_count":12,"queue_dropped_count":13,"restart_needed":false,)"
           R"("own_echo_count":0,"daemon_lock_held":)" +
           (lock_held ? "true" : "false") +
           R"(,"revoked_dropped_count":0,"pending_evicted_count":0},"version":"1.0.2","id":"chimewick","tls_insecure_env":false})";
}

TEST_F(SetupViews, StatusMembersInOrderAndLivenessFromThePidFile) {
    qv_ntfy_config c = defaults();
    snprintf(c.server_url, sizeof c.server_url, "http://127.0.0.1:9");
    snprintf(c.topic, sizeof c.topic, "alerts");
    snprintf(c.target_session, sizeof c.target_session, "main");
    snprintf(c.tags, sizeof c.tags, "robot");
    snprintf(c.reply_prefix, sizeof c.reply_prefix, "> ");
    snprintf(c.title_prefix, sizeof c.title_prefix, "Ops");
    c.priority = 4;
    c.allow_all = 1;
    c.pairing_code_enabled = 0;
    c.markdown = 1;
    store(c);
    qv_ntfy_status s = sample_status();
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);

    // No daemon: the saved "connected" is stale and shows as 0.
    EXPECT_EQ(cgi(state_, "action=status").out, cgi_answer(200, status_body(0, 0)));
    // The daemon's lock held by a process that is not this program (this test) and names no
    // daemon: none runs, and the view says what stands in the way of a start.
    int64_t claim = qv_ntfy_daemon_claim();
    ASSERT_GE(claim, 0);
    ASSERT_EQ(qv_ntfy_pidfile_write(getpid()), 0);
    EXPECT_EQ(cgi(state_, "action=status").out, cgi_answer(200, status_body(0, 0, true)));
    EXPECT_TRUE(std::filesystem::exists(state_.file("daemon.pid")));
    qv_ntfy_daemon_release(claim);
    // A pid file naming a live process of another program (this test, not chimewick): no
    // daemon, and the file is cleared.
    ASSERT_EQ(qv_ntfy_pidfile_write(getpid()), 0);
    EXPECT_EQ(cgi(state_, "action=status").out, cgi_answer(200, status_body(0, 0)));
    EXPECT_FALSE(std::filesystem::exists(state_.file("daemon.pid")));
    // A pid file naming a gone process is cleared by the status view.
    ASSERT_EQ(qv_ntfy_pidfile_write(999999999), 0);
    EXPECT_EQ(cgi(state_, "action=status").out, cgi_answer(200, status_body(0, 0)));
    EXPECT_FALSE(std::filesystem::exists(state_.file("daemon.pid")));
}

// One member of the status object, as its JSON text.
static std::string status_member(const RunResult &r, const std::string &name) {
    std::string body = cgi_body(r);
    size_t at = body.find("\"" + name + "\":");
    if (at == std::string::npos)
        return "<absent>";
    at += name.size() + 3;
    size_t end = body.find_first_of(",}", at);
    return body.substr(at, end - at);
}

TEST_F(SetupViews, ConfiguredNeedsTopicAndSessionAndTlsLooksForHttps) {
    struct Case {
        const char *topic, *session, *server;
        const char *configured, *tls;
    } cases[] = {
        {"t", "s", "https://ntfy.example", "true", "true"},
        {"", "s", "http://127.0.0.1:1", "false", "false"},
        {"t", "", "http://127.0.0.1:1", "false", "false"},
        {"", "", "http://127.0.0.1:1/https://", "false", "true"},
    };
    for (const Case &k : cases) {
        qv_ntfy_config c = defaults();
        snprintf(c.topic, sizeof c.topic, "%s", k.topic);
        snprintf(c.target_session, sizeof c.target_session, "%s", k.session);
        snprintf(c.server_url, sizeof c.server_url, "%s", k.server);
        store(c);
        RunResult r = cgi(state_, "action=status");
        EXPECT_EQ(status_member(r, "configured"), k.configured) << k.topic << "/" << k.session;
        EXPECT_EQ(status_member(r, "tls"), k.tls) << k.server;
        // The publish topic falls back to the topic in the view as well.
        EXPECT_EQ(status_member(r, "publish_topic"), json_str(k.topic));
    }
}

TEST_F(SetupViews, InsecureSwitchFromTheEnvironmentShowsTwice) {
    RunResult r = cgi(state_, "action=status", "GET", "", {{"NTFY_TLS_INSECURE", "yes"}});
    EXPECT_EQ(status_member(r, "tls_insecure"), "true");
    EXPECT_EQ(status_member(r, "tls_insecure_env"), "true");
    r = cgi(state_, "action=status", "GET", "", {{"NTFY_TLS_INSECURE", "0"}});
    EXPECT_EQ(status_member(r, "tls_insecure"), "false");
    EXPECT_EQ(status_member(r, "tls_insecure_env"), "false");
}

TEST_F(SetupViews, ConfigViewWritesSwitchesAsIntegers) {
    qv_ntfy_config c = defaults();
    snprintf(c.topic, sizeof c.topic, "t\xC3\xA9");
    snprintf(c.ca_file, sizeof c.ca_file, "/etc/ca.pem");
    c.markdown = 1;
    c.allow_all = 1;
    c.pairing_code_enabled = 0;
    c.reply_poll_ms = 250;
    c.idle_timeout_ms = 5000;
    store(c);
    RunResult r = cgi(state_, "action=config");
    std::string stamp = status_member(r, "updated_at");
    EXPECT_EQ(
        r.out,
        cgi_answer(200, R"({"ok":true,"config":{"server_url":"https://ntfy.sh","topic":"t)"
                        "\xC3\xA9"
                        R"(","publish_topic":"t)"
                        "\xC3\xA9"
                        R"(","bot_api_url":"http://127.0.0.1:8150","target_session":"",)"
                        R"("tags":"","reply_prefix":"","title_prefix":"QUORVANE BOT",)"
                        R"("ca_file":"/etc/ca.pem","priority":3,"markdown":1,"allow_all":1,)"
                        R"("pairing_code_enabled":0,"private_topics":0,"reply_poll_ms":250,"idle_timeout_ms":5000,)"
                        R"("catchup_s":3600,"updated_at":)" +
                            stamp + "}}"));
    EXPECT_NE(stamp, "0");
}

TEST_F(SetupViews, InfoLeavesOutAnUnusableStateFolder) {
    std::string want =
        R"({"ok":true,"id":"chimewick","slug":"ntfy","version":"1.0.2",)"
        R"("kind":"hybrid","mcp":true,"daemon":true,"menus":false,)"
        R"("verified":"mock","dir_note":"state in ~/.quorvane/connectors/chimewick")";
    EXPECT_EQ(cgi(state_, "action=info").out,
              cgi_answer(200, want + ",\"connector_dir\":" + json_str(state_.state_dir()) + "}"));
    RunResult r = run_exe({}, {{"QV_CONNECTORS_DIR", "/proc/none"},
                               {"HOME", "/proc/none"},
                               {"QUERY_STRING", "action=info"}});
    EXPECT_EQ(r.out, cgi_answer(200, want + "}"));
}

TEST_F(SetupViews, SecretsNeverLeaveOnlyTheirPresence) {
    const char *token = "Bearer tk_S3CRETTOKEN";
    const char *password = "PWS3CRETPASS";
    const char *pins = "ab12S3CRETPIN";
    qv_ntfy_config c = defaults();
    snprintf(c.server_url, sizeof c.server_url, "http://127.0.0.1:1");
    snprintf(c.topic, sizeof c.topic, "alerts");
    snprintf(c.target_session, sizeof c.target_session, "main");
    snprintf(c.bearer_token, sizeof c.bearer_token, "%s", token);
    snprintf(c.bot_password, sizeof c.bot_password, "%s", password);
    snprintf(c.allowed_pins, sizeof c.allowed_pins, "%s", pins);
    store(c);
    write_whole(state_.file("daemon.log"), "2026-01-01T00:00:00 daemon start\n");

    const std::vector<std::pair<std::string, std::string>> requests = {
        {"action=status", ""},
        {"action=config", ""},
        {"action=info", ""},
        {"action=pending", ""},
        {"action=approved", ""},
        {"action=logs", ""},
        {"action=save", "{}"},
        {"action=test", ""},
        {"action=send", R"({"message":"m"})"},
        {"action=stop", ""},
        {"action=nope", ""},
        // Another server keeps the token and pins only when they come along again.
        {"action=save",
         R"({"server_url":"ftp://x","bearer_token":"Bearer tk_S3CRETTOKEN",)"
         R"("allowed_pins":"ab12S3CRETPIN"})"},
    };
    for (const auto &[query, body] : requests) {
        RunResult r = cgi(state_, query, body.empty() ? "GET" : "POST", body);
        EXPECT_EQ(r.out.find("S3CRET"), std::string::npos) << query << ": " << r.out;
        EXPECT_NE(r.out.find("\"ok\":"), std::string::npos) << query << ": " << r.out;
    }
    RunResult r = cgi(state_, "action=status");
    EXPECT_EQ(status_member(r, "has_bearer"), "true");
    EXPECT_EQ(status_member(r, "has_bot_password"), "true");
    EXPECT_EQ(status_member(r, "pinned"), "true");
}

TEST_F(SetupViews, PasswordFromTheEnvironmentCountsAsStored) {
    RunResult r = cgi(state_, "action=status", "GET", "",
                      {{"BOT_PASSWORD", "envS3CRET"}, {"HTTP_X_BOT_PASSWORD", "envS3CRET"}});
    EXPECT_EQ(status_member(r, "has_bot_password"), "true");
    EXPECT_EQ(status_member(r, "has_bearer"), "false");
    EXPECT_EQ(status_member(r, "pinned"), "false");
    EXPECT_EQ(r.out.find("S3CRET"), std::string::npos);
}

TEST_F(SetupViews, PendingIsCountedFromTheQueueAsThePageLeftIt) {
    qv_ntfy_status s = sample_status(); // the daemon last wrote 8
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);
    const std::string a(64, 'a'), b(64, 'b');
    write_whole(state_.file("pending.json"),
                "[{\"key\":\"" + a + "\",\"label\":\"ann\"},{\"key\":\"" + b + "\",\"label\":\"bob\"}]");
    EXPECT_NE(cgi_body(cgi(state_, "action=status")).find("\"pending_count\":2,"),
              std::string::npos);
    ASSERT_EQ(cgi(state_, "action=approve&key=" + a).exit_code, 0);
    EXPECT_NE(cgi_body(cgi(state_, "action=status")).find("\"pending_count\":1,"),
              std::string::npos);
}

TEST_F(SetupViews, AFolderOthersCouldChangeIsNamedByEveryActionButInfo) {
    ASSERT_EQ(chmod(state_.state_dir().c_str(), 0770), 0);
    for (const char *action : {"status", "config", "pending", "approved", "logs"}) {
        RunResult r = cgi(state_, std::string("action=") + action);
        EXPECT_EQ(r.out.rfind("Status: 500\r\n", 0), 0u) << action << r.out;
        EXPECT_NE(cgi_body(r).find("writable by its group"), std::string::npos) << action << r.out;
    }
    EXPECT_EQ(cgi(state_, "action=info").out.rfind("Status: 200\r\n", 0), 0u);
    ASSERT_EQ(chmod(state_.state_dir().c_str(), 0700), 0);
}
