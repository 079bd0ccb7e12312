// The save action: which fields replace, clear or keep a setting, clamping and ranges, secrets
// that are kept, replaced or cleared but never echoed, cuts at the record's sizes, validation
// after storing, and a store that fails.
#include "platform.h"
#include "setup_support.h"
#include "state.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <yyjson.h>

class SetupSave : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
    }
    RunResult save(const std::string &body, const CgiEnv &env = {}) {
        return cgi(state_, "action=save", "POST", body, env);
    }
    // One member of the stored config.json as JSON text.
    std::string stored(const char *name) {
        std::string text = read_whole(state_.file("config.json"));
        yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
        yyjson_val *v = doc ? yyjson_obj_get(yyjson_doc_get_root(doc), name) : nullptr;
        std::string out = "<absent>";
        if (v) {
            char *json = yyjson_val_write(v, 0, nullptr);
            out = json ? json : "<unwritable>";
            free(json);
        }
        yyjson_doc_free(doc);
        return out;
    }
    void store_base() {
        ASSERT_EQ(save(R"({"server_url":"https://old.example","topic":"a","publish_topic":"pa",)"
                       R"("target_session":"s","tags":"x","reply_prefix":"> ","title_prefix":"T",)"
                       R"("ca_file":"/ca.pem","allowed_pins":"00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff","bearer_token":"Bearer tk_keep",)"
                       R"("bot_password":"pw_keep","priority":2,"markdown":1,"allow_all":1,)"
                       R"("pairing_code_enabled":0,"reply_poll_ms":300,"idle_timeout_ms":4000})")
                      .exit_code,
                  0);
    }
    TempStateRoot state_;
};

TEST_F(SetupSave, SaveWithoutFieldsStoresAndReportsValidation) {
    RunResult r = save("{}");
    EXPECT_EQ(r.out,
              cgi_answer(200,
                         R"({"ok":true,"config":{"server_url":"https://ntfy.sh","topic":"",)"
                         R"("publish_topic":"","bot_api_url":"http://127.0.0.1:8150",)"
                         R"("target_session":"","tags":"","reply_prefix":"",)"
                         R"("title_prefix":"QUORVANE BOT","ca_file":"","priority":3,"markdown":0,)"
                         R"("allow_all":0,"pairing_code_enabled":1,"private_topics":0,"reply_poll_ms":700,)"
                         R"("idle_timeout_ms":90000,"catchup_s":3600,"updated_at":0},"valid":false,)"
                         R"("validation":"topic is required"})"));
    struct stat st;
    ASSERT_EQ(stat(state_.file("config.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(stored("updated_at"), "0");
}

TEST_F(SetupSave, ValidConfigurationAnswersValidOnly) {
    RunResult r = save(R"({"topic":"alerts","target_session":"main"})");
    std::string body = cgi_body(r);
    EXPECT_EQ(body.substr(body.size() - 14), ",\"valid\":true}") << body;
    EXPECT_EQ(body.find("validation"), std::string::npos);
    // The answer's stamp is the one loaded with the request; the file has the new one.
    EXPECT_NE(body.find("\"updated_at\":0}"), std::string::npos);
    std::string stamp = stored("updated_at");
    EXPECT_NE(cgi_body(cgi(state_, "action=config")).find("\"updated_at\":" + stamp + "}"),
              std::string::npos);
}

TEST_F(SetupSave, EmptyFieldsKeepOrClearByTheirRule) {
    store_base();
    save(R"({"server_url":"","bot_api_url":"","topic":"","tags":"","ca_file":"",)"
         R"("allowed_pins":"","reply_prefix":"","title_prefix":""})");
    EXPECT_EQ(stored("server_url"), "\"https://old.example\"");
    EXPECT_EQ(stored("bot_api_url"), "\"http://127.0.0.1:8150\"");
    EXPECT_EQ(stored("topic"), "\"\"");
    EXPECT_EQ(stored("publish_topic"), "\"pa\"");
    EXPECT_EQ(stored("tags"), "\"\"");
    EXPECT_EQ(stored("ca_file"), "\"\"");
    EXPECT_EQ(stored("allowed_pins"), "\"\"");
    EXPECT_EQ(stored("reply_prefix"), "\"\"");
    EXPECT_EQ(stored("title_prefix"), "\"\"");
    // Untouched fields stay.
    EXPECT_EQ(stored("target_session"), "\"s\"");
    EXPECT_EQ(stored("priority"), "2");
    EXPECT_EQ(stored("reply_poll_ms"), "300");
    // Only with the publish topic cleared too do both stay empty.
    save(R"({"publish_topic":""})");
    EXPECT_EQ(stored("publish_topic"), "\"\"");
    // An empty publish topic takes the topic.
    save(R"({"topic":"b","publish_topic":""})");
    EXPECT_EQ(stored("publish_topic"), "\"b\"");
}

TEST_F(SetupSave, SecretsAreKeptReplacedOrClearedNeverEchoed) {
    store_base();
    struct Step {
        const char *body;
        const char *token, *password;
    } steps[] = {
        {R"({"bearer_token":"","bot_password":""})", "\"Bearer tk_keep\"", "\"pw_keep\""},
        {R"({"bearer_token":null,"bot_password":1.5})", "\"Bearer tk_keep\"", "\"pw_keep\""},
        {R"({"bearer_token":"Bearer tk_new"})", "\"Bearer tk_new\"", "\"pw_keep\""},
        {R"({"bot_password":"__clear__"})", "\"Bearer tk_new\"", "\"\""},
        {R"({"bearer_token":"__clear__","bot_password":"pw2"})", "\"\"", "\"pw2\""},
    };
    for (const Step &s : steps) {
        RunResult r = save(s.body);
        EXPECT_EQ(stored("bearer_token"), s.token) << s.body;
        EXPECT_EQ(stored("bot_password"), s.password) << s.body;
        EXPECT_EQ(r.out.find("tk_"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("pw"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff"), std::string::npos) << r.out;
    }
}

TEST_F(SetupSave, AnotherServerDropsTheOldTokenAndPinsUnlessNewOnesCome) {
    struct Case {
        const char *body;
        const char *token, *pins;
        const char *tail; // how the answer ends
    } cases[] = {
        // The same server: a new path, the host in capitals, the default port written out.
        {R"({"server_url":"https://old.example/ntfy"})", "\"Bearer tk_keep\"", "\"00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff\"",
         "\"valid\":true}"},
        {R"({"server_url":"https://OLD.example:443/"})", "\"Bearer tk_keep\"", "\"00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff\"",
         "\"valid\":true}"},
        // Another host, scheme or port.
        {R"({"server_url":"https://new.example"})", "\"\"", "\"\"",
         "\"valid\":true,\"token_cleared\":true,\"pins_cleared\":true}"},
        // (Plain http to another host is stored but not valid: the members follow the message.)
        {R"({"server_url":"http://old.example"})", "\"\"", "\"\"",
         "\",\"token_cleared\":true,\"pins_cleared\":true}"},
        {R"({"server_url":"https://old.example:8443"})", "\"\"", "\"\"",
         "\"valid\":true,\"token_cleared\":true,\"pins_cleared\":true}"},
        // New secrets with the new server are the new server's.
        {R"({"server_url":"https://new.example","bearer_token":"tk_new","allowed_pins":"11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa"})",
         "\"Bearer tk_new\"", "\"11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa\"", "\"valid\":true}"},
        {R"({"server_url":"https://new.example","bearer_token":"tk_new"})", "\"Bearer tk_new\"", "\"\"",
         "\"valid\":true,\"pins_cleared\":true}"},
        {R"({"server_url":"https://new.example","bearer_token":"","allowed_pins":"11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa"})", "\"\"",
         "\"11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11aa\"", "\"valid\":true,\"token_cleared\":true}"},
        // Cleared on purpose: nothing left for the change to take away.
        {R"({"server_url":"https://new.example","bearer_token":"__clear__","allowed_pins":""})",
         "\"\"", "\"\"", "\"valid\":true}"},
    };
    for (const Case &c : cases) {
        store_base();
        std::string body = cgi_body(save(c.body));
        EXPECT_EQ(stored("bearer_token"), c.token) << c.body;
        EXPECT_EQ(stored("allowed_pins"), c.pins) << c.body;
        std::string tail = c.tail;
        ASSERT_GE(body.size(), tail.size()) << body;
        EXPECT_EQ(body.substr(body.size() - tail.size()), tail) << c.body;
        EXPECT_EQ(body.find("tk_"), std::string::npos) << body;
    }
    // Nothing stored, nothing to report.
    save(R"({"bearer_token":"__clear__","allowed_pins":""})");
    EXPECT_EQ(cgi_body(save(R"({"server_url":"https://third.example"})")).find("cleared"),
              std::string::npos);
}

TEST_F(SetupSave, PriorityIsClampedTimingsKeptInRangeAndOtherTextsRefused) {
    store_base();
    struct Case {
        const char *body;
        const char *member;
        const char *want;
        const char *refusal; // the whole error, or null when the save goes through
    } cases[] = {
        {R"({"priority":"9"})", "priority", "5", nullptr},
        {R"({"priority":"0"})", "priority", "1", nullptr},
        {R"({"priority":" 4 "})", "priority", "4", nullptr},
        {R"({"priority":2})", "priority", "2", nullptr},
        {R"({"priority":""})", "priority", "2", nullptr},
        {R"({"priority":true})", "priority", "1", nullptr},
        {R"({"priority":"4x"})", "priority", "1", "priority must be a whole number from 1 to 5"},
        {R"({"priority":"-3"})", "priority", "1", "priority must be a whole number from 1 to 5"},
        {R"({"priority":"abc"})", "priority", "1", "priority must be a whole number from 1 to 5"},
        {R"({"priority":"99999999999999999999"})", "priority", "1",
         "priority must be a whole number from 1 to 5"},
        {R"({"reply_poll_ms":"99"})", "reply_poll_ms", "300", nullptr},
        {R"({"reply_poll_ms":60001})", "reply_poll_ms", "300", nullptr},
        {R"({"reply_poll_ms":"abc"})", "reply_poll_ms", "300",
         "reply_poll_ms must be a whole number of milliseconds (100 to 60000)"},
        {R"({"reply_poll_ms":100})", "reply_poll_ms", "100", nullptr},
        {R"({"reply_poll_ms":"60000"})", "reply_poll_ms", "60000", nullptr},
        {R"({"reply_poll_ms":""})", "reply_poll_ms", "60000", nullptr},
        {R"({"idle_timeout_ms":1999})", "idle_timeout_ms", "4000", nullptr},
        {R"({"idle_timeout_ms":300001})", "idle_timeout_ms", "4000", nullptr},
        {R"({"idle_timeout_ms":"2000"})", "idle_timeout_ms", "2000", nullptr},
        {R"({"idle_timeout_ms":300000})", "idle_timeout_ms", "300000", nullptr},
        {R"({"idle_timeout_ms":"3e5"})", "idle_timeout_ms", "300000",
         "idle_timeout_ms must be a whole number of milliseconds (2000 to 300000)"},
    };
    for (const Case &c : cases) {
        RunResult r = save(c.body);
        if (c.refusal)
            EXPECT_EQ(r.out, cgi_fail(400, c.refusal)) << c.body;
        else
            EXPECT_NE(cgi_body(r).find("\"ok\":true"), std::string::npos) << c.body << r.out;
        EXPECT_EQ(stored(c.member), c.want) << c.body;
    }
}

TEST_F(SetupSave, CatchupWindowOutOfRangeIsRefused) {
    store_base();
    const std::string refused =
        cgi_answer(400, R"({"ok":false,"error":"catchup_s must be a whole number of seconds )"
                        R"(from 0 to 86400"})");
    struct Case {
        const char *body;
        bool ok;
        const char *want; // stored afterwards
    } cases[] = {
        {R"({"catchup_s":120})", true, "120"},
        {R"({"catchup_s":-1,"topic":"changed"})", false, "120"},
        {R"({"catchup_s":"86401"})", false, "120"},
        {R"({"catchup_s":"abc"})", false, "120"},
        {R"({"catchup_s":"60s"})", false, "120"},
        {R"({"catchup_s":" 5"})", true, "5"},
        {R"({"catchup_s":"6 "})", true, "6"},
        {R"({"catchup_s":"\u0663"})", false, "6"}, // ARABIC-INDIC DIGIT THREE
        {R"({"catchup_s":"+7"})", false, "6"},
        {R"({"catchup_s":""})", true, "6"},
        {R"({"catchup_s":"0"})", true, "0"},
        {R"({"catchup_s":86400})", true, "86400"},
    };
    for (const Case &c : cases) {
        RunResult r = save(c.body);
        if (c.ok)
            EXPECT_NE(cgi_body(r).find(std::string("\"catchup_s\":") + c.want), std::string::npos)
                << c.body << " " << r.out;
        else
            EXPECT_EQ(r.out, refused) << c.body;
        EXPECT_EQ(stored("catchup_s"), c.want) << c.body;
    }
    EXPECT_EQ(stored("topic"), "\"a\"");
}

TEST_F(SetupSave, SwitchesFollowTruthValues) {
    struct Case {
        const char *value;
        const char *want;
    } cases[] = {
        {"\"yes\"", "1"}, {"\"on\"", "1"}, {"\"TRUE\"", "1"}, {"\"1\"", "1"},
        {"true", "1"},    {"1", "1"},      {"\"no\"", "0"},   {"\"0\"", "0"},
        {"\"\"", "0"},    {"false", "0"},  {"\"2\"", "0"},    {"\"y\"", "0"},
    };
    for (const char *name : {"markdown", "allow_all", "pairing_code_enabled", "private_topics"}) {
        for (const Case &c : cases) {
            // Start from the opposite value so that every case changes something.
            save(std::string("{\"") + name + "\":" + (c.want[0] == '1' ? "0" : "1") + "}");
            save(std::string("{\"") + name + "\":" + c.value + "}");
            EXPECT_EQ(stored(name), c.want) << name << "=" << c.value;
        }
        // A member that holds no text leaves the switch alone.
        save(std::string("{\"") + name + "\":null}");
        EXPECT_EQ(stored(name), "0") << name;
    }
}

TEST_F(SetupSave, FieldsFromTheQueryString) {
    RunResult r = cgi(state_, "action=save&topic=q1&target_session=s%3A1&markdown=on&priority=4");
    EXPECT_NE(cgi_body(r).find("\"valid\":true"), std::string::npos) << r.out;
    EXPECT_EQ(stored("topic"), "\"q1\"");
    EXPECT_EQ(stored("publish_topic"), "\"q1\"");
    EXPECT_EQ(stored("target_session"), "\"s:1\"");
    EXPECT_EQ(stored("markdown"), "1");
    EXPECT_EQ(stored("priority"), "4");
}

TEST_F(SetupSave, LongTextsAreCutAtTheRecordSizeOnCharacterBoundaries) {
    std::string e = "\xC3\xA9";
    std::string many_e;
    for (int i = 0; i < 100; i++)
        many_e += e;
    save("{\"topic\":\"" + std::string(300, 't') + "\",\"tags\":\"" + many_e +
         "\",\"reply_prefix\":\"" + many_e + "\"}");
    EXPECT_EQ(stored("topic"), json_str(std::string(159, 't')));
    // 127 bytes would end inside a character: 63 of them (126 bytes) are kept.
    EXPECT_EQ(stored("tags"), json_str(many_e.substr(0, 126)));
    EXPECT_EQ(stored("reply_prefix"), json_str(many_e.substr(0, 30)));
    // Pins are no free text: a value that names no key is refused, and nothing is stored.
    const std::string refused = cgi_fail(
        400, "allowed_pins: pin 1 is not a SHA-256 public-key pin: give 64 hexadecimal digits "
             "(colons between the bytes allowed) or the digest in base64, with or without "
             "sha256// in front");
    EXPECT_EQ(save("{\"allowed_pins\":\"" + many_e + "\",\"topic\":\"never\"}").out, refused);
    std::string escaped;
    for (int i = 0; i < 200; i++)
        escaped += "%C3%A9";
    EXPECT_EQ(cgi(state_, "action=save&allowed_pins=a" + escaped).out, refused);
    EXPECT_EQ(stored("topic"), json_str(std::string(159, 't')));
}

TEST_F(SetupSave, EnvironmentValuesAndFallbackDefaultsAreStored) {
    // The overlay's node password goes into config.json with the rest of the loaded record.
    save(R"({"topic":"t"})", {{"BOT_PASSWORD", "envpw"}, {"HTTP_X_BOT_PASSWORD", "envpw"}});
    EXPECT_EQ(stored("bot_password"), "\"envpw\"");
    // After a failed load: the plain defaults and the posted fields, without the overlay.
    write_whole(state_.file("config.json"), "{broken");
    save(R"({"tags":"only"})", {{"NTFY_TOPIC", "from-env"}});
    EXPECT_EQ(stored("tags"), "\"only\"");
    EXPECT_EQ(stored("topic"), "\"\"");
    EXPECT_EQ(stored("bot_password"), "\"\"");
}

TEST_F(SetupSave, StoreThatFailsAnswers500AndLeavesNoTemporary) {
    std::filesystem::create_directories(state_.file("config.json"));
    RunResult r = save(R"({"topic":"t"})");
    // The system's reason follows: "is a directory" here, "access is denied" on Windows.
    EXPECT_EQ(r.out.rfind("Status: 500\r\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find(R"("error":"cannot write config.json: )"), std::string::npos) << r.out;
    for (const auto &entry : std::filesystem::directory_iterator(state_.state_dir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(SetupSave, TokensAndPinsAreTakenAsPeopleWriteThem) {
    const std::string hex = "ab12" + std::string(60, 'c');
    std::string colons;
    for (size_t i = 0; i < hex.size(); i += 2)
        colons += (i ? ":" : "") + hex.substr(i, 2);
    // 0xab 0x12 0xcc...: its base64, worked out by hand.
    const std::string b64 = "qxLMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMzMw=";
    struct Case {
        std::string body;
        const char *member;
        std::string want;
    } cases[] = {
        {R"({"bearer_token":" tk_abc\n"})", "bearer_token", "\"Bearer tk_abc\""},
        {R"({"bearer_token":"Bearer tk_x"})", "bearer_token", "\"Bearer tk_x\""},
        {R"({"bearer_token":"ann:s3cret"})", "bearer_token", "\"Basic YW5uOnMzY3JldA==\""},
        {R"({"bearer_token":"Basic YW5u"})", "bearer_token", "\"Basic YW5u\""},
        {R"({"allowed_pins":")" + colons + R"("})", "allowed_pins", "\"" + hex + "\""},
        {R"({"allowed_pins":"sha256//)" + b64 + R"( , )" + hex + R"("})", "allowed_pins",
         "\"" + hex + "," + hex + "\""},
        {R"({"allowed_pins":")" + b64.substr(0, 43) + R"("})", "allowed_pins", "\"" + hex + "\""},
    };
    for (const Case &c : cases) {
        RunResult r = save(c.body);
        EXPECT_NE(cgi_body(r).find("\"ok\":true"), std::string::npos) << c.body << r.out;
        EXPECT_EQ(stored(c.member), c.want) << c.body;
    }
    // What no header can carry is refused, and nothing is stored.
    const std::string bad_token = cgi_fail(
        400, "the access token holds a line break, a control character or a letter outside "
             "ASCII, which no Authorization header can carry: paste the token alone");
    for (const char *body : {R"({"bearer_token":"tk_a\nb","topic":"x"})",
                             R"({"bearer_token":"tk_\u00e9","topic":"x"})"}) {
        EXPECT_EQ(save(body).out, bad_token) << body;
        EXPECT_EQ(stored("topic"), "\"\"") << body;
    }
    EXPECT_EQ(stored("bearer_token"), "\"Basic YW5u\"");
}

TEST_F(SetupSave, FieldsTheEnvironmentSetsAreSavedButSaidNotToApply) {
    const CgiEnv env = {{"BOT_PASSWORD", "from-env"}, {"HTTP_X_BOT_PASSWORD", "from-env"},
                        {"NTFY_TOPIC", "env_topic"}};
    std::string body = cgi_body(save(R"({"bot_password":"typed","topic":"t","tags":"x"})", env));
    EXPECT_NE(body.find(R"("env_overrides":["topic","bot_password"],)"
                        R"("not_applied":["topic","bot_password"]})"),
              std::string::npos)
        << body;
    // What the program runs with is still the environment's.
    std::string view = cgi_body(cgi(state_, "action=config", "GET", "", env));
    EXPECT_NE(view.find(R"("topic":"env_topic")"), std::string::npos) << view;
    body = cgi_body(save(R"({"tags":"y"})", env));
    EXPECT_EQ(body.find("not_applied"), std::string::npos) << body;
    EXPECT_NE(body.find(R"("env_overrides":["topic","bot_password"])"), std::string::npos);
}

TEST_F(SetupSave, AStateFolderHeldByAnotherProcessIsBusyAndNothingIsSaved) {
    store_base();
    int64_t held = qv_plat_lock_take(state_.file("state.lock").c_str(), 0);
    ASSERT_GE(held, 0);
    EXPECT_EQ(save(R"({"topic":"later"})").out,
              cgi_fail(503, "state folder busy (state.lock not free after 5000 ms): another "
                            "process is changing it, try again"));
    qv_plat_lock_release(held);
    EXPECT_EQ(stored("topic"), "\"a\"");
}
