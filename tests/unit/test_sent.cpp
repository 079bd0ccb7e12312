// The sent-message ledger: noting ids into what the file holds, its bound, reading every
// element form, and questions answered from the start-up cache or a fresh read.
#include "state_internal.h"
#include "support.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

class Sent : public ::testing::Test {
protected:
    void SetUp() override {
        qv_ntfy_sent_reset_for_tests();
        std::filesystem::create_directories(state_.state_dir());
    }
    void TearDown() override { qv_ntfy_sent_reset_for_tests(); }
    std::string file() { return read_whole(state_.file("sent.json")); }
    TempStateRoot state_;
};

TEST_F(Sent, FirstNoteCreatesACompactPrivateFile) {
    ASSERT_EQ(qv_ntfy_sent_note("abc123"), 0);
    EXPECT_EQ(file(), "[\"abc123\"]");
    struct stat st;
    ASSERT_EQ(stat(state_.file("sent.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(qv_ntfy_sent_note("def"), 0);
    EXPECT_EQ(file(), "[\"abc123\",\"def\"]");
}

TEST_F(Sent, IdLengthLimits) {
    EXPECT_EQ(qv_ntfy_sent_note(std::string(39, 'a').c_str()), 0);
    EXPECT_EQ(qv_ntfy_sent_note(std::string(40, 'b').c_str()), -1);
    EXPECT_EQ(qv_ntfy_sent_note(""), -1);
    EXPECT_EQ(qv_ntfy_sent_note(nullptr), -1);
    EXPECT_EQ(file(), "[\"" + std::string(39, 'a') + "\"]");
}

TEST_F(Sent, AnIdTheFileHoldsDoesNotRewriteIt) {
    ASSERT_EQ(qv_ntfy_sent_note("same"), 0);
    write_whole(state_.file("sent.json"), "[ \"other\", \"same\" ]");
    EXPECT_EQ(qv_ntfy_sent_note("same"), 0);
    EXPECT_EQ(file(), "[ \"other\", \"same\" ]");
}

TEST_F(Sent, IdsAnotherProcessNotedMeanwhileAreKept) {
    ASSERT_EQ(qv_ntfy_sent_note("mine1"), 0);
    write_whole(state_.file("sent.json"), "[\"mine1\",\"theirs\"]");
    ASSERT_EQ(qv_ntfy_sent_note("mine2"), 0);
    EXPECT_EQ(file(), "[\"mine1\",\"theirs\",\"mine2\"]");
    // An id this process noted before is added again when the file no longer holds it.
    write_whole(state_.file("sent.json"), "[\"theirs\"]");
    ASSERT_EQ(qv_ntfy_sent_note("mine1"), 0);
    EXPECT_EQ(file(), "[\"theirs\",\"mine1\"]");
}

TEST_F(Sent, The513thIdDropsTheOldest) {
    for (int i = 0; i < 513; i++)
        ASSERT_EQ(qv_ntfy_sent_note(("id" + std::to_string(i)).c_str()), 0);
    std::string text = file();
    EXPECT_EQ(text.find("\"id0\""), std::string::npos);
    EXPECT_EQ(text.rfind("[\"id1\",\"id2\",", 0), 0u);  // oldest first
    EXPECT_NE(text.find(",\"id511\",\"id512\"]"), std::string::npos);
}

TEST_F(Sent, ElementFormsAndOverlongIdsInTheFile) {
    std::string long_id(45, 'L');
    write_whole(state_.file("sent.json"),
                R"([{"id":"obj1","x":1},"plain",7,{"name":"noid"},{"id":5},")" + long_id + "\"]");
    char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP];
    EXPECT_EQ(sent_load_ids(slots), 2);
    EXPECT_STREQ(slots[0], "obj1");
    EXPECT_STREQ(slots[1], "plain");
    // A long id is not taken into the ring but a fresh read still matches it.
    EXPECT_EQ(qv_ntfy_sent_has(long_id.c_str()), 1);
    EXPECT_EQ(qv_ntfy_sent_has("obj1"), 1);
    EXPECT_EQ(qv_ntfy_sent_has("noid"), 0);
    ASSERT_EQ(qv_ntfy_sent_note("new"), 0);
    EXPECT_EQ(file(), "[\"obj1\",\"plain\",\"new\"]");
}

TEST_F(Sent, BrokenOrWrongRootIsAnEmptyLedger) {
    for (const char *text : {"{\"id\":\"x\"}", "[\"x\",", "", "\"x\""}) {
        qv_ntfy_sent_reset_for_tests();
        write_whole(state_.file("sent.json"), text);
        EXPECT_EQ(qv_ntfy_sent_has("x"), 0) << text;
        ASSERT_EQ(qv_ntfy_sent_note("y"), 0);
        EXPECT_EQ(file(), "[\"y\"]") << text;
    }
}

TEST_F(Sent, QuestionsSeeIdsNotedLaterByOtherProcesses) {
    write_whole(state_.file("sent.json"), "[\"early\"]");
    EXPECT_EQ(qv_ntfy_sent_has("early"), 1);
    EXPECT_EQ(qv_ntfy_sent_has("later"), 0);
    write_whole(state_.file("sent.json"), "[\"early\",\"later\"]");  // another process noted
    EXPECT_EQ(qv_ntfy_sent_has("later"), 1);
    EXPECT_EQ(qv_ntfy_sent_has(""), 0);
}

TEST_F(Sent, AnEmptyStartStillFindsIdsNotedAfterwards) {
    EXPECT_EQ(qv_ntfy_sent_has("mcp-id"), 0);  // no file yet: the cache is filled empty
    write_whole(state_.file("sent.json"), "[\"mcp-id\"]");
    EXPECT_EQ(qv_ntfy_sent_has("mcp-id"), 1);
}

TEST_F(Sent, AFailedWriteKeepsTheIdForTheNextNote) {
    ASSERT_EQ(qv_ntfy_sent_note("first"), 0);
    std::filesystem::remove(state_.file("sent.json"));
    std::filesystem::create_directories(state_.file("sent.json"));  // the write cannot replace it
    EXPECT_EQ(qv_ntfy_sent_note("second"), -1);
    std::filesystem::remove(state_.file("sent.json"));
    // The file is what holds the ledger: the id it lost with it stays lost.
    ASSERT_EQ(qv_ntfy_sent_note("third"), 0);
    EXPECT_EQ(file(), "[\"second\",\"third\"]");
}
