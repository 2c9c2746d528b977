#include "libs/cfg/cfg.h"

#include <jansson.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

struct lcw_array_iterator_t {
    json_t* array;  // holds a reference so the elements outlive the caller's tree
    size_t index;
};

namespace {

json_t* J(lcw_data_t* node) {
    return reinterpret_cast<json_t*>(node);
}
lcw_data_t* D(json_t* node) {
    return reinterpret_cast<lcw_data_t*>(node);
}

// Serialized texts belong to their node. Besides the explicit drops on release
// and reserialization, jansson's free hook drops the text of a node that dies
// some other way (a member replaced, a subtree freed with its root), so a later
// node at the same address never finds a stale text.
class TextTable {
  public:
    const char* store(const json_t* node, std::string text) {
        std::lock_guard lock(mu_);
        auto [it, inserted] = texts_.insert_or_assign(node, std::move(text));
        count_.store(texts_.size(), std::memory_order_relaxed);
        return it->second.c_str();
    }
    void drop(const void* node) {
        if (count_.load(std::memory_order_relaxed) == 0) {
            return;
        }
        std::lock_guard lock(mu_);
        texts_.erase(static_cast<const json_t*>(node));
        count_.store(texts_.size(), std::memory_order_relaxed);
    }

    size_t size() const { return count_.load(std::memory_order_relaxed); }

  private:
    std::mutex mu_;
    std::unordered_map<const json_t*, std::string> texts_;
    std::atomic<size_t> count_{0};
};

// Never destroyed: static trees may be released during static destruction.
TextTable& texts() {
    static TextTable* table = new TextTable;
    return *table;
}

void* hook_malloc(size_t size) {
    return std::malloc(size);
}

void hook_free(void* ptr) {
    if (ptr != nullptr) {
        texts().drop(ptr);
    }
    std::free(ptr);
}

// The hooks only wrap malloc and free, so blocks allocated before they were
// installed are freed correctly through them.
void install_hooks() {
    static const bool installed = [] {
        texts();
        json_set_alloc_funcs(hook_malloc, hook_free);
        return true;
    }();
    (void)installed;
}

json_t* member(lcw_data_t* tree, const char* key) {
    if (tree == nullptr || key == nullptr || !json_is_object(J(tree))) {
        return nullptr;
    }
    return json_object_get(J(tree), key);
}

// Guards against reference cycles, which jansson would leak.
bool contains_node(const json_t* haystack, const json_t* needle, int depth = 0) {
    if (haystack == needle) {
        return true;
    }
    if (depth > 2048) {
        return true;  // deeper than any tree we build: refuse rather than recurse on
    }
    if (json_is_object(haystack)) {
        const char* key;
        json_t* value;
        json_object_foreach(const_cast<json_t*>(haystack), key, value) {
            if (contains_node(value, needle, depth + 1)) {
                return true;
            }
        }
    } else if (json_is_array(haystack)) {
        size_t index;
        json_t* value;
        json_array_foreach(haystack, index, value) {
            if (contains_node(value, needle, depth + 1)) {
                return true;
            }
        }
    }
    return false;
}

int set_member(lcw_data_t* tree, const char* key, json_t* value) {
    if (tree == nullptr || key == nullptr || !json_is_object(J(tree))) {
        json_decref(value);
        return 0;
    }
    // jansson's UTF-8 check of every key was a fifth of building the MAC list;
    // plain ASCII needs none. Both calls take the value's reference also on failure.
    const bool ascii = std::all_of(key, key + std::strlen(key),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const int rc = ascii ? json_object_set_new_nocheck(J(tree), key, value)
                         : json_object_set_new(J(tree), key, value);
    return rc == 0 ? 1 : 0;
}

// A string node for `text`, shared with the previous call when the text is the
// same: the MAC list writes one status text under every AP, and sharing spares
// two allocations each. Safe because no call here changes a string node in
// place (setters replace the member).
json_t* shared_string(const char* text) {
    static std::mutex mu;
    static json_t* last = nullptr;  // one reference held for the process' life
    std::lock_guard lock(mu);
    if (last == nullptr || std::strcmp(json_string_value(last), text) != 0) {
        json_t* fresh = json_string(text);
        if (fresh == nullptr) {
            return nullptr;
        }
        json_decref(last);
        last = fresh;
    }
    return json_incref(last);
}

void write_string(std::string_view text, std::string& out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '"';
    size_t plain = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(text.substr(plain, i - plain));
        plain = i + 1;
        static constexpr std::pair<unsigned char, const char*> kShort[] = {
            {'"', "\\\""}, {'\\', "\\\\"}, {'\b', "\\b"}, {'\f', "\\f"},
            {'\n', "\\n"}, {'\r', "\\r"},  {'\t', "\\t"}};
        const auto* found = std::find_if(std::begin(kShort), std::end(kShort),
                                         [c](const auto& entry) { return entry.first == c; });
        if (found != std::end(kShort)) {
            out += found->second;
        } else {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
    }
    out.append(text.substr(plain));
    out += '"';
}

// Compact text in the same bytes as jansson's JSON_COMPACT dump. Ours because
// jansson's dump hashes a printed pointer of every open object to catch loops
// (which our trees cannot hold: insert and merge refuse them), and that doubled
// the cost of a 100,000-member MAC list.
bool write_node(const json_t* node, std::string& out, int depth = 0) {
    if (depth > 2048) {
        return false;
    }
    switch (json_typeof(node)) {
        case JSON_OBJECT: {
            out += '{';
            json_t* object = const_cast<json_t*>(node);
            for (void* it = json_object_iter(object); it != nullptr;
                 it = json_object_iter_next(object, it)) {
                if (out.back() != '{') {
                    out += ',';
                }
                write_string({json_object_iter_key(it), json_object_iter_key_len(it)}, out);
                out += ':';
                if (!write_node(json_object_iter_value(it), out, depth + 1)) {
                    return false;
                }
            }
            out += '}';
            return true;
        }
        case JSON_ARRAY: {
            out += '[';
            for (size_t i = 0; i < json_array_size(node); ++i) {
                if (i > 0) {
                    out += ',';
                }
                if (!write_node(json_array_get(node, i), out, depth + 1)) {
                    return false;
                }
            }
            out += ']';
            return true;
        }
        case JSON_STRING:
            write_string({json_string_value(node), json_string_length(node)}, out);
            return true;
        case JSON_INTEGER:
            out += std::to_string(json_integer_value(node));
            return true;
        case JSON_TRUE:
            out += "true";
            return true;
        case JSON_FALSE:
            out += "false";
            return true;
        case JSON_NULL:
            out += "null";
            return true;
        case JSON_REAL: {
            // Rare in our trees; jansson's shortest round-trip form is kept.
            char* text = json_dumps(node, JSON_ENCODE_ANY | JSON_COMPACT);
            if (text == nullptr) {
                return false;
            }
            out += text;
            hook_free(text);  // jansson allocated it through the hooks
            return true;
        }
    }
    return false;
}

}  // namespace

lcw_data_t* cfg_parse_buffer(const char* text) {
    install_hooks();
    if (text == nullptr) {
        return nullptr;
    }
    json_error_t error;
    return D(json_loads(text, JSON_DECODE_ANY | JSON_ALLOW_NUL, &error));
}

lcw_data_t* cfg_get_empty() {
    install_hooks();
    return D(json_object());
}

void cfg_release(lcw_data_t* tree) {
    if (tree == nullptr) {
        return;
    }
    texts().drop(tree);
    json_decref(J(tree));
}

lcw_data_t* cfg_get_subtree_from_path(lcw_data_t* tree, const char* path) {
    if (tree == nullptr || path == nullptr) {
        return nullptr;
    }
    json_t* node = J(tree);
    std::string_view rest(path);
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string step(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (step.empty()) {
            continue;  // leading, doubled or trailing "/"
        }
        if (!json_is_object(node)) {
            return nullptr;
        }
        node = json_object_get(node, step.c_str());
        if (node == nullptr) {
            return nullptr;
        }
    }
    return D(node);
}

lcw_array_iterator_t* cfg_alloc_array_iterator(lcw_data_t* array) {
    if (array == nullptr || !json_is_array(J(array))) {
        return nullptr;
    }
    return new lcw_array_iterator_t{json_incref(J(array)), 0};
}

lcw_data_t* cfg_next_array_iterator(lcw_array_iterator_t* it) {
    if (it == nullptr || it->index >= json_array_size(it->array)) {
        return nullptr;
    }
    return D(json_array_get(it->array, it->index++));
}

void cfg_release_array_iterator(lcw_array_iterator_t* it) {
    if (it == nullptr) {
        return;
    }
    json_decref(it->array);
    delete it;
}

int cfg_object_to_int(lcw_data_t* node, int* value) {
    if (node == nullptr || value == nullptr || !json_is_integer(J(node))) {
        return 0;
    }
    json_int_t number = json_integer_value(J(node));
    if (number < INT_MIN || number > INT_MAX) {
        return 0;
    }
    *value = static_cast<int>(number);
    return 1;
}

int cfg_contain_param(lcw_data_t* tree, const char* key) {
    return member(tree, key) ? 1 : 0;
}

const char* cfg_get_param(lcw_data_t* tree, const char* key) {
    return json_string_value(member(tree, key));  // null for any other type
}

uint32_t cfg_get_uint32_param(lcw_data_t* tree, const char* key) {
    json_t* value = member(tree, key);
    if (!json_is_integer(value)) {
        return 0;
    }
    json_int_t number = json_integer_value(value);
    if (number < 0 || number > static_cast<json_int_t>(UINT32_MAX)) {
        return 0;
    }
    return static_cast<uint32_t>(number);
}

cfg_type_t cfg_param_type(lcw_data_t* tree, const char* key) {
    json_t* value = member(tree, key);
    return value != nullptr ? cfg_node_type(D(value)) : CFG_ABSENT;
}

cfg_type_t cfg_node_type(lcw_data_t* node) {
    if (node == nullptr) {
        return CFG_ABSENT;
    }
    switch (json_typeof(J(node))) {
        case JSON_STRING:
            return CFG_STRING;
        case JSON_INTEGER:
            return CFG_INTEGER;
        case JSON_REAL:
            return CFG_REAL;
        case JSON_TRUE:
        case JSON_FALSE:
            return CFG_BOOLEAN;
        case JSON_NULL:
            return CFG_NULL;
        case JSON_OBJECT:
            return CFG_OBJECT;
        case JSON_ARRAY:
            return CFG_ARRAY;
    }
    return CFG_ABSENT;
}

size_t cfg_size(lcw_data_t* node) {
    if (node == nullptr) {
        return 0;
    }
    if (json_is_object(J(node))) {
        return json_object_size(J(node));
    }
    return json_is_array(J(node)) ? json_array_size(J(node)) : 0;
}

int cfg_get_boolean_param(lcw_data_t* tree, const char* key, bool* value) {
    json_t* node = member(tree, key);
    if (value == nullptr || !json_is_boolean(node)) {
        return 0;
    }
    *value = json_is_true(node);
    return 1;
}

int cfg_set_param(lcw_data_t* tree, const char* key, const char* text) {
    if (text == nullptr) {
        return 0;
    }
    // json_string refuses invalid UTF-8, which could not be serialized later.
    return set_member(tree, key, json_string(text));
}

int cfg_set_int_param(lcw_data_t* tree, const char* key, int value) {
    return set_member(tree, key, json_integer(value));
}

int cfg_set_boolean_param(lcw_data_t* tree, const char* key, bool value) {
    return set_member(tree, key, json_boolean(value));
}

lcw_data_t* cfg_insert_empty_subtree_or_exists(lcw_data_t* tree, const char* key) {
    json_t* existing = member(tree, key);
    if (existing != nullptr) {
        return json_is_object(existing) ? D(existing) : nullptr;
    }
    json_t* child = json_object();
    if (child == nullptr) {
        return nullptr;
    }
    return set_member(tree, key, child) ? D(child) : nullptr;
}

lcw_data_t* cfg_insert_empty_array(lcw_data_t* tree, const char* key) {
    json_t* array = json_array();
    if (array == nullptr) {
        return nullptr;
    }
    return set_member(tree, key, array) ? D(array) : nullptr;
}

int cfg_insert_child_string(lcw_data_t* node, const char* key, const char* text) {
    if (node == nullptr || text == nullptr) {
        return 0;
    }
    if (key != nullptr) {
        return set_member(node, key, shared_string(text));
    }
    if (!json_is_array(J(node))) {
        return 0;
    }
    return json_array_append_new(J(node), json_string(text)) == 0 ? 1 : 0;
}

int cfg_insert_child(lcw_data_t* parent, const char* key, lcw_data_t* child) {
    if (parent == nullptr || key == nullptr || child == nullptr || !json_is_object(J(parent))) {
        return 0;
    }
    if (contains_node(J(child), J(parent))) {
        return 0;
    }
    return json_object_set(J(parent), key, J(child)) == 0 ? 1 : 0;
}

void cfg_merge(lcw_data_t* dst, lcw_data_t* src, int* err) {
    bool ok = dst != nullptr && src != nullptr && json_is_object(J(dst)) &&
              json_is_object(J(src)) && (dst == src || !contains_node(J(src), J(dst))) &&
              json_object_update(J(dst), J(src)) == 0;
    if (!ok && err != nullptr) {
        *err = 1;
    }
}

const char* cfg_serialize_compact(lcw_data_t* tree) {
    if (tree == nullptr) {
        return nullptr;
    }
    install_hooks();
    std::string text;
    if (!write_node(J(tree), text)) {
        texts().drop(tree);  // the old text is void once the node is serialized again
        return nullptr;
    }
    return texts().store(J(tree), std::move(text));
}

size_t cfg_kept_texts() {
    return texts().size();
}
