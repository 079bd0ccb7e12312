// The connector state directory and the file primitives every state file goes through (dir.cpp).
// Every state file path comes from qv_ntfy_path.
#pragma once

#include <cstddef>
#include <cstdint>

enum {
    QV_DIR_CAP = 1000,
    QV_PATH_CAP = 1100,
    QV_TMP_PATH_CAP = 1200,
    QV_STATE_FILE_MAX = 8388608,
    QV_ESCAPE_UNIT_MAX = 6,
    // Room for a reason that names the state folder twice (the folder and the command fixing it).
    QV_DIR_ERR_CAP = 2 * QV_DIR_CAP + 100,
};

// The state directory (created when missing); 0, or -1 when there is none, it is not writable,
// or it is refused because someone other than the running user could change it.
[[nodiscard]] int qv_ntfy_dir(char *out, size_t cap);
enum {
    QV_DIR_USABLE = 0,
    QV_DIR_UNUSABLE = -1, // "connector state directory is not usable"
    QV_DIR_REFUSED = -2,  // the reason names the folder others could change and the fix
};
// Why the state directory is not usable, as one of the results above with its reason in err
// (the plain reason also when it turns out usable after all).
int qv_ntfy_dir_problem(char *err, size_t cap);
// The path of a file in the state directory; -1 for a name that would leave it.
[[nodiscard]] int qv_ntfy_path(char *out, size_t cap, const char *name);
// The whole file in a malloc'd buffer (zero-terminated); -1 when missing or too large.
[[nodiscard]] int qv_ntfy_read_file(const char *path, char **data, size_t *len);
// Replaces the file through a private temporary, so a reader never sees a short file. 0, or -1
// with the system's reason in `why` (may be null).
[[nodiscard]] int qv_ntfy_write_file_atomic(const char *path, const char *data, size_t len,
                                            char *why, size_t cap);
// The same for a file a promise depends on: the data is on the disk before the rename and the
// folder's entry after it, before this returns, so a power loss leaves the old or the new file
// whole. -1 also when the folder could not be flushed (the new file is in place all the same).
[[nodiscard]] int qv_ntfy_write_file_durable(const char *path, const char *data, size_t len,
                                             char *why, size_t cap);
// Flushes the folder that holds a path (after a create, rename or delete in it). 0 or -1.
[[nodiscard]] int qv_ntfy_flush_parent(const char *path);
void qv_ntfy_json_escape(const char *text, char *out, size_t cap);

// --- the state folder's lock ---

// The daemon, each setup request and the MCP server are separate processes that each load a
// state file, change it and write it whole; without one lock around that, two of them lose
// each other's change (a revoked sender comes back, a second approval vanishes). The lock is
// held only for one load-change-save, never across network I/O, and waited for at most this
// long before the change fails with "state folder busy".
enum : int64_t { QV_STATE_LOCK_WAIT_MS = 5000 };
inline constexpr char QV_STATE_BUSY[] = "state folder busy";
// Whether a message says the lock stayed taken (the setup API answers 503: try again).
[[nodiscard]] bool qv_state_busy_message(const char *msg);

// Holds the state folder's lock ("state.lock" in it) from a successful take until the holder
// goes. Taking it again while this process holds it is allowed and only counts, so a change
// may call another that takes it too.
struct qv_state_lock {
    bool held = false;
    qv_state_lock() = default;
    ~qv_state_lock();
    qv_state_lock(const qv_state_lock &) = delete;
    qv_state_lock &operator=(const qv_state_lock &) = delete;
    // 0 with the lock held, or -1 with a message when the folder is unusable or busy.
    [[nodiscard]] int take(char *err, size_t cap);
};
int64_t qv_ntfy_now_epoch(void);
