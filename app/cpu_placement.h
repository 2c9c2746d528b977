#pragma once
// Pins the service to one of the CPUs that the system database sets aside for
// the controller's services. Never stops start-up: problems fall back to CPU 0.

#include <string>
#include <vector>

class Trace;

inline constexpr const char* kSystemDatabasePath = "/etc/dor/db.json";

struct ScpuList {
    std::vector<int> cpus;  // sorted ascending; empty after any error
    std::string error;      // the first problem met, empty when none
};

// Reads "/common/scpu" from the database text (empty text: no file).
ScpuList read_scpu_list(const std::string& db_text);

// Empty list: 0; one entry: that entry; more: the second-smallest.
int choose_cpu(const std::vector<int>& sorted_cpus);

// Logs the current affinity and pins the process to `cpu`.
void pin_to_cpu(int cpu, const Trace& trace);

void place_on_cpu(const Trace& trace, const std::string& db_path = kSystemDatabasePath);
