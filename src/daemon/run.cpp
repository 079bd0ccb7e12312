// The daemon's life: start-up checks, the subscription with its reconnect back-off, the stream
// loop that relays replies between lines, the waits between subscriptions, and the orderly stop.
// Every wait lasts until the earliest deadline of the daemon's schedule (schedule.cpp).
#include "daemon_internal.h"

#include "base.h"
#include "clients.h"
#include "net.h"
#include "platform.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    QV_DAEMON_ERR_CAP = QV_DIR_ERR_CAP, // a refused state folder is named twice
    QV_SUBSCRIBE_ERR_CAP = 512,
    QV_AUTH_LINE_CAP = 300,
    QV_SUBSCRIBE_TIMEOUT_MS = 15000,
    QV_STOP_SLICE_MS = 50,
};

static bool stop_requested(void) {
    return qv_plat_stop_requested() != 0;
}

// Runs the timed steps that are due and move their own deadlines: the relay (while a stream is
// read), the queue, the status view.
static void serve_due(qv_daemon *d) {
    if (schedule_due(d->due.reply_poll, qv_now_ms())) {
        daemon_relay_step(d);
        daemon_challenge_step(d);
        d->due.reply_poll = qv_now_ms() + d->cfg.reply_poll_ms;
    }
    // Messages waiting for the node are handed over between reads, never instead of them.
    daemon_queue_step(d);
    daemon_view_flush(d, false);
}

void daemon_wait_to_subscribe(qv_daemon *d) {
    while (!stop_requested() && d->due.subscribe != 0 &&
           !schedule_due(d->due.subscribe, qv_now_ms())) {
        serve_due(d);
        // Slices, so a stop that a sleep does not notice (Windows' stop event) still ends it.
        int64_t wait = schedule_wait_ms(&d->due, qv_now_ms(), QV_STOP_SLICE_MS);
        if (wait > 0)
            qv_plat_sleep_ms(wait);
    }
    d->due.subscribe = 0;
}

// 0 when the daemon may run, holding the claim on the state folder; otherwise the exit status
// with the reason on standard error.
[[nodiscard]] static int start_up(qv_daemon *d, int64_t *claim) {
    char err[QV_DAEMON_ERR_CAP] = "";
    if (qv_ntfy_config_load(&d->cfg, err, sizeof err) != 0 ||
        qv_ntfy_config_validate(&d->cfg, err, sizeof err) != 0) {
        fprintf(stderr, "chimewick --daemon: %s\n", err);
        return 2;
    }
    // The lock, not the pid file, decides: two daemons started at the same instant would both
    // find no pid file, and both would run.
    *claim = qv_ntfy_daemon_claim();
    if (*claim < 0) {
        fputs("chimewick --daemon: another daemon is already running (daemon.pid)\n", stderr);
        return 3;
    }
    // Handlers first, so that a stop arriving from here on always takes the orderly path.
    qv_plat_install_stop_handlers();
    // Without a log file the lines still reach standard error.
    (void)qv_ntfy_log_open(1);
    qv_ntfy_log_keep_open(true);
    // A first start has no status.json yet: the record starts at zero.
    (void)qv_ntfy_status_load(&d->st);
    // A daemon that was killed leaves "connected" behind; this one has no subscription yet.
    d->st.connected = 0;
    d->st.started_at = qv_ntfy_now_epoch();
    // A save after this start is not taken up until the next one: the setup page compares.
    d->st.config_updated_at = d->cfg.updated_at;
    qv_ntfy_status_settings(&d->st, &d->cfg);
    // The record says what this start runs with before the pid file names it, so that whoever
    // sees the daemon running never reads the record of the one before.
    daemon_save_status(d);
    if (qv_ntfy_pidfile_write(qv_plat_pid()) != 0)
        qv_ntfy_logf("cannot write daemon.pid: the setup page will not see this daemon");
    int64_t now = qv_ntfy_now_epoch();
    daemon_devices_start(d);
    daemon_stream_start(d, now);
    daemon_reply_start(d, now);
    daemon_save_status(d);
    if (d->st.tls_insecure)
        qv_ntfy_logf("WARNING NTFY_TLS_INSECURE=1 is set: certificate verification is DISABLED");
    qv_ntfy_logf("daemon start topic=%s publish=%s session=%s server=%s allow_all=%d "
                 "cursor=%" PRId64,
                 d->cfg.topic, d->cfg.publish_topic, d->cfg.target_session, d->cfg.server_url,
                 d->cfg.allow_all, d->st.reply_cursor);
    return 0;
}

// Reads the stream until it ends or a line is handled; true when the stream goes on. Each read
// waits only until the next timed step is due, so replies are relayed at least every
// reply_poll_ms and queued messages go when their time comes.
static bool stream_read(qv_daemon *d, qv_line_reader *reader) {
    serve_due(d);
    if (daemon_devices_changed(d)) {
        qv_ntfy_logf("device topics changed: subscribing again");
        return false;
    }
    int64_t slice = schedule_wait_ms(&d->due, qv_now_ms(), d->cfg.reply_poll_ms);
    int got = qv_http_readline_slice(&d->conn, reader, static_cast<int>(d->cfg.idle_timeout_ms),
                                     static_cast<int>(slice < 1 ? 1 : slice));
    if (got == QV_LINE_NOT_YET)
        return true;
    if (stop_requested())
        return false;
    if (got < 0) {
        qv_ntfy_logf("stream read timeout/error, reconnecting");
        return false;
    }
    if (got == 0) {
        qv_ntfy_logf("stream closed by server, reconnecting");
        return false;
    }
    daemon_handle_line(d, d->line);
    daemon_stream_note(d);
    // Back-pressure: no line after a message that could not be kept.
    return !d->held;
}

static void stream_loop(qv_daemon *d) {
    qv_line_reader reader;
    qv_line_reader_init(&reader, d->line, sizeof d->line);
    d->due.reply_poll = qv_now_ms(); // the first relay step at once
    while (!stop_requested() && stream_read(d, &reader)) {
    }
    // Only a stream has these: a wait between subscriptions must not wake for them.
    d->due.reply_poll = 0;
    d->due.devices_read = 0;
}

// One subscription attempt. 1 after a stream ended, 0 after a failure (backing off).
[[nodiscard]] static int subscribe_once(qv_daemon *d, const qv_url *url, int64_t backoff,
                                        bool first) {
    qv_conn *conn = &d->conn;
    char err[QV_SUBSCRIBE_ERR_CAP] = "";
    char path[QV_SUBSCRIBE_PATH_CAP];
    daemon_subscription_path(d, url, path, sizeof path);
    const qv_ntfy_config *c = &d->cfg;
    // The access token goes on the subscription too, so read-protected topics work.
    char auth[QV_AUTH_LINE_CAP] = "";
    if (c->bearer_token[0]) {
        char full[2 * QV_AUTH_LINE_CAP];
        snprintf(full, sizeof full, "Authorization: %s", c->bearer_token);
        cp_trunc(auth, sizeof auth, full);
    }
    const char *headers[] = {"Accept: application/x-ndjson", auth[0] ? auth : nullptr, nullptr};
    int status = 0;
    qv_conn_init(conn);
    if (qv_conn_open(conn, url, c->allowed_pins[0] ? c->allowed_pins : nullptr,
                     c->ca_file[0] ? c->ca_file : nullptr, qv_ntfy_tls_insecure(),
                     QV_SUBSCRIBE_TIMEOUT_MS, err, sizeof err) != 0) {
        qv_ntfy_logf("subscribe connect failed: %s (retry in %" PRId64 "ms)", err, backoff);
        cp_trunc(d->st.last_error, sizeof d->st.last_error, err);
        return 0;
    }
    if (qv_http_open_stream(conn, "GET", path, headers, &status, err, sizeof err) != 0) {
        qv_ntfy_logf("subscribe request failed: %s (retry in %" PRId64 "ms)", err, backoff);
        cp_trunc(d->st.last_error, sizeof d->st.last_error, err);
        return 0;
    }
    if (status != 200) {
        qv_ntfy_logf("subscribe answered %d (retry in %" PRId64 "ms)", status, backoff);
        // A server that refuses the query is asked next from the time of the last event, the
        // plainest query there is, without the margin before the newest handled message.
        if (status == 400)
            d->stream.last_id[0] = '\0';
        qv_errf(d->st.last_error, sizeof d->st.last_error, "subscribe http %d", status);
        return 0;
    }
    d->st.connect_count++;
    d->st.connected = 1;
    d->st.last_seen_at = qv_ntfy_now_epoch();
    d->st.last_error[0] = '\0';
    daemon_save_status(d);
    if (first)
        qv_ntfy_logf("subscribed to %s/%s", c->server_url, c->topic);
    stream_loop(d);
    return 1;
}

// Schedules the next subscription `ms` from now and waits for it. Queued messages go to the node
// as they fall due meanwhile: a node that is back gets them even while the ntfy server is not.
static void wait_and_subscribe_in(qv_daemon *d, int64_t ms) {
    d->due.subscribe = qv_now_ms() + ms;
    daemon_wait_to_subscribe(d);
}

// Waits before the stream is read again after a message could be neither posted nor queued (a
// full disk, and the node not taking it): 1 s, doubling up to a minute. The queue is served
// meanwhile. True when the daemon held.
enum : int64_t { QV_HOLD_MIN_MS = 1000, QV_HOLD_MAX_MS = 60000 };
static bool hold_stream(qv_daemon *d) {
    if (!d->held) {
        d->held_wait_ms = 0;
        return false;
    }
    d->held_wait_ms = daemon_backoff_next(d->held_wait_ms, QV_HOLD_MIN_MS, QV_HOLD_MAX_MS);
    d->st.connected = 0;
    daemon_save_status(d);
    qv_conn_close(&d->conn);
    qv_ntfy_logf("stream held: a message could be neither posted nor queued; reading again "
                 "from the stored position in %" PRId64 " ms",
                 d->held_wait_ms);
    if (!stop_requested())
        daemon_relay_step(d);
    wait_and_subscribe_in(d, d->held_wait_ms);
    return true;
}

static void main_loop(qv_daemon *d) {
    int64_t backoff = d->cfg.reconnect_min_ms;
    bool first = true;
    while (!stop_requested()) {
        qv_url url;
        char err[QV_SUBSCRIBE_ERR_CAP] = "";
        if (qv_url_parse(d->cfg.server_url, &url, err, sizeof err) != 0) {
            qv_ntfy_logf("bad server_url: %s", err);
            wait_and_subscribe_in(d, d->cfg.reconnect_max_ms);
            continue;
        }
        d->held = false;
        if (subscribe_once(d, &url, backoff, first)) {
            backoff = d->cfg.reconnect_min_ms;
            if (hold_stream(d))
                continue;
            d->st.connected = 0;
            d->st.last_seen_at = qv_ntfy_now_epoch();
            daemon_save_status(d);
            qv_conn_close(&d->conn);
            if (!stop_requested())
                daemon_relay_step(d);
            if (!stop_requested()) {
                wait_and_subscribe_in(d, d->cfg.reply_poll_ms);
                first = false;
            }
            continue;
        }
        d->st.error_count++;
        daemon_save_status(d);
        qv_conn_close(&d->conn);
        wait_and_subscribe_in(d, backoff);
        backoff = daemon_backoff_next(backoff, d->cfg.reconnect_min_ms, d->cfg.reconnect_max_ms);
    }
}

int run_daemon(void) {
    // On the heap and zeroed: the record carries the stream line and the reply buffers.
    qv_heap<qv_daemon> d(static_cast<qv_daemon *>(calloc(1, sizeof(qv_daemon))));
    if (!d) {
        fputs("chimewick --daemon: out of memory\n", stderr);
        return 1;
    }
    qv_conn_init(&d->conn);
    int64_t claim = -1;
    int rc = start_up(d.get(), &claim);
    if (rc != 0)
        return rc;
    // What waits from before the start goes first; a node still down leaves it queued.
    daemon_queue_start(d.get());
    main_loop(d.get());
    d->st.connected = 0;
    d->st.last_seen_at = qv_ntfy_now_epoch();
    daemon_save_status(d.get());
    daemon_view_flush(d.get(), true);
    daemon_reply_note(d.get(), true);
    qv_ntfy_stream_close(&d->stream_file);
    qv_ntfy_daemon_release(claim);
    qv_ntfy_logf("daemon stopped");
    qv_ntfy_log_keep_open(false);
    return 0;
}
