// Member readers and writers for the JSON state files: the first member with the key, taken
// only when it has the field's JSON type, so a hand-edited or damaged file can never put a
// wrong type in; and the one way a built document replaces its file.
#include "state.h"

#include "base.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <yyjson.h>

void qv_json_doc_free::operator()(yyjson_doc *doc) const {
    yyjson_doc_free(doc);
}

void qv_json_mut_doc_free::operator()(yyjson_mut_doc *doc) const {
    yyjson_mut_doc_free(doc);
}

// A JSON integer as a signed 64-bit value; yyjson keeps positive numbers beyond INT64_MAX
// unsigned, and those saturate rather than wrap into negative times or counts.
static int64_t integer_value(yyjson_val *v) {
    if (yyjson_is_sint(v))
        return yyjson_get_sint(v);
    uint64_t u = yyjson_get_uint(v);
    return u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
}

void qv_json_take_text(yyjson_val *obj, const char *key, char *out, size_t cap) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_str(v))
        cp_trunc(out, cap, yyjson_get_str(v));
}

void qv_json_take_i64(yyjson_val *obj, const char *key, int64_t *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_int(v))
        *out = integer_value(v);
}

void qv_json_take_i32(yyjson_val *obj, const char *key, int32_t *out) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (!yyjson_is_int(v))
        return;
    int64_t n = integer_value(v);
    *out = static_cast<int32_t>(n < INT32_MIN ? INT32_MIN : n > INT32_MAX ? INT32_MAX : n);
}

bool qv_json_add_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                      const char *text, size_t cap) {
    return yyjson_mut_obj_add_strn(doc, obj, key, text, strnlen(text, cap));
}

int qv_json_save_state(const char *name, yyjson_mut_doc *doc, bool built, int pretty) {
    char path[QV_PATH_CAP];
    if (!doc || !built || qv_ntfy_path(path, sizeof path, name) != 0)
        return -1;
    size_t len = 0;
    // The writer refuses text that is not UTF-8; then the file keeps its previous content.
    char *json = yyjson_mut_write(doc, pretty ? YYJSON_WRITE_PRETTY : 0, &len);
    int rc = json ? qv_ntfy_write_file_atomic(path, json, len) : -1;
    free(json);
    return rc;
}
