// The setup API's "test" and "send": publish one notification with the stored settings, and
// note its id in the sent ledger so the daemon drops the echo instead of relaying it.
#include "setup_internal.h"

#include "base.h"
#include "clients.h"
#include "state.h"

#include <cstdio>
#include <cstdlib>
#include <yyjson.h>

enum {
    QV_TEST_TITLE_CAP = 80,
    QV_TEST_MESSAGE_CAP = 200,
    QV_SEND_MESSAGE_CAP = 8000,
    QV_SEND_TITLE_CAP = 200,
    QV_SEND_TAGS_CAP = 200,
    QV_SEND_TOPIC_CAP = 160,
    QV_SEND_PRIORITY_CAP = 8,
    QV_PUBLISH_ERR_CAP = 512,
};

static const char TEST_MESSAGE[] =
    "chimewick test notification from this node. If you can read this, publishing works.";
static const char TEST_TAGS[] = "bell";

// Publishes, notes the id and answers; a refusal of the server (or of the topic) is a 502.
// With read_topic, the token must also be able to read that topic, as the daemon will.
static void publish_and_answer(const qv_ntfy_config *c, const char *topic, const char *message,
                               const char *title, int priority, const char *tags,
                               const char *read_topic = nullptr) {
    char id[QV_PUB_ID_CAP] = "";
    char err[QV_PUBLISH_ERR_CAP] = "";
    if (ntfy_publish(c, topic, message, title, priority, tags, id, err, sizeof err) != 0) {
        jfail(502, err);
        return;
    }
    // A ledger that cannot be written does not undo the publication.
    if (id[0])
        (void)qv_ntfy_sent_note(id);
    if (read_topic && ntfy_read_check(c, read_topic, err, sizeof err) != 0) {
        char msg[QV_PUBLISH_ERR_CAP + 200];
        snprintf(msg, sizeof msg,
                 "published (id %s), but reading the topic %s failed, so the daemon could not "
                 "subscribe: %s",
                 id, read_topic, err);
        jfail(502, msg);
        return;
    }
    jout j;
    jout_init(&j);
    yyjson_mut_obj_add_strcpy(j.doc, j.root, "published_id", id);
    yyjson_mut_obj_add_strcpy(j.doc, j.root, "topic", topic);
    jout_done(&j);
}

void api_test(qv_api_request *r) {
    const qv_ntfy_config *c = &r->cfg;
    char title[QV_TEST_TITLE_CAP];
    snprintf(title, sizeof title, "%s test",
             c->title_prefix[0] ? c->title_prefix : QV_DEFAULT_TITLE_PREFIX);
    char message[QV_TEST_MESSAGE_CAP];
    cp_trunc(message, sizeof message, TEST_MESSAGE);
    const char *topic = qv_ntfy_reply_topic(c);
    if (!topic[0]) {
        jfail(400, "set a topic first");
        return;
    }
    publish_and_answer(c, topic, message, title, c->priority, TEST_TAGS,
                       c->topic[0] ? c->topic : topic);
}

void api_send(qv_api_request *r) {
    const qv_ntfy_config *c = &r->cfg;
    char message[QV_SEND_MESSAGE_CAP], title[QV_SEND_TITLE_CAP], tags[QV_SEND_TAGS_CAP];
    char topic[QV_SEND_TOPIC_CAP], priority_text[QV_SEND_PRIORITY_CAP];
    req_field(r->query, r->body, "message", message, sizeof message);
    req_field(r->query, r->body, "title", title, sizeof title);
    req_field(r->query, r->body, "tags", tags, sizeof tags);
    req_field(r->query, r->body, "topic", topic, sizeof topic);
    int priority = c->priority;
    if (req_field(r->query, r->body, "priority", priority_text, sizeof priority_text) &&
        priority_text[0]) {
        // Read as every numeric field is; a number out of range keeps the configured one.
        int64_t asked = 0;
        if (qv_read_whole_number(priority_text, &asked) != 0) {
            jfail(400, "priority must be a whole number from 1 to 5");
            return;
        }
        if (asked >= QV_PRIORITY_MIN && asked <= QV_PRIORITY_MAX)
            priority = static_cast<int>(asked);
    }
    trim_inplace(message);
    if (!message[0]) {
        jfail(400, "message is required");
        return;
    }
    if (!topic[0])
        cp_trunc(topic, sizeof topic, qv_ntfy_reply_topic(c));
    if (!topic[0]) {
        jfail(400, "no topic configured");
        return;
    }
    publish_and_answer(c, topic, message, title[0] ? title : nullptr, priority,
                       tags[0] ? tags : c->tags);
}
