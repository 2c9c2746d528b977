#include "libs/board/board_types.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "libs/cfg/cfg.h"

namespace {

BoardTypesParams builtin_table() {
    return BoardTypesParams{{
        {"dor-ap110", 0x0110, "indoor 2x2 dual-band, ceiling mount"},
        {"dor-ap120w", 0x0120, "indoor 2x2 dual-band, wall plate with wired ports"},
        {"dor-ap210", 0x0210, "indoor 4x4 dual-band"},
        {"dor-ap310", 0x0310, "indoor 4x4 tri-band"},
        {"dor-ap410o", 0x0410, "outdoor 2x2 dual-band, IP67"},
    }};
}

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TreeReleaser {
    lcw_data_t* tree;
    ~TreeReleaser() { cfg_release(tree); }
};

struct IteratorReleaser {
    lcw_array_iterator_t* it;
    ~IteratorReleaser() { cfg_release_array_iterator(it); }
};

std::optional<BoardType> read_entry(lcw_data_t* entry) {
    const char* name = cfg_get_param(entry, "name");
    if (name == nullptr || *name == '\0' || std::string_view(name).size() > kFwBoardNameMax ||
        cfg_param_type(entry, "id") != CFG_INTEGER) {
        return std::nullopt;
    }
    BoardType type{name, cfg_get_uint32_param(entry, "id"), {}};
    if (const char* description = cfg_get_param(entry, "description")) {
        type.description = description;
    }
    return type;
}

void merge_file(BoardTypesParams& params, const char* path) {
    const std::string text = read_file(path);
    if (text.empty()) {
        return;
    }
    TreeReleaser root{cfg_parse_buffer(text.c_str())};
    if (root.tree == nullptr) {
        return;
    }
    lcw_data_t* list = cfg_get_subtree_from_path(root.tree, "/board-types");
    if (list == nullptr) {
        return;
    }
    IteratorReleaser it{cfg_alloc_array_iterator(list)};
    if (it.it == nullptr) {
        return;
    }
    while (lcw_data_t* node = cfg_next_array_iterator(it.it)) {
        std::optional<BoardType> type = read_entry(node);
        if (!type) {
            continue;
        }
        bool replaced = false;
        for (BoardType& known : params.types) {
            if (known.name == type->name) {
                known = *type;
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            params.types.push_back(std::move(*type));
        }
    }
}

}  // namespace

const BoardType* BoardTypesParams::find(std::string_view name) const {
    for (const BoardType& type : types) {
        if (type.name == name) {
            return &type;
        }
    }
    return nullptr;
}

BoardTypesParams dorbt_get_board_types_params() {
    BoardTypesParams params = builtin_table();
    if (const char* path = std::getenv("DOR_BOARD_TYPES"); path != nullptr && *path != '\0') {
        merge_file(params, path);
    }
    return params;
}
