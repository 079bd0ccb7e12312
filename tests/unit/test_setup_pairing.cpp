// The pairing actions: both lists member by member, approving by identity and by pairing code,
// revoking and denying (unknown identities change no file), malformed keys, stores that
// cannot be written and a state folder another process holds.
#include "platform.h"
#include "setup_support.h"
#include "state.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

static const std::string BAD_KEY = "key must be the 64-hex identity from ?action=pending";

// While it lives, no file of the programs started from here can take a single byte: writes
// fail (SIGXFSZ is ignored, so they report the error instead of ending the program).
class ScopedNoFileWrites {
  public:
    ScopedNoFileWrites() {
        getrlimit(RLIMIT_FSIZE, &old_);
        struct rlimit none = {0, old_.rlim_max};
        setrlimit(RLIMIT_FSIZE, &none);
        old_handler_ = signal(SIGXFSZ, SIG_IGN);
    }
    ~ScopedNoFileWrites() {
        setrlimit(RLIMIT_FSIZE, &old_);
        signal(SIGXFSZ, old_handler_);
    }
    ScopedNoFileWrites(const ScopedNoFileWrites &) = delete;
    ScopedNoFileWrites &operator=(const ScopedNoFileWrites &) = delete;

  private:
    struct rlimit old_;
    void (*old_handler_)(int);
};

class SetupPairing : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
        write_whole(state_.file("pending.json"),
                    "[{\"key\":\"" + k1 +
                        "\",\"label\":\"topic=alerts user=ann\",\"code\":\"ABCD2345\","
                        "\"first_seen\":1700000000,\"last_seen\":1700000100,\"last_challenge_at\":"
                        "1700000000,"
                        "\"count\":3,\"sample\":\"hello \\\"there\\\"\"},"
                        "{\"key\":\"" +
                        k2 +
                        "\",\"label\":\"l2\",\"code\":\"WXYZ6789\",\"first_seen\":5,"
                        "\"last_seen\":6,\"last_challenge_at\":0,\"count\":1,\"sample\":\"\"}]");
    }
    RunResult act(const std::string &action, const std::string &body) {
        return cgi(state_, "action=" + action, "POST", body);
    }
    std::string key_body(const std::string &key, const std::string &more = "") {
        return "{\"key\":\"" + key + "\"" + more + "}";
    }
    std::string ok(const std::string &key, const std::string &action) {
        return cgi_answer(200,
                          "{\"ok\":true,\"key\":\"" + key + "\",\"action\":\"" + action + "\"}");
    }
    std::string pending_keys() {
        qv_ntfy_pending_entry *t = nullptr;
        int n = 0;
        EXPECT_EQ(qv_ntfy_pending_load(&t, &n), 0);
        std::string keys;
        for (int i = 0; i < n; i++)
            keys += std::string(t[i].key).substr(0, 4) + " ";
        free(t);
        return keys;
    }
    // The approved entries as "key-prefix:label:via " in list order.
    std::string approved() {
        qv_ntfy_approved_entry *t = nullptr;
        int n = 0;
        EXPECT_EQ(qv_ntfy_approved_load(&t, &n), 0);
        std::string out;
        for (int i = 0; i < n; i++)
            out += std::string(t[i].key).substr(0, 4) + ":" + t[i].label + ":" +
                   std::to_string(t[i].via) + " ";
        free(t);
        return out;
    }
    const std::string k1 = "a1" + hex_identity(1).substr(2);
    const std::string k2 = "b2" + hex_identity(2).substr(2);
    const std::string k3 = "c3" + hex_identity(3).substr(2);
    TempStateRoot state_;
};

TEST_F(SetupPairing, ListsMemberByMember) {
    EXPECT_EQ(cgi(state_, "action=pending").out,
              cgi_answer(200, "{\"ok\":true,\"pending\":[{\"key\":\"" + k1 +
                                  "\",\"label\":\"topic=alerts user=ann\",\"code\":\"ABCD2345\","
                                  "\"sample\":\"hello \\\"there\\\"\",\"first_seen\":1700000000,"
                                  "\"last_seen\":1700000100,\"count\":3},{\"key\":\"" +
                                  k2 +
                                  "\",\"label\":\"l2\",\"code\":\"WXYZ6789\",\"sample\":\"\","
                                  "\"first_seen\":5,\"last_seen\":6,\"count\":1}]}"));
    EXPECT_EQ(cgi(state_, "action=approved").out, cgi_answer(200, R"({"ok":true,"approved":[]})"));
    write_whole(state_.file("approved.json"),
                "[{\"key\":\"" + k3 +
                    "\",\"label\":\"l3\",\"added_at\":10,\"last_seen\":11,"
                    "\"count\":12,\"via\":1}]");
    EXPECT_EQ(cgi(state_, "action=approved").out,
              cgi_answer(200, "{\"ok\":true,\"approved\":[{\"key\":\"" + k3 +
                                  "\",\"label\":\"l3\",\"added_at\":10,\"last_seen\":11,"
                                  "\"count\":12,\"via\":1,\"topic\":\"\"}]}"));
    std::filesystem::remove(state_.file("pending.json"));
    EXPECT_EQ(cgi(state_, "action=pending").out, cgi_answer(200, R"({"ok":true,"pending":[]})"));
}

TEST_F(SetupPairing, ApproveByKeyMovesTheSenderOutOfTheQueue) {
    EXPECT_EQ(act("approve", key_body(k1, ",\"label\":\" Ann \"")).out, ok(k1, "approve"));
    EXPECT_EQ(approved(), "a1" + k1.substr(2, 2) + ": Ann :0 ");
    EXPECT_EQ(pending_keys(), k2.substr(0, 4) + " ");
}

TEST_F(SetupPairing, ApproveByCodeInAnyLetterCase) {
    for (const char *code : {"wxyz6789", "abcd2345"}) {
        std::string key = code[0] == 'w' ? k2 : k1;
        EXPECT_EQ(act("approve", std::string("{\"key\":\"\",\"code\":\"") + code + "\"}").out,
                  ok(key, "approve"));
    }
    EXPECT_EQ(pending_keys(), "");
    EXPECT_EQ(approved(), k2.substr(0, 4) + "::0 " + k1.substr(0, 4) + "::0 ");
    // The code is used only when the key is empty, and one that matches nothing is refused.
    EXPECT_EQ(act("approve", R"({"code":"ABCD2345"})").out, cgi_fail(400, BAD_KEY));
    EXPECT_EQ(act("approve", R"({"key":"zz","code":"ABCD2345"})").out, cgi_fail(400, BAD_KEY));
    EXPECT_EQ(cgi(state_, "action=approve&code=NOPE2345").out, cgi_fail(400, BAD_KEY));
}

TEST_F(SetupPairing, ApproveAnUnqueuedOrApprovedIdentity) {
    EXPECT_EQ(act("approve", key_body(k3, ",\"label\":\"first\"")).out, ok(k3, "approve"));
    EXPECT_EQ(approved(), k3.substr(0, 4) + ":first:0 ");
    EXPECT_EQ(pending_keys(), k1.substr(0, 4) + " " + k2.substr(0, 4) + " ");
    // Approved by pairing code meanwhile; a new approval keeps one entry, via 0 again.
    ASSERT_EQ(qv_ntfy_approved_add(k3.c_str(), "", QV_VIA_PAIRING_CODE), 0);
    EXPECT_EQ(approved(), k3.substr(0, 4) + ":first:1 ");
    EXPECT_EQ(act("approve", key_body(k3, ",\"label\":\"\"")).out, ok(k3, "approve"));
    EXPECT_EQ(approved(), k3.substr(0, 4) + ":first:0 ");
    EXPECT_EQ(act("approve", key_body(k3, ",\"label\":\"second\"")).out, ok(k3, "approve"));
    EXPECT_EQ(approved(), k3.substr(0, 4) + ":second:0 ");
}

TEST_F(SetupPairing, IdentityInCapitalsNamesTheSameSender) {
    std::string upper = k1;
    for (char &c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(act("approve", key_body(upper)).out, ok(k1, "approve"));
    EXPECT_EQ(qv_ntfy_approved_has(k1.c_str()), 1);
    EXPECT_EQ(pending_keys(), k2.substr(0, 4) + " ");
    EXPECT_EQ(act("unapprove", key_body(upper)).out, ok(k1, "unapprove"));
    EXPECT_EQ(approved(), "");
    std::string upper2 = k2;
    for (char &c : upper2)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(act("deny", key_body(upper2)).out, ok(k2, "deny"));
    EXPECT_EQ(pending_keys(), "");
}

TEST_F(SetupPairing, UnapproveAndDeny) {
    ASSERT_EQ(qv_ntfy_approved_add(k3.c_str(), "l3", QV_VIA_SETUP), 0);
    ASSERT_EQ(qv_ntfy_approved_add(k1.c_str(), "l1", QV_VIA_SETUP), 0);
    EXPECT_EQ(act("unapprove", key_body(k3, ",\"label\":\"ignored\"")).out, ok(k3, "unapprove"));
    EXPECT_EQ(approved(), k1.substr(0, 4) + ":l1:0 ");
    // Revoking leaves the queue alone; denying leaves the approved list alone.
    EXPECT_EQ(pending_keys(), k1.substr(0, 4) + " " + k2.substr(0, 4) + " ");
    EXPECT_EQ(act("deny", key_body(k1)).out, ok(k1, "deny"));
    EXPECT_EQ(pending_keys(), k2.substr(0, 4) + " ");
    EXPECT_EQ(approved(), k1.substr(0, 4) + ":l1:0 ");
    // Unapprove by the code of a queued request.
    ASSERT_EQ(qv_ntfy_approved_add(k2.c_str(), "l2", QV_VIA_SETUP), 0);
    EXPECT_EQ(act("unapprove", R"({"code":"wxyz6789"})").out, ok(k2, "unapprove"));
    EXPECT_EQ(approved(), k1.substr(0, 4) + ":l1:0 ");
    EXPECT_EQ(pending_keys(), k2.substr(0, 4) + " ");
    // Keys from the query string, with blanks around them.
    EXPECT_EQ(cgi(state_, "action=deny&key=+" + k2 + "+").out, ok(k2, "deny"));
}

TEST_F(SetupPairing, UnknownIdentitiesSucceedWithoutWriting) {
    ASSERT_EQ(qv_ntfy_approved_add(k1.c_str(), "l1", QV_VIA_SETUP), 0);
    std::string pending_before = read_whole(state_.file("pending.json"));
    std::string approved_before = read_whole(state_.file("approved.json"));
    auto pending_time = std::filesystem::last_write_time(state_.file("pending.json"));
    auto approved_time = std::filesystem::last_write_time(state_.file("approved.json"));
    EXPECT_EQ(act("unapprove", key_body(k3)).out, ok(k3, "unapprove"));
    EXPECT_EQ(act("deny", key_body(k3)).out, ok(k3, "deny"));
    EXPECT_EQ(read_whole(state_.file("pending.json")), pending_before);
    EXPECT_EQ(read_whole(state_.file("approved.json")), approved_before);
    EXPECT_EQ(std::filesystem::last_write_time(state_.file("pending.json")), pending_time);
    EXPECT_EQ(std::filesystem::last_write_time(state_.file("approved.json")), approved_time);
}

TEST_F(SetupPairing, MalformedKeysAreRefused) {
    const std::string blanks = "  " + k1 + "\t";
    struct Case {
        std::string key;
        bool accepted;
    } cases[] = {
        {blanks, true},
        {k1.substr(0, 63), false},
        {k1 + "0", false},
        {k1.substr(0, 63) + "g", false},
        {k1.substr(0, 10) + " " + k1.substr(11), false},
        {"", false},
    };
    for (const char *action : {"approve", "unapprove", "deny"}) {
        for (const Case &c : cases) {
            RunResult r = act(action, "{\"key\":" + json_str(c.key) + "}");
            if (c.accepted)
                EXPECT_EQ(r.out, ok(k1, action)) << action << " [" << c.key << "]";
            else
                EXPECT_EQ(r.out, cgi_fail(400, BAD_KEY)) << action << " [" << c.key << "]";
        }
        EXPECT_EQ(act(action, R"({"key":12345})").out, cgi_fail(400, BAD_KEY)) << action;
        EXPECT_EQ(act(action, R"({"key":null})").out, cgi_fail(400, BAD_KEY)) << action;
    }
}

TEST_F(SetupPairing, StoresThatCannotBeWritten) {
    ASSERT_EQ(qv_ntfy_approved_add(k3.c_str(), "l3", QV_VIA_SETUP), 0);
    ScopedNoFileWrites no_writes;
    EXPECT_EQ(act("approve", key_body(k1)).out, cgi_fail(500, "cannot write the pairing store"));
    EXPECT_EQ(act("unapprove", key_body(k3)).out, cgi_fail(500, "cannot write the pairing store"));
    EXPECT_EQ(act("deny", key_body(k2)).out, cgi_fail(500, "cannot write the pairing queue"));
    // Nothing is half written: the lists are as they were, and no temporary is left.
    EXPECT_EQ(approved(), k3.substr(0, 4) + ":l3:0 ");
    EXPECT_EQ(pending_keys(), k1.substr(0, 4) + " " + k2.substr(0, 4) + " ");
    for (const auto &entry : std::filesystem::directory_iterator(state_.state_dir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(SetupPairing, AStateFolderHeldByAnotherProcessIsAnErrorNotAHang) {
    int64_t held = qv_plat_lock_take(state_.file("state.lock").c_str(), 0);
    ASSERT_GE(held, 0);
    // The request waits its bounded time for the lock, then says the folder is busy (503, try
    // again), and changes nothing.
    EXPECT_EQ(act("approve", key_body(k1)).out,
              cgi_fail(503, "state folder busy (state.lock not free after 5000 ms): another "
                            "process is changing it, try again"));
    // A denial rewrites the queue under the same lock, or not at all.
    EXPECT_EQ(act("deny", key_body(k2)).out,
              cgi_fail(503, "state folder busy (state.lock not free after 5000 ms): another "
                            "process is changing it, try again"));
    qv_plat_lock_release(held);
    EXPECT_EQ(approved(), "");
    EXPECT_EQ(pending_keys(), k1.substr(0, 4) + " " + k2.substr(0, 4) + " ");
}

TEST_F(SetupPairing, WithPrivateTopicsDevicesGetATopicALinkAndItsQrCode) {
    const CgiEnv priv = {{"NTFY_PRIVATE_TOPICS", "1"}, {"NTFY_TOPIC", "alerts"},
                         {"NTFY_SERVER_URL", "https://ntfy.example/base/"}};
    EXPECT_EQ(act("add_device", R"({"label":"tablet"})").out,
              cgi_fail(400, "devices get topics of their own only with private_topics on (Setup tab)"));
    std::string approve = cgi_body(cgi(state_, "action=approve", "POST", key_body(k1, ",\"label\":\"phone\""), priv));
    std::string add = cgi_body(cgi(state_, "action=add_device", "POST", R"({"label":"tablet"})", priv));
    std::string list = cgi_body(cgi(state_, "action=approved", "GET", "", priv));
    yyjson_doc *docs[] = {yyjson_read(approve.data(), approve.size(), 0), yyjson_read(add.data(), add.size(), 0),
                          yyjson_read(list.data(), list.size(), 0)};
    ASSERT_TRUE(docs[0] && docs[1] && docs[2]) << approve << add << list;
    std::string topics[2];
    for (int i = 0; i < 2; i++) {
        yyjson_val *root = yyjson_doc_get_root(docs[i]);
        topics[i] = yyjson_get_str(yyjson_obj_get(root, "topic")) ? yyjson_get_str(yyjson_obj_get(root, "topic")) : "";
        EXPECT_EQ(topics[i].rfind("alerts-", 0), 0u) << topics[i];
        EXPECT_EQ(topics[i].size(), 7u + QV_DEVICE_RANDOM_LEN);
    }
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(docs[1]), "action")), "add_device");
    EXPECT_EQ(pending_keys(), k2.substr(0, 4) + " ");
    yyjson_val *entries = yyjson_obj_get(yyjson_doc_get_root(docs[2]), "approved");
    ASSERT_EQ(yyjson_arr_size(entries), 2u);
    for (size_t i = 0; i < 2; i++) {
        yyjson_val *e = yyjson_arr_get(entries, i);
        EXPECT_EQ(std::string(yyjson_get_str(yyjson_obj_get(e, "subscribe_url"))),
                  "https://ntfy.example/base/" + topics[i]);
        // The QR code libqrencode made: square, a size QR codes have, a finder pattern at the top left.
        yyjson_val *qr = yyjson_obj_get(e, "qr");
        size_t n = yyjson_arr_size(qr);
        EXPECT_TRUE(n >= 21 && (n - 21) % 4 == 0) << n;
        for (size_t y = 0; y < n; y++) {
            std::string row = yyjson_get_str(yyjson_arr_get(qr, y));
            ASSERT_EQ(row.size(), n);
            ASSERT_EQ(row.find_first_not_of("01"), std::string::npos);
            if (y == 0 || y == 6) {
                EXPECT_EQ(row.substr(0, 8), "11111110");
            }
        }
    }
    for (yyjson_doc *doc : docs)
        yyjson_doc_free(doc);
}
