#include "app/cpu_placement.h"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "libs/trace/trace.h"
#include "platform/cfg_ptr.h"

namespace {

constexpr size_t kMaskBytes = 128;  // 1024 CPUs
constexpr int kMaskCpus = kMaskBytes * 8;

std::string read_whole_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

const char* bit_text(int cpu, const cpu_set_t& mask) {
    return cpu < kMaskCpus && CPU_ISSET_S(cpu, kMaskBytes, &mask) ? "set" : "unset";
}

}  // namespace

ScpuList read_scpu_list(const std::string& db_text) {
    ScpuList list;
    if (db_text.empty()) {
        list.error = "no file";
        return list;
    }
    CfgTree root(cfg_parse_buffer(db_text.c_str()));
    if (!root) {
        list.error = "no data";
        return list;
    }
    lcw_data_t* scpu = cfg_get_subtree_from_path(root.get(), "/common/scpu");
    if (scpu == nullptr) {
        list.error = "no scpu data";
        return list;
    }
    CfgArrayIterator it(cfg_alloc_array_iterator(scpu));
    if (!it) {
        list.error = "can`t allocate iterator";
        return list;
    }
    while (lcw_data_t* element = cfg_next_array_iterator(it.get())) {
        int value = 0;
        if (cfg_object_to_int(element, &value) == 0 || value < 0) {
            list.error = "non-numeric cpu id value";
            list.cpus.clear();
            return list;
        }
        list.cpus.push_back(value);
    }
    std::sort(list.cpus.begin(), list.cpus.end());
    return list;
}

int choose_cpu(const std::vector<int>& sorted_cpus) {
    if (sorted_cpus.empty())
        return 0;
    if (sorted_cpus.size() == 1)
        return sorted_cpus[0];
    return sorted_cpus[1];
}

void pin_to_cpu(int cpu, const Trace& trace) {
    cpu_set_t mask;
    CPU_ZERO_S(kMaskBytes, &mask);
    if (sched_getaffinity(0, kMaskBytes, &mask) != 0) {
        trace.warn("Cannot get current affinity: %s", std::strerror(errno));
    } else {
        trace.sys("Current affinity: %d: %s", cpu, bit_text(cpu, mask));
    }

    CPU_ZERO_S(kMaskBytes, &mask);
    if (cpu < kMaskCpus)
        CPU_SET_S(cpu, kMaskBytes, &mask);
    if (sched_setaffinity(0, kMaskBytes, &mask) != 0) {
        trace.warn("Cannot set affinity to CPU %d: %s", cpu, std::strerror(errno));
    } else {
        trace.sys("Set affinity to CPU %d: %s", cpu, bit_text(cpu, mask));
    }
}

void place_on_cpu(const Trace& trace, const std::string& db_path) {
    const ScpuList list = read_scpu_list(read_whole_file(db_path));
    if (!list.error.empty()) {
        trace.warn("[%s] while reading scpu list happend, run with default", list.error.c_str());
    }
    pin_to_cpu(choose_cpu(list.cpus), trace);
}
