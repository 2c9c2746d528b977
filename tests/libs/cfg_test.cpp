#include "libs/cfg/cfg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform/cfg_ptr.h"

namespace {

using Tree = CfgTree;

Tree parse(const std::string& text) {
    return Tree(cfg_parse_buffer(text.c_str()));
}

std::string serialized(lcw_data_t* tree) {
    const char* text = cfg_serialize_compact(tree);
    return text != nullptr ? text : "<null>";
}

TEST(CfgTest, StrictParser) {
    for (const char* good : {"{}", "[]", "-0", "1.5E-3", "\"text\"", "null",
                             " \t\r\n{\"a\":[1,2,{\"b\":null}]} \n", "\"\\u00e9\\ud83d\\ude00\""}) {
        EXPECT_NE(parse(good), nullptr) << good;
    }
    for (const char* bad :
         {"",          "   ",       "01",          "+1",          ".5",           "1.",
          "0x10",      "NaN",       "-Infinity",   "'a'",         "{a:1}",        "{\"a\":1,}",
          "[1,2,]",    "[1 2]",     "{\"a\":1} x", "// note\n{}", "/* note */{}", "\"a\tb\"",
          "\"a\x01\"", "\"\\x41\"", "\"\\ud800\"", "\"\xff\"",    "tru",          "["}) {
        EXPECT_EQ(parse(bad), nullptr) << bad;
    }
    EXPECT_EQ(cfg_parse_buffer(nullptr), nullptr);
    // Readers see a C string, cut at the NUL; the tree keeps all three bytes.
    const std::string nul = R"({"s":"a\u0000b"})";
    EXPECT_STREQ(cfg_get_param(parse(nul).get(), "s"), "a");
    EXPECT_EQ(serialized(parse(nul).get()), nul);
}

TEST(CfgTest, CompactOutputKeepsInsertionOrderAndSlashes) {
    Tree tree = parse(R"({"macs":["a"]})");
    Tree child(cfg_get_empty());
    ASSERT_TRUE(cfg_set_param(child.get(), "password", "pw"));
    ASSERT_NE(cfg_serialize_compact(child.get()), nullptr);
    ASSERT_TRUE(cfg_insert_child(tree.get(), "system", child.get()));
    child.reset();  // the parent holds its own reference
    ASSERT_TRUE(cfg_set_int_param(tree.get(), "zeta", -3));
    ASSERT_TRUE(cfg_insert_child_string(tree.get(), "alpha", "fw/ap.bin"));
    ASSERT_TRUE(cfg_set_boolean_param(tree.get(), "mid", true));
    ASSERT_NE(cfg_insert_empty_subtree_or_exists(tree.get(), "sub"), nullptr);
    lcw_data_t* list = cfg_insert_empty_array(tree.get(), "macs");  // replaces the old list
    ASSERT_TRUE(cfg_insert_child_string(list, nullptr, "b"));
    ASSERT_TRUE(cfg_insert_child_string(list, nullptr, "a"));
    EXPECT_EQ(serialized(tree.get()), R"({"macs":["b","a"],"system":{"password":"pw"},"zeta":-3,)"
                                      R"("alpha":"fw/ap.bin","mid":true,"sub":{}})");
}

TEST(CfgTest, TextsLiveUntilReserializedOrTheirNodeDies) {
    const size_t baseline = cfg_kept_texts();
    Tree tree = parse(R"({"a":{"x":1},"b":{"y":2}})");
    lcw_data_t* a = cfg_get_subtree_from_path(tree.get(), "/a");
    const char* first = cfg_serialize_compact(tree.get());
    ASSERT_NE(first, nullptr);
    const std::string first_copy = first;
    EXPECT_EQ(serialized(a), R"({"x":1})");
    EXPECT_EQ(serialized(cfg_get_subtree_from_path(tree.get(), "/b")), R"({"y":2})");
    EXPECT_EQ(cfg_kept_texts(), baseline + 3);

    // Changing the tree leaves a text already handed out alone; replacing a
    // member frees its node and the node's text.
    ASSERT_TRUE(cfg_set_int_param(tree.get(), "a", 0));
    EXPECT_EQ(std::string(first), first_copy);
    EXPECT_EQ(cfg_kept_texts(), baseline + 2);
    EXPECT_EQ(serialized(tree.get()), R"({"a":0,"b":{"y":2}})");
    EXPECT_EQ(cfg_kept_texts(), baseline + 2);

    tree.reset();
    EXPECT_EQ(cfg_kept_texts(), baseline);
}

TEST(CfgTest, MemberTypeReadingTable) {
    Tree tree =
        parse(R"({"s":"text","neg":-1,"max":4294967295,"over":4294967296,"imax":2147483647,)"
              R"("imin":-2147483648,"ibig":2147483648,"r":1.5,"t":true,"f":false,"a":[]})");
    ASSERT_NE(tree, nullptr);
    // key, type, text, as uint32, as int, as bool
    const std::vector<std::tuple<const char*, cfg_type_t, const char*, uint32_t, std::optional<int>,
                                 std::optional<bool>>>
        cases = {
            {"s", CFG_STRING, "text", 0, std::nullopt, std::nullopt},
            {"neg", CFG_INTEGER, nullptr, 0, -1, std::nullopt},
            {"max", CFG_INTEGER, nullptr, 4294967295u, std::nullopt, std::nullopt},
            {"over", CFG_INTEGER, nullptr, 0, std::nullopt, std::nullopt},
            {"imax", CFG_INTEGER, nullptr, 2147483647u, 2147483647, std::nullopt},
            {"imin", CFG_INTEGER, nullptr, 0, -2147483647 - 1, std::nullopt},
            {"ibig", CFG_INTEGER, nullptr, 2147483648u, std::nullopt, std::nullopt},
            {"r", CFG_REAL, nullptr, 0, std::nullopt, std::nullopt},
            {"f", CFG_BOOLEAN, nullptr, 0, std::nullopt, false},
            {"t", CFG_BOOLEAN, nullptr, 0, std::nullopt, true},
            {"a", CFG_ARRAY, nullptr, 0, std::nullopt, std::nullopt},
            {"missing", CFG_ABSENT, nullptr, 0, std::nullopt, std::nullopt},
        };
    for (const auto& [key, type, text, u32, as_int, as_bool] : cases) {
        SCOPED_TRACE(key);
        EXPECT_EQ(cfg_param_type(tree.get(), key), type);
        EXPECT_EQ(cfg_contain_param(tree.get(), key) != 0, type != CFG_ABSENT);
        EXPECT_STREQ(cfg_get_param(tree.get(), key), text);
        EXPECT_EQ(cfg_get_uint32_param(tree.get(), key), u32);
        // Both outputs stay untouched on failure.
        int value = 12345;
        EXPECT_EQ(cfg_object_to_int(cfg_get_subtree_from_path(tree.get(), key), &value) != 0,
                  as_int.has_value());
        EXPECT_EQ(value, as_int.value_or(12345));
        bool flag = true;
        EXPECT_EQ(cfg_get_boolean_param(tree.get(), key, &flag) != 0, as_bool.has_value());
        EXPECT_EQ(flag, as_bool.value_or(true));
    }
    // Readers on something that is not an object find nothing.
    EXPECT_EQ(cfg_param_type(cfg_get_subtree_from_path(tree.get(), "a"), "s"), CFG_ABSENT);
    EXPECT_EQ(cfg_get_param(nullptr, "s"), nullptr);
}

TEST(CfgTest, MergeTable) {
    // dst, src (null: no tree), merged, dst afterwards
    const std::vector<std::tuple<const char*, const char*, bool, const char*>> cases = {
        {R"({"a":1,"b":2})", R"({"b":3,"c":4})", true, R"({"a":1,"b":3,"c":4})"},
        {R"({"a":1})", R"({"o":{"x":[1]}})", true, R"({"a":1,"o":{"x":[1]}})"},
        {R"({"a":1})", R"([1])", false, R"({"a":1})"},
        {R"([1])", R"({"a":1})", false, R"([1])"},
        {R"({"a":1})", nullptr, false, R"({"a":1})"},
    };
    for (const auto& [dst_text, src_text, ok, merged] : cases) {
        SCOPED_TRACE(std::string(dst_text) + " <- " + (src_text ? src_text : "null"));
        Tree dst = parse(dst_text);
        Tree src = src_text ? parse(src_text) : nullptr;
        int err = 0;
        cfg_merge(dst.get(), src.get(), &err);
        EXPECT_EQ(err == 0, ok);
        // An error stays set across a later merge that works.
        Tree empty(cfg_get_empty());
        cfg_merge(dst.get(), empty.get(), &err);
        EXPECT_EQ(err == 0, ok);
        EXPECT_EQ(serialized(dst.get()), merged);
    }
}

TEST(CfgTest, PathLookupTable) {
    const std::string whole = R"({"common":{"scpu":"1,2","deep":{"x":7}},"arr":[1]})";
    Tree tree = parse(whole);
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"/common/scpu", R"("1,2")"},
        {"common/scpu", R"("1,2")"},
        {"/common/deep/x", "7"},
        {"//common//deep/", R"({"x":7})"},
        {"", whole},
        {"/", whole},
        {"/common/missing", "<null>"},
        {"/missing/scpu", "<null>"},
        {"/common/scpu/x", "<null>"},
        {"/arr/0", "<null>"},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(serialized(cfg_get_subtree_from_path(tree.get(), path)), expected) << path;
    }
    EXPECT_EQ(cfg_get_subtree_from_path(nullptr, "/a"), nullptr);
    EXPECT_EQ(cfg_get_subtree_from_path(tree.get(), nullptr), nullptr);
}

TEST(CfgTest, ArrayIteratorVisitsEachElementOnce) {
    Tree tree = parse(R"({"list":[1,"two",{"three":3}],"o":{}})");
    CfgArrayIterator it(cfg_alloc_array_iterator(cfg_get_subtree_from_path(tree.get(), "/list")));
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(cfg_alloc_array_iterator(cfg_get_subtree_from_path(tree.get(), "/o")), nullptr);
    EXPECT_EQ(cfg_alloc_array_iterator(nullptr), nullptr);
    tree.reset();  // the iterator keeps the array alive on its own
    std::vector<std::string> seen;
    while (lcw_data_t* element = cfg_next_array_iterator(it.get())) {
        seen.push_back(serialized(element));
        ASSERT_LE(seen.size(), 3u);
    }
    EXPECT_EQ(cfg_next_array_iterator(it.get()), nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", R"("two")", R"({"three":3})"}));
}

TEST(CfgTest, BuildersRefuseWhatCannotBeBuilt) {
    Tree tree = parse(R"({"s":"x","arr":[],"c":{}})");
    lcw_data_t* arr = cfg_get_subtree_from_path(tree.get(), "/arr");
    lcw_data_t* child = cfg_get_subtree_from_path(tree.get(), "/c");
    int err = 0;
    cfg_merge(child, tree.get(), &err);
    const std::vector<std::pair<const char*, bool>> cases = {
        {"subtree over a string", cfg_insert_empty_subtree_or_exists(tree.get(), "s") != nullptr},
        {"member of an array", cfg_set_param(arr, "k", "v") != 0},
        {"append to an object", cfg_insert_child_string(tree.get(), nullptr, "v") != 0},
        {"invalid UTF-8", cfg_set_param(tree.get(), "k", "\xff") != 0},
        {"null text", cfg_set_param(tree.get(), "k", nullptr) != 0},
        {"child into itself", cfg_insert_child(tree.get(), "self", tree.get()) != 0},
        {"parent into its child", cfg_insert_child(child, "loop", tree.get()) != 0},
        {"parent merged into its child", err == 0},
    };
    for (const auto& [what, ok] : cases) {
        EXPECT_FALSE(ok) << what;
    }
    EXPECT_EQ(serialized(tree.get()), R"({"s":"x","arr":[],"c":{}})");
}

// The shortcuts taken for large lists (shared string nodes, keys set without
// jansson's UTF-8 check) must never change what a tree holds.
// Members written with the same text stay independent: replacing or releasing
// one leaves the others as they were (ASan sees any node freed too early).
TEST(CfgTest, RepeatedStringsStayIndependent) {
    Tree first(cfg_get_empty());
    Tree second(cfg_get_empty());
    for (const char* mac : {"02:00:00:00:00:01", "02:00:00:00:00:02"}) {
        ASSERT_TRUE(cfg_insert_child_string(cfg_insert_empty_subtree_or_exists(first.get(), mac),
                                            "sa-status", "joined"));
    }
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "status", "joined"));
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "other", "awaited"));
    ASSERT_TRUE(cfg_insert_child_string(second.get(), "again", "joined"));

    lcw_data_t* one = cfg_get_subtree_from_path(first.get(), "/02:00:00:00:00:01");
    ASSERT_TRUE(cfg_set_param(one, "sa-status", "expired"));
    EXPECT_EQ(serialized(first.get()), R"({"02:00:00:00:00:01":{"sa-status":"expired"},)"
                                       R"("02:00:00:00:00:02":{"sa-status":"joined"}})");
    first.reset();
    EXPECT_EQ(serialized(second.get()),
              R"({"status":"joined","other":"awaited","again":"joined"})");
    EXPECT_STREQ(cfg_get_param(second.get(), "again"), "joined");
}

TEST(CfgTest, KeysMustBeUtf8) {
    const struct {
        const char* key;
        bool accepted;
    } cases[] = {
        {"plain", true},    {"caf\xc3\xa9", true}, {"\xe2\x82\xac", true},   {"\xff", false},
        {"caf\xc3", false}, {"\xc0\xaf", false},   {"a\xed\xa0\x80", false},  // a lone surrogate
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        Tree strings(cfg_get_empty()), objects(cfg_get_empty()), ints(cfg_get_empty());
        EXPECT_EQ(cfg_insert_child_string(strings.get(), c.key, "v") != 0, c.accepted);
        EXPECT_EQ(cfg_insert_empty_subtree_or_exists(objects.get(), c.key) != nullptr, c.accepted);
        EXPECT_EQ(cfg_set_int_param(ints.get(), c.key, 1) != 0, c.accepted);
    }
}

}  // namespace
