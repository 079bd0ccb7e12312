// The setup API's daemon controls: "logs" (the tail of daemon.log), "start" (the daemon as a
// detached process of this executable) and "stop" (ends the daemon the pid file names).
#include "setup_internal.h"

#include "base.h"
#include "net.h"
#include "platform.h"
#include "state.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum {
    QV_LOG_TAIL_MAX = 15999,
    QV_LOG_TAIL_SEARCH_END = 80, // how close to the end a line start is still looked for
    QV_EXE_PATH_CAP = 1024,
    QV_VALIDATION_CAP = 256,
};

// A stop lets the daemon's exchange under way finish (up to QV_STOP_GRACE_MS), then it saves
// its status and logs: only a daemon that outlasts all that is killed.
enum : int64_t { QV_STOP_WAIT_MS = QV_STOP_GRACE_MS + 3000 };

static const char LOG_FILE[] = "daemon.log";
static const char DAEMON_ARG[] = "--daemon";

// Where the tail of an n-byte log starts: just past the first newline in its last 15,999
// bytes, unless that is within the last 80 bytes; then 80 bytes before the end.
static size_t log_tail_start(const char *log, size_t n) {
    if (n <= QV_LOG_TAIL_MAX)
        return 0;
    size_t last = n - QV_LOG_TAIL_SEARCH_END;
    for (size_t pos = n - QV_LOG_TAIL_MAX; pos <= last; pos++) {
        if (log[pos] == '\n')
            return pos + 1;
    }
    // A start in the middle of a character would make the whole answer unwritable.
    while (last < n && (static_cast<unsigned char>(log[last]) & 0xC0) == 0x80)
        last++;
    return last;
}

void api_logs(qv_api_request *) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOG_FILE) != 0) {
        jfail(500, "connector dir unavailable");
        return;
    }
    char *log = nullptr;
    size_t n = 0;
    // No log yet reads as an empty one.
    if (qv_ntfy_read_file(path, &log, &n) != 0 || !log)
        n = 0;
    size_t start = log ? log_tail_start(log, n) : 0;
    // A line with bytes that are not UTF-8 (a log written by an older version, or by hand) is
    // shown repaired rather than failing the whole answer: each such byte may become 3.
    qv_heap<char> held(log);
    size_t tail_len = n - start;
    qv_heap<char> shown(static_cast<char *>(malloc(3 * tail_len + 1)));
    if (shown)
        qv_utf8_repair(log ? log + start : "", tail_len, shown.get(), 3 * tail_len + 1);
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_strcpy(j.doc, j.root, "log", shown ? shown.get() : "");
    yyjson_mut_obj_add_int(j.doc, j.root, "bytes", static_cast<int64_t>(n));
    jout_done(&j);
}

void api_start(qv_api_request *r) {
    int state = qv_ntfy_daemon_state();
    if (state == QV_DAEMON_LOCK_ONLY) {
        jfail(409, QV_LOCK_HELD_TEXT);
        return;
    }
    if (state != QV_DAEMON_NONE) {
        jfail(409, "the daemon is already running");
        return;
    }
    char msg[QV_VALIDATION_CAP] = "";
    if (qv_ntfy_config_validate(&r->cfg, msg, sizeof msg) != 0) {
        jfail(400, msg);
        return;
    }
    if (qv_ntfy_log_open(1) != 0) {
        jfail(500, "cannot open the log file");
        return;
    }
    char exe[QV_EXE_PATH_CAP];
    if (qv_plat_exe_path(exe, sizeof exe) != 0) {
        jfail(500, "cannot resolve this executable path");
        return;
    }
    if (qv_plat_spawn_detached(exe, DAEMON_ARG) != 0) {
        jfail(500, "CreateProcess failed for the detached daemon");
        return;
    }
    qv_ntfy_logf("daemon started by the setup UI");
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_bool(j.doc, j.root, "started", true);
    jout_done(&j);
}

// Clears the pid file the stopped daemon left (it was killed, or named another program). Only
// while no daemon holds the lock, so a daemon started meanwhile keeps its own.
static void clear_stale_pidfile(void) {
    (void)qv_ntfy_daemon_running(); // the answer is not needed, only the clearing
}

void api_stop(qv_api_request *) {
    int32_t pid = 0;
    if (qv_ntfy_pidfile_read(&pid) != 0) {
        // Said the way status and start say it, when the lock is what stands in the way.
        jfail(404, qv_ntfy_daemon_state() == QV_DAEMON_LOCK_ONLY
                       ? "the daemon is not running; " QV_LOCK_HELD_TEXT
                       : "the daemon is not running");
        return;
    }
    // A pid file outlives its daemon when that was killed, and the number may since have been
    // given to some other program: only a process running this executable is ours to end.
    if (!qv_plat_process_alive(pid) || !qv_plat_process_is_self(pid)) {
        clear_stale_pidfile();
        jfail(404, "the daemon is not running");
        return;
    }
    // SIGTERM lets the daemon finish in order (its status, its own "daemon stopped" line);
    // one that does not end in time is killed.
    if (qv_plat_terminate(pid, QV_STOP_WAIT_MS) != 0)
        qv_ntfy_logf("daemon %ld did not end even when killed", static_cast<long>(pid));
    clear_stale_pidfile();
    qv_ntfy_logf("daemon stopped by the setup UI");
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_bool(j.doc, j.root, "stopped", true);
    jout_done(&j);
}
