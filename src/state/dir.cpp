// The connector state directory and the primitives every state file goes through: paths,
// whole-file reads, atomic replacement through a private temporary, escaping text for
// hand-built JSON, and the Unix clock.
#include "state_internal.h"

#include "base.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

// Room kept for "/chimewick" and the probe name after a connectors root.
enum { QV_ROOT_SUFFIX_ROOM = 24 };

static int connectors_root_dir(const char *root, char *out, size_t cap) {
    cp_trunc(out, cap, root);
    size_t len = strlen(out);
    while (len > 0 && (out[len - 1] == '/' || out[len - 1] == '\\'))
        out[--len] = '\0';
    if (len == 0 || len + QV_ROOT_SUFFIX_ROOM >= cap) {
        out[0] = '\0';
        return -1;
    }
    snprintf(out + len, cap - len, "%cchimewick", QV_DIR_SEP);
    return 0;
}

// Creates every folder along the path. Existing folders are the normal case, so a failed
// creation says nothing: the write probe afterwards decides whether the folder is usable.
static void create_dir_chain(const char *dir) {
    char copy[QV_DIR_CAP];
    cp_trunc(copy, sizeof copy, dir);
    for (size_t i = 1; copy[i]; i++) {
        if (copy[i] != '/' && copy[i] != '\\')
            continue;
        char saved = copy[i];
        copy[i] = '\0';
        (void)qv_plat_mkdir_private(copy);
        copy[i] = saved;
    }
    (void)qv_plat_mkdir_private(copy);
}

enum { QV_TMP_RANDOM_BYTES = 8, QV_TMP_TRIES = 4 };

// Creates a private temporary beside `path` as "<path>.tmp.<16 hex digits>". Anyone who can
// guess a temporary's name could plant a link there first; this name comes from the system's
// random source, and the create fails rather than open anything that already has it.
static FILE *create_temporary(const char *path, char *tmp, size_t cap) {
    for (int attempt = 0; attempt < QV_TMP_TRIES; attempt++) {
        unsigned char bytes[QV_TMP_RANDOM_BYTES];
        if (qv_plat_random_bytes(bytes, sizeof bytes) != 0)
            return nullptr;
        char hex[2 * QV_TMP_RANDOM_BYTES + 1];
        for (size_t i = 0; i < sizeof bytes; i++)
            snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
        int n = snprintf(tmp, cap, "%s.tmp.%s", path, hex);
        if (n < 0 || static_cast<size_t>(n) >= cap)
            return nullptr;
        if (FILE *f = qv_plat_fcreate_new_private(tmp))
            return f;
    }
    return nullptr;
}

static int probe_writable(const char *dir) {
    char base[QV_PATH_CAP], probe[QV_TMP_PATH_CAP];
    snprintf(base, sizeof base, "%s%c.qvwritable", dir, QV_DIR_SEP);
    FILE *f = create_temporary(base, probe, sizeof probe);
    if (!f)
        return -1;
    fclose(f);
    remove(probe);
    return 0;
}

// A folder someone else can write lets them plant links where state files go and so read the
// credentials or have this program write elsewhere. The state folder must be a real folder;
// the connectors root that holds it is this program's choice too (QV_CONNECTORS_DIR or the
// home folder's connectors folder) and may be reached through a link, but must be as private.
static int check_private(const char *dir, char *err, size_t cap) {
    char root[QV_DIR_CAP];
    cp_trunc(root, sizeof root, dir);
    char *sep = strrchr(root, QV_DIR_SEP); // the folder is always "<root><sep>chimewick"
    if (sep)
        *sep = '\0';
    if (sep && qv_plat_dir_check_private(root, 1, err, cap) == QV_PLAT_DIR_EXPOSED)
        return -1;
    return qv_plat_dir_check_private(dir, 0, err, cap) == QV_PLAT_DIR_EXPOSED ? -1 : 0;
}

static const char UNUSABLE[] = "connector state directory is not usable";

// qv_ntfy_dir with the reason it fails.
// The daemon touches several state files for every message, and each touch resolves the
// folder: creating, checking and probing it every time cost more than the writes themselves.
// A folder found usable is taken as it is for this long (per thread), then checked again.
enum : int64_t { QV_DIR_RECHECK_MS = 1000 };
struct qv_dir_checked {
    char path[QV_DIR_CAP];
    int64_t at_ms;
};
static thread_local qv_dir_checked g_checked = {};

static int resolve_dir(char *out, size_t cap, char *err, size_t err_cap) {
    qv_errf(err, err_cap, "%s", UNUSABLE);
    if (!out || cap == 0)
        return QV_DIR_UNUSABLE;
    out[0] = '\0';
    const char *root = getenv("QV_CONNECTORS_DIR");
    int rc =
        (root && *root) ? connectors_root_dir(root, out, cap) : qv_plat_default_state_dir(out, cap);
    if (rc != 0 || out[0] == '\0')
        return QV_DIR_UNUSABLE;
    int64_t now = qv_plat_monotonic_ms();
    if (g_checked.path[0] && strcmp(g_checked.path, out) == 0 &&
        now - g_checked.at_ms < QV_DIR_RECHECK_MS)
        return QV_DIR_USABLE;
    g_checked.path[0] = '\0';
    create_dir_chain(out);
    if (check_private(out, err, err_cap) != 0)
        return QV_DIR_REFUSED;
    qv_errf(err, err_cap, "%s", UNUSABLE);
    if (probe_writable(out) != 0)
        return QV_DIR_UNUSABLE;
    cp_trunc(g_checked.path, sizeof g_checked.path, out);
    g_checked.at_ms = now;
    return QV_DIR_USABLE;
}

static bool same_version(const qv_plat_file_stamp &a, const qv_plat_file_stamp &b) {
    return a.identity == b.identity && a.size == b.size && a.modified_ns == b.modified_ns &&
           a.changed_ns == b.changed_ns;
}

bool qv_state_version_current(qv_state_version *v, const char *path, bool *missing) {
    qv_plat_file_stamp now = {};
    *missing = qv_plat_file_stamp_of(path, &now) != 0;
    if (v->known && strcmp(v->path, path) == 0 && v->missing == *missing &&
        (*missing || same_version(v->stamp, now)))
        return true;
    v->known = true;
    v->missing = *missing;
    cp_trunc(v->path, sizeof v->path, path);
    v->stamp = now;
    return false;
}

int qv_ntfy_dir(char *out, size_t cap) {
    char err[QV_DIR_ERR_CAP];
    return resolve_dir(out, cap, err, sizeof err) == QV_DIR_USABLE ? 0 : -1;
}

int qv_ntfy_dir_problem(char *err, size_t cap) {
    char dir[QV_DIR_CAP];
    int rc = resolve_dir(dir, sizeof dir, err, cap);
    if (rc == QV_DIR_USABLE)
        qv_errf(err, cap, "%s", UNUSABLE);
    return rc;
}

int qv_ntfy_path(char *out, size_t cap, const char *name) {
    if (!out || cap == 0 || !name)
        return -1;
    char dir[QV_DIR_CAP];
    if (qv_ntfy_dir(dir, sizeof dir) != 0)
        return -1;
    if (strchr(name, '/') || strchr(name, '\\') || strstr(name, ".."))
        return -1;
    int n = snprintf(out, cap, "%s%c%s", dir, QV_DIR_SEP, name);
    return n < 0 ? -1 : 0;
}

int qv_ntfy_read_file(const char *path, char **data, size_t *len) {
    if (data)
        *data = nullptr;
    if (len)
        *len = 0;
    FILE *f = path ? qv_plat_fopen_read(path) : nullptr;
    if (!f)
        return -1;
    int rc = -1;
    char *buf = nullptr;
    size_t got = 0;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size < 0 || static_cast<unsigned long>(size) > QV_STATE_FILE_MAX || fseek(f, 0, SEEK_SET))
        goto done;
    buf = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
    if (!buf)
        goto done;
    got = fread(buf, 1, static_cast<size_t>(size), f);
    buf[got] = '\0';
    rc = 0;
done:
    fclose(f);
    if (rc == 0 && data) {
        *data = buf;
        if (len)
            *len = got;
    } else {
        if (rc == 0 && len)
            *len = got;
        free(buf);
    }
    return rc;
}

// What must survive a power loss, and how. A rename is atomic for a running system, but the disk
// may keep the rename and lose the data written before it (a new name gets no flush-on-replace on
// ext4; XFS has none at all): the file comes back empty. So a promised file's data is flushed
// before the rename that publishes it, and its folder after the rename, create or delete that a
// promise depends on, before the caller goes on to what depends on it; the order between files is
// the order of the promise (a queue file before the stream position passes its message, a reply's
// ledger note before the reply cursor). What only the setup page shows (status.json, the log)
// may come back older after a power loss and is not flushed.
int qv_ntfy_flush_parent(const char *path) {
    char dir[QV_PATH_CAP];
    cp_trunc(dir, sizeof dir, path);
    char *sep = strrchr(dir, QV_DIR_SEP);
    if (!sep || sep == dir)
        return -1;
    *sep = '\0';
    return qv_plat_dir_flush(dir);
}

// Keeps the system's reason for the step that failed before the cleanup can overwrite it, then
// closes and removes the temporary (either may be absent).
static int abandon(FILE *f, const char *tmp, char *why, size_t cap) {
    qv_plat_error_text(why, cap);
    if (f)
        fclose(f);
    if (tmp)
        remove(tmp);
    return -1;
}

static int write_replacing(const char *path, const char *data, size_t len, bool durable, char *why,
                           size_t cap) {
    qv_errf(why, cap, "no file name");
    if (!path)
        return -1;
    char tmp[QV_TMP_PATH_CAP];
    FILE *f = create_temporary(path, tmp, sizeof tmp);
    if (!f)
        return abandon(nullptr, nullptr, why, cap);
    // A full disk can surface only at flush or close; the target must never take a short file.
    if ((len > 0 && fwrite(data, 1, len, f) != len) ||
        (durable ? qv_plat_file_flush(f) : fflush(f)) != 0)
        return abandon(f, tmp, why, cap);
    if (fclose(f) != 0 || qv_plat_replace_file(tmp, path) != 0)
        return abandon(nullptr, tmp, why, cap);
    // The new content is in place for this system even when the folder cannot be flushed; the
    // caller hears that it may not survive a power loss.
    if (durable && qv_ntfy_flush_parent(path) != 0)
        return abandon(nullptr, nullptr, why, cap);
    qv_errf(why, cap, "%s", "");
    return 0;
}

int qv_ntfy_write_file_atomic(const char *path, const char *data, size_t len, char *why,
                              size_t cap) {
    return write_replacing(path, data, len, false, why, cap);
}

int qv_ntfy_write_file_durable(const char *path, const char *data, size_t len, char *why,
                               size_t cap) {
    return write_replacing(path, data, len, true, why, cap);
}

// Writes one escaped unit; false when it would not leave room for the terminator.
static bool escape_put(char *out, size_t cap, size_t *o, const char *unit, size_t n) {
    if (*o + n + 1 > cap)
        return false;
    memcpy(out + *o, unit, n);
    *o += n;
    return true;
}

// The length of the UTF-8 sequence starting at s when it is well formed, else 1. A whole
// sequence is written or none of it, so a cut never splits a character.
static size_t utf8_unit_length(const unsigned char *s) {
    size_t need = qv_utf8_lead_length(s[0]);
    if (need == 0)
        return 1;
    for (size_t i = 1; i < need; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 1;
    return need;
}

void qv_ntfy_json_escape(const char *text, char *out, size_t cap) {
    if (!out || cap == 0)
        return;
    size_t o = 0;
    const unsigned char *s = reinterpret_cast<const unsigned char *>(text ? text : "");
    while (*s) {
        char unit[QV_ESCAPE_UNIT_MAX + 1];
        size_t n = 0;
        size_t consumed = 1;
        switch (*s) {
        case '"':
            n = 2, memcpy(unit, "\\\"", 2);
            break;
        case '\\':
            n = 2, memcpy(unit, "\\\\", 2);
            break;
        case '\n':
            n = 2, memcpy(unit, "\\n", 2);
            break;
        case '\r':
            n = 2, memcpy(unit, "\\r", 2);
            break;
        case '\t':
            n = 2, memcpy(unit, "\\t", 2);
            break;
        default:
            if (*s < 0x20) {
                n = static_cast<size_t>(snprintf(unit, sizeof unit, "\\u%04x", *s));
            } else {
                consumed = n = utf8_unit_length(s);
                memcpy(unit, s, n);
            }
        }
        if (!escape_put(out, cap, &o, unit, n))
            break;
        s += consumed;
    }
    out[o] = '\0';
}

// One lock file per state folder, held by at most one holder chain of this process.
static const char LOCK_FILE[] = "state.lock";
static int64_t g_lock_handle = -1;
static int g_lock_depth = 0;

int qv_state_lock::take(char *err, size_t cap) {
    if (held)
        return 0;
    if (g_lock_depth > 0) {
        g_lock_depth++;
        held = true;
        return 0;
    }
    char path[QV_PATH_CAP];
    if (qv_ntfy_path(path, sizeof path, LOCK_FILE) != 0) {
        (void)qv_ntfy_dir_problem(err, cap); // the reason is all the caller needs
        return -1;
    }
    g_lock_handle = qv_plat_lock_take(path, QV_STATE_LOCK_WAIT_MS);
    if (g_lock_handle < 0) {
        qv_errf(err, cap, "%s (%s not free after %lld ms): another process is changing it, try again",
                QV_STATE_BUSY, LOCK_FILE, static_cast<long long>(QV_STATE_LOCK_WAIT_MS));
        return -1;
    }
    g_lock_depth = 1;
    held = true;
    return 0;
}

bool qv_state_busy_message(const char *msg) {
    return msg && strncmp(msg, QV_STATE_BUSY, sizeof QV_STATE_BUSY - 1) == 0;
}

qv_state_lock::~qv_state_lock() {
    if (!held || --g_lock_depth > 0)
        return;
    qv_plat_lock_release(g_lock_handle);
    g_lock_handle = -1;
}

int64_t qv_ntfy_now_epoch(void) {
    return qv_plat_epoch_seconds();
}
