// Sender identities (the hashed text, tag normalisation, cuts) and sender labels (forms and
// UTF-8-safe cuts that keep the pairing queue saveable).
#include "clients.h"
#include "net.h"
#include "state.h"
#include "support.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>

static std::string identity(const char *topic, const char *user, const char *tags) {
    char out[QV_SENDER_KEY_CAP];
    memset(out, 'x', sizeof out);
    identity_of(topic, user, tags, out);
    return std::string(out, strnlen(out, sizeof out));
}

static std::string digest(const std::string &text) {
    char out[65];
    qv_sha256_hex(text.data(), text.size(), out);
    return out;
}

static std::string label(const char *user, const char *tags, const char *topic) {
    char out[QV_SENDER_LABEL_CAP];
    memset(out, 'x', sizeof out);
    identity_label(user, tags, topic, out);
    return std::string(out, strnlen(out, sizeof out));
}

static std::string repeat(const std::string &unit, size_t times) {
    std::string s;
    for (size_t i = 0; i < times; i++)
        s += unit;
    return s;
}

// Digests worked out with sha256sum over the texts shown.
TEST(Identity, KnownDigests) {
    // printf 'v1|alerts||' | sha256sum
    EXPECT_EQ(identity("alerts", "", ""),
              "f368a3dbc4d60b67ae8a8a31ec13ef7afe055b2899b0c1c7e4ae81573ae581ba");
    // printf 'v1|alerts|alice|urgent,phone' | sha256sum
    EXPECT_EQ(identity("alerts", "alice", "Urgent,PHONE"),
              "5a46895ebfcdcc7df10c7d234a34e706afd1971fccd1fc887f60f355264b822f");
}

TEST(Identity, HashedTextAndTagNormalisation) {
    struct {
        const char *topic, *user, *tags;
        std::string hashed;
    } cases[] = {
        {"t", "u", "a,b", "v1|t|u|a,b"},
        {"t", "u", "Warning,SKULL", "v1|t|u|warning,skull"},
        {"t", "u",
         "a\tb\x01\x1f"
         "c\n",
         "v1|t|u|abc"}, // control bytes dropped
        {"t", "u",
         "x\x7f"
         "y",
         "v1|t|u|x\x7fy"}, // DEL is no control here
        {"t", "u",
         "\xC3\x84"
         "B",
         "v1|t|u|\xC3\x84"
         "b"},                                 // only ASCII letters change
        {"Topic", "Bob", "", "v1|Topic|Bob|"}, // topic and user as given
        {nullptr, nullptr, nullptr, "v1|||"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(identity(c.topic, c.user, c.tags), digest(c.hashed)) << c.hashed;
}

TEST(Identity, WhatCountsAndWhatDoesNot) {
    std::string base = identity("alerts", "ann", "phone,urgent");
    EXPECT_EQ(identity("alerts", "ann", "PHONE,Urgent"), base); // tag case does not count
    EXPECT_NE(identity("alerts", "Ann", "phone,urgent"), base); // user case does
    EXPECT_NE(identity("Alerts", "ann", "phone,urgent"), base); // topic case does
    EXPECT_NE(identity("alerts", "ann", "urgent,phone"), base); // tag order does
    EXPECT_EQ(identity("alerts", "ann", "phone,urgent"), base); // stable across calls
    EXPECT_EQ(base.size(), 64u);
    EXPECT_EQ(base.find_first_not_of("0123456789abcdef"), std::string::npos);
}

TEST(Identity, LongTagsAndTextsAreCut) {
    // Only the first 255 normalised tag bytes count.
    EXPECT_EQ(identity("t", "u", std::string(300, 'a').c_str()),
              identity("t", "u", std::string(255, 'a').c_str()));
    EXPECT_NE(identity("t", "u", std::string(255, 'a').c_str()),
              identity("t", "u", std::string(254, 'a').c_str()));
    // A cut never leaves half a character: 128 two-byte letters keep 127.
    std::string e_acute = "\xC3\xA9";
    EXPECT_EQ(identity("t", "u", repeat(e_acute, 128).c_str()),
              digest("v1|t|u|" + repeat(e_acute, 127)));
    // The whole hashed text holds at most 511 bytes.
    std::string topic(300, 'T'), user(300, 'U');
    std::string whole = "v1|" + topic + "|" + user + "|x";
    EXPECT_EQ(identity(topic.c_str(), user.c_str(), "x"), digest(whole.substr(0, 511)));
}

TEST(Identity, LabelForms) {
    struct {
        const char *user, *tags, *topic;
        const char *want;
    } cases[] = {
        {"ann", "Phone,urgent", "alerts", "user=ann tags=Phone,urgent topic=alerts"},
        {"ann", "", "alerts", "user=ann tags= topic=alerts"},
        {"", "Phone", "alerts", "tags=Phone topic=alerts"},
        {"", "", "alerts", "topic=alerts (anonymous)"},
        {nullptr, nullptr, "alerts", "topic=alerts (anonymous)"},
        {nullptr, nullptr, nullptr, "topic= (anonymous)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(label(c.user, c.tags, c.topic), c.want);
}

TEST(Identity, LongLabelsAreCutAtCharactersAndStillSave) {
    EXPECT_EQ(label(std::string(300, 'u').c_str(), "t", "x"), "user=" + std::string(154, 'u'));
    // "user=" takes 5 bytes; 159 - 5 = 154 leaves room for 77 two-byte letters, 51 three-byte
    // ones and 38 four-byte ones.
    struct {
        std::string unit;
        size_t kept;
    } scripts[] = {{"\xD0\x96", 77}, {"\xE4\xB8\xAD", 51}, {"\xF0\x9F\x94\x94", 38}};
    TempStateRoot state;
    std::filesystem::create_directories(state.state_dir());
    for (const auto &s : scripts) {
        std::string user = repeat(s.unit, 200);
        std::string got = label(user.c_str(), "", "alerts");
        EXPECT_EQ(got, "user=" + repeat(s.unit, s.kept));
        // The label goes into the pairing queue, whose save refuses broken characters.
        qv_ntfy_pending_entry *table = nullptr;
        int count = 0;
        ASSERT_EQ(qv_ntfy_pending_load(&table, &count), 0);
        ASSERT_NE(qv_ntfy_pending_touch(table, &count, identity("alerts", user.c_str(), "").c_str(),
                                        got.c_str(), user.c_str(), nullptr),
                  nullptr);
        EXPECT_EQ(qv_ntfy_pending_save(table, count), 0);
        free(table);
    }
}
