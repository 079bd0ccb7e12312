// Inside the setup interface: the API's answer builder, request fields, the actions and the
// page renderer. Only the setup folder and its tests include this.
#pragma once

#include "setup.h"
#include "state.h"

#include <cstddef>

struct yyjson_mut_doc;
struct yyjson_mut_val;
struct yyjson_val;

enum {
    QV_API_ACTION_CAP = 40,
    QV_API_BODY_MAX = 1048576,
    QV_API_BODY_READ_MS = 10000, // a body not received by then is answered 408
    QV_API_ERROR_ESCAPED_CAP = 1024,
    QV_API_FAIL_BODY_CAP = 1200,
};

// What status, start and stop say when daemon.lock is held but no daemon runs.
#define QV_LOCK_HELD_TEXT                                                                       \
    "daemon.lock in the state folder is held by another process that is not a daemon of this " \
    "folder, so no daemon can start: end that process"

// The answer being built: a mutable JSON document and its root object.
struct jout {
    yyjson_mut_doc *doc;
    yyjson_mut_val *root;
};

// One API request: the query string, the root of a JSON body (or none), and the configuration
// loaded for this request.
struct qv_api_request {
    const char *query;
    yyjson_val *body;
    qv_ntfy_config cfg;
};

// Starts an answer whose root object begins with "ok": true.
void jout_init(jout *j);
// Sends the answer with status 200 ("serialise failed" when it cannot be written) and frees it.
void jout_done(jout *j);
// Sends {"ok":false,"error":message} with the status.
void jfail(int status, const char *message);
// The raw (still escaped) value of the first query field of that name, as get_query_val
// finds it; false when there is none.
[[nodiscard]] bool query_raw_value(const char *query, const char *name, const char **val,
                                   size_t *len);
// Looks a field up in the JSON body, then in the query string. 1 when found, else 0; the
// value is at most size - 1 bytes. Null, real, array and object members count as not found
// and hide the query string's field.
int req_field(const char *query, yyjson_val *root, const char *name, char *out, size_t size);
// 1 when the text is exactly 64 hexadecimal digits (either case), else 0.
[[nodiscard]] int valid_key(const char *text);
// Adds the "config" object (no secrets) to the answer's root.
void cfg_obj(jout *j, const qv_ntfy_config *c);
// Adds "env_overrides": the config keys the web server's environment sets, which a save
// cannot change (left out when there are none).
void env_overrides_arr(jout *j);

// Adds `name`: the QR code of the text as rows of "1" (dark) and "0" (qr.cpp, libqrencode). 0, or
// -1 when the text cannot be encoded (nothing, or a short array, added).
[[nodiscard]] int qr_add_rows(const char *text, yyjson_mut_doc *doc, yyjson_mut_val *obj,
                              const char *name);

// The actions. Each writes exactly one response.
void api_status(qv_api_request *r);
void api_config(qv_api_request *r);
void api_info(qv_api_request *r);
void api_save(qv_api_request *r);
void api_test(qv_api_request *r);
void api_send(qv_api_request *r);
void api_pending(qv_api_request *r);
void api_approved(qv_api_request *r);
void api_approve(qv_api_request *r);
void api_unapprove(qv_api_request *r);
void api_add_device(qv_api_request *r);
void api_deny(qv_api_request *r);
void api_logs(qv_api_request *r);
void api_start(qv_api_request *r);
void api_stop(qv_api_request *r);

// --- setup page ---
#include <cstddef>
#include <cstdio>

// The page template, holding one mark byte 0x01 (theme block 1) and one 0x02 (theme block 2),
// and the two theme blocks, all compiled in from data files beside this header.
extern const char QV_SETUP_PAGE_HTML[];
extern const char QV_SETUP_THEME_PICK[];
extern const char QV_SETUP_THEME_BRIDGE[];
extern const char QV_SETUP_SIGNIN_HTML[];
// The page's fixed CGI response head (headers and the empty line; no Status line).
extern const char QV_SETUP_PAGE_HEAD[];
// Writes the template to out with each mark byte replaced by its block, then flushes.
// 0, or -1 when writing fails.
[[nodiscard]] int qv_setup_page_render(FILE *out, const char *tmpl, const char *pick_block,
                                       const char *bridge_block, char *err, size_t cap);
