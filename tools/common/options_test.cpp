#include "tools/common/options.h"

#include <gtest/gtest.h>

namespace {

struct Fields {
    int n = 0;
    std::string s, e;
    bool f = false;
};

cli::CommandLine command_line(Fields& x) {
    return {"usage: t\n",
            {{"Some",
              10,
              {{"--n", "N", "1 to 10", cli::number(1, 10, x.n)},
               {"--s", "S", "text\nand more", cli::text(x.s)},
               {"--e", "E", "", cli::text_or_empty(x.e)},
               {"--f", "", "flag", cli::flag(x.f)}}},
             {"", 8, {{"-h, --help", "", "this", {}}}}},
            "end\n"};
}

TEST(CommandLine, ParsesAndRefusesByTable) {
    struct Case {
        std::vector<std::string> args;
        const char* error;  // empty: accepted
        Fields expect;
        bool help = false;
    };
    const std::vector<Case> cases = {
        {{"--n", "7", "--s=a=b", "--e="}, "", {7, "a=b", "", false}},
        {{"--f=no", "--n=10"}, "", {10, "", "", true}},
        {{"--n", "x"}, "bad value for --n: 'x'", {}},
        {{"--n", "11"}, "bad value for --n: '11'", {}},
        {{"--n", "99999999999999999999"}, "bad value for --n: '99999999999999999999'", {}},
        {{"--s", ""}, "bad value for --s: ''", {}},
        {{"--f", "--n"}, "--n needs a value", {0, "", "", true}},
        {{"--bogus", "--help"}, "unknown option --bogus", {}},
        {{"-h, --help"}, "unknown option -h, --help", {}},
        {{"-n=3"}, "unknown option -n=3", {}},
        {{"--n", "2", "--help=x", "--bogus"}, "", {2, "", "", false}, true},
        {{"-h"}, "", {}, true},
    };
    for (const Case& c : cases) {
        Fields got;
        bool help = false;
        std::string error;
        const bool ok = cli::parse(command_line(got), c.args, &help, &error);
        const std::string where = c.args[0];
        EXPECT_EQ(ok, *c.error == '\0') << where;
        EXPECT_EQ(error, c.error) << where;
        EXPECT_EQ(help, c.help) << where;
        EXPECT_EQ(got.n, c.expect.n) << where;
        EXPECT_EQ(got.f, c.expect.f) << where;
        if (ok) {
            EXPECT_EQ(got.s, c.expect.s) << where;
        }
    }
}

TEST(CommandLine, UsageListsTheTable) {
    Fields unused;
    EXPECT_EQ(cli::usage_text(command_line(unused)),
              "usage: t\n"
              "\n"
              "Some:\n"
              "  --n N   1 to 10\n"
              "  --s S   text\n"
              "          and more\n"
              "  --e E, --f   flag\n"
              "\n"
              "  -h, --help   this\n"
              "\n"
              "end\n");
}

}  // namespace
