// The daemon's lock (daemon.lock), which keeps one daemon per state directory, its pid file
// (daemon.pid), which lets the setup interface find it, and the shared log (daemon.log) with
// its one previous generation.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

static const char PID_FILE[] = "daemon.pid";
static const char LOCK_FILE[] = "daemon.lock";
static const char LOG_FILE[] = "daemon.log";
static const char LOG_STAMP_FORMAT[] = "%Y-%m-%dT%H:%M:%S";

int qv_ntfy_pidfile_write(long pid) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, PID_FILE) != 0)
        return -1;
    char text[QV_PID_TEXT_CAP];
    int n = snprintf(text, sizeof text, "%ld\n", pid);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text)
        return -1;
    return qv_ntfy_write_file_atomic(path, text, static_cast<size_t>(n), nullptr, 0);
}

int qv_ntfy_pidfile_read(int32_t *pid) {
    if (pid)
        *pid = 0;
    char path[QV_PATH_CAP];
    char *text = nullptr;
    if (qv_ntfy_path(path, sizeof path, PID_FILE) != 0 ||
        qv_ntfy_read_file(path, &text, nullptr) != 0)
        return -1;
    int rc = -1;
    char *end = text;
    long value = strtol(text, &end, 10);
    // A number beyond the id range would name some other process once narrowed, so it is no
    // usable id at all, like 0 or a negative number.
    if (end != text && value > 0 && value <= INT32_MAX) {
        if (pid)
            *pid = static_cast<int32_t>(value);
        rc = 0;
    }
    free(text);
    return rc;
}

int qv_ntfy_pidfile_remove(void) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, PID_FILE) != 0)
        return -1;
    remove(path);
    return 0;
}

// A process that is alive and runs this program. A pid file outlives a daemon that was killed,
// and after a restart its number may belong to some other program: that is no daemon.
static bool names_our_process(int32_t pid) {
    return qv_plat_process_alive(pid) && qv_plat_process_is_self(pid);
}

int64_t qv_ntfy_daemon_claim(void) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOCK_FILE) != 0)
        return -1;
    return qv_plat_lock_take(path, QV_DAEMON_CLAIM_WAIT_MS);
}

void qv_ntfy_daemon_release(int64_t claim) {
    // Removed before the lock goes, so a daemon that takes it next never loses its own file.
    if (claim >= 0)
        (void)qv_ntfy_pidfile_remove(); // a file left behind is cleared by the next reader
    qv_plat_lock_release(claim);
}

// Whether the pid file names a live process of this program now.
static bool pidfile_names_daemon(void) {
    int32_t pid = 0;
    return qv_ntfy_pidfile_read(&pid) == 0 && names_our_process(pid);
}

int qv_ntfy_daemon_state(void) {
    int32_t pid = 0;
    bool have_pid = qv_ntfy_pidfile_read(&pid) == 0;
    if (have_pid && names_our_process(pid))
        return QV_DAEMON_RUNS;
    // No daemon is named: either none runs, or one holds the lock and has not written its pid
    // file yet. Holding the lock for a moment tells which, and while it is held no daemon can
    // write a pid file, so one left by a daemon that was killed is cleared without taking a
    // fresh one with it.
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOCK_FILE) != 0)
        return QV_DAEMON_NONE;
    int64_t lock = qv_plat_lock_take(path, QV_DAEMON_PROBE_WAIT_MS);
    if (lock < 0) {
        // A daemon writes its pid file right after taking the lock; a holder that names
        // itself nowhere after a while is some other process.
        for (int64_t waited = 0; waited < QV_DAEMON_PID_GRACE_MS; waited += QV_DAEMON_PID_POLL_MS) {
            if (pidfile_names_daemon())
                return QV_DAEMON_RUNS;
            qv_plat_sleep_ms(QV_DAEMON_PID_POLL_MS);
        }
        return pidfile_names_daemon() ? QV_DAEMON_RUNS : QV_DAEMON_LOCK_ONLY;
    }
    // A file that cannot be cleared is asked about again next time, with the same answer.
    if (have_pid)
        (void)qv_ntfy_pidfile_remove();
    qv_plat_lock_release(lock);
    return QV_DAEMON_NONE;
}

int qv_ntfy_daemon_running(void) {
    return qv_ntfy_daemon_state() != QV_DAEMON_NONE;
}

int64_t qv_state_file_size(const char *path) {
    FILE *f = qv_plat_fopen_read(path);
    if (!f)
        return -1;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    fclose(f);
    return size;
}

// Moves the log to its previous generation. One step replaces the older generation, so that
// one is never lost to a failed rename; a failure leaves the log where it is.
static void rotate_log(const char *path) {
    char previous[QV_TMP_PATH_CAP];
    snprintf(previous, sizeof previous, "%s.1", path);
    (void)qv_plat_replace_file(path, previous); // on failure the log grows until the next try
}

int qv_ntfy_log_open(int append) {
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOG_FILE) != 0)
        return -1;
    if (qv_state_file_size(path) > QV_LOG_ROTATE_BYTES)
        rotate_log(path);
    FILE *f = qv_plat_fopen_private(path, append ? "ab" : "wb");
    if (!f)
        return -1;
    fclose(f);
    return 0;
}

// Opens the log to append one line. A daemon busy for hours would otherwise grow the log
// without bound (and past the size the setup page can read at all), so a log found beyond the
// limit here is rotated too, before the line: the newest line is always in daemon.log.
static FILE *open_log_for_line(const char *path) {
    FILE *f = qv_plat_fopen_private(path, "ab");
    if (f && fseek(f, 0, SEEK_END) == 0 && ftell(f) > QV_LOG_ROTATE_BYTES) {
        fclose(f);
        rotate_log(path);
        f = qv_plat_fopen_private(path, "ab");
    }
    return f;
}

// A daemon writes a line for every message: the log stays open between lines. It is opened
// afresh when it grew past the rotation size, when it is another folder's log, and once a second
// when the file at its path is no longer the one open (the setup page rotated or removed it).
enum : int64_t { QV_LOG_RECHECK_MS = 1000 };
struct qv_open_log {
    FILE *f;
    char path[QV_PATH_CAP];
    qv_plat_file_stamp stamp;
    int64_t checked_ms;
    int64_t size; // where the next line goes
};
static qv_open_log g_log = {};
static bool g_keep_log_open = false;

static void close_log(void) {
    if (g_log.f)
        fclose(g_log.f);
    g_log.f = nullptr;
}

static bool log_still_current(const char *path) {
    if (!g_log.f || strcmp(g_log.path, path) != 0 || g_log.size > QV_LOG_ROTATE_BYTES)
        return false;
    int64_t now = qv_plat_monotonic_ms();
    if (now - g_log.checked_ms < QV_LOG_RECHECK_MS)
        return true;
    qv_plat_file_stamp at_path = {};
    g_log.checked_ms = now;
    return qv_plat_file_stamp_of(path, &at_path) == 0 && at_path.identity == g_log.stamp.identity &&
           at_path.size >= g_log.size;
}

void qv_ntfy_log_keep_open(bool keep) {
    g_keep_log_open = keep;
    if (!keep)
        close_log();
}

static FILE *log_for_line(const char *path) {
    if (!g_keep_log_open)
        return open_log_for_line(path);
    if (log_still_current(path))
        return g_log.f;
    close_log();
    g_log.f = open_log_for_line(path);
    if (g_log.f) {
        cp_trunc(g_log.path, sizeof g_log.path, path);
        g_log.checked_ms = qv_plat_monotonic_ms();
        if (qv_plat_file_stamp_of(path, &g_log.stamp) != 0)
            g_log.stamp = {};
        g_log.size = ftell(g_log.f);
    }
    return g_log.f;
}

static void local_stamp(char out[QV_LOG_STAMP_CAP]) {
    struct tm tm;
    if (qv_plat_local_time(qv_ntfy_now_epoch(), &tm) != 0 ||
        strftime(out, QV_LOG_STAMP_CAP, LOG_STAMP_FORMAT, &tm) == 0)
        out[0] = '\0';
}

// Sender labels and error texts carry what strangers published; a line break in them must not
// forge a line of its own in the log the setup page shows. Control bytes become blanks.
static void neutralise_line_breaks(char *msg) {
    for (unsigned char *p = reinterpret_cast<unsigned char *>(msg); *p; p++)
        if ((*p < 0x20 && *p != '\t') || *p == 0x7F)
            *p = ' ';
}

int qv_ntfy_logf(const char *fmt, ...) {
    // One byte beyond the longest message shows whether the cut falls inside a character.
    char msg[QV_LOG_MSG_CAP + 1];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    size_t have = n < 0 ? 0 : static_cast<size_t>(n);
    if (have > QV_LOG_MSG_CAP)
        have = QV_LOG_MSG_CAP;
    msg[qv_utf8_cut(msg, have, QV_LOG_MSG_CAP - 1)] = '\0';
    neutralise_line_breaks(msg);
    // A text a peer sent in another encoding would make the log unreadable for the setup page.
    char line[QV_LOG_MSG_CAP];
    qv_utf8_repair(msg, strlen(msg), line, sizeof line);

    char stamp[QV_LOG_STAMP_CAP];
    local_stamp(stamp);
    fprintf(stderr, "%s chimewick: %s\n", stamp, line);
    fflush(stderr);

    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOG_FILE) != 0)
        return -1;
    FILE *f = log_for_line(path);
    if (!f)
        return 0;
    // Whole lines reach the file at once: the setup page reads it while the daemon writes.
    int put = fprintf(f, "%s %s\n", stamp, line);
    bool written = put >= 0 && fflush(f) == 0;
    if (written)
        g_log.size += put;
    if (!g_keep_log_open)
        return fclose(f) == 0 && written ? 0 : -1;
    if (!written)
        close_log();
    return written ? 0 : -1;
}
