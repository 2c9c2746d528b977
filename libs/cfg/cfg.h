#pragma once
// Configuration trees: JSON documents handled through opaque node pointers.
//
// Ownership: cfg_parse_buffer and cfg_get_empty hand out a tree that the caller
// releases with cfg_release. Every other node pointer is borrowed from its tree
// and stays valid while the tree lives, also when its parent grows. Object
// members keep their insertion order.

#include <cstddef>
#include <cstdint>

struct lcw_data_t;
struct lcw_array_iterator_t;

// Strict RFC 8259 parse of NUL-terminated text; any JSON value at the top.
// Null on bad text.
lcw_data_t* cfg_parse_buffer(const char* text);
// A new empty object, or null.
lcw_data_t* cfg_get_empty();
// Drops the caller's reference; null is ignored.
void cfg_release(lcw_data_t* tree);

// "/a/b" walks object members from `tree`; null when a step is missing.
lcw_data_t* cfg_get_subtree_from_path(lcw_data_t* tree, const char* path);

lcw_array_iterator_t* cfg_alloc_array_iterator(lcw_data_t* array);  // null if not an array
lcw_data_t* cfg_next_array_iterator(lcw_array_iterator_t* it);      // null at the end
void cfg_release_array_iterator(lcw_array_iterator_t* it);

// Non-zero on success: only a JSON integer that fits an int converts.
int cfg_object_to_int(lcw_data_t* node, int* value);

// Non-zero when `tree` is an object holding `key`.
int cfg_contain_param(lcw_data_t* tree, const char* key);
// Text of a string member, owned by the tree; null when absent or not a string.
const char* cfg_get_param(lcw_data_t* tree, const char* key);
// An integer member in 0..UINT32_MAX; 0 when absent or of another type.
uint32_t cfg_get_uint32_param(lcw_data_t* tree, const char* key);

enum cfg_type_t {
    CFG_ABSENT,
    CFG_STRING,
    CFG_INTEGER,
    CFG_REAL,
    CFG_BOOLEAN,
    CFG_NULL,
    CFG_OBJECT,
    CFG_ARRAY,
};
// What a member holds; lets readers refuse members of the wrong JSON type.
cfg_type_t cfg_param_type(lcw_data_t* tree, const char* key);
// What a node itself holds; CFG_ABSENT for null.
cfg_type_t cfg_node_type(lcw_data_t* node);
// Members of an object or elements of an array; 0 for anything else.
size_t cfg_size(lcw_data_t* node);
// Non-zero, with *value set, when `key` holds true or false.
int cfg_get_boolean_param(lcw_data_t* tree, const char* key, bool* value);

// Set or replace a member; non-zero on success.
int cfg_set_param(lcw_data_t* tree, const char* key, const char* text);
int cfg_set_int_param(lcw_data_t* tree, const char* key, int value);
int cfg_set_boolean_param(lcw_data_t* tree, const char* key, bool value);

// The object member under `key`, created empty if missing; null on failure
// (including a present member that is not an object).
lcw_data_t* cfg_insert_empty_subtree_or_exists(lcw_data_t* tree, const char* key);
// A new empty array member (replacing any old one); null on failure.
lcw_data_t* cfg_insert_empty_array(lcw_data_t* tree, const char* key);
// Adds a string; a null key appends to the array `node`. Non-zero on success.
int cfg_insert_child_string(lcw_data_t* node, const char* key, const char* text);
// Puts `child` under `key`; the parent takes its own reference, the caller
// still releases `child`. Non-zero on success.
int cfg_insert_child(lcw_data_t* parent, const char* key, lcw_data_t* child);
// Copies the members of object `src` into object `dst`; sets *err non-zero on
// failure and leaves it untouched on success.
void cfg_merge(lcw_data_t* dst, lcw_data_t* src, int* err);

// Compact JSON ("," and ":" without blanks), members in insertion order, "/"
// not escaped. The text is owned by the tree: valid until the same node is
// serialized again or released. Null on failure.
const char* cfg_serialize_compact(lcw_data_t* tree);
// How many serialized texts are held right now; shows that texts die with
// their nodes.
size_t cfg_kept_texts();
