// Records described by tables: one row per member (its key in the JSON file, its type and where
// it lives in the record), and the generic reading, writing and showing of such a record and of
// a bounded list of them kept as a JSON array; plus the JSON document holders and the member
// readers every JSON reader of the program shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <type_traits>

struct yyjson_doc;
struct yyjson_mut_doc;
struct yyjson_val;
struct yyjson_mut_val;

// Parsed and built JSON documents, freed when the holder goes.
struct qv_json_doc_free {
    void operator()(yyjson_doc *doc) const;
};
struct qv_json_mut_doc_free {
    void operator()(yyjson_mut_doc *doc) const;
};
using qv_json_doc = std::unique_ptr<yyjson_doc, qv_json_doc_free>;
using qv_json_mut_doc = std::unique_ptr<yyjson_mut_doc, qv_json_mut_doc_free>;

// --- member readers and writers ---

// Each takes the first member with exactly this key when it has the right JSON type and
// otherwise leaves the field as it is: texts from strings (cut to the capacity at a character
// boundary), integers only from JSON integers (clamped to the field's range).
void qv_json_take_text(yyjson_val *obj, const char *key, char *out, size_t cap);
void qv_json_take_i64(yyjson_val *obj, const char *key, int64_t *out);
void qv_json_take_i32(yyjson_val *obj, const char *key, int32_t *out);

// Adds a text member, never reading the field beyond its capacity (even when unterminated).
[[nodiscard]] bool qv_json_add_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key,
                                    const char *text, size_t cap);

// --- record tables ---

enum qv_field_type : uint8_t {
    QV_FIELD_TEXT,   // char[cap], zero-terminated; a JSON string
    QV_FIELD_I32,    // int32_t; a JSON integer, clamped to the range when read
    QV_FIELD_I64,    // int64_t; a JSON integer
    QV_FIELD_SWITCH, // int32_t read and written like QV_FIELD_I32, shown as 0 or 1
};

// One member of a record: its key, its type, its offset in the record and its size.
struct qv_field {
    const char *key;
    qv_field_type type;
    size_t offset;
    size_t cap;
};

// A table row whose type disagrees with the member's C++ type does not compile.
consteval qv_field qv_field_checked(qv_field f, bool type_matches) {
    if (!type_matches)
        throw "the field type does not match the member";
    return f;
}

#define QV_FIELD_AS(key, rec, name, type, cpp_ok)                                                  \
    qv_field_checked({key, type, offsetof(rec, name), sizeof(rec::name)}, cpp_ok)
#define QV_TEXT_AS(key, rec, name)                                                                 \
    QV_FIELD_AS(key, rec, name, QV_FIELD_TEXT,                                                     \
                (std::is_same_v<std::remove_extent_t<decltype(rec::name)>, char>))
#define QV_TEXT_FIELD(rec, name) QV_TEXT_AS(#name, rec, name)
#define QV_I32_FIELD(rec, name)                                                                    \
    QV_FIELD_AS(#name, rec, name, QV_FIELD_I32, (std::is_same_v<decltype(rec::name), int32_t>))
#define QV_SWITCH_FIELD(rec, name)                                                                 \
    QV_FIELD_AS(#name, rec, name, QV_FIELD_SWITCH, (std::is_same_v<decltype(rec::name), int32_t>))
#define QV_I64_FIELD(rec, name)                                                                    \
    QV_FIELD_AS(#name, rec, name, QV_FIELD_I64, (std::is_same_v<decltype(rec::name), int64_t>))

using qv_fields = std::span<const qv_field>;

// The row with this key, or none.
const qv_field *qv_field_find(qv_fields fields, const char *key);
// Where a field lives in a record.
char *qv_field_text(void *rec, const qv_field &f);
const char *qv_field_text(const void *rec, const qv_field &f);
int32_t *qv_field_i32(void *rec, const qv_field &f);

// Takes every member of the table from a JSON object (as the qv_json_take_* do); a member
// that is missing or of another JSON type leaves its field as it is.
void qv_record_read(qv_fields fields, yyjson_val *obj, void *rec);
// Adds every member of the table to the object, in table order. Texts are referenced, not
// copied: the record must outlive the writing of the document.
[[nodiscard]] bool qv_record_write(qv_fields fields, const void *rec, yyjson_mut_doc *doc,
                                   yyjson_mut_val *obj);
// Replaces the state file with the record as one pretty-printed object. 0, or -1 with the
// reason: the folder is not usable, the text cannot be serialised (it is not UTF-8), or the
// file cannot be written; the file then keeps its previous content.
[[nodiscard]] int qv_record_save(const char *name, qv_fields fields, const void *rec, char *err,
                                 size_t cap);

// --- views: records shown in a setup API answer ---

// How a view shows a member: as its own type (switches as 0 or 1), or as true/false (a
// non-zero integer, a non-empty text).
enum qv_show : uint8_t { QV_SHOW_VALUE, QV_SHOW_FLAG };

// One member of a view: the key of a member of the source record, which source, how.
struct qv_view_member {
    const char *key;
    uint8_t source = 0;
    qv_show show = QV_SHOW_VALUE;
};

struct qv_view_source {
    qv_fields fields;
    const void *record;
};

// Adds the members to the object in the order given; texts are copied. A key that is not in
// its source's table adds nothing. A member that cannot be added (no memory) is left out, so
// the answer is short rather than absent. false when a member was left out.
[[nodiscard]] bool qv_record_view(yyjson_mut_doc *doc, yyjson_mut_val *obj,
                                  std::span<const qv_view_member> members,
                                  std::span<const qv_view_source> sources);

// --- bounded lists of records (a JSON array in one state file) ---

// An element is an entry only when it is an object whose key member (the table's first row, a
// text) is a string; other elements take no room. At most `max` entries are taken.
struct qv_list_store {
    const char *file;
    qv_fields fields;
    size_t entry_size;
    int max;
};

// A zeroed table with room for `max` entries (release it with free()) holding the entries; a
// missing or broken file is an empty list. -1 only when out of memory.
[[nodiscard]] int qv_list_load(const qv_list_store *s, void **table, int *count);
// qv_list_load for a table of the entry type itself.
template <typename T>
[[nodiscard]] int qv_list_load_as(const qv_list_store *s, T **table, int *count) {
    void *raw = nullptr;
    int rc = qv_list_load(s, table ? &raw : nullptr, count);
    if (table)
        *table = static_cast<T *>(raw);
    return rc;
}
// Replaces the file with the entries, pretty-printed. 0, or -1. A change that loaded the list
// first holds the state folder's lock (qv_state_lock) from the load to this save.
[[nodiscard]] int qv_list_save(const qv_list_store *s, const void *table, int count);
// The index of the first entry holding the key, or -1.
int qv_list_find(const qv_list_store *s, const void *table, int count, const char *key);
// 1 when an entry of the file holds the key, else 0; the answer the loaded table would give,
// found without filling one.
int qv_list_has(const qv_list_store *s, const char *key);
// Removes every entry holding the key, under the state folder's lock. 0 when none does any more
// (an unknown key leaves the file untouched); -1 when the lock is not obtained or the list
// cannot be loaded or saved.
[[nodiscard]] int qv_list_remove(const qv_list_store *s, const char *key);
