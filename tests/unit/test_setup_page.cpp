// The setup page as the web server receives it: the exact response head, the template with its
// theme blocks in place of the mark bytes, routing of page requests, and the password gate.
#include "setup_internal.h"
#include "support.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <string>

static const std::string PAGE_HEAD =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
    "'unsafe-inline'; img-src data:; connect-src 'self'; form-action 'none'; base-uri 'none'\r\n"
    "\r\n";

using Env = std::vector<std::pair<std::string, std::string>>;

static RunResult get_page(const std::string &query, Env extra = {}) {
    extra.push_back({"REQUEST_METHOD", "GET"});
    extra.push_back({"QUERY_STRING", query});
    return run_exe({}, extra);
}

static size_t count_of(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        n++;
    return n;
}

// The page the executable should send: the template with each mark replaced by its block.
static std::string expected_body() {
    std::string body;
    for (const char *p = QV_SETUP_PAGE_HTML; *p; p++) {
        if (*p == '\x01')
            body += QV_SETUP_THEME_PICK;
        else if (*p == '\x02')
            body += QV_SETUP_THEME_BRIDGE;
        else
            body += *p;
    }
    return body;
}

static std::string render_to_string(const char *tmpl, const char *pick, const char *bridge) {
    FILE *f = tmpfile();
    EXPECT_NE(f, nullptr);
    if (!f)
        return "";
    char err[64] = "";
    EXPECT_EQ(qv_setup_page_render(f, tmpl, pick, bridge, err, sizeof err), 0);
    EXPECT_STREQ(err, "");
    std::string out;
    rewind(f);
    for (int c; (c = fgetc(f)) != EOF;)
        out += static_cast<char>(c);
    fclose(f);
    return out;
}

TEST(SetupPage, HeadIsExactAndHasNoStatusLine) {
    ASSERT_EQ(PAGE_HEAD.size(), 301u);
    EXPECT_EQ(std::string(QV_SETUP_PAGE_HEAD), PAGE_HEAD);
    RunResult r = get_page("");
    EXPECT_EQ(r.exit_code, 0);
    ASSERT_GE(r.out.size(), PAGE_HEAD.size());
    EXPECT_EQ(r.out.substr(0, PAGE_HEAD.size()), PAGE_HEAD);
    EXPECT_EQ(r.out.find("Status:"), std::string::npos);
}

TEST(SetupPage, BodyIsTheTemplateWithEachThemeBlockOnceAndNoMarkLeft) {
    RunResult r = get_page("");
    ASSERT_GT(r.out.size(), PAGE_HEAD.size());
    std::string body = r.out.substr(PAGE_HEAD.size());
    EXPECT_EQ(body, expected_body());
    EXPECT_EQ(count_of(body, QV_SETUP_THEME_PICK), 1u);
    EXPECT_EQ(count_of(body, QV_SETUP_THEME_BRIDGE), 1u);
    EXPECT_EQ(body.find('\x01'), std::string::npos);
    EXPECT_EQ(body.find('\x02'), std::string::npos);
    EXPECT_EQ(body.find('\0'), std::string::npos);
    // Theme block 1 must run before the body paints; block 2 needs the whole page above it.
    EXPECT_EQ(body.find(std::string("</title>") + QV_SETUP_THEME_PICK), body.find("</title>"));
    EXPECT_NE(body.find(std::string(QV_SETUP_THEME_BRIDGE) + "</body>"), std::string::npos);
}

TEST(SetupPage, TemplateHoldsOneMarkOfEachInItsPlaceAndTheBlocksNone) {
    std::string tmpl = QV_SETUP_PAGE_HTML;
    EXPECT_EQ(count_of(tmpl, "\x01"), 1u);
    EXPECT_EQ(count_of(tmpl, "\x02"), 1u);
    EXPECT_NE(tmpl.find("</title>\x01"), std::string::npos);
    EXPECT_NE(tmpl.find("\x02</body>"), std::string::npos);
    for (const char *block : {QV_SETUP_THEME_PICK, QV_SETUP_THEME_BRIDGE}) {
        EXPECT_EQ(strchr(block, '\x01'), nullptr);
        EXPECT_EQ(strchr(block, '\x02'), nullptr);
    }
    // The blocks carry what an embedding host relies on.
    std::string pick = QV_SETUP_THEME_PICK, bridge = QV_SETUP_THEME_BRIDGE;
    EXPECT_NE(pick.find("bot_theme"), std::string::npos);
    EXPECT_NE(pick.find("embedded"), std::string::npos);
    EXPECT_NE(bridge.find("window.qvApplyTheme"), std::string::npos);
    EXPECT_NE(bridge.find("window.qvTheme"), std::string::npos);
    EXPECT_NE(bridge.find("qv-theme-request"), std::string::npos);
}

TEST(SetupPage, RenderReplacesEveryMarkWherever) {
    struct Case {
        const char *tmpl;
        std::string want;
    } cases[] = {
        {"", ""},
        {"plain text", "plain text"},
        {"a\x01z", "a[P]z"},
        {"a\x02z", "a[B]z"},
        {"\x01\x02", "[P][B]"},
        {"<t>\x01</t>\x02", "<t>[P]</t>[B]"},
        {"\x02mid\x01", "[B]mid[P]"},
        {"\x01\x01", "[P][P]"},
        {"\x03\x7f\xc3\xa9", "\x03\x7f\xc3\xa9"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(render_to_string(c.tmpl, "[P]", "[B]"), c.want) << c.tmpl;
    // A block holding a mark byte is written as it stands, never expanded again.
    EXPECT_EQ(render_to_string("\x01", "x\x02y", "[B]"), "x\x02y");
}

TEST(SetupPage, RenderReportsAStreamThatCannotBeWritten) {
    FILE *f = fopen("/dev/null", "r");
    ASSERT_NE(f, nullptr);
    char err[64] = "";
    EXPECT_EQ(qv_setup_page_render(f, "page \x01 end", "block", "b", err, sizeof err), -1);
    EXPECT_STREQ(err, "cannot write the setup page");
    EXPECT_EQ(qv_setup_page_render(f, "x", "block", "b", nullptr, 0), -1);
    fclose(f);
}

// Theme and embedding are chosen in the browser, so every page request gets the same bytes;
// only an action, format=json or a POST goes to the API instead.
TEST(SetupPage, ThemeAndEmbedQueriesServeTheSamePage) {
    TempStateRoot state;
    const std::string page = get_page("").out;
    ASSERT_EQ(page.substr(0, PAGE_HEAD.size()), PAGE_HEAD);
    for (const char *query :
         {"theme=dark", "theme=light", "theme=blue", "embed=1", "embed=true", "embed=1&theme=light",
          "theme=light&embed=yes", "pwd=anything", "x=1&y=2", "actions", "format=html"}) {
        EXPECT_EQ(get_page(query, {{"QV_CONNECTORS_DIR", state.root()}}).out, page) << query;
    }
    struct ApiCase {
        const char *method;
        const char *query;
    } api_cases[] = {
        {"POST", "theme=dark"},
        {"GET", "theme=dark&action=status"},
        {"GET", "embed=1&format=json"},
        {"GET", "xaction=status"},
    };
    for (const ApiCase &c : api_cases) {
        RunResult r = run_exe({}, {{"REQUEST_METHOD", c.method},
                                   {"QUERY_STRING", c.query},
                                   {"QV_CONNECTORS_DIR", state.root()}});
        EXPECT_EQ(r.out.rfind("Status: 200\r\nContent-Type: application/json", 0), 0u) << c.query;
    }
}

TEST(SetupPage, TheGateProtectsThePageToo) {
    const std::string refused = "Status: 401\r\n"
                                "Content-Type: application/json; charset=utf-8\r\n"
                                "Cache-Control: no-store\r\n"
                                "X-Content-Type-Options: nosniff\r\n\r\n"
                                "{\"ok\":false,\"error\":\"invalid node password\"}\n";
    struct Case {
        Env env;
        bool admitted;
    } cases[] = {
        {{{"QUERY_STRING", ""}}, false},
        {{{"QUERY_STRING", "theme=dark"}}, false},
        {{{"QUERY_STRING", "pwd=wrong&theme=dark"}}, false},
        {{{"QUERY_STRING", "PWD=pa%20ss"}}, false},
        {{{"QUERY_STRING", "theme=dark&pwd=pa%20ss"}}, true},
        {{{"QUERY_STRING", "pwd=pa+ss&embed=1"}}, true},
        {{{"QUERY_STRING", ""}, {"HTTP_X_BOT_PASSWORD", "pa ss"}}, true},
        {{{"QUERY_STRING", ""}, {"HTTP_AUTHORIZATION", "Bearer pa ss"}}, true},
        {{{"QUERY_STRING", ""}, {"HTTP_AUTHORIZATION", "bearer pa ss"}}, false},
    };
    for (Case &c : cases) {
        c.env.push_back({"BOT_PASSWORD", "pa ss"});
        c.env.push_back({"REQUEST_METHOD", "GET"});
        RunResult r = run_exe({}, c.env);
        EXPECT_EQ(r.exit_code, 0);
        if (c.admitted)
            EXPECT_EQ(r.out.substr(0, PAGE_HEAD.size()), PAGE_HEAD) << c.env[0].second;
        else
            EXPECT_EQ(r.out, refused) << c.env[0].second;
    }
}

TEST(SetupPage, EveryElementTheScriptUsesIsThereOnce) {
    std::string page = expected_body();
    const char *ids[] = {
        "kindPill", "runPill",   "tlsPill",  "themeBtn", "msg",     "tabStatus",  "tabSetup",
        "tabPair",  "tabSend",   "tabLog",   "sec-st",   "sec-sf",  "sec-pr",     "sec-sn",
        "sec-lg",   "pendCount", "kpis",     "startBtn", "stopBtn", "refreshBtn", "f_server",
        "f_token",  "tokState",  "f_topic",  "f_ptopic", "f_ca",    "f_pins",     "f_session",
        "f_api",    "f_pwd",     "pwdState", "f_reply",  "f_title", "f_tags",     "f_prio",
        "f_poll",   "f_md",      "f_pair",   "f_all",    "saveBtn", "testBtn",    "pendBody",
        "apprBody", "s_topic",   "s_title",  "s_tags",   "s_msg",   "sendBtn",    "logBox",
        "logBtn",   "verTxt",
    };
    for (const char *id : ids)
        EXPECT_EQ(count_of(page, std::string("id=\"") + id + "\""), 1u) << id;
    // And no id twice, whatever it is.
    std::set<std::string> seen;
    std::regex id_attr("\\bid=\"([^\"]+)\"");
    for (auto it = std::sregex_iterator(page.begin(), page.end(), id_attr);
         it != std::sregex_iterator(); ++it)
        EXPECT_TRUE(seen.insert((*it)[1]).second) << (*it)[1];
}

// The policy refuses anything from elsewhere, so the page must not even try.
TEST(SetupPage, NothingIsLoadedFromAnotherPlaceAndNoTextBecomesMarkup) {
    std::string page = expected_body();
    const char *refused[] = {"<link",          "@import",   "url(",      "src=\"http",
                             "src='http",      "href=\"",   "<iframe",   "<form",
                             "<img",           "innerHTML", "outerHTML", "insertAdjacentHTML",
                             "document.write", "eval("};
    for (const char *s : refused)
        EXPECT_EQ(page.find(s), std::string::npos) << s;
    EXPECT_NE(page.find("source: the project's own repository"), std::string::npos);
}
