// The stream position across restarts: stream.json's round trip, and where a daemon's
// subscription starts from what it holds.
#include "daemon_internal.h"
#include "net_peers.h"
#include "support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>

class StreamPosition : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
        d_ = static_cast<qv_daemon *>(calloc(1, sizeof(qv_daemon)));
        qv_ntfy_config_defaults(&d_->cfg);
        strcpy(d_->cfg.topic, "alerts");
        strcpy(d_->cfg.server_url, "http://127.0.0.1:8080");
        d_->st.last_message_time = NOW; // as the reply cursor's seeding leaves it at a start
    }
    void TearDown() override {
        qv_ntfy_stream_close(&d_->stream_file);
        free(d_);
    }
    std::string path() {
        qv_url url;
        EXPECT_EQ(qv_url_parse(d_->cfg.server_url, &url, nullptr, 0), 0);
        char out[QV_NTFY_PATH_CAP];
        daemon_subscription_path(d_, &url, out, sizeof out);
        return out;
    }
    static constexpr int64_t NOW = 1800000000;
    TempStateRoot state_;
    qv_daemon *d_ = nullptr;
};

TEST_F(StreamPosition, FileKeepsTheNewestMessageAndABoundedTail) {
    qv_ntfy_stream s = {};
    EXPECT_EQ(qv_ntfy_stream_load(&s), -1);
    for (const char *unusable : {"", "123456789012", "a/b", "a b", "a?since=all"})
        EXPECT_EQ(qv_ntfy_stream_note(&s, unusable, 7), 0) << unusable;
    for (int i = 0; i < QV_STREAM_TAIL + 6; i++)
        EXPECT_EQ(qv_ntfy_stream_note(&s, ("msg" + std::to_string(i)).c_str(), 100 + i), 1);
    ASSERT_EQ(qv_ntfy_stream_save(&s), 0);
    qv_ntfy_stream back;
    ASSERT_EQ(qv_ntfy_stream_load(&back), 0);
    EXPECT_STREQ(back.last_id, ("msg" + std::to_string(QV_STREAM_TAIL + 5)).c_str());
    EXPECT_EQ(back.last_time, 100 + QV_STREAM_TAIL + 5);
    ASSERT_EQ(back.tail_count, QV_STREAM_TAIL);
    EXPECT_STREQ(back.tail[0], "msg6");
    EXPECT_STREQ(back.tail[QV_STREAM_TAIL - 1], back.last_id);
    // A save fills one of the two slots: its head, then the record's JSON.
    std::string text = read_whole(state_.file("stream.json"));
    ASSERT_EQ(text.size(), 2 * size_t{QV_STREAM_SLOT_BYTES});
    text = text.substr(QV_STREAM_SLOT_BYTES); // the first record goes where sequence 1 does
    EXPECT_EQ(text.rfind("chimewick position 0000000000000001 ", 0), 0u) << text.substr(0, 80);
    const std::string last = std::to_string(QV_STREAM_TAIL + 5);
    EXPECT_EQ(text.rfind(R"({"last_id":"msg)" + last + R"(","last_time":)" +
                             std::to_string(100 + QV_STREAM_TAIL + 5) + R"(,"tail":["msg6","msg7",)",
                         QV_STREAM_SLOT_HEAD),
              QV_STREAM_SLOT_HEAD)
        << text.substr(0, 200);
    // A hand-edited file cannot put an id in the query that is not one.
    write_whole(state_.file("stream.json"), R"({"last_id":"x&since=all","last_time":5,"tail":[1]})");
    EXPECT_EQ(qv_ntfy_stream_load(&back), -1);
    EXPECT_STREQ(back.last_id, "");
}

// Each save writes the slot that does not hold the newest record, in place; a slot torn by a power
// loss is not read, and the other one, one message older, is. A file of one JSON document (older
// versions) is read and replaced by the two slots at the next save.
TEST_F(StreamPosition, ATornSlotLeavesTheOneBeforeAndSavesGoOnInTurn) {
    const std::string file = state_.file("stream.json");
    auto saved = [](qv_ntfy_stream_file *f, const char *id) {
        qv_ntfy_stream s = {};
        (void)qv_ntfy_stream_note(&s, id, 100);
        return qv_ntfy_stream_save(&s, f);
    };
    auto loaded = []() {
        qv_ntfy_stream back;
        return qv_ntfy_stream_load(&back) == 0 ? std::string(back.last_id) : std::string("none");
    };
    write_whole(file, R"({"last_id":"olderVersion1","last_time":100})");
    EXPECT_EQ(loaded(), "olderVersion1");
    qv_ntfy_stream_file f = {};
    for (const char *id : {"first1", "second2", "third3"})
        ASSERT_EQ(saved(&f, id), 0) << id;
    qv_ntfy_stream_close(&f);
    EXPECT_EQ(read_whole(file).size(), 2 * size_t{QV_STREAM_SLOT_BYTES});
    EXPECT_EQ(loaded(), "third3");
    struct Tear {
        const char *what;
        size_t slot;    // 1: where third3 is (sequence 3); 0: where second2 is
        size_t at;      // the byte changed, from the slot's start
        const char *want;
    } tears[] = {
        {"newest slot's JSON torn", 1, QV_STREAM_SLOT_HEAD + 5, "second2"},
        {"newest slot's head torn", 1, 20, "second2"},
        {"older slot torn", 0, QV_STREAM_SLOT_HEAD + 5, "third3"},
        {"both torn", 2, QV_STREAM_SLOT_HEAD + 5, "none"},
    };
    for (const Tear &t : tears) {
        ASSERT_EQ(saved(nullptr, "second2"), 0); // slot 0, sequence 4
        ASSERT_EQ(saved(nullptr, "third3"), 0);  // slot 1, sequence 5
        std::string text = read_whole(file);
        for (size_t slot : {size_t{0}, size_t{1}})
            if (t.slot == slot || t.slot == 2)
                text[slot * QV_STREAM_SLOT_BYTES + t.at] ^= 0x01;
        write_whole(file, text);
        EXPECT_EQ(loaded(), t.want) << t.what;
        // The next save, by a new writer, never overwrites the newest whole slot.
        ASSERT_EQ(saved(nullptr, "fourth4"), 0) << t.what;
        EXPECT_EQ(loaded(), "fourth4") << t.what;
    }
}

TEST_F(StreamPosition, FirstSubscriptionResumesByTimeBeforeAYoungStoredMessage) {
    const std::string from_now = "/alerts/json?since=" + std::to_string(NOW);
    struct Case {
        int64_t age;     // of the stored message; -1: no stream.json
        int64_t catchup; // catchup_s
        const char *server, *topic; // what the position belongs to ("": a file from before)
        std::string want;
    } cases[] = {
        {-1, 3600, "", "", from_now},
        {60, 3600, "http://127.0.0.1:8080", "alerts", "/alerts/json?since=" + std::to_string(NOW - 90)},
        {60, 3600, "", "", "/alerts/json?since=" + std::to_string(NOW - 90)},
        {3599, 3600, "http://127.0.0.1:8080", "alerts", "/alerts/json?since=" + std::to_string(NOW - 3629)},
        {3600, 3600, "http://127.0.0.1:8080", "alerts", from_now},
        {90000, 86400, "http://127.0.0.1:8080", "alerts", from_now},
        {60, 0, "http://127.0.0.1:8080", "alerts", from_now},
        {60, 3600, "http://127.0.0.1:8080", "other", from_now},       // another topic
        {60, 3600, "http://127.0.0.1:9090", "alerts", from_now},      // another server
    };
    for (const Case &c : cases) {
        std::filesystem::remove(state_.file("stream.json"));
        if (c.age >= 0) {
            qv_ntfy_stream s = {};
            strcpy(s.server, c.server);
            strcpy(s.topic, c.topic);
            (void)qv_ntfy_stream_note(&s, "olderMsg0001", NOW - c.age - 1);
            (void)qv_ntfy_stream_note(&s, "lastMsg0001", NOW - c.age);
            ASSERT_EQ(qv_ntfy_stream_save(&s), 0);
        }
        memset(&d_->recent, 0, sizeof d_->recent);
        d_->cfg.catchup_s = c.catchup;
        daemon_stream_start(d_, NOW);
        EXPECT_EQ(path(), c.want) << c.age << " " << c.catchup << " " << c.topic;
        // What the last run handled on this topic is not handled again when the server hands
        // it back; what was handled on another one is no concern of this one.
        bool ours = c.topic[0] == '\0' || (strcmp(c.topic, "alerts") == 0 &&
                                           strcmp(c.server, "http://127.0.0.1:8080") == 0);
        if (c.age >= 0 && c.catchup > 0) {
            EXPECT_EQ(recent_ids_seen(&d_->recent, "olderMsg0001"), ours ? 1 : 0) << c.topic;
        }
    }
}

TEST_F(StreamPosition, HandledMessagesMoveThePositionAndOnlyRepeatsAreDropped) {
    d_->cfg.catchup_s = 3600;
    daemon_stream_start(d_, NOW);
    // Not for the agent (another topic), so handled without reaching any node.
    std::string line = R"({"id":"newMsg00001","time":1800000100,"event":"message",)"
                       R"("topic":"other","message":"hi"})";
    daemon_handle_line(d_, line.c_str());
    daemon_stream_note(d_);
    EXPECT_EQ(path(), "/alerts/json?since=1800000070");
    qv_ntfy_stream back;
    ASSERT_EQ(qv_ntfy_stream_load(&back), 0);
    EXPECT_STREQ(back.last_id, "newMsg00001");
    EXPECT_STREQ(back.server, "http://127.0.0.1:8080");
    EXPECT_STREQ(back.topic, "alerts");
    // The same message again and a keepalive leave the position where it is.
    for (const char *again :
         {R"({"id":"newMsg00001","time":1800000100,"event":"message","topic":"other","message":"hi"})",
          R"({"id":"keepAlive001","time":1800000200,"event":"keepalive","topic":"alerts"})"}) {
        daemon_handle_line(d_, again);
        daemon_stream_note(d_);
        EXPECT_STREQ(d_->stream.last_id, "newMsg00001") << again;
    }
    // From a server whose clock stands behind the stored position a new message is still new.
    daemon_handle_line(d_, R"({"id":"behindMsg001","time":1700000000,"event":"message","topic":"other","message":"x"})");
    daemon_stream_note(d_);
    EXPECT_STREQ(d_->stream.last_id, "behindMsg001");
}

// The reply cursor goes on from stream.json only for the same conversation, current within the
// catch-up window; otherwise it is seeded (here 0: the node is not there to ask).
TEST_F(StreamPosition, ReplyCursorResumesOnlyForTheSameConversationWithinTheWindow) {
    strcpy(d_->cfg.bot_api_url, "http://127.0.0.1:1");
    strcpy(d_->cfg.target_session, "main:chat");
    const int64_t now = qv_ntfy_now_epoch();
    struct Row {
        const char *what, *node, *session;
        int64_t age_s, catchup_s, want;
    } rows[] = {
        {"same conversation, moments ago", "http://127.0.0.1:1", "main:chat", 10, 3600, 42},
        {"older than the window", "http://127.0.0.1:1", "main:chat", 4000, 3600, 0},
        {"another session", "http://127.0.0.1:1", "main:other", 10, 3600, 0},
        {"another node", "http://127.0.0.1:2", "main:chat", 10, 3600, 0},
        {"catch-up off", "http://127.0.0.1:1", "main:chat", 10, 0, 0},
    };
    for (const Row &r : rows) {
        qv_ntfy_stream s = {};
        strcpy(s.reply_node, r.node);
        strcpy(s.reply_session, r.session);
        s.reply_cursor = 42;
        s.reply_at = now - r.age_s;
        ASSERT_EQ(qv_ntfy_stream_save(&s), 0);
        d_->cfg.catchup_s = r.catchup_s;
        d_->st.reply_cursor = -5;
        daemon_stream_start(d_, now);
        daemon_reply_start(d_, now);
        EXPECT_EQ(d_->st.reply_cursor, r.want) << r.what;
        qv_ntfy_stream back;
        (void)qv_ntfy_stream_load(&back);
        if (r.catchup_s > 0) { // the position the daemon starts from is stored at once
            EXPECT_EQ(back.reply_cursor, r.want) << r.what;
            EXPECT_STREQ(back.reply_session, "main:chat") << r.what;
            EXPECT_GE(back.reply_at, now) << r.what;
        }
    }
}

// With more messages in the margin than ids kept, the start asks from the second after the oldest
// id kept, never after the newest message's own second.
TEST_F(StreamPosition, AFullTailShortensTheMarginToWhatItsIdsCover) {
    struct Case {
        int64_t first, per_second; // message i has time first + i / per_second
        int64_t want;
    } cases[] = {
        {NOW - 300, 1, NOW - 35 - 30}, // the ids cover more than the margin
        {NOW - 20, 20, NOW - 19},      // they cover 13 s: from the second after the oldest
        {NOW - 5, 1000, NOW - 5},      // all in one second: that second again
    };
    d_->cfg.catchup_s = 3600;
    for (const Case &c : cases) {
        qv_ntfy_stream s = {};
        strcpy(s.server, d_->cfg.server_url);
        strcpy(s.topic, d_->cfg.topic);
        for (int i = 0; i < QV_STREAM_TAIL + 10; i++)
            (void)qv_ntfy_stream_note(&s, ("msg" + std::to_string(i)).c_str(), c.first + i / c.per_second);
        ASSERT_EQ(qv_ntfy_stream_save(&s), 0);
        daemon_stream_start(d_, NOW);
        EXPECT_EQ(path(), "/alerts/json?since=" + std::to_string(c.want)) << c.first;
    }
}
