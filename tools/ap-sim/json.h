#pragma once
// Owning handle for jansson values.

#include <jansson.h>

#include <memory>

struct JsonRelease {
    void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonRelease>;

struct JsonTextRelease {
    void operator()(char* text) const { free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextRelease>;
