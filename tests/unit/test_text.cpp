// Text primitives: error buffers, UTF-8-safe cuts, trimming, truth values, secret comparison.
#include "base.h"

#include <gtest/gtest.h>
#include <string>

TEST(ErrorBuffer, WritesTerminatedAndCutAndNeverWithoutRoom) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    qv_errf(buf, sizeof buf, "cannot connect to %s", "host:1");
    EXPECT_STREQ(buf, "cannot ");
    char untouched[4] = "abc";
    qv_errf(untouched, 0, "message");
    EXPECT_STREQ(untouched, "abc");
    qv_errf(nullptr, 10, "message");  // must not crash
}

TEST(CpTrunc, AsciiCutsExactlyAtCapacityMinusOne) {
    char dst[4];
    EXPECT_EQ(cp_trunc(dst, sizeof dst, "0123456789"), 3u);
    EXPECT_STREQ(dst, "012");
    EXPECT_EQ(cp_trunc(dst, sizeof dst, "ab"), 2u);
    EXPECT_STREQ(dst, "ab");
    EXPECT_EQ(cp_trunc(dst, sizeof dst, nullptr), 0u);
    EXPECT_STREQ(dst, "");
}

TEST(CpTrunc, NeverSplitsAUtf8Sequence) {
    struct Case {
        const char *src;
        size_t size;
        const char *want;
    } cases[] = {
        {"ab\xC3\xBC", 4, "ab"},                  // two-byte letter cut after its lead byte
        {"ab\xC3\xBC", 5, "ab\xC3\xBC"},          // fits exactly
        {"a\xE2\x82\xAC", 3, "a"},                // euro sign, cut inside
        {"a\xE2\x82\xAC", 4, "a"},                // cut after two of three bytes
        {"a\xE2\x82\xAC" "b", 5, "a\xE2\x82\xAC"}, // cut right after the sign
        {"\xF0\x9F\x94\x94xyz", 4, ""},           // bell emoji, four bytes, no room
        {"\xF0\x9F\x94\x94xyz", 6, "\xF0\x9F\x94\x94x"},
    };
    for (const Case &c : cases) {
        char dst[16];
        cp_trunc(dst, c.size, c.src);
        EXPECT_EQ(std::string(dst), std::string(c.want)) << "size " << c.size;
    }
}

TEST(CpTrunc, MalformedTextIsCutAsBytes) {
    char dst[4];
    // Continuation bytes with no lead: nothing to back off to.
    cp_trunc(dst, sizeof dst, "\x80\x80\x80\x80\x80");
    EXPECT_EQ(std::string(dst), "\x80\x80\x80");
}

TEST(Trim, RemovesCLibraryWhiteSpaceOnBothEnds) {
    char a[] = " \t\r\n\v\fhello world \n";
    trim_inplace(a);
    EXPECT_STREQ(a, "hello world");
    char b[] = " \t \n";
    trim_inplace(b);
    EXPECT_STREQ(b, "");
}

TEST(Truthy, AcceptsExactlyTheFourSpellings) {
    for (const char *yes : {"1", "true", "TRUE", "YES", "On", "on"})
        EXPECT_EQ(is_truthy(yes), 1) << yes;
    for (const char *no : {"2", "y", "", "0", "off", " true", "true "})
        EXPECT_EQ(is_truthy(no), 0) << no;
    EXPECT_EQ(is_truthy(nullptr), 0);
}

TEST(SecretEqual, SameResultAsByteComparison) {
    EXPECT_EQ(qv_secret_equal("s3cret", "s3cret"), 1);
    EXPECT_EQ(qv_secret_equal("s3cret", "s3creT"), 0);
    EXPECT_EQ(qv_secret_equal("s3cret", "s3cret "), 0);
    EXPECT_EQ(qv_secret_equal("", ""), 1);
    EXPECT_EQ(qv_secret_equal("", "a"), 0);
    EXPECT_EQ(qv_secret_equal("abc", nullptr), 0);
}

TEST(DaemonEnvironment, KeepsWhatTheDaemonNeedsAndNothingOfTheRequest) {
    struct Case {
        const char *entry;
        int keep;
    } cases[] = {
        {"PATH=/usr/bin", 1},
        {"HOME=/home/u", 1},
        {"LANG=C.UTF-8", 1},
        {"LC_ALL=C", 1},
        {"TZ=UTC", 1},
        {"QV_CONNECTORS_DIR=/srv/c", 1},
        {"NTFY_TOKEN=tk_1", 1},
        {"BOT_PASSWORD=pw", 1},
        {"SystemRoot=C:\\Windows", 1},
        {"LOCALAPPDATA=C:\\u\\l", 1},
        {"USERPROFILE=C:\\u", 1},
        {"TEMP=C:\\t", 1},
        {"TMP=C:\\t", 1},
        {"Path=C:\\w", 1},
        {"PATHEXT=.EXE", 1},
        {"WINEPREFIX=/p", 1},
        {"HTTP_X_BOT_PASSWORD=pw", 0},
        {"HTTP_AUTHORIZATION=Bearer pw", 0},
        {"http_cookie=a", 0},
        {"QUERY_STRING=action=start&pwd=pw", 0},
        {"REQUEST_METHOD=POST", 0},
        {"REQUEST_URI=/x?pwd=pw", 0},
        {"CONTENT_LENGTH=0", 0},
        {"CONTENT_TYPE=application/json", 0},
        {"REMOTE_ADDR=127.0.0.1", 0},
        {"SERVER_NAME=localhost", 0},
        {"SCRIPT_NAME=/cgi", 0},
        {"PATH_INFO=/a", 0},
        {"PATH_TRANSLATED=/a", 0},
        {"GATEWAY_INTERFACE=CGI/1.1", 0},
        {"AUTH_TYPE=Basic", 0},
        {"DOCUMENT_ROOT=/var/www", 0},
        {"LD_PRELOAD=/x.so", 0},
        {"PATHX=1", 0},
        {"BOT_PASSWORD_OLD=pw", 0},
        {"=C:=C:\\dir", 0},
        {"HOME", 1},
        {"", 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(qv_env_keep_for_daemon(c.entry), c.keep) << c.entry;
    EXPECT_EQ(qv_env_keep_for_daemon(nullptr), 0);
}

TEST(Utf8Repair, EveryByteThatStartsNoWellFormedSequenceBecomesTheReplacement) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        std::string in;
        size_t cap;
        std::string want;
    } cases[] = {
        {"plain ascii", 64, "plain ascii"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", 64, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"latin-1 caf\xE9!", 64, "latin-1 caf" + R + "!"},
        {"\xC0\xAF overlong", 64, R + R + " overlong"},
        {"\xED\xA0\x80 surrogate", 64, R + R + R + " surrogate"},
        {"\xF4\x90\x80\x80 beyond", 64, R + R + R + R + " beyond"},
        {"cut \xE2\x82", 64, "cut " + R + R},
        {std::string("zero\0byte", 9), 64, "zero" + R + "byte"},
        {"ab\xFF", 5, "ab"},          // the replacement does not fit whole
        {"a\xC3\xA9" "b", 3, "a"},       // nor does the character
        {"abc", 1, ""},
    };
    for (const Case &c : cases) {
        char out[64];
        size_t n = qv_utf8_repair(c.in.data(), c.in.size(), out, c.cap);
        EXPECT_EQ(std::string(out), c.want) << c.in;
        EXPECT_EQ(n, c.want.size()) << c.in;
    }
}
