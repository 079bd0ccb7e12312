// Sender identities and labels: what an ntfy event claims about its publisher (topic, user,
// tags) turned into the key of the pairing queue and the allowlist, and a text for people.
#include "clients.h"

#include "base.h"
#include "net.h"

#include <cstdio>
#include <cstring>

enum {
    QV_IDENTITY_TAGS_CAP = 256,
    QV_IDENTITY_TEXT_CAP = 512,
    // Room for the longest label form before it is cut to QV_SENDER_LABEL_CAP.
    QV_LABEL_WORK_CAP = 512,
};

static const char *or_empty(const char *s) {
    return s ? s : "";
}

// Tags differ in letter case between ntfy clients for the same sender, so case does not count;
// control bytes are dropped. Only ASCII letters change, whatever the locale, so an identity
// is the same on every machine.
static void normalise_tags(const char *tags, char out[QV_IDENTITY_TAGS_CAP]) {
    // One byte beyond the kept length shows whether the cut falls inside a character.
    char work[QV_IDENTITY_TAGS_CAP + 1];
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(or_empty(tags));
         *p && n < QV_IDENTITY_TAGS_CAP; p++) {
        if (*p < 0x20)
            continue;
        work[n++] = static_cast<char>(*p >= 'A' && *p <= 'Z' ? *p - 'A' + 'a' : *p);
    }
    n = qv_utf8_cut(work, n, QV_IDENTITY_TAGS_CAP - 1);
    memcpy(out, work, n);
    out[n] = '\0';
}

void identity_of(const char *topic, const char *user, const char *tags,
                 char out[QV_SENDER_KEY_CAP]) {
    char norm[QV_IDENTITY_TAGS_CAP];
    normalise_tags(tags, norm);
    char text[QV_IDENTITY_TEXT_CAP + 1];
    int n = snprintf(text, sizeof text, "v1|%s|%s|%s", or_empty(topic), or_empty(user), norm);
    size_t have = n < 0 ? 0 : static_cast<size_t>(n);
    if (have > QV_IDENTITY_TEXT_CAP)
        have = QV_IDENTITY_TEXT_CAP;
    size_t len = qv_utf8_cut(text, have, QV_IDENTITY_TEXT_CAP - 1);
    qv_sha256_hex(text, len, out);
}

void identity_label(const char *user, const char *tags, const char *topic,
                    char out[QV_SENDER_LABEL_CAP]) {
    char work[QV_LABEL_WORK_CAP];
    user = or_empty(user);
    tags = or_empty(tags);
    topic = or_empty(topic);
    if (*user)
        snprintf(work, sizeof work, "user=%s tags=%s topic=%s", user, tags, topic);
    else if (*tags)
        snprintf(work, sizeof work, "tags=%s topic=%s", tags, topic);
    else
        snprintf(work, sizeof work, "topic=%s (anonymous)", topic);
    // Cut at a character boundary: a label that is not UTF-8 could not be saved in the
    // pairing queue, and the sender would be lost.
    cp_trunc(out, QV_SENDER_LABEL_CAP, work);
}
