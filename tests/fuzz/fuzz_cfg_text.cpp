// Any JSON text: the tree's compact text is byte for byte what jansson itself
// writes, and it parses back to the same text.

#include <jansson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "libs/cfg/cfg.h"
#include "platform/cfg_ptr.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CfgTree tree(cfg_parse_buffer(input.c_str()));
    if (!tree)
        return 0;
    const char* ours = cfg_serialize_compact(tree.get());
    std::unique_ptr<char, decltype(&std::free)> theirs(
        json_dumps(reinterpret_cast<json_t*>(tree.get()), JSON_COMPACT | JSON_ENCODE_ANY),
        &std::free);
    if (ours == nullptr || theirs == nullptr || std::strcmp(ours, theirs.get()) != 0)
        std::abort();
    CfgTree again(cfg_parse_buffer(ours));
    if (!again || std::strcmp(cfg_serialize_compact(again.get()), ours) != 0)
        std::abort();
    return 0;
}
