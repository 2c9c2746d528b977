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
        bool version = false;
        std::vector<std::string> operands = {};
    };
    const std::vector<Case> cases = {
        {{"--n", "7", "--s=a=b", "--e="}, "", {7, "a=b", "", false}},
        {{"--f=no", "--n=10"}, "", {10, "", "", true}},
        {{"--n", "x"}, "bad value for --n: 'x'", {}},
        {{"--n", "11"}, "bad value for --n: '11'", {}},
        {{"--n", "99999999999999999999"}, "bad value for --n: '99999999999999999999'", {}},
        {{"--s", ""}, "bad value for --s: ''", {}},
        {{"--f", "--n"}, "--n needs a value", {0, "", "", true}},
        {{"--bogus", "--help"}, "unknown option '--bogus'", {}},
        {{"-h, --help"}, "unknown option '-h, --help'", {}},
        {{"-n=3"}, "unknown option '-n=3'", {}},
        {{"--n", "2", "--help=x", "--bogus"}, "", {2, "", "", false}, true},
        {{"-h"}, "", {}, true},
        {{"--version", "--bogus"}, "", {}, false, true},
        {{"a", "--n", "3", "-", "b"}, "", {3, "", "", false}, false, false, {"a", "-", "b"}},
        {{"--", "--n", "-h"}, "", {}, false, false, {"--n", "-h"}},
        {{"a", "b", "c", "d"}, "unexpected argument 'd'", {}},
    };
    for (const Case& c : cases) {
        Fields got;
        cli::CommandLine line = command_line(got);
        line.max_operands = 3;
        cli::Request request;
        std::string error;
        const bool ok = cli::parse(line, c.args, &request, &error);
        const std::string where = c.args[0];
        EXPECT_EQ(ok, *c.error == '\0') << where;
        EXPECT_EQ(error, c.error) << where;
        EXPECT_EQ(request.help, c.help) << where;
        EXPECT_EQ(request.version, c.version) << where;
        EXPECT_EQ(got.n, c.expect.n) << where;
        EXPECT_EQ(got.f, c.expect.f) << where;
        if (ok) {
            EXPECT_EQ(got.s, c.expect.s) << where;
            EXPECT_EQ(request.operands, c.operands) << where;
        }
    }
}

// Tools without operands or --version keep the short form.
TEST(CommandLine, ShortFormRefusesOperandsAndVersion) {
    for (const auto& [arg, error] : {std::pair{"x", "unexpected argument 'x'"},
                                     std::pair{"--version", "unknown option '--version'"}}) {
        Fields got;
        bool help = false;
        std::string said;
        EXPECT_FALSE(cli::parse(command_line(got), {arg}, &help, &said));
        EXPECT_EQ(said, error);
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
