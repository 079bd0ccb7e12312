// The setup API's side of the sender gate: list the pairing queue and the approved senders,
// approve a sender (by identity or by its pairing code), revoke an approval, drop a request.
#include "setup_internal.h"

#include "base.h"
#include "state.h"

#include <cstdlib>
#include <cstring>
#include <yyjson.h>

enum { QV_KEY_FIELD_CAP = 68, QV_DENY_KEY_FIELD_CAP = 80, QV_CODE_FIELD_CAP = 24 };

static const char BAD_KEY[] = "key must be the 64-hex identity from ?action=pending";

void api_pending(qv_api_request *) {
    qv_ntfy_pending_entry *table = nullptr;
    int count = 0;
    qv_ntfy_pending_load(&table, &count);
    jout j;
    jout_init(&j);
    yyjson_mut_doc *d = j.doc;
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(d, j.root, "pending");
    for (int i = 0; arr && i < count; i++) {
        const qv_ntfy_pending_entry *e = &table[i];
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, arr);
        yyjson_mut_obj_add_strcpy(d, o, "key", e->key);
        yyjson_mut_obj_add_strcpy(d, o, "label", e->label);
        yyjson_mut_obj_add_strcpy(d, o, "code", e->code);
        yyjson_mut_obj_add_strcpy(d, o, "sample", e->sample);
        yyjson_mut_obj_add_int(d, o, "first_seen", e->first_seen);
        yyjson_mut_obj_add_int(d, o, "last_seen", e->last_seen);
        yyjson_mut_obj_add_int(d, o, "count", e->count);
    }
    free(table);
    jout_done(&j);
}

void api_approved(qv_api_request *) {
    qv_ntfy_approved_entry *table = nullptr;
    int count = 0;
    qv_ntfy_approved_load(&table, &count);
    jout j;
    jout_init(&j);
    yyjson_mut_doc *d = j.doc;
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(d, j.root, "approved");
    for (int i = 0; arr && i < count; i++) {
        const qv_ntfy_approved_entry *e = &table[i];
        yyjson_mut_val *o = yyjson_mut_arr_add_obj(d, arr);
        yyjson_mut_obj_add_strcpy(d, o, "key", e->key);
        yyjson_mut_obj_add_strcpy(d, o, "label", e->label);
        yyjson_mut_obj_add_int(d, o, "added_at", e->added_at);
        yyjson_mut_obj_add_int(d, o, "last_seen", e->last_seen);
        yyjson_mut_obj_add_int(d, o, "count", e->count);
        yyjson_mut_obj_add_int(d, o, "via", e->via);
    }
    free(table);
    jout_done(&j);
}

// Identities are stored as the daemon derives them, in lower case; an identity pasted in
// capitals must name the same sender, or its approval would admit nobody.
static void lower_hex(char *key) {
    for (; *key; key++)
        if (*key >= 'A' && *key <= 'F')
            *key = static_cast<char>(*key - 'A' + 'a');
}

static void answer_key(const char *key, const char *action) {
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_strcpy(j.doc, j.root, "key", key);
    yyjson_mut_obj_add_str(j.doc, j.root, "action", action);
    jout_done(&j);
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
    if (approve) {
        if (qv_ntfy_approved_add(key, label, QV_VIA_SETUP) != 0) {
            jfail(500, "cannot write the pairing store");
            return;
        }
        // An approved sender still in the queue is only clutter; failing to drop it is harmless.
        qv_ntfy_pending_remove(key);
    } else if (qv_ntfy_approved_remove(key) != 0) {
        jfail(500, "cannot write the pairing store");
        return;
    }
    answer_key(key, approve ? "approve" : "unapprove");
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
    if (qv_ntfy_pending_remove(key) != 0) {
        jfail(500, "cannot write the pairing queue");
        return;
    }
    answer_key(key, "deny");
}
