// The sent-message ledger (sent.cpp, sent.json): ids of the messages this connector published.
#pragma once

enum { QV_SENT_SLOTS = 512, QV_SENT_ID_CAP = 40 };

// Records an id the ntfy server gave to a message we published: under the state folder's lock,
// added to the ids the file holds (oldest first; the oldest goes when QV_SENT_SLOTS are there).
// 0, or -1 when refused, the lock is not obtained or the file cannot be written (the id stays
// remembered in this process and is written with the next note).
[[nodiscard]] int qv_ntfy_sent_note(const char *id);
// 1 when the id is one of ours, else 0.
int qv_ntfy_sent_has(const char *id);
// Forgets what this process loaded, so a test can start over as a new process would.
void qv_ntfy_sent_reset_for_tests(void);
