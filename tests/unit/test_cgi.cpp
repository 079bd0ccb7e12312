// CGI primitives: query-field lookup and decoding, the request method.
#include "setup.h"
#include "support.h"

#include <gtest/gtest.h>
#include <string>

static std::string field(const char *query, const char *name, size_t size = 256) {
    char out[256];
    int found = get_query_val(query, name, out, size);
    return found ? std::string("=") + out : std::string("absent:") + out;
}

TEST(QueryField, DecodesPercentAndPlusAndPassesMalformedEscapes) {
    EXPECT_EQ(field("v=a%41b", "v"), "=aAb");
    EXPECT_EQ(field("v=a+b", "v"), "=a b");
    EXPECT_EQ(field("v=100%", "v"), "=100%");
    EXPECT_EQ(field("v=%zz", "v"), "=%zz");
    EXPECT_EQ(field("v=%4", "v"), "=%4");
    EXPECT_EQ(field("v=%c3%BC", "v"), "=\xC3\xBC");
    EXPECT_EQ(field("v=ab%00cd", "v"), "=ab");  // a decoded zero byte ends the value
}

TEST(QueryField, MatchesWholeSegmentNamesCaseSensitively) {
    EXPECT_EQ(field("x=1&xy=2", "x"), "=1");
    EXPECT_EQ(field("x=1&xy=2", "xy"), "=2");
    EXPECT_EQ(field("x&x=5", "x"), "=5");
    EXPECT_EQ(field("xx=1", "x"), "absent:");
    EXPECT_EQ(field("PWD=secret", "pwd"), "absent:");
    EXPECT_EQ(field("a=1&pwd=first&pwd=second", "pwd"), "=first");
    EXPECT_EQ(field("pwd=", "pwd"), "=");
    EXPECT_EQ(field(nullptr, "pwd"), "absent:");
}

TEST(QueryField, CutsTheRawValueBeforeDecoding) {
    // Six raw bytes fit in a buffer of 7; decoded they give two bytes, not six.
    EXPECT_EQ(field("v=%41%42%43%44", "v", 7), "=AB");
    EXPECT_EQ(field("v=abcdefgh", "v", 4), "=abc");
}

TEST(RequestMethod, PostInAnyCaseOnly) {
    {
        ScopedEnv m("REQUEST_METHOD", "post");
        EXPECT_EQ(is_post_request(), 1);
    }
    {
        ScopedEnv m("REQUEST_METHOD", "GET");
        EXPECT_EQ(is_post_request(), 0);
    }
    {
        ScopedEnv m("REQUEST_METHOD", nullptr);
        EXPECT_EQ(is_post_request(), 0);
    }
}
