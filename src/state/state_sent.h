// The sent-message ledger (sent.cpp, sent.json): ids of the messages this connector published.
#pragma once

enum { QV_SENT_SLOTS = 512, QV_SENT_ID_CAP = 40 };

// Records an id the ntfy server gave to a message we published. 0, or -1 when refused or
// the file cannot be written (the id stays remembered in this process either way).
[[nodiscard]] int qv_ntfy_sent_note(const char *id);
// 1 when the id is one of ours, else 0.
int qv_ntfy_sent_has(const char *id);
// Forgets what this process loaded, so a test can start over as a new process would.
void qv_ntfy_sent_reset_for_tests(void);
