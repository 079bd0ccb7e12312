// Mode dispatch: the command-line arguments and the environment choose one mode per process;
// CGI requests pass the node-password gate and go to the setup API or the setup page.
#include "entry.h"

#include "base.h"
#include "daemon.h"
#include "mcp.h"
#include "platform.h"
#include "setup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

enum { QV_PWD_QUERY_MAX = 256 };

static const char UNAUTHORIZED_BODY[] = "{\"ok\":false,\"error\":\"invalid node password\"}";

// The Authorization header admits only in the "Bearer " scheme, written exactly so.
static int authorization_admits(const char *header, const char *password) {
    while (*header == ' ')
        header++;
    if (strncmp(header, "Bearer ", 7) != 0)
        return 0;
    header += 7;
    while (*header == ' ')
        header++;
    return qv_secret_equal(header, password);
}

int cgi_password_admits(void) {
    const char *password = env_nonempty("BOT_PASSWORD");
    if (!password)
        return 1;
    const char *header = getenv("HTTP_X_BOT_PASSWORD");
    if (header && qv_secret_equal(header, password))
        return 1;
    const char *auth = getenv("HTTP_AUTHORIZATION");
    if (auth && authorization_admits(auth, password))
        return 1;
    char pwd[QV_PWD_QUERY_MAX];
    if (get_query_val(getenv("QUERY_STRING"), "pwd", pwd, sizeof pwd) &&
        qv_secret_equal(pwd, password))
        return 1;
    return 0;
}

static int print_and_succeed(const char *text) {
    fputs(text, stdout);
    fflush(stdout);
    return 0;
}

static int print_line_and_succeed(const char *text) {
    fputs(text, stdout);
    fputs("\n", stdout);
    fflush(stdout);
    return 0;
}

static bool is_api_query(const char *query) {
    return query && (strstr(query, "action=") || strstr(query, "format=json"));
}

// A browser opening the page's address: a GET for no action that takes HTML. It gets a sign-in
// form instead of the API's JSON refusal; every other request keeps the JSON.
static bool browser_asks_for_page(const char *query) {
    const char *method = getenv("REQUEST_METHOD");
    const char *accept = getenv("HTTP_ACCEPT");
    return !is_api_query(query) && (!method || strcmp(method, "GET") == 0) && accept &&
           strstr(accept, "text/html");
}

static int serve_cgi_request(void) {
    const char *query = getenv("QUERY_STRING");
    if (!cgi_password_admits()) {
        if (browser_asks_for_page(query))
            return setup_signin_write();
        json_respond(401, UNAUTHORIZED_BODY);
        return 0;
    }
    if (is_api_query(query))
        return mode_json(query);
    if (is_post_request())
        return mode_json(query ? query : "");
    return setup_page_write();
}

int qv_main(int argc, char **argv) {
    // The first argument that names a mode decides; unknown arguments are skipped.
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--meta") == 0 || strcmp(a, "-m") == 0)
            return print_line_and_succeed(qv_meta_text());
        if (strcmp(a, "--mcp") == 0) {
            qv_plat_stdio_binary();
            qv_plat_net_startup();
            return mode_mcp();
        }
        if (strcmp(a, "--schema") == 0)
            return print_line_and_succeed(qv_schema_text());
        if (strcmp(a, "--daemon") == 0 || strcmp(a, "-d") == 0) {
            qv_plat_net_startup();
            return run_daemon();
        }
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0)
            return print_and_succeed(qv_usage_text());
    }
    if (env_nonempty("QV_PLUGIN_META"))
        return print_line_and_succeed(qv_meta_text());
    qv_plat_stdio_binary();
    qv_plat_net_startup();
    if (env_nonempty("QV_NTFY_MCP"))
        return mode_mcp();
    return serve_cgi_request();
}
