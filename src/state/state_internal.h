// Inside the state folder: what only its files and their tests use.
#pragma once

#include "state.h"

// Reads and parses a state file. 0, or -1 (and no document) when it is missing, empty,
// unreadable or not JSON.
[[nodiscard]] int qv_json_load_state(const char *name, qv_json_doc *doc);
// Serialises a document that was built completely (pretty or compact) and replaces the state
// file with it. 0, or -1 with the reason when it was not built, cannot be serialised or cannot
// be written.
[[nodiscard]] int qv_json_save_state(const char *name, yyjson_mut_doc *doc, bool built, int pretty,
                                     char *err, size_t cap);
struct qv_plat_file_stamp;
// Whether two stamps name the same version of a file (a state file read again only when not).
[[nodiscard]] bool qv_state_same_version(const qv_plat_file_stamp &a, const qv_plat_file_stamp &b);
// The size of a file in bytes, or -1 when it cannot be opened or measured.
int64_t qv_state_file_size(const char *path);
// Lays the NTFY_ environment over a configuration and clamps its timings.
void apply_env(qv_ntfy_config *c);
// Fills the table from sent.json; returns the number of ids placed.
int sent_load_ids(char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP]);
