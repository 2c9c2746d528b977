// Building trees: what the shortcuts taken for large lists (shared string
// nodes, keys set without jansson's UTF-8 check) must never change.

#include <gtest/gtest.h>

#include <string>

#include "libs/cfg/cfg.h"
#include "platform/cfg_ptr.h"

namespace {

std::string text_of(lcw_data_t* tree) {
    const char* text = cfg_serialize_compact(tree);
    return text != nullptr ? text : "<null>";
}

// Members written with the same text stay independent: replacing or releasing
// one leaves the others as they were (ASan sees any node freed too early).
TEST(CfgBuild, RepeatedStringsStayIndependent) {
    CfgTree first(cfg_get_empty());
    CfgTree second(cfg_get_empty());
    for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02"}) {
        ASSERT_TRUE(cfg_insert_child_string(cfg_insert_empty_subtree_or_exists(first.get(), mac),
                                            "sa-status", "joined"));
    }
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "status", "joined"));
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "other", "awaited"));
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "again", "joined"));

    lcw_data_t* one = cfg_get_subtree_from_path(first.get(), "/02:00:00:00:00:01");
    ASSERT_TRUE(cfg_set_param(one, "sa-status", "expired"));
    EXPECT_EQ(text_of(first.get()), R"({"02:00:00:00:00:01":{"sa-status":"expired"},)"
                                    R"("02:00:00:00:00:02":{"sa-status":"joined"}})");
    first.reset();
    EXPECT_EQ(text_of(second.get()), R"({"status":"joined","other":"awaited","again":"joined"})");
    EXPECT_STREQ(cfg_get_param(second.get(), "again"), "joined");
}

TEST(CfgBuild, KeysMustBeUtf8) {
    const struct {
        const char* key;
        bool accepted;
    } cases[] = {
        {"plain", true},    {"caf\xc3\xa9", true}, {"\xe2\x82\xac", true},   {"\xff", false},
        {"caf\xc3", false}, {"\xc0\xaf", false},   {"a\xed\xa0\x80", false},  // a lone surrogate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        CfgTree strings(cfg_get_empty()), objects(cfg_get_empty()), ints(cfg_get_empty());
        EXPECT_EQ(cfg_insert_child_string(strings.get(), c.key, "v") != 0, c.accepted);
        EXPECT_EQ(cfg_insert_empty_subtree_or_exists(objects.get(), c.key) != nullptr, c.accepted);
        EXPECT_EQ(cfg_set_int_param(ints.get(), c.key, 1) != 0, c.accepted);
    }
}

}  // namespace
