// The setup API's side of the sender gate: list the pairing queue and the approved senders,
// approve a sender (by identity or by its pairing code), revoke an approval, drop a request,
// and, with private topics, give an approved or new device a topic of its own.
#include "setup_internal.h"

#include "base.h"
#include "platform.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum {
    QV_KEY_FIELD_CAP = 68,
    QV_DENY_KEY_FIELD_CAP = 80,
    QV_CODE_FIELD_CAP = 24,
    QV_DEVICE_ERR_CAP = 256,
    QV_DEVICE_KEY_BYTES = 32,
};
static const char DEFAULT_DEVICE_LABEL[] = "device";

static const char BAD_KEY[] = "key must be the 64-hex identity from ?action=pending";

// The queue as the page lists it: when the challenge went out last is the daemon's business.
static const qv_view_member PENDING_VIEW[] = {
    {"key"}, {"label"}, {"code"}, {"sample"}, {"first_seen"}, {"last_seen"}, {"count"},
};

static const qv_view_member APPROVED_VIEW[] = {
    {"key"}, {"label"}, {"added_at"}, {"last_seen"}, {"count"}, {"via"}, {"topic"},
};

constexpr size_t QV_SUBSCRIBE_URL_CAP = size_t{QV_CFG_URL_CAP} + size_t{QV_DEVICE_TOPIC_CAP} + 2;

// A device's topic as a phone subscribes to it: the server's address and the topic, and its QR
// code, which a phone's camera or ntfy app scans.
static void add_subscribe_link(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *server,
                               const char *topic) {
    char url[QV_SUBSCRIBE_URL_CAP];
    size_t base = strcspn(server, "?#");
    while (base > 0 && server[base - 1] == '/')
        base--;
    snprintf(url, sizeof url, "%.*s/%s", static_cast<int>(base), server, topic);
    yyjson_mut_obj_add_strcpy(doc, obj, "subscribe_url", url);
    // A code that cannot be made leaves the link, which says the same.
    (void)qr_add_rows(url, doc, obj, "qr");
}

// Answers with the entries of the list as an array of objects named `name`; approved devices
// get their subscribe link and its QR code.
static void answer_list(const char *name, const qv_list_store *list,
                        std::span<const qv_view_member> view, const char *server) {
    void *table = nullptr;
    int count = 0;
    // Out of memory leaves no table and no entries: the list shows as empty.
    (void)qv_list_load(list, &table, &count);
    qv_heap<void> held(table);
    jout j;
    jout_init(&j);
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(j.doc, j.root, name);
    for (int i = 0; arr && i < count; i++) {
        const qv_view_source source[] = {
            {list->fields,
             static_cast<const char *>(table) + static_cast<size_t>(i) * list->entry_size}};
        yyjson_mut_val *obj = yyjson_mut_arr_add_obj(j.doc, arr);
        // A member that cannot be added leaves the answer short, never absent.
        (void)qv_record_view(j.doc, obj, view, source);
        if (list == &QV_APPROVED_LIST) {
            const auto *e = static_cast<const qv_ntfy_approved_entry *>(table) + i;
            if (obj && e->topic[0])
                add_subscribe_link(j.doc, obj, server, e->topic);
        }
    }
    jout_done(&j);
}

void api_pending(qv_api_request *r) {
    answer_list("pending", &QV_PENDING_LIST, PENDING_VIEW, r->cfg.server_url);
}

void api_approved(qv_api_request *r) {
    answer_list("approved", &QV_APPROVED_LIST, APPROVED_VIEW, r->cfg.server_url);
}

// Identities are stored as the daemon derives them, in lower case; an identity pasted in
// capitals must name the same sender, or its approval would admit nobody.
static void lower_hex(char *key) {
    for (; *key; key++)
        if (*key >= 'A' && *key <= 'F')
            *key = static_cast<char>(*key - 'A' + 'a');
}

// {"ok":true,"key":...,"action":...} and "topic" when a device got one.
static void answer_key(const char *key, const char *action, const char *topic = nullptr) {
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_strcpy(j.doc, j.root, "key", key);
    yyjson_mut_obj_add_str(j.doc, j.root, "action", action);
    if (topic && topic[0])
        yyjson_mut_obj_add_strcpy(j.doc, j.root, "topic", topic);
    jout_done(&j);
}

// A lock that stays taken is worth another try (503); any other failure is the store's.
static void fail_store(const char *msg, const char *otherwise) {
    if (qv_state_busy_message(msg))
        jfail(503, msg);
    else
        jfail(500, otherwise);
}

// Approves the key as a device with a topic of its own, its request leaving the queue, under
// one hold of the state folder's lock; answers either way.
static void approve_device(qv_api_request *r, const char *key, const char *label,
                           const char *action) {
    char topic[QV_DEVICE_TOPIC_CAP] = "", err[QV_DEVICE_ERR_CAP] = "";
    qv_state_lock lock;
    int rc = lock.take(err, sizeof err);
    if (rc == 0)
        rc = qv_ntfy_approved_add_device(key, label[0] ? label : DEFAULT_DEVICE_LABEL,
                                         QV_VIA_SETUP, r->cfg.topic, topic, err, sizeof err);
    if (rc != 0) {
        fail_store(err, err);
        return;
    }
    // An approved device still in the queue is only clutter; failing to drop it is harmless.
    (void)qv_ntfy_pending_remove(key);
    answer_key(key, action, topic);
}

// Both lists change under one hold of the state folder's lock, so the daemon never sees the
// sender approved and queued at once, nor writes back a list read before the change.
[[nodiscard]] static int store_approval(const char *key, const char *label, int approve,
                                        char *msg, size_t cap) {
    qv_state_lock lock;
    if (lock.take(msg, cap) != 0)
        return -1;
    if (!approve)
        return qv_ntfy_approved_remove(key);
    if (qv_ntfy_approved_add(key, label, QV_VIA_SETUP) != 0)
        return -1;
    // An approved sender still in the queue is only clutter; failing to drop it is harmless.
    (void)qv_ntfy_pending_remove(key);
    return 0;
}

// The shared path of "approve" and "unapprove": the identity comes from "key", or from the
// queued request whose pairing code is "code" when the key is empty.
static void approval_change(qv_api_request *r, int approve) {
    char key[QV_KEY_FIELD_CAP], label[QV_SENDER_LABEL_CAP], code[QV_CODE_FIELD_CAP];
    req_field(r->query, r->body, "key", key, sizeof key);
    req_field(r->query, r->body, "label", label, sizeof label);
    trim_inplace(key);
    if (!key[0] && req_field(r->query, r->body, "code", code, sizeof code)) {
        char found[QV_SENDER_KEY_CAP];
        if (qv_ntfy_pending_find_code(code, found, sizeof found))
            cp_trunc(key, sizeof key, found);
    }
    if (!valid_key(key)) {
        jfail(400, BAD_KEY);
        return;
    }
    lower_hex(key);
    if (approve && r->cfg.private_topics) {
        approve_device(r, key, label, "approve");
        return;
    }
    char msg[QV_DIR_ERR_CAP] = "";
    if (store_approval(key, label, approve, msg, sizeof msg) != 0) {
        fail_store(msg, "cannot write the pairing store");
        return;
    }
    answer_key(key, approve ? "approve" : "unapprove");
}

// A device added on the page without a request: a random identity bound to a new topic.
void api_add_device(qv_api_request *r) {
    if (!r->cfg.private_topics) {
        jfail(400, "devices get topics of their own only with private_topics on (Setup tab)");
        return;
    }
    if (!valid_topic_name(r->cfg.topic)) {
        jfail(400, "set the topic first: device topics are named after it");
        return;
    }
    char label[QV_SENDER_LABEL_CAP];
    req_field(r->query, r->body, "label", label, sizeof label);
    trim_inplace(label);
    unsigned char bytes[QV_DEVICE_KEY_BYTES];
    if (qv_plat_random_bytes(bytes, sizeof bytes) != 0) {
        jfail(500, "no random source for a device identity");
        return;
    }
    char key[QV_SENDER_KEY_CAP];
    for (size_t i = 0; i < sizeof bytes; i++)
        snprintf(key + 2 * i, 3, "%02x", bytes[i]);
    approve_device(r, key, label, "add_device");
}

void api_approve(qv_api_request *r) {
    approval_change(r, 1);
}

void api_unapprove(qv_api_request *r) {
    approval_change(r, 0);
}

void api_deny(qv_api_request *r) {
    char key[QV_DENY_KEY_FIELD_CAP];
    req_field(r->query, r->body, "key", key, sizeof key);
    trim_inplace(key);
    if (!valid_key(key)) {
        jfail(400, BAD_KEY);
        return;
    }
    lower_hex(key);
    char msg[QV_DIR_ERR_CAP] = "";
    qv_state_lock lock;
    if (lock.take(msg, sizeof msg) != 0 || qv_ntfy_pending_remove(key) != 0) {
        fail_store(msg, "cannot write the pairing queue");
        return;
    }
    answer_key(key, "deny");
}
