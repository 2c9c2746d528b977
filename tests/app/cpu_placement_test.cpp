#include "app/cpu_placement.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "libs/trace/trace.h"

namespace {

struct ScpuCase {
    const char* db_text;
    std::vector<int> cpus;
    const char* error;
    int chosen;
};

TEST(CpuPlacement, ReadsAndChoosesFromTheDatabase) {
    const ScpuCase cases[] = {
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

class Pinning : public ::testing::Test {
  protected:
    void SetUp() override {
        CPU_ZERO(&saved_);
        ASSERT_EQ(sched_getaffinity(0, sizeof saved_, &saved_), 0);
        trace_.set_sink([this](const TraceLine& line) { lines_.push_back(line); });
    }
    void TearDown() override { sched_setaffinity(0, sizeof saved_, &saved_); }

    int first_allowed_cpu() const {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &saved_))
                return cpu;
        }
        return 0;
    }

    bool has_line(TraceCategory category, const std::string& text) const {
        for (const auto& line : lines_) {
            if (line.category == category && line.text == text)
                return true;
        }
        return false;
    }

    cpu_set_t saved_;
    Trace trace_{"SA"};
    std::vector<TraceLine> lines_;
};

TEST_F(Pinning, PinsToTheChosenCpuFromTheFile) {
    const int cpu = first_allowed_cpu();
    char path[] = "/tmp/dor-db-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    std::ofstream(path) << R"({"common":{"scpu":[)" << cpu << "]}}";

    place_on_cpu(trace_, path);
    std::remove(path);

    cpu_set_t now;
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_EQ(CPU_COUNT(&now), 1);
    EXPECT_TRUE(CPU_ISSET(cpu, &now));
    const std::string cpu_text = std::to_string(cpu);
    EXPECT_TRUE(has_line(TraceCategory::SYS, "Current affinity: " + cpu_text + ": set"));
    EXPECT_TRUE(has_line(TraceCategory::SYS, "Set affinity to CPU " + cpu_text + ": set"));
}

TEST_F(Pinning, MissingFileWarnsAndUsesCpuZero) {
    place_on_cpu(trace_, "/nonexistent/dor/db.json");
    EXPECT_TRUE(has_line(TraceCategory::WARN,
                         "[no file] while reading scpu list happend, run with default"));
    // CPU 0 may be outside this test's allowed set; then the set fails and says so.
    const bool pinned = has_line(TraceCategory::SYS, "Set affinity to CPU 0: set");
    const bool refused =
        has_line(TraceCategory::WARN, "Cannot set affinity to CPU 0: Invalid argument");
    EXPECT_TRUE(pinned || refused);
}

TEST_F(Pinning, CpuBeyondTheMaskLeavesAffinityAlone) {
    pin_to_cpu(1024, trace_);
    cpu_set_t now;
    ASSERT_EQ(sched_getaffinity(0, sizeof now, &now), 0);
    EXPECT_TRUE(CPU_EQUAL(&now, &saved_));
    EXPECT_TRUE(has_line(TraceCategory::SYS, "Current affinity: 1024: unset"));
    EXPECT_TRUE(has_line(TraceCategory::WARN, "Cannot set affinity to CPU 1024: Invalid argument"));
}

}  // namespace
