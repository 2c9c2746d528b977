#pragma once
// Collects the lines of the service's trace object while it lives.

#include <algorithm>
#include <string>
#include <vector>

#include "libs/trace/trace.h"
#include "platform/globals.h"

class TraceCapture {
  public:
    TraceCapture() {
        for (int c = 0; c < kTraceCategoryCount; ++c) {
            sa_trace.set_enabled(static_cast<TraceCategory>(c), true);
        }
        sa_trace.set_sink([this](const TraceLine& line) { lines.push_back(line); });
    }
    ~TraceCapture() { sa_trace.set_sink({}); }
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    std::vector<std::string> texts(TraceCategory category) const {
        std::vector<std::string> out;
        for (const auto& line : lines) {
            if (line.category == category)
                out.push_back(line.text);
        }
        return out;
    }
    const TraceLine* find(const std::string& text) const {
        auto it = std::find_if(lines.begin(), lines.end(),
                               [&](const TraceLine& line) { return line.text == text; });
        return it != lines.end() ? &*it : nullptr;
    }
    int count(const std::string& text) const {
        return static_cast<int>(std::count_if(
            lines.begin(), lines.end(), [&](const TraceLine& line) { return line.text == text; }));
    }
    void clear() { lines.clear(); }

    std::vector<TraceLine> lines;
};
