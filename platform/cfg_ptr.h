#pragma once
// Owners for configuration-tree resources, so every path releases them.

#include <memory>

#include "libs/cfg/cfg.h"

struct CfgRelease {
    void operator()(lcw_data_t* tree) const { cfg_release(tree); }
};
using CfgTree = std::unique_ptr<lcw_data_t, CfgRelease>;

struct CfgIteratorRelease {
    void operator()(lcw_array_iterator_t* it) const { cfg_release_array_iterator(it); }
};
using CfgArrayIterator = std::unique_ptr<lcw_array_iterator_t, CfgIteratorRelease>;
