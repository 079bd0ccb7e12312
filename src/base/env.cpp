// Environment helpers: one rule for "unset" (absent or empty) and one for truth values, so the
// configuration, the password gate and the platform layer read variables the same way; and the
// one rule, shared by both platform layers, for what a detached daemon inherits.
#include "base.h"

#include <cstddef>
#include <cstdlib>

const char *env_nonempty(const char *name) {
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

int env_int(const char *name, int fallback) {
    const char *v = env_nonempty(name);
    if (!v)
        return fallback;
    if (is_truthy(v))
        return 1;
    if (is_falsy(v))
        return 0;
    return fallback;
}

// --- what a detached daemon inherits ---

// A rule matches one exact name, or (prefix) every name that starts with it.
struct env_rule {
    const char *name;
    bool prefix;
};

// Set by a web server for one request: headers (HTTP_*) with their credentials and cookies, and
// the CGI variables. None of them means anything to a daemon that outlives the request.
static const env_rule REQUEST_VARS[] = {
    {"HTTP_", true},
    {"QUERY_STRING", false},
    {"REQUEST_", true},
    {"CONTENT_LENGTH", false},
    {"CONTENT_TYPE", false},
    {"REMOTE_", true},
    {"SERVER_", true},
    {"SCRIPT_", true},
    {"PATH_INFO", false},
    {"PATH_TRANSLATED", false},
    {"GATEWAY_INTERFACE", false},
    {"AUTH_TYPE", false},
    {"DOCUMENT_ROOT", false},
    {"CONTEXT_", true},
    {"REDIRECT_", true},
    {"HTTPS", false},
    {"SSL_", true},
    {"UNIQUE_ID", false},
};

// What the daemon reads, and what the C library and Windows need to run a program at all.
// Wine's own settings keep a daemon run under Wine in the same prefix and server.
static const env_rule DAEMON_VARS[] = {
    {"PATH", false},
    {"HOME", false},
    {"LANG", false},
    {"LANGUAGE", false},
    {"LC_", true},
    {"TZ", false},
    {"TMPDIR", false},
    {"USER", false},
    {"LOGNAME", false},
    {"QV_", true},
    {"NTFY_", true},
    {"BOT_PASSWORD", false},
    {"SYSTEMROOT", false},
    {"SYSTEMDRIVE", false},
    {"WINDIR", false},
    {"COMSPEC", false},
    {"PATHEXT", false},
    {"TEMP", false},
    {"TMP", false},
    {"USERPROFILE", false},
    {"LOCALAPPDATA", false},
    {"APPDATA", false},
    {"PROGRAMDATA", false},
    {"ALLUSERSPROFILE", false},
    {"PUBLIC", false},
    {"PROGRAMFILES", false},
    {"PROGRAMFILES(X86)", false},
    {"PROGRAMW6432", false},
    {"COMMONPROGRAMFILES", false},
    {"COMMONPROGRAMFILES(X86)", false},
    {"COMMONPROGRAMW6432", false},
    {"USERNAME", false},
    {"USERDOMAIN", false},
    {"COMPUTERNAME", false},
    {"HOMEDRIVE", false},
    {"HOMEPATH", false},
    {"OS", false},
    {"NUMBER_OF_PROCESSORS", false},
    {"PROCESSOR_", true},
    {"WINE", true},
};

static char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

static bool rule_matches(const env_rule &r, const char *name, size_t len) {
    size_t i = 0;
    for (; r.name[i]; i++) {
        if (i >= len || ascii_upper(name[i]) != r.name[i])
            return false;
    }
    return r.prefix || i == len;
}

template <size_t N>
static bool any_matches(const env_rule (&rules)[N], const char *name, size_t len) {
    for (const env_rule &r : rules) {
        if (rule_matches(r, name, len))
            return true;
    }
    return false;
}

int qv_env_keep_for_daemon(const char *entry) {
    if (!entry || !entry[0])
        return 0;
    // Windows keeps per-drive folders under names that begin with '=' ("=C:=C:\dir"): the name
    // runs to the first '=' after its first character.
    size_t len = 1;
    while (entry[len] && entry[len] != '=')
        len++;
    if (any_matches(REQUEST_VARS, entry, len))
        return 0;
    return any_matches(DAEMON_VARS, entry, len) ? 1 : 0;
}
