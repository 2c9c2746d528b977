#include "libs/cfg/cfg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

struct TreeRelease {
    void operator()(lcw_data_t* tree) const { cfg_release(tree); }
};
using Tree = std::unique_ptr<lcw_data_t, TreeRelease>;

Tree parse(const std::string& text) {
    return Tree(cfg_parse_buffer(text.c_str()));
}

std::string serialized(lcw_data_t* tree) {
    const char* text = cfg_serialize_compact(tree);
    return text != nullptr ? text : "<null>";
}

TEST(CfgTest, StrictParserTable) {
    struct Case {
        std::string text;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"{}", true},
        {"[]", true},
        {"0", true},
        {"-0", true},
        {"1.5E-3", true},
        {"\"text\"", true},
        {"true", true},
        {"null", true},
        {" \t\r\n{\"a\":[1,2,{\"b\":null}]} \n", true},
        {"\"\\u00e9\\ud83d\\ude00\"", true},
        {"\"a/b\\/c\"", true},
        {"", false},
        {"   ", false},
        {"01", false},
        {"-01", false},
        {"+1", false},
        {".5", false},
        {"1.", false},
        {"0x10", false},
        {"NaN", false},
        {"Infinity", false},
        {"-Infinity", false},
        {"'a'", false},
        {"{'a':1}", false},
        {"{a:1}", false},
        {"{\"a\":1,}", false},
        {"[1,2,]", false},
        {"[1 2]", false},
        {"{\"a\":1} x", false},
        {"{\"a\":1}{}", false},
        {"// note\n{}", false},
        {"/* note */{}", false},
        {"{} // note", false},
        {"\"a\tb\"", false},
        {"\"a\nb\"", false},
        {"\"a\x01\"", false},
        {"\"\\x41\"", false},
        {"\"\\ud800\"", false},
        {"\"\xff\"", false},
        {"tru", false},
        {"[", false},
    };
    for (const Case& c : cases) {
        Tree tree = parse(c.text);
        EXPECT_EQ(tree != nullptr, c.valid) << "text: " << c.text;
    }
    EXPECT_EQ(cfg_parse_buffer(nullptr), nullptr);
}

TEST(CfgTest, EmbeddedNulSurvivesRoundTrip) {
    const std::string text = R"({"s":"a\u0000b"})";
    Tree tree = parse(text);
    ASSERT_NE(tree, nullptr);
    // Readers see a C string, cut at the NUL; the tree keeps all three bytes.
    EXPECT_STREQ(cfg_get_param(tree.get(), "s"), "a");
    EXPECT_EQ(serialized(tree.get()), text);
}

TEST(CfgTest, CompactOutputKeepsInsertionOrderAndSlashes) {
    Tree tree(cfg_get_empty());
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(serialized(tree.get()), "{}");
    ASSERT_TRUE(cfg_set_int_param(tree.get(), "zeta", -3));
    ASSERT_TRUE(cfg_set_param(tree.get(), "alpha", "fw/ap.bin"));
    ASSERT_TRUE(cfg_set_boolean_param(tree.get(), "mid", true));
    lcw_data_t* list = cfg_insert_empty_array(tree.get(), "list");
    ASSERT_NE(list, nullptr);
    ASSERT_TRUE(cfg_insert_child_string(list, nullptr, "b"));
    ASSERT_TRUE(cfg_insert_child_string(list, nullptr, "a"));
    ASSERT_NE(cfg_insert_empty_subtree_or_exists(tree.get(), "sub"), nullptr);
    ASSERT_TRUE(cfg_set_param(tree.get(), "dor-version", "2.0"));
    EXPECT_EQ(serialized(tree.get()),
              R"({"zeta":-3,"alpha":"fw/ap.bin","mid":true,"list":["b","a"],"sub":{},)"
              R"("dor-version":"2.0"})");
}

TEST(CfgTest, TextValidUntilReserializedOrReleased) {
    size_t baseline = cfg_kept_texts();
    Tree tree(cfg_get_empty());
    ASSERT_TRUE(cfg_set_int_param(tree.get(), "code", 4027));
    const char* first = cfg_serialize_compact(tree.get());
    ASSERT_NE(first, nullptr);
    const std::string first_copy = first;

    // Changing the tree leaves the text it already handed out alone.
    ASSERT_TRUE(cfg_set_param(tree.get(), "dor-version", "2.0"));
    EXPECT_EQ(std::string(first), first_copy);

    const char* second = cfg_serialize_compact(tree.get());
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(std::string(second), R"({"code":4027,"dor-version":"2.0"})");
    EXPECT_EQ(cfg_kept_texts(), baseline + 1);  // the first text is gone

    tree.reset();
    EXPECT_EQ(cfg_kept_texts(), baseline);
}

TEST(CfgTest, TextsOfMembersDieWithTheirNodes) {
    size_t baseline = cfg_kept_texts();
    Tree tree = parse(R"({"a":{"x":1},"b":{"y":2}})");
    ASSERT_NE(tree, nullptr);
    lcw_data_t* a = cfg_get_subtree_from_path(tree.get(), "/a");
    lcw_data_t* b = cfg_get_subtree_from_path(tree.get(), "/b");
    EXPECT_EQ(serialized(a), R"({"x":1})");
    EXPECT_EQ(serialized(b), R"({"y":2})");
    ASSERT_EQ(cfg_kept_texts(), baseline + 2);

    // Replacing a member frees its node, and the node's text with it.
    ASSERT_TRUE(cfg_set_int_param(tree.get(), "a", 0));
    EXPECT_EQ(cfg_kept_texts(), baseline + 1);

    // Releasing the root frees the rest of the tree.
    tree.reset();
    EXPECT_EQ(cfg_kept_texts(), baseline);
}

TEST(CfgTest, InsertedChildOutlivesCallersRelease) {
    Tree parent(cfg_get_empty());
    Tree child(cfg_get_empty());
    ASSERT_TRUE(cfg_set_param(child.get(), "password", "pw"));
    ASSERT_NE(cfg_serialize_compact(child.get()), nullptr);
    ASSERT_TRUE(cfg_insert_child(parent.get(), "system", child.get()));
    child.reset();
    ASSERT_TRUE(cfg_set_int_param(parent.get(), "code", 1));
    EXPECT_EQ(serialized(parent.get()), R"({"system":{"password":"pw"},"code":1})");
}

TEST(CfgTest, BorrowedMemberSurvivesParentGrowth) {
    Tree tree(cfg_get_empty());
    lcw_data_t* member = cfg_insert_empty_subtree_or_exists(tree.get(), "m");
    ASSERT_NE(member, nullptr);
    constexpr int kMembers = 2000;
    for (int i = 0; i < kMembers; ++i) {
        ASSERT_TRUE(cfg_set_int_param(tree.get(), ("k" + std::to_string(i)).c_str(), i));
    }
    ASSERT_TRUE(cfg_set_param(member, "written", "late"));
    EXPECT_EQ(cfg_insert_empty_subtree_or_exists(tree.get(), "m"), member);

    Tree reread = parse(serialized(tree.get()));
    ASSERT_NE(reread, nullptr);
    EXPECT_STREQ(cfg_get_param(cfg_get_subtree_from_path(reread.get(), "/m"), "written"), "late");
    EXPECT_EQ(cfg_get_uint32_param(reread.get(), "k1999"), 1999u);
}

TEST(CfgTest, MemberTypeReadingTable) {
    Tree tree =
        parse(R"({"s":"text","empty":"","i":42,"neg":-1,"max":4294967295,"over":4294967296,)"
              R"("imax":2147483647,"imin":-2147483648,"ibig":2147483648,"r":1.5,"t":true,)"
              R"("f":false,"n":null,"o":{},"a":[]})");
    ASSERT_NE(tree, nullptr);
    struct Case {
        const char* key;
        cfg_type_t type;
        const char* text;
        uint32_t u32;
        std::optional<int> as_int;
    };
    const std::vector<Case> cases = {
        {"s", CFG_STRING, "text", 0, std::nullopt},
        {"empty", CFG_STRING, "", 0, std::nullopt},
        {"i", CFG_INTEGER, nullptr, 42, 42},
        {"neg", CFG_INTEGER, nullptr, 0, -1},
        {"max", CFG_INTEGER, nullptr, 4294967295u, std::nullopt},
        {"over", CFG_INTEGER, nullptr, 0, std::nullopt},
        {"imax", CFG_INTEGER, nullptr, 2147483647u, 2147483647},
        {"imin", CFG_INTEGER, nullptr, 0, -2147483647 - 1},
        {"ibig", CFG_INTEGER, nullptr, 2147483648u, std::nullopt},
        {"r", CFG_REAL, nullptr, 0, std::nullopt},
        {"t", CFG_BOOLEAN, nullptr, 0, std::nullopt},
        {"f", CFG_BOOLEAN, nullptr, 0, std::nullopt},
        {"n", CFG_NULL, nullptr, 0, std::nullopt},
        {"o", CFG_OBJECT, nullptr, 0, std::nullopt},
        {"a", CFG_ARRAY, nullptr, 0, std::nullopt},
        {"missing", CFG_ABSENT, nullptr, 0, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(cfg_param_type(tree.get(), c.key), c.type);
        EXPECT_EQ(cfg_contain_param(tree.get(), c.key) != 0, c.type != CFG_ABSENT);
        const char* text = cfg_get_param(tree.get(), c.key);
        if (c.text == nullptr) {
            EXPECT_EQ(text, nullptr);
        } else {
            EXPECT_STREQ(text, c.text);
        }
        EXPECT_EQ(cfg_get_uint32_param(tree.get(), c.key), c.u32);
        int value = 12345;
        int ok = cfg_object_to_int(cfg_get_subtree_from_path(tree.get(), c.key), &value);
        EXPECT_EQ(ok != 0, c.as_int.has_value());
        EXPECT_EQ(value, c.as_int.value_or(12345));  // untouched on failure
    }
    bool flag = false;
    EXPECT_TRUE(cfg_get_boolean_param(tree.get(), "t", &flag));
    EXPECT_TRUE(flag);
    EXPECT_TRUE(cfg_get_boolean_param(tree.get(), "f", &flag));
    EXPECT_FALSE(flag);
    EXPECT_FALSE(cfg_get_boolean_param(tree.get(), "i", &flag));
    // Readers on something that is not an object find nothing.
    lcw_data_t* array = cfg_get_subtree_from_path(tree.get(), "a");
    EXPECT_EQ(cfg_param_type(array, "s"), CFG_ABSENT);
    EXPECT_EQ(cfg_get_param(nullptr, "s"), nullptr);
}

TEST(CfgTest, MergeTable) {
    struct Case {
        const char* dst;
        const char* src;
        bool ok;
        const char* merged;  // dst afterwards
    };
    const std::vector<Case> cases = {
        {R"({"a":1,"b":2})", R"({"b":3,"c":4})", true, R"({"a":1,"b":3,"c":4})"},
        {R"({})", R"({})", true, R"({})"},
        {R"({"a":1})", R"({"o":{"x":[1]}})", true, R"({"a":1,"o":{"x":[1]}})"},
        {R"({"a":1})", R"([1])", false, R"({"a":1})"},
        {R"({"a":1})", R"("text")", false, R"({"a":1})"},
        {R"([1])", R"({"a":1})", false, R"([1])"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dst) + " <- " + c.src);
        Tree dst = parse(c.dst);
        Tree src = parse(c.src);
        ASSERT_NE(dst, nullptr);
        ASSERT_NE(src, nullptr);
        int err = 0;
        cfg_merge(dst.get(), src.get(), &err);
        EXPECT_EQ(err == 0, c.ok);
        EXPECT_EQ(serialized(dst.get()), c.merged);
    }
}

TEST(CfgTest, MergeErrorStaysAcrossLaterSuccess) {
    Tree dst(cfg_get_empty());
    Tree good = parse(R"({"a":1})");
    int err = 0;
    cfg_merge(dst.get(), nullptr, &err);
    cfg_merge(dst.get(), good.get(), &err);
    EXPECT_NE(err, 0);
    EXPECT_EQ(serialized(dst.get()), R"({"a":1})");
}

TEST(CfgTest, PathLookupTable) {
    Tree tree = parse(R"({"common":{"scpu":"1,2","deep":{"x":7}},"arr":[1]})");
    ASSERT_NE(tree, nullptr);
    struct Case {
        const char* path;
        const char* expected;  // serialized node, or null when absent
    };
    const std::vector<Case> cases = {
        {"/common/scpu", R"("1,2")"},
        {"common/scpu", R"("1,2")"},
        {"/common/deep/x", "7"},
        {"//common//deep/", R"({"x":7})"},
        {"", R"({"common":{"scpu":"1,2","deep":{"x":7}},"arr":[1]})"},
        {"/", R"({"common":{"scpu":"1,2","deep":{"x":7}},"arr":[1]})"},
        {"/common/missing", nullptr},
        {"/missing/scpu", nullptr},
        {"/common/scpu/x", nullptr},
        {"/arr/0", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        lcw_data_t* node = cfg_get_subtree_from_path(tree.get(), c.path);
        if (c.expected == nullptr) {
            EXPECT_EQ(node, nullptr);
        } else {
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(serialized(node), c.expected);
        }
    }
    EXPECT_EQ(cfg_get_subtree_from_path(nullptr, "/a"), nullptr);
    EXPECT_EQ(cfg_get_subtree_from_path(tree.get(), nullptr), nullptr);
}

TEST(CfgTest, ArrayIteratorVisitsEachElementOnce) {
    Tree tree = parse(R"({"list":[1,"two",{"three":3}],"o":{}})");
    lcw_data_t* list = cfg_get_subtree_from_path(tree.get(), "/list");
    lcw_array_iterator_t* it = cfg_alloc_array_iterator(list);
    ASSERT_NE(it, nullptr);
    // The iterator keeps the array alive on its own.
    tree.reset();
    std::vector<std::string> seen;
    while (lcw_data_t* element = cfg_next_array_iterator(it)) {
        seen.push_back(serialized(element));
        ASSERT_LE(seen.size(), 3u);
    }
    EXPECT_EQ(cfg_next_array_iterator(it), nullptr);
    cfg_release_array_iterator(it);
    EXPECT_EQ(seen, (std::vector<std::string>{"1", R"("two")", R"({"three":3})"}));

    Tree other = parse(R"({"o":{}})");
    EXPECT_EQ(cfg_alloc_array_iterator(cfg_get_subtree_from_path(other.get(), "/o")), nullptr);
    EXPECT_EQ(cfg_alloc_array_iterator(nullptr), nullptr);
}

TEST(CfgTest, BuildersRefuseWhatCannotBeBuilt) {
    Tree tree = parse(R"({"s":"x","arr":[]})");
    lcw_data_t* arr = cfg_get_subtree_from_path(tree.get(), "/arr");
    struct Case {
        const char* what;
        bool ok;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"subtree over a string", cfg_insert_empty_subtree_or_exists(tree.get(), "s") != nullptr,
         false},
        {"member of an array", cfg_set_param(arr, "k", "v") != 0, false},
        {"append to an object", cfg_insert_child_string(tree.get(), nullptr, "v") != 0, false},
        {"invalid UTF-8", cfg_set_param(tree.get(), "k", "\xff") != 0, false},
        {"null text", cfg_set_param(tree.get(), "k", nullptr) != 0, false},
        {"child into itself", cfg_insert_child(tree.get(), "self", tree.get()) != 0, false},
        {"append to an array", cfg_insert_child_string(arr, nullptr, "v") != 0, true},
        {"keyed string", cfg_insert_child_string(tree.get(), "k", "v") != 0, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.ok, c.expected) << c.what;
    }
    EXPECT_EQ(serialized(tree.get()), R"({"s":"x","arr":["v"],"k":"v"})");
}

TEST(CfgTest, ParentIntoItsOwnChildIsRefused) {
    Tree parent(cfg_get_empty());
    lcw_data_t* child = cfg_insert_empty_subtree_or_exists(parent.get(), "c");
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(cfg_insert_child(child, "loop", parent.get()), 0);
    int err = 0;
    cfg_merge(child, parent.get(), &err);
    EXPECT_NE(err, 0);
    EXPECT_EQ(serialized(parent.get()), R"({"c":{}})");
}

TEST(CfgTest, EmptyArrayReplacesOldMember) {
    Tree tree = parse(R"({"macs":["a"]})");
    lcw_data_t* macs = cfg_insert_empty_array(tree.get(), "macs");
    ASSERT_NE(macs, nullptr);
    ASSERT_TRUE(cfg_insert_child_string(macs, nullptr, "00:11:22:33:44:55"));
    EXPECT_EQ(serialized(tree.get()), R"({"macs":["00:11:22:33:44:55"]})");
}

}  // namespace
