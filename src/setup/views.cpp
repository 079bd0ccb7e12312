// The read-only views of the setup API: "status" (the daemon's health and a summary of the
// settings), "config" (the editable settings) and "info" (who we are and where state lives).
// Secrets never appear in them; the status view says only whether each is set.
#include "setup_internal.h"

#include "base.h"
#include "state.h"

#include <cstdlib>
#include <cstring>
#include <yyjson.h>

static const char CONNECTOR_ID[] = "chimewick";
static const char DIR_NOTE[] = "state in ~/.quorvane/connectors/chimewick";

// The settings the form edits, without the secrets; switches as 0 or 1.
static const qv_view_member CONFIG_VIEW[] = {
    {"server_url"},
    {"topic"},
    {"publish_topic"},
    {"bot_api_url"},
    {"target_session"},
    {"tags"},
    {"reply_prefix"},
    {"title_prefix"},
    {"ca_file"},
    {"priority"},
    {"markdown"},
    {"allow_all"},
    {"pairing_code_enabled"},
    {"private_topics"},
    {"reply_poll_ms"},
    {"idle_timeout_ms"},
    {"catchup_s"},
    {"updated_at"},
};

void cfg_obj(jout *j, const qv_ntfy_config *c) {
    if (!j->doc || !j->root || !yyjson_mut_is_obj(j->root))
        return;
    yyjson_mut_val *o = yyjson_mut_obj_add_obj(j->doc, j->root, "config");
    const qv_view_source sources[] = {{QV_CONFIG_FIELDS, c}};
    // A member that cannot be added leaves the answer short, never absent.
    (void)qv_record_view(j->doc, o, CONFIG_VIEW, sources);
}

void env_overrides_arr(jout *j) {
    if (!j->doc || !j->root || !yyjson_mut_is_obj(j->root))
        return;
    const char *keys[QV_ENV_OVERRIDES_MAX];
    int n = qv_ntfy_env_overrides(keys, QV_ENV_OVERRIDES_MAX);
    // Only present when the environment sets something, so that every other answer stays.
    if (n == 0)
        return;
    yyjson_mut_val *arr = yyjson_mut_obj_add_arr(j->doc, j->root, "env_overrides");
    for (int i = 0; arr && i < n; i++)
        yyjson_mut_arr_add_str(j->doc, arr, keys[i]);
}

// What the status view knows beyond the status record and the configuration.
struct status_facts {
    int32_t running;
    int32_t tls;
    int32_t restart_needed;
    int32_t daemon_lock_held;
};

static const qv_field FACT_FIELDS[] = {
    QV_I32_FIELD(status_facts, running),
    QV_I32_FIELD(status_facts, tls),
    QV_I32_FIELD(status_facts, restart_needed),
    QV_I32_FIELD(status_facts, daemon_lock_held),
};

enum : uint8_t { FROM_STATUS, FROM_CONFIG, FROM_FACTS };

// The record's counters and times, then a summary of the settings as the configuration has
// them now (which a running daemon may not have taken up yet).
static const qv_view_member STATUS_VIEW[] = {
    {"started_at"},
    {"last_seen_at"},
    {"last_inbound_at"},
    {"last_outbound_at"},
    {"inbound_count"},
    {"outbound_count"},
    {"blocked_count"},
    {"pending_count"},
    {"connect_count"},
    {"error_count"},
    {"connected"},
    {"running", FROM_FACTS},
    {"last_message_time"},
    {"last_error"},
    {"last_event"},
    {"topic"},
    {"publish_topic"},
    {"target_session"},
    {"server_url"},
    {"configured", FROM_STATUS, QV_SHOW_FLAG},
    {"allow_all", FROM_STATUS, QV_SHOW_FLAG},
    {"pairing_code_enabled", FROM_STATUS, QV_SHOW_FLAG},
    {"private_topics", FROM_CONFIG, QV_SHOW_FLAG},
    {"markdown", FROM_STATUS, QV_SHOW_FLAG},
    {"has_bearer", FROM_STATUS, QV_SHOW_FLAG},
    {"has_bot_password", FROM_STATUS, QV_SHOW_FLAG},
    {"tls_insecure", FROM_STATUS, QV_SHOW_FLAG},
    {"pinned", FROM_STATUS, QV_SHOW_FLAG},
    {"tls", FROM_FACTS, QV_SHOW_FLAG},
    {"priority", FROM_CONFIG},
    {"tags", FROM_CONFIG},
    {"reply_prefix", FROM_CONFIG},
    {"title_prefix", FROM_CONFIG},
    {"queued_count"},
    {"queue_dropped_count"},
    {"restart_needed", FROM_FACTS, QV_SHOW_FLAG},
    {"own_echo_count"},
    {"daemon_lock_held", FROM_FACTS, QV_SHOW_FLAG},
    {"revoked_dropped_count"},
    {"pending_evicted_count"},
};

// The senders waiting now, counted from pending.json: an approval or a denial on the page
// shows at once, not when the daemon next writes its record. The record's count stands when
// the file cannot be read.
static void count_pending(qv_ntfy_status *s) {
    void *table = nullptr;
    int count = 0;
    if (qv_list_load(&QV_PENDING_LIST, &table, &count) == 0)
        s->pending_count = count;
    free(table);
}

static void status_obj(jout *j, qv_ntfy_status *s, int state, const qv_ntfy_config *c) {
    bool running = state == QV_DAEMON_RUNS;
    // A daemon that was killed leaves "connected" behind in its record; only a live one counts.
    if (!running)
        s->connected = 0;
    // The daemon reads config.json once, when it starts: a later save waits for a restart.
    bool stale = running && s->config_updated_at != c->updated_at;
    count_pending(s);
    qv_ntfy_status_settings(s, c);
    status_facts facts = {running ? 1 : 0, strstr(c->server_url, "https://") != nullptr,
                          stale ? 1 : 0, state == QV_DAEMON_LOCK_ONLY ? 1 : 0};
    const qv_view_source sources[] = {
        {QV_STATUS_FIELDS, s}, {QV_CONFIG_FIELDS, c}, {FACT_FIELDS, &facts}};
    yyjson_mut_val *o = yyjson_mut_obj_add_obj(j->doc, j->root, "status");
    // A member that cannot be added leaves the answer short, never absent.
    (void)qv_record_view(j->doc, o, STATUS_VIEW, sources);
}

void api_status(qv_api_request *r) {
    jout j;
    jout_init(&j);
    qv_ntfy_status s;
    // No record yet (or a broken one) shows as all zero.
    (void)qv_ntfy_status_load(&s);
    // Also clears a pid file left by a daemon that was killed.
    int state = qv_ntfy_daemon_state();
    if (j.root) {
        status_obj(&j, &s, state, &r->cfg);
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
    env_overrides_arr(&j);
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
