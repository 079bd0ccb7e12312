// Member readers for the JSON state files: the first member with the key, taken only when it
// has the field's JSON type, so a hand-edited or damaged file can never put a wrong type in.
#include "state/state.h"

#include "entry/entry.h"

#include <cstdint>
#include <yyjson.h>

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
