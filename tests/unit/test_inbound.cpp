// The daemon's handling of stream lines: what is dropped, counted, paired and forwarded, and
// exactly what the node's inbox receives.
#include "daemon_internal.h"
#include "net_peers.h"
#include "platform.h"
#include "support.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

static std::string pair_code(const char *message) {
    char code[QV_PAIR_CODE_READ_CAP];
    return pair_command_parse(message, code, sizeof code) ? std::string(code) : "-";
}

TEST(PairCommand, AcceptedFormsAndOrdinaryMessages) {
    struct Case {
        const char *message, *code;
    } cases[] = {
        {"PAIR ABCD2345", "ABCD2345"},
        {"pair abcd2345", "ABCD2345"},
        {"  PaIr \t abcd2345  ", "ABCD2345"},
        {"PAIR abcd2345 .", "ABCD2345"},
        {"PAIR abcd2345\n.", "ABCD2345"},
        {"PAIR abcd", "ABCD"},
        {"PAIR abcdefghijklmnop", "ABCDEFGHIJKLMNOP"},
        {"PAIR abcd2345.", "-"},             // a full stop right after the code
        {"PAIR abcd-2345", "-"},             // a hyphen inside the code
        {"PAIRabcd2345", "-"},               // no white space after the word
        {"PAIR abc", "-"},                   // 3 characters
        {"PAIR abcdefghijklmnopq", "-"},     // 17 characters
        {"PAIR abcd2345 . ", "-"},           // the full stop must be the very last character
        {"PAIR abcd2345 please", "-"},
        {"PAIR ", "-"},
        {"PAIR\xC3\xA9 abcd", "-"},
        {"REPAIR abcd2345", "-"},
        {"", "-"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(pair_code(c.message), c.code) << "[" << c.message << "]";
}

TEST(RecentIds, RemembersTheLastFewHundredIds) {
    static qv_recent_ids r;
    memset(&r, 0, sizeof r);
    EXPECT_EQ(recent_ids_seen(&r, "a"), 0);
    EXPECT_EQ(recent_ids_seen(&r, "a"), 1);
    EXPECT_EQ(recent_ids_seen(&r, ""), 0);  // events without an id are never taken for repeats
    EXPECT_EQ(recent_ids_seen(&r, ""), 0);
    for (int i = 0; i < QV_RECENT_IDS; i++)
        recent_ids_seen(&r, ("id" + std::to_string(i)).c_str());
    EXPECT_EQ(recent_ids_seen(&r, "a"), 0);  // pushed out by newer ids
    EXPECT_EQ(recent_ids_seen(&r, ("id" + std::to_string(QV_RECENT_IDS - 1)).c_str()), 1);
}

// Every back-off of the daemon (reconnect, queue, reply) doubles from its least wait to its most and
// stays there, so after a long outage the tries still come every `max`.
TEST(Backoff, DoublesFromTheLeastToTheMostAndStaysThere) {
    struct Case {
        int64_t last, min, max, next;
    } cases[] = {
        {0, 1000, 60000, 1000},          {-5, 1000, 60000, 1000},        {1000, 1000, 60000, 2000},
        {29999, 1000, 60000, 59998},     {30000, 1000, 60000, 60000},    {30001, 1000, 60000, 60000},
        {60000, 1000, 60000, 60000},     {INT64_MAX, 1000, 60000, 60000}, {0, 500, 300, 300},
        {2, 1, 5, 4},                    {3, 1, 5, 5},
    };
    for (const Case &c : cases)
        EXPECT_EQ(daemon_backoff_next(c.last, c.min, c.max), c.next) << c.last << " " << c.max;
    // The reconnect back-off of the default settings, failure after failure.
    qv_ntfy_config cfg;
    qv_ntfy_config_defaults(&cfg);
    int64_t wait = cfg.reconnect_min_ms;
    for (int i = 0; i < 64; i++)
        wait = daemon_backoff_next(wait, cfg.reconnect_min_ms, cfg.reconnect_max_ms);
    EXPECT_EQ(wait, cfg.reconnect_max_ms);
}

// The loop waits until the earliest timed step is due, never longer than its caller allows; the
// limits on a step (reply retry, challenge budget) never wake it.
TEST(Schedule, TheNextWaitLastsUntilTheEarliestDeadlineWithinTheCap) {
    const int64_t now = 1000000;
    struct Case {
        const char *what;
        qv_schedule due;
        int64_t cap, wait;
    } cases[] = {
        {"nothing scheduled", {}, 700, 700},
        {"reply poll", {now + 300, 0, 0, 0, 0, 0, 0}, 700, 300},
        {"queue retry", {0, now + 250, 0, 0, 0, 0, 0}, 700, 250},
        {"subscription", {0, 0, now + 40, 0, 0, 0, 0}, 700, 40},
        {"view flush", {0, 0, 0, now + 999, 0, 0, 0}, 5000, 999},
        {"devices read", {0, 0, 0, 0, now + 10, 0, 0}, 700, 10},
        {"the earliest of several", {now + 300, now + 20, now + 9000, now + 600, now + 80, 0, 0}, 700, 20},
        {"none past the cap", {now + 3000, now + 60000, 0, now + 1000, 0, 0, 0}, 50, 50},
        {"one due now", {now + 300, now, 0, 0, 0, 0, 0}, 700, 0},
        {"one overdue", {0, 0, 0, now - 5000, 0, 0, 0}, 700, 0},
        {"limits never wake the loop", {0, 0, 0, 0, 0, now - 5, now - 5}, 700, 700},
        {"limits ahead neither", {0, 0, 0, 0, 0, now + 5, now + 5}, 700, 700},
    };
    for (const Case &c : cases)
        EXPECT_EQ(schedule_wait_ms(&c.due, now, c.cap), c.wait) << c.what;
    EXPECT_FALSE(schedule_due(0, now));
    EXPECT_FALSE(schedule_due(now + 1, now));
    EXPECT_TRUE(schedule_due(now, now));
}

// A daemon record wired to a scripted node on loopback, with a fresh state directory.
class Inbound : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(state_.state_dir());
        qv_ntfy_sent_reset_for_tests();
        d_ = static_cast<qv_daemon *>(calloc(1, sizeof(qv_daemon)));
        qv_ntfy_config_defaults(&d_->cfg);
        strcpy(d_->cfg.topic, "alerts");
        strcpy(d_->cfg.publish_topic, "alerts");
        strcpy(d_->cfg.target_session, "main:chat");
        strcpy(d_->cfg.server_url, ("http://127.0.0.1:" + std::to_string(unused_port())).c_str());
        d_->cfg.allow_all = 1;
    }
    void TearDown() override {
        qv_ntfy_stream_close(&d_->stream_file);
        free(d_);
    }
    // The one sender the pairing queue holds (an empty key when it holds none or several).
    qv_ntfy_pending_entry only_queued() {
        qv_ntfy_pending_entry *table = nullptr;
        int count = 0;
        qv_ntfy_pending_entry e = {};
        if (qv_ntfy_pending_load(&table, &count) == 0 && count == 1)
            e = table[0];
        free(table);
        return e;
    }
    void node_at(const ScriptPeer &peer) {
        snprintf(d_->cfg.bot_api_url, sizeof d_->cfg.bot_api_url, "http://127.0.0.1:%d", peer.port());
    }
    // Hands one line to the daemon with a node answering `answer`; returns what the node got.
    std::string forward(const std::string &line, const std::string &answer = "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n") {
        ScriptPeer node(script_of({answer}));
        node_at(node);
        daemon_handle_line(d_, line.c_str());
        return node.received();
    }
    // The node not running: connections to it are refused.
    void refused_node() {
        snprintf(d_->cfg.bot_api_url, sizeof d_->cfg.bot_api_url, "http://127.0.0.1:%d", unused_port());
    }
    // One step of the inbound queue, due at once, with a node answering `answer`; what it got.
    std::string step(const std::string &answer = "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n") {
        ScriptPeer node(script_of({answer}));
        node_at(node);
        d_->due.queue_retry = qv_now_ms();
        daemon_queue_step(d_);
        return node.received();
    }
    static std::string body_of(const std::string &request) {
        size_t at = request.find("\r\n\r\n");
        return at == std::string::npos ? "" : request.substr(at + 4);
    }
    TempStateRoot state_;
    qv_daemon *d_ = nullptr;
};

TEST_F(Inbound, ForwardedTextIsFramedWithTheSender) {
    struct Case {
        std::string event, text;
    } cases[] = {
        {R"({"id":"a1","event":"message","topic":"alerts","message":"hi","user":"ann","tags":["x"],"title":"T"})",
         "[ann via ntfy tags=x] title: T\nhi"},
        {R"({"id":"a2","event":"message","message":"hi","user":"ann"})", "[ann via ntfy] hi"},
        {R"({"id":"a3","event":"message","message":"hi","tags":["a","","b",3]})", "[anonymous via ntfy tags=a,,b] hi"},
        {R"({"id":"a4","event":"message","message":"hi","tags":"raw,tags"})", "[anonymous via ntfy tags=raw,tags] hi"},
        {R"({"id":"a5","event":"message","message":"a\u0001b\tc\nd\u007fe\r"})", "[ntfy] ab\tc\nde"},
        {R"({"id":"a6","sequence_id":"a2","event":"message","message":"hi!","user":"ann"})", "[ann via ntfy] (edited) hi!"},
        {R"({"id":"a7","sequence_id":"a2","event":"message","message":"hi!!"})", "[ntfy] (edited) hi!!"},
        {R"({"id":"a8","sequence_id":"a8","event":"message","message":"first"})", "[ntfy] first"},
        {R"({"id":"a9","event":"message","message":"You received a file: x.jpg","user":"ann","title":"T","attachment":{"name":"x.jpg","type":"image/jpeg","size":12345,"url":"https://ntfy.example/file/abc.jpg","expires":1800000000}})",
         "[ann via ntfy] title: T\nYou received a file: x.jpg\n[attachment: x.jpg, image/jpeg, 12345 bytes, https://ntfy.example/file/abc.jpg]"},
        {R"({"id":"a10","event":"message","message":"file","attachment":{"name":"n\u000a.txt","url":"https://ntfy.example/file/n.txt"}})",
         "[ntfy] file\n[attachment: n.txt, https://ntfy.example/file/n.txt]"},
        {R"({"id":"a11","event":"message","message":"file","attachment":{"name":5,"type":["a"],"size":"12","url":null}})", "[ntfy] file"},
        {R"({"id":"a12","event":"message","message":"file","attachment":{"type":"text/plain","size":1.5}})", "[ntfy] file\n[attachment: text/plain]"},
        {R"({"id":"a13","event":"message","message":"file","attachment":"x.jpg"})", "[ntfy] file"},
    };
    for (const Case &c : cases) {
        std::string request = forward(c.event);
        EXPECT_EQ(request.rfind("POST /inbox?id=main%3Achat&mode=queue HTTP/1.1\r\n", 0), 0u) << request;
        EXPECT_NE(request.find("\r\nContent-Type: application/json\r\n"), std::string::npos);
        // The body is compact JSON with "text" then "mode".
        std::string body = body_of(request);
        std::string escaped;
        for (char ch : c.text) {
            if (ch == '\n') escaped += "\\n";
            else if (ch == '\t') escaped += "\\t";
            else escaped += ch;
        }
        EXPECT_EQ(body, "{\"text\":\"" + escaped + "\",\"mode\":\"queue\"}");
    }
    EXPECT_EQ(d_->st.inbound_count, static_cast<int>(std::size(cases)));
}

TEST_F(Inbound, NodePasswordTravelsOnlyToThisMachine) {
    strcpy(d_->cfg.bot_password, "pw");
    std::string request = forward(R"({"id":"p1","event":"message","message":"hi"})");
    EXPECT_NE(request.find("\r\nX-Bot-Password: pw\r\n"), std::string::npos);
    strcpy(d_->cfg.bot_api_url, "http://192.0.2.1:8150");
    daemon_handle_line(d_, R"({"id":"p2","event":"message","message":"hi"})");
    EXPECT_STREQ(d_->st.last_error, "inbox: refusing to send the node password to a non-loopback host");
    EXPECT_EQ(d_->st.error_count, 1);
}

TEST_F(Inbound, OnlyFailuresThatCanPassByWaitingAreQueued) {
    struct Case {
        const char *answer; // null: nothing listens
        const char *error;
        int queued;
    } cases[] = {
        {"HTTP/1.1 503 Busy\r\nContent-Length: 4\r\n\r\nbusy", "inbox: node /inbox answered 503: busy", 1},
        {"HTTP/1.1 500 X\r\nContent-Length: 0\r\n\r\n", "inbox: node /inbox answered 500", 1},
        {"HTTP/1.1 429 Slow down\r\nContent-Length: 0\r\n\r\n", "inbox: node /inbox answered 429", 1},
        {nullptr, "inbox: cannot connect to 127.0.0.1:", 1},
        {"HTTP/1.1 400 Bad\r\nContent-Length: 3\r\n\r\nbad", "inbox: node /inbox answered 400: bad", 0},
        {"HTTP/1.1 404 No\r\nContent-Length: 0\r\n\r\n", "inbox: node /inbox answered 404", 0},
        {"HTTP/1.1 413 Big\r\nContent-Length: 0\r\n\r\n", "inbox: node /inbox answered 413", 0},
    };
    int n = 0;
    for (const Case &c : cases) {
        while (d_->queue.count > 0)
            (void)qv_inq_pop(&d_->queue);
        d_->st.queued_count = 0;
        std::string line = R"({"id":"e)" + std::to_string(n++) + R"(","event":"message","message":"hi"})";
        int64_t errors = d_->st.error_count;
        if (c.answer) {
            forward(line, c.answer);
        } else {
            refused_node();
            daemon_handle_line(d_, line.c_str());
        }
        EXPECT_EQ(std::string(d_->st.last_error).rfind(c.error, 0), 0u) << d_->st.last_error;
        EXPECT_EQ(d_->st.error_count, errors + 1) << c.error;
        EXPECT_EQ(d_->queue.count, c.queued) << c.error;
        EXPECT_EQ(d_->st.queued_count, c.queued) << c.error;
    }
    EXPECT_EQ(d_->st.inbound_count, 0);
    std::string log = read_whole(state_.file("daemon.log"));
    EXPECT_NE(log.find("inbox post failed: node /inbox answered 503: busy (queued, 1 waiting, retry in 1s)"),
              std::string::npos);
    EXPECT_NE(log.find("inbox post failed: node /inbox answered 400: bad\n"), std::string::npos);
}

TEST_F(Inbound, QueuedMessagesReachTheNodeInArrivalOrderOnceItIsBack) {
    forward(R"({"id":"o1","event":"message","message":"first"})",
            "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n");
    // Behind a waiting message a new one is not posted at all.
    EXPECT_EQ(forward(R"({"id":"o2","event":"message","message":"second"})"), "");
    EXPECT_EQ(d_->st.queued_count, 2);
    // Still down: the retry waits longer and counts no second error for the same message.
    refused_node();
    d_->due.queue_retry = qv_now_ms();
    daemon_queue_step(d_);
    EXPECT_EQ(d_->queue_backoff_ms, 2000);
    EXPECT_EQ(d_->st.error_count, 1);
    // A node down for long: the tries come once a minute, not ever more rarely.
    for (int i = 0; i < 8; i++) {
        d_->due.queue_retry = qv_now_ms();
        daemon_queue_step(d_);
    }
    EXPECT_EQ(d_->queue_backoff_ms, 60000);
    EXPECT_EQ(d_->st.error_count, 1);
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] first\",\"mode\":\"queue\"}");
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] second\",\"mode\":\"queue\"}");
    EXPECT_EQ(d_->st.inbound_count, 2);
    EXPECT_EQ(d_->st.queued_count, 0);
    daemon_view_flush(d_, true);
    EXPECT_NE(read_whole(state_.file("status.json")).find("\"queued_count\": 0,"), std::string::npos);
    EXPECT_NE(read_whole(state_.file("daemon.log")).find("inbound -> /inbox (12 bytes) (from queue, 1 waiting)"),
              std::string::npos);
}

// Between subscriptions (a reconnect back-off, a held stream) queued messages still go to the
// node when their time comes, and the wait ends when the subscription is due.
TEST_F(Inbound, TheWaitForTheNextSubscriptionHandsQueuedMessagesOver) {
    forward(R"({"id":"w1","event":"message","message":"first"})",
            "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(d_->st.queued_count, 1);
    ScriptPeer node(script_of({"HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n"}));
    node_at(node);
    d_->due.queue_retry = qv_now_ms() + 100;
    d_->due.subscribe = qv_now_ms() + 300;
    daemon_wait_to_subscribe(d_);
    EXPECT_EQ(body_of(node.received()), "{\"text\":\"[ntfy] first\",\"mode\":\"queue\"}");
    EXPECT_EQ(d_->st.queued_count, 0);
    EXPECT_EQ(d_->due.queue_retry, 0);
    EXPECT_EQ(d_->due.subscribe, 0);
}

#ifndef _WIN32
TEST_F(Inbound, AStopEndsTheWaitForTheNextSubscriptionAtOnce) {
    qv_plat_install_stop_handlers();
    int64_t start = qv_now_ms();
    d_->due.subscribe = start + 60000;
    pthread_t waiter = pthread_self();
    std::thread stopper([waiter] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(waiter, SIGTERM);
    });
    daemon_wait_to_subscribe(d_);
    stopper.join();
    EXPECT_EQ(qv_plat_stop_requested(), 1);
    // Far less than the minute it was asked to wait (a wait deaf to the stop lasts all of it).
    EXPECT_LT(qv_now_ms() - start, 30000);
}
#endif

TEST_F(Inbound, AFullQueueLetsTheOldestGo) {
    refused_node();
    for (int i = 0; i <= QV_INQ_MAX_MESSAGES; i++)
        daemon_handle_line(d_, (R"({"id":"f)" + std::to_string(i) + R"(","event":"message","message":"m)" +
                                std::to_string(i) + "\"}").c_str());
    EXPECT_EQ(d_->st.queued_count, QV_INQ_MAX_MESSAGES);
    EXPECT_EQ(d_->st.queue_dropped_count, 1);
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] m1\",\"mode\":\"queue\"}");
    EXPECT_NE(read_whole(state_.file("daemon.log")).find("inbox queue full: dropped the oldest message (1 dropped so far)"),
              std::string::npos);
    // The bound on bytes: eight messages of 1 MiB fill it, a ninth pushes the oldest out.
    std::string big(1048576, 'x');
    int64_t dropped = 0;
    char err[300];
    for (int i = 0; i < 9; i++)
        ASSERT_EQ(qv_inq_push(&d_->queue, nullptr, big.data(), big.size(), &dropped, err, sizeof err), 0) << err;
    EXPECT_EQ(d_->queue.count, 8);
    EXPECT_EQ(d_->queue.bytes, QV_INQ_MAX_BYTES);
}

TEST_F(Inbound, TheQueueOutlivesTheDaemon) {
    refused_node();
    daemon_handle_line(d_, R"({"id":"r1","event":"message","message":"one"})");
    daemon_handle_line(d_, R"({"id":"r2","event":"message","message":"two"})");
    ASSERT_EQ(d_->st.queued_count, 2);
    // A new daemon over the same state folder: what waits goes first, before anything new.
    qv_daemon *before = d_;
    d_ = static_cast<qv_daemon *>(calloc(1, sizeof(qv_daemon)));
    d_->cfg = before->cfg;
    free(before);
    {
        ScriptPeer node(script_of({"HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n"}));
        node_at(node);
        daemon_queue_start(d_);
        EXPECT_EQ(body_of(node.received()), "{\"text\":\"[ntfy] one\",\"mode\":\"queue\"}");
    }
    EXPECT_EQ(d_->st.queued_count, 1);
    EXPECT_EQ(forward(R"({"id":"r3","event":"message","message":"three"})"), "");
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] two\",\"mode\":\"queue\"}");
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] three\",\"mode\":\"queue\"}");
    EXPECT_EQ(d_->st.queued_count, 0);
}

TEST_F(Inbound, ARevocationReachesMessagesStillWaiting) {
    d_->cfg.allow_all = 0;
    char ann[QV_SENDER_KEY_CAP], bob[QV_SENDER_KEY_CAP];
    identity_of("alerts", "", "ann", ann);
    identity_of("alerts", "", "bob", bob);
    ASSERT_EQ(qv_ntfy_approved_add(ann, "ann", QV_VIA_SETUP), 0);
    ASSERT_EQ(qv_ntfy_approved_add(bob, "bob", QV_VIA_SETUP), 0);
    refused_node();
    daemon_handle_line(d_, R"({"id":"v1","event":"message","topic":"alerts","message":"one","tags":["ann"]})");
    daemon_handle_line(d_, R"({"id":"v2","event":"message","topic":"alerts","message":"two","tags":["bob"]})");
    // A file queued by a version that kept no sender: handed over as it was then.
    int64_t dropped = 0;
    char err[300];
    ASSERT_EQ(qv_inq_push(&d_->queue, nullptr, "[ntfy] old", 10, &dropped, err, sizeof err), 0) << err;
    ASSERT_EQ(qv_ntfy_approved_remove(ann), 0); // the lost phone
    EXPECT_EQ(body_of(step()), "");
    EXPECT_EQ(d_->st.revoked_dropped_count, 1);
    EXPECT_EQ(body_of(step()), "{\"text\":\"[anonymous via ntfy tags=bob] two\",\"mode\":\"queue\"}");
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] old\",\"mode\":\"queue\"}");
    EXPECT_EQ(d_->st.queued_count, 0);
    std::string log = read_whole(state_.file("daemon.log"));
    EXPECT_NE(log.find(std::string("from ") + ann + " dropped: the sender is no longer approved (1 dropped so far)"),
              std::string::npos);
    EXPECT_NE(log.find("names no sender (queued by an older version): handed over unchecked"), std::string::npos);
}

// A file that holds no message is moved aside and never posted; one that cannot be read for
// now stays first and is handed over once it can be.
TEST_F(Inbound, QueueFilesThatHoldNoMessageAreSetAsideAndUnreadableOnesWait) {
    refused_node();
    for (const char *id : {"b1", "b2", "b3", "b4"})
        daemon_handle_line(d_, (std::string(R"({"id":")") + id + R"(","event":"message","message":"m)" + id + "\"}").c_str());
    ASSERT_EQ(d_->queue.count, 4);
    std::string dir = state_.file("inbox-queue");
    auto name_of = [](int seq) {
        std::string n = std::to_string(seq);
        return std::string(QV_INQ_SEQ_DIGITS - n.size(), '0') + n;
    };
    std::ofstream(dir + "/" + name_of(1), std::ios::trunc).close();  // empty
    std::ofstream(dir + "/" + name_of(2), std::ios::trunc) << std::string("a\0b", 3);
    std::filesystem::rename(dir + "/" + name_of(3), dir + "/held");
    std::filesystem::create_directory(dir + "/" + name_of(3));  // cannot be read as a file
    EXPECT_EQ(step(), "");
    EXPECT_EQ(step(), "");
    EXPECT_EQ(step(), "");
    EXPECT_EQ(d_->queue.count, 2);
    EXPECT_EQ(d_->st.inbound_count, 0);
    EXPECT_EQ(read_whole(dir + "/bad/" + name_of(1)), "");
    EXPECT_EQ(read_whole(dir + "/bad/" + name_of(2)), std::string("a\0b", 3));
    std::filesystem::remove(dir + "/" + name_of(3));
    std::filesystem::rename(dir + "/held", dir + "/" + name_of(3));
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] mb3\",\"mode\":\"queue\"}");
    EXPECT_EQ(body_of(step()), "{\"text\":\"[ntfy] mb4\",\"mode\":\"queue\"}");
    std::string log = read_whole(state_.file("daemon.log"));
    const std::string moved = std::string("bad") + QV_DIR_SEP + name_of(1) + ", not posted";
    EXPECT_NE(log.find("queued message 1 holds no message (empty or not text): moved to "), std::string::npos) << log;
    EXPECT_NE(log.find(moved), std::string::npos) << log;
    EXPECT_NE(log.find("queued message 3 cannot be read now (queued, 2 waiting"), std::string::npos) << log;
}

TEST_F(Inbound, OwnMessagesAreDroppedAndCountedApartFromBlocked) {
    strcpy(d_->cfg.reply_prefix, "BOT: ");
    ASSERT_EQ(qv_ntfy_sent_note("ours1"), 0);
    const char *own[] = {
        R"({"id":"ours1","event":"message","message":"from the ledger"})",
        R"({"id":"o2","event":"message","message":"tagged","tags":["robot","quorvane"]})",
        R"({"id":"o3","event":"message","message":"BOT: a reply"})",
    };
    for (const char *line : own)
        EXPECT_EQ(forward(line), "") << line;
    EXPECT_EQ(d_->st.own_echo_count, 3);
    EXPECT_EQ(d_->st.blocked_count, 0);
    EXPECT_EQ(d_->st.inbound_count, 0);
    // The first change is written at once, the rest at most a second later (the page polls no
    // faster), without waiting for another event.
    EXPECT_NE(read_whole(state_.file("status.json")).find("\"own_echo_count\": 1"), std::string::npos);
    int64_t wait = schedule_wait_ms(&d_->due, qv_now_ms(), INT64_MAX);
    EXPECT_GT(wait, 0);
    EXPECT_LE(wait, 1000);
    d_->due.view_flush -= 1000;
    EXPECT_EQ(schedule_wait_ms(&d_->due, qv_now_ms(), INT64_MAX), 0);
    daemon_view_flush(d_, false);
    EXPECT_NE(read_whole(state_.file("status.json")).find("\"own_echo_count\": 3"), std::string::npos);
    EXPECT_EQ(d_->due.view_flush, 0);
}

TEST_F(Inbound, DroppedWithoutCounting) {
    const char *lines[] = {
        "", "   ", "not json", "[1,2]", R"({"event":""})", R"({"id":"k","event":"keepalive","time":1800000000})",
        R"({"id":"m0","event":"message","message":""})",
        R"({"id":"t1","event":"message","topic":"other","message":"wrong topic"})",
        R"({"event":"message","message":"trailing comma",})",
    };
    for (const char *line : lines)
        EXPECT_EQ(forward(line), "") << line;
    EXPECT_EQ(d_->st.blocked_count, 0);
    EXPECT_EQ(d_->st.last_message_time, 1800000000);  // any event kind moves since forward
}

TEST_F(Inbound, AReplayedEventIsHandledOnce) {
    std::string line = R"({"id":"same","time":5,"event":"message","message":"once"})";
    EXPECT_NE(forward(line), "");
    EXPECT_EQ(forward(line), "");
    EXPECT_EQ(d_->st.inbound_count, 1);
    EXPECT_EQ(d_->st.blocked_count, 0);
}

TEST_F(Inbound, LongMessagesInAnyScriptAreCutAtACharacterAndStillForwarded) {
    std::string word;
    for (int i = 0; i < 5000; i++)
        word += "\xE6\x97\xA5";  // 15000 bytes of a three-byte character
    std::string request = forward(R"({"id":"u1","event":"message","message":")" + word + "\"}");
    std::string body = body_of(request);
    ASSERT_FALSE(body.empty());
    // 7999 bytes cut back to 7998: 2666 whole characters.
    EXPECT_EQ(body, "{\"text\":\"[ntfy] " + word.substr(0, 7998) + "\",\"mode\":\"queue\"}");
    EXPECT_EQ(d_->st.inbound_count, 1);
}

TEST_F(Inbound, UnknownSenderIsQueuedAndChallengedOncePerTenMinutes) {
    d_->cfg.allow_all = 0;
    ScriptPeer ntfy(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"id\":\"chal1\"}\n"}));
    snprintf(d_->cfg.server_url, sizeof d_->cfg.server_url, "%s", ntfy.url().c_str());
    EXPECT_EQ(forward(R"({"id":"s1","event":"message","message":"hello","user":"ann"})"), "");
    daemon_challenge_step(d_);
    std::string challenge = ntfy.received();
    EXPECT_NE(challenge.find("Title: QUORVANE BOT pairing: pairing required\r\n"), std::string::npos);
    EXPECT_NE(challenge.find("Tags: lock,quorvane\r\n"), std::string::npos);
    EXPECT_NE(challenge.find("reply on this same topic with exactly: PAIR "), std::string::npos);
    EXPECT_NE(challenge.find(" (this challenge repeats at most once every 10 minutes)"), std::string::npos);
    EXPECT_EQ(qv_ntfy_sent_has("chal1"), 1);
    // A second message within ten minutes is queued again but not challenged.
    EXPECT_EQ(forward(R"({"id":"s2","event":"message","message":"again","user":"ann"})"), "");
    EXPECT_EQ(d_->st.blocked_count, 2);
    EXPECT_EQ(d_->st.pending_count, 1);
    qv_ntfy_pending_entry queued = only_queued();
    ASSERT_NE(queued.key[0], '\0');
    EXPECT_EQ(queued.count, 2);
    EXPECT_STREQ(queued.sample, "hello");
}

TEST_F(Inbound, ChallengesShareOneBudgetAndWaitBehindAReplyTheServerHasNotTaken) {
    d_->cfg.allow_all = 0;
    refused_node(); // and no ntfy server: every publish fails at once
    auto sender = [&](int i) {
        daemon_handle_line(d_, (R"({"id":"b)" + std::to_string(i) + R"(","event":"message","message":"hi","tags":["t)" +
                                std::to_string(i) + "\"]}").c_str());
    };
    for (int i = 0; i < QV_CHALLENGE_BURST + 2; i++)
        sender(i);
    EXPECT_EQ(d_->challenge_count, QV_CHALLENGE_BURST);
    EXPECT_EQ(d_->st.pending_count, QV_CHALLENGE_BURST + 2);
    d_->reply_failing_since = 1;
    daemon_challenge_step(d_);
    EXPECT_EQ(d_->challenge_count, QV_CHALLENGE_BURST);
    d_->reply_failing_since = 0;
    daemon_challenge_step(d_);
    EXPECT_EQ(d_->challenge_count, 0);
    sender(100);
    EXPECT_EQ(d_->challenge_count, 0);
    // A minute later there is room for one more.
    d_->due.challenge_budget -= QV_CHALLENGE_INTERVAL_MS;
    sender(101);
    sender(102);
    EXPECT_EQ(d_->challenge_count, 1);
    std::string log = read_whole(state_.file("daemon.log"));
    EXPECT_NE(log.find("now: the daemon's challenge budget is spent"), std::string::npos);
}

// A reply the server does not take for now waits as long as the server asks, else 1 s doubling up
// to five minutes, and the node is not asked meanwhile; after an hour of that it is given up, so
// it no longer holds back the replies after it.
TEST_F(Inbound, AReplyTheServerDoesNotTakeWaitsAsAskedAndIsGivenUpAfterAnHour) {
    const std::string page = R"({"messages":[{"role":"assistant","content":"done"}],"start_index":0,"total":1})";
    const std::string node_answer =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
    const std::string busy = "HTTP/1.1 429 Too Many Requests\r\nRetry-After: 7\r\nContent-Length: 0\r\n\r\n";
    const std::string down = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n";
    // One relay step; whether the node was asked and the reply published.
    auto relay = [&](const std::string &ntfy_answer) {
        ScriptPeer node(script_of({node_answer}));
        ScriptPeer ntfy(script_of({ntfy_answer}));
        node_at(node);
        snprintf(d_->cfg.server_url, sizeof d_->cfg.server_url, "%s", ntfy.url().c_str());
        daemon_relay_step(d_);
        return std::make_pair(!node.received().empty(), ntfy.received().find("done") != std::string::npos);
    };
    int64_t before = qv_now_ms();
    EXPECT_EQ(relay(busy), std::make_pair(true, true));
    EXPECT_EQ(d_->reply_backoff_ms, 1000);
    EXPECT_GE(d_->due.reply_retry - before, 7000);
    EXPECT_EQ(relay(down), std::make_pair(false, false)); // still waiting
    for (int i = 0; i < 12; i++) {
        d_->due.reply_retry = 0;
        EXPECT_EQ(relay(down), std::make_pair(true, true));
    }
    EXPECT_EQ(d_->reply_backoff_ms, 300000);
    EXPECT_EQ(d_->st.reply_cursor, 0);
    // Failing for just under an hour it still waits; from the hour on it is given up.
    d_->reply_failing_since = qv_ntfy_now_epoch() - 3590;
    d_->due.reply_retry = 0;
    (void)relay(down);
    EXPECT_EQ(d_->st.reply_given_up_count, 0);
    EXPECT_EQ(d_->st.reply_cursor, 0);
    d_->reply_failing_since = qv_ntfy_now_epoch() - 3600;
    d_->due.reply_retry = 0;
    (void)relay(down);
    EXPECT_EQ(d_->st.reply_given_up_count, 1);
    EXPECT_EQ(d_->st.reply_cursor, 1);
}

// A server that refuses a reply as too large (one set to a smaller limit than ntfy's 4,096 bytes)
// gets it again in parts half as long, down to 512 bytes; refused even then, it is given up.
TEST_F(Inbound, AReplyRefusedAsTooLargeGoesInSmallerPartsDownTo512Bytes) {
    const std::string page = R"({"messages":[{"role":"assistant","content":")" + std::string(3000, 'w') +
                             R"("}],"start_index":0,"total":1})";
    ScriptPeer node(script_of({"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) +
                               "\r\n\r\n" + page}));
    PeerScript refusing = script_of({"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\n\r\n"});
    refusing.connections = 8;
    ScriptPeer ntfy(refusing);
    node_at(node);
    snprintf(d_->cfg.server_url, sizeof d_->cfg.server_url, "%s", ntfy.url().c_str());
    daemon_relay_step(d_);
    std::string requests = ntfy.received();
    std::vector<size_t> sizes;
    for (size_t at = 0; (at = requests.find("Content-Length: ", at)) != std::string::npos; at++)
        sizes.push_back(std::stoul(requests.substr(at + 16)));
    ASSERT_GE(sizes.size(), 3u) << requests.substr(0, 300);
    // Each try half the last, with room for the part's number, but never under 512 bytes.
    for (size_t i = 1; i < sizes.size(); i++)
        EXPECT_LE(sizes[i], std::max<size_t>(sizes[i - 1] / 2 + 24, 512)) << i;
    EXPECT_LE(sizes.back(), 512u);
    EXPECT_EQ(d_->reply_limit, 512);
    EXPECT_EQ(d_->st.reply_given_up_count, 1);
    EXPECT_EQ(d_->st.reply_cursor, 1);
}

TEST_F(Inbound, PairingByCodeApprovesTheQueuedSenderAndNeverForwardsThePairMessage) {
    d_->cfg.allow_all = 0;
    strcpy(d_->cfg.server_url, ("http://127.0.0.1:" + std::to_string(unused_port())).c_str());
    forward(R"({"id":"q1","event":"message","message":"hello","user":"ann"})");
    qv_ntfy_pending_entry queued = only_queued();
    ASSERT_NE(queued.key[0], '\0');
    std::string code = queued.code, key = queued.key;
    EXPECT_EQ(forward(R"({"id":"q2","event":"message","message":"pair wrongcode","user":"ann"})"), "");
    EXPECT_NE(read_whole(state_.file("daemon.log")).find("wrong pairing code from " + key), std::string::npos);
    EXPECT_EQ(qv_ntfy_approved_has(key.c_str()), 0);
    EXPECT_EQ(forward(R"({"id":"q3","event":"message","message":"PAIR )" + code + R"(","user":"ann"})"), "");
    EXPECT_EQ(qv_ntfy_approved_has(key.c_str()), 1);
    EXPECT_EQ(d_->st.pending_count, 0);
    std::string request = forward(R"({"id":"q4","event":"message","message":"now?","user":"ann"})");
    EXPECT_EQ(body_of(request), "{\"text\":\"[ann via ntfy] now?\",\"mode\":\"queue\"}");
    // Even an approved sender's (or allow_all's) PAIR message never reaches the agent.
    d_->cfg.allow_all = 1;
    EXPECT_EQ(forward(R"({"id":"q5","event":"message","message":"PAIR ABCD2345","user":"ann"})"), "");
}

TEST_F(Inbound, PairingThatCannotBeStoredIsNotConfirmedAndStaysQueued) {
    d_->cfg.allow_all = 0;
    forward(R"({"id":"f1","event":"message","message":"hello","user":"ann"})");
    qv_ntfy_pending_entry queued = only_queued();
    ASSERT_NE(queued.key[0], '\0');
    std::string code = queued.code, key = queued.key;
    // A directory where approved.json belongs: the list cannot be replaced.
    std::filesystem::create_directories(state_.file("approved.json"));
    ScriptPeer ntfy(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    snprintf(d_->cfg.server_url, sizeof d_->cfg.server_url, "%s", ntfy.url().c_str());
    int64_t errors = d_->st.error_count;
    EXPECT_EQ(forward(R"({"id":"f2","event":"message","message":"PAIR )" + code + R"(","user":"ann"})"), "");
    EXPECT_EQ(ntfy.received(), "");  // no "Paired" confirmation
    EXPECT_EQ(d_->st.error_count, errors + 1);
    EXPECT_STREQ(d_->st.last_error, "pairing: cannot store the approval (approved list full or not writable)");
    std::string log = read_whole(state_.file("daemon.log"));
    EXPECT_NE(log.find("pairing failed: cannot write the pairing store for " + key), std::string::npos);
    char still[QV_SENDER_KEY_CAP] = "";
    EXPECT_EQ(qv_ntfy_pending_find_code(code.c_str(), still, sizeof still), 1);
    EXPECT_EQ(still, key);  // still queued for another try
}

// How often an approved sender was seen reaches approved.json with the status, at most once a
// second, and whole at the orderly stop.
TEST_F(Inbound, SightingsOfApprovedSendersAreWrittenWithTheStatus) {
    d_->cfg.allow_all = 0;
    std::string ann = R"({"id":"s0","event":"message","message":"hi","user":"ann"})";
    forward(ann);
    std::string key = only_queued().key;
    ASSERT_EQ(qv_ntfy_approved_add(key.c_str(), "ann", QV_VIA_SETUP), 0);
    for (int i = 1; i <= 3; i++) {
        std::string line = ann;
        line.replace(line.find("s0"), 2, "s" + std::to_string(i));
        EXPECT_NE(forward(line), "");
    }
    auto count = [] {
        qv_ntfy_approved_entry *table = nullptr;
        int n = 0;
        int32_t c = -1;
        if (qv_ntfy_approved_load(&table, &n) == 0 && n == 1)
            c = table[0].count;
        free(table);
        return c;
    };
    EXPECT_LT(count(), 3); // the later sightings wait for the second to pass
    daemon_view_flush(d_, true);
    EXPECT_EQ(count(), 3);
}

TEST_F(Inbound, AllowAllForwardsWithoutTouchingApprovals) {
    forward(R"({"id":"w1","event":"message","message":"hi","user":"bob"})");
    EXPECT_EQ(d_->st.inbound_count, 1);
    EXPECT_FALSE(std::filesystem::exists(state_.file("approved.json")));
    EXPECT_FALSE(std::filesystem::exists(state_.file("pending.json")));
}

TEST_F(Inbound, WithoutPairingCodesUnknownSendersWaitForTheSetupPageUnchallenged) {
    d_->cfg.allow_all = 0;
    d_->cfg.pairing_code_enabled = 0;
    ScriptPeer ntfy(script_of({"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}));
    snprintf(d_->cfg.server_url, sizeof d_->cfg.server_url, "%s", ntfy.url().c_str());
    EXPECT_EQ(forward(R"({"id":"n1","event":"message","message":"hello","user":"ann"})"), "");
    qv_ntfy_pending_entry queued = only_queued();
    ASSERT_NE(queued.key[0], '\0');
    std::string code = queued.code[0] ? queued.code : "ABCD2345";
    // A "PAIR" message is an ordinary (blocked) message then, not a command, even with the code
    // the setup page shows.
    EXPECT_EQ(forward(R"({"id":"n2","event":"message","message":"PAIR )" + code + R"(","user":"ann"})"), "");
    EXPECT_EQ(ntfy.received(), "");  // no challenge promising a code that would be refused
    EXPECT_EQ(d_->st.blocked_count, 2);
    EXPECT_EQ(d_->st.pending_count, 1);
    EXPECT_EQ(qv_ntfy_approved_has(queued.key), 0);
}
