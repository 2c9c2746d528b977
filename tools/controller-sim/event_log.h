#pragma once
// AP events and registration time-outs as JSON lines, one object per message,
// flushed at once so that readers can follow the file.

#include <cstdio>
#include <string>

#include "libs/ipc/messages.h"

class EventLog {
  public:
    // Empty path: standard output. Appends to a file.
    explicit EventLog(const std::string& path);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    bool ok() const { return out_ != nullptr; }
    void write(const IPC_MSG__SA_AP_EVENT& msg);
    void write(const IPC_MSG__SA_AP_REG_TIMEOUT& msg);

  private:
    FILE* out_ = nullptr;
    bool owned_ = false;
};

// {"time":..., "type":164, "event":"ap-event", "mac":..., "code":..., "device-type":...,
//  "sw-version":..., "ip":..., "reason":...}; absent texts are null.
std::string event_line(const IPC_MSG__SA_AP_EVENT& msg, const std::string& time);
std::string event_line(const IPC_MSG__SA_AP_REG_TIMEOUT& msg, const std::string& time);
