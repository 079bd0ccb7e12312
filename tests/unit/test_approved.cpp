// The approved senders: approving, re-approving, asking, sightings, revoking, the 256-entry
// limit, the exact file form and broken files.
#include "state.h"
#include "support.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

static std::string hex_key(int n) {
    char buf[65];
    snprintf(buf, sizeof buf, "%064x", n);
    return buf;
}

static std::string entries_json(int n, const std::string &extra_last = "") {
    std::string json = "[";
    for (int i = 0; i < n; i++)
        json += (i ? "," : "") + std::string("{\"key\":\"") + hex_key(i) + "\"}";
    if (!extra_last.empty())
        json += (n ? "," : "") + extra_last;
    return json + "]";
}

class Approved : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(state_.state_dir());
    }
    void TearDown() override {
        free(table_);
    }

    int load() {
        free(table_);
        table_ = nullptr;
        count_ = -1;
        EXPECT_EQ(qv_ntfy_approved_load(&table_, &count_), 0);
        EXPECT_NE(table_, nullptr);
        return count_;
    }
    std::string file() {
        return read_whole(state_.file("approved.json"));
    }
    void write_file(const std::string &json) {
        write_whole(state_.file("approved.json"), json);
    }

    TempStateRoot state_;
    qv_ntfy_approved_entry *table_ = nullptr;
    int count_ = -1;
};

TEST_F(Approved, NewApproval) {
    int64_t before = qv_ntfy_now_epoch();
    ASSERT_EQ(qv_ntfy_approved_add(hex_key(1).c_str(), "user=ann tags= topic=t", 1), 0);
    int64_t after = qv_ntfy_now_epoch();
    ASSERT_EQ(load(), 1);
    const qv_ntfy_approved_entry &e = table_[0];
    EXPECT_EQ(e.key, hex_key(1));
    EXPECT_STREQ(e.label, "user=ann tags= topic=t");
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(e.via, 1);
    EXPECT_EQ(e.added_at, e.last_seen);
    EXPECT_GE(e.added_at, before);
    EXPECT_LE(e.added_at, after);
    EXPECT_EQ(qv_ntfy_approved_has(hex_key(1).c_str()), 1);
    EXPECT_EQ(qv_ntfy_approved_has(hex_key(2).c_str()), 0);

    ASSERT_EQ(qv_ntfy_approved_add(hex_key(2).c_str(), nullptr, 0), 0);
    ASSERT_EQ(load(), 2);
    EXPECT_STREQ(table_[1].label, "");
    EXPECT_EQ(table_[1].via, 0);
}

TEST_F(Approved, ReApprovalChangesOnlyViaAndANonEmptyLabel) {
    write_file("[{\"key\":\"" + hex_key(1) +
               "\",\"label\":\"old\",\"added_at\":10,\"last_seen\":20,\"count\":5,\"via\":1}]");
    struct {
        const char *label;
        int via;
        const char *want_label;
    } steps[] = {
        {"", 0, "old"},
        {nullptr, 1, "old"},
        {"new", 0, "new"},
    };
    for (const auto &s : steps) {
        ASSERT_EQ(qv_ntfy_approved_add(hex_key(1).c_str(), s.label, s.via), 0);
        ASSERT_EQ(load(), 1);
        EXPECT_STREQ(table_[0].label, s.want_label);
        EXPECT_EQ(table_[0].via, s.via);
        EXPECT_EQ(table_[0].added_at, 10);
        EXPECT_EQ(table_[0].last_seen, 20);
        EXPECT_EQ(table_[0].count, 5);
    }
}

TEST_F(Approved, SavedFileHasTheExactForm) {
    ASSERT_EQ(qv_ntfy_approved_add("k", "l", 0), 0);
    load();
    table_[0].added_at = 1700000000;
    table_[0].last_seen = 1700000500;
    table_[0].count = 12;
    table_[0].via = 1;
    ASSERT_EQ(qv_ntfy_approved_save(table_, count_), 0);
    EXPECT_EQ(file(), "[\n"
                      "    {\n"
                      "        \"key\": \"k\",\n"
                      "        \"label\": \"l\",\n"
                      "        \"added_at\": 1700000000,\n"
                      "        \"last_seen\": 1700000500,\n"
                      "        \"count\": 12,\n"
                      "        \"via\": 1,\n"
                      "        \"topic\": \"\"\n"
                      "    }\n"
                      "]");
    struct stat st;
    ASSERT_EQ(stat(state_.file("approved.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(qv_ntfy_approved_save(table_, 0), 0);
    EXPECT_EQ(file(), "[]");
}

TEST_F(Approved, UnknownViaAndMembersRoundTrip) {
    write_file(R"([{"via":7,"key":"a","count":3,"extra":[1,2]}])");
    ASSERT_EQ(load(), 1);
    EXPECT_EQ(table_[0].via, 7);
    ASSERT_EQ(qv_ntfy_approved_save(table_, count_), 0);
    EXPECT_NE(file().find("\"via\": 7"), std::string::npos);
    EXPECT_EQ(file().find("extra"), std::string::npos);
}

TEST_F(Approved, MissingOrBrokenFilesAreAnEmptyList) {
    const char *files[] = {
        nullptr, "", "[", "[{\"key\":\"a\"}] x", "{\"key\":\"a\"}", "\"a\"", "[{\"key\":\"a\",}]",
    };
    for (const char *f : files) {
        if (f)
            write_file(f);
        else
            fs::remove(state_.file("approved.json"));
        EXPECT_EQ(load(), 0) << (f ? f : "(none)");
        EXPECT_EQ(qv_ntfy_approved_has("a"), 0);
    }
    // Approving over a broken file starts a fresh list.
    ASSERT_EQ(qv_ntfy_approved_add("a", "l", 0), 0);
    ASSERT_EQ(load(), 1);
}

TEST_F(Approved, WrongTypesKeepDefaults) {
    write_file(R"([{"key":"a","label":1,"added_at":"5","last_seen":2.5,"count":true,"via":null},)"
               R"({"key":"b","added_at":-7,"last_seen":18446744073709551615,)"
               R"("count":4294967296,"via":-4294967296}])");
    ASSERT_EQ(load(), 2);
    EXPECT_STREQ(table_[0].label, "");
    EXPECT_EQ(table_[0].added_at, 0);
    EXPECT_EQ(table_[0].last_seen, 0);
    EXPECT_EQ(table_[0].count, 0);
    EXPECT_EQ(table_[0].via, 0);
    EXPECT_EQ(table_[1].added_at, -7);
    // Numbers beyond a field's range saturate instead of wrapping around.
    EXPECT_EQ(table_[1].last_seen, INT64_MAX);
    EXPECT_EQ(table_[1].count, INT32_MAX);
    EXPECT_EQ(table_[1].via, INT32_MIN);
}

TEST_F(Approved, AskingWithAnEmptyKeyIsNeverApproved) {
    write_file(R"([{"key":""},{"key":"a"}])");
    EXPECT_EQ(qv_ntfy_approved_has(""), 0);
    EXPECT_EQ(qv_ntfy_approved_has(nullptr), 0);
    EXPECT_EQ(qv_ntfy_approved_has("a"), 1);
    EXPECT_EQ(qv_ntfy_approved_has("A"), 0);
}

// The daemon's question reads the file in place; its answer must be the loaded list's.
TEST_F(Approved, AskingAgreesWithTheLoadedList) {
    const std::string target = "{\"key\":\"target\"}";
    std::string many_numbers;
    for (int i = 0; i < 300; i++)
        many_numbers += "1,";
    struct {
        std::string json;
        int want;
    } cases[] = {
        {entries_json(255, target), 1},                       // the 256th entry
        {entries_json(256, target), 0},                       // the 257th is not loaded
        {"[" + many_numbers + "\"x\",{}," + target + "]", 1}, // non-entries take no room
        {"[{\"key\":\"" + std::string(70, 'k') + "\"}]", -1}, // stored key is cut to 64
    };
    for (const auto &c : cases) {
        write_file(c.json);
        if (c.want >= 0) {
            EXPECT_EQ(qv_ntfy_approved_has("target"), c.want);
        } else {
            EXPECT_EQ(qv_ntfy_approved_has(std::string(64, 'k').c_str()), 1);
            EXPECT_EQ(qv_ntfy_approved_has(std::string(70, 'k').c_str()), 0);
        }
        load();
        bool in_table = false;
        for (int i = 0; i < count_; i++)
            in_table = in_table || strcmp(table_[i].key, "target") == 0;
        if (c.want >= 0) {
            EXPECT_EQ(in_table, c.want == 1);
        }
    }
}

// Sightings gathered in memory reach the entries still approved in one write; a revoked or
// unknown sender's are dropped, and a list they do not change is left exactly as it is.
TEST_F(Approved, SightingsAreAddedToTheApprovedEntries) {
    write_file("[{\"key\":\"a\",\"added_at\":10,\"last_seen\":10,\"count\":2,\"via\":1},"
               "{\"key\":\"b\",\"last_seen\":3},{\"key\":\"c\",\"count\":2147483640}]");
    qv_ntfy_sightings s = {};
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(qv_ntfy_sightings_note(&s, "a", 100 + i));
    for (int i = 0; i < 9; i++)
        ASSERT_TRUE(qv_ntfy_sightings_note(&s, "c", 50));
    ASSERT_TRUE(qv_ntfy_sightings_note(&s, "revoked", 50));
    ASSERT_EQ(qv_ntfy_approved_add_sightings(&s), 0);
    EXPECT_EQ(s.used, 0);
    ASSERT_EQ(load(), 3);
    EXPECT_EQ(table_[0].count, 5);
    EXPECT_EQ(table_[0].last_seen, 102);
    EXPECT_EQ(table_[0].added_at, 10);
    EXPECT_EQ(table_[0].via, 1);
    EXPECT_EQ(table_[1].last_seen, 3);
    EXPECT_EQ(table_[2].count, INT32_MAX); // the count stays at its ceiling
    EXPECT_EQ(file().find("revoked"), std::string::npos);

    const std::string text = file();
    ASSERT_TRUE(qv_ntfy_sightings_note(&s, "zzz", 1));
    ASSERT_EQ(qv_ntfy_approved_add_sightings(&s), 0);
    EXPECT_EQ(file(), text);
}

TEST_F(Approved, AFullSightingsTableTakesNoNewSender) {
    qv_ntfy_sightings s = {};
    for (int i = 0; i < QV_SIGHTINGS_MAX; i++)
        ASSERT_TRUE(qv_ntfy_sightings_note(&s, hex_key(i).c_str(), 1));
    EXPECT_FALSE(qv_ntfy_sightings_note(&s, hex_key(QV_SIGHTINGS_MAX).c_str(), 1));
    EXPECT_TRUE(qv_ntfy_sightings_note(&s, hex_key(0).c_str(), 2));
    EXPECT_EQ(s.seen[0].count, 2);
}

TEST_F(Approved, FullListRefusesNewcomersButReApproves) {
    write_file(entries_json(QV_APPROVED_MAX));
    const std::string before = file();
    EXPECT_EQ(qv_ntfy_approved_add(hex_key(9999).c_str(), "late", 0), -1);
    EXPECT_EQ(file(), before);
    EXPECT_EQ(qv_ntfy_approved_add(hex_key(17).c_str(), "again", 1), 0);
    ASSERT_EQ(load(), QV_APPROVED_MAX);
    EXPECT_STREQ(table_[17].label, "again");
    EXPECT_EQ(table_[17].via, 1);
}

TEST_F(Approved, EntriesBeyondTheLimitDisappearAtTheNextSave) {
    write_file(entries_json(300));
    ASSERT_EQ(load(), QV_APPROVED_MAX);
    ASSERT_EQ(qv_ntfy_approved_add(hex_key(0).c_str(), "x", 0), 0);
    EXPECT_EQ(file().find(hex_key(256)), std::string::npos);
    EXPECT_EQ(load(), QV_APPROVED_MAX);
}

TEST_F(Approved, RemoveDropsEveryCopyAndSkipsNeedlessWrites) {
    write_file(R"([{"key":"x"},{"key":"a"},{"key":"x"},{"key":"b"}])");
    ASSERT_EQ(qv_ntfy_approved_remove("x"), 0);
    ASSERT_EQ(load(), 2);
    EXPECT_STREQ(table_[0].key, "a");
    EXPECT_STREQ(table_[1].key, "b");
    const std::string text = R"([{"key":"a"}])";
    write_file(text);
    EXPECT_EQ(qv_ntfy_approved_remove("zzz"), 0);
    EXPECT_EQ(file(), text);
}

TEST_F(Approved, NonLatinLabelsAreCutAtCharactersAndStillSave) {
    std::string label;
    for (int i = 0; i < 120; i++)
        label += "\xD0\x96"; // two-byte letter, 240 bytes in all
    ASSERT_EQ(qv_ntfy_approved_add("a", label.c_str(), 1), 0);
    ASSERT_EQ(load(), 1);
    EXPECT_EQ(std::string(table_[0].label), label.substr(0, 158));
}

TEST_F(Approved, TextThatIsNotUtf8FailsTheSaveAndKeepsTheFile) {
    ASSERT_EQ(qv_ntfy_approved_add("a", "fine", 0), 0);
    const std::string before = file();
    load();
    table_[0].label[0] = '\xFF';
    EXPECT_EQ(qv_ntfy_approved_save(table_, count_), -1);
    EXPECT_EQ(file(), before);
}

TEST_F(Approved, UnusableStateDirectory) {
    ScopedEnv broken("QV_CONNECTORS_DIR", "///");
    EXPECT_EQ(qv_ntfy_approved_add("a", "l", 0), -1);
    EXPECT_EQ(qv_ntfy_approved_has("a"), 0);
    qv_ntfy_sightings s = {};
    ASSERT_TRUE(qv_ntfy_sightings_note(&s, "a", 1));
    EXPECT_EQ(qv_ntfy_approved_add_sightings(&s), -1);
    EXPECT_EQ(s.used, 1); // kept for the next try
    EXPECT_EQ(qv_ntfy_approved_remove("a"), 0);
    EXPECT_EQ(load(), 0);
}

TEST_F(Approved, DevicesGetTopicsOfTheirOwnWithinWhatOneSubscriptionHolds) {
    const std::string long_lobby(100, 'l');
    struct {
        std::string lobby, prefix;
    } cases[] = {{"alerts", "alerts-"}, {long_lobby, std::string(41, 'l') + "-"}};
    for (const auto &c : cases) {
        char topic[QV_DEVICE_TOPIC_CAP];
        ASSERT_EQ(qv_ntfy_device_topic_new(c.lobby.c_str(), topic), 0);
        std::string t = topic;
        EXPECT_EQ(t.rfind(c.prefix, 0), 0u) << t;
        EXPECT_EQ(t.size(), c.prefix.size() + QV_DEVICE_RANDOM_LEN);
        EXPECT_LE(t.size(), static_cast<size_t>(QV_DEVICE_TOPIC_MAX));
        EXPECT_EQ(t.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos);
    }
    // Re-approving keeps the device's topic; a sender approved before keeps its entry and gains one.
    ASSERT_EQ(qv_ntfy_approved_add(hex_key(0).c_str(), "old", QV_VIA_SETUP), 0);
    char first[QV_DEVICE_TOPIC_CAP], again[QV_DEVICE_TOPIC_CAP], err[256];
    ASSERT_EQ(qv_ntfy_approved_add_device(hex_key(0).c_str(), "phone", QV_VIA_SETUP, "alerts", first, err, sizeof err), 0) << err;
    ASSERT_EQ(qv_ntfy_approved_add_device(hex_key(0).c_str(), "", QV_VIA_SETUP, "alerts", again, err, sizeof err), 0) << err;
    EXPECT_STREQ(first, again);
    ASSERT_EQ(load(), 1);
    EXPECT_STREQ(table_[0].topic, first);
    EXPECT_STREQ(table_[0].label, "phone");
    for (int i = 1; i < QV_DEVICE_TOPICS_MAX; i++)
        ASSERT_EQ(qv_ntfy_approved_add_device(hex_key(i).c_str(), "d", QV_VIA_SETUP, "alerts", again, err, sizeof err), 0) << err;
    EXPECT_EQ(qv_ntfy_approved_add_device(hex_key(99).c_str(), "d", QV_VIA_SETUP, "alerts", again, err, sizeof err), -1);
    EXPECT_STREQ(err, "20 devices already have a topic, the most one subscription names: revoke a device first");
    EXPECT_EQ(load(), QV_DEVICE_TOPICS_MAX);
}
