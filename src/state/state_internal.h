// Inside the state folder: what only its files and their tests use.
#pragma once

#include "state.h"

#include "platform.h"

// Reads and parses a state file. 0, or -1 (and no document) when it is missing, empty,
// unreadable or not JSON.
[[nodiscard]] int qv_json_load_state(const char *name, qv_json_doc *doc);
// Serialises a document that was built completely (pretty or compact) and replaces the state
// file with it. 0, or -1 with the reason when it was not built, cannot be serialised or cannot
// be written.
[[nodiscard]] int qv_json_save_state(const char *name, yyjson_mut_doc *doc, bool built, int pretty,
                                     char *err, size_t cap);
// Which version of a state file a copy in memory was read from, so that a file the daemon asks
// about for every message is read again only when it changed (a save renames a new file into
// place), came or went: one stat tells. Zeroed: nothing read yet.
struct qv_state_version {
    bool known;   // a copy was read
    bool missing; // and there was no file then
    char path[QV_PATH_CAP];
    qv_plat_file_stamp stamp;
};
// Stamps the file at path. True when the copy is of this version; otherwise the new stamp is
// noted, taken before the caller reads the file again (so a save in between makes the next call
// read again), and false. `missing` says whether there is a file to read.
[[nodiscard]] bool qv_state_version_current(qv_state_version *v, const char *path, bool *missing);
// The size of a file in bytes, or -1 when it cannot be opened or measured.
int64_t qv_state_file_size(const char *path);
// Lays the NTFY_ environment over a configuration and clamps its timings.
void apply_env(qv_ntfy_config *c);
// Fills the table from sent.json; returns the number of ids placed.
int sent_load_ids(char slots[QV_SENT_SLOTS][QV_SENT_ID_CAP]);
