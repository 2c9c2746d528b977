#include "app/cpu_placement.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "libs/trace/trace.h"
#include "tests/support/ipc_test_bed.h"

namespace {

TEST(CpuPlacement, ReadsAndChoosesFromTheDatabase) {
    struct Case {
        const char* db_text;
        std::vector<int> cpus;
        const char* error;
        int chosen;
    };
    const Case cases[] = {
        {R"({"common":{"scpu":[2,5,1]}})", {1, 2, 5}, "", 2},
        {R"({"common":{"scpu":[4]}})", {4}, "", 4},
        {R"({"common":{"scpu":[3,7,3]}})", {3, 3, 7}, "", 3},
        {R"({"common":{"scpu":[]}})", {}, "", 0},
        {R"({"common":{"scpu":[1,"x",3]}})", {}, "non-numeric cpu id value", 0},
        {R"({"common":{"scpu":[-1]}})", {}, "non-numeric cpu id value", 0},
        {R"({"common":{"scpu":[1.5]}})", {}, "non-numeric cpu id value", 0},
        {"", {}, "no file", 0},
        {"{not json", {}, "no data", 0},
        {R"({"common":{}})", {}, "no scpu data", 0},
        {R"({"common":{"scpu":5}})", {}, "can`t allocate iterator", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.db_text);
        const ScpuList list = read_scpu_list(c.db_text);
        EXPECT_EQ(list.cpus, c.cpus);
        EXPECT_EQ(list.error, c.error);
        EXPECT_EQ(choose_cpu(list.cpus), c.chosen);
    }
}

TEST(Pinning, PinsFromTheFileWarnsOnCpusItCannotUse) {
    cpu_set_t saved, now;
    ASSERT_EQ(sched_getaffinity(0, sizeof saved, &saved), 0);
    Trace trace{"SA"};
    std::vector<std::pair<TraceCategory, std::string>> lines;
    trace.set_sink([&](const TraceLine& line) { lines.emplace_back(line.category, line.text); });
    auto logged = [&](TraceCategory category, const std::string& text) {
        return std::ranges::count(lines, std::pair{category, text}) > 0;
    };
    int cpu = 0;
    while (cpu < CPU_SETSIZE - 1 && !CPU_ISSET(cpu, &saved))
        ++cpu;
    TempDir dir;
    std::ofstream(dir.path() + "/db.json") << R"({"common":{"scpu":[)" << cpu << "]}}";
    place_on_cpu(trace, dir.path() + "/db.json");
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &now));

    pin_to_cpu(1024, trace);  // beyond the mask: affinity stays
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&now, &after));
    EXPECT_TRUE(logged(TraceCategory::WARN, "Cannot set affinity to CPU 1024: Invalid argument"));

    place_on_cpu(trace, "/nonexistent/dor/db.json");
    EXPECT_TRUE(
        logged(TraceCategory::WARN, "[no file] while reading scpu list happend, run with default"));
    // CPU 0 may be outside this test's allowed set; then the set fails and says so.
    EXPECT_TRUE(logged(TraceCategory::SYS, "Set affinity to CPU 0: set") ||
                logged(TraceCategory::WARN, "Cannot set affinity to CPU 0: Invalid argument"));
    sched_setaffinity(0, sizeof saved, &saved);
}

}  // namespace
