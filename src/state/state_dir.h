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
};

// The state directory (created when missing); 0, or -1 when there is none or it is not writable.
[[nodiscard]] int qv_ntfy_dir(char *out, size_t cap);
// The path of a file in the state directory; -1 for a name that would leave it.
[[nodiscard]] int qv_ntfy_path(char *out, size_t cap, const char *name);
// The whole file in a malloc'd buffer (zero-terminated); -1 when missing or too large.
[[nodiscard]] int qv_ntfy_read_file(const char *path, char **data, size_t *len);
// Replaces the file through a private temporary, so a reader never sees a short file.
[[nodiscard]] int qv_ntfy_write_file_atomic(const char *path, const char *data, size_t len);
void qv_ntfy_json_escape(const char *text, char *out, size_t cap);
int64_t qv_ntfy_now_epoch(void);
