#pragma once
// Metric families as the service reports them, and their two renderings: the
// JSON of the metrics reply and the Prometheus text exposition format (the
// format node_exporter's textfile collector reads, OpenMetrics-compatible
// apart from the "# EOF" line, which the text format reads as a comment).

#include <string>
#include <utility>
#include <vector>

namespace exposition {

struct Sample {
    std::string name;  // full sample name: the family's, or with _bucket/_sum/_count
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0;
};

struct Family {
    std::string name;  // counters end in _total
    std::string type;  // "counter", "gauge" or "histogram"
    std::string help;
    std::vector<Sample> samples;
};

// {"families":[{"name":..,"type":..,"help":..,"samples":[{"name":..,
// "labels":{..},"value":..}]}]}
std::string to_json(const std::vector<Family>& families);
// HELP and TYPE lines, then the samples, family by family; ends in "# EOF".
std::string to_text(const std::vector<Family>& families);

// A value as both renderings write it: integers without a fraction.
std::string number_text(double value);
// JSON string contents (without the quotes).
std::string json_escaped(const std::string& text);

}  // namespace exposition
