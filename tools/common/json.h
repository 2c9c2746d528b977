#pragma once
// Owning handles for jansson values and the texts json_dumps returns.

#include <jansson.h>

#include <cstdlib>
#include <memory>

struct JsonRelease {
    void operator()(json_t* value) const { json_decref(value); }
};
using JsonPtr = std::unique_ptr<json_t, JsonRelease>;

struct JsonTextRelease {
    void operator()(char* text) const { std::free(text); }
};
using JsonText = std::unique_ptr<char, JsonTextRelease>;
