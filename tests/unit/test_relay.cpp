// The reply relay's cut of a reply too long for one message: paragraph, line or word boundaries
// in the second half of the budget, else the budget at a whole UTF-8 character.
#include "daemon_internal.h"

#include <gtest/gtest.h>
#include <string>

TEST(Relay, ALongReplyIsCutAtTheBestBoundaryThatFits) {
    struct Case {
        std::string text;
        size_t budget, cut;
    } cases[] = {
        {"short", 10, 5},
        {"aaaaaa\n\nbb cc dd", 12, 8},    // a paragraph beats a later word
        {"aaaaaa\nbbbb cc dd", 12, 7},    // a line beats a later word
        {"aaaa bbbb cccc dddd", 12, 10},  // after the last word that fits
        {"aa bbbbbbbbbbbbbbbbbb", 12, 12}, // no boundary past half: the budget
        {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 7, 6},             // never inside é
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE6\x97\xA5", 10, 9},   // nor inside 日本語
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 6, 4},                     // nor inside an emoji
    };
    for (const Case &c : cases)
        EXPECT_EQ(reply_part_cut(c.text.c_str(), c.text.size(), c.budget), c.cut) << c.text;
}
