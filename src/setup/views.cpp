// The read-only views of the setup API: "status" (the daemon's health and a summary of the
// settings), "config" (the editable settings) and "info" (who we are and where state lives).
// Secrets never appear in them; the status view says only whether each is set.
#include "setup_internal.h"

#include "base.h"
#include "state.h"

#include <cstring>
#include <yyjson.h>

static const char CONNECTOR_ID[] = "chimewick";
static const char DIR_NOTE[] = "state in ~/.quorvane/connectors/chimewick";

void cfg_obj(jout *j, const qv_ntfy_config *c) {
    if (!j->doc || !j->root || !yyjson_mut_is_obj(j->root))
        return;
    yyjson_mut_doc *d = j->doc;
    yyjson_mut_val *o = yyjson_mut_obj_add_obj(d, j->root, "config");
    yyjson_mut_obj_add_strcpy(d, o, "server_url", c->server_url);
    yyjson_mut_obj_add_strcpy(d, o, "topic", c->topic);
    yyjson_mut_obj_add_strcpy(d, o, "publish_topic", c->publish_topic);
    yyjson_mut_obj_add_strcpy(d, o, "bot_api_url", c->bot_api_url);
    yyjson_mut_obj_add_strcpy(d, o, "target_session", c->target_session);
    yyjson_mut_obj_add_strcpy(d, o, "tags", c->tags);
    yyjson_mut_obj_add_strcpy(d, o, "reply_prefix", c->reply_prefix);
    yyjson_mut_obj_add_strcpy(d, o, "title_prefix", c->title_prefix);
    yyjson_mut_obj_add_strcpy(d, o, "ca_file", c->ca_file);
    yyjson_mut_obj_add_int(d, o, "priority", c->priority);
    yyjson_mut_obj_add_int(d, o, "markdown", c->markdown ? 1 : 0);
    yyjson_mut_obj_add_int(d, o, "allow_all", c->allow_all ? 1 : 0);
    yyjson_mut_obj_add_int(d, o, "pairing_code_enabled", c->pairing_code_enabled ? 1 : 0);
    yyjson_mut_obj_add_int(d, o, "reply_poll_ms", c->reply_poll_ms);
    yyjson_mut_obj_add_int(d, o, "idle_timeout_ms", c->idle_timeout_ms);
    yyjson_mut_obj_add_int(d, o, "updated_at", c->updated_at);
}

// The status record's counters and times, then what the settings say.
static void status_obj(jout *j, const qv_ntfy_status *s, int running, const qv_ntfy_config *c) {
    yyjson_mut_doc *d = j->doc;
    yyjson_mut_val *o = yyjson_mut_obj_add_obj(d, j->root, "status");
    yyjson_mut_obj_add_int(d, o, "started_at", s->started_at);
    yyjson_mut_obj_add_int(d, o, "last_seen_at", s->last_seen_at);
    yyjson_mut_obj_add_int(d, o, "last_inbound_at", s->last_inbound_at);
    yyjson_mut_obj_add_int(d, o, "last_outbound_at", s->last_outbound_at);
    yyjson_mut_obj_add_int(d, o, "inbound_count", s->inbound_count);
    yyjson_mut_obj_add_int(d, o, "outbound_count", s->outbound_count);
    yyjson_mut_obj_add_int(d, o, "blocked_count", s->blocked_count);
    yyjson_mut_obj_add_int(d, o, "pending_count", s->pending_count);
    yyjson_mut_obj_add_int(d, o, "connect_count", s->connect_count);
    yyjson_mut_obj_add_int(d, o, "error_count", s->error_count);
    // A daemon that was killed leaves "connected" behind in its record; only a live one counts.
    yyjson_mut_obj_add_int(d, o, "connected", running ? s->connected : 0);
    yyjson_mut_obj_add_int(d, o, "running", running ? 1 : 0);
    yyjson_mut_obj_add_int(d, o, "last_message_time", s->last_message_time);
    yyjson_mut_obj_add_strcpy(d, o, "last_error", s->last_error);
    yyjson_mut_obj_add_strcpy(d, o, "last_event", s->last_event);
    yyjson_mut_obj_add_strcpy(d, o, "topic", c->topic);
    yyjson_mut_obj_add_strcpy(d, o, "publish_topic",
                              c->publish_topic[0] ? c->publish_topic : c->topic);
    yyjson_mut_obj_add_strcpy(d, o, "target_session", c->target_session);
    yyjson_mut_obj_add_strcpy(d, o, "server_url", c->server_url);
    yyjson_mut_obj_add_bool(d, o, "configured", c->topic[0] && c->target_session[0]);
    yyjson_mut_obj_add_bool(d, o, "allow_all", c->allow_all != 0);
    yyjson_mut_obj_add_bool(d, o, "pairing_code_enabled", c->pairing_code_enabled != 0);
    yyjson_mut_obj_add_bool(d, o, "markdown", c->markdown != 0);
    yyjson_mut_obj_add_bool(d, o, "has_bearer", c->bearer_token[0] != '\0');
    yyjson_mut_obj_add_bool(d, o, "has_bot_password", c->bot_password[0] != '\0');
    yyjson_mut_obj_add_bool(d, o, "tls_insecure", qv_ntfy_tls_insecure() != 0);
    yyjson_mut_obj_add_bool(d, o, "pinned", c->allowed_pins[0] != '\0');
    yyjson_mut_obj_add_bool(d, o, "tls", strstr(c->server_url, "https://") != nullptr);
    yyjson_mut_obj_add_int(d, o, "priority", c->priority);
    yyjson_mut_obj_add_strcpy(d, o, "tags", c->tags);
    yyjson_mut_obj_add_strcpy(d, o, "reply_prefix", c->reply_prefix);
    yyjson_mut_obj_add_strcpy(d, o, "title_prefix", c->title_prefix);
}

void api_status(qv_api_request *r) {
    jout j;
    jout_init(&j);
    qv_ntfy_status s;
    qv_ntfy_status_load(&s);
    // Also clears a pid file left by a daemon that was killed.
    int running = qv_ntfy_daemon_running();
    if (j.root) {
        status_obj(&j, &s, running, &r->cfg);
        yyjson_mut_obj_add_str(j.doc, j.root, "version", QV_VERSION);
        yyjson_mut_obj_add_str(j.doc, j.root, "id", CONNECTOR_ID);
        yyjson_mut_obj_add_bool(j.doc, j.root, "tls_insecure_env", qv_ntfy_tls_insecure() != 0);
    }
    jout_done(&j);
}

void api_config(qv_api_request *r) {
    jout j;
    jout_init(&j);
    cfg_obj(&j, &r->cfg);
    jout_done(&j);
}

void api_info(qv_api_request *) {
    jout j;
    jout_init(&j);
    yyjson_mut_doc *d = j.doc;
    yyjson_mut_val *o = j.root;
    yyjson_mut_obj_add_str(d, o, "id", CONNECTOR_ID);
    yyjson_mut_obj_add_str(d, o, "slug", "ntfy");
    yyjson_mut_obj_add_str(d, o, "version", QV_VERSION);
    yyjson_mut_obj_add_str(d, o, "kind", "hybrid");
    yyjson_mut_obj_add_bool(d, o, "mcp", true);
    yyjson_mut_obj_add_bool(d, o, "daemon", true);
    yyjson_mut_obj_add_bool(d, o, "menus", false);
    yyjson_mut_obj_add_str(d, o, "verified", "mock");
    yyjson_mut_obj_add_str(d, o, "dir_note", DIR_NOTE);
    char dir[QV_DIR_CAP];
    if (qv_ntfy_dir(dir, sizeof dir) == 0)
        yyjson_mut_obj_add_strcpy(d, o, "connector_dir", dir);
    jout_done(&j);
}
