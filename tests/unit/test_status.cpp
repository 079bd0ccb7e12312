// The status record: defaults, strict member types, cuts, the exact 33-member file form, and
// save-then-load of every field but the in-memory reply cursor.
#include "state.h"
#include "support.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

class Status : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(state_.state_dir());
    }
    // Loads into a record filled with junk first, so a field the loader forgets shows.
    int load(qv_ntfy_status *s) {
        memset(s, 0xA5, sizeof *s);
        return qv_ntfy_status_load(s);
    }
    static bool is_default(const qv_ntfy_status &s) {
        qv_ntfy_status zero;
        memset(&zero, 0, sizeof zero);
        return memcmp(&s, &zero, sizeof s) == 0;
    }
    std::string file() {
        return read_whole(state_.file("status.json"));
    }
    void write_file(const std::string &json) {
        write_whole(state_.file("status.json"), json);
    }
    TempStateRoot state_;
};

TEST_F(Status, MissingOrUnusableFilesLoadTheDefault) {
    const char *files[] = {
        nullptr,
        "",
        "[]",
        "[{\"connected\":1}]",
        "{\"connected\":1",
        "\"x\"",
        "7",
        "{\"connected\":1,}",
        "\xEF\xBB\xBF{\"connected\":1}",
    };
    for (const char *f : files) {
        if (f)
            write_file(f);
        else
            fs::remove(state_.file("status.json"));
        qv_ntfy_status s;
        EXPECT_EQ(load(&s), -1) << (f ? f : "(none)");
        EXPECT_TRUE(is_default(s)) << (f ? f : "(none)");
    }
}

TEST_F(Status, MembersTakeOnlyTheirOwnType) {
    write_file(R"({"connected":true,"configured":1,"inbound_count":5.0,"outbound_count":"5",)"
               R"("blocked_count":3,"allow_all":7,"last_error":42,"last_event":"message",)"
               R"("topic":null,"started_at":-12,"error_count":18446744073709551615,)"
               R"("markdown":4294967297,"reply_cursor":99,"pinned":1,"pinned":0,"x":{}})");
    qv_ntfy_status s;
    ASSERT_EQ(load(&s), 0);
    EXPECT_EQ(s.connected, 0);
    EXPECT_EQ(s.configured, 1);
    EXPECT_EQ(s.inbound_count, 0);
    EXPECT_EQ(s.outbound_count, 0);
    EXPECT_EQ(s.blocked_count, 3);
    EXPECT_EQ(s.allow_all, 7);
    EXPECT_STREQ(s.last_error, "");
    EXPECT_STREQ(s.last_event, "message");
    EXPECT_STREQ(s.topic, "");
    EXPECT_EQ(s.started_at, -12);
    EXPECT_EQ(s.error_count, INT64_MAX); // saturates rather than wrapping negative
    EXPECT_EQ(s.markdown, INT32_MAX);
    EXPECT_EQ(s.reply_cursor, 0); // never read from the file
    EXPECT_EQ(s.pinned, 1);       // the first of two equal keys counts
    EXPECT_EQ(s.last_seen_at, 0); // absent
}

TEST_F(Status, LongTextsAreCutToTheirFields) {
    std::string cyr;
    for (int i = 0; i < 200; i++)
        cyr += "\xD0\x96";
    write_file("{\"last_error\":\"" + std::string(300, 'e') + "\",\"topic\":\"" +
               std::string(200, 't') + "\",\"server_url\":\"" + cyr + "\"}");
    qv_ntfy_status s;
    ASSERT_EQ(load(&s), 0);
    EXPECT_EQ(std::string(s.last_error), std::string(300, 'e').substr(0, 255));
    EXPECT_EQ(std::string(s.topic), std::string(159, 't'));
    EXPECT_EQ(std::string(s.server_url), cyr.substr(0, 254)); // never half a letter
    EXPECT_EQ(qv_ntfy_status_save(&s), 0);
}

static qv_ntfy_status sample_record() {
    qv_ntfy_status s;
    memset(&s, 0, sizeof s);
    int64_t v = 1000;
    for (int64_t *f : {&s.started_at, &s.last_seen_at, &s.last_inbound_at, &s.last_outbound_at,
                       &s.inbound_count, &s.outbound_count, &s.blocked_count, &s.pending_count,
                       &s.connect_count, &s.error_count, &s.last_message_time, &s.queued_count,
                       &s.queue_dropped_count, &s.reply_given_up_count, &s.config_updated_at,
                       &s.own_echo_count, &s.revoked_dropped_count, &s.pending_evicted_count})
        *f = v++;
    int32_t flag = 1;
    for (int32_t *f : {&s.connected, &s.configured, &s.allow_all, &s.pairing_code_enabled,
                       &s.markdown, &s.has_bearer, &s.has_bot_password, &s.tls_insecure, &s.pinned})
        *f = flag++;
    s.reply_cursor = 77;
    snprintf(s.last_error, sizeof s.last_error, "inbox: node /inbox answered 503: \"busy\"");
    snprintf(s.last_event, sizeof s.last_event, "message");
    snprintf(s.topic, sizeof s.topic, "alerts");
    snprintf(s.publish_topic, sizeof s.publish_topic, "replies");
    snprintf(s.target_session, sizeof s.target_session, "main:1");
    snprintf(s.server_url, sizeof s.server_url, "http://127.0.0.1:8080");
    return s;
}

TEST_F(Status, SaveThenLoadGivesBackEverythingButTheReplyCursor) {
    qv_ntfy_status saved = sample_record();
    ASSERT_EQ(qv_ntfy_status_save(&saved), 0);
    qv_ntfy_status s;
    ASSERT_EQ(load(&s), 0);
    EXPECT_EQ(s.reply_cursor, 0);
    saved.reply_cursor = 0;
    EXPECT_EQ(memcmp(&s, &saved, sizeof s), 0);
}

TEST_F(Status, SavedFileHasEveryMemberInOrder) {
    qv_ntfy_status s = sample_record();
    s.connected = 7; // flags are written exactly as stored
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);
    EXPECT_EQ(file(), "{\n"
                      "    \"started_at\": 1000,\n"
                      "    \"last_seen_at\": 1001,\n"
                      "    \"last_inbound_at\": 1002,\n"
                      "    \"last_outbound_at\": 1003,\n"
                      "    \"inbound_count\": 1004,\n"
                      "    \"outbound_count\": 1005,\n"
                      "    \"blocked_count\": 1006,\n"
                      "    \"pending_count\": 1007,\n"
                      "    \"connect_count\": 1008,\n"
                      "    \"error_count\": 1009,\n"
                      "    \"connected\": 7,\n"
                      "    \"last_message_time\": 1010,\n"
                      "    \"configured\": 2,\n"
                      "    \"allow_all\": 3,\n"
                      "    \"pairing_code_enabled\": 4,\n"
                      "    \"markdown\": 5,\n"
                      "    \"has_bearer\": 6,\n"
                      "    \"has_bot_password\": 7,\n"
                      "    \"tls_insecure\": 8,\n"
                      "    \"pinned\": 9,\n"
                      "    \"last_error\": \"inbox: node /inbox answered 503: \\\"busy\\\"\",\n"
                      "    \"last_event\": \"message\",\n"
                      "    \"topic\": \"alerts\",\n"
                      "    \"publish_topic\": \"replies\",\n"
                      "    \"target_session\": \"main:1\",\n"
                      "    \"server_url\": \"http://127.0.0.1:8080\",\n"
                      "    \"queued_count\": 1011,\n"
                      "    \"queue_dropped_count\": 1012,\n"
                      "    \"reply_given_up_count\": 1013,\n"
                      "    \"config_updated_at\": 1014,\n"
                      "    \"own_echo_count\": 1015,\n"
                      "    \"revoked_dropped_count\": 1016,\n"
                      "    \"pending_evicted_count\": 1017\n"
                      "}");
    struct stat st;
    ASSERT_EQ(stat(state_.file("status.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Status, DefaultRecordWritesEveryMember) {
    qv_ntfy_status s;
    memset(&s, 0, sizeof s);
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);
    const std::string text = file();
    for (const char *key : {"started_at", "connected", "pinned", "last_error", "server_url"})
        EXPECT_NE(text.find("\"" + std::string(key) + "\": "), std::string::npos) << key;
    EXPECT_NE(text.find("\"last_error\": \"\","), std::string::npos);
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    EXPECT_EQ(lines, 34u); // opening brace and 33 members
}

TEST_F(Status, TextThatIsNotUtf8FailsTheSaveAndKeepsTheFile) {
    qv_ntfy_status s = sample_record();
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);
    const std::string before = file();
    s.last_error[0] = '\xE4'; // a lead byte without its continuation
    s.inbound_count = 1;
    EXPECT_EQ(qv_ntfy_status_save(&s), -1);
    EXPECT_EQ(file(), before);
}

TEST_F(Status, UnterminatedTextIsReadOnlyToItsCapacity) {
    qv_ntfy_status s = sample_record();
    memset(s.last_event, 'v', sizeof s.last_event); // no terminator in the field
    ASSERT_EQ(qv_ntfy_status_save(&s), 0);
    qv_ntfy_status back;
    ASSERT_EQ(load(&back), 0);
    EXPECT_EQ(std::string(back.last_event), std::string(QV_STATUS_TEXT_CAP - 1, 'v'));
    EXPECT_STREQ(back.topic, "alerts");
}

TEST_F(Status, UnusableStateDirectory) {
    ScopedEnv broken("QV_CONNECTORS_DIR", "///");
    qv_ntfy_status s = sample_record();
    EXPECT_EQ(qv_ntfy_status_save(&s), -1);
    EXPECT_EQ(load(&s), -1);
    EXPECT_TRUE(is_default(s));
}
