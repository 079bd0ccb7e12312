// The pairing queue: touching new and known senders, the 64-entry limit, the exact file form,
// broken files, code lookup and removal, and the pairing codes themselves.
#include "state.h"
#include "support.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

static const std::string ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
static const std::string CYRILLIC_A = "\xD0\x90";    // two bytes
static const std::string CJK_ZHONG = "\xE4\xB8\xAD"; // three bytes
static const std::string EMOJI = "\xF0\x9F\x94\x94"; // four bytes

static std::string repeat(const std::string &unit, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; i++)
        s += unit;
    return s;
}

// A key the daemon would make: 64 hexadecimal digits, distinct per number.
static std::string hex_key(int n) {
    char buf[65];
    snprintf(buf, sizeof buf, "%064x", n);
    return buf;
}

static bool is_valid_code(const std::string &code) {
    if (code.size() != QV_PAIR_CODE_LEN)
        return false;
    for (char c : code)
        if (ALPHABET.find(c) == std::string::npos)
            return false;
    return true;
}

class Pending : public ::testing::Test {
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
        EXPECT_EQ(qv_ntfy_pending_load(&table_, &count_), 0);
        EXPECT_NE(table_, nullptr);
        return count_;
    }
    qv_ntfy_pending_entry *touch(const std::string &key, const char *label, const char *sample,
                                 qv_ntfy_pending_entry *evicted = nullptr) {
        return qv_ntfy_pending_touch(table_, &count_, key.c_str(), label, sample, evicted);
    }
    std::string file() {
        return read_whole(state_.file("pending.json"));
    }
    void write_file(const std::string &json) {
        write_whole(state_.file("pending.json"), json);
    }

    TempStateRoot state_;
    qv_ntfy_pending_entry *table_ = nullptr;
    int count_ = -1;
};

TEST_F(Pending, FirstMessageOfAnUnknownSender) {
    ASSERT_EQ(load(), 0);
    int64_t before = qv_ntfy_now_epoch();
    qv_ntfy_pending_entry *e = touch(hex_key(1), "topic=alerts (anonymous)", "hello");
    int64_t after = qv_ntfy_now_epoch();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e, &table_[0]);
    EXPECT_EQ(count_, 1);
    EXPECT_EQ(e->key, hex_key(1));
    EXPECT_STREQ(e->label, "topic=alerts (anonymous)");
    EXPECT_STREQ(e->sample, "hello");
    EXPECT_EQ(e->count, 1);
    EXPECT_EQ(e->first_seen, e->last_seen);
    EXPECT_GE(e->first_seen, before);
    EXPECT_LE(e->first_seen, after);
    EXPECT_EQ(e->last_challenge_at, 0);
    EXPECT_TRUE(is_valid_code(e->code)) << e->code;
}

TEST_F(Pending, NewEntryWithoutLabelOrSample) {
    load();
    qv_ntfy_pending_entry *e = touch(hex_key(1), nullptr, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->label, "");
    EXPECT_STREQ(e->sample, "");
    EXPECT_TRUE(is_valid_code(e->code));
}

TEST_F(Pending, LaterMessagesUpdateOnlyWhatTheyMay) {
    load();
    qv_ntfy_pending_entry *e = touch(hex_key(7), "first label", "first words");
    ASSERT_NE(e, nullptr);
    std::string code = e->code;
    e->first_seen = 100;
    e->last_seen = 100;
    e->last_challenge_at = 150;

    struct {
        const char *label, *sample, *want_label;
    } steps[] = {
        {"second label", "second words", "second label"},
        {"", "", "second label"}, // an empty label keeps the stored one
        {nullptr, nullptr, "second label"},
        {"third", "more", "third"},
    };
    int32_t want_count = 1;
    for (const auto &s : steps) {
        e->last_seen = 100;
        qv_ntfy_pending_entry *again = touch(hex_key(7), s.label, s.sample);
        ASSERT_EQ(again, e);
        EXPECT_EQ(count_, 1);
        EXPECT_EQ(e->count, ++want_count);
        EXPECT_GE(e->last_seen, qv_ntfy_now_epoch() - 1);
        EXPECT_EQ(e->first_seen, 100);
        EXPECT_EQ(e->last_challenge_at, 150);
        EXPECT_EQ(std::string(e->code), code);
        EXPECT_STREQ(e->label, s.want_label);
        EXPECT_STREQ(e->sample, "first words");
    }
}

TEST_F(Pending, FirstNonEmptyMessageBecomesTheSample) {
    load();
    qv_ntfy_pending_entry *e = touch(hex_key(2), "l", "");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->sample, "");
    touch(hex_key(2), "l", "now something");
    touch(hex_key(2), "l", "and more");
    EXPECT_STREQ(e->sample, "now something");
}

TEST_F(Pending, CountStaysAtItsCeiling) {
    write_file("[{\"key\":\"" + hex_key(3) + "\",\"count\":2147483647}]");
    load();
    qv_ntfy_pending_entry *e = touch(hex_key(3), nullptr, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->count, INT32_MAX);
}

TEST_F(Pending, AFullQueueTurnsNewcomersAwayOrMakesRoomByTheLongestUnseen) {
    load();
    for (int i = 0; i < QV_PENDING_MAX; i++)
        ASSERT_NE(touch(hex_key(i), "l", "s"), nullptr) << i;
    ASSERT_EQ(count_, QV_PENDING_MAX);
    ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
    std::string saved = file();

    qv_ntfy_pending_entry before_last = table_[QV_PENDING_MAX - 1];
    EXPECT_EQ(touch(hex_key(1000), "newcomer", "hi"), nullptr);
    EXPECT_EQ(count_, QV_PENDING_MAX);
    EXPECT_EQ(memcmp(&before_last, &table_[QV_PENDING_MAX - 1], sizeof before_last), 0);
    EXPECT_EQ(file(), saved);

    // A sender already queued is still updated when the queue is full.
    qv_ntfy_pending_entry *known = touch(hex_key(5), nullptr, nullptr);
    ASSERT_EQ(known, &table_[5]);
    EXPECT_EQ(known->count, 2);

    // With room to be made, the request seen longest ago goes and the newcomer is recorded last.
    table_[7].last_seen = 1;
    qv_ntfy_pending_entry evicted;
    qv_ntfy_pending_entry *added = touch(hex_key(1000), "newcomer", "hi", &evicted);
    ASSERT_EQ(added, &table_[QV_PENDING_MAX - 1]);
    EXPECT_EQ(std::string(added->key), hex_key(1000));
    EXPECT_EQ(std::string(evicted.key), hex_key(7));
    EXPECT_EQ(std::string(table_[7].key), hex_key(8));
    EXPECT_EQ(count_, QV_PENDING_MAX);
    EXPECT_EQ(touch(hex_key(5), nullptr, nullptr, &evicted)->count, 3);
    EXPECT_EQ(evicted.key[0], '\0');
}

TEST_F(Pending, SavedFileHasTheExactForm) {
    load();
    ASSERT_NE(touch(hex_key(1), "x", "y"), nullptr);
    qv_ntfy_pending_entry &e = table_[0];
    snprintf(e.key, sizeof e.key, "k1");
    snprintf(e.label, sizeof e.label, "user=a \"b\" tags=c topic=d");
    snprintf(e.code, sizeof e.code, "ABCD2345");
    snprintf(e.sample, sizeof e.sample, "line1\nline2");
    e.first_seen = 1700000000;
    e.last_seen = 1700000100;
    e.last_challenge_at = -5;
    e.count = 3;
    ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
    EXPECT_EQ(file(), "[\n"
                      "    {\n"
                      "        \"key\": \"k1\",\n"
                      "        \"label\": \"user=a \\\"b\\\" tags=c topic=d\",\n"
                      "        \"code\": \"ABCD2345\",\n"
                      "        \"sample\": \"line1\\nline2\",\n"
                      "        \"first_seen\": 1700000000,\n"
                      "        \"last_seen\": 1700000100,\n"
                      "        \"last_challenge_at\": -5,\n"
                      "        \"count\": 3\n"
                      "    }\n"
                      "]");
    struct stat st;
    ASSERT_EQ(stat(state_.file("pending.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    ASSERT_EQ(qv_ntfy_pending_save(table_, 0), 0);
    EXPECT_EQ(file(), "[]");
}

TEST_F(Pending, SaveThenLoadGivesTheSameEntries) {
    load();
    for (int i = 0; i < 5; i++)
        ASSERT_NE(touch(hex_key(i), ("label " + std::to_string(i)).c_str(), "s"), nullptr);
    table_[2].last_challenge_at = 42;
    ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
    qv_ntfy_pending_entry *saved = table_;
    int saved_count = count_;
    table_ = nullptr;
    ASSERT_EQ(load(), saved_count);
    for (int i = 0; i < saved_count; i++)
        EXPECT_EQ(memcmp(&saved[i], &table_[i], sizeof saved[i]), 0) << i;
    free(saved);
}

TEST_F(Pending, MissingOrBrokenFilesAreAnEmptyQueue) {
    const char *files[] = {
        nullptr, // no file at all
        "",      // empty
        "not json",
        "[{\"key\":\"a\"},",             // cut short
        "[{\"key\":\"a\"},]",            // trailing comma
        "// note\n[{\"key\":\"a\"}]",    // comment
        "\xEF\xBB\xBF[{\"key\":\"a\"}]", // byte-order mark
        "[{\"key\":\"\xFF\"}]",          // not UTF-8
        "{\"key\":\"a\"}",               // an object, not an array
        "null",
    };
    for (const char *f : files) {
        if (f)
            write_file(f);
        else
            fs::remove(state_.file("pending.json"));
        EXPECT_EQ(load(), 0) << (f ? f : "(none)");
    }
}

TEST_F(Pending, OnlyObjectsWithAStringKeyAreEntries) {
    write_file(R"([1, "x", null, [], {"label":"no key"}, {"key":5},
        {"key":"a","label":7,"code":"ABCD2345","sample":["x"],"first_seen":1.5,
         "last_seen":9,"last_challenge_at":"3","count":2e1,"extra":true},
        {"key":"b","key":"c","count":-4}])");
    ASSERT_EQ(load(), 2);
    EXPECT_STREQ(table_[0].key, "a");
    EXPECT_STREQ(table_[0].label, "");
    EXPECT_STREQ(table_[0].code, "ABCD2345");
    EXPECT_STREQ(table_[0].sample, "");
    EXPECT_EQ(table_[0].first_seen, 0);
    EXPECT_EQ(table_[0].last_seen, 9);
    EXPECT_EQ(table_[0].last_challenge_at, 0);
    EXPECT_EQ(table_[0].count, 0);
    EXPECT_STREQ(table_[1].key, "b"); // the first of two equal keys counts
    EXPECT_EQ(table_[1].count, -4);
    // Unknown members are not kept.
    ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
    EXPECT_EQ(file().find("extra"), std::string::npos);
}

TEST_F(Pending, AFileOfSeventyEntriesLoadsSixtyFour) {
    std::string json = "[";
    for (int i = 0; i < 70; i++)
        json += (i ? "," : "") + std::string("{\"key\":\"") + hex_key(i) + "\"}";
    write_file(json + "]");
    ASSERT_EQ(load(), QV_PENDING_MAX);
    EXPECT_EQ(table_[63].key, hex_key(63));
    ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
    ASSERT_EQ(load(), QV_PENDING_MAX);
    EXPECT_EQ(file().find(hex_key(64)), std::string::npos);
}

TEST_F(Pending, LongTextsAreCutToTheirFields) {
    std::string json = "[{\"key\":\"" + std::string(100, 'k') + "\",\"label\":\"" +
                       std::string(300, 'l') + "\",\"code\":\"ABCDEFGHJK\",\"sample\":\"" +
                       std::string(500, 's') + "\"}]";
    write_file(json);
    ASSERT_EQ(load(), 1);
    EXPECT_EQ(std::string(table_[0].key), std::string(64, 'k'));
    EXPECT_EQ(std::string(table_[0].label), std::string(159, 'l'));
    EXPECT_STREQ(table_[0].code, "ABCDEFGH");
    EXPECT_EQ(std::string(table_[0].sample), std::string(239, 's'));
}

// A label or sample in a non-Latin script, cut to its field, must still save: otherwise the
// sender's request would be lost.
TEST_F(Pending, NonLatinTextsAreCutAtCharactersAndStillSave) {
    struct {
        std::string unit;
        size_t label_len, sample_len;
    } scripts[] = {
        {CYRILLIC_A, 158, 238},
        {CJK_ZHONG, 159, 237},
        {EMOJI, 156, 236},
    };
    for (const auto &s : scripts) {
        load();
        std::string label = repeat(s.unit, 200), sample = repeat(s.unit, 300);
        qv_ntfy_pending_entry *e = touch(hex_key(1), label.c_str(), sample.c_str());
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(strlen(e->label), s.label_len);
        EXPECT_EQ(strlen(e->sample), s.sample_len);
        ASSERT_EQ(qv_ntfy_pending_save(table_, count_), 0);
        ASSERT_EQ(load(), 1);
        EXPECT_EQ(std::string(table_[0].label), label.substr(0, s.label_len));
        EXPECT_EQ(std::string(table_[0].sample), sample.substr(0, s.sample_len));
        fs::remove(state_.file("pending.json"));
    }
    // Read from a file, a long text is cut the same way and saves again.
    write_file("[{\"key\":\"a\",\"label\":\"" + repeat(CJK_ZHONG, 100) + "\"}]");
    ASSERT_EQ(load(), 1);
    EXPECT_EQ(strlen(table_[0].label), 159u);
    EXPECT_EQ(qv_ntfy_pending_save(table_, count_), 0);
}

TEST_F(Pending, TextThatIsNotUtf8FailsTheSaveAndKeepsTheFile) {
    write_file("[]");
    load();
    qv_ntfy_pending_entry *e = touch(hex_key(1), "ok", "ok");
    ASSERT_NE(e, nullptr);
    e->sample[0] = '\xC3'; // a lead byte followed by "k"
    EXPECT_EQ(qv_ntfy_pending_save(table_, count_), -1);
    EXPECT_EQ(file(), "[]");
    for (const auto &entry : fs::directory_iterator(state_.state_dir()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos);
}

TEST_F(Pending, FindCodeIgnoresLetterCaseAndEmptyCodes) {
    write_file(R"([{"key":"k-empty","code":""},{"key":"k-first","code":"ABCD2345"},)"
               R"({"key":"k-second","code":"abcd2345"},{"key":"k-other","code":"ZZZZ9999"}])");
    struct {
        const char *code;
        int want;
        const char *want_key;
    } cases[] = {
        {"abcd2345", 1, "k-first"},
        {"ABCD2345", 1, "k-first"},
        {"aBcD2345", 1, "k-first"},
        {"zzzz9999", 1, "k-other"},
        {"ABCD234", 0, ""},
        {"ABCD23456", 0, ""},
        {"", 0, ""},
        {nullptr, 0, ""},
    };
    for (const auto &c : cases) {
        char key[QV_SENDER_KEY_CAP] = "";
        EXPECT_EQ(qv_ntfy_pending_find_code(c.code, key, sizeof key), c.want)
            << (c.code ? c.code : "(none)");
        EXPECT_STREQ(key, c.want_key);
    }
    char small[4] = "";
    EXPECT_EQ(qv_ntfy_pending_find_code("ZZZZ9999", small, sizeof small), 1);
    EXPECT_STREQ(small, "k-o");
}

TEST_F(Pending, FindCodeWithoutAFileFindsNothing) {
    char key[QV_SENDER_KEY_CAP] = "";
    EXPECT_EQ(qv_ntfy_pending_find_code("ABCD2345", key, sizeof key), 0);
}

TEST_F(Pending, RemoveDropsEveryCopyAndLeavesOthersInOrder) {
    write_file("[{\"key\":\"a\"},{\"key\":\"x\"},{\"key\":\"b\"},{\"key\":\"x\"},{\"key\":\"c\"}]");
    ASSERT_EQ(qv_ntfy_pending_remove("x"), 0);
    ASSERT_EQ(load(), 3);
    EXPECT_STREQ(table_[0].key, "a");
    EXPECT_STREQ(table_[1].key, "b");
    EXPECT_STREQ(table_[2].key, "c");
}

TEST_F(Pending, RemovingAnUnknownKeyDoesNotRewriteTheFile) {
    // Hand-written (compact) text would be rewritten pretty by any save.
    const std::string text = "[{\"key\":\"a\",\"code\":\"ABCD2345\"},{\"key\":\"b\"}]";
    write_file(text);
    EXPECT_EQ(qv_ntfy_pending_remove("zzz"), 0);
    EXPECT_EQ(qv_ntfy_pending_remove(nullptr), 0);
    EXPECT_EQ(file(), text);
    fs::remove(state_.file("pending.json"));
    EXPECT_EQ(qv_ntfy_pending_remove("a"), 0);
    EXPECT_FALSE(fs::exists(state_.file("pending.json")));
}

TEST_F(Pending, UnusableStateDirectory) {
    ScopedEnv broken("QV_CONNECTORS_DIR", "///");
    ASSERT_EQ(load(), 0);
    ASSERT_NE(touch(hex_key(1), "l", "s"), nullptr);
    EXPECT_EQ(qv_ntfy_pending_save(table_, count_), -1);
    char key[QV_SENDER_KEY_CAP];
    EXPECT_EQ(qv_ntfy_pending_find_code(table_[0].code, key, sizeof key), 0);
}

TEST(PairingCode, FormAlphabetAndUniqueness) {
    std::set<std::string> seen;
    std::set<char> used;
    const int N = 4000;
    for (int i = 0; i < N; i++) {
        char code[QV_PAIR_CODE_CAP];
        memset(code, 'x', sizeof code);
        qv_ntfy_random_code(code);
        ASSERT_EQ(code[QV_PAIR_CODE_LEN], '\0');
        ASSERT_TRUE(is_valid_code(code)) << code;
        for (char c : std::string(code)) {
            EXPECT_TRUE(c != 'I' && c != 'O' && c != '0' && c != '1') << code;
            used.insert(c);
        }
        seen.insert(code);
    }
    // 40 bits a code: a repeat among a few thousand would mean the source is not random.
    EXPECT_EQ(seen.size(), static_cast<size_t>(N));
    // Every character of the alphabet turns up, so no part of it is unreachable.
    EXPECT_EQ(used.size(), ALPHABET.size());
}

TEST(PairingCode, QueuedSendersGetDistinctCodes) {
    TempStateRoot state;
    qv_ntfy_pending_entry *table = nullptr;
    int count = 0;
    ASSERT_EQ(qv_ntfy_pending_load(&table, &count), 0);
    std::set<std::string> codes;
    for (int i = 0; i < QV_PENDING_MAX; i++) {
        qv_ntfy_pending_entry *e =
            qv_ntfy_pending_touch(table, &count, hex_key(i).c_str(), nullptr, nullptr, nullptr);
        ASSERT_NE(e, nullptr);
        codes.insert(e->code);
    }
    EXPECT_EQ(codes.size(), static_cast<size_t>(QV_PENDING_MAX));
    free(table);
}

// The fallback generator is the MMIX linear congruential generator; these codes were worked
// out from its constants by hand (state = state * a + c, byte = state >> 33, alphabet[byte & 31]).
TEST(PairingCode, FallbackGeneratorFromItsSeed) {
    struct {
        uint64_t seed;
        const char *want;
    } cases[] = {
        {0, "9JTWP52H"},
        {0x0123456789abcdefULL, "TPVNVAQJ"},
    };
    for (const auto &c : cases) {
        char code[QV_PAIR_CODE_CAP];
        qv_ntfy_fallback_code(c.seed, code);
        EXPECT_STREQ(code, c.want);
    }
    char a[QV_PAIR_CODE_CAP], b[QV_PAIR_CODE_CAP];
    qv_ntfy_fallback_code(1700000000ULL ^ (0x7ffc0000ULL << 17), a);
    qv_ntfy_fallback_code(1700000000ULL ^ (0x7ffc0010ULL << 17), b);
    EXPECT_TRUE(is_valid_code(a) && is_valid_code(b));
    EXPECT_STRNE(a, b);
}
